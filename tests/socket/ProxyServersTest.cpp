// A TWSocket through real proxies on loopback: dante for SOCKS 4, 4A and 5, microsocks for
// SOCKS 5 with user and password; each carries data to a local echo peer and back. Also a
// smoke test of the ftp-proxy starter in front of pyftpdlib, spoken to in line mode.
#include "ScriptedPeer.h"
#include "servers/PeerPolicy.h"
#include "SocketTestUtil.h"
#include "TestPeers.h"

#include "servers/FtpServers.h"
#include "servers/SocksServers.h"

#include <gtest/gtest.h>

using namespace sockettest;

namespace {

// Connects through the proxy to an echo peer, sends a message and waits for it to come back.
struct EchoRun {
    std::vector<std::string> Socks;   // SOCKS events in order
    std::string Echo;
    int Connected = 0;
    std::uint16_t ConnectError = 0xFFFF;
    std::string BoundAddr;

    void Run(testsrv::ProxyServer& proxy, const std::string& level, const std::string& destination,
             const std::string& user = "", const std::string& password = "")
    {
        peer::EchoPeer echo;
        const std::string message = "through the " + proxy.Name() + " proxy, level " + level;
        {
            TWSocket s;
            s.OnSocksConnected = [&](TCustomWSocket*, std::uint16_t e) {
                Socks.push_back("socks connected " + std::to_string(e));
            };
            s.OnSocksError = [&](TCustomWSocket*, std::int32_t e, const std::string& m) {
                Socks.push_back("socks error " + std::to_string(e) + " " + m);
            };
            s.OnSocksAuthState = [&](TCustomWSocket*, TSocksAuthState a) {
                Socks.push_back("auth " + std::to_string(int(a)));
            };
            s.OnSessionConnected = [&](TCustomWSocket* sender, std::uint16_t e) {
                ++Connected;
                ConnectError = e;
                if (e == 0)
                    sender->SendStr(message);
            };
            s.OnDataAvailable = [&](TCustomWSocket* sender, std::uint16_t) { Echo += sender->ReceiveStr(); };
            s.SetAddr(destination);
            s.SetPort(std::to_string(echo.Port()));
            s.SetSocksServer("127.0.0.1");
            s.SetSocksPort(std::to_string(proxy.Port()));
            s.SetSocksLevel(level);
            if (!user.empty()) {
                s.SetSocksUsercode(user);
                s.SetSocksPassword(password);
                s.SetSocksAuthentication(socksAuthenticateUsercode);
            }
            s.Connect();
            PumpUntil([&] { return Echo.size() >= message.size() || (Connected > 0 && ConnectError != 0); }, 10000);
            BoundAddr = s.BoundAddr();
        }
        if (ConnectError == 0) {
            EXPECT_EQ(Echo, message);
        }
    }
};

} // namespace

// Dante implements SOCKS 4 and 5 but not 4A (it takes 0.0.0.1 for an address); SOCKS 4A is
// covered by the scripted proxy.
TEST(RealProxies, DanteCarriesSocks4And5)
{
    auto dante = testsrv::StartDante();
    if (!dante)
        OMBREX_PEER_MISSING("dante");
    for (std::string level : {"4", "5"}) {
        SCOPED_TRACE("level " + level);
        EchoRun run;
        run.Run(*dante, level, "127.0.0.1");
        EXPECT_EQ(run.ConnectError, 0) << dante->Log();
        EXPECT_EQ(run.Socks, (std::vector<std::string>{"socks connected 0"}));
        if (level == "5") {
            EXPECT_EQ(run.BoundAddr, "127.0.0.1");
        }
    }
}

TEST(RealProxies, DanteResolvesAHostNameForSocks5)
{
    auto dante = testsrv::StartDante();
    if (!dante)
        OMBREX_PEER_MISSING("dante");
    EchoRun run;
    run.Run(*dante, "5", "localhost");
    EXPECT_EQ(run.ConnectError, 0) << dante->Log();
}

