// Socket properties and their setter rules, the documented refusal messages, the send
// queue's block arithmetic, and the exception routing of the dispatcher (no network peer).
#include "SocketTestUtil.h"

#include <gtest/gtest.h>

using namespace sockettest;

namespace {

// Opens the protected parts that the tests look at.
class TProbeSocket : public TWSocket {
public:
    using TCustomWSocket::QueueSendData;
    using TCustomWSocket::ReportSocketError;
    std::vector<std::int32_t> BlockFill() const
    {
        std::vector<std::int32_t> out;
        for (const auto& b : FSendQueue)
            out.push_back(b->WritePos() - b->ReadPos());
        return out;
    }
    std::size_t BlockCount() const { return FSendQueue.size(); }
};

// A socket listening on a free loopback port, so that it is not closed.
void StartListening(TCustomWSocket& s)
{
    s.SetAddr("127.0.0.1");
    s.SetPort("0");
    s.Listen();
    ASSERT_EQ(s.State(), wsListening);
}

} // namespace

// ---- defaults ----

TEST(SocketDefaults, FreshObject)
{
    TWSocket s;
    EXPECT_EQ(s.Addr(), "");
    EXPECT_EQ(s.Port(), "");
    EXPECT_EQ(s.Proto(), "tcp");
    EXPECT_EQ(s.LocalAddr(), "0.0.0.0");
    EXPECT_EQ(s.LocalPort(), "0");
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(s.ReadCount(), 0);
    EXPECT_EQ(s.LastError(), 0);
    EXPECT_FALSE(s.MultiThreaded());
    EXPECT_TRUE(s.ComponentOptions().Empty());
    EXPECT_EQ(s.FlushTimeout(), 60);
    EXPECT_EQ(s.SendFlags(), wsSendNormal);
    EXPECT_EQ(s.LingerOnOff(), wsLingerOn);
    EXPECT_EQ(s.LingerTimeout(), 0);
    EXPECT_EQ(s.Handle(), wsock::INVALID_SOCKET);
    EXPECT_EQ(s.PeerAddr(), "error");
    EXPECT_EQ(s.PeerPort(), "error");
    EXPECT_EQ(s.GetSocketPortText(), "error");
    EXPECT_TRUE(s.DnsResult().empty());
    EXPECT_TRUE(s.DnsResultList().empty());
    EXPECT_TRUE(s.AllSent());
    wsock::sockaddr_in sin{};
    int len = sizeof sin;
    EXPECT_EQ(s.GetPeerName(sin, len), -1);
}

TEST(SocketDefaults, ClassChainEndsInTWSocket)
{
    TWSocket s;
    TCustomSyncWSocket* sync = &s;
    TCustomLineWSocket* line = sync;
    TCustomSocksWSocket* socks = line;
    TCustomWSocket* base = socks;
    EXPECT_EQ(base, static_cast<TCustomWSocket*>(&s));
}

// ---- setters ----

TEST(SocketSetters, TextsAreTrimmedAndLocalAddrNormalised)
{
    TWSocket s;
    s.SetAddr("  host.example  ");
    s.SetPort(" 21 ");
    s.SetProto(" udp ");
    EXPECT_EQ(s.Addr(), "host.example");
    EXPECT_EQ(s.Port(), "21");
    EXPECT_EQ(s.Proto(), "udp");
    s.SetLocalPort(" 0");
    EXPECT_EQ(s.LocalPort(), " 0") << "LocalPort is stored as given";
    s.SetLocalAddr("10.0.0.01");
    EXPECT_EQ(s.LocalAddr(), "10.0.0.1");
    s.SetLocalAddr("");
    EXPECT_EQ(s.LocalAddr(), "0.0.0.0");
}

TEST(SocketSetters, InvalidLocalAddr)
{
    TWSocket s;
    EXPECT_EQ(ErrorOf([&] { s.SetLocalAddr("bogus"); }), "SetLocalAddr(): Invalid IP address");
    int errors = 0;
    s.OnError = [&](TCustomWSocket*) { ++errors; };
    s.SetLocalAddr("bogus");
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(s.LocalAddr(), "255.255.255.255");
}

TEST(SocketSetters, RefusedUnlessClosed)
{
    struct Case {
        const char* name;
        std::function<void(TWSocket&)> set;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"Addr", [](TWSocket& s) { s.SetAddr("10.1.1.1"); }, "Cannot change Addr if not closed"},
        {"Port", [](TWSocket& s) { s.SetPort("2121"); }, "Cannot change Port if not closed"},
        {"Proto", [](TWSocket& s) { s.SetProto("udp"); }, "Cannot change Proto if not closed"},
        {"LocalAddr", [](TWSocket& s) { s.SetLocalAddr("127.0.0.1"); }, "Cannot change LocalAddr if not closed"},
        {"LocalPort", [](TWSocket& s) { s.SetLocalPort("5000"); }, "Cannot change LocalPort if not closed"},
    };
    for (const auto& c : cases) {
        TWSocket s;
        StartListening(s);
        EXPECT_EQ(ErrorOf([&] { c.set(s); }), c.message) << c.name;
        int errors = 0;
        s.OnError = [&](TCustomWSocket*) { ++errors; };
        EXPECT_EQ(ErrorOf([&] { c.set(s); }), "") << c.name;
        EXPECT_EQ(errors, 1) << c.name;
        EXPECT_EQ(s.State(), wsListening) << c.name;
    }
}

