// TCustomWSocket: construction, properties, connect/listen/accept/close, the notification
// handler with its receive loop, errors and the message dispatcher.
#include "socket/CustomWSocket.h"

#include "platform/MessageWindow.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstring>

namespace {

// How long one read notification may keep offering data before the event loop gets the
// thread back. On a fast link data is always ready again; without a bound one notification
// would run until the transfer ends, and the window could neither repaint nor take a click.
// A time budget works whatever the handler reads per call; 2 ms measured best for a sender
// and a receiver sharing one loop (longer budgets starve the sender, shorter ones add trips).
constexpr auto kReceiveLoopBudget = std::chrono::milliseconds(2);

} // namespace

// ---- construction ----

TCustomWSocket::TCustomWSocket()
{
    FWindow = std::make_unique<TWSocketWindow>(this);
    FSendBlockSize = WSocketSendBlockSize;
    AssignDefaults();
    SocketLibraryAddRef();
}

TCustomWSocket::~TCustomWSocket()
{
    FDestroying = true;
    try {
        CancelDnsLookup();
    } catch (...) {
    }
    try {
        if (FState != wsClosed)
            Close();
        else if (FHandle != wsock::INVALID_SOCKET) {
            // A handle without a session (a listen that failed half-way): just release it.
            wsock::closesocket(FHandle);
            FHandle = wsock::INVALID_SOCKET;
        }
    } catch (...) {
    }
    DiscardSendQueue();
    *FAlive = false;
    SocketLibraryRelease();
    FWindow->FOwner = nullptr;
    FWindow.reset();
}

platform::HWND TCustomWSocket::WindowHandle() const
{
    return FWindow ? FWindow->Handle() : 0;
}

void TCustomWSocket::AssignDefaults()
{
    std::memset(&FRemoteSin, 0, sizeof FRemoteSin);
    FRemoteSin.sin_family = wsock::AF_INET;
    std::memset(&FRemoteSin6, 0, sizeof FRemoteSin6);
    FRemoteSin6.sin6_family = wsock::AF_INET6;
    FSocketFamily = wsock::AF_INET;
    FAddrList.clear();
    FAddrIndex = 0;
    FPortAssigned = false;
    FAddrAssigned = false;
    FAddrResolved = false;
    FPortResolved = false;
    FProtoResolved = false;
    FLocalPortResolved = false;
    FProtoAssigned = true;
    FProtoNumber = wsock::IPPROTO_TCP;
    FProtoStr = "tcp";
    FSocketType = wsock::SOCK_STREAM;
    FLocalPortStr = "0";
    FLocalAddr = "0.0.0.0";
    FLingerOnOff = wsLingerOn;
    FLingerTimeout = 0;
    FHandle = wsock::INVALID_SOCKET;
    FState = wsClosed;
    FAllSent = true;
    FEventsPaused = false;
    FReadCount = 0;
    FCloseInvoked = false;
    FFlushTimeout = 60;
}

// ---- property setters ----

void TCustomWSocket::SetAddr(const std::string& Value)
{
    if (FAddrAssigned && Value == FAddrStr)
        return;
    if (FState != wsClosed) {
        SignalError("Cannot change Addr if not closed");
        return;
    }
    FAddrStr = TrimStr(Value);
    FAddrResolved = false;
    FAddrAssigned = !FAddrStr.empty();
}

void TCustomWSocket::SetAddrList(const std::vector<std::string>& Value)
{
    if (FState != wsClosed) {
        SignalError("Cannot change Addr if not closed");
        return;
    }
    FAddrList = Value;
    FAddrIndex = 0;
    if (!FAddrList.empty())
        SetAddr(FAddrList.front());
}

bool TCustomWSocket::ConnectNextAddress()
{
    if (FAddrIndex + 1 >= FAddrList.size() || FHandle != wsock::INVALID_SOCKET)
        return false;
    ++FAddrIndex;
    FAddrStr = TrimStr(FAddrList[FAddrIndex]);
    FAddrResolved = false;
    auto alive = FAlive;
    if (OnAddressTry)
        OnAddressTry(this, FAddrStr);
    if (!*alive)
        return true;
    if (FState != wsClosed || FHandle != wsock::INVALID_SOCKET)
        return true;   // the handler took the socket over
    Connect();
    return true;
}

void TCustomWSocket::ResolveRemoteAddr()
{
    unsigned char bytes[16];
    if (IsIpv6Address(FAddrStr, bytes)) {
        FSocketFamily = wsock::AF_INET6;
        std::memcpy(FRemoteSin6.sin6_addr, bytes, 16);
    } else {
        FSocketFamily = wsock::AF_INET;
        FRemoteSin.sin_addr.s_addr = WSocketResolveHost(FAddrStr);
    }
}

