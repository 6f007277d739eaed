// The Winsock 1.1 stand-in on POSIX sockets: handle table, error mapping, the notification
// rules of WSAAsyncSelect on QSocketNotifier, and host lookups on worker threads.
#include <QMetaObject>
#include <QObject>
#include <QSocketNotifier>
#include <QThread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <strings.h>
#include <thread>
#include <unordered_map>

// The system's values, captured before the Winsock names (macros here) are released.
namespace sys {
constexpr int kSolSocket = SOL_SOCKET;
constexpr int kSoDebug = SO_DEBUG;
constexpr int kSoAcceptConn = SO_ACCEPTCONN;
constexpr int kSoReuseAddr = SO_REUSEADDR;
constexpr int kSoKeepAlive = SO_KEEPALIVE;
constexpr int kSoDontRoute = SO_DONTROUTE;
constexpr int kSoBroadcast = SO_BROADCAST;
constexpr int kSoLinger = SO_LINGER;
constexpr int kSoOobInline = SO_OOBINLINE;
constexpr int kSoSndBuf = SO_SNDBUF;
constexpr int kSoRcvBuf = SO_RCVBUF;
constexpr int kSoError = SO_ERROR;
constexpr int kSoType = SO_TYPE;
constexpr int kTcpNoDelay = TCP_NODELAY;
constexpr int kIpprotoTcp = IPPROTO_TCP;
constexpr int kSockStream = SOCK_STREAM;
constexpr int kSockDgram = SOCK_DGRAM;
constexpr int kAfInet = AF_INET;
constexpr int kAfInet6 = AF_INET6;
constexpr int kAfUnspec = AF_UNSPEC;
constexpr int kMsgOob = MSG_OOB;
constexpr int kMsgPeek = MSG_PEEK;
constexpr unsigned long kFionRead = FIONREAD;
} // namespace sys

#undef AF_INET
#undef AF_INET6
#undef AF_UNSPEC
#undef PF_INET
#undef SOCK_STREAM
#undef SOCK_DGRAM
#undef IPPROTO_TCP
#undef IPPROTO_UDP
#undef INADDR_ANY
#undef INADDR_NONE
#undef SOL_SOCKET
#undef SO_DEBUG
#undef SO_ACCEPTCONN
#undef SO_REUSEADDR
#undef SO_KEEPALIVE
#undef SO_DONTROUTE
#undef SO_BROADCAST
#undef SO_LINGER
#undef SO_OOBINLINE
#undef SO_SNDBUF
#undef SO_RCVBUF
#undef SO_ERROR
#undef SO_TYPE
#undef TCP_NODELAY
#undef MSG_OOB
#undef MSG_PEEK
#undef FIONREAD
#undef FIONBIO
#undef SOMAXCONN
#undef ntohs
#undef ntohl
#undef htons
#undef htonl

#include "platform/WinSock.h"
#include "platform/ZeroCopy.h"

