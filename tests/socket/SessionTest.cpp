// Sessions over real loopback sockets against blocking peers written here: event order,
// refusals, closes and resets, the send path, descriptor reuse, UDP, exceptions.
#include "SocketTestUtil.h"
#include "TestPeers.h"

#include <QEventLoop>
#include <QThread>

#include <gtest/gtest.h>

#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <thread>

using namespace sockettest;

namespace {

// Connects s to 127.0.0.1:port and pumps until the session is up.
void ConnectTo(TCustomWSocket& s, int port, EventLog& log)
{
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(port));
    s.Connect();
    ASSERT_TRUE(PumpUntil([&] { return log.Connected > 0; })) << "no OnSessionConnected";
}

// Opens the protected parts that the tests look at.
class TProbeSocket : public TWSocket {
public:
    using TCustomWSocket::QueueSendData;
    int ReadNotifications = 0;
    std::vector<std::int64_t> RawReceiveLengths;

protected:
    void WndProc(platform::TMessage& Msg) override
    {
        if (Msg.Msg == WM_SOCKET_NOTIFY && Msg.WParam == Handle() &&
            (wsock::WSAGETSELECTEVENT(Msg.LParam) & wsock::FD_READ))
            ++ReadNotifications;
        TWSocket::WndProc(Msg);
    }
    std::int64_t RawReceive(void* Buffer, std::int64_t Len, int Flags) override
    {
        RawReceiveLengths.push_back(Len);
        return TWSocket::RawReceive(Buffer, Len, Flags);
    }
};

std::string PatternBytes(std::size_t n)
{
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = peer::Pattern(i);
    return s;
}

} // namespace

// ---- the order of events ----

TEST(SessionOrder, ConnectDataClose)
{
    int port = 0;
    int lfd = peer::ListenLoopback(port);
    ASSERT_GE(lfd, 0);
    std::thread server([&] {
        int fd = peer::AcceptOne(lfd);
        peer::SendAll(fd, "hello");
        peer::CloseFd(fd);
    });
    EventLog log;   // outlives the socket, whose destructor may still report
    TWSocket s;
    log.Attach(s);
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(port));
    s.Connect();
    EXPECT_EQ(s.State(), wsConnecting);
    EXPECT_EQ(log.Connected, 0) << "the outcome comes from the loop";
    ASSERT_TRUE(PumpUntil([&] { return log.Closed > 0; }));
    server.join();
    peer::CloseFd(lfd);
    EXPECT_EQ(log.Collapsed(), (std::vector<std::string>{"state 7>1", "state 1>3", "state 3>4", "connected 0",
                                                          "sent 0", "data 0", "closed 0", "state 4>7"}));
    EXPECT_EQ(log.Received, "hello");
    EXPECT_EQ(s.State(), wsClosed);
    PumpFor(30);
    EXPECT_EQ(log.Closed, 1);
}

TEST(SessionOrder, RefusedConnection)
{
    int port = peer::UnusedPort();
    EventLog log;   // outlives the socket, whose destructor may still report
    TWSocket s;
    log.Attach(s);
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(port));
    s.Connect();
    ASSERT_TRUE(PumpUntil([&] { return log.Closed > 0; }));
    PumpFor(30);
    EXPECT_EQ(log.Events, (std::vector<std::string>{"state 7>1", "state 1>3", "state 3>4", "connected 10061",
                                                     "state 4>7", "closed 0"}));
    EXPECT_EQ(s.Handle(), wsock::INVALID_SOCKET);
}

TEST(SessionOrder, BufferedDataIsOfferedBeforeTheOneClose)
{
    int port = 0;
    int lfd = peer::ListenLoopback(port);
    std::atomic<bool> serverDone{false};
    const std::string payload = PatternBytes(50000);
    EventLog log;   // outlives the socket, whose destructor may still report
    TWSocket s;
    log.Attach(s);
    log.ReadChunk = 1000;
    s.SetComponentOptions({wsoNoReceiveLoop});
    auto connected = s.OnSessionConnected;
    s.OnSessionConnected = [&](TCustomWSocket* sender, std::uint16_t e) {
        connected(sender, e);
        sender->SuspendEvents();   // let everything arrive, and the close with it
    };
    std::thread server([&] {
        int fd = peer::AcceptOne(lfd);
        peer::SendAll(fd, payload);
        peer::CloseFd(fd);
        serverDone = true;
    });
    ConnectTo(s, port, log);
    server.join();
    platform::Sleep(20);
    s.ResumeEvents();
    ASSERT_TRUE(PumpUntil([&] { return log.Closed > 0; }));
    PumpFor(30);
    peer::CloseFd(lfd);
    EXPECT_EQ(log.Received.size(), payload.size());
    EXPECT_TRUE(log.Received == payload);
    EXPECT_EQ(log.Closed, 1);
    EXPECT_EQ(log.CloseError, 0);
    auto events = log.Collapsed();
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events[events.size() - 3], "data 0");
    EXPECT_EQ(events[events.size() - 2], "closed 0");
    EXPECT_EQ(events.back(), "state 4>7");
}

// ---- resets ----