const wsock::sockaddr* TCustomWSocket::RemoteSockAddr() const
{
    if (FSocketFamily == wsock::AF_INET6)
        return reinterpret_cast<const wsock::sockaddr*>(&FRemoteSin6);
    return reinterpret_cast<const wsock::sockaddr*>(&FRemoteSin);
}

int TCustomWSocket::RemoteSockAddrLen() const
{
    return FSocketFamily == wsock::AF_INET6 ? int(sizeof FRemoteSin6) : int(sizeof FRemoteSin);
}

void TCustomWSocket::SetPort(const std::string& Value)
{
    if (FPortAssigned && Value == FPortStr)
        return;
    if (FState != wsClosed) {
        SignalError("Cannot change Port if not closed");
        return;
    }
    FPortStr = TrimStr(Value);
    FPortResolved = false;
    FPortAssigned = !FPortStr.empty();
}

void TCustomWSocket::SetProto(const std::string& Value)
{
    if (FProtoAssigned && Value == FProtoStr)
        return;
    if (FState != wsClosed) {
        SignalError("Cannot change Proto if not closed");
        return;
    }
    FProtoStr = TrimStr(Value);
    FProtoResolved = false;
    FProtoAssigned = !FProtoStr.empty();
}

void TCustomWSocket::SetLocalPort(const std::string& Value)
{
    if (FState != wsClosed) {
        SignalError("Cannot change LocalPort if not closed");
        return;
    }
    FLocalPortStr = Value;
    FLocalPortResolved = false;
}

void TCustomWSocket::SetLocalAddr(const std::string& Value)
{
    if (FState != wsClosed) {
        SignalError("Cannot change LocalAddr if not closed");
        return;
    }
    std::string text = Value.empty() ? "0.0.0.0" : Value;
    unsigned char v6[16];
    char v6Text[64];
    if (IsIpv6Address(text, v6) && wsock::inet_ntop(wsock::AF_INET6, v6, v6Text, sizeof v6Text)) {
        FLocalAddr = v6Text;   // numeric text, without brackets
        return;
    }
    wsock::in_addr addr{wsock::inet_addr(text.c_str())};
    if (addr.s_addr == wsock::INADDR_NONE)
        SignalError("SetLocalAddr(): Invalid IP address");
    FLocalAddr = wsock::inet_ntoa(addr);
}

// ---- errors ----

void TCustomWSocket::SignalError(const std::string& Msg)
{
    if (OnError) {
        DoError();
        return;
    }
    throw ESocketException(Msg);
}

void TCustomWSocket::SignalErrorFmt(const char* Fmt, ...)
{
    std::va_list args;
    va_start(args, Fmt);
    std::string msg = FormatStrV(Fmt, args);
    va_end(args);
    SignalError(msg);
}

void TCustomWSocket::ReportSocketError(const std::string& FuncName)
{
    int e = wsock::WSAGetLastError();
    std::string msg = "Error " + std::to_string(e) + " in function " + FuncName + "\r\n" + SocketErrorText(e);
    if (e == wsock::WSAECONNRESET || e == wsock::WSAENOTCONN) {
        if (FHandle != wsock::INVALID_SOCKET)
            wsock::closesocket(FHandle);
        FHandle = wsock::INVALID_SOCKET;
        auto alive = FAlive;
        ChangeState(wsClosed);
        if (!*alive)
            return;
    }
    FLastError = e;
    SignalError(msg);
}

void TCustomWSocket::HandleEventException(const std::exception& E)
{
    auto alive = FAlive;
    bool CanClose = true;
    if (OnBgException) {
        try {
            OnBgException(this, E, CanClose);
        } catch (...) {
            // A failing background handler changes nothing: the socket still goes down.
        }
    }
    if (!*alive)
        return;
    if (CanClose) {
        try {
            Abort();
        } catch (...) {
        }
    }
}

void TCustomWSocket::ChangeState(TSocketState NewState)
{
    TSocketState old = FState;
    FState = NewState;
    DoChangeState(old, NewState);
}

// ---- event triggers ----

bool TCustomWSocket::DoDataAvailable(std::uint16_t Error)
{
    if (!OnDataAvailable)
        return false;
    OnDataAvailable(this, Error);
    return true;
}

void TCustomWSocket::DoSessionAvailable(std::uint16_t Error)
{
    if (OnSessionAvailable)
        OnSessionAvailable(this, Error);
}

void TCustomWSocket::DoSessionConnected(std::uint16_t Error)
{
    if (OnSessionConnected)
        OnSessionConnected(this, Error);
}

void TCustomWSocket::DoSessionClosed(std::uint16_t Error)
{
    if (OnSessionClosed)
        OnSessionClosed(this, Error);
}

void TCustomWSocket::DoDataSent(std::uint16_t Error)
{
    if (OnDataSent)
        OnDataSent(this, Error);
}

void TCustomWSocket::DoChangeState(TSocketState OldState, TSocketState NewState)
{
    if (OnChangeState)
        OnChangeState(this, OldState, NewState);
}