namespace winsock {

namespace {

thread_local int tLastError = 0;
thread_local unsigned long tLastSystemError = 0;

// ---- the handle table ----

// One open socket. Its notification fields are touched only by the thread that registered it.
struct Entry {
    SOCKET Handle = INVALID_SOCKET;
    int Fd = -1;
    bool Datagram = false;
    bool Listening = false;
    bool Connecting = false;     // a non-blocking connect is under way
    bool Connected = false;
    bool ShutWrite = false;      // shutdown(send) was called: EPIPE means "after shutdown"
    platform::HWND Wnd = 0;
    u_int Msg = 0;
    long Mask = 0;
    QSocketNotifier* Reader = nullptr;
    QSocketNotifier* Writer = nullptr;
    bool ReadArmed = false;      // waiting for readability to report read, accept or close
    bool ReadPosted = false;     // read/accept reported; recv/accept re-enables
    bool ClosePosted = false;    // close reported; nothing more is read
    bool WriteWanted = false;    // a send would block: report writability once
};

std::mutex gTableLock;
// Heap objects that are never destroyed: the library may be cleaned up at program exit.
auto& gTable = *new std::unordered_map<SOCKET, std::shared_ptr<Entry>>;
std::atomic<SOCKET> gNextHandle{1000};
std::atomic<int> gStartups{0};

bool Started()
{
    if (gStartups.load() > 0)
        return true;
    tLastError = WSANOTINITIALISED;
    return false;
}

std::shared_ptr<Entry> Find(SOCKET s)
{
    if (!Started())
        return nullptr;
    std::lock_guard<std::mutex> lock(gTableLock);
    auto it = gTable.find(s);
    if (it == gTable.end()) {
        tLastError = WSAENOTSOCK;
        return nullptr;
    }
    return it->second;
}

SOCKET AddEntry(int fd, bool datagram, bool connected)
{
    auto e = std::make_shared<Entry>();
    e->Handle = gNextHandle.fetch_add(1);
    e->Fd = fd;
    e->Datagram = datagram;
    e->Connected = connected;
    std::lock_guard<std::mutex> lock(gTableLock);
    gTable.emplace(e->Handle, e);
    return e->Handle;
}

int Fail(int wsaError)
{
    tLastError = wsaError;
    return SOCKET_ERROR;
}

int FailErrno()
{
    return Fail(ErrnoToWinsock(errno));
}

void DeleteNotifier(QSocketNotifier*& n)
{
    if (!n)
        return;
    n->setEnabled(false);
    if (n->thread() == QThread::currentThread())
        delete n;
    else
        n->deleteLater();
    n = nullptr;
}

void ReleaseEntry(Entry& e)
{
    DeleteNotifier(e.Reader);
    DeleteNotifier(e.Writer);
    ::close(e.Fd);
    e.Fd = -1;
}

// ---- notifications ----

void Post(const Entry& e, long bit, int error)
{
    if (e.Mask & bit)
        platform::PostMessage(e.Wnd, e.Msg, e.Handle, WSAMAKESELECTREPLY(int(bit), error));
}

void ArmRead(Entry& e)
{
    if (!e.Reader)
        return;
    e.ReadArmed = true;
    e.Reader->setEnabled(true);
}

void DisarmRead(Entry& e)
{
    e.ReadArmed = false;
    if (e.Reader)
        e.Reader->setEnabled(false);
}

// After a recv or accept: the next readiness brings the next notification.
void Rearm(Entry& e)
{
    if (e.ReadPosted && !e.ClosePosted && e.Mask != 0) {
        e.ReadPosted = false;
        ArmRead(e);
    }
}

void ArmReadIfWanted(Entry& e)
{
    if (e.Mask & (FD_READ | FD_CLOSE | FD_ACCEPT))
        ArmRead(e);
}

// Readability of a registered socket: a listener has a connection, a datagram socket a
// datagram; a stream socket has data (peek > 0), an orderly close (peek 0) or a reset.
void OnReadable(SOCKET h)
{
    auto e = Find(h);
    if (!e || !e->Reader)
        return;
    if (!e->ReadArmed) {
        e->Reader->setEnabled(false);
        return;
    }
    if (e->Listening) {
        DisarmRead(*e);
        e->ReadPosted = true;
        Post(*e, FD_ACCEPT, 0);
        return;
    }
    if (e->Datagram) {
        DisarmRead(*e);
        e->ReadPosted = true;
        Post(*e, FD_READ, 0);
        return;
    }
    char c;
    ssize_t n = ::recv(e->Fd, &c, 1, sys::kMsgPeek | MSG_DONTWAIT);
    if (n > 0) {
        DisarmRead(*e);
        e->ReadPosted = true;
        Post(*e, FD_READ, 0);
        return;
    }
    int err = n == 0 ? 0 : errno;
    if (n < 0 && (err == EAGAIN || err == EWOULDBLOCK || err == EINTR))
        return;   // nothing after all; stay armed
    DisarmRead(*e);
    e->ClosePosted = true;
    Post(*e, FD_CLOSE, n == 0 ? 0 : ErrnoToWinsock(err));
}

void OnWritable(SOCKET h)
{
    auto e = Find(h);
    if (!e || !e->Writer)
        return;
    e->Writer->setEnabled(false);
    if (e->Connecting) {
        e->Connecting = false;
        int soError = 0;
        socklen_t len = sizeof soError;
        if (::getsockopt(e->Fd, sys::kSolSocket, sys::kSoError, &soError, &len) != 0)
            soError = errno;
        if (soError != 0) {
            Post(*e, FD_CONNECT, ErrnoToWinsock(soError));
            return;
        }
        e->Connected = true;
        Post(*e, FD_CONNECT, 0);
        Post(*e, FD_WRITE, 0);
        ArmReadIfWanted(*e);
        return;
    }
    if (e->WriteWanted) {
        e->WriteWanted = false;
        Post(*e, FD_WRITE, 0);
    }
}

void EnsureNotifiers(Entry& e)
{
    QThread* here = QThread::currentThread();
    if (e.Reader && e.Reader->thread() != here)
        DeleteNotifier(e.Reader);
    if (e.Writer && e.Writer->thread() != here)
        DeleteNotifier(e.Writer);
    SOCKET h = e.Handle;
    if (!e.Reader) {
        e.Reader = new QSocketNotifier(e.Fd, QSocketNotifier::Read);
        e.Reader->setEnabled(false);
        QObject::connect(e.Reader, &QSocketNotifier::activated, [h] { OnReadable(h); });
    }
    if (!e.Writer) {
        e.Writer = new QSocketNotifier(e.Fd, QSocketNotifier::Write);
        e.Writer->setEnabled(false);
        QObject::connect(e.Writer, &QSocketNotifier::activated, [h] { OnWritable(h); });
    }
}

void SetNonBlocking(int fd, bool on)
{
    int flags = ::fcntl(fd, F_GETFL, 0);
    if (flags < 0)
        return;
    ::fcntl(fd, F_SETFL, on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK));
}

bool IsNonBlocking(int fd)
{
    int flags = ::fcntl(fd, F_GETFL, 0);
    return flags >= 0 && (flags & O_NONBLOCK);
}

// ---- addresses ----

bool ToSystem(const sockaddr* in, int len, ::sockaddr_storage& out, socklen_t& outLen)
{
    if (!in || len < int(sizeof(sockaddr_in))) {
        tLastError = WSAEFAULT;
        return false;
    }
    std::memset(&out, 0, sizeof out);
    auto family = reinterpret_cast<const sockaddr_in*>(in)->sin_family;
    if (family == AF_INET) {
        auto* w = reinterpret_cast<const sockaddr_in*>(in);
        auto* sa = reinterpret_cast<::sockaddr_in*>(&out);
        sa->sin_family = sys::kAfInet;
        sa->sin_port = w->sin_port;
        sa->sin_addr.s_addr = w->sin_addr.s_addr;
        outLen = sizeof(::sockaddr_in);
        return true;
    }
    if (family == AF_INET6) {
        if (len < int(sizeof(sockaddr_in6))) {
            tLastError = WSAEFAULT;
            return false;
        }
        auto* w = reinterpret_cast<const sockaddr_in6*>(in);
        auto* sa = reinterpret_cast<::sockaddr_in6*>(&out);
        sa->sin6_family = sys::kAfInet6;
        sa->sin6_port = w->sin6_port;
        sa->sin6_flowinfo = w->sin6_flowinfo;
        std::memcpy(&sa->sin6_addr, w->sin6_addr, 16);
        sa->sin6_scope_id = w->sin6_scope_id;
        outLen = sizeof(::sockaddr_in6);
        return true;
    }
    tLastError = WSAEAFNOSUPPORT;
    return false;
}

void FromSystem(const ::sockaddr_storage& in, sockaddr* out, int* len)
{
    if (!out || !len)
        return;
    if (in.ss_family == sys::kAfInet6) {
        if (*len < int(sizeof(sockaddr_in6)))
            return;
        auto* sa = reinterpret_cast<const ::sockaddr_in6*>(&in);
        auto* w = reinterpret_cast<sockaddr_in6*>(out);
        std::memset(w, 0, sizeof *w);
        w->sin6_family = AF_INET6;
        w->sin6_port = sa->sin6_port;
        w->sin6_flowinfo = sa->sin6_flowinfo;
        std::memcpy(w->sin6_addr, &sa->sin6_addr, 16);
        w->sin6_scope_id = sa->sin6_scope_id;
        *len = sizeof(sockaddr_in6);
        return;
    }
    if (*len < int(sizeof(sockaddr_in)))
        return;
    auto* sa = reinterpret_cast<const ::sockaddr_in*>(&in);
    auto* w = reinterpret_cast<sockaddr_in*>(out);
    std::memset(w, 0, sizeof *w);
    w->sin_family = AF_INET;
    w->sin_port = sa->sin_port;
    w->sin_addr.s_addr = sa->sin_addr.s_addr;
    *len = sizeof(sockaddr_in);
}

int TranslateFlags(int flags)
{
    int out = 0;
    if (flags & MSG_OOB)
        out |= sys::kMsgOob;
    if (flags & MSG_PEEK)
        out |= sys::kMsgPeek;
    if (flags & 0x4)
        out |= MSG_DONTROUTE;
    return out;
}

// ---- resolvers ----

std::mutex gResolverLock;
THostResolver& gHostResolver = *new THostResolver;
TAddrResolver& gAddrResolver = *new TAddrResolver;
TAddr6Resolver& gAddr6Resolver = *new TAddr6Resolver;

int SystemHostResolver(const std::string& name, std::string& official, std::vector<u_long>& addresses)
{
    addrinfo hints{};
    hints.ai_family = sys::kAfInet;
    hints.ai_socktype = sys::kSockStream;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* list = nullptr;
    int r = ::getaddrinfo(name.c_str(), nullptr, &hints, &list);
    if (r != 0)
        return ResolverErrorToWinsock(r);
    official = list && list->ai_canonname ? list->ai_canonname : name;
    for (addrinfo* a = list; a; a = a->ai_next) {
        if (a->ai_family != sys::kAfInet)
            continue;
        u_long addr = reinterpret_cast<const ::sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
        if (std::find(addresses.begin(), addresses.end(), addr) == addresses.end())
            addresses.push_back(addr);
    }
    ::freeaddrinfo(list);
    return addresses.empty() ? WSANO_DATA : 0;
}

TAddrInfoResolver& gAddrInfoResolver = *new TAddrInfoResolver;

int SystemAddrInfoResolver(const std::string& name, int family, std::vector<std::string>& addresses)
{
    addrinfo hints{};
    hints.ai_family = family == AF_INET ? sys::kAfInet : family == AF_INET6 ? sys::kAfInet6 : sys::kAfUnspec;
    hints.ai_socktype = sys::kSockStream;
    addrinfo* list = nullptr;
    int r = ::getaddrinfo(name.c_str(), nullptr, &hints, &list);
    if (r != 0)
        return ResolverErrorToWinsock(r);
    for (addrinfo* a = list; a; a = a->ai_next) {
        char text[INET6_ADDRSTRLEN] = "";
        if (a->ai_family == sys::kAfInet)
            ::inet_ntop(sys::kAfInet, &reinterpret_cast<const ::sockaddr_in*>(a->ai_addr)->sin_addr, text, sizeof text);
        else if (a->ai_family == sys::kAfInet6)
            ::inet_ntop(sys::kAfInet6, &reinterpret_cast<const ::sockaddr_in6*>(a->ai_addr)->sin6_addr, text,
                        sizeof text);
        else
            continue;
        if (std::find(addresses.begin(), addresses.end(), text) == addresses.end())
            addresses.emplace_back(text);
    }
    ::freeaddrinfo(list);
    return addresses.empty() ? WSANO_DATA : 0;
}

int ResolveAddrInfo(const std::string& name, int family, std::vector<std::string>& addresses)
{
    TAddrInfoResolver resolver;
    THostResolver hostResolver;
    {
        std::lock_guard<std::mutex> lock(gResolverLock);
        resolver = gAddrInfoResolver;
        hostResolver = gHostResolver;
    }
    if (resolver)
        return resolver(name, family, addresses);
    if (hostResolver) {
        // A host resolver set by a test answers for IPv4 only.
        if (family == AF_INET6)
            return WSANO_DATA;
        std::string official;
        std::vector<u_long> v4;
        int r = hostResolver(name, official, v4);
        for (u_long a : v4) {
            in_addr in{a};
            addresses.emplace_back(inet_ntoa(in));
        }
        return r;
    }
    return SystemAddrInfoResolver(name, family, addresses);
}

// The registered name of an address (a reverse lookup); 0 or the Winsock error.
int NameOfAddress(const ::sockaddr* Address, ::socklen_t Len, std::string& official)
{
    char host[NI_MAXHOST];
    int r = ::getnameinfo(Address, Len, host, sizeof host, nullptr, 0, NI_NAMEREQD);
    if (r != 0)
        return ResolverErrorToWinsock(r);
    official = host;
    return 0;
}

int SystemAddrResolver(u_long address, std::string& official)
{
    ::sockaddr_in sa{};
    sa.sin_family = sys::kAfInet;
    sa.sin_addr.s_addr = address;
    return NameOfAddress(reinterpret_cast<const ::sockaddr*>(&sa), sizeof sa, official);
}

int ResolveHost(const std::string& name, std::string& official, std::vector<u_long>& addresses)
{
    THostResolver resolver;
    {
        std::lock_guard<std::mutex> lock(gResolverLock);
        resolver = gHostResolver;
    }
    return resolver ? resolver(name, official, addresses) : SystemHostResolver(name, official, addresses);
}

int SystemAddr6Resolver(const unsigned char (&address)[16], std::string& official)
{
    ::sockaddr_in6 sa{};
    sa.sin6_family = sys::kAfInet6;
    std::memcpy(&sa.sin6_addr, address, sizeof address);
    return NameOfAddress(reinterpret_cast<const ::sockaddr*>(&sa), sizeof sa, official);
}

int ResolveAddr6(const unsigned char (&address)[16], std::string& official)
{
    TAddr6Resolver resolver;
    {
        std::lock_guard<std::mutex> lock(gResolverLock);
        resolver = gAddr6Resolver;
    }
    if (!resolver)
        return SystemAddr6Resolver(address, official);
    char text[INET6_ADDRSTRLEN] = "";
    ::inet_ntop(sys::kAfInet6, address, text, sizeof text);
    return resolver(text, official);
}

int ResolveAddr(u_long address, std::string& official)
{
    TAddrResolver resolver;
    {
        std::lock_guard<std::mutex> lock(gResolverLock);
        resolver = gAddrResolver;
    }
    return resolver ? resolver(address, official) : SystemAddrResolver(address, official);
}

// Writes a host entry into a caller's buffer: the record, the (empty) alias list, the
// address list, the addresses and the name, all pointing into the buffer. Addresses that
// do not fit are left out; false when not even the record and one address fit.
bool PackHostent(char* buf, int buflen, const std::string& name, const std::vector<u_long>& addrs)
{
    if (!buf || buflen <= 0)
        return false;
    auto base = reinterpret_cast<std::uintptr_t>(buf);
    std::uintptr_t aligned = (base + alignof(hostent) - 1) & ~std::uintptr_t(alignof(hostent) - 1);
    std::size_t skip = aligned - base;
    std::size_t fixed = skip + sizeof(hostent) + sizeof(char*) /* aliases */ + sizeof(char*) /* list end */ +
                        name.size() + 1;
    if (fixed > std::size_t(buflen))
        return false;
    std::size_t perAddr = sizeof(char*) + 4;
    std::size_t count = std::min(addrs.size(), (std::size_t(buflen) - fixed) / perAddr);
    if (count == 0 && !addrs.empty())
        return false;
    auto* h = reinterpret_cast<hostent*>(aligned);
    auto** aliases = reinterpret_cast<char**>(h + 1);
    char** list = aliases + 1;
    char* data = reinterpret_cast<char*>(list + count + 1);
    aliases[0] = nullptr;
    for (std::size_t i = 0; i < count; ++i) {
        std::memcpy(data, &addrs[i], 4);
        list[i] = data;
        data += 4;
    }
    list[count] = nullptr;
    std::memcpy(data, name.c_str(), name.size() + 1);
    h->h_name = data;
    h->h_aliases = aliases;
    h->h_addrtype = AF_INET;
    h->h_length = 4;
    h->h_addr_list = list;
    return true;
}

// ---- asynchronous lookups ----

struct Request {
    HANDLE Handle = 0;
    platform::HWND Wnd = 0;
    u_int Msg = 0;
    char* Buf = nullptr;
    int BufLen = 0;
    QObject* Context = nullptr;   // lives on the requesting thread; results are delivered through it
    bool Reverse = false;
    bool AddrInfo = false;   // WSAAsyncGetAddrInfo: a list of address texts
    int Family = 0;
    std::string Name;
    u_long Address = 0;
    unsigned char Address6[16] = {};   // a reverse lookup of an IPv6 address (Family AF_INET6)
    // Results, written by the worker before it hands the request back.
    int Error = 0;
    std::string Official;
    std::vector<u_long> Addresses;
    std::vector<std::string> Texts;
};

// Writes address texts, each ended by a zero byte, and an empty text after the last; the
// texts that do not fit are left out. False when not even one fits.
bool PackAddrTexts(char* buf, int buflen, const std::vector<std::string>& texts)
{
    if (!buf || buflen <= 0)
        return false;
    std::size_t used = 0;
    std::size_t room = std::size_t(buflen) - 1;   // the closing empty text
    for (const std::string& t : texts) {
        if (used + t.size() + 1 > room)
            break;
        std::memcpy(buf + used, t.c_str(), t.size() + 1);
        used += t.size() + 1;
    }
    buf[used] = '\0';
    return used > 0 || texts.empty();
}

std::mutex gRequestLock;
auto& gRequests = *new std::unordered_map<HANDLE, std::shared_ptr<Request>>;
std::atomic<HANDLE> gNextTask{1};

// Runs on the requesting thread: copies the result into the caller's buffer and delivers
// it, but only while the request is still current and its window still exists.
void Deliver(const std::shared_ptr<Request>& req)
{
    req->Context->deleteLater();
    {
        std::lock_guard<std::mutex> lock(gRequestLock);
        auto it = gRequests.find(req->Handle);
        if (it == gRequests.end() || it->second != req)
            return;   // cancelled: the buffer may belong to an object that is gone
        gRequests.erase(it);
    }
    if (!platform::IsWindow(req->Wnd))
        return;
    int error = req->Error;
    if (error == 0) {
        std::vector<u_long> none;
        if (req->AddrInfo) {
            if (!PackAddrTexts(req->Buf, req->BufLen, req->Texts))
                error = WSAENOBUFS;
        } else if (!PackHostent(req->Buf, req->BufLen, req->Official, req->Reverse ? none : req->Addresses))
            error = WSAENOBUFS;
    }
    platform::SendMessage(req->Wnd, req->Msg, req->Handle, WSAMAKEASYNCREPLY(req->BufLen, error));
}

HANDLE StartLookup(std::shared_ptr<Request> req)
{
    req->Handle = gNextTask.fetch_add(1);
    req->Context = new QObject;
    {
        std::lock_guard<std::mutex> lock(gRequestLock);
        gRequests.emplace(req->Handle, req);
    }
    std::thread([req] {
        if (req->Reverse) {
            req->Error = req->Family == AF_INET6 ? ResolveAddr6(req->Address6, req->Official)
                                                 : ResolveAddr(req->Address, req->Official);
        } else if (req->AddrInfo) {
            req->Error = ResolveAddrInfo(req->Name, req->Family, req->Texts);
            if (req->Error == 0 && req->Texts.empty())
                req->Error = WSANO_DATA;
        } else {
            req->Error = ResolveHost(req->Name, req->Official, req->Addresses);
            if (req->Error == 0 && req->Addresses.empty())
                req->Error = WSANO_DATA;
        }
        QMetaObject::invokeMethod(req->Context, [req] { Deliver(req); }, Qt::QueuedConnection);
    }).detach();
    return req->Handle;
}

// ---- per-thread result records of the database functions ----

struct HostRecord {
    hostent Entry{};
    std::string Name;
    char* Aliases[1] = {nullptr};
    std::vector<u_long> Addresses;
    std::vector<char*> List;
};

struct ServRecord {
    servent Entry{};
    std::string Name, Proto;
    char* Aliases[1] = {nullptr};
};

struct ProtoRecord {
    protoent Entry{};
    std::string Name;
    char* Aliases[1] = {nullptr};
};

// ---- the module ----

constexpr HMODULE kModule = 1;
std::atomic<int> gModuleRefs{0};

} // namespace

