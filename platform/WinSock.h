// The Winsock 1.1 stand-in: the socket library's functions, types and constants by their
// Winsock names and values, implemented on POSIX sockets and the Qt event loop.
//
// Many of these names are macros in the system's socket headers (SOL_SOCKET, SO_LINGER,
// FIONREAD, INADDR_NONE, ntohs ...): never include this header in a file that also
// includes <sys/socket.h>, <netinet/in.h> or <netdb.h>.
#pragma once

#include "platform/MessageWindow.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace winsock {

using u_char = std::uint8_t;
using u_short = std::uint16_t;
using u_int = std::uint32_t;
using u_long = std::uint32_t;   // 32 bits, as on the desktop

// A socket handle. Handles are never reused during a run, so a stale handle can never
// reach a descriptor that the system has handed out again.
using SOCKET = std::uintptr_t;
// A handle of an asynchronous lookup; 0 is "none".
using HANDLE = std::uintptr_t;
// A loaded library module; 0 is "none".
using HMODULE = std::uintptr_t;

constexpr SOCKET INVALID_SOCKET = ~SOCKET(0);
constexpr int SOCKET_ERROR = -1;

// ---- records (Winsock layouts) ----

// An IPv4 address in network byte order.
struct in_addr {
    u_long s_addr;
};

// A generic 16-byte socket address.
struct sockaddr {
    u_short sa_family;
    char sa_data[14];
};

// A 16-byte IPv4 socket address: family, port (network order), address (network order), 8 zeros.
struct sockaddr_in {
    short sin_family;
    u_short sin_port;
    in_addr sin_addr;
    char sin_zero[8];
};

// A 28-byte IPv6 socket address: family, port (network order), flow label, the 16 address
// bytes (network order), scope.
struct sockaddr_in6 {
    short sin6_family;
    u_short sin6_port;
    u_long sin6_flowinfo;
    u_char sin6_addr[16];
    u_long sin6_scope_id;
};

// Room for an address of either family.
struct alignas(8) sockaddr_storage {
    short ss_family;
    char ss_pad[126];
};

// A host entry: official name, aliases and addresses (each list ends with a null entry).
struct hostent {
    char* h_name;
    char** h_aliases;
    short h_addrtype;
    short h_length;
    char** h_addr_list;
};

// A services-database entry; s_port is in network byte order.
struct servent {
    char* s_name;
    char** s_aliases;
    short s_port;
    char* s_proto;
};

// A protocols-database entry.
struct protoent {
    char* p_name;
    char** p_aliases;
    short p_proto;
};

// The linger option: two 16-bit fields.
struct linger {
    u_short l_onoff;
    u_short l_linger;
};

// A time as seconds and microseconds.
struct timeval {
    long tv_sec;
    long tv_usec;
};

constexpr int WSADESCRIPTION_LEN = 256;
constexpr int WSASYS_STATUS_LEN = 128;

// What WSAStartup reports about the library.
struct WSADATA {
    std::uint16_t wVersion;
    std::uint16_t wHighVersion;
    char szDescription[WSADESCRIPTION_LEN + 1];
    char szSystemStatus[WSASYS_STATUS_LEN + 1];
    unsigned short iMaxSockets;
    unsigned short iMaxUdpDg;
    char* lpVendorInfo;
};

// ---- constants (Winsock values; translated to the system's inside) ----

constexpr int AF_INET = 2;
constexpr int PF_INET = 2;
constexpr int AF_UNSPEC = 0;
constexpr int AF_INET6 = 23;
constexpr int SOCK_STREAM = 1;
constexpr int SOCK_DGRAM = 2;
constexpr int IPPROTO_TCP = 6;
constexpr int IPPROTO_UDP = 17;

constexpr u_long INADDR_ANY = 0x00000000;
constexpr u_long INADDR_NONE = 0xFFFFFFFF;