TEST(SessionReset, SendAfterTheResetClosesWithConnectionReset)
{
    int port = 0;
    int lfd = peer::ListenLoopback(port);
    std::atomic<bool> go{false};
    std::thread server([&] {
        int fd = peer::AcceptOne(lfd);
        while (!go)
            platform::Sleep(1);
        peer::CloseReset(fd);
    });
    EventLog log;   // outlives the socket, whose destructor may still report
    TWSocket s;
    log.Attach(s);
    TSocketState stateInHandler = wsInvalidState;
    auto closed = s.OnSessionClosed;
    s.OnSessionClosed = [&](TCustomWSocket* sender, std::uint16_t e) {
        stateInHandler = sender->State();
        closed(sender, e);
    };
    ConnectTo(s, port, log);
    go = true;
    server.join();
    platform::Sleep(100);   // the reset arrives; no notification is handled meanwhile
    std::string block(100000, 'z');
    s.Send(block.data(), std::int64_t(block.size()));
    PumpFor(50);
    peer::CloseFd(lfd);
    EXPECT_EQ(log.Closed, 1);
    EXPECT_EQ(log.CloseError, 10054);
    EXPECT_EQ(stateInHandler, wsClosed);
    EXPECT_EQ(s.State(), wsClosed);
}

TEST(SessionReset, ResetWhileStreamingGivesOneCloseWith10054)
{
    int port = 0;
    int lfd = peer::ListenLoopback(port);
    std::thread server([&] {
        int fd = peer::AcceptOne(lfd);
        peer::SetRecvBuffer(fd, 4096);
        platform::Sleep(150);
        peer::CloseReset(fd);
    });
    EventLog log;   // outlives the socket, whose destructor may still report
    TWSocket s;
    log.Attach(s);
    const std::string chunk(256 * 1024, 'q');
    s.OnDataSent = [&](TCustomWSocket* sender, std::uint16_t) {
        ++log.Sent;
        sender->Send(chunk.data(), std::int64_t(chunk.size()));
    };
    ConnectTo(s, port, log);
    ASSERT_TRUE(PumpUntil([&] { return log.Closed > 0; }));
    server.join();
    PumpFor(50);
    peer::CloseFd(lfd);
    EXPECT_EQ(log.Closed, 1);
    EXPECT_EQ(log.CloseError, 10054);
    EXPECT_EQ(s.State(), wsClosed);
}

// ---- the send path ----

TEST(SendPath, FourThousandBytesAreThreeSendCallsAndOneLaterOnDataSent)
{
    int port = 0;
    int lfd = peer::ListenLoopback(port);
    std::string got;
    std::thread server([&] {
        int fd = peer::AcceptOne(lfd);
        got = peer::RecvAll(fd);
        peer::CloseFd(fd);
    });
    EventLog log;   // outlives the socket, whose destructor may still report
    TWSocket s;
    s.SetLingerOnOff(wsLingerOff);

    log.Attach(s);
    std::vector<int> sendCalls;
    s.OnSendData = [&](TCustomWSocket*, std::int32_t n) { sendCalls.push_back(n); };
    ConnectTo(s, port, log);
    ASSERT_TRUE(PumpUntil([&] { return log.Sent == 1; })) << "OnDataSent(0) once connected, though nothing was sent";
    const std::string data = PatternBytes(4000);
    EXPECT_EQ(s.SendStr(data), 4000);
    EXPECT_EQ(sendCalls, (std::vector<int>{1514, 1514, 972}));
    EXPECT_EQ(log.Sent, 1) << "OnDataSent never comes from inside Send";
    ASSERT_TRUE(PumpUntil([&] { return log.Sent == 2; }));
    s.Close();
    server.join();
    peer::CloseFd(lfd);
    EXPECT_TRUE(got == data);
}

TEST(SendPath, UrgentFlagReachesEverySendCall)
{
    int port = 0;
    int lfd = peer::ListenLoopback(port);
    std::string got;
    std::thread server([&] {
        int fd = peer::AcceptOne(lfd);
        got = peer::RecvAll(fd);
        peer::CloseFd(fd);
    });
    EventLog log;   // outlives the socket, whose destructor may still report
    TWSocket s;
    s.SetLingerOnOff(wsLingerOff);

    log.Attach(s);
    ConnectTo(s, port, log);
    s.SetSendFlags(wsSendUrgent);
    EXPECT_EQ(s.SendStr("ab"), 2);
    ASSERT_TRUE(PumpUntil([&] { return log.Sent >= 2; }));
    s.SetSendFlags(wsSendNormal);
    s.SendStr("cd");
    ASSERT_TRUE(PumpUntil([&] { return log.Sent >= 3; }));
    s.Close();
    server.join();
    peer::CloseFd(lfd);
    // The last byte of an urgent send travels out of band, so the in-band stream lacks it.
    EXPECT_EQ(got, "acd");
}

TEST(SendPath, FlushSendsTheWholeQueue)
{
    int port = 0;
    int lfd = peer::ListenLoopback(port);
    std::uint64_t count = 0;
    bool ok = false;
    std::thread server([&] {
        int fd = peer::AcceptOne(lfd);
        count = peer::RecvCountChecked(fd, ok);
        peer::CloseFd(fd);
    });
    EventLog log;   // outlives the socket, whose destructor may still report
    TWSocket s;
    s.SetLingerOnOff(wsLingerOff);

    log.Attach(s);
    ConnectTo(s, port, log);
    const std::string data = PatternBytes(3 * 1024 * 1024);
    s.SendStr(data);
    s.Flush();
    EXPECT_TRUE(s.AllSent());
    EXPECT_EQ(s.BufferedByteCount(), 0);
    s.Close();
    server.join();
    peer::CloseFd(lfd);
    EXPECT_EQ(count, data.size());
    EXPECT_TRUE(ok);
}