// ---- error mapping ----

int ErrnoToWinsock(int err)
{
    switch (err) {
    case 0: return 0;
    case EINTR: return WSAEINTR;
    case EBADF: return WSAENOTSOCK;
    case EACCES: case EPERM: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE: case ENFILE: return WSAEMFILE;
    case EAGAIN: return WSAEWOULDBLOCK;
    case EINPROGRESS: return WSAEWOULDBLOCK;
    case EALREADY: return WSAEALREADY;
    case ENOTSOCK: return WSAENOTSOCK;
    case EDESTADDRREQ: return WSAEDESTADDRREQ;
    case EMSGSIZE: return WSAEMSGSIZE;
    case EPROTOTYPE: return WSAEPROTOTYPE;
    case ENOPROTOOPT: return WSAENOPROTOOPT;
    case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT: return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP: return WSAEOPNOTSUPP;
    case EPFNOSUPPORT: return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ENETRESET: return WSAENETRESET;
    case ECONNABORTED: return WSAECONNABORTED;
    case ECONNRESET: return WSAECONNRESET;
    case EPIPE: return WSAECONNRESET;
    case ENOBUFS: case ENOMEM: return WSAENOBUFS;
    case EISCONN: return WSAEISCONN;
    case ENOTCONN: return WSAENOTCONN;
    case ESHUTDOWN: return WSAESHUTDOWN;
    case ETOOMANYREFS: return WSAETOOMANYREFS;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case ELOOP: return WSAELOOP;
    case ENAMETOOLONG: return WSAENAMETOOLONG;
    case EHOSTDOWN: return WSAEHOSTDOWN;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    case ENOTEMPTY: return WSAENOTEMPTY;
    case EUSERS: return WSAEUSERS;
    case EDQUOT: return WSAEDQUOT;
    case ESTALE: return WSAESTALE;
    case EREMOTE: return WSAEREMOTE;
    default:
        // The low numbers are the same on every Unix and in Winsock's table.
        if (err > 0 && err <= 34)
            return WSABASEERR + err;
        return WSAEINVAL;
    }
}