void TCustomWSocket::DoDnsLookupDone(std::uint16_t Error)
{
    if (OnDnsLookupDone)
        OnDnsLookupDone(this, Error);
}

void TCustomWSocket::DoError()
{
    if (OnError)
        OnError(this);
}

// ---- connect, listen, accept, dup ----

bool TCustomWSocket::BindLocal()
{
    unsigned char local6[16];
    const bool localIs6 = IsIpv6Address(FLocalAddr, local6);
    if (FSocketFamily == wsock::AF_INET6) {
        // An IPv6 socket binds an IPv6 local address, or the IPv6 wildcard when the local
        // address is IPv4 text (the default "0.0.0.0" among them).
        wsock::sockaddr_in6 sin6{};
        sin6.sin6_family = wsock::AF_INET6;
        if (localIs6)
            std::memcpy(&sin6.sin6_addr, local6, sizeof local6);
        sin6.sin6_port = wsock::htons(static_cast<wsock::u_short>(FLocalPortNumber));
        int len6 = sizeof sin6;
        if (wsock::bind(FHandle, reinterpret_cast<wsock::sockaddr*>(&sin6), sizeof sin6) != 0) {
            SignalErrorFmt("winsock.bind failed, error #%d", wsock::WSAGetLastError());
            return false;
        }
        if (wsock::getsockname(FHandle, reinterpret_cast<wsock::sockaddr*>(&sin6), &len6) != 0) {
            SignalErrorFmt("winsock.getsockname failed, error #%d", wsock::WSAGetLastError());
            return false;
        }
        FLocalPortNumber = wsock::ntohs(sin6.sin6_port);
        FLocalPortStr = std::to_string(FLocalPortNumber);
        return true;
    }
    if (localIs6 && FLocalAddr != "::") {
        SignalErrorFmt("LocalAddr %s is an IPv6 address, the connection IPv4", FLocalAddr.c_str());
        return false;
    }
    wsock::sockaddr_in sin{};
    sin.sin_family = wsock::AF_INET;
    sin.sin_port = wsock::htons(static_cast<wsock::u_short>(FLocalPortNumber));
    sin.sin_addr.s_addr = localIs6 ? 0 : WSocketResolveHost(FLocalAddr);   // "::": any address
    if (wsock::bind(FHandle, reinterpret_cast<wsock::sockaddr*>(&sin), sizeof sin) != 0) {
        SignalErrorFmt("winsock.bind failed, error #%d", wsock::WSAGetLastError());
        return false;
    }
    int len = sizeof sin;
    if (wsock::getsockname(FHandle, reinterpret_cast<wsock::sockaddr*>(&sin), &len) != 0) {
        SignalErrorFmt("winsock.getsockname failed, error #%d", wsock::WSAGetLastError());
        return false;
    }
    FLocalPortNumber = wsock::ntohs(sin.sin_port);
    FLocalPortStr = std::to_string(FLocalPortNumber);
    return true;
}

void TCustomWSocket::ApplyLinger()
{
    if (FLingerOnOff == wsLingerNoSet)
        return;
    if (FHandle == wsock::INVALID_SOCKET) {
        SignalError("Cannot set linger option at this time");
        return;
    }
    wsock::linger value{static_cast<wsock::u_short>(FLingerOnOff), static_cast<wsock::u_short>(FLingerTimeout)};
    if (wsock::setsockopt(FHandle, wsock::SOL_SOCKET, wsock::SO_LINGER, reinterpret_cast<const char*>(&value),
                          sizeof value) == wsock::SOCKET_ERROR)
        ReportSocketError("setsockopt(SO_LINGER)");
}

