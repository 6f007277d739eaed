// The socket library binding: error texts, lazy loading and unloading, and the stand-in's
// handle rules (stale handles never reach a reused descriptor).
#include "SocketTestUtil.h"
#include "TestPeers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <thread>

using namespace sockettest;

namespace {

std::vector<std::string> gTrace;

class TraceScope {
public:
    TraceScope()
    {
        gTrace.clear();
        SetSocketLibraryTrace([](const std::string& step) { gTrace.push_back(step); });
    }
    ~TraceScope() { SetSocketLibraryTrace(nullptr); }
};

} // namespace

// ---- error texts ----

TEST(SocketErrorTextTable, EveryListedNumberHasItsText)
{
    const std::vector<std::pair<int, const char*>> table = {
        {0, "No Error"},
        {10004, "Interrupted system call"},
        {10009, "Bad file number"},
        {10013, "Permission denied"},
        {10014, "Bad address"},
        {10022, "Invalid argument"},
        {10024, "Too many open files"},
        {10035, "Operation would block"},
        {10036, "Operation now in progress"},
        {10037, "Operation already in progress"},
        {10038, "Socket operation on non-socket"},
        {10039, "Destination address required"},
        {10040, "Message too long"},
        {10041, "Protocol wrong type for socket"},
        {10042, "Protocol not available"},
        {10043, "Protocol not supported"},
        {10044, "Socket type not supported"},
        {10045, "Operation not supported on socket"},
        {10046, "Protocol family not supported"},
        {10047, "Address family not supported by protocol family"},
        {10048, "Address already in use"},
        {10049, "Address not available"},
        {10050, "Network is down"},
        {10051, "Network is unreachable"},
        {10052, "Network dropped connection on reset"},
        {10053, "Connection aborted"},
        {10054, "Connection reset by peer"},
        {10055, "No buffer space available"},
        {10056, "Socket is already connected"},
        {10057, "Socket is not connected"},
        {10058, "Can't send after socket shutdown"},
        {10059, "Too many references: can't splice"},
        {10060, "Connection timed out"},
        {10061, "Connection refused"},
        {10062, "Too many levels of symbolic links"},
        {10063, "File name too long"},
        {10064, "Host is down"},
        {10065, "No route to host"},
        {10066, "Directory not empty"},
        {10067, "Too many processes"},
        {10068, "Too many users"},
        {10069, "Disc quota exceeded"},
        {10070, "Stale NFS file handle"},
        {10071, "Too many levels of remote in path"},
        {10091, "Network sub-system is unusable"},
        {10092, "WinSock DLL cannot support this application"},
        {10093, "WinSock not initialized"},
        {11001, "Host not found"},
        {11002, "Non-authoritative host not found"},
        {11003, "Non-recoverable error"},
        {11004, "No Data"},
    };
    for (const auto& [number, text] : table)
        EXPECT_EQ(SocketErrorText(number), text) << number;
}

TEST(SocketErrorTextTable, UnlistedNumbersAreNotWinsockErrors)
{
    for (int number : {1, 61, 10000, 10001, 10005, 10072, 10090, 10094, 11000, 11005, 12001, 20001, -1})
        EXPECT_EQ(SocketErrorText(number), "Not a WinSock error") << number;
}

// ---- loading and unloading ----

TEST(SocketLibraryLoading, FirstCallLoadsThenStartsThenResolves)
{
    UnloadSocketLibrary();
    TraceScope trace;
    EXPECT_FALSE(SocketLibraryLoaded());
    wsock::SOCKET s = wsock::socket(wsock::AF_INET, wsock::SOCK_STREAM, wsock::IPPROTO_TCP);
    ASSERT_NE(s, wsock::INVALID_SOCKET);
    EXPECT_EQ(gTrace, (std::vector<std::string>{"LoadLibrary wsock32.dll", "WSAStartup 257",
                                                "GetProcAddress WSAStartup", "GetProcAddress socket"}));
    // A second call uses the cached entry point.
    gTrace.clear();
    wsock::SOCKET t = wsock::socket(wsock::AF_INET, wsock::SOCK_DGRAM, wsock::IPPROTO_UDP);
    EXPECT_TRUE(gTrace.empty());
    wsock::closesocket(s);
    wsock::closesocket(t);
    UnloadSocketLibrary();
}