int ResolverErrorToWinsock(int eaiError)
{
    switch (eaiError) {
    case 0: return 0;
    case EAI_NONAME: return WSAHOST_NOT_FOUND;
    case EAI_AGAIN: return WSATRY_AGAIN;
    case EAI_FAIL: return WSANO_RECOVERY;
#ifdef EAI_NODATA
    case EAI_NODATA: return WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY: return WSANO_DATA;
#endif
    case EAI_SERVICE: return WSANO_DATA;
    case EAI_MEMORY: return WSAENOBUFS;
    case EAI_FAMILY: return WSAEAFNOSUPPORT;
    case EAI_SYSTEM: return ErrnoToWinsock(errno);
    default: return WSANO_RECOVERY;
    }
}

// ---- startup ----

int WSAStartup(std::uint16_t wVersionRequired, WSADATA* lpWSAData)
{
    int major = wVersionRequired & 0xFF, minor = (wVersionRequired >> 8) & 0xFF;
    if (major < 1 || (major == 1 && minor < 1))
        return WSAVERNOTSUPPORTED;
    if (!lpWSAData)
        return WSAEFAULT;
    std::memset(lpWSAData, 0, sizeof *lpWSAData);
    lpWSAData->wVersion = 0x0101;
    lpWSAData->wHighVersion = 0x0101;
    std::snprintf(lpWSAData->szDescription, sizeof lpWSAData->szDescription, "Ombrex Winsock 1.1 on POSIX sockets");
    std::snprintf(lpWSAData->szSystemStatus, sizeof lpWSAData->szSystemStatus, "Running");
    lpWSAData->iMaxSockets = 32767;
    lpWSAData->iMaxUdpDg = 65467;
    ++gStartups;
    return 0;
}

int WSACleanup()
{
    if (!Started())
        return SOCKET_ERROR;
    if (--gStartups > 0)
        return 0;
    {
        std::lock_guard<std::mutex> lock(gRequestLock);
        gRequests.clear();
    }
    std::unordered_map<SOCKET, std::shared_ptr<Entry>> table;
    {
        std::lock_guard<std::mutex> lock(gTableLock);
        table.swap(gTable);
    }
    for (auto& [h, e] : table)
        ReleaseEntry(*e);
    return 0;
}

void WSASetLastError(int iError)
{
    tLastError = iError;
}

int WSAGetLastError()
{
    return tLastError;
}

// ---- lookups ----