TEST(SocketSetters, SameValueWhileOpenIsNoChange)
{
    TWSocket s;
    StartListening(s);
    EXPECT_EQ(ErrorOf([&] { s.SetPort("0"); }), "");
    EXPECT_EQ(ErrorOf([&] { s.SetAddr("127.0.0.1"); }), "");
    EXPECT_EQ(ErrorOf([&] { s.SetProto("tcp"); }), "");
    EXPECT_EQ(ErrorOf([&] { s.SetPort(" 0"); }), "Cannot change Port if not closed")
        << "compared before trimming";
}

TEST(SocketSetters, SendFlags)
{
    TWSocket s;
    s.SetSendFlags(wsSendUrgent);
    EXPECT_EQ(s.SendFlags(), wsSendUrgent);
    s.SetSendFlags(wsSendNormal);
    EXPECT_EQ(s.SendFlags(), wsSendNormal);
    EXPECT_EQ(ErrorOf([&] { s.SetSendFlags(static_cast<TSocketSendFlags>(5)); }), "Invalid SendFlags");
}

// ---- refusals of operations ----

TEST(SocketRefusals, ConnectChecksPortThenAddrThenProto)
{
    TWSocket s;
    EXPECT_EQ(ErrorOf([&] { s.Connect(); }), "Connect: No Port Specified");
    s.SetPort("21");
    EXPECT_EQ(ErrorOf([&] { s.Connect(); }), "Connect: No IP Address Specified");
    s.SetAddr("127.0.0.1");
    s.SetProto("");
    EXPECT_EQ(ErrorOf([&] { s.Connect(); }), "Connect: No Protocol Specified");
}

TEST(SocketRefusals, ConnectWhileInUse)
{
    TWSocket s;
    StartListening(s);
    EXPECT_EQ(ErrorOf([&] { s.Connect(); }), "Connect: Socket already in use");
}

TEST(SocketRefusals, AfterACloseAddrAndPortMustBeAssignedAgain)
{
    TWSocket s;
    StartListening(s);
    s.Close();
    EXPECT_EQ(s.Addr(), "127.0.0.1") << "the texts stay";
    EXPECT_EQ(ErrorOf([&] { s.Connect(); }), "Connect: No Port Specified");
    EXPECT_EQ(ErrorOf([&] { s.Listen(); }),
              "Error 10022 in function listen: port not assigned\r\nInvalid argument");
}

TEST(SocketRefusals, LibraryStepMessages)
{
    struct Case {
        const char* name;
        std::function<void(TWSocket&)> op;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"Send", [](TWSocket& s) { s.SendStr("x"); }, "Error 10057 in function Send\r\nSocket is not connected"},
        {"Accept", [](TWSocket& s) { s.Accept(); }, "Error 10022 in function not a listening socket\r\nInvalid argument"},
        {"Dup", [](TWSocket& s) { s.Dup(wsock::INVALID_SOCKET); }, "Error 10022 in function Dup\r\nInvalid argument"},
        {"Dup0", [](TWSocket& s) { s.Dup(0); }, "Error 10022 in function Dup\r\nInvalid argument"},
        {"RcvdCount", [](TWSocket& s) { s.RcvdCount(); },
         "Error 10038 in function ioctlSocket\r\nSocket operation on non-socket"},
        {"Linger", [](TWSocket& s) { s.ApplyLinger(); }, "Cannot set linger option at this time"},
        {"DnsLookup", [](TWSocket& s) { s.DnsLookup(""); }, "DNS lookup: invalid host name."},
    };
    for (const auto& c : cases) {
        TWSocket s;
        EXPECT_EQ(ErrorOf([&] { c.op(s); }), c.message) << c.name;
    }
}

TEST(SocketRefusals, WithOnErrorTheOperationEndsQuietlyAndLastErrorHoldsTheNumber)
{
    TWSocket s;
    int errors = 0;
    s.OnError = [&](TCustomWSocket*) { ++errors; };
    EXPECT_EQ(s.SendStr("x"), -1);
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(s.LastError(), 10057);
    EXPECT_EQ(s.Accept(), wsock::INVALID_SOCKET);
    EXPECT_EQ(errors, 2);
    EXPECT_EQ(s.LastError(), 10022);
    EXPECT_EQ(s.RcvdCount(), -1);
    EXPECT_EQ(errors, 3);
}

TEST(SocketRefusals, ReportSocketErrorFormat)
{
    TProbeSocket s;
    wsock::WSASetLastError(10061);
    EXPECT_EQ(ErrorOf([&] { s.ReportSocketError("Connect"); }), "Error 10061 in function Connect\r\nConnection refused");
    EXPECT_EQ(s.LastError(), 10061);
    wsock::WSASetLastError(12345);
    EXPECT_EQ(ErrorOf([&] { s.ReportSocketError("X"); }), "Error 12345 in function X\r\nNot a WinSock error");
}