TEST(SendPath, AbortDropsTheQueueAndClosesOnce)
{
    int port = 0;
    int lfd = peer::ListenLoopback(port);
    std::atomic<bool> stop{false};
    std::thread server([&] {
        int fd = peer::AcceptOne(lfd);
        while (!stop)
            platform::Sleep(2);
        peer::CloseFd(fd);
    });
    EventLog log;   // outlives the socket, whose destructor may still report
    TWSocket s;
    log.Attach(s);
    ConnectTo(s, port, log);
    std::string big(16 * 1024 * 1024, 'a');
    s.SendStr(big);
    EXPECT_GT(s.BufferedByteCount(), 0) << "the peer reads nothing";
    s.Abort();
    EXPECT_EQ(log.Closed, 1);
    EXPECT_EQ(log.CloseError, 0);
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(s.BufferedByteCount(), 0);
    stop = true;
    server.join();
    peer::CloseFd(lfd);
    PumpFor(30);
    EXPECT_EQ(log.Closed, 1);
}

// ---- stale notifications ----

TEST(StaleNotifications, ClosedAndReusedDescriptorDropsQueuedNotifications)
{
    int port = 0;
    int lfd = peer::ListenLoopback(port);
    std::atomic<bool> stop{false};
    std::thread server([&] {
        int a = peer::AcceptOne(lfd);
        int b = peer::AcceptOne(lfd);
        while (!stop)
            platform::Sleep(2);
        peer::CloseFd(a);
        peer::CloseFd(b);
    });
    EventLog log;   // outlives the socket, whose destructor may still report
    TWSocket s;
    log.Attach(s);
    ConnectTo(s, port, log);
    ASSERT_TRUE(PumpUntil([&] { return log.Sent == 1; }));
    wsock::SOCKET oldHandle = s.Handle();
    int oldFd = winsock::DescriptorOf(oldHandle);
    s.Send(nullptr, 0);   // queues a write notification for this handle
    s.Close();
    log.Events.clear();
    log.Connected = log.Sent = log.Closed = 0;
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(port));
    s.Connect();
    if (winsock::DescriptorOf(s.Handle()) != oldFd) {
        // Another thread of the process took the number meanwhile; an assertion here would
        // leave the peer thread running and end the whole test program.
        stop = true;
        server.join();
        peer::CloseFd(lfd);
        GTEST_SKIP() << "the system did not reuse the number this time";
    }
    ASSERT_TRUE(PumpUntil([&] { return log.Sent == 1; }));
    PumpFor(20);
    EXPECT_EQ(log.Events, (std::vector<std::string>{"state 7>1", "state 1>3", "state 3>4", "connected 0", "sent 0"}));
    // Read and close notifications of the old registration, as the system could have
    // queued them, arriving while the new session runs.
    platform::PostMessage(s.WindowHandle(), WM_SOCKET_NOTIFY, oldHandle,
                          wsock::WSAMAKESELECTREPLY(int(wsock::FD_READ | wsock::FD_CLOSE), 0));
    PumpFor(50);
    EXPECT_EQ(log.DataEvents, 0);
    EXPECT_EQ(log.Closed, 0);
    EXPECT_EQ(s.State(), wsConnected);
    stop = true;
    server.join();
    peer::CloseFd(lfd);
}

// ---- listen, accept, dup ----

TEST(ListenAccept, PairExchangesDataAndKnowsItsPeer)
{
    EventLog serverLog, clientLog;
    TWSocket listener, server, client;
    serverLog.Attach(server);
    clientLog.Attach(client);
    listener.SetAddr("127.0.0.1");
    listener.SetPort("0");
    listener.OnSessionAvailable = [&](TCustomWSocket* l, std::uint16_t e) {
        EXPECT_EQ(e, 0);
        wsock::SOCKET h = l->Accept();
        EXPECT_EQ(h, l->AcceptedHandle());
        server.Dup(h);
    };
    listener.Listen();
    std::string port = listener.GetSocketPortText();
    ASSERT_NE(port, "error");
    ConnectTo(client, std::stoi(port), clientLog);
    ASSERT_TRUE(PumpUntil([&] { return server.State() == wsConnected; }));
    EXPECT_EQ(listener.State(), wsListening);
    EXPECT_EQ(serverLog.Connected, 0) << "Dup raises no OnSessionConnected";
    EXPECT_EQ(server.PeerAddr(), "127.0.0.1");
    EXPECT_EQ(server.PeerPort(), client.GetSocketPortText());
    EXPECT_EQ(client.PeerPort(), port);
    client.SendStr("ping");
    ASSERT_TRUE(PumpUntil([&] { return serverLog.Received == "ping"; }));
    server.SendStr("pong");
    ASSERT_TRUE(PumpUntil([&] { return clientLog.Received == "pong"; }));
    client.Close();
    ASSERT_TRUE(PumpUntil([&] { return serverLog.Closed == 1; }));
    EXPECT_TRUE(serverLog.CloseError == 0 || serverLog.CloseError == 10054) << serverLog.CloseError;
    EXPECT_EQ(server.State(), wsClosed);
}

// ---- the local address of a connection, both families ----