int WSACancelAsyncRequest(HANDLE hAsyncTaskHandle)
{
    if (!Started())
        return SOCKET_ERROR;
    std::lock_guard<std::mutex> lock(gRequestLock);
    if (gRequests.erase(hAsyncTaskHandle) == 0)
        return Fail(WSAEINVAL);
    return 0;
}

HANDLE WSAAsyncGetHostByName(platform::HWND hWnd, u_int wMsg, const char* name, char* buf, int buflen)
{
    if (!Started())
        return 0;
    if (!name || !buf || buflen <= 0) {
        tLastError = WSAEFAULT;
        return 0;
    }
    auto req = std::make_shared<Request>();
    req->Wnd = hWnd;
    req->Msg = wMsg;
    req->Buf = buf;
    req->BufLen = buflen;
    req->Name = name;
    return StartLookup(std::move(req));
}

HANDLE WSAAsyncGetAddrInfo(platform::HWND hWnd, u_int wMsg, const char* name, int family, char* buf, int buflen)
{
    if (!Started())
        return 0;
    if (!name || !buf || buflen <= 0) {
        tLastError = WSAEFAULT;
        return 0;
    }
    if (family != AF_UNSPEC && family != AF_INET && family != AF_INET6) {
        tLastError = WSAEAFNOSUPPORT;
        return 0;
    }
    auto req = std::make_shared<Request>();
    req->Wnd = hWnd;
    req->Msg = wMsg;
    req->Buf = buf;
    req->BufLen = buflen;
    req->Name = name;
    req->AddrInfo = true;
    req->Family = family;
    return StartLookup(std::move(req));
}

HANDLE WSAAsyncGetHostByAddr(platform::HWND hWnd, u_int wMsg, const char* addr, int len, int type,
                             char* buf, int buflen)
{
    if (!Started())
        return 0;
    if (!addr || !buf || buflen <= 0 || len != (type == AF_INET6 ? 16 : 4)) {
        tLastError = WSAEFAULT;
        return 0;
    }
    if (type != AF_INET && type != AF_INET6) {
        tLastError = WSAEAFNOSUPPORT;
        return 0;
    }
    auto req = std::make_shared<Request>();
    req->Wnd = hWnd;
    req->Msg = wMsg;
    req->Buf = buf;
    req->BufLen = buflen;
    req->Reverse = true;
    req->Family = type;
    if (type == AF_INET6)
        std::memcpy(req->Address6, addr, 16);
    else
        std::memcpy(&req->Address, addr, 4);
    return StartLookup(std::move(req));
}

hostent* gethostbyname(const char* name)
{
    if (!Started())
        return nullptr;
    if (!name) {
        tLastError = WSAEFAULT;
        return nullptr;
    }
    thread_local HostRecord rec;
    std::string official;
    std::vector<u_long> addresses;
    int r = ResolveHost(name, official, addresses);
    if (r == 0 && addresses.empty())
        r = WSANO_DATA;
    if (r != 0) {
        tLastError = r;
        return nullptr;
    }
    rec.Name = official;
    rec.Addresses = addresses;
    rec.List.clear();
    for (auto& a : rec.Addresses)
        rec.List.push_back(reinterpret_cast<char*>(&a));
    rec.List.push_back(nullptr);
    rec.Entry.h_name = rec.Name.data();
    rec.Entry.h_aliases = rec.Aliases;
    rec.Entry.h_addrtype = AF_INET;
    rec.Entry.h_length = 4;
    rec.Entry.h_addr_list = rec.List.data();
    return &rec.Entry;
}

servent* getservbyname(const char* name, const char* proto)
{
    if (!Started())
        return nullptr;
    if (!name) {
        tLastError = WSAEFAULT;
        return nullptr;
    }
    thread_local ServRecord rec;
    ::servent se{}, *found = nullptr;
    char buf[1024];
    if (::getservbyname_r(name, proto, &se, buf, sizeof buf, &found) != 0 || !found) {
        tLastError = WSANO_DATA;
        return nullptr;
    }
    rec.Name = found->s_name ? found->s_name : name;
    rec.Proto = found->s_proto ? found->s_proto : "";
    rec.Entry.s_name = rec.Name.data();
    rec.Entry.s_aliases = rec.Aliases;
    rec.Entry.s_port = static_cast<short>(found->s_port);
    rec.Entry.s_proto = rec.Proto.data();
    return &rec.Entry;
}

protoent* getprotobyname(const char* name)
{
    if (!Started())
        return nullptr;
    if (!name) {
        tLastError = WSAEFAULT;
        return nullptr;
    }
    thread_local ProtoRecord rec;
    ::protoent pe{}, *found = nullptr;
    char buf[1024];
    if (::getprotobyname_r(name, &pe, buf, sizeof buf, &found) != 0 || !found) {
        tLastError = WSANO_DATA;
        return nullptr;
    }
    rec.Name = found->p_name ? found->p_name : name;
    rec.Entry.p_name = rec.Name.data();
    rec.Entry.p_aliases = rec.Aliases;
    rec.Entry.p_proto = static_cast<short>(found->p_proto);
    return &rec.Entry;
}

// ---- sockets ----

SOCKET socket(int af, int type, int protocol)
{
    if (!Started())
        return INVALID_SOCKET;
    if (af != AF_INET && af != AF_INET6) {
        tLastError = WSAEAFNOSUPPORT;
        return INVALID_SOCKET;
    }
    int sysType;
    if (type == SOCK_STREAM)
        sysType = sys::kSockStream;
    else if (type == SOCK_DGRAM)
        sysType = sys::kSockDgram;
    else {
        tLastError = WSAESOCKTNOSUPPORT;
        return INVALID_SOCKET;
    }
    int fd = ::socket(af == AF_INET6 ? sys::kAfInet6 : sys::kAfInet, sysType | SOCK_CLOEXEC, protocol);
    if (fd < 0) {
        FailErrno();
        return INVALID_SOCKET;
    }
    return AddEntry(fd, type == SOCK_DGRAM, false);
}

int closesocket(SOCKET s)
{
    if (!Started())
        return SOCKET_ERROR;
    std::shared_ptr<Entry> e;
    {
        std::lock_guard<std::mutex> lock(gTableLock);
        auto it = gTable.find(s);
        if (it == gTable.end())
            return Fail(WSAENOTSOCK);
        e = std::move(it->second);
        gTable.erase(it);
    }
    ReleaseEntry(*e);
    return 0;
}

int shutdown(SOCKET s, int how)
{
    auto e = Find(s);
    if (!e)
        return SOCKET_ERROR;
    int sysHow = how == SD_RECEIVE ? SHUT_RD : how == SD_SEND ? SHUT_WR : how == SD_BOTH ? SHUT_RDWR : -1;
    if (sysHow < 0)
        return Fail(WSAEINVAL);
    if (::shutdown(e->Fd, sysHow) != 0)
        return FailErrno();
    if (how != SD_RECEIVE)
        e->ShutWrite = true;
    return 0;
}

int bind(SOCKET s, const sockaddr* addr, int namelen)
{
    auto e = Find(s);
    if (!e)
        return SOCKET_ERROR;
    ::sockaddr_storage sa;
    socklen_t salen = 0;
    if (!ToSystem(addr, namelen, sa, salen))
        return SOCKET_ERROR;
    if (::bind(e->Fd, reinterpret_cast<const ::sockaddr*>(&sa), salen) != 0)
        return FailErrno();
    return 0;
}