TEST(SocketLibraryLoading, CreatingASocketObjectDoesNotLoad)
{
    UnloadSocketLibrary();
    TraceScope trace;
    {
        TWSocket s;
        s.SetAddr("127.0.0.1");
        s.SetPort("21");
        EXPECT_FALSE(SocketLibraryLoaded());
    }
    EXPECT_TRUE(gTrace.empty());
}

TEST(SocketLibraryLoading, LastSocketObjectUnloadsAndTheNextCallLoadsAgain)
{
    UnloadSocketLibrary();
    TraceScope trace;
    auto a = std::make_unique<TWSocket>();
    auto b = std::make_unique<TWSocket>();
    a->SetAddr("127.0.0.1");
    a->SetPort("0");
    a->Listen();
    EXPECT_TRUE(SocketLibraryLoaded());
    EXPECT_EQ(SocketInstanceCount, 2);
    a.reset();
    EXPECT_TRUE(SocketLibraryLoaded()) << "one socket object is still alive";
    b.reset();
    EXPECT_FALSE(SocketLibraryLoaded());
    EXPECT_EQ(SocketInstanceCount, 0);
    ASSERT_GE(gTrace.size(), 2u);
    EXPECT_NE(std::find(gTrace.begin(), gTrace.end(), "WSACleanup"), gTrace.end());
    EXPECT_EQ(gTrace.back(), "FreeLibrary");
    EXPECT_EQ(winsock::OpenSocketCount(), 0);

    gTrace.clear();
    TWSocket c;
    c.SetAddr("127.0.0.1");
    c.SetPort("0");
    c.Listen();
    ASSERT_GE(gTrace.size(), 2u);
    EXPECT_EQ(gTrace[0], "LoadLibrary wsock32.dll");
    EXPECT_EQ(gTrace[1], "WSAStartup 257");
    EXPECT_EQ(c.State(), wsListening);
}

TEST(SocketLibraryLoading, UnknownModuleAndProcedureFailAsTheDesktopDoes)
{
    EXPECT_EQ(winsock::LoadLibraryA("nosuch.dll"), 0u);
    EXPECT_EQ(winsock::GetLastError(), 126u);
    winsock::HMODULE m = winsock::LoadLibraryA("WSOCK32.DLL");
    ASSERT_NE(m, 0u);
    EXPECT_EQ(winsock::GetProcAddress(m, "WSAAsyncNothing"), nullptr);
    EXPECT_EQ(winsock::GetLastError(), 127u);
    EXPECT_NE(winsock::GetProcAddress(m, "closesocket"), nullptr);
    winsock::FreeLibrary(m);
}

TEST(SocketLibraryLoading, CallsWithoutStartupReportNotInitialised)
{
    UnloadSocketLibrary();
    EXPECT_EQ(winsock::socket(winsock::AF_INET, winsock::SOCK_STREAM, 0), winsock::INVALID_SOCKET);
    EXPECT_EQ(winsock::WSAGetLastError(), winsock::WSANOTINITIALISED);
}

// ---- the stand-in's handles ----

TEST(WinsockHandles, StaleHandleNeverReachesTheReusedDescriptor)
{
    wsock::SOCKET a = wsock::socket(wsock::AF_INET, wsock::SOCK_STREAM, wsock::IPPROTO_TCP);
    int fdA = winsock::DescriptorOf(a);
    ASSERT_GE(fdA, 0);
    ASSERT_EQ(wsock::closesocket(a), 0);
    wsock::SOCKET b = wsock::socket(wsock::AF_INET, wsock::SOCK_STREAM, wsock::IPPROTO_TCP);
    ASSERT_EQ(winsock::DescriptorOf(b), fdA) << "the system hands the number out again at once";
    EXPECT_NE(a, b) << "but the handle is new";
    char c = 0;
    EXPECT_EQ(wsock::send(a, &c, 1, 0), wsock::SOCKET_ERROR);
    EXPECT_EQ(wsock::WSAGetLastError(), wsock::WSAENOTSOCK);
    EXPECT_EQ(wsock::closesocket(a), wsock::SOCKET_ERROR);
    EXPECT_EQ(wsock::WSAGetLastError(), wsock::WSAENOTSOCK);
    EXPECT_EQ(winsock::DescriptorOf(b), fdA) << "closing the stale handle must not close the new socket";
    wsock::closesocket(b);
    UnloadSocketLibrary();
}