namespace {

struct LocalAddrCase {
    const char* Name;
    const char* Local;    // as given to SetLocalAddr
    const char* Stored;   // LocalAddr() afterwards
    const char* Target;   // 127.0.0.1 or ::1
    const char* Source;   // the address the peer sees, or "" when Connect fails
    const char* Error;    // the failure, when Source is ""
};

const LocalAddrCase kLocalAddrs[] = {
    {"IPv4 address", "127.0.0.2", "127.0.0.2", "127.0.0.1", "127.0.0.2", ""},
    {"IPv6 address", "::1", "::1", "::1", "::1", ""},
    {"bracketed IPv6 address", "[::1]", "::1", "::1", "::1", ""},
    {"long IPv6 form", "0:0:0:0:0:0:0:1", "::1", "::1", "::1", ""},
    {"IPv6 any address, IPv4 connection", "::", "::", "127.0.0.1", "127.0.0.1", ""},
    {"IPv4 default, IPv6 connection", "", "0.0.0.0", "::1", "::1", ""},
    {"IPv6 address, IPv4 connection", "::1", "::1", "127.0.0.1", "", "LocalAddr ::1 is an IPv6 address, the connection IPv4"},
};

class LocalAddr : public testing::TestWithParam<LocalAddrCase> {};

} // namespace

TEST_P(LocalAddr, BindsTheSourceOfAConnection)
{
    const LocalAddrCase& t = GetParam();
    const bool six = std::string(t.Target) == "::1";
    int port = 0;
    int listenFd = six ? peer::ListenLoopback6(port) : peer::ListenLoopback(port);
    if (listenFd < 0)
        GTEST_SKIP() << "no listener on " << t.Target;
    EventLog log;
    TWSocket s;
    log.Attach(s);
    s.SetLocalAddr(t.Local);
    EXPECT_EQ(s.LocalAddr(), t.Stored);
    s.SetAddr(t.Target);
    s.SetPort(std::to_string(port));
    if (*t.Source == '\0') {
        EXPECT_EQ(ErrorOf([&] { s.Connect(); }), t.Error);
        peer::CloseFd(listenFd);
        return;
    }
    s.Connect();
    ASSERT_TRUE(PumpUntil([&] { return log.Connected > 0; }));
    EXPECT_EQ(log.ConnectError, 0);
    int fd = peer::AcceptOne(listenFd);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(peer::PeerAddress(fd), t.Source);
    peer::CloseFd(fd);
    peer::CloseFd(listenFd);
}

INSTANTIATE_TEST_SUITE_P(BothFamilies, LocalAddr, testing::ValuesIn(kLocalAddrs));

TEST(ListenAccept, AddressInUseIsReportedAndLeaksNothing)
{
    TWSocket first, second;
    first.SetAddr("127.0.0.1");
    first.SetPort("0");
    first.Listen();
    int before = winsock::OpenSocketCount();
    second.SetAddr("127.0.0.1");
    second.SetPort(first.GetSocketPortText());
    EXPECT_EQ(ErrorOf([&] { second.Listen(); }), "Error 10048 in function Bind\r\nAddress already in use");
    EXPECT_EQ(winsock::OpenSocketCount(), before);
    int errors = 0;
    second.OnError = [&](TCustomWSocket*) { ++errors; };
    second.SetAddr("127.0.0.1");
    second.SetPort(first.GetSocketPortText());
    second.Listen();
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(second.LastError(), 10048);
    EXPECT_EQ(second.State(), wsClosed);
    EXPECT_EQ(winsock::OpenSocketCount(), before);
}

// ---- UDP ----

TEST(Udp, ConnectIsImmediateAndDatagramsFlowBothWays)
{
    int peerPort = 0;
    int pfd = peer::UdpBind(peerPort);
    ASSERT_GE(pfd, 0);
    EventLog log;   // outlives the socket, whose destructor may still report
    TWSocket s;
    log.Attach(s, false);
    std::string got;
    int fromPort = 0;
    s.OnDataAvailable = [&](TCustomWSocket* sender, std::uint16_t) {
        char buf[100];
        wsock::sockaddr_in from{};
        int fromLen = sizeof from;
        int n = sender->ReceiveFrom(buf, sizeof buf, from, fromLen);
        if (n > 0) {
            got.assign(buf, std::size_t(n));
            fromPort = wsock::ntohs(from.sin_port);
        }
    };
    s.SetProto("udp");
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(peerPort));
    s.Connect();
    EXPECT_EQ(log.Connected, 1) << "a datagram Connect reports before it returns";
    EXPECT_EQ(log.ConnectError, 0);
    EXPECT_EQ(s.State(), wsConnected);
    EXPECT_EQ(s.PeerAddr(), "127.0.0.1");
    EXPECT_EQ(s.PeerPort(), std::to_string(peerPort));
    EXPECT_EQ(s.State(), wsConnected) << "asking for the peer leaves the socket alone";
    EXPECT_EQ(s.SendStr("ping"), 4);
    int clientPort = 0;
    EXPECT_EQ(peer::UdpRecv(pfd, clientPort), "ping");
    EXPECT_EQ(std::to_string(clientPort), s.GetSocketPortText());
    peer::UdpSendTo(pfd, clientPort, "pong");
    ASSERT_TRUE(PumpUntil([&] { return !got.empty(); }));
    EXPECT_EQ(got, "pong");
    EXPECT_EQ(fromPort, peerPort);

    int otherPort = 0;
    int ofd = peer::UdpBind(otherPort);
    wsock::sockaddr_in dest{};
    dest.sin_family = wsock::AF_INET;
    dest.sin_port = wsock::htons(wsock::u_short(otherPort));
    dest.sin_addr.s_addr = wsock::inet_addr("127.0.0.1");
    int sendCalls = 0;
    s.OnSendData = [&](TCustomWSocket*, std::int32_t n) { sendCalls += n; };
    EXPECT_EQ(s.SendTo(dest, sizeof dest, "direct", 6), 6);
    EXPECT_EQ(sendCalls, 6);
    int dummy = 0;
    EXPECT_EQ(peer::UdpRecv(ofd, dummy), "direct");
    peer::CloseFd(pfd);
    peer::CloseFd(ofd);
}

