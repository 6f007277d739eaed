// The socket library binding: lazily resolved wrappers, loading and unloading, error texts.
#include "socket/SocketLibrary.h"

#include <cstdio>
#include <mutex>
#include <vector>

std::atomic<std::int32_t> SocketInstanceCount{0};

namespace {

// Loading, resolving and unloading may happen on any thread that owns sockets.
std::recursive_mutex& LibraryLock()
{
    static auto* lock = new std::recursive_mutex;
    return *lock;
}

std::atomic<winsock::HMODULE> gLibHandle{0};
winsock::WSADATA gWSocketData{};
std::mutex gTraceLock;
TSocketLibraryTrace gTrace;

void Trace(const std::string& step)
{
    TSocketLibraryTrace trace;
    {
        std::lock_guard<std::mutex> lock(gTraceLock);
        trace = gTrace;
    }
    if (trace)
        trace(step);
}

// Every cached entry point, so that unloading can forget them all.
std::vector<std::atomic<void*>*>& CachedEntries()
{
    static auto* entries = new std::vector<std::atomic<void*>*>;
    return *entries;
}

void ForgetEntries()
{
    for (std::atomic<void*>* entry : CachedEntries())
        entry->store(nullptr);
}

// One cached entry point of a library function.
template <typename F>
class Proc {
public:
    explicit Proc(const char* name) : FName(name) { CachedEntries().push_back(&FEntry); }
    F* Get()
    {
        void* entry = FEntry.load(std::memory_order_acquire);
        if (!entry) {
            std::lock_guard<std::recursive_mutex> lock(LibraryLock());
            entry = SocketProc(FName);
            FEntry.store(entry, std::memory_order_release);
        }
        return reinterpret_cast<F*>(entry);
    }

private:
    const char* FName;
    std::atomic<void*> FEntry{nullptr};
};

// At program end the library is unloaded once more, as after the last socket object.
struct UnloadAtExit {
    ~UnloadAtExit() { UnloadSocketLibrary(); }
} gUnloadAtExit;

} // namespace