TEST(WinsockHandles, SendToAResetPeerReportsResetWithoutSigpipe)
{
    int port = 0;
    int lfd = peer::ListenLoopback(port);
    ASSERT_GE(lfd, 0);
    wsock::SOCKET s = wsock::socket(wsock::AF_INET, wsock::SOCK_STREAM, wsock::IPPROTO_TCP);
    wsock::sockaddr_in sin{};
    sin.sin_family = wsock::AF_INET;
    sin.sin_port = wsock::htons(wsock::u_short(port));
    sin.sin_addr.s_addr = wsock::inet_addr("127.0.0.1");
    ASSERT_EQ(wsock::connect(s, reinterpret_cast<wsock::sockaddr*>(&sin), sizeof sin), 0);   // blocking
    int afd = peer::AcceptOne(lfd);
    peer::CloseReset(afd);
    platform::Sleep(50);
    std::string block(4096, 'x');
    int last = 0;
    for (int i = 0; i < 100 && last >= 0; ++i)
        last = wsock::send(s, block.data(), int(block.size()), 0);
    EXPECT_EQ(last, wsock::SOCKET_ERROR);
    EXPECT_EQ(wsock::WSAGetLastError(), wsock::WSAECONNRESET);
    wsock::closesocket(s);
    peer::CloseFd(lfd);
    UnloadSocketLibrary();
}

TEST(WinsockHandles, OptionsUseWinsockLevelsAndLayouts)
{
    wsock::SOCKET s = wsock::socket(wsock::AF_INET, wsock::SOCK_STREAM, wsock::IPPROTO_TCP);
    wsock::linger l{1, 7};
    EXPECT_EQ(wsock::setsockopt(s, wsock::SOL_SOCKET, wsock::SO_LINGER, reinterpret_cast<char*>(&l), sizeof l), 0);
    wsock::linger back{};
    int len = sizeof back;
    EXPECT_EQ(wsock::getsockopt(s, wsock::SOL_SOCKET, wsock::SO_LINGER, reinterpret_cast<char*>(&back), &len), 0);
    EXPECT_EQ(back.l_onoff, 1);
    EXPECT_EQ(back.l_linger, 7);
    int on = -1;
    EXPECT_EQ(wsock::setsockopt(s, wsock::SOL_SOCKET, wsock::SO_KEEPALIVE, reinterpret_cast<char*>(&on), 4), 0);
    int value = 0;
    len = sizeof value;
    EXPECT_EQ(wsock::getsockopt(s, wsock::SOL_SOCKET, wsock::SO_KEEPALIVE, reinterpret_cast<char*>(&value), &len), 0);
    EXPECT_NE(value, 0);
    len = sizeof value;
    EXPECT_EQ(wsock::getsockopt(s, wsock::SOL_SOCKET, wsock::SO_SNDBUF, reinterpret_cast<char*>(&value), &len), 0);
    EXPECT_GT(value, 0);
    len = sizeof value;
    EXPECT_EQ(wsock::getsockopt(s, wsock::SOL_SOCKET, wsock::SO_TYPE, reinterpret_cast<char*>(&value), &len), 0);
    EXPECT_EQ(value, wsock::SOCK_STREAM);
    EXPECT_EQ(wsock::setsockopt(s, wsock::SOL_SOCKET, 0x7777, reinterpret_cast<char*>(&on), 4), wsock::SOCKET_ERROR);
    EXPECT_EQ(wsock::WSAGetLastError(), wsock::WSAENOPROTOOPT);
    wsock::closesocket(s);
    UnloadSocketLibrary();
}

TEST(WinsockHandles, ByteOrderAndDottedText)
{
    EXPECT_EQ(wsock::htons(0x1234), wsock::u_short(0x3412));
    EXPECT_EQ(wsock::ntohs(wsock::htons(21)), 21);
    EXPECT_EQ(wsock::htonl(0x7F000001), wsock::inet_addr("127.0.0.1"));
    EXPECT_EQ(wsock::inet_addr("bogus"), wsock::INADDR_NONE);
    EXPECT_STREQ(wsock::inet_ntoa(wsock::in_addr{wsock::inet_addr("10.0.0.01")}), "10.0.0.1");
    UnloadSocketLibrary();
}

// ---- notification rules ----

namespace {

// A window that records the notifications it gets.
class RecordingWindow : public platform::MessageWindow {
public:
    std::vector<std::pair<wsock::SOCKET, int>> Seen;   // handle, event bits

protected:
    void WndProc(platform::TMessage& m) override
    {
        if (m.Msg == WM_SOCKET_NOTIFY)
            Seen.emplace_back(m.WParam, wsock::WSAGETSELECTEVENT(m.LParam));
    }
};

int CountBits(const RecordingWindow& w, wsock::SOCKET s, int bit)
{
    int n = 0;
    for (const auto& [h, bits] : w.Seen)
        if (h == s && (bits & bit))
            ++n;
    return n;
}

} // namespace