TEST(Udp, ListenReceivesDatagrams)
{
    EventLog log;   // outlives the socket, whose destructor may still report
    TWSocket s;
    log.Attach(s, false);
    std::string got;
    s.OnDataAvailable = [&](TCustomWSocket* sender, std::uint16_t) {
        char buf[100];
        wsock::sockaddr_in from{};
        int fromLen = sizeof from;
        int n = sender->ReceiveFrom(buf, sizeof buf, from, fromLen);
        if (n > 0)
            got.assign(buf, std::size_t(n));
    };
    s.SetProto("udp");
    s.SetAddr("127.0.0.1");
    s.SetPort("0");
    s.Listen();
    EXPECT_EQ(log.Events, (std::vector<std::string>{"state 7>2", "state 2>6", "state 6>4", "connected 0"}));
    int port = std::stoi(s.GetSocketPortText());
    int pport = 0;
    int pfd = peer::UdpBind(pport);
    peer::UdpSendTo(pfd, port, "datagram");
    ASSERT_TRUE(PumpUntil([&] { return !got.empty(); }));
    EXPECT_EQ(got, "datagram");
    peer::CloseFd(pfd);
}

// ---- exceptions in handlers ----

TEST(HandlerExceptions, ConnectedHandlerThrowsThenBgExceptionAndAbort)
{
    for (bool canClose : {true, false}) {
        int port = 0;
        int lfd = peer::ListenLoopback(port);
        std::thread server([&] {
            int fd = peer::AcceptOne(lfd);
            platform::Sleep(200);
            peer::CloseFd(fd);
        });
        EventLog log;
        TWSocket s;
        log.Attach(s);
        std::string seen;
        s.OnSessionConnected = [&](TCustomWSocket*, std::uint16_t) {
            ++log.Connected;
            throw std::runtime_error("boom");
        };
        s.OnBgException = [&](TCustomWSocket*, const std::exception& e, bool& CanClose) {
            seen = e.what();
            CanClose = canClose;
        };
        s.SetAddr("127.0.0.1");
        s.SetPort(std::to_string(port));
        s.Connect();
        ASSERT_TRUE(PumpUntil([&] { return !seen.empty(); }));
        EXPECT_EQ(seen, "boom");
        if (canClose) {
            EXPECT_EQ(s.State(), wsClosed);
            EXPECT_EQ(log.Closed, 1);
            EXPECT_EQ(log.CloseError, 0);
        } else {
            EXPECT_EQ(s.State(), wsConnected);
            EXPECT_EQ(log.Closed, 0);
        }
        server.join();
        peer::CloseFd(lfd);
    }
}

TEST(HandlerExceptions, DataHandlerExceptionIsSwallowedByTheReceiveLoop)
{
    int port = 0;
    int lfd = peer::ListenLoopback(port);
    std::atomic<bool> stop{false};
    std::thread server([&] {
        int fd = peer::AcceptOne(lfd);
        peer::SendAll(fd, "abc");
        while (!stop)
            platform::Sleep(2);
        peer::CloseFd(fd);
    });
    EventLog log;   // outlives the socket, whose destructor may still report
    TWSocket s;
    log.Attach(s);
    int calls = 0, bg = 0;
    s.OnDataAvailable = [&](TCustomWSocket* sender, std::uint16_t) {
        ++calls;
        char c;
        sender->Receive(&c, 1);
        throw std::runtime_error("in the loop");
    };
    s.OnBgException = [&](TCustomWSocket*, const std::exception&, bool&) { ++bg; };
    ConnectTo(s, port, log);
    ASSERT_TRUE(PumpUntil([&] { return calls >= 1; }));
    PumpFor(50);
    EXPECT_EQ(bg, 0);
    EXPECT_EQ(s.State(), wsConnected);
    stop = true;
    server.join();
    peer::CloseFd(lfd);
}

// ---- the receive loop ----

TEST(ReceiveLoop, NoReceiveLoopGivesOneEventPerNotification)
{
    for (bool noLoop : {true, false}) {
        int port = 0;
        int lfd = peer::ListenLoopback(port);
        std::atomic<bool> stop{false};
        std::thread server([&] {
            int fd = peer::AcceptOne(lfd);
            peer::SendAll(fd, std::string(100, 'x'));
            while (!stop)
                platform::Sleep(2);
            peer::CloseFd(fd);
        });
        EventLog log;
        TProbeSocket s;
        log.Attach(s);
        log.ReadChunk = 10;
        if (noLoop)
            s.SetComponentOptions({wsoNoReceiveLoop});
        ConnectTo(s, port, log);
        ASSERT_TRUE(PumpUntil([&] { return log.Received.size() == 100; }));
        if (noLoop)
            EXPECT_EQ(log.DataEvents, s.ReadNotifications);
        else
            EXPECT_GT(log.DataEvents, s.ReadNotifications);
        stop = true;
        server.join();
        peer::CloseFd(lfd);
    }
}