#define OMBREX_WRAP(ret, name, params, args)                  \
    namespace {                                               \
    Proc<decltype(winsock::name)> p_##name(#name);            \
    }                                                         \
    ret wsock::name params { return p_##name.Get() args; }

OMBREX_WRAP(int, WSAStartup, (std::uint16_t v, WSADATA* d), (v, d))
OMBREX_WRAP(int, WSACleanup, (), ())
OMBREX_WRAP(void, WSASetLastError, (int e), (e))
OMBREX_WRAP(int, WSAGetLastError, (), ())
OMBREX_WRAP(int, WSACancelAsyncRequest, (HANDLE h), (h))
OMBREX_WRAP(wsock::HANDLE, WSAAsyncGetHostByName,
            (platform::HWND w, u_int m, const char* n, char* b, int l), (w, m, n, b, l))
OMBREX_WRAP(wsock::HANDLE, WSAAsyncGetHostByAddr,
            (platform::HWND w, u_int m, const char* a, int len, int t, char* b, int l), (w, m, a, len, t, b, l))
OMBREX_WRAP(int, WSAAsyncSelect, (SOCKET s, platform::HWND w, u_int m, long e), (s, w, m, e))
OMBREX_WRAP(wsock::servent*, getservbyname, (const char* n, const char* p), (n, p))
OMBREX_WRAP(wsock::protoent*, getprotobyname, (const char* n), (n))
OMBREX_WRAP(wsock::HANDLE, WSAAsyncGetAddrInfo, (platform::HWND w, u_int m, const char* n, int f, char* b, int l),
            (w, m, n, f, b, l))
OMBREX_WRAP(int, inet_pton, (int f, const char* s, void* d), (f, s, d))
OMBREX_WRAP(const char*, inet_ntop, (int f, const void* s, char* d, std::size_t l), (f, s, d, l))
OMBREX_WRAP(wsock::hostent*, gethostbyname, (const char* n), (n))
OMBREX_WRAP(wsock::SOCKET, socket, (int af, int type, int protocol), (af, type, protocol))
OMBREX_WRAP(int, shutdown, (SOCKET s, int how), (s, how))
OMBREX_WRAP(int, setsockopt, (SOCKET s, int level, int name, const char* v, int l), (s, level, name, v, l))
OMBREX_WRAP(int, getsockopt, (SOCKET s, int level, int name, char* v, int* l), (s, level, name, v, l))
OMBREX_WRAP(int, sendto, (SOCKET s, const char* b, int l, int f, const sockaddr* to, int tl), (s, b, l, f, to, tl))
OMBREX_WRAP(int, send, (SOCKET s, const char* b, int l, int f), (s, b, l, f))
OMBREX_WRAP(int, recv, (SOCKET s, char* b, int l, int f), (s, b, l, f))
OMBREX_WRAP(int, recvfrom, (SOCKET s, char* b, int l, int f, sockaddr* from, int* fl), (s, b, l, f, from, fl))
OMBREX_WRAP(wsock::u_short, ntohs, (u_short v), (v))
OMBREX_WRAP(int, listen, (SOCKET s, int backlog), (s, backlog))
OMBREX_WRAP(int, ioctlsocket, (SOCKET s, long cmd, u_long* arg), (s, cmd, arg))
OMBREX_WRAP(char*, inet_ntoa, (in_addr a), (a))
OMBREX_WRAP(wsock::u_long, inet_addr, (const char* cp), (cp))
OMBREX_WRAP(wsock::u_short, htons, (u_short v), (v))
OMBREX_WRAP(wsock::u_long, htonl, (u_long v), (v))
OMBREX_WRAP(int, getsockname, (SOCKET s, sockaddr* n, int* l), (s, n, l))
OMBREX_WRAP(int, getpeername, (SOCKET s, sockaddr* n, int* l), (s, n, l))
OMBREX_WRAP(int, connect, (SOCKET s, const sockaddr* n, int l), (s, n, l))
OMBREX_WRAP(int, closesocket, (SOCKET s), (s))
OMBREX_WRAP(int, bind, (SOCKET s, const sockaddr* a, int l), (s, a, l))
OMBREX_WRAP(wsock::SOCKET, accept, (SOCKET s, sockaddr* a, int* l), (s, a, l))

#undef OMBREX_WRAP

void* SocketProc(const std::string& Name)
{
    std::lock_guard<std::recursive_mutex> lock(LibraryLock());
    if (!gLibHandle) {
        Trace(std::string("LoadLibrary ") + WSocketDllName);
        gLibHandle = winsock::LoadLibraryA(WSocketDllName);
        if (!gLibHandle)
            throw ESocketException(std::string("Unable to load ") + WSocketDllName + " Error #" +
                                   std::to_string(winsock::GetLastError()));
        Trace("WSAStartup 257");
        int r;
        try {
            r = wsock::WSAStartup(257, &gWSocketData);
        } catch (...) {
            winsock::FreeLibrary(gLibHandle);
            gLibHandle = 0;
            throw;
        }
        if (r != 0) {
            // Not started: let the next call try the whole sequence again.
            winsock::FreeLibrary(gLibHandle);
            gLibHandle = 0;
            ForgetEntries();
            throw ESocketException::CreateFmt("%s: WSAStartup error #%d", WSocketDllName, r);
        }
    }
    if (Name.empty())
        return nullptr;
    Trace("GetProcAddress " + Name);
    void* entry = winsock::GetProcAddress(gLibHandle, Name.c_str());
    if (!entry)
        throw ESocketException("Procedure " + Name + " not found in " + WSocketDllName + " Error #" +
                               std::to_string(winsock::GetLastError()));
    return entry;
}

void UnloadSocketLibrary()
{
    std::lock_guard<std::recursive_mutex> lock(LibraryLock());
    if (gLibHandle) {
        Trace("WSACleanup");
        try {
            wsock::WSACleanup();
        } catch (...) {
            // Unloading goes on: nothing can be done about a library that will not clean up.
        }
        Trace("FreeLibrary");
        winsock::FreeLibrary(gLibHandle);
        gLibHandle = 0;
    }
    ForgetEntries();
    SocketInstanceCount = 0;
}

void SocketLibraryAddRef()
{
    std::lock_guard<std::recursive_mutex> lock(LibraryLock());
    ++SocketInstanceCount;
}

void SocketLibraryRelease()
{
    std::lock_guard<std::recursive_mutex> lock(LibraryLock());
    if (--SocketInstanceCount < 1)
        UnloadSocketLibrary();
}

bool SocketLibraryLoaded()
{
    return gLibHandle != 0;
}

void SetSocketLibraryTrace(TSocketLibraryTrace Trace)
{
    std::lock_guard<std::mutex> lock(gTraceLock);
    gTrace = std::move(Trace);
}

std::string SocketErrorText(std::int32_t Number)
{
    switch (Number) {
    case 0: return "No Error";
    case 10004: return "Interrupted system call";
    case 10009: return "Bad file number";
    case 10013: return "Permission denied";
    case 10014: return "Bad address";
    case 10022: return "Invalid argument";
    case 10024: return "Too many open files";
    case 10035: return "Operation would block";
    case 10036: return "Operation now in progress";
    case 10037: return "Operation already in progress";
    case 10038: return "Socket operation on non-socket";
    case 10039: return "Destination address required";
    case 10040: return "Message too long";
    case 10041: return "Protocol wrong type for socket";
    case 10042: return "Protocol not available";
    case 10043: return "Protocol not supported";
    case 10044: return "Socket type not supported";
    case 10045: return "Operation not supported on socket";
    case 10046: return "Protocol family not supported";
    case 10047: return "Address family not supported by protocol family";
    case 10048: return "Address already in use";
    case 10049: return "Address not available";
    case 10050: return "Network is down";
    case 10051: return "Network is unreachable";
    case 10052: return "Network dropped connection on reset";
    case 10053: return "Connection aborted";
    case 10054: return "Connection reset by peer";
    case 10055: return "No buffer space available";
    case 10056: return "Socket is already connected";
    case 10057: return "Socket is not connected";
    case 10058: return "Can't send after socket shutdown";
    case 10059: return "Too many references: can't splice";
    case 10060: return "Connection timed out";
    case 10061: return "Connection refused";
    case 10062: return "Too many levels of symbolic links";
    case 10063: return "File name too long";
    case 10064: return "Host is down";
    case 10065: return "No route to host";
    case 10066: return "Directory not empty";
    case 10067: return "Too many processes";
    case 10068: return "Too many users";
    case 10069: return "Disc quota exceeded";
    case 10070: return "Stale NFS file handle";
    case 10071: return "Too many levels of remote in path";
    case 10091: return "Network sub-system is unusable";
    case 10092: return "WinSock DLL cannot support this application";
    case 10093: return "WinSock not initialized";
    case 11001: return "Host not found";
    case 11002: return "Non-authoritative host not found";
    case 11003: return "Non-recoverable error";
    case 11004: return "No Data";
    default: return "Not a WinSock error";
    }
}

std::string FormatStrV(const char* Fmt, std::va_list Args)
{
    std::va_list copy;
    va_copy(copy, Args);
    int n = std::vsnprintf(nullptr, 0, Fmt, copy);
    va_end(copy);
    if (n <= 0)
        return {};
    std::string out(std::size_t(n) + 1, '\0');
    std::vsnprintf(out.data(), out.size(), Fmt, Args);
    out.resize(std::size_t(n));
    return out;
}

std::string FormatStr(const char* Fmt, ...)
{
    std::va_list args;
    va_start(args, Fmt);
    std::string out = FormatStrV(Fmt, args);
    va_end(args);
    return out;
}

ESocketException ESocketException::CreateFmt(const char* Fmt, ...)
{
    std::va_list args;
    va_start(args, Fmt);
    std::string msg = FormatStrV(Fmt, args);
    va_end(args);
    return ESocketException(msg);
}
