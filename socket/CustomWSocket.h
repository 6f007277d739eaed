// TCustomWSocket: the event-driven, non-blocking TCP/UDP socket object with its hidden
// notification window, send queue and asynchronous name lookups.
#pragma once

#include "platform/MessageWindow.h"
#include "socket/Buffer.h"
#include "socket/SocketLibrary.h"
#include "socket/WSocketResolve.h"
#include "socket/WSocketTypes.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

// Messages of a socket's hidden window.
constexpr std::uint32_t WM_SOCKET_NOTIFY = platform::WM_USER + 1;        // 1025: readiness (handle, bits|error<<16)
constexpr std::uint32_t WM_HOST_BY_NAME = platform::WM_USER + 2;         // 1026: name lookup result
constexpr std::uint32_t WM_HOST_BY_ADDR = platform::WM_USER + 3;         // 1027: address lookup result
constexpr std::uint32_t WM_DEFERRED_CLOSE = platform::WM_USER + 4;       // 1028: CloseLater
constexpr std::uint32_t WM_DEFERRED_FREE = platform::WM_USER + 5;        // 1029: FreeLater
constexpr std::uint32_t WM_TEST_EXCEPTION = platform::WM_USER + 6;       // 1030: raises an exception
constexpr std::uint32_t WM_LINE_REDELIVERY = platform::WM_USER + 20;     // 1044: line mode re-delivery
constexpr std::uint32_t WM_SSL_HANDSHAKE_TIMEOUT = platform::WM_USER + 21;  // 1045: a TLS handshake took too long

// Network-event masks registered by Connect, Listen and Dup.
constexpr long WSocketConnectEvents = 59;   // read, write, accept, connect, close
constexpr long WSocketListenEvents = 43;    // read, write, accept, close
constexpr long WSocketDupEvents = 51;       // read, write, connect, close

// Size of the blocks of the send queue.
constexpr std::int32_t WSocketSendBlockSize = 1514;
// Size of the buffer that receives a host entry from an asynchronous lookup.
constexpr int WSocketDnsBufferSize = 1025;

class TWSocketWindow;

// The socket object. One thread owns it (the one that created it): all its events are raised
// from that thread's event loop, except OnSendData (inside Send) and the events that the
// documented operations raise at once (datagram Connect, Close, CancelDnsLookup, DnsLookup of
// a dotted address). Failures of operations raise ESocketException unless OnError is assigned.
class TCustomWSocket {
public:
    // Creates the object with its hidden window; does not touch the socket library.
    TCustomWSocket();
    // Cancels a pending lookup and closes the socket (OnChangeState is still raised; neither
    // OnSessionClosed nor OnDnsLookupDone is). The last object unloads the socket library.
    virtual ~TCustomWSocket();
    TCustomWSocket(const TCustomWSocket&) = delete;
    TCustomWSocket& operator=(const TCustomWSocket&) = delete;

    // ---- properties ----