TEST(ReceiveLoop, WithoutAHandlerDataIsDroppedIn1024BytePieces)
{
    int port = 0;
    int lfd = peer::ListenLoopback(port);
    std::thread server([&] {
        int fd = peer::AcceptOne(lfd);
        peer::SendAll(fd, std::string(5000, 'y'));
        peer::CloseFd(fd);
    });
    EventLog log;   // outlives the socket, whose destructor may still report
    TProbeSocket s;
    log.Attach(s, false);
    ConnectTo(s, port, log);
    ASSERT_TRUE(PumpUntil([&] { return log.Closed > 0; }));
    server.join();
    peer::CloseFd(lfd);
    ASSERT_GE(s.RawReceiveLengths.size(), 5u);
    for (auto len : s.RawReceiveLengths)
        EXPECT_EQ(len, 1024);
    EXPECT_EQ(log.CloseError, 0);
}

TEST(ReceiveLoop, DrainUntilClosedReadsEverything)
{
    int port = 0;
    int lfd = peer::ListenLoopback(port);
    const std::string payload = PatternBytes(100000);
    std::atomic<bool> go{false};
    std::thread server([&] {
        int fd = peer::AcceptOne(lfd);
        while (!go)
            platform::Sleep(1);
        peer::SendAll(fd, payload);
        peer::CloseFd(fd);
    });
    EventLog log;   // outlives the socket, whose destructor may still report
    TWSocket s;
    log.Attach(s);
    ConnectTo(s, port, log);
    go = true;
    s.DrainUntilClosed();
    PumpUntil([&] { return log.Received.size() == payload.size(); }, 2000);
    server.join();
    peer::CloseFd(lfd);
    EXPECT_TRUE(log.Received == payload);
}

TEST(ReceiveLoop, CloseLaterClosesAfterTheHandlerReturns)
{
    int port = 0;
    int lfd = peer::ListenLoopback(port);
    std::atomic<bool> stop{false};
    std::thread server([&] {
        int fd = peer::AcceptOne(lfd);
        peer::SendAll(fd, "x");
        while (!stop)
            platform::Sleep(2);
        peer::CloseFd(fd);
    });
    EventLog log;   // outlives the socket, whose destructor may still report
    TWSocket s;
    log.Attach(s);
    TSocketState afterCall = wsInvalidState;
    s.OnDataAvailable = [&](TCustomWSocket* sender, std::uint16_t) {
        char c;
        sender->Receive(&c, 1);
        sender->CloseLater();
        afterCall = sender->State();
    };
    ConnectTo(s, port, log);
    ASSERT_TRUE(PumpUntil([&] { return log.Closed > 0; }));
    EXPECT_EQ(afterCall, wsConnected);
    EXPECT_EQ(s.State(), wsClosed);
    stop = true;
    server.join();
    peer::CloseFd(lfd);
}

// ---- former bugs ----

TEST(FormerBugs, SendOfNothingGivesExactlyOneOnDataSent)
{
    int port = 0;
    int lfd = peer::ListenLoopback(port);
    std::atomic<bool> stop{false};
    std::thread server([&] {
        int fd = peer::AcceptOne(lfd);
        while (!stop)
            platform::Sleep(2);
        peer::CloseFd(fd);
    });
    EventLog log;   // outlives the socket, whose destructor may still report
    TWSocket s;
    log.Attach(s);
    ConnectTo(s, port, log);
    ASSERT_TRUE(PumpUntil([&] { return log.Sent == 1; }));
    EXPECT_EQ(s.Send(nullptr, 0), 0);
    EXPECT_EQ(log.Sent, 1);
    ASSERT_TRUE(PumpUntil([&] { return log.Sent == 2; }));
    PumpFor(50);
    EXPECT_EQ(log.Sent, 2);
    s.Flush();   // must not wait for ever on an empty queue
    stop = true;
    server.join();
    peer::CloseFd(lfd);
}

TEST(FormerBugs, HandlerThatReadsNothingDoesNotSpin)
{
    int port = 0;
    int lfd = peer::ListenLoopback(port);
    std::atomic<bool> stop{false};
    std::thread server([&] {
        int fd = peer::AcceptOne(lfd);
        peer::SendAll(fd, "unread");
        while (!stop)
            platform::Sleep(2);
        peer::CloseFd(fd);
    });
    EventLog log;   // outlives the socket, whose destructor may still report
    TWSocket s;
    log.Attach(s);
    int calls = 0;
    s.OnDataAvailable = [&](TCustomWSocket*, std::uint16_t) { ++calls; };
    ConnectTo(s, port, log);
    ASSERT_TRUE(PumpUntil([&] { return calls > 0; }));
    PumpFor(100);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(s.ReceiveStr(), "unread") << "the data waits for a later read";
    stop = true;
    server.join();
    peer::CloseFd(lfd);
}

TEST(FormerBugs, DupDropsBytesQueuedForAnEarlierConnection)
{
    TWSocket listener;
    TProbeSocket server;
    listener.SetAddr("127.0.0.1");
    listener.SetPort("0");
    listener.OnSessionAvailable = [&](TCustomWSocket* l, std::uint16_t) { server.Dup(l->Accept()); };
    listener.Listen();
    server.QueueSendData("stale", 5);
    int fd = peer::ConnectLoopback(std::stoi(listener.GetSocketPortText()));
    ASSERT_TRUE(PumpUntil([&] { return server.State() == wsConnected; }));
    EXPECT_EQ(server.BufferedByteCount(), 0);
    server.SendStr("fresh");
    PumpFor(20);
    EXPECT_EQ(peer::RecvAll(fd, 5, 2000), "fresh");
    peer::CloseFd(fd);
}