void TCustomWSocket::Connect()
{
    if (FHandle != wsock::INVALID_SOCKET && FState != wsClosed) {
        SignalError("Connect: Socket already in use");
        return;
    }
    if (!FPortAssigned) {
        SignalError("Connect: No Port Specified");
        return;
    }
    if (!FAddrAssigned) {
        SignalError("Connect: No IP Address Specified");
        return;
    }
    if (!FProtoAssigned) {
        SignalError("Connect: No Protocol Specified");
        return;
    }
    if (!FProtoResolved) {
        FProtoNumber = WSocketResolveProto(FProtoStr);
        FSocketType = FProtoNumber == wsock::IPPROTO_UDP ? wsock::SOCK_DGRAM : wsock::SOCK_STREAM;
        FProtoResolved = true;
    }
    if (!FPortResolved) {
        FPortNumber = WSocketResolvePort(FPortStr, FProtoStr);
        FRemoteSin.sin_port = wsock::htons(static_cast<wsock::u_short>(FPortNumber));
        FPortResolved = true;
    }
    if (!FLocalPortResolved) {
        FLocalPortNumber = WSocketResolvePort(FLocalPortStr, FProtoStr);
        FLocalPortResolved = true;
    }
    if (!FAddrResolved) {
        ResolveRemoteAddr();
        FAddrResolved = true;
    }
    FRemoteSin6.sin6_port = FRemoteSin.sin_port;

    DiscardSendQueue();
    FHandle = wsock::socket(FSocketFamily, FSocketType, FProtoNumber);
    if (FHandle == wsock::INVALID_SOCKET) {
        if (ConnectNextAddress())   // e.g. no IPv6 on this system: the next address may do
            return;
        ReportSocketError("Connect (socket)");
        return;
    }
    wsock::SOCKET handle = FHandle;
    auto alive = FAlive;
    ChangeState(wsOpened);
    if (!*alive || FHandle != handle)
        return;

    int optval;
    if (FSocketType == wsock::SOCK_DGRAM) {
        if (!BindLocal())
            return;
        if (FSocketFamily == wsock::AF_INET && FRemoteSin.sin_addr.s_addr == wsock::INADDR_NONE) {
            optval = 1;
            if (wsock::setsockopt(FHandle, wsock::SOL_SOCKET, wsock::SO_BROADCAST,
                                  reinterpret_cast<const char*>(&optval), sizeof optval) == wsock::SOCKET_ERROR) {
                ReportSocketError("setsockopt(SO_BROADCAST)");
                return;
            }
        }
    } else {
        if (FLocalPortNumber != 0 || (FLocalAddr != "0.0.0.0" && FLocalAddr != "::")) {
            if (!BindLocal())
                return;
        }
        ApplyLinger();
        optval = -1;
        if (wsock::setsockopt(FHandle, wsock::SOL_SOCKET, wsock::SO_KEEPALIVE, reinterpret_cast<const char*>(&optval),
                              sizeof optval) == wsock::SOCKET_ERROR) {
            ReportSocketError("setsockopt(SO_KEEPALIVE)");
            return;
        }
        optval = -1;
        if (wsock::setsockopt(FHandle, wsock::SOL_SOCKET, wsock::SO_REUSEADDR, reinterpret_cast<const char*>(&optval),
                              sizeof optval) == wsock::SOCKET_ERROR) {
            ReportSocketError("setsockopt(SO_REUSEADDR)");
            return;
        }
    }

    FSelectEvents = WSocketConnectEvents;
    if (wsock::WSAAsyncSelect(FHandle, WindowHandle(), WM_SOCKET_NOTIFY, FSelectEvents) != 0) {
        ReportSocketError("WSAAsyncSelect");
        return;
    }

    if (FSocketType == wsock::SOCK_DGRAM) {
        ChangeState(wsConnected);
        if (!*alive || FHandle != handle)
            return;
        DoSessionConnected(0);
    } else {
        int r = wsock::connect(FHandle, RemoteSockAddr(), RemoteSockAddrLen());
        if (r == 0 || wsock::WSAGetLastError() == wsock::WSAEWOULDBLOCK) {
            ChangeState(wsConnecting);
        } else {
            FLastError = wsock::WSAGetLastError();
            if (FSocketType == wsock::SOCK_STREAM && FAddrIndex + 1 < FAddrList.size()) {
                wsock::closesocket(FHandle);
                FHandle = wsock::INVALID_SOCKET;
                FState = wsClosed;
                if (ConnectNextAddress())
                    return;
            }
            ReportSocketError("Connect");
        }
    }
}

