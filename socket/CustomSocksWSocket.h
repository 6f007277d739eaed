// TCustomSocksWSocket: the SOCKS 4 / 4A / 5 client layer of the socket chain. With a proxy
// set, Connect reaches the proxy and negotiates the CONNECT before the user hears of it.
#pragma once

#include "socket/CustomWSocket.h"

#include <cstdint>
#include <functional>
#include <string>

// Whether a SOCKS 5 negotiation offers user/password login.
enum TSocksAuthentication : int {
    socksNoAuthentication = 0,
    socksAuthenticateUsercode = 1,
};

// Progress of the SOCKS 5 user/password login, as OnSocksAuthState reports it.
enum TSocksAuthState {
    socksAuthStarted = 0,      // the login request is about to be sent
    socksAuthSucceeded = 1,    // the proxy accepted the login
    socksAuthFailed = 2,       // the session closed while the login was pending
    socksAuthNotNeeded = 3,    // login was offered but the proxy chose no authentication
};

// The phase of a negotiation with the proxy.
enum TSocksState : std::uint8_t {
    socksIdle = 0,          // no negotiation (direct socket, or negotiation over)
    socksAwaitMethod = 1,   // waiting for the TCP connect, then (SOCKS 5) the method choice
    socksAwaitLogin = 2,    // the login was sent, waiting for its verdict
    socksAwaitReply = 3,    // the CONNECT request was sent, waiting for the reply
};

// A negotiation failure: Error is a number from 20001 to 20017 or a socket error.
using TSocksErrorEvent = std::function<void(TCustomWSocket* Sender, std::int32_t Error, const std::string& Msg)>;
// A step of the user/password login.
using TSocksAuthStateEvent = std::function<void(TCustomWSocket* Sender, TSocksAuthState AuthState)>;

// Error numbers of the negotiation (OnSocksError, OnSessionConnected, OnSessionClosed).
constexpr std::uint16_t socksProtocolError = 20001;
constexpr std::uint16_t socksVersionError = 20002;
constexpr std::uint16_t socksAuthMethodError = 20003;
constexpr std::uint16_t socksGeneralFailure = 20004;
constexpr std::uint16_t socksConnectionNotAllowed = 20005;
constexpr std::uint16_t socksNetworkUnreachable = 20006;
constexpr std::uint16_t socksHostUnreachable = 20007;
constexpr std::uint16_t socksConnectionRefused = 20008;
constexpr std::uint16_t socksTtlExpired = 20009;
constexpr std::uint16_t socksUnknownCommand = 20010;
constexpr std::uint16_t socksUnknownAddressType = 20011;
constexpr std::uint16_t socksUnassignedError = 20012;
constexpr std::uint16_t socksInternalError = 20013;
// A user code, password or host name that does not fit in a request (our own number: the
// request area holds 128 bytes).
constexpr std::uint16_t socksDataTooLong = 20014;
constexpr std::uint16_t socksAuthenticationFailed = 20015;
constexpr std::uint16_t socksRejectedOrFailed = 20016;
constexpr std::uint16_t socksHostResolutionFailed = 20017;

// Size of the area in which every request is built.
constexpr int SocksMessageSize = 128;
// Size of the area that collects a reply: room for the longest SOCKS 5 reply (a bound name
// of 255 characters, 262 bytes), so that no valid reply waits for ever for room.
constexpr int SocksReplyAreaSize = 512;

// The SOCKS client layer. Without SocksServer it passes everything through. With it,
// Connect opens the TCP connection to the proxy, negotiates inside the read notifications,
// and raises OnSessionConnected(0) only once the proxy has connected to Addr:Port, followed
// by OnDataSent(0) from the event loop as after a direct connect (no OnDataAvailable and no
// OnDataSent reach the user while negotiating); a failure gives OnSocksError,
// OnSessionConnected(Error) and the close with OnSessionClosed(Error).
// The proxy settings (SocksServer, SocksPort, SocksLevel) return to their defaults after
// every close; SocksUsercode, SocksPassword and SocksAuthentication keep their values.
class TCustomSocksWSocket : public TCustomWSocket {
public:
    // Creates the object; see TCustomWSocket.
    TCustomSocksWSocket();

    // ---- properties ----