TEST(FormerBugs, SendFromOnSendDataSendsEveryByteOnce)
{
    int port = 0;
    int lfd = peer::ListenLoopback(port);
    std::string got;
    std::thread server([&] {
        int fd = peer::AcceptOne(lfd);
        got = peer::RecvAll(fd);
        peer::CloseFd(fd);
    });
    EventLog log;   // outlives the socket, whose destructor may still report
    TWSocket s;
    s.SetLingerOnOff(wsLingerOff);

    log.Attach(s);
    bool once = false;
    s.OnSendData = [&](TCustomWSocket* sender, std::int32_t) {
        if (!once) {
            once = true;
            sender->SendStr("X");
        }
    };
    ConnectTo(s, port, log);
    const std::string data = PatternBytes(3000);
    s.SendStr(data);
    ASSERT_TRUE(PumpUntil([&] { return s.AllSent() && log.Sent >= 2; }));
    s.Close();
    server.join();
    peer::CloseFd(lfd);
    EXPECT_TRUE(got == data + "X") << got.size();
}

// A socket whose first send is taken only in part, as a system with a full buffer does.
class TPartialSendSocket : public TWSocket {
public:
    int FirstLimit = 10000;

protected:
    int RawSend(const void* Data, int Len) override
    {
        if (FirstLimit > 0) {
            Len = std::min(Len, FirstLimit);
            FirstLimit = 0;
        }
        return TWSocket::RawSend(Data, Len);
    }
};

TEST(FormerBugs, SendFromOnSendDataAfterAPartialDirectSendKeepsTheOrder)
{
    // The handler's bytes went into the queue before the rest of the large write the
    // system had taken only in part, so they reached the peer in the middle of it.
    int port = 0;
    int lfd = peer::ListenLoopback(port);
    std::string got;
    std::thread server([&] {
        int fd = peer::AcceptOne(lfd);
        got = peer::RecvAll(fd);
        peer::CloseFd(fd);
    });
    EventLog log;   // outlives the socket, whose destructor may still report
    TPartialSendSocket s;
    s.SetLingerOnOff(wsLingerOff);
    log.Attach(s);
    bool once = false;
    s.OnSendData = [&](TCustomWSocket* sender, std::int32_t n) {
        if (!once) {
            once = true;
            EXPECT_EQ(n, 10000);
            sender->SendStr("MARK");
        }
    };
    ConnectTo(s, port, log);
    const std::string data = PatternBytes(200000);
    s.SendStr(data);
    ASSERT_TRUE(PumpUntil([&] { return s.AllSent() && log.Sent >= 1; }));
    s.Close();
    server.join();
    peer::CloseFd(lfd);
    EXPECT_TRUE(got == data + "MARK") << got.size() << " " << got.find("MARK");
}

TEST(FormerBugs, ListenOnAnOpenSocketClosesTheOldDescriptor)
{
    auto openDescriptors = [] {
        int count = 0;
        for (int fd = 0; fd < 4096; ++fd)
            if (fcntl(fd, F_GETFD) != -1)
                ++count;
        return count;
    };
    TWSocket s;
    s.SetAddr("127.0.0.1");
    s.SetPort("0");
    s.Listen();
    ASSERT_EQ(s.State(), wsListening);
    const int before = openDescriptors();
    for (int i = 0; i < 20; ++i) {
        s.Listen();
        ASSERT_EQ(s.State(), wsListening);
    }
    EXPECT_EQ(openDescriptors(), before);
    // The socket listens on its latest descriptor.
    int fd = peer::ConnectLoopback(std::stoi(s.GetSocketPortText()));
    EXPECT_GE(fd, 0);
    bool available = false;
    s.OnSessionAvailable = [&](TCustomWSocket*, std::uint16_t) { available = true; };
    EXPECT_TRUE(PumpUntil([&] { return available; }));
    peer::CloseFd(fd);
}

TEST(FormerBugs, ReconnectFromOnSessionClosedKeepsTheNewSession)
{
    int port1 = 0, port2 = 0;
    int lfd1 = peer::ListenLoopback(port1);
    int lfd2 = peer::ListenLoopback(port2);
    std::atomic<bool> stop{false};
    std::thread server([&] {
        int a = peer::AcceptOne(lfd1);
        int b = peer::AcceptOne(lfd2);
        while (!stop)
            platform::Sleep(2);
        peer::CloseFd(a);
        peer::CloseFd(b);
    });
    EventLog log;   // outlives the socket, whose destructor may still report
    TWSocket s;
    log.Attach(s);
    auto closed = s.OnSessionClosed;
    s.OnSessionClosed = [&](TCustomWSocket* sender, std::uint16_t e) {
        closed(sender, e);
        if (log.Closed == 1) {
            sender->SetAddr("127.0.0.1");
            sender->SetPort(std::to_string(port2));
            sender->Connect();
        }
    };
    ConnectTo(s, port1, log);
    s.Close();
    ASSERT_TRUE(PumpUntil([&] { return log.Connected == 2; }));
    EXPECT_EQ(s.State(), wsConnected);
    EXPECT_EQ(s.PeerPort(), std::to_string(port2));
    s.Close();
    EXPECT_EQ(log.Closed, 2) << "the new session reports its own close";
    stop = true;
    server.join();
    peer::CloseFd(lfd1);
    peer::CloseFd(lfd2);
}

// ---- while connecting ----