int listen(SOCKET s, int backlog)
{
    auto e = Find(s);
    if (!e)
        return SOCKET_ERROR;
    if (e->Datagram)
        return Fail(WSAEOPNOTSUPP);
    if (::listen(e->Fd, backlog) != 0)
        return FailErrno();
    e->Listening = true;
    if (e->Mask != 0)
        ArmReadIfWanted(*e);
    return 0;
}

int connect(SOCKET s, const sockaddr* name, int namelen)
{
    auto e = Find(s);
    if (!e)
        return SOCKET_ERROR;
    ::sockaddr_storage sa;
    socklen_t salen = 0;
    if (!ToSystem(name, namelen, sa, salen))
        return SOCKET_ERROR;
    bool async = e->Mask != 0 && !e->Datagram;
    int r = ::connect(e->Fd, reinterpret_cast<const ::sockaddr*>(&sa), salen);
    if (r == 0) {
        e->Connected = true;
        if (async) {
            Post(*e, FD_CONNECT, 0);
            Post(*e, FD_WRITE, 0);
            ArmReadIfWanted(*e);
        }
        return 0;
    }
    int err = errno;
    if (async && (err == EINPROGRESS || err == EAGAIN)) {
        e->Connecting = true;
        e->Writer->setEnabled(true);
        return Fail(WSAEWOULDBLOCK);
    }
    if (async && (err == ECONNREFUSED || err == ETIMEDOUT || err == ENETUNREACH || err == EHOSTUNREACH ||
                  err == ECONNRESET)) {
        // A registered socket learns the outcome of a connect from FD_CONNECT only.
        Post(*e, FD_CONNECT, ErrnoToWinsock(err));
        return Fail(WSAEWOULDBLOCK);
    }
    return Fail(ErrnoToWinsock(err));
}

SOCKET accept(SOCKET s, sockaddr* addr, int* addrlen)
{
    auto e = Find(s);
    if (!e)
        return INVALID_SOCKET;
    ::sockaddr_storage sa{};
    socklen_t len = sizeof sa;
    int flags = SOCK_CLOEXEC | (IsNonBlocking(e->Fd) ? SOCK_NONBLOCK : 0);
    int fd = ::accept4(e->Fd, reinterpret_cast<::sockaddr*>(&sa), &len, flags);
    int err = errno;
    Rearm(*e);
    if (fd < 0) {
        tLastError = ErrnoToWinsock(err);
        return INVALID_SOCKET;
    }
    FromSystem(sa, addr, addrlen);
    return AddEntry(fd, false, true);
}

int send(SOCKET s, const char* buf, int len, int flags)
{
    auto e = Find(s);
    if (!e)
        return SOCKET_ERROR;
    if (len < 0)
        return Fail(WSAEINVAL);
    ssize_t n = ::send(e->Fd, buf, std::size_t(len), TranslateFlags(flags) | MSG_NOSIGNAL);
    if (n >= 0) {
        // A partial send is this system's way of saying "the buffer is full": the desktop
        // library would have refused instead, and the caller now waits for FD_WRITE.
        if (n < len && (e->Mask & FD_WRITE) && e->Writer) {
            e->WriteWanted = true;
            e->Writer->setEnabled(true);
        }
        return int(n);
    }
    int err = errno;
    if (err == EAGAIN || err == EWOULDBLOCK) {
        if ((e->Mask & FD_WRITE) && e->Writer) {
            e->WriteWanted = true;
            e->Writer->setEnabled(true);
        }
        return Fail(WSAEWOULDBLOCK);
    }
    if (err == EPIPE && e->ShutWrite)
        return Fail(WSAESHUTDOWN);
    return Fail(ErrnoToWinsock(err));
}

int sendto(SOCKET s, const char* buf, int len, int flags, const sockaddr* to, int tolen)
{
    if (!to)
        return send(s, buf, len, flags);
    auto e = Find(s);
    if (!e)
        return SOCKET_ERROR;
    if (len < 0)
        return Fail(WSAEINVAL);
    ::sockaddr_storage sa;
    socklen_t salen = 0;
    if (!ToSystem(to, tolen, sa, salen))
        return SOCKET_ERROR;
    ssize_t n = ::sendto(e->Fd, buf, std::size_t(len), TranslateFlags(flags) | MSG_NOSIGNAL,
                         reinterpret_cast<const ::sockaddr*>(&sa), salen);
    if (n >= 0)
        return int(n);
    int err = errno;
    if (err == EAGAIN || err == EWOULDBLOCK) {
        if ((e->Mask & FD_WRITE) && e->Writer) {
            e->WriteWanted = true;
            e->Writer->setEnabled(true);
        }
        return Fail(WSAEWOULDBLOCK);
    }
    return Fail(ErrnoToWinsock(err));
}

int recv(SOCKET s, char* buf, int len, int flags)
{
    auto e = Find(s);
    if (!e)
        return SOCKET_ERROR;
    if (len < 0)
        return Fail(WSAEINVAL);
    ssize_t n = ::recv(e->Fd, buf, std::size_t(len), TranslateFlags(flags));
    int err = errno;
    Rearm(*e);
    if (n >= 0)
        return int(n);
    return Fail(ErrnoToWinsock(err));
}

int recvfrom(SOCKET s, char* buf, int len, int flags, sockaddr* from, int* fromlen)
{
    auto e = Find(s);
    if (!e)
        return SOCKET_ERROR;
    if (len < 0)
        return Fail(WSAEINVAL);
    ::sockaddr_storage sa{};
    socklen_t salen = sizeof sa;
    ssize_t n = ::recvfrom(e->Fd, buf, std::size_t(len), TranslateFlags(flags),
                           reinterpret_cast<::sockaddr*>(&sa), &salen);
    int err = errno;
    Rearm(*e);
    if (n < 0)
        return Fail(ErrnoToWinsock(err));
    FromSystem(sa, from, fromlen);
    return int(n);
}