constexpr int SOL_SOCKET = 0xFFFF;
constexpr int SO_DEBUG = 0x0001;
constexpr int SO_ACCEPTCONN = 0x0002;
constexpr int SO_REUSEADDR = 0x0004;
constexpr int SO_KEEPALIVE = 0x0008;
constexpr int SO_DONTROUTE = 0x0010;
constexpr int SO_BROADCAST = 0x0020;
constexpr int SO_LINGER = 0x0080;
constexpr int SO_OOBINLINE = 0x0100;
constexpr int SO_SNDBUF = 0x1001;
constexpr int SO_RCVBUF = 0x1002;
constexpr int SO_ERROR = 0x1007;
constexpr int SO_TYPE = 0x1008;
constexpr int TCP_NODELAY = 0x0001;

constexpr int MSG_OOB = 0x1;
constexpr int MSG_PEEK = 0x2;

constexpr int SD_RECEIVE = 0;
constexpr int SD_SEND = 1;
constexpr int SD_BOTH = 2;

constexpr long FIONREAD = 0x4004667F;
constexpr long FIONBIO = static_cast<long>(0x8004667E);

constexpr int SOMAXCONN = 5;

// Network-event bits of WSAAsyncSelect.
constexpr long FD_READ = 0x01;
constexpr long FD_WRITE = 0x02;
constexpr long FD_OOB = 0x04;
constexpr long FD_ACCEPT = 0x08;
constexpr long FD_CONNECT = 0x10;
constexpr long FD_CLOSE = 0x20;

// ---- error numbers ----

constexpr int WSABASEERR = 10000;
constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEDESTADDRREQ = 10039;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEPROTOTYPE = 10041;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAESOCKTNOSUPPORT = 10044;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEPFNOSUPPORT = 10046;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAENETRESET = 10052;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETOOMANYREFS = 10059;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAELOOP = 10062;
constexpr int WSAENAMETOOLONG = 10063;
constexpr int WSAEHOSTDOWN = 10064;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSAENOTEMPTY = 10066;
constexpr int WSAEPROCLIM = 10067;
constexpr int WSAEUSERS = 10068;
constexpr int WSAEDQUOT = 10069;
constexpr int WSAESTALE = 10070;
constexpr int WSAEREMOTE = 10071;
constexpr int WSASYSNOTREADY = 10091;
constexpr int WSAVERNOTSUPPORTED = 10092;
constexpr int WSANOTINITIALISED = 10093;
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
constexpr int WSANO_RECOVERY = 11003;
constexpr int WSANO_DATA = 11004;

// The second message parameter of a notification: event bits low, error high.
constexpr std::intptr_t WSAMAKESELECTREPLY(int event, int error)
{
    return static_cast<std::intptr_t>((static_cast<std::uint32_t>(error & 0xFFFF) << 16) |
                                      static_cast<std::uint32_t>(event & 0xFFFF));
}
// The second message parameter of a lookup result: buffer length low, error high.
constexpr std::intptr_t WSAMAKEASYNCREPLY(int buflen, int error)
{
    return WSAMAKESELECTREPLY(buflen, error);
}
// The event bits of a notification's second parameter.
constexpr int WSAGETSELECTEVENT(std::intptr_t lParam) { return static_cast<int>(lParam & 0xFFFF); }
// The error number of a notification's or lookup result's second parameter.
constexpr int WSAGETSELECTERROR(std::intptr_t lParam) { return static_cast<int>((lParam >> 16) & 0xFFFF); }
constexpr int WSAGETASYNCERROR(std::intptr_t lParam) { return WSAGETSELECTERROR(lParam); }

// ---- the library functions ----