TEST(RealProxies, DanteRefusedDestination)
{
    auto dante = testsrv::StartDante();
    if (!dante)
        OMBREX_PEER_MISSING("dante");
    EventLog log;   // outlives the socket
    TWSocket s;
    log.Attach(s);
    std::vector<int> socksErrors;
    s.OnSocksError = [&](TCustomWSocket*, std::int32_t e, const std::string&) { socksErrors.push_back(e); };
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(peer::UnusedPort()));
    s.SetSocksServer("127.0.0.1");
    s.SetSocksPort(std::to_string(dante->Port()));
    s.Connect();
    ASSERT_TRUE(PumpUntil([&] { return log.Closed > 0; }, 10000));
    EXPECT_EQ(socksErrors, (std::vector<int>{20008}));
    EXPECT_EQ(log.ConnectError, 20008);
    EXPECT_EQ(log.CloseError, 20008);
}

TEST(RealProxies, MicrosocksWithUserAndPassword)
{
    auto ms = testsrv::StartMicrosocks("ombrex", "s3cret");
    if (!ms)
        OMBREX_PEER_MISSING("microsocks");
    EchoRun run;
    run.Run(*ms, "5", "127.0.0.1", ms->User(), ms->Password());
    EXPECT_EQ(run.ConnectError, 0);
    EXPECT_EQ(run.Socks, (std::vector<std::string>{"socks connected 0", "auth 0", "auth 1"}));
}

TEST(RealProxies, MicrosocksRefusesAWrongPassword)
{
    auto ms = testsrv::StartMicrosocks("ombrex", "s3cret");
    if (!ms)
        OMBREX_PEER_MISSING("microsocks");
    EchoRun run;
    run.Run(*ms, "5", "127.0.0.1", "ombrex", "wrong");
    EXPECT_EQ(run.ConnectError, 20015);
    EXPECT_EQ(run.Socks, (std::vector<std::string>{"socks connected 0", "auth 0",
                                                   "socks error 20015 socks authentication failed", "auth 2"}));
}

TEST(RealProxies, MicrosocksWithoutAuthentication)
{
    auto ms = testsrv::StartMicrosocks();
    if (!ms)
        OMBREX_PEER_MISSING("microsocks");
    EchoRun run;
    run.Run(*ms, "5", "127.0.0.1");
    EXPECT_EQ(run.ConnectError, 0);
}

TEST(RealProxies, FtpProxyStartsAndRelaysALogin)
{
    auto ftp = testsrv::StartPyftpdlib();
    if (!ftp)
        OMBREX_PEER_MISSING("pyftpdlib");
    auto proxy = testsrv::StartFtpProxy(ftp->Port());
    if (!proxy)
        OMBREX_PEER_MISSING("ftp-proxy");
    ASSERT_TRUE(proxy->Running());

    // The control dialogue in line mode: one reply line per event.
    std::vector<std::string> replies;   // outlives the socket
    TWSocket s;
    s.SetLineMode(true);
    s.OnDataAvailable = [&](TCustomWSocket* sender, std::uint16_t) { replies.push_back(sender->ReceiveStr()); };
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(proxy->Port()));
    s.Connect();
    auto expectReply = [&](const std::string& code) {
        std::size_t before = replies.size();
        ASSERT_TRUE(PumpUntil([&] { return replies.size() > before; }, 10000)) << proxy->Log();
        EXPECT_EQ(replies.back().substr(0, 4), code + " ") << replies.back();
        EXPECT_EQ(replies.back().substr(replies.back().size() - 2), "\r\n");
    };
    expectReply("220");
    s.SendStr("USER " + ftp->User() + "@127.0.0.1:" + std::to_string(ftp->Port()) + "\r\n");
    expectReply("331");
    s.SendStr("PASS " + ftp->Password() + "\r\n");
    expectReply("230");
    s.SendStr("PASV\r\n");
    expectReply("227");
    EXPECT_NE(replies.back().find("(127,0,0,1,"), std::string::npos) << "PASV names the proxy: " << replies.back();
    s.SendStr("QUIT\r\n");
    expectReply("221");
    proxy->Stop();
    EXPECT_FALSE(proxy->Running());
}
