// Types shared by the socket layer and its users: socket states, options, event
// signatures and the socket exception.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <exception>
#include <functional>
#include <initializer_list>
#include <stdexcept>
#include <string>

class TCustomWSocket;

// The state of a socket object; ordinal values are fixed.
enum TSocketState {
    wsInvalidState = 0,
    wsOpened = 1,
    wsBound = 2,
    wsConnecting = 3,
    wsConnected = 4,
    wsAccepting = 5,
    wsListening = 6,
    wsClosed = 7,
};

// The flags passed with every send call. The underlying type is fixed so that any int
// converts to it without undefined behaviour: the setter refuses unknown values itself.
enum TSocketSendFlags : int {
    wsSendNormal = 0,
    wsSendUrgent = 1,
};

// The linger mode applied by ApplyLinger (fixed underlying type, as above).
enum TSocketLingerOnOff : int {
    wsLingerOff = 0,
    wsLingerOn = 1,
    wsLingerNoSet = 2,
};

// Behaviour switches of a socket object.
enum TWSocketOption {
    wsoNoReceiveLoop = 0,
};

// A set of TWSocketOption values.
class TWSocketOptions {
public:
    TWSocketOptions() = default;
    TWSocketOptions(std::initializer_list<TWSocketOption> options)
    {
        for (TWSocketOption o : options)
            Include(o);
    }
    // True when the option is in the set.
    bool Contains(TWSocketOption option) const { return (FBits >> unsigned(option)) & 1u; }
    // Adds the option.
    void Include(TWSocketOption option) { FBits |= 1u << unsigned(option); }
    // Removes the option.
    void Exclude(TWSocketOption option) { FBits &= ~(1u << unsigned(option)); }
    // True when no option is set.
    bool Empty() const { return FBits == 0; }
    bool operator==(const TWSocketOptions&) const = default;

private:
    std::uint32_t FBits = 0;
};

// Events of a socket; an empty one is skipped. Error 0 means success, otherwise a socket
// library error number (10004 ... 11004) or a number of the SOCKS layer.
using TDataAvailable = std::function<void(TCustomWSocket* Sender, std::uint16_t Error)>;
using TDataSent = std::function<void(TCustomWSocket* Sender, std::uint16_t Error)>;
using TSendData = std::function<void(TCustomWSocket* Sender, std::int32_t BytesSent)>;
using TSessionClosed = std::function<void(TCustomWSocket* Sender, std::uint16_t Error)>;
using TSessionAvailable = std::function<void(TCustomWSocket* Sender, std::uint16_t Error)>;
using TSessionConnected = std::function<void(TCustomWSocket* Sender, std::uint16_t Error)>;
using TDnsLookupDone = std::function<void(TCustomWSocket* Sender, std::uint16_t Error)>;
using TChangeState = std::function<void(TCustomWSocket* Sender, TSocketState OldState, TSocketState NewState)>;
using TBgExceptionEvent = std::function<void(TCustomWSocket* Sender, const std::exception& E, bool& CanClose)>;
using TNotifyEvent = std::function<void(TCustomWSocket* Sender)>;

// The exception of the socket layer: a message text only.
class ESocketException : public std::runtime_error {
public:
    // An exception with a plain message.
    explicit ESocketException(const std::string& Msg) : std::runtime_error(Msg) {}

    // An exception whose message is formatted printf-style.
    static ESocketException CreateFmt(const char* Fmt, ...) __attribute__((format(printf, 1, 2)));
};

// printf-style formatting into a std::string.
std::string FormatStr(const char* Fmt, ...) __attribute__((format(printf, 1, 2)));
// The same with a va_list.
std::string FormatStrV(const char* Fmt, std::va_list Args);