    // Remote host (name or dotted address); for Listen the local address. Closed only.
    const std::string& Addr() const { return FAddrStr; }
    void SetAddr(const std::string& Value);
    // Remote port (number or service name); for Listen the port to listen on. Closed only.
    const std::string& Port() const { return FPortStr; }
    virtual void SetPort(const std::string& Value);
    // Protocol name or number ("tcp" by default, "udp" for datagrams). Closed only.
    const std::string& Proto() const { return FProtoStr; }
    virtual void SetProto(const std::string& Value);
    // Local address bound before connecting ("0.0.0.0"; an IPv6 address binds IPv6
    // connections, "::" being any address of either family). Closed only.
    const std::string& LocalAddr() const { return FLocalAddr; }
    void SetLocalAddr(const std::string& Value);
    // Local port bound before connecting ("0"); after a bind, the port the system chose. Closed only.
    const std::string& LocalPort() const { return FLocalPortStr; }
    void SetLocalPort(const std::string& Value);
    // The peer's port as decimal text; "error" unless connected.
    virtual std::string PeerPort();
    // The peer's address as dotted text (IPv6: its numeric text); "error" unless connected.
    virtual std::string PeerAddr();
    // The address family a name lookup asks for: wsock::AF_UNSPEC (both, the system's
    // order; the default), wsock::AF_INET or wsock::AF_INET6.
    int AddressFamily() const { return FAddressFamily; }
    void SetAddressFamily(int Value) { FAddressFamily = Value; }
    // Addresses tried in turn by Connect: the first goes to Addr; when a stream connect to
    // one fails, the next is tried (OnAddressTry first) and only the last failure reaches
    // OnSessionConnected. Closed only; empty (the default) means Addr alone.
    const std::vector<std::string>& AddrList() const { return FAddrList; }
    void SetAddrList(const std::vector<std::string>& Value);
    // The address family of the connection (wsock::AF_INET or wsock::AF_INET6), from Addr.
    int SocketFamily() const { return FSocketFamily; }
    // The first result of the last lookup.
    const std::string& DnsResult() const { return FDnsResult; }
    // All results of the last lookup.
    const std::vector<std::string>& DnsResultList() const { return FDnsResultList; }
    // The current state.
    TSocketState State() const { return FState; }
    // Bytes received since the last reset of defaults.
    std::int64_t ReadCount() const { return FReadCount; }
    // Bytes that can be read now; -1 after a failed query.
    virtual std::int64_t RcvdCount();
    // The last socket library error number recorded.
    std::int32_t LastError() const { return FLastError; }
    // Selects the pump used by PumpMessages (true: the thread's own pump, which notices quit requests).
    bool MultiThreaded() const { return FMultiThreaded; }
    void SetMultiThreaded(bool Value) { FMultiThreaded = Value; }
    // Behaviour switches (wsoNoReceiveLoop).
    TWSocketOptions ComponentOptions() const { return FComponentOptions; }
    void SetComponentOptions(TWSocketOptions Value) { FComponentOptions = Value; }
    // Stored only; nothing reads it.
    std::int32_t FlushTimeout() const { return FFlushTimeout; }
    void SetFlushTimeout(std::int32_t Value) { FFlushTimeout = Value; }
    // The flags of every send call: wsSendUrgent sends out-of-band.
    TSocketSendFlags SendFlags();
    void SetSendFlags(TSocketSendFlags Value);
    // Linger mode applied by ApplyLinger.
    TSocketLingerOnOff LingerOnOff() const { return FLingerOnOff; }
    void SetLingerOnOff(TSocketLingerOnOff Value) { FLingerOnOff = Value; }
    // Linger time in seconds.
    std::int32_t LingerTimeout() const { return FLingerTimeout; }
    void SetLingerTimeout(std::int32_t Value) { FLingerTimeout = Value; }
    // The socket handle; wsock::INVALID_SOCKET when there is none.
    wsock::SOCKET Handle() const { return FHandle; }
    // The handle last returned by Accept.
    wsock::SOCKET AcceptedHandle() const { return FAcceptedHandle; }
    // The hidden window that receives the notifications.
    platform::HWND WindowHandle() const;
    // True when the send queue holds no unsent byte.
    bool AllSent() const { return FAllSent; }
    // Bytes waiting in the send queue.
    std::int64_t BufferedByteCount() const;
    // True once the socket's own pump (MultiThreaded) has met a quit request.
    bool Terminated() const { return FTerminated; }

    // ---- events (empty ones are skipped) ----

    TSessionAvailable OnSessionAvailable;    // a listening socket has a connection to accept
    TSessionConnected OnSessionConnected;    // connect finished (Error 0) or failed
    TSessionClosed OnSessionClosed;          // the connection ended
    TChangeState OnChangeState;              // every state assignment
    TDataAvailable OnDataAvailable;          // data can be read
    TDataSent OnDataSent;                    // the send queue became empty
    TSendData OnSendData;                    // one send call passed bytes to the system
    TNotifyEvent OnLineTooLong;              // declared only; nothing raises it
    TDnsLookupDone OnDnsLookupDone;          // an asynchronous lookup ended
    std::function<void(TCustomWSocket*, const std::string&)> OnAddressTry;   // Connect tries this address of AddrList
    TNotifyEvent OnError;                    // when assigned, replaces the raising of errors
    TBgExceptionEvent OnBgException;         // an exception escaped from an event handler

    // ---- operations ----

