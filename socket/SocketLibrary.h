// The binding to the socket library: one wrapper per library function, each resolving its
// entry point by name on first use (loading and starting the library when needed), the
// unloading when the last socket object goes, and the error description table.
#pragma once

#include "platform/WinSock.h"
#include "socket/WSocketTypes.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

// The wrappers carry the library's own names, parameters and results. The library's types
// and constants are reachable here too (wsock::SOCKET, wsock::FD_READ ...).
namespace wsock {

using namespace winsock;
// The system headers declare these globally too; these names mean the library's here.
using winsock::u_char;
using winsock::u_int;
using winsock::u_long;
using winsock::u_short;

// Each wrapper below resolves the library function of its name on first use and calls it.

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
HANDLE WSAAsyncGetHostByAddr(platform::HWND hWnd, u_int wMsg, const char* addr, int len, int type, char* buf,
                             int buflen);
// Looks a host name up for the addresses of a family (AF_UNSPEC: both) on a worker thread;
// buf receives the numeric texts, each ended by a zero byte, then an empty text.
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
// Puts a bound socket into the listening state.
int listen(SOCKET s, int backlog);
// FIONREAD (bytes ready) and FIONBIO (non-blocking switch).
int ioctlsocket(SOCKET s, long cmd, u_long* argp);
// The dotted text of an address (a per-thread buffer, valid until the next call).
char* inet_ntoa(in_addr in);
// The address of a dotted text, INADDR_NONE when it is none.
u_long inet_addr(const char* cp);
// Host to network order, 16 bits.
u_short htons(u_short hostshort);
// Host to network order, 32 bits.
u_long htonl(u_long hostlong);
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
// The address of a numeric text (AF_INET 4 bytes, AF_INET6 16 bytes): 1, 0 when none, -1 on error.
int inet_pton(int family, const char* src, void* dst);
// The numeric text of an address; null when it does not fit.
const char* inet_ntop(int family, const void* src, char* dst, std::size_t size);

} // namespace wsock

// The name of the socket library.
inline constexpr const char* WSocketDllName = "wsock32.dll";

// Live socket objects; TCustomWSocket counts itself in and out.
extern std::atomic<std::int32_t> SocketInstanceCount;

// The entry point of the named library function, loading and starting the library first
// when needed; null for an empty name. Raises ESocketException when loading, starting or
// the look-up fails.
void* SocketProc(const std::string& Name);

// Cleans up and unloads the library (when loaded), forgets every cached entry point and
// sets SocketInstanceCount to 0.
void UnloadSocketLibrary();

// Counts a socket object in (at creation).
void SocketLibraryAddRef();
// Counts a socket object out (at destruction); the last one unloads the library.
void SocketLibraryRelease();

// True while the library is loaded and started.
bool SocketLibraryLoaded();

// The description text of a socket library error number ("Not a WinSock error" if unknown).
std::string SocketErrorText(std::int32_t Number);

// Receives one line per loading step ("LoadLibrary wsock32.dll", "WSAStartup 257",
// "GetProcAddress socket", "WSACleanup", "FreeLibrary"); for diagnostics and tests.
using TSocketLibraryTrace = std::function<void(const std::string& Step)>;
void SetSocketLibraryTrace(TSocketLibraryTrace Trace);