std::int64_t RecvToPipe(SOCKET s, int pipeFd, std::int64_t len, int* sysError)
{
    *sysError = 0;
    auto e = Find(s);
    if (!e)
        return SOCKET_ERROR;
    if (len < 0)
        return Fail(WSAEINVAL);
    long n = platform::SpliceCall(platform::TZeroCopyCall::SpliceFromSocket, e->Fd, pipeFd, std::size_t(len),
                                  SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    int err = errno;
    Rearm(*e);   // as after recv: the next readiness brings the next notification
    if (n >= 0)
        return n;
    *sysError = err;
    return Fail(ErrnoToWinsock(err));
}

std::int64_t SendFromFile(SOCKET s, int fileFd, std::int64_t* offset, std::int64_t count, int* sysError)
{
    *sysError = 0;
    auto e = Find(s);
    if (!e)
        return SOCKET_ERROR;
    if (count < 0)
        return Fail(WSAEINVAL);
    long n = platform::SendFileCall(e->Fd, fileFd, offset, std::size_t(count));
    int err = errno;
    if (n >= 0) {
        // As after a short send: the rest waits for FD_WRITE.
        if (n < count && n > 0 && (e->Mask & FD_WRITE) && e->Writer) {
            e->WriteWanted = true;
            e->Writer->setEnabled(true);
        }
        return n;
    }
    *sysError = err;
    if (err == EAGAIN || err == EWOULDBLOCK) {
        if ((e->Mask & FD_WRITE) && e->Writer) {
            e->WriteWanted = true;
            e->Writer->setEnabled(true);
        }
        return Fail(WSAEWOULDBLOCK);
    }
    if (err == EPIPE && e->ShutWrite)
        return Fail(WSAESHUTDOWN);
    return Fail(ErrnoToWinsock(err));
}

int ioctlsocket(SOCKET s, long cmd, u_long* argp)
{
    auto e = Find(s);
    if (!e)
        return SOCKET_ERROR;
    if (!argp)
        return Fail(WSAEFAULT);
    if (cmd == FIONREAD) {
        int count = 0;
        if (::ioctl(e->Fd, sys::kFionRead, &count) != 0)
            return FailErrno();
        *argp = u_long(count);
        return 0;
    }
    if (cmd == FIONBIO) {
        if (*argp == 0 && e->Mask != 0)
            return Fail(WSAEINVAL);   // a registered socket stays non-blocking
        SetNonBlocking(e->Fd, *argp != 0);
        return 0;
    }
    return Fail(WSAEINVAL);
}

int getsockname(SOCKET s, sockaddr* name, int* namelen)
{
    auto e = Find(s);
    if (!e)
        return SOCKET_ERROR;
    if (!name || !namelen || *namelen < int(sizeof(sockaddr_in)))
        return Fail(WSAEFAULT);
    ::sockaddr_storage sa{};
    socklen_t len = sizeof sa;
    if (::getsockname(e->Fd, reinterpret_cast<::sockaddr*>(&sa), &len) != 0)
        return FailErrno();
    FromSystem(sa, name, namelen);
    return 0;
}

int getpeername(SOCKET s, sockaddr* name, int* namelen)
{
    auto e = Find(s);
    if (!e)
        return SOCKET_ERROR;
    if (!name || !namelen || *namelen < int(sizeof(sockaddr_in)))
        return Fail(WSAEFAULT);
    ::sockaddr_storage sa{};
    socklen_t len = sizeof sa;
    if (::getpeername(e->Fd, reinterpret_cast<::sockaddr*>(&sa), &len) != 0)
        return FailErrno();
    FromSystem(sa, name, namelen);
    return 0;
}

int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen)
{
    auto e = Find(s);
    if (!e)
        return SOCKET_ERROR;
    if (!optval)
        return Fail(WSAEFAULT);
    int sysLevel, sysName;
    if (level == SOL_SOCKET) {
        sysLevel = sys::kSolSocket;
        switch (optname) {
        case SO_DEBUG: sysName = sys::kSoDebug; break;
        case SO_REUSEADDR: sysName = sys::kSoReuseAddr; break;
        case SO_KEEPALIVE: sysName = sys::kSoKeepAlive; break;
        case SO_DONTROUTE: sysName = sys::kSoDontRoute; break;
        case SO_BROADCAST: sysName = sys::kSoBroadcast; break;
        case SO_OOBINLINE: sysName = sys::kSoOobInline; break;
        case SO_SNDBUF: sysName = sys::kSoSndBuf; break;
        case SO_RCVBUF: sysName = sys::kSoRcvBuf; break;
        case SO_LINGER: {
            if (optlen < int(sizeof(linger)))
                return Fail(WSAEFAULT);
            linger w;
            std::memcpy(&w, optval, sizeof w);
            ::linger l{w.l_onoff != 0 ? 1 : 0, int(w.l_linger)};
            if (::setsockopt(e->Fd, sys::kSolSocket, sys::kSoLinger, &l, sizeof l) != 0)
                return FailErrno();
            return 0;
        }
        default: return Fail(WSAENOPROTOOPT);
        }
    } else if (level == IPPROTO_TCP) {
        sysLevel = sys::kIpprotoTcp;
        if (optname != TCP_NODELAY)
            return Fail(WSAENOPROTOOPT);
        sysName = sys::kTcpNoDelay;
    } else {
        return Fail(WSAEINVAL);
    }
    // Winsock passes booleans and sizes as a 4-byte int; a single byte is accepted too.
    int value = 0;
    if (optlen >= int(sizeof(int)))
        std::memcpy(&value, optval, sizeof value);
    else if (optlen >= 1)
        value = static_cast<unsigned char>(optval[0]);
    else
        return Fail(WSAEFAULT);
    if (sysName != sys::kSoSndBuf && sysName != sys::kSoRcvBuf)
        value = value != 0 ? 1 : 0;
    if (::setsockopt(e->Fd, sysLevel, sysName, &value, sizeof value) != 0)
        return FailErrno();
    return 0;
}

int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen)
{
    auto e = Find(s);
    if (!e)
        return SOCKET_ERROR;
    if (!optval || !optlen)
        return Fail(WSAEFAULT);
    int sysLevel, sysName;
    if (level == SOL_SOCKET) {
        sysLevel = sys::kSolSocket;
        switch (optname) {
        case SO_DEBUG: sysName = sys::kSoDebug; break;
        case SO_ACCEPTCONN: sysName = sys::kSoAcceptConn; break;
        case SO_REUSEADDR: sysName = sys::kSoReuseAddr; break;
        case SO_KEEPALIVE: sysName = sys::kSoKeepAlive; break;
        case SO_DONTROUTE: sysName = sys::kSoDontRoute; break;
        case SO_BROADCAST: sysName = sys::kSoBroadcast; break;
        case SO_OOBINLINE: sysName = sys::kSoOobInline; break;
        case SO_SNDBUF: sysName = sys::kSoSndBuf; break;
        case SO_RCVBUF: sysName = sys::kSoRcvBuf; break;
        case SO_ERROR: sysName = sys::kSoError; break;
        case SO_TYPE: sysName = sys::kSoType; break;
        case SO_LINGER: {
            if (*optlen < int(sizeof(linger)))
                return Fail(WSAEFAULT);
            ::linger l{};
            socklen_t len = sizeof l;
            if (::getsockopt(e->Fd, sys::kSolSocket, sys::kSoLinger, &l, &len) != 0)
                return FailErrno();
            linger w{u_short(l.l_onoff ? 1 : 0), u_short(l.l_linger)};
            std::memcpy(optval, &w, sizeof w);
            *optlen = sizeof w;
            return 0;
        }
        default: return Fail(WSAENOPROTOOPT);
        }
    } else if (level == IPPROTO_TCP) {
        sysLevel = sys::kIpprotoTcp;
        if (optname != TCP_NODELAY)
            return Fail(WSAENOPROTOOPT);
        sysName = sys::kTcpNoDelay;
    } else {
        return Fail(WSAEINVAL);
    }
    if (*optlen < int(sizeof(int)))
        return Fail(WSAEFAULT);
    int value = 0;
    socklen_t len = sizeof value;
    if (::getsockopt(e->Fd, sysLevel, sysName, &value, &len) != 0)
        return FailErrno();
    if (sysName == sys::kSoError && sysLevel == sys::kSolSocket)
        value = ErrnoToWinsock(value);
    else if (sysName == sys::kSoType && sysLevel == sys::kSolSocket)
        value = value == sys::kSockDgram ? SOCK_DGRAM : SOCK_STREAM;
    std::memcpy(optval, &value, sizeof value);
    *optlen = sizeof value;
    return 0;
}