// Starts the library for the caller; version 1.1 (257) or later is accepted. Returns 0 or an error number.
int WSAStartup(std::uint16_t wVersionRequired, WSADATA* lpWSAData);
// Ends one WSAStartup; the last one cancels pending lookups and closes every open socket.
int WSACleanup();
// Sets the calling thread's last error.
void WSASetLastError(int iError);
// The calling thread's last error (a Winsock number).
int WSAGetLastError();
// Cancels a pending lookup so that its result is never delivered; SOCKET_ERROR when unknown.
int WSACancelAsyncRequest(HANDLE hAsyncTaskHandle);
// Looks a host name up on a worker thread; the result is copied into buf and then message wMsg
// (first parameter: the returned handle) reaches hWnd on the calling thread, unless cancelled.
HANDLE WSAAsyncGetHostByName(platform::HWND hWnd, u_int wMsg, const char* name, char* buf, int buflen);
// Looks an address up (reverse) on a worker thread; delivered like WSAAsyncGetHostByName.
// type AF_INET takes 4 bytes of address, AF_INET6 16.
HANDLE WSAAsyncGetHostByAddr(platform::HWND hWnd, u_int wMsg, const char* addr, int len, int type,
                             char* buf, int buflen);
// Looks a host name up for addresses of the given family (AF_UNSPEC: both, in the system's
// order of preference) on a worker thread; buf receives the numeric address texts one after
// the other, each ended by a zero byte, the list ended by an empty text (addresses that do
// not fit are left out). Delivered like WSAAsyncGetHostByName.
HANDLE WSAAsyncGetAddrInfo(platform::HWND hWnd, u_int wMsg, const char* name, int family, char* buf, int buflen);
// Registers for network-event notifications (message wMsg to hWnd, first parameter the socket,
// second WSAMAKESELECTREPLY); lEvent 0 cancels. Makes the socket non-blocking.
int WSAAsyncSelect(SOCKET s, platform::HWND hWnd, u_int wMsg, long lEvent);
// The services-database entry of a name (proto may be null); null with the error set when unknown.
servent* getservbyname(const char* name, const char* proto);
// The protocols-database entry of a name; null with the error set when unknown.
protoent* getprotobyname(const char* name);
// Resolves a host name or dotted address (IPv4), blocking; null with the error set on failure.
hostent* gethostbyname(const char* name);
// Creates a socket (address family 2, AF_INET, or 23, AF_INET6).
SOCKET socket(int af, int type, int protocol);
// Disables receiving (0), sending (1) or both (2).
int shutdown(SOCKET s, int how);
// Sets a socket option given with Winsock level, name and value layout.
int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen);
// Reads a socket option into a Winsock value layout.
int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen);
// Sends one datagram (or stream bytes) to an address; never raises SIGPIPE.
int sendto(SOCKET s, const char* buf, int len, int flags, const sockaddr* to, int tolen);
// Sends bytes on a connected socket; never raises SIGPIPE.
int send(SOCKET s, const char* buf, int len, int flags);
// Receives bytes; re-enables the read notification.
int recv(SOCKET s, char* buf, int len, int flags);
// Receives one datagram with its source address; re-enables the read notification.
int recvfrom(SOCKET s, char* buf, int len, int flags, sockaddr* from, int* fromlen);
// Network to host order, 16 bits.
u_short ntohs(u_short netshort);
// Network to host order, 32 bits.
u_long ntohl(u_long netlong);
// Host to network order, 16 bits.
u_short htons(u_short hostshort);
// Host to network order, 32 bits.
u_long htonl(u_long hostlong);
// Puts a bound socket into the listening state.
int listen(SOCKET s, int backlog);
// FIONREAD (bytes ready) and FIONBIO (non-blocking switch).
int ioctlsocket(SOCKET s, long cmd, u_long* argp);
// The dotted text of an address (a per-thread buffer, valid until the next call).
char* inet_ntoa(in_addr in);
// The address of a dotted text, INADDR_NONE when it is none.
u_long inet_addr(const char* cp);
// The local address of a socket.
int getsockname(SOCKET s, sockaddr* name, int* namelen);
// The peer address of a connected socket.
int getpeername(SOCKET s, sockaddr* name, int* namelen);
// Connects; a registered (asynchronous) stream socket returns WSAEWOULDBLOCK and reports
// the outcome with FD_CONNECT.
int connect(SOCKET s, const sockaddr* name, int namelen);
// Closes a socket; its handle is dead from then on.
int closesocket(SOCKET s);
// Binds a socket to a local address.
int bind(SOCKET s, const sockaddr* addr, int namelen);
// Takes one pending connection; re-enables the accept notification.
SOCKET accept(SOCKET s, sockaddr* addr, int* addrlen);
// The address of a numeric text of the family (AF_INET: 4 bytes, AF_INET6: 16 bytes) in dst:
// 1, or 0 when the text is not one, -1 with WSAEAFNOSUPPORT for another family.
int inet_pton(int family, const char* src, void* dst);
// The numeric text of an address of the family, in dst (size bytes); null when it does not fit.
const char* inet_ntop(int family, const void* src, char* dst, std::size_t size);