void TCustomWSocket::Listen()
{
    if (!FPortAssigned) {
        wsock::WSASetLastError(wsock::WSAEINVAL);
        ReportSocketError("listen: port not assigned");
        return;
    }
    if (!FProtoAssigned) {
        wsock::WSASetLastError(wsock::WSAEINVAL);
        ReportSocketError("listen: protocol not assigned");
        return;
    }
    if (!FAddrAssigned) {
        wsock::WSASetLastError(wsock::WSAEINVAL);
        ReportSocketError("listen: address not assigned");
        return;
    }
    if (!FProtoResolved) {
        FProtoNumber = WSocketResolveProto(FProtoStr);
        FSocketType = FProtoNumber == wsock::IPPROTO_UDP ? wsock::SOCK_DGRAM : wsock::SOCK_STREAM;
        FProtoResolved = true;
    }
    if (!FPortResolved) {
        FPortNumber = WSocketResolvePort(FPortStr, FProtoStr);
        FRemoteSin.sin_port = wsock::htons(static_cast<wsock::u_short>(FPortNumber));
        FPortResolved = true;
    }
    if (!FAddrResolved) {
        ResolveRemoteAddr();
        FAddrResolved = true;
    }
    FRemoteSin6.sin6_port = FRemoteSin.sin_port;

    if (FHandle != wsock::INVALID_SOCKET && FState != wsClosed) {
        // Listening again without a close: the old descriptor goes first (as in Dup), or it
        // would stay open for the life of the program.
        auto alive = FAlive;
        int r = wsock::closesocket(FHandle);
        FHandle = wsock::INVALID_SOCKET;
        if (r != 0) {
            ReportSocketError("Listen (closesocket)");
            return;
        }
        ChangeState(wsClosed);
        if (!*alive)
            return;
    }
    DiscardSendQueue();
    FHandle = wsock::socket(FSocketFamily, FSocketType, FProtoNumber);
    if (FHandle == wsock::INVALID_SOCKET) {
        ReportSocketError("socket");
        return;
    }
    if (wsock::bind(FHandle, RemoteSockAddr(), RemoteSockAddrLen()) != 0) {
        // The socket was never opened as far as the state goes, so Close would leave the
        // handle behind: release it here, keeping the error for the report.
        int e = wsock::WSAGetLastError();
        wsock::closesocket(FHandle);
        FHandle = wsock::INVALID_SOCKET;
        wsock::WSASetLastError(e);
        ReportSocketError("Bind");
        Close();
        return;
    }
    wsock::SOCKET handle = FHandle;
    auto alive = FAlive;
    ChangeState(wsBound);
    if (!*alive || FHandle != handle)
        return;

    if (FSocketType == wsock::SOCK_DGRAM) {
        ChangeState(wsListening);
        if (!*alive || FHandle != handle)
            return;
        ChangeState(wsConnected);
        if (!*alive || FHandle != handle)
            return;
        DoSessionConnected(0);
        if (!*alive || FHandle != handle)
            return;
    } else {
        if (wsock::listen(FHandle, 5) != 0) {
            ReportSocketError("Listen");
            return;
        }
        ChangeState(wsListening);
        if (!*alive || FHandle != handle)
            return;
    }

    FSelectEvents = WSocketListenEvents;
    if (wsock::WSAAsyncSelect(FHandle, WindowHandle(), WM_SOCKET_NOTIFY, FSelectEvents) != 0)
        ReportSocketError("WSAASyncSelect");
}

wsock::SOCKET TCustomWSocket::Accept()
{
    if (FState != wsListening) {
        wsock::WSASetLastError(wsock::WSAEINVAL);
        ReportSocketError("not a listening socket");
        return wsock::INVALID_SOCKET;
    }
    wsock::sockaddr_storage from{};
    int len = sizeof from;
    FAcceptedHandle = wsock::accept(FHandle, reinterpret_cast<wsock::sockaddr*>(&from), &len);
    if (FAcceptedHandle != wsock::INVALID_SOCKET) {
        if (from.ss_family == wsock::AF_INET6)
            std::memcpy(&FRemoteSin6, &from, sizeof FRemoteSin6);
        else
            std::memcpy(&FRemoteSin, &from, sizeof FRemoteSin);
    }
    if (FAcceptedHandle == wsock::INVALID_SOCKET) {
        ReportSocketError("Accept");
        return wsock::INVALID_SOCKET;
    }
    return FAcceptedHandle;
}

void TCustomWSocket::Dup(wsock::SOCKET NewHandle)
{
    if (NewHandle == 0 || NewHandle == wsock::INVALID_SOCKET) {
        wsock::WSASetLastError(wsock::WSAEINVAL);
        ReportSocketError("Dup");
        return;
    }
    auto alive = FAlive;
    if (FState != wsClosed) {
        int r = wsock::closesocket(FHandle);
        FHandle = wsock::INVALID_SOCKET;
        if (r != 0) {
            ReportSocketError("Dup (closesocket)");
            return;
        }
        ChangeState(wsClosed);
        if (!*alive)
            return;
    }
    // Bytes queued for an earlier connection must never go out on this one.
    DiscardSendQueue();
    FHandle = NewHandle;
    ApplyLinger();
    FSelectEvents = WSocketDupEvents;
    if (wsock::WSAAsyncSelect(FHandle, WindowHandle(), WM_SOCKET_NOTIFY, FSelectEvents) != 0) {
        ReportSocketError("WSAAsyncSelect");
        return;
    }
    ChangeState(wsConnected);
}

// ---- closing ----

void TCustomWSocket::Shutdown(int How)
{
    if (FHandle != wsock::INVALID_SOCKET)
        wsock::shutdown(FHandle, How);
}

void TCustomWSocket::InternalClose(bool Shut, std::uint16_t Error)
{
    if (FHandle == wsock::INVALID_SOCKET) {
        if (FState != wsClosed) {
            ChangeState(wsClosed);
            AssignDefaults();
        }
        return;
    }
    if (FState == wsClosed)
        return;
    if (Shut)
        Shutdown(1);

    wsock::SOCKET handle = FHandle;
    FHandle = wsock::INVALID_SOCKET;
    auto alive = FAlive;
    for (;;) {
        if (wsock::closesocket(handle) == 0)
            break;
        FLastError = wsock::WSAGetLastError();
        if (FLastError == wsock::WSAEWOULDBLOCK) {
            PumpMessages();
            if (!*alive)
                return;
            continue;
        }
        if (FLastError == wsock::WSANOTINITIALISED)
            break;
        ReportSocketError("Disconnect (closesocket)");
        return;
    }

    ChangeState(wsClosed);
    if (!*alive)
        return;
    if (!FDestroying && !FCloseInvoked) {
        FCloseInvoked = true;
        DoSessionClosed(Error);
        if (!*alive)
            return;
    }
    if (FHandle != wsock::INVALID_SOCKET || FState != wsClosed) {
        // A handler started the next session already: its settings must survive, and its
        // own close must raise OnSessionClosed again.
        FCloseInvoked = false;
        return;
    }
    try {
        AssignDefaults();
    } catch (...) {
    }
}

