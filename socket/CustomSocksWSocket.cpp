// TCustomSocksWSocket: proxy settings, Connect through a proxy, and the SOCKS 4 / 4A / 5
// negotiation that runs inside the read notifications.
#include "socket/CustomSocksWSocket.h"

#include <cxxabi.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <typeinfo>

namespace {

// The longest SOCKS 5 CONNECT request host (5 header bytes + host + 2 port bytes = 128).
constexpr std::size_t kMaxSocks5Host = SocksMessageSize - 7;
// User code and password of a login (3 header bytes + both texts = 128).
constexpr std::size_t kMaxLoginText = SocksMessageSize - 3;
// SOCKS 4: header, user code and its terminating zero; 4A adds the host and its zero.
constexpr std::size_t kSocks4Header = 8;

std::string ToLower(std::string s)
{
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

std::string ToUpper(std::string s)
{
    for (char& c : s)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return s;
}

// The class name of an exception as the user knows it (the library's own exception by its
// name, anything else by its demangled type).
std::string ExceptionClassName(const std::exception& E)
{
    if (dynamic_cast<const ESocketException*>(&E))
        return "ESocketException";
    int status = 0;
    char* name = abi::__cxa_demangle(typeid(E).name(), nullptr, nullptr, &status);
    std::string result = status == 0 && name ? name : typeid(E).name();
    std::free(name);
    return result;
}

// The message of a SOCKS 5 reply code other than 0.
std::pair<std::uint16_t, std::string> Socks5ReplyError(int code)
{
    switch (code) {
    case 1:
        return {socksGeneralFailure, "general SOCKS server failure"};
    case 2:
        return {socksConnectionNotAllowed, "connection not allowed by ruleset"};
    case 3:
        return {socksNetworkUnreachable, "network unreachable"};
    case 4:
        return {socksHostUnreachable, "host unreachable"};
    case 5:
        return {socksConnectionRefused, "connection refused"};
    case 6:
        return {socksTtlExpired, "time to live expired"};
    case 7:
        return {socksUnknownCommand, "command not supported"};
    case 8:
        return {socksUnknownAddressType, "address type not supported"};
    default:
        return {socksUnassignedError, "unassigned error #" + std::to_string(code)};
    }
}

} // namespace

TCustomSocksWSocket::TCustomSocksWSocket()
{
    // The base constructor ran its own defaults only; ours follow.
    AssignSocksDefaults();
}

void TCustomSocksWSocket::AssignSocksDefaults()
{
    FSocksState = socksIdle;
    FSocksServer.clear();
    FSocksPort.clear();
    FSocksLevel = "5";
    FSocksServerAssigned = false;
    FSocksRcvCount = 0;
    FSocksLeftoverCount = 0;
    FSocksLeftoverPos = 0;
}

void TCustomSocksWSocket::AssignDefaults()
{
    TCustomWSocket::AssignDefaults();
    AssignSocksDefaults();
}

// ---- properties ----

void TCustomSocksWSocket::SetSocksLevel(const std::string& Value)
{
    if (FState != wsClosed) {
        SignalError("Can't change socks level if not closed");
        return;
    }
    if (Value != "4" && Value != "5" && Value != "4A" && Value != "4a") {
        SignalError("Invalid socks level. Must be 4, 4A or 5.");
        return;
    }
    FSocksLevel = ToUpper(Value);
}

void TCustomSocksWSocket::SetSocksServer(const std::string& Value)
{
    if (FState != wsClosed) {
        SignalError("Can't change socks server if not closed");
        return;
    }
    FSocksServer = TrimStr(Value);
    FSocksServerAssigned = !FSocksServer.empty();
}

void TCustomSocksWSocket::SetSocksPort(const std::string& Value)
{
    if (FState != wsClosed) {
        SignalError("Can't change socks port if not closed");
        return;
    }
    FSocksPort = TrimStr(Value);
}

std::int64_t TCustomSocksWSocket::RcvdCount()
{
    if (FSocksLeftoverCount > 0)
        return FSocksLeftoverCount;
    return TCustomWSocket::RcvdCount();
}

std::int64_t TCustomSocksWSocket::Receive(void* Buffer, std::int64_t Len)
{
    const bool fromLeftover = FSocksLeftoverCount > 0;
    std::int64_t n = TCustomWSocket::Receive(Buffer, Len);
    if (fromLeftover && n > 0)
        FReadCount -= n;   // counted already by the read that took the reply
    return n;
}

// ---- connect and listen ----

void TCustomSocksWSocket::Connect()
{
    if (!FSocksServerAssigned) {
        TCustomWSocket::Connect();
        return;
    }
    if (ToLower(FProtoStr) != "tcp") {
        SignalError("tcp is the only protocol supported thru socks server");
        return;
    }
    // Misuse is the base's to name; it must not touch a session that is already running
    // (the negotiation phase below would hijack its data).
    if ((FHandle != wsock::INVALID_SOCKET && FState != wsClosed) || !FPortAssigned || !FAddrAssigned ||
        !FProtoAssigned) {
        TCustomWSocket::Connect();
        return;
    }
    // The TCP connection goes to the proxy; Addr and Port travel in the request.
    if (!FPortResolved) {
        FRemoteSin.sin_port = wsock::htons(static_cast<wsock::u_short>(WSocketResolvePort(FSocksPort, FProtoStr)));
        FPortResolved = true;
    }
    if (!FAddrResolved) {
        FRemoteSin.sin_addr.s_addr = WSocketResolveHost(FSocksServer);
        FAddrResolved = true;
    }
    FPortNumber = WSocketResolvePort(FPortStr, FProtoStr);
    FSocksState = socksAwaitMethod;
    FSocksRcvCount = 0;
    FSocksLeftoverCount = 0;
    FSocksLeftoverPos = 0;
    TCustomWSocket::Connect();
}

void TCustomSocksWSocket::Listen()
{
    if (FSocksServerAssigned) {
        SignalError("Listening is not supported thru socks server");
        return;
    }
    TCustomWSocket::Listen();
}

// ---- event triggers ----

void TCustomSocksWSocket::DoSocksConnected(std::uint16_t Error)
{
    if (OnSocksConnected)
        OnSocksConnected(this, Error);
}

void TCustomSocksWSocket::DoSocksError(std::int32_t Error, const std::string& Msg)
{
    if (OnSocksError)
        OnSocksError(this, Error, Msg);
}

void TCustomSocksWSocket::DoSocksAuthState(TSocksAuthState AuthState)
{
    if (OnSocksAuthState)
        OnSocksAuthState(this, AuthState);
}

void TCustomSocksWSocket::DoSessionConnected(std::uint16_t Error)
{
    if (FSocksState == socksAwaitMethod) {
        auto alive = AliveToken();
        wsock::SOCKET handle = FHandle;
        DoSocksConnected(Error);
        if (!*alive || FHandle != handle)
            return;
        if (Error == 0) {
            // The proxy is reached; the user hears of the session once the proxy has
            // connected to the destination.
            if (!FSocksLevel.empty() && FSocksLevel[0] == '4') {
                SendSocksRequest();
            } else {
                FSocksAuthMethod = FSocksAuthentication == socksAuthenticateUsercode ? 2 : 0;
                const std::uint8_t greeting[3] = {5, 1, FSocksAuthMethod};
                SendSocksMessage(greeting, sizeof greeting);
            }
            return;
        }
    }
    TCustomWSocket::DoSessionConnected(Error);
}

void TCustomSocksWSocket::DoDataSent(std::uint16_t Error)
{
    if (FSocksState != socksIdle)
        return;
    TCustomWSocket::DoDataSent(Error);
}

void TCustomSocksWSocket::DoSessionClosed(std::uint16_t Error)
{
    if (FSocksState == socksAwaitLogin) {
        auto alive = AliveToken();
        DoSocksAuthState(socksAuthFailed);
        if (!*alive)
            return;
    }
    TCustomWSocket::DoSessionClosed(Error);
}

// ---- the negotiation ----

void TCustomSocksWSocket::FailSocks(std::uint16_t Error, const std::string& Msg)
{
    auto alive = AliveToken();
    wsock::SOCKET handle = FHandle;
    DoSocksError(Error, Msg);
    if (!*alive || FHandle != handle)
        return;
    TCustomWSocket::DoSessionConnected(Error);
    if (!*alive || FHandle != handle)
        return;
    InternalClose(true, Error);
}

void TCustomSocksWSocket::SendSocksMessage(const std::uint8_t* Data, int Len)
{
    try {
        Send(Data, Len);
    } catch (...) {
        // A connection lost meanwhile reports itself through the close.
    }
}

void TCustomSocksWSocket::SendSocksLogin()
{
    FSocksState = socksAwaitLogin;
    auto alive = AliveToken();
    wsock::SOCKET handle = FHandle;
    DoSocksAuthState(socksAuthStarted);
    if (!*alive || FHandle != handle)
        return;
    // Both texts must fit the request area with their two length bytes and the version.
    if (FSocksUsercode.size() + FSocksPassword.size() > kMaxLoginText) {
        FailSocks(socksDataTooLong, "socks user code or password too long");
        return;
    }
    std::uint8_t msg[SocksMessageSize];
    int len = 0;
    msg[len++] = 1;
    msg[len++] = static_cast<std::uint8_t>(FSocksUsercode.size());
    std::memcpy(msg + len, FSocksUsercode.data(), FSocksUsercode.size());
    len += static_cast<int>(FSocksUsercode.size());
    msg[len++] = static_cast<std::uint8_t>(FSocksPassword.size());
    std::memcpy(msg + len, FSocksPassword.data(), FSocksPassword.size());
    len += static_cast<int>(FSocksPassword.size());
    SendSocksMessage(msg, len);
}

void TCustomSocksWSocket::SendSocksRequest()
{
    FSocksState = socksAwaitReply;
    std::uint8_t msg[SocksMessageSize];
    int len = 0;
    const std::uint16_t port = wsock::htons(static_cast<wsock::u_short>(FPortNumber));
    if (!FSocksLevel.empty() && FSocksLevel[0] == '4') {
        const bool level4A = FSocksLevel == "4A";
        std::size_t need = kSocks4Header + FSocksUsercode.size() + 1 + (level4A ? FAddrStr.size() + 1 : 0);
        if (need > std::size_t(SocksMessageSize)) {
            FailSocks(socksDataTooLong, level4A ? "socks user code or host name too long" : "socks user code too long");
            return;
        }
        std::uint32_t address;
        if (level4A) {
            const std::uint8_t marker[4] = {0, 0, 0, 1};   // 0.0.0.1: the proxy resolves the name
            std::memcpy(&address, marker, 4);
        } else {
            try {
                address = WSocketResolveHost(FAddrStr);
            } catch (const std::exception& E) {
                // Reported like every other negotiation failure, so that a caller waiting
                // for OnSessionConnected hears of it too.
                FailSocks(socksHostResolutionFailed, ExceptionClassName(E) + " " + E.what());
                return;
            }
        }
        msg[len++] = 4;
        msg[len++] = 1;
        std::memcpy(msg + len, &port, 2);
        len += 2;
        std::memcpy(msg + len, &address, 4);
        len += 4;
        std::memcpy(msg + len, FSocksUsercode.data(), FSocksUsercode.size());
        len += static_cast<int>(FSocksUsercode.size());
        msg[len++] = 0;
        if (level4A) {
            std::memcpy(msg + len, FAddrStr.data(), FAddrStr.size());
            len += static_cast<int>(FAddrStr.size());
            msg[len++] = 0;
        }
    } else {
        if (FAddrStr.size() > kMaxSocks5Host) {
            FailSocks(socksDataTooLong, "socks host name too long");
            return;
        }
        // Always a domain-name address, also for a dotted Addr: the proxy resolves it.
        msg[len++] = 5;
        msg[len++] = 1;
        msg[len++] = 0;
        msg[len++] = 3;
        msg[len++] = static_cast<std::uint8_t>(FAddrStr.size());
        std::memcpy(msg + len, FAddrStr.data(), FAddrStr.size());
        len += static_cast<int>(FAddrStr.size());
        std::memcpy(msg + len, &port, 2);
        len += 2;
    }
    SendSocksMessage(msg, len);
}

void TCustomSocksWSocket::PostWriteReady()
{
    // The write readiness that follows a direct connect was taken by the negotiation; the
    // user gets it now, from the loop, like any write notification (dropped if the handle
    // changes meanwhile).
    platform::PostMessage(WindowHandle(), WM_SOCKET_NOTIFY, FHandle,
                          wsock::WSAMAKESELECTREPLY(int(wsock::FD_WRITE), 0));
}

bool TCustomSocksWSocket::ReadSocksReply(std::int32_t Limit)
{
    std::int64_t n = Receive(FSocksRcvBuf + FSocksRcvCount, Limit - FSocksRcvCount);
    if (n < 0)
        return false;   // would block: wait for the next notification
    FSocksRcvCount += static_cast<std::int32_t>(n);
    return true;
}

bool TCustomSocksWSocket::RaiseDataAvailable(std::uint16_t Error)
{
    auto alive = AliveToken();
    wsock::SOCKET handle = FHandle;
    for (;;) {
        std::int32_t before = FSocksLeftoverCount;
        bool handled = TCustomWSocket::DoDataAvailable(Error);
        if (!*alive)
            return handled;
        // Bytes that came with the reply bring no notification of their own: offer them
        // again while the handler keeps taking some, or a handler reading in small pieces
        // would leave them behind.
        if (!handled || FHandle != handle || FSocksLeftoverCount == 0 || FSocksLeftoverCount >= before)
            return handled;
    }
}

bool TCustomSocksWSocket::DoDataAvailable(std::uint16_t Error)
{
    if (FSocksState == socksIdle)
        return RaiseDataAvailable(Error);

    auto alive = AliveToken();
    wsock::SOCKET handle = FHandle;
    // After a failure the connection is closed and nothing is left to read, so the
    // notification counts as taken.
    if (Error != 0) {
        FailSocks(Error, "data receive error");
        return true;
    }

    switch (FSocksState) {
    case socksAwaitMethod: {
        if (!ReadSocksReply(SocksReplyAreaSize - 1))
            return true;
        if (!FSocksLevel.empty() && FSocksLevel[0] == '4') {
            FailSocks(socksProtocolError, "TWSocket logic error");
            return true;
        }
        if (FSocksRcvCount < 2)
            return true;
        FSocksRcvCount = 0;
        if (FSocksRcvBuf[0] != 5) {
            FailSocks(socksVersionError, "socks version error");
        } else if (FSocksRcvBuf[1] == 0) {
            if (FSocksAuthMethod != 0) {
                DoSocksAuthState(socksAuthNotNeeded);
                if (!*alive || FHandle != handle)
                    return true;
            }
            SendSocksRequest();
        } else if (FSocksRcvBuf[1] == 2) {
            SendSocksLogin();
        } else {
            FailSocks(socksAuthMethodError, "authentification method not acceptable");
        }
        return true;
    }
    case socksAwaitLogin: {
        if (!ReadSocksReply(SocksReplyAreaSize - 1))
            return true;
        if (FSocksRcvCount >= 1 && FSocksRcvBuf[0] != 1) {
            FailSocks(socksVersionError, "socks version error");
            return true;
        }
        if (FSocksRcvCount < 2)
            return true;
        if (FSocksRcvCount > 2) {
            FailSocks(socksProtocolError, "too much data availaible");
            return true;
        }
        if (FSocksRcvBuf[1] != 0) {
            FailSocks(socksAuthenticationFailed, "socks authentication failed");
            return true;
        }
        FSocksRcvCount = 0;
        DoSocksAuthState(socksAuthSucceeded);
        if (!*alive || FHandle != handle)
            return true;
        SendSocksRequest();
        return true;
    }
    case socksAwaitReply:
        if (!FSocksLevel.empty() && FSocksLevel[0] == '4') {
            // Exactly the 8 reply bytes: whatever follows belongs to the application.
            if (!ReadSocksReply(8))
                return true;
            if (FSocksRcvCount < 8)
                return true;
            FSocksRcvCount = 0;
            if (FSocksRcvBuf[0] != 0) {
                FailSocks(socksVersionError, "socks version error");
                return true;
            }
            switch (FSocksRcvBuf[1]) {
            case 90:
                break;
            case 91:
                FailSocks(socksRejectedOrFailed, "request rejected or failed");
                return true;
            case 92:
                FailSocks(socksConnectionRefused, "connection refused");
                return true;
            case 93:
                FailSocks(socksAuthenticationFailed, "authentification failed");
                return true;
            default:
                FailSocks(socksUnassignedError, "unassigned error #" + std::to_string(FSocksRcvBuf[1]));
                return true;
            }
            FSocksState = socksIdle;
            PostWriteReady();
            TCustomWSocket::DoSessionConnected(0);
            if (!*alive || FHandle != handle)
                return true;
            return DoDataAvailable(0);
        } else {
            if (!ReadSocksReply(SocksReplyAreaSize - 1))
                return true;
            if (FSocksRcvCount >= 1 && FSocksRcvBuf[0] != 5) {
                FailSocks(socksVersionError, "socks version error");
                return true;
            }
            if (FSocksRcvCount >= 2 && FSocksRcvBuf[1] != 0) {
                auto [number, message] = Socks5ReplyError(FSocksRcvBuf[1]);
                FailSocks(number, message);
                return true;
            }
            if (FSocksRcvCount < 5)
                return true;
            const int type = FSocksRcvBuf[3];
            const std::int32_t need = type == 1 ? 10 : type == 3 ? FSocksRcvBuf[4] + 7 : 5;
            if (FSocksRcvCount < need)
                return true;
            int portAt;
            if (type == 1) {
                wsock::in_addr addr;
                std::memcpy(&addr.s_addr, FSocksRcvBuf + 4, 4);
                FBoundAddr = wsock::inet_ntoa(addr);
                portAt = 8;
            } else if (type == 3) {
                FBoundAddr.assign(reinterpret_cast<const char*>(FSocksRcvBuf + 5), FSocksRcvBuf[4]);
                portAt = 5 + FSocksRcvBuf[4];
            } else {
                FailSocks(socksUnknownAddressType, "address type not supported");
                return true;
            }
            FBoundPort = std::to_string((FSocksRcvBuf[portAt] << 8) | FSocksRcvBuf[portAt + 1]);
            FSocksState = socksIdle;
            // Bytes that followed the reply are the application's: they are served first,
            // also to a handler that reads inside OnSessionConnected.
            FSocksLeftoverPos = need;
            FSocksLeftoverCount = FSocksRcvCount - need;
            FSocksRcvCount = 0;
            PostWriteReady();
            TCustomWSocket::DoSessionConnected(0);
            if (!*alive || FHandle != handle)
                return true;
            return DoDataAvailable(0);
        }
    default:
        FailSocks(socksInternalError, "internal error");
        return true;
    }
}

std::int64_t TCustomSocksWSocket::RawReceive(void* Buffer, std::int64_t Len, int Flags)
{
    if (FSocksLeftoverCount > 0) {
        if (Len <= 0)
            return 0;
        std::int32_t n = static_cast<std::int32_t>(std::min<std::int64_t>(Len, FSocksLeftoverCount));
        std::memcpy(Buffer, FSocksRcvBuf + FSocksLeftoverPos, std::size_t(n));
        if (!(Flags & wsock::MSG_PEEK)) {
            FSocksLeftoverPos += n;
            FSocksLeftoverCount -= n;
        }
        return n;
    }
    return TCustomWSocket::RawReceive(Buffer, Len, Flags);
}

bool TCustomSocksWSocket::HoldsReceivedBytes()
{
    return FSocksLeftoverCount > 0 || FSocksState != socksIdle || TCustomWSocket::HoldsReceivedBytes();
}