int WSAAsyncSelect(SOCKET s, platform::HWND hWnd, u_int wMsg, long lEvent)
{
    auto e = Find(s);
    if (!e)
        return SOCKET_ERROR;
    if (lEvent != 0 && !platform::IsWindow(hWnd))
        return Fail(WSAEINVAL);
    SetNonBlocking(e->Fd, true);
    DisarmRead(*e);
    if (e->Writer)
        e->Writer->setEnabled(false);
    e->Wnd = hWnd;
    e->Msg = wMsg;
    e->Mask = lEvent;
    e->ReadPosted = false;
    e->WriteWanted = false;
    e->ClosePosted = false;
    if (lEvent == 0)
        return 0;
    EnsureNotifiers(*e);
    // Registration re-evaluates the conditions at once, as the desktop library does.
    if (!e->Datagram && !e->Connecting && !e->Listening) {
        int acceptConn = 0;
        socklen_t len = sizeof acceptConn;
        if (::getsockopt(e->Fd, sys::kSolSocket, sys::kSoAcceptConn, &acceptConn, &len) == 0 && acceptConn)
            e->Listening = true;
        else {
            ::sockaddr_storage peer{};
            socklen_t plen = sizeof peer;
            e->Connected = ::getpeername(e->Fd, reinterpret_cast<::sockaddr*>(&peer), &plen) == 0;
        }
    }
    if (e->Listening) {
        ArmReadIfWanted(*e);
    } else if (e->Datagram) {
        ArmReadIfWanted(*e);
        Post(*e, FD_WRITE, 0);
    } else if (e->Connecting) {
        e->Writer->setEnabled(true);
    } else if (e->Connected) {
        ArmReadIfWanted(*e);
        Post(*e, FD_WRITE, 0);
    }
    return 0;
}

// ---- byte order and addresses ----

u_short ntohs(u_short netshort)
{
    return ::be16toh(netshort);
}

u_long ntohl(u_long netlong)
{
    return ::be32toh(netlong);
}

u_short htons(u_short hostshort)
{
    return ::htobe16(hostshort);
}

u_long htonl(u_long hostlong)
{
    return ::htobe32(hostlong);
}

char* inet_ntoa(in_addr in)
{
    thread_local char text[16];
    const auto* b = reinterpret_cast<const unsigned char*>(&in.s_addr);
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return text;
}

u_long inet_addr(const char* cp)
{
    if (!cp)
        return INADDR_NONE;
    return ::inet_addr(cp);
}

int inet_pton(int family, const char* src, void* dst)
{
    if (!src || !dst)
        return Fail(WSAEFAULT);
    if (family == AF_INET)
        return ::inet_pton(sys::kAfInet, src, dst);
    if (family == AF_INET6)
        return ::inet_pton(sys::kAfInet6, src, dst);
    return Fail(WSAEAFNOSUPPORT);
}

const char* inet_ntop(int family, const void* src, char* dst, std::size_t size)
{
    if (!src || !dst) {
        tLastError = WSAEFAULT;
        return nullptr;
    }
    int f = family == AF_INET ? sys::kAfInet : family == AF_INET6 ? sys::kAfInet6 : -1;
    if (f < 0) {
        tLastError = WSAEAFNOSUPPORT;
        return nullptr;
    }
    if (!::inet_ntop(f, src, dst, static_cast<socklen_t>(size))) {
        tLastError = WSAEFAULT;
        return nullptr;
    }
    return dst;
}

// ---- the module ----

HMODULE LoadLibraryA(const char* name)
{
    if (!name || ::strcasecmp(name, "wsock32.dll") != 0) {
        tLastSystemError = 126;   // the module was not found
        return 0;
    }
    ++gModuleRefs;
    return kModule;
}

void* GetProcAddress(HMODULE module, const char* name)
{
    static const auto& procs = *new std::unordered_map<std::string, void*>{
#define OMBREX_PROC(fn) {#fn, reinterpret_cast<void*>(&winsock::fn)}
        OMBREX_PROC(WSAStartup), OMBREX_PROC(WSACleanup), OMBREX_PROC(WSASetLastError),
        OMBREX_PROC(WSAGetLastError), OMBREX_PROC(WSACancelAsyncRequest),
        OMBREX_PROC(WSAAsyncGetHostByName), OMBREX_PROC(WSAAsyncGetHostByAddr),
        OMBREX_PROC(WSAAsyncSelect), OMBREX_PROC(getservbyname), OMBREX_PROC(getprotobyname),
        OMBREX_PROC(gethostbyname), OMBREX_PROC(socket), OMBREX_PROC(shutdown),
        OMBREX_PROC(setsockopt), OMBREX_PROC(getsockopt), OMBREX_PROC(sendto), OMBREX_PROC(send),
        OMBREX_PROC(recv), OMBREX_PROC(recvfrom), OMBREX_PROC(ntohs), OMBREX_PROC(ntohl),
        OMBREX_PROC(listen), OMBREX_PROC(ioctlsocket), OMBREX_PROC(inet_ntoa), OMBREX_PROC(inet_addr),
        OMBREX_PROC(htons), OMBREX_PROC(htonl), OMBREX_PROC(getsockname), OMBREX_PROC(getpeername),
        OMBREX_PROC(connect), OMBREX_PROC(closesocket), OMBREX_PROC(bind), OMBREX_PROC(accept),
        OMBREX_PROC(WSAAsyncGetAddrInfo), OMBREX_PROC(inet_pton), OMBREX_PROC(inet_ntop),
#undef OMBREX_PROC
    };
    if (module != kModule || gModuleRefs.load() <= 0) {
        tLastSystemError = 6;   // invalid handle
        return nullptr;
    }
    auto it = name ? procs.find(name) : procs.end();
    if (it == procs.end()) {
        tLastSystemError = 127;   // the procedure was not found
        return nullptr;
    }
    return it->second;
}

bool FreeLibrary(HMODULE module)
{
    if (module != kModule || gModuleRefs.load() <= 0) {
        tLastSystemError = 6;
        return false;
    }
    --gModuleRefs;
    return true;
}

unsigned long GetLastError()
{
    return tLastSystemError;
}

// ---- helpers ----

int DescriptorOf(SOCKET s)
{
    std::lock_guard<std::mutex> lock(gTableLock);
    auto it = gTable.find(s);
    return it == gTable.end() ? -1 : it->second->Fd;
}

int OpenSocketCount()
{
    std::lock_guard<std::mutex> lock(gTableLock);
    return int(gTable.size());
}

bool ThreadQuitRequested()
{
    QThread* t = QThread::currentThread();
    return t && t->isInterruptionRequested();
}

void SetHostResolver(THostResolver resolver)
{
    std::lock_guard<std::mutex> lock(gResolverLock);
    gHostResolver = std::move(resolver);
}

void SetAddrInfoResolver(TAddrInfoResolver resolver)
{
    std::lock_guard<std::mutex> lock(gResolverLock);
    gAddrInfoResolver = std::move(resolver);
}

void SetAddrResolver(TAddrResolver resolver)
{
    std::lock_guard<std::mutex> lock(gResolverLock);
    gAddrResolver = std::move(resolver);
}

void SetAddr6Resolver(TAddr6Resolver resolver)
{
    std::lock_guard<std::mutex> lock(gResolverLock);
    gAddr6Resolver = std::move(resolver);
}

} // namespace winsock