TEST(WinsockNotifications, PartialSendIsFollowedByAWriteNotification)
{
    int port = 0;
    int lfd = peer::ListenLoopback(port);
    wsock::SOCKET s = wsock::socket(wsock::AF_INET, wsock::SOCK_STREAM, wsock::IPPROTO_TCP);
    wsock::sockaddr_in sin{};
    sin.sin_family = wsock::AF_INET;
    sin.sin_port = wsock::htons(wsock::u_short(port));
    sin.sin_addr.s_addr = wsock::inet_addr("127.0.0.1");
    ASSERT_EQ(wsock::connect(s, reinterpret_cast<wsock::sockaddr*>(&sin), sizeof sin), 0);
    int afd = peer::AcceptOne(lfd);
    RecordingWindow w;
    ASSERT_EQ(wsock::WSAAsyncSelect(s, w.Handle(), WM_SOCKET_NOTIFY, WSocketConnectEvents), 0);
    PumpFor(20);
    EXPECT_EQ(CountBits(w, s, wsock::FD_WRITE), 1) << "once when a connected handle is registered";
    // More than the system buffers at once: the system takes part of it and says nothing more.
    std::string big(64 * 1024 * 1024, 'b');
    int n = wsock::send(s, big.data(), int(big.size()), 0);
    ASSERT_GT(n, 0);
    ASSERT_LT(n, int(big.size()));
    PumpFor(20);
    EXPECT_EQ(CountBits(w, s, wsock::FD_WRITE), 1) << "nothing while the buffer is full";
    std::thread reader([&] { peer::RecvAll(afd, std::size_t(n), 10000); });
    EXPECT_TRUE(PumpUntil([&] { return CountBits(w, s, wsock::FD_WRITE) == 2; }))
        << "the buffer drained: the sender must hear of it, or it waits for ever";
    reader.join();
    wsock::closesocket(s);
    peer::CloseFd(afd);
    peer::CloseFd(lfd);
    UnloadSocketLibrary();
}

TEST(WinsockNotifications, ReadAgainOnlyAfterARecv)
{
    int port = 0;
    int lfd = peer::ListenLoopback(port);
    wsock::SOCKET s = wsock::socket(wsock::AF_INET, wsock::SOCK_STREAM, wsock::IPPROTO_TCP);
    wsock::sockaddr_in sin{};
    sin.sin_family = wsock::AF_INET;
    sin.sin_port = wsock::htons(wsock::u_short(port));
    sin.sin_addr.s_addr = wsock::inet_addr("127.0.0.1");
    ASSERT_EQ(wsock::connect(s, reinterpret_cast<wsock::sockaddr*>(&sin), sizeof sin), 0);
    int afd = peer::AcceptOne(lfd);
    RecordingWindow w;
    ASSERT_EQ(wsock::WSAAsyncSelect(s, w.Handle(), WM_SOCKET_NOTIFY, WSocketConnectEvents), 0);
    peer::SendAll(afd, "abcdef");
    ASSERT_TRUE(PumpUntil([&] { return CountBits(w, s, wsock::FD_READ) == 1; }));
    PumpFor(30);
    EXPECT_EQ(CountBits(w, s, wsock::FD_READ), 1) << "no second notification before a recv";
    char buf[2];
    EXPECT_EQ(wsock::recv(s, buf, 2, 0), 2);
    EXPECT_TRUE(PumpUntil([&] { return CountBits(w, s, wsock::FD_READ) == 2; })) << "data left: read again";
    char rest[16];
    EXPECT_EQ(wsock::recv(s, rest, sizeof rest, 0), 4);
    peer::CloseFd(afd);
    EXPECT_TRUE(PumpUntil([&] { return CountBits(w, s, wsock::FD_CLOSE) == 1; })) << "then the close, once";
    PumpFor(30);
    EXPECT_EQ(CountBits(w, s, wsock::FD_CLOSE), 1);
    EXPECT_EQ(CountBits(w, s, wsock::FD_READ), 2);
    wsock::closesocket(s);
    peer::CloseFd(lfd);
    UnloadSocketLibrary();
}