    // Opens a socket to Addr:Port with Proto; ends in wsConnecting (stream, outcome through
    // OnSessionConnected) or wsConnected (datagram, OnSessionConnected(0) before returning).
    virtual void Connect();
    // Shuts down sending and closes; raises OnSessionClosed once.
    virtual void Close();
    // Closes from the event loop (after the current handler has returned).
    virtual void CloseLater();
    // Destroys the object from the event loop; only for objects created with new.
    virtual void FreeLater();
    // Cancels a lookup, discards queued data and closes at once without shutting down sending.
    virtual void Abort();
    // Sends the whole queue, pumping messages meanwhile; ends when empty or closed.
    virtual void Flush();
    // Reads and pumps until the connection is closed (by the peer or by a handler).
    virtual void DrainUntilClosed();
    // Binds to Addr:Port and listens; ends in wsListening (stream) or wsConnected (datagram).
    virtual void Listen();
    // Takes one pending connection from a listening socket; returns its handle or INVALID_SOCKET.
    virtual wsock::SOCKET Accept();
    // Reads up to Len bytes; returns the count (0 at end of stream) or -1 with LastError set.
    virtual std::int64_t Receive(void* Buffer, std::int64_t Len);
    // All bytes available now (empty when none).
    virtual std::string ReceiveStr();
    // Reads one datagram and its source address; returns the count or -1 with LastError set.
    virtual int ReceiveFrom(void* Buffer, int Len, wsock::sockaddr_in& From, int& FromLen);
    // Queues Len bytes and sends what the system takes now; returns Len (0 when Len <= 0), or
    // -1 when not connected. OnDataSent follows from the event loop once the queue is empty.
    virtual std::int64_t Send(const void* Data, std::int64_t Len);
    // Zero-copy receive: moves up to Len received bytes into the pipe PipeFd without copying
    // them through our memory (bytes a layer holds already are written to the pipe first).
    // Counts like Receive; returns the count (0 at end of stream) or -1 with LastError set
    // and SysError the system's errno (EINVAL, ENOSYS: this socket cannot splice). The pipe
    // must have room for Len bytes.
    virtual std::int64_t ReceiveToPipe(int PipeFd, std::int64_t Len, int& SysError);
    // Zero-copy send: sends up to Len bytes of the file File from Offset (advanced) straight
    // from the file. Only with an empty send queue (otherwise -1 with would-block: wait for OnDataSent). Returns
    // the count (0 at the end of the file) or -1 with LastError set and SysError the errno.
    // OnSendData follows each accepted call; OnDataSent follows from the event loop, at once
    // when all Len bytes went, else when the system takes more. A lost connection closes the
    // socket with OnSessionClosed(error), as in Send; a file that cannot be sent so leaves the
    // socket as it was. A layer that transforms the bytes on their way (TLS) must override
    // this to refuse (SysError EOPNOTSUPP) unless the kernel does the transforming.
    virtual std::int64_t SendFromFile(int File, std::int64_t& Offset, std::int64_t Len, int& SysError);
    // Sends one datagram to Dest at once (no queue, no state check); the library's result.
    virtual int SendTo(const wsock::sockaddr_in& Dest, int DestLen, const void* Data, int Len);
    // Send of the string's bytes.
    virtual std::int64_t SendStr(const std::string& Str);
    // Looks a host name up; a dotted address is answered at once, inside the call.
    virtual void DnsLookup(const std::string& HostName);
    // Looks the official name of a dotted address up.
    virtual void ReverseDnsLookup(const std::string& HostAddr);
    // Cancels a pending lookup and raises OnDnsLookupDone(10004) at once.
    virtual void CancelDnsLookup();
    // The peer address (library result, 0 = success); -1 unless connected.
    virtual int GetPeerName(wsock::sockaddr_in& Name, int& NameLen);
    // The same for an address of either family.
    int GetPeerName(wsock::sockaddr_storage& Name, int& NameLen);
    // The local port as decimal text when bound, connected or listening; else "error".
    virtual std::string GetSocketPortText();
    // True when either member of the time is non-zero.
    virtual bool TimeIsSet(const wsock::timeval& T);
    // Sets both members to 0.
    virtual void TimeClear(wsock::timeval& T);
    // Equal when both members of T and U are equal, the negation of Equal otherwise.
    virtual bool TimeCompare(const wsock::timeval& T, const wsock::timeval& U, bool Equal);
    // The local address (library result, 0 = success).
    virtual int GetSockName(wsock::sockaddr_in& Name, int& NameLen);
    // The same for an address of either family.
    int GetSockName(wsock::sockaddr_storage& Name, int& NameLen);
    // Makes this object the owner of an already connected handle; ends in wsConnected.
    virtual void Dup(wsock::SOCKET NewHandle);
    // Passes How (0 receive, 1 send, 2 both) to the library; nothing without a handle.
    virtual void Shutdown(int How);
    // Stops notifications for the handle; returns the library result.
    virtual int SuspendEvents();
    // Restarts notifications for the handle; returns the library result.
    virtual int ResumeEvents();
    // Processes all pending messages of the thread.
    virtual void PumpMessages();
    // Applies LingerOnOff and LingerTimeout to the handle.
    void ApplyLinger();

protected:
    friend class TWSocketWindow;