// ---- the module: the library as something loaded by name ----

// "Loads" the library of that name ("wsock32.dll"); 0 with GetLastError set when unknown.
HMODULE LoadLibraryA(const char* name);
// The entry point of a library function by name; null with GetLastError set when missing.
void* GetProcAddress(HMODULE module, const char* name);
// Releases the module.
bool FreeLibrary(HMODULE module);
// The calling thread's last system error of the module functions above.
unsigned long GetLastError();

// ---- Linux helpers ----

// The Winsock number of an errno value.
int ErrnoToWinsock(int err);
// The Winsock number of a getaddrinfo / getnameinfo result (EAI_...).
int ResolverErrorToWinsock(int eaiError);

// Moves up to len received bytes of a connected stream socket into the pipe pipeFd with
// splice(), so they never pass through the caller's memory; re-enables the read
// notification as recv does. The count (0 at the end of the stream), or SOCKET_ERROR with
// the error set and sysError the system's errno (EINVAL, ENOSYS: this pair cannot splice).
std::int64_t RecvToPipe(SOCKET s, int pipeFd, std::int64_t len, int* sysError);
// Sends up to count bytes of the file fileFd from *offset (advanced by the count) with
// sendfile(); a short count or would-block arms FD_WRITE as send does. The count (0 at
// the end of the file), or SOCKET_ERROR with the error set and sysError the errno.
std::int64_t SendFromFile(SOCKET s, int fileFd, std::int64_t* offset, std::int64_t count, int* sysError);

// The system descriptor behind a handle, -1 when the handle is dead. For tests and diagnostics.
int DescriptorOf(SOCKET s);
// Open sockets right now. For tests and diagnostics.
int OpenSocketCount();
// True when the calling thread was asked to stop (a worker thread's quit request).
bool ThreadQuitRequested();

// A name resolver: fills the official name and the IPv4 addresses (network order) of a
// name and returns 0, or returns a Winsock error number (WSAHOST_NOT_FOUND ...).
using THostResolver = std::function<int(const std::string& name, std::string& officialName,
                                        std::vector<u_long>& addresses)>;
// A reverse resolver: fills the official name of an address (network order) or returns an error.
using TAddrResolver = std::function<int(u_long address, std::string& officialName)>;
// Replaces the system resolver (empty restores it). Lets tests run without outside DNS,
// and control timing; the resolvers run on the lookup's worker thread too.
void SetHostResolver(THostResolver resolver);
void SetAddrResolver(TAddrResolver resolver);
// A reverse resolver for IPv6 addresses, given as numeric text ("2001:db8::5"); empty
// restores the system's.
using TAddr6Resolver = std::function<int(const std::string& address, std::string& officialName)>;
void SetAddr6Resolver(TAddr6Resolver resolver);
// An address-list resolver for WSAAsyncGetAddrInfo: fills the numeric address texts of a name
// for a family (AF_UNSPEC, AF_INET or AF_INET6), in order of preference, or returns an error.
// Without one, a set host resolver answers (IPv4 only), else the system's getaddrinfo.
using TAddrInfoResolver = std::function<int(const std::string& name, int family, std::vector<std::string>& addresses)>;
void SetAddrInfoResolver(TAddrInfoResolver resolver);

} // namespace winsock