void TCustomWSocket::Close()
{
    InternalClose(true, 0);
}

void TCustomWSocket::CloseLater()
{
    FWindow->PostMessage(WM_DEFERRED_CLOSE, 0, 0);
}

void TCustomWSocket::FreeLater()
{
    FWindow->PostMessage(WM_DEFERRED_FREE, 0, 0);
}

void TCustomWSocket::Abort()
{
    CancelDnsLookup();
    DiscardSendQueue();
    if (FState == wsConnected && FProtoNumber == wsock::IPPROTO_TCP) {
        FLingerOnOff = wsLingerOff;
        ApplyLinger();
    }
    InternalClose(false, 0);
}

void TCustomWSocket::DrainUntilClosed()
{
    auto alive = FAlive;
    while (FHandle != wsock::INVALID_SOCKET && FState != wsClosed) {
        PumpMessages();
        if (!*alive)
            return;
        if (FHandle == wsock::INVALID_SOCKET || FState == wsClosed)
            break;
        wsock::u_long count = 0;
        if (wsock::ioctlsocket(FHandle, wsock::FIONREAD, &count) == wsock::SOCKET_ERROR)
            break;
        if (count > 0) {
            std::uint64_t before = FRecvProgress;
            bool handled = DoDataAvailable(0);
            if (!*alive)
                return;
            if (FHandle == wsock::INVALID_SOCKET)
                break;
            if (!handled || FRecvProgress == before) {
                // Nobody takes the data: drop a piece, or unread bytes would hide the
                // end of the stream from the probe below for ever.
                char discard[1024];
                RawReceive(discard, sizeof discard, 0);
            }
        }
        // End-of-stream probe: a peek that finds the orderly close returns 0.
        char probe;
        int r = wsock::recv(FHandle, &probe, 1, wsock::MSG_PEEK);
        if (r == 0) {
            FLastError = 0;
            break;
        }
        if (r < 0) {
            FLastError = wsock::WSAGetLastError();
            if (FLastError != wsock::WSAEWOULDBLOCK)
                break;
        }
        PumpMessages();
        if (!*alive)
            return;
    }
}

// ---- receiving ----

std::int64_t TCustomWSocket::RawReceive(void* Buffer, std::int64_t Len, int Flags)
{
    int len = static_cast<int>(std::clamp<std::int64_t>(Len, INT_MIN, INT_MAX));
    int n = wsock::recv(FHandle, static_cast<char*>(Buffer), len, Flags);
    if (n > 0 && !(Flags & wsock::MSG_PEEK))
        ++FRecvProgress;
    return n;
}

int TCustomWSocket::RawReceiveFrom(void* Buffer, int Len, int Flags, wsock::sockaddr_in& From, int& FromLen)
{
    int n = wsock::recvfrom(FHandle, static_cast<char*>(Buffer), Len, Flags, reinterpret_cast<wsock::sockaddr*>(&From),
                            &FromLen);
    if (n >= 0 && !(Flags & wsock::MSG_PEEK))
        ++FRecvProgress;
    return n;
}

std::int64_t TCustomWSocket::Receive(void* Buffer, std::int64_t Len)
{
    std::int64_t n = RawReceive(Buffer, Len, 0);
    if (n < 0) {
        FLastError = wsock::WSAGetLastError();
    } else {
        FReadCount += n;
        if (n > 0)
            ++FRecvProgress;
    }
    return n;
}

int TCustomWSocket::ReceiveFrom(void* Buffer, int Len, wsock::sockaddr_in& From, int& FromLen)
{
    int n = RawReceiveFrom(Buffer, Len, 0, From, FromLen);
    if (n < 0) {
        FLastError = wsock::WSAGetLastError();
    } else {
        FReadCount += n;
        ++FRecvProgress;
    }
    return n;
}

std::int64_t TCustomWSocket::RcvdCount()
{
    wsock::u_long count = 0;
    if (wsock::ioctlsocket(FHandle, wsock::FIONREAD, &count) == wsock::SOCKET_ERROR) {
        ReportSocketError("ioctlSocket");
        return -1;
    }
    return count;
}

std::string TCustomWSocket::ReceiveStr()
{
    std::string result;
    std::int64_t count = RcvdCount();
    if (count <= 0)
        return result;
    result.resize(std::size_t(count));
    std::int64_t n = Receive(result.data(), count);
    result.resize(n > 0 ? std::size_t(n) : 0);
    return result;
}