    // The window-message dispatcher: runs the handlers of the message table under an
    // exception guard (HandleEventException).
    virtual void WndProc(platform::TMessage& Msg);
    // Resets the per-session settings (run at creation and at the end of every close).
    virtual void AssignDefaults();
    // Closes the handle (after shutting down sending when Shut) and raises OnSessionClosed(Error) once.
    virtual void InternalClose(bool Shut, std::uint16_t Error);
    // Binds to LocalAddr:LocalPort and learns the port chosen; false after a signalled failure.
    virtual bool BindLocal();
    // One send call with the bytes of one block; raises OnSendData on success.
    virtual int RawSend(const void* Data, int Len);
    // Raises ESocketException(Msg), or OnError when assigned (then the caller goes on).
    virtual void SignalError(const std::string& Msg);
    // SignalError with a printf-style message.
    void SignalErrorFmt(const char* Fmt, ...) __attribute__((format(printf, 2, 3)));
    // An exception escaped from an event handler: OnBgException, then Abort unless CanClose was cleared.
    virtual void HandleEventException(const std::exception& E);
    // The event triggers; the only places that raise the events, so that a layer can intercept.
    // DoDataAvailable returns false when no OnDataAvailable handler is assigned.
    virtual bool DoDataAvailable(std::uint16_t Error);
    virtual void DoSessionAvailable(std::uint16_t Error);
    virtual void DoSessionConnected(std::uint16_t Error);
    virtual void DoSessionClosed(std::uint16_t Error);
    virtual void DoDataSent(std::uint16_t Error);
    virtual void DoChangeState(TSocketState OldState, TSocketState NewState);
    virtual void DoDnsLookupDone(std::uint16_t Error);
    virtual void DoError();
    // True when a layer holds received bytes of its own (a proxy reply's leftover, a line
    // buffer) that must be read through Receive before the handle is read directly.
    virtual bool HoldsReceivedBytes();
    // True when a layer holds received bytes that the system's readiness does not show
    // (decrypted or undecrypted TLS records); the receive loop goes on while it does.
    virtual bool HasBufferedInput() { return false; }
    // One recv call on the handle.
    virtual std::int64_t RawReceive(void* Buffer, std::int64_t Len, int Flags);
    // One recvfrom call on the handle.
    virtual int RawReceiveFrom(void* Buffer, int Len, int Flags, wsock::sockaddr_in& From, int& FromLen);

    // "Error N in function F" + CRLF + description; 10054/10057 also close the handle.
    void ReportSocketError(const std::string& FuncName);
    // Stores the new state and raises OnChangeState (also when unchanged).
    void ChangeState(TSocketState NewState);
    // Drains the send queue as far as the system accepts now.
    void TryToSend();
    // Appends bytes to the send queue.
    void QueueSendData(const void* Data, std::int64_t Len);
    // Frees every queued block.
    void DiscardSendQueue();
    // The receive loop: offers readable data to DoDataAvailable. Bounded runs give the event
    // loop back after a short time budget; the unread data brings the next notification.
    void DeliverReadable(std::uint16_t Error, bool Bounded);
    // True while the destructor runs.
    bool Destroying() const { return FDestroying; }
    // Turns false when the object is destroyed: a layer that raises an event keeps a copy
    // to learn whether the handler deleted the socket.
    std::shared_ptr<bool> AliveToken() const { return FAlive; }

