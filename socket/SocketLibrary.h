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

// Each wrapper: the library function of the same name (see platform/WinSock.h).
int WSAStartup(std::uint16_t wVersionRequired, WSADATA* lpWSAData);
int WSACleanup();
void WSASetLastError(int iError);
int WSAGetLastError();
int WSACancelAsyncRequest(HANDLE hAsyncTaskHandle);
HANDLE WSAAsyncGetHostByName(platform::HWND hWnd, u_int wMsg, const char* name, char* buf, int buflen);
HANDLE WSAAsyncGetHostByAddr(platform::HWND hWnd, u_int wMsg, const char* addr, int len, int type, char* buf,
                             int buflen);
int WSAAsyncSelect(SOCKET s, platform::HWND hWnd, u_int wMsg, long lEvent);
servent* getservbyname(const char* name, const char* proto);
protoent* getprotobyname(const char* name);
hostent* gethostbyname(const char* name);
SOCKET socket(int af, int type, int protocol);
int shutdown(SOCKET s, int how);
int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen);
int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen);
int sendto(SOCKET s, const char* buf, int len, int flags, const sockaddr* to, int tolen);
int send(SOCKET s, const char* buf, int len, int flags);
int recv(SOCKET s, char* buf, int len, int flags);
int recvfrom(SOCKET s, char* buf, int len, int flags, sockaddr* from, int* fromlen);
u_short ntohs(u_short netshort);
int listen(SOCKET s, int backlog);
int ioctlsocket(SOCKET s, long cmd, u_long* argp);
char* inet_ntoa(in_addr in);
u_long inet_addr(const char* cp);
u_short htons(u_short hostshort);
u_long htonl(u_long hostlong);
int getsockname(SOCKET s, sockaddr* name, int* namelen);
int getpeername(SOCKET s, sockaddr* name, int* namelen);
int connect(SOCKET s, const sockaddr* name, int namelen);
int closesocket(SOCKET s);
int bind(SOCKET s, const sockaddr* addr, int namelen);
SOCKET accept(SOCKET s, sockaddr* addr, int* addrlen);

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