void TCustomWSocket::DeliverReadable(std::uint16_t Error, bool Bounded)
{
    auto alive = FAlive;
    wsock::SOCKET handle = FHandle;
    auto start = std::chrono::steady_clock::now();
    for (;;) {
        FLastError = 0;
        std::uint64_t before = FRecvProgress;
        try {
            if (!DoDataAvailable(Error)) {
                char discard[1024];
                if (RawReceive(discard, sizeof discard, 0) < 0) {
                    int e = wsock::WSAGetLastError();
                    FLastError = e == wsock::WSAEWOULDBLOCK ? 0 : e;
                    return;
                }
            }
        } catch (...) {
            // A handler's exception ends the loop here and goes no further.
            return;
        }
        if (!*alive || FHandle != handle)
            return;
        if (FComponentOptions.Contains(wsoNoReceiveLoop))
            return;
        if (FLastError != 0)
            return;
        // A pass that consumed nothing would be repeated for ever: the handler does not
        // want the data now, and its next read brings the next notification.
        if (FRecvProgress == before)
            return;
        if (Bounded && std::chrono::steady_clock::now() - start >= kReceiveLoopBudget)
            return;
        wsock::u_long count = 0;
        if (wsock::ioctlsocket(FHandle, wsock::FIONREAD, &count) == wsock::SOCKET_ERROR) {
            FLastError = wsock::WSAGetLastError();
            return;
        }
        if (count == 0 && !HasBufferedInput())
            return;
    }
}

// ---- the notification handler ----

void TCustomWSocket::HandleNotification(const platform::TMessage& Msg)
{
    wsock::SOCKET handle = Msg.WParam;
    if (handle != FHandle || FEventsPaused)
        return;   // a notification of a handle closed meanwhile, or events are suspended
    int bits = wsock::WSAGETSELECTEVENT(Msg.LParam);
    auto Error = static_cast<std::uint16_t>(wsock::WSAGETSELECTERROR(Msg.LParam));
    auto alive = FAlive;
    // A handler may close the socket (or open a new session on it): the remaining bits
    // belong to the old handle then and are dropped.
    auto stillOurs = [&] { return *alive && FHandle == handle; };

    if ((bits & wsock::FD_CONNECT) && Error != 0 && FAddrIndex + 1 < FAddrList.size()
        && FSocketType == wsock::SOCK_STREAM) {
        // This address did not answer: the next one is tried, quietly, and only the last
        // failure is reported.
        wsock::closesocket(FHandle);
        FHandle = wsock::INVALID_SOCKET;
        FState = wsClosed;
        ConnectNextAddress();
        return;
    }
    if (bits & wsock::FD_CONNECT) {
        ChangeState(wsConnected);
        if (!stillOurs())
            return;
        DoSessionConnected(Error);
        if (!stillOurs())
            return;
        if (Error != 0 && FState != wsClosed) {
            Close();
            return;
        }
    }
    if (bits & wsock::FD_READ) {
        DeliverReadable(Error, true);
        if (!stillOurs())
            return;
    }
    if (bits & wsock::FD_WRITE) {
        TryToSend();
        if (!stillOurs())
            return;
        if (FAllSent) {
            DoDataSent(Error);
            if (!stillOurs())
                return;
        }
    }
    if (bits & wsock::FD_ACCEPT) {
        DoSessionAvailable(Error);
        if (!stillOurs())
            return;
    }
    if ((bits & wsock::FD_CLOSE) && FState != wsConnecting) {
        // Everything still buffered is handed over before the close, however long it takes.
        DeliverReadable(0, false);
        if (!stillOurs())
            return;
        if (!FCloseInvoked) {
            FCloseInvoked = true;
            DoSessionClosed(Error);
            if (!stillOurs())
                return;
        }
        if (FState != wsClosed)
            Close();
    }
}

// ---- peer and local names ----

std::string TCustomWSocket::PeerAddr()
{
    if (FState != wsConnected)
        return "error";
    if (FSocketType == wsock::SOCK_DGRAM)
        return wsock::inet_ntoa(FRemoteSin.sin_addr);   // a datagram socket has no connected peer
    wsock::sockaddr_storage sa{};
    int len = sizeof sa;
    if (wsock::getpeername(FHandle, reinterpret_cast<wsock::sockaddr*>(&sa), &len) != 0) {
        ReportSocketError("GetPeerName");
        return "error";
    }
    if (sa.ss_family == wsock::AF_INET6) {
        char text[64];
        const auto& sin6 = reinterpret_cast<const wsock::sockaddr_in6&>(sa);
        return wsock::inet_ntop(wsock::AF_INET6, sin6.sin6_addr, text, sizeof text) ? text : "error";
    }
    return wsock::inet_ntoa(reinterpret_cast<const wsock::sockaddr_in&>(sa).sin_addr);
}