    // ---- fields ----
    std::string FDnsResult;
    std::vector<std::string> FDnsResultList;
    wsock::SOCKET FAcceptedHandle = wsock::INVALID_SOCKET;
    std::deque<std::unique_ptr<TBuffer>> FSendQueue;
    std::int32_t FSendBlockSize = WSocketSendBlockSize;
    std::int32_t FSendFlagsValue = 0;
    std::int32_t FLastError = 0;
    alignas(wsock::hostent) char FDnsLookupBuffer[WSocketDnsBufferSize] = {};
    wsock::HANDLE FDnsLookupHandle = 0;
    long FSelectEvents = 0;
    wsock::SOCKET FHandle = wsock::INVALID_SOCKET;
    std::string FAddrStr;
    bool FAddrResolved = false;
    std::int32_t FSocketFamily = wsock::AF_INET;
    bool FAddrAssigned = false;
    std::int32_t FProtoNumber = wsock::IPPROTO_TCP;
    bool FProtoAssigned = true;
    bool FProtoResolved = false;
    bool FLocalPortResolved = false;
    std::string FProtoStr = "tcp";
    std::string FPortStr;
    bool FPortAssigned = false;
    bool FPortResolved = false;
    std::int32_t FPortNumber = 0;
    std::string FLocalPortStr = "0";
    std::int32_t FLocalPortNumber = 0;
    std::string FLocalAddr = "0.0.0.0";
    std::int32_t FSocketType = wsock::SOCK_STREAM;
    TSocketLingerOnOff FLingerOnOff = wsLingerOn;
    std::int32_t FLingerTimeout = 0;
    bool FAllSent = true;
    std::int64_t FReadCount = 0;
    bool FEventsPaused = false;
    bool FCloseInvoked = false;
    std::int32_t FFlushTimeout = 60;
    bool FMultiThreaded = false;
    TWSocketOptions FComponentOptions;
    TSocketState FState = wsClosed;
    bool FTerminated = false;
    wsock::sockaddr_in FRemoteSin{};
    wsock::sockaddr_in6 FRemoteSin6{};   // the remote address when FSocketFamily is AF_INET6
    int FAddressFamily = wsock::AF_UNSPEC;
    std::vector<std::string> FAddrList;
    std::size_t FAddrIndex = 0;
    bool FDnsAddrInfo = false;   // the pending lookup answers with address texts
    // Resolves FAddrStr into FRemoteSin or FRemoteSin6 and sets FSocketFamily.
    void ResolveRemoteAddr();
    // Moves to the next address of FAddrList (OnAddressTry) and connects to it; false when
    // none is left. The handle must be released already.
    bool ConnectNextAddress();
    // The remote address in the family of the socket, for connect and bind.
    const wsock::sockaddr* RemoteSockAddr() const;
    int RemoteSockAddrLen() const;

private:
    void HandleNotification(const platform::TMessage& Msg);
    void HandleLookupDone(const platform::TMessage& Msg, bool Reverse);
    std::unique_ptr<TBuffer> NewBlock();

    std::unique_ptr<TWSocketWindow> FWindow;
    // Shared with every frame that raises an event: false once the object is destroyed,
    // so that no frame touches a socket that a handler deleted.
    std::shared_ptr<bool> FAlive = std::make_shared<bool>(true);
    bool FDestroying = false;
    bool FInTryToSend = false;
    // Counts reads that took bytes, so the receive loop can tell a pass that consumed nothing.
    std::uint64_t FRecvProgress = 0;
    // Changes whenever the queue is discarded, so a send loop notices blocks freed under it.
    std::uint64_t FQueueGeneration = 0;
    // Drained blocks kept for reuse, to spare an allocation per 1514 bytes on long transfers.
    std::vector<std::unique_ptr<TBuffer>> FSpareBlocks;
};

// The hidden window of a socket: hands every message to its socket's dispatcher, and
// to nobody once the socket has detached itself.
class TWSocketWindow : public platform::MessageWindow {
public:
    // A window that hands its messages to owner.
    explicit TWSocketWindow(TCustomWSocket* owner) : FOwner(owner) {}
    TCustomWSocket* FOwner;

protected:
    void WndProc(platform::TMessage& Msg) override
    {
        if (FOwner)
            FOwner->WndProc(Msg);
        else
            Msg.Result = 0;
    }
};