    // "4", "4A" or "5" (default "5"); 4a is accepted and stored as "4A". Closed only.
    const std::string& SocksLevel() const { return FSocksLevel; }
    void SetSocksLevel(const std::string& Value);
    // The proxy's host (name or dotted address), trimmed; non-empty switches the proxy on. Closed only.
    const std::string& SocksServer() const { return FSocksServer; }
    virtual void SetSocksServer(const std::string& Value);
    // The proxy's port (number or service name), trimmed. Closed only.
    const std::string& SocksPort() const { return FSocksPort; }
    virtual void SetSocksPort(const std::string& Value);
    // The user id (SOCKS 4/4A) or user name (SOCKS 5).
    const std::string& SocksUsercode() const { return FSocksUsercode; }
    void SetSocksUsercode(const std::string& Value) { FSocksUsercode = Value; }
    // The SOCKS 5 password.
    const std::string& SocksPassword() const { return FSocksPassword; }
    void SetSocksPassword(const std::string& Value) { FSocksPassword = Value; }
    // socksAuthenticateUsercode makes SOCKS 5 offer user/password login.
    TSocksAuthentication SocksAuthentication() const { return FSocksAuthentication; }
    void SetSocksAuthentication(TSocksAuthentication Value) { FSocksAuthentication = Value; }
    // The address the proxy bound for the connection (dotted or a name), from the SOCKS 5 reply.
    const std::string& BoundAddr() const { return FBoundAddr; }
    // The port the proxy bound for the connection, as decimal text, from the SOCKS 5 reply.
    const std::string& BoundPort() const { return FBoundPort; }
    // The current negotiation phase.
    TSocksState SocksState() const { return FSocksState; }
    // Bytes that can be read now: first those that came with the SOCKS 5 reply, then the network's.
    std::int64_t RcvdCount() override;
    // Reads the bytes that came with the SOCKS 5 reply first; they count in ReadCount once,
    // when they came off the network.
    std::int64_t Receive(void* Buffer, std::int64_t Len) override;

    // ---- events ----

    TSocksErrorEvent OnSocksError;            // a negotiation failure, before OnSessionConnected(Error)
    TSessionConnected OnSocksConnected;       // the TCP connection to the proxy is up (or failed)
    TSocksAuthStateEvent OnSocksAuthState;    // progress of the user/password login

    // ---- operations ----

    // Connects directly, or to the proxy when SocksServer is set (tcp only).
    void Connect() override;
    // Listens; refused while SocksServer is set.
    void Listen() override;

protected:
    // Raises OnSocksConnected.
    virtual void DoSocksConnected(std::uint16_t Error);
    // Raises OnSocksError.
    virtual void DoSocksError(std::int32_t Error, const std::string& Msg);
    // Raises OnSocksAuthState.
    void DoSocksAuthState(TSocksAuthState AuthState);

    void AssignDefaults() override;
    bool DoDataAvailable(std::uint16_t Error) override;
    void DoSessionConnected(std::uint16_t Error) override;
    void DoSessionClosed(std::uint16_t Error) override;
    // Swallowed while negotiating: the bytes sent are the negotiation's, not the user's.
    void DoDataSent(std::uint16_t Error) override;
    std::int64_t RawReceive(void* Buffer, std::int64_t Len, int Flags) override;
    bool HoldsReceivedBytes() override;

    // ---- fields ----
    TSocksState FSocksState = socksIdle;
    std::string FSocksServer;
    std::string FSocksLevel = "5";
    std::string FSocksPort;
    bool FSocksServerAssigned = false;
    std::string FSocksUsercode;
    std::string FSocksPassword;
    TSocksAuthentication FSocksAuthentication = socksNoAuthentication;
    std::uint8_t FSocksAuthMethod = 0;
    std::string FBoundAddr;
    std::string FBoundPort;
    std::uint8_t FSocksRcvBuf[SocksReplyAreaSize] = {};
    std::int32_t FSocksRcvCount = 0;
    std::int32_t FSocksLeftoverCount = 0;
    std::int32_t FSocksLeftoverPos = 0;

private:
    void AssignSocksDefaults();
    // OnSocksError, OnSessionConnected(Error), then the close with OnSessionClosed(Error).
    void FailSocks(std::uint16_t Error, const std::string& Msg);
    // Sends the SOCKS 4/4A or 5 CONNECT request.
    void SendSocksRequest();
    // Sends the SOCKS 5 user/password login.
    void SendSocksLogin();
    // Queues the write notification that a direct connect would have brought.
    void PostWriteReady();
    // Sends a built message; a failure of Send is the connection's to report.
    void SendSocksMessage(const std::uint8_t* Data, int Len);
    // Reads what has arrived into the reply area, at most up to Limit bytes in all; false
    // when nothing could be read.
    bool ReadSocksReply(std::int32_t Limit);
    // The user's OnDataAvailable, repeated while it keeps taking bytes that came with the reply.
    bool RaiseDataAvailable(std::uint16_t Error);
};