std::string TCustomWSocket::PeerPort()
{
    if (FState != wsConnected)
        return "error";
    if (FSocketType == wsock::SOCK_DGRAM)
        return std::to_string(wsock::ntohs(FRemoteSin.sin_port));
    wsock::sockaddr_storage sa{};
    int len = sizeof sa;
    if (wsock::getpeername(FHandle, reinterpret_cast<wsock::sockaddr*>(&sa), &len) != 0) {
        ReportSocketError("GetPeerPort");
        return "error";
    }
    // Both families keep the port at the same place.
    return std::to_string(wsock::ntohs(reinterpret_cast<const wsock::sockaddr_in&>(sa).sin_port));
}

int TCustomWSocket::GetPeerName(wsock::sockaddr_in& Name, int& NameLen)
{
    if (FState != wsConnected)
        return -1;
    return wsock::getpeername(FHandle, reinterpret_cast<wsock::sockaddr*>(&Name), &NameLen);
}

int TCustomWSocket::GetPeerName(wsock::sockaddr_storage& Name, int& NameLen)
{
    if (FState != wsConnected)
        return -1;
    return wsock::getpeername(FHandle, reinterpret_cast<wsock::sockaddr*>(&Name), &NameLen);
}

int TCustomWSocket::GetSockName(wsock::sockaddr_storage& Name, int& NameLen)
{
    return wsock::getsockname(FHandle, reinterpret_cast<wsock::sockaddr*>(&Name), &NameLen);
}

int TCustomWSocket::GetSockName(wsock::sockaddr_in& Name, int& NameLen)
{
    return wsock::getsockname(FHandle, reinterpret_cast<wsock::sockaddr*>(&Name), &NameLen);
}

std::string TCustomWSocket::GetSocketPortText()
{
    if (FState != wsBound && FState != wsConnected && FState != wsListening)
        return "error";
    wsock::sockaddr_storage sa{};
    int len = sizeof sa;
    if (GetSockName(sa, len) != 0)
        return "error";
    return std::to_string(wsock::ntohs(reinterpret_cast<const wsock::sockaddr_in&>(sa).sin_port));
}

bool TCustomWSocket::TimeIsSet(const wsock::timeval& T)
{
    return T.tv_sec != 0 || T.tv_usec != 0;
}

void TCustomWSocket::TimeClear(wsock::timeval& T)
{
    T.tv_sec = 0;
    T.tv_usec = 0;
}

bool TCustomWSocket::TimeCompare(const wsock::timeval& T, const wsock::timeval& U, bool Equal)
{
    bool same = T.tv_sec == U.tv_sec && T.tv_usec == U.tv_usec;
    return same ? Equal : !Equal;
}

// ---- events on and off, pumping ----

int TCustomWSocket::SuspendEvents()
{
    FEventsPaused = true;
    return wsock::WSAAsyncSelect(FHandle, WindowHandle(), 0, 0);
}

int TCustomWSocket::ResumeEvents()
{
    FEventsPaused = false;
    return wsock::WSAAsyncSelect(FHandle, WindowHandle(), WM_SOCKET_NOTIFY, FSelectEvents);
}

void TCustomWSocket::PumpMessages()
{
    auto alive = FAlive;
    platform::PumpMessages();
    if (!*alive)
        return;   // a handler run by the pump destroyed the socket
    if (FMultiThreaded && winsock::ThreadQuitRequested())
        FTerminated = true;
}

// ---- the dispatcher ----

void TCustomWSocket::WndProc(platform::TMessage& Msg)
{
    auto alive = FAlive;
    try {
        switch (Msg.Msg) {
        case WM_SOCKET_NOTIFY:
            HandleNotification(Msg);
            break;
        case WM_HOST_BY_NAME:
            HandleLookupDone(Msg, false);
            break;
        case WM_HOST_BY_ADDR:
            HandleLookupDone(Msg, true);
            break;
        case WM_DEFERRED_CLOSE:
            Close();
            break;
        case WM_DEFERRED_FREE:
            delete this;
            return;
        case WM_TEST_EXCEPTION:
            throw ESocketException("Test exception in WSocket");
        case platform::WM_QUIT:
            // The socket's own pump takes a quit request instead of dispatching it.
            if (FMultiThreaded)
                FTerminated = true;
            break;
        default:
            Msg.Result = 0;
            break;
        }
    } catch (const std::exception& E) {
        try {
            if (*alive)
                HandleEventException(E);
            else
                platform::HandleException(std::current_exception());
        } catch (...) {
            platform::HandleException(std::current_exception());
        }
    } catch (...) {
        std::runtime_error E("Unknown exception");
        try {
            if (*alive)
                HandleEventException(E);
            else
                platform::HandleException(std::current_exception());
        } catch (...) {
            platform::HandleException(std::current_exception());
        }
    }
}