TEST(SocketRefusals, ResolutionErrorsRaiseEvenWithOnErrorAndCreateNoHandle)
{
    TWSocket s;
    int errors = 0;
    s.OnError = [&](TCustomWSocket*) { ++errors; };
    s.SetAddr("127.0.0.1");
    s.SetPort("no-such-service-x");
    int before = winsock::OpenSocketCount();
    EXPECT_EQ(ErrorOf([&] { s.Connect(); }), "WSocketResolvePort: Cannot convert port 'no-such-service-x', Error #11004");
    EXPECT_EQ(errors, 0);
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(s.Handle(), wsock::INVALID_SOCKET);
    EXPECT_EQ(winsock::OpenSocketCount(), before);
}

// ---- the send queue ----

TEST(SendQueue, BlockArithmetic)
{
    struct Case {
        std::vector<int> sends;
        std::vector<std::int32_t> blocks;
    };
    const std::vector<Case> cases = {
        {{4000}, {1514, 1514, 972}},
        {{1000}, {1000}},
        {{1000, 1000}, {1514, 486}},
        {{1514}, {1514}},
        {{1515}, {1514, 1}},
        {{0}, {}},
        {{1514, 1}, {1514, 1}},
    };
    for (const auto& c : cases) {
        TProbeSocket s;
        std::string data(8000, 'a');
        for (int n : c.sends)
            s.QueueSendData(data.data(), n);
        EXPECT_EQ(s.BlockFill(), c.blocks);
    }
}

TEST(SendQueue, TBufferPositions)
{
    TBuffer b(10);
    EXPECT_EQ(b.Write("abcdefgh", 8), 8);
    EXPECT_EQ(b.Write("xyz", 3), 2) << "only what fits";
    EXPECT_EQ(b.Write("q", 1), 0);
    std::int32_t len;
    const char* p = b.Peek(len);
    ASSERT_EQ(len, 10);
    EXPECT_EQ(std::string(p, 10), "abcdefghxy");
    EXPECT_EQ(b.Remove(4), 4);
    p = b.Peek(len);
    EXPECT_EQ(std::string(p, std::size_t(len)), "efghxy");
    EXPECT_EQ(b.Remove(100), 6);
    EXPECT_EQ(b.ReadPos(), 0) << "an emptied block starts over";
    EXPECT_EQ(b.WritePos(), 0);
    EXPECT_EQ(b.Peek(len), nullptr);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(b.Remove(1), 0);
    EXPECT_EQ(TBuffer(0).Size(), 1514);
    EXPECT_EQ(TBuffer(-5).Size(), 1514);
}

// ---- dispatcher and exceptions ----

TEST(SocketDispatcher, TestExceptionMessageGoesToOnBgException)
{
    TWSocket s;
    std::string seen;
    s.OnBgException = [&](TCustomWSocket*, const std::exception& e, bool&) { seen = e.what(); };
    platform::PostMessage(s.WindowHandle(), WM_TEST_EXCEPTION);
    PumpUntil([&] { return !seen.empty(); }, 2000);
    EXPECT_EQ(seen, "Test exception in WSocket");
}

TEST(SocketDispatcher, DeferredFreeDestroysTheObjectFromTheLoop)
{
    auto* s = new TWSocket;
    std::int32_t before = SocketInstanceCount;
    s->FreeLater();
    EXPECT_EQ(SocketInstanceCount, before) << "not inside the call";
    PumpUntil([&] { return SocketInstanceCount == before - 1; }, 2000);
    EXPECT_EQ(SocketInstanceCount, before - 1);
}

TEST(SocketDispatcher, QuitMessageSetsTerminatedOnlyWhenMultiThreaded)
{
    TWSocket s;
    platform::PostMessage(s.WindowHandle(), platform::WM_QUIT);
    PumpFor(20);
    EXPECT_FALSE(s.Terminated());
    s.SetMultiThreaded(true);
    platform::PostMessage(s.WindowHandle(), platform::WM_QUIT);
    s.PumpMessages();
    EXPECT_TRUE(s.Terminated());
}

TEST(SocketHelpers, TimeValues)
{
    TWSocket s;
    wsock::timeval a{1, 0}, b{0, 0}, c{1, 0}, d{1, 5};
    EXPECT_TRUE(s.TimeIsSet(a));
    EXPECT_FALSE(s.TimeIsSet(b));
    EXPECT_TRUE(s.TimeIsSet(wsock::timeval{0, 3}));
    EXPECT_TRUE(s.TimeCompare(a, c, true));
    EXPECT_FALSE(s.TimeCompare(a, c, false));
    EXPECT_FALSE(s.TimeCompare(a, d, true));
    EXPECT_TRUE(s.TimeCompare(a, d, false));
    s.TimeClear(d);
    EXPECT_FALSE(s.TimeIsSet(d));
}