TEST(WhileConnecting, SendIsRefusedAndClosesThePendingConnection)
{
    int port = 0;
    int lfd = peer::ListenLoopback(port);
    for (bool withOnError : {false, true}) {
        EventLog log;
        TWSocket s;
        log.Attach(s);
        int errors = 0;
        if (withOnError)
            s.OnError = [&](TCustomWSocket*) { ++errors; };
        s.SetAddr("127.0.0.1");
        s.SetPort(std::to_string(port));
        s.Connect();
        ASSERT_EQ(s.State(), wsConnecting);
        if (withOnError) {
            EXPECT_EQ(s.SendStr("x"), -1);
            EXPECT_EQ(errors, 1);
            EXPECT_EQ(s.LastError(), 10057);
        } else {
            EXPECT_EQ(ErrorOf([&] { s.SendStr("x"); }), "Error 10057 in function Send\r\nSocket is not connected");
        }
        EXPECT_EQ(s.State(), wsClosed);
        EXPECT_EQ(s.Handle(), wsock::INVALID_SOCKET);
        PumpFor(30);
        EXPECT_EQ(log.Connected, 0) << "the connection's outcome belongs to a closed handle";
        EXPECT_EQ(log.Closed, 0) << "this close raises no OnSessionClosed";
        peer::CloseFd(peer::AcceptOne(lfd, 500));
    }
    peer::CloseFd(lfd);
}

TEST(WhileConnecting, CloseNotificationIsIgnored)
{
    int port = 0;
    int lfd = peer::ListenLoopback(port);
    std::atomic<bool> stop{false};
    std::thread server([&] {
        int fd = peer::AcceptOne(lfd);
        while (!stop)
            platform::Sleep(2);
        peer::CloseFd(fd);
    });
    EventLog log;
    TWSocket s;
    log.Attach(s);
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(port));
    s.Connect();
    ASSERT_EQ(s.State(), wsConnecting);
    // Queued ahead of the connect outcome, for the current handle.
    platform::PostMessage(s.WindowHandle(), WM_SOCKET_NOTIFY, s.Handle(),
                          wsock::WSAMAKESELECTREPLY(int(wsock::FD_CLOSE), 0));
    ASSERT_TRUE(PumpUntil([&] { return log.Connected > 0; }));
    PumpFor(30);
    EXPECT_EQ(log.Closed, 0);
    EXPECT_EQ(s.State(), wsConnected);
    stop = true;
    server.join();
    peer::CloseFd(lfd);
}

// ---- a socket owned by a worker thread ----

TEST(WorkerThread, SocketRunsOnTheThreadThatCreatedIt)
{
    int port = 0;
    int lfd = peer::ListenLoopback(port);
    std::thread server([&] {
        int fd = peer::AcceptOne(lfd);
        peer::SendAll(fd, "from the peer");
        peer::CloseFd(fd);
    });
    std::string received;
    std::uint16_t closeError = 0xFFFF;
    std::thread::id eventThread;
    QThread* worker = QThread::create([&] {
        QEventLoop loop;   // gives this thread its event dispatcher
        TWSocket s;
        s.SetMultiThreaded(true);
        s.OnDataAvailable = [&](TCustomWSocket* sender, std::uint16_t) {
            eventThread = std::this_thread::get_id();
            received += sender->ReceiveStr();
        };
        s.OnSessionClosed = [&](TCustomWSocket*, std::uint16_t e) { closeError = e; };
        s.SetAddr("127.0.0.1");
        s.SetPort(std::to_string(port));
        s.Connect();
        std::uint64_t deadline = platform::GetTickCount64() + 5000;
        while (closeError == 0xFFFF && !s.Terminated() && platform::GetTickCount64() < deadline) {
            s.PumpMessages();
            platform::Sleep(1);
        }
    });
    worker->start();
    worker->wait();
    delete worker;
    server.join();
    peer::CloseFd(lfd);
    EXPECT_EQ(received, "from the peer");
    EXPECT_EQ(closeError, 0);
    EXPECT_NE(eventThread, std::this_thread::get_id());
}

// ---- a handler that destroys its socket ----

TEST(Lifetime, HandlersMayDestroyTheirSocket)
{
    enum Where { InData, InSendData, InClosed, InDataSent };
    for (Where where : {InData, InSendData, InClosed, InDataSent}) {
        int port = 0;
        int lfd = peer::ListenLoopback(port);
        std::thread server([&] {
            int fd = peer::AcceptOne(lfd);
            peer::SendAll(fd, std::string(200000, 'd'));
            peer::RecvAll(fd, SIZE_MAX, 3000);
            peer::CloseFd(fd);
        });
        auto* s = new TWSocket;
        bool gone = false;
        auto destroy = [&](TCustomWSocket* sender) {
            if (!gone) {
                gone = true;
                delete sender;
            }
        };
        s->OnDataAvailable = [&](TCustomWSocket* sender, std::uint16_t) {
            char buf[100];
            sender->Receive(buf, sizeof buf);
            if (where == InData)
                destroy(sender);
            else if (where == InSendData)
                sender->SendStr(std::string(10000, 's'));
        };
        s->OnSendData = [&](TCustomWSocket* sender, std::int32_t) {
            if (where == InSendData)
                destroy(sender);
        };
        s->OnDataSent = [&](TCustomWSocket* sender, std::uint16_t) {
            if (where == InDataSent)
                destroy(sender);
        };
        s->OnSessionClosed = [&](TCustomWSocket* sender, std::uint16_t) {
            if (where == InClosed)
                destroy(sender);
        };
        s->SetAddr("127.0.0.1");
        s->SetPort(std::to_string(port));
        s->Connect();
        if (where == InClosed)
            PumpUntil([&] { return s->State() == wsConnected; });
        if (where == InClosed)
            s->Close();
        EXPECT_TRUE(PumpUntil([&] { return gone; })) << int(where);
        PumpFor(20);
        server.join();
        peer::CloseFd(lfd);
    }
}
