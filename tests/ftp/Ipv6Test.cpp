// Addresses of both families: host texts as typed, every address of a name tried in turn,
// and IPv6 sessions with EPSV/EPRT against vsftpd listening on ::1 (and pyftpdlib on ::1
// refusing EPSV, where a passive session falls back to EPRT for the transfer).
#include "ftp/FtpTestUtil.h"
#include "servers/FtpServers.h"
#include "servers/PeerPolicy.h"
#include "socket/WSocketResolve.h"

#include <sys/stat.h>

#include <algorithm>
#include <memory>

using namespace ftptest;

namespace {

using Lines = std::vector<std::string>;

std::string TempPath(const std::string& name)
{
    static std::string dir = testsrv::MakeTempDir("ombrex-ftp-ipv6");
    return dir + "/" + name;
}

// ---- host texts as typed ----

struct HostTextCase {
    const char* Name;
    const char* Text;
    bool Ok;
    const char* Host;
    const char* Port;
    bool Ipv6;   // the host part is an IPv6 address
};

const HostTextCase kHostTexts[] = {
    {"bare IPv6 loopback", "::1", true, "::1", "", true},
    {"bracketed", "[::1]", true, "::1", "", true},
    {"bracketed with port", "[::1]:2121", true, "::1", "2121", true},
    {"full IPv6 with blanks", " 2001:db8::7 ", true, "2001:db8::7", "", true},
    {"name with port", "ftp.example.org:21", true, "ftp.example.org", "21", false},
    {"dotted with port", "127.0.0.1:2121", true, "127.0.0.1", "2121", false},
    {"plain name", "ftp.example.org", true, "ftp.example.org", "", false},
    {"bracket not closed", "[::1", false, "", "", false},
    {"junk after bracket", "[::1]x", false, "", "", false},
    {"port not a number", "[::1]:ftp2", false, "", "", false},
};

class HostText : public testing::TestWithParam<HostTextCase> {};

} // namespace

TEST_P(HostText, IsSplitIntoHostAndPort)
{
    const HostTextCase& t = GetParam();
    std::string host, port;
    ASSERT_EQ(SplitHostPort(t.Text, host, port), t.Ok);
    if (!t.Ok)
        return;
    EXPECT_EQ(host, t.Host);
    EXPECT_EQ(port, t.Port);
    EXPECT_EQ(IsIpv6Address(host), t.Ipv6);
    EXPECT_EQ(IsIpv6Address(std::string("[") + host + "]"), t.Ipv6);
}

INSTANTIATE_TEST_SUITE_P(Texts, HostText, testing::ValuesIn(kHostTexts));

// ---- every address of a name, in turn ----

namespace {

struct AddressListCase {
    const char* Name;
    Lines Addresses;   // what the lookup of "several.test" answers, in order
    bool Connects;
    Lines Tried;       // the "! Trying" lines, in order
};

const AddressListCase kAddressLists[] = {
    {"one address: tried without a note", {"127.0.0.1"}, true, {}},
    {"the first refuses, the second answers", {"127.0.0.2", "127.0.0.1"}, true,
     {"! Trying 127.0.0.2", "! Trying 127.0.0.1"}},
    // Refused on a system with IPv6, impossible on one without: either way the next is tried.
    {"IPv6 first, IPv4 answers", {"::1", "127.0.0.3", "127.0.0.1"}, true,
     {"! Trying ::1", "! Trying 127.0.0.3", "! Trying 127.0.0.1"}},
    {"every address refuses", {"127.0.0.2", "127.0.0.3"}, false, {"! Trying 127.0.0.2", "! Trying 127.0.0.3"}},
};

class AddressList : public testing::TestWithParam<AddressListCase> {
protected:
    void TearDown() override { winsock::SetAddrInfoResolver(nullptr); }
};

} // namespace

TEST_P(AddressList, EachAddressIsTriedUntilOneAnswers)
{
    const AddressListCase& t = GetParam();
    winsock::SetAddrInfoResolver([&t](const std::string& name, int family, std::vector<std::string>& out) {
        if (name != "several.test" || family != wsock::AF_UNSPEC)
            return int(wsock::WSAHOST_NOT_FOUND);
        out = t.Addresses;
        return 0;
    });
    FakeFtpServer s;
    if (t.Connects)
        AddLogin(s);
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    Configure(c, s);
    c.SetHostName("several.test");
    c.Connect();
    ASSERT_TRUE(r.WaitDone(1));
    Lines tried;
    for (const std::string& line : r.Display)
        if (line.rfind("! Trying ", 0) == 0)
            tried.push_back(line);
    EXPECT_EQ(tried, t.Tried);
    if (t.Connects) {
        EXPECT_EQ(r.Done[0], std::make_pair(int(rqConnect), 0)) << c.LastReply();
        EXPECT_EQ(c.LastReply(), "230 Logged in");
        // Only the address that answered reached the server, once.
        EXPECT_EQ(s.Transcript(), (Lines{"USER joe", "PASS pw"}));
    } else {
        EXPECT_EQ(r.Done[0].first, int(rqConnect));
        EXPECT_NE(r.Done[0].second, 0);
        EXPECT_EQ(c.State(), fcsReady);
        EXPECT_TRUE(s.Transcript().empty());
    }
    EXPECT_TRUE(s.Errors().empty()) << Join(s.Errors());
}

INSTANTIATE_TEST_SUITE_P(Lookups, AddressList, testing::ValuesIn(kAddressLists));

// ---- IPv6 sessions against vsftpd on ::1 ----

namespace {

struct Ipv6TransferCase {
    const char* Name;
    const char* Host;   // as typed
    bool Passive;
    const char* What;   // "ls", "get" or "put"
    const char* DataCommand;
    bool EpsvRefused = false;   // against pyftpdlib answering EPSV with 500
};

const Ipv6TransferCase kIpv6Transfers[] = {
    {"passive ls", "::1", true, "ls", "EPSV"},
    {"passive get", "[::1]", true, "get", "EPSV"},
    {"passive put", "::1", true, "put", "EPSV"},
    {"active ls", "[::1]", false, "ls", "EPRT |2|::1|"},
    {"active get", "::1", false, "get", "EPRT |2|::1|"},
    {"active put", "::1", false, "put", "EPRT |2|::1|"},
    {"EPSV refused, ls", "::1", true, "ls", "EPRT |2|::1|", true},
    {"EPSV refused, get", "[::1]", true, "get", "EPRT |2|::1|", true},
    {"EPSV refused, put", "::1", true, "put", "EPRT |2|::1|", true},
};

// The served folder of a server: six.txt and a writable upload folder.
std::unique_ptr<testsrv::FtpServer> PrepareIpv6Server(std::unique_ptr<testsrv::FtpServer> server)
{
    if (server) {
        testsrv::WriteFile(server->Root() + "/six.txt", std::string(70000, 'x') + "end\n");
        ::mkdir(server->LocalPath("/upload").c_str(), 0777);
    }
    return server;
}

class Ipv6Transfer : public testing::TestWithParam<Ipv6TransferCase> {};

} // namespace

TEST_P(Ipv6Transfer, UsesTheExtendedDataCommandsAndMovesTheBytes)
{
    const Ipv6TransferCase& t = GetParam();
    if (!testsrv::Ipv6LoopbackAvailable())
        GTEST_SKIP() << "this system cannot listen on ::1 (no IPv6 on the loopback)";
    static std::unique_ptr<testsrv::FtpServer> vsftpd, refusing;
    std::unique_ptr<testsrv::FtpServer>& server = t.EpsvRefused ? refusing : vsftpd;
    if (!server)
        server = PrepareIpv6Server(t.EpsvRefused ? testsrv::StartPyftpdlib(false, 0, {"--ipv6", "--refuse", "EPSV"})
                                                 : testsrv::StartVsftpdIpv6());
    if (!server && t.EpsvRefused)
        OMBREX_PEER_MISSING("pyftpdlib on ::1");
    if (!server)
        OMBREX_PEER_MISSING("vsftpd on ::1");

    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    c.SetHostName(t.Host);
    c.SetPort(std::to_string(server->Port()));
    c.SetUserName(server->User());
    c.SetPassWord(server->Password());
    c.SetPassiveMode(t.Passive);
    c.SetBinary(true);
    c.Connect();
    ASSERT_TRUE(r.WaitDone(1));
    ASSERT_EQ(r.Done[0].second, 0) << c.LastReply();

    const std::string what = t.What;
    const std::string local = TempPath(std::string(t.Name) + ".dat");
    std::string expected;
    if (what == "ls") {
        c.SetLocalFileName(local);
        c.SetHostFileName("");
        c.ListDir();
    } else if (what == "get") {
        c.SetLocalFileName(local);
        c.SetHostFileName("six.txt");
        c.Get();
        expected = std::string(70000, 'x') + "end\n";
    } else {
        expected = std::string(t.Name) + " went up over IPv6\n";
        ASSERT_TRUE(testsrv::WriteFile(local, expected));
        c.SetLocalFileName(local);
        c.SetHostFileName(std::string("upload/") + (t.Passive ? "p" : "a") + ".txt");
        c.Put();
    }
    ASSERT_TRUE(r.WaitDone(2));
    EXPECT_EQ(r.Done[1].second, 0) << c.LastReply();
    bool sawCommand = std::any_of(r.Display.begin(), r.Display.end(), [&](const std::string& l) {
        return l.rfind(std::string("> ") + t.DataCommand, 0) == 0;
    });
    EXPECT_TRUE(sawCommand) << Join(r.Display);
    for (const char* old : {"> PASV", "> PORT"})
        EXPECT_TRUE(std::none_of(r.Display.begin(), r.Display.end(),
                                 [&](const std::string& l) { return l.rfind(old, 0) == 0; }))
            << Join(r.Display);
    if (what == "ls")
        EXPECT_NE(testsrv::ReadFile(local).find("six.txt"), std::string::npos);
    else if (what == "get")
        EXPECT_EQ(testsrv::ReadFile(local), expected);
    else
        EXPECT_EQ(testsrv::ReadFile(server->LocalPath(c.HostFileName())), expected);
    if (t.EpsvRefused) {
        // EPSV asked and refused, the fallback said, then EPRT; the session stays passive.
        auto at = [&](const std::string& prefix) {
            return std::find_if(r.Display.begin(), r.Display.end(),
                                [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
        };
        auto epsv = at("> EPSV"), refused = at("< 500"), note = at("! EPSV refused: this transfer uses active mode (EPRT)"),
             eprt = at("> EPRT |2|::1|");
        ASSERT_TRUE(epsv < refused && refused < note && note < eprt && eprt != r.Display.end()) << Join(r.Display);
        EXPECT_TRUE(c.PassiveMode());
        // The next transfer asks for EPSV again, and falls back again.
        r.Display.clear();
        c.SetLocalFileName(TempPath(std::string(t.Name) + ".again"));
        c.SetHostFileName("six.txt");
        c.Get();
        ASSERT_TRUE(r.WaitDone(3));
        EXPECT_EQ(r.Done[2].second, 0) << c.LastReply();
        EXPECT_TRUE(at("> EPSV") < at("> EPRT |2|::1|")) << Join(r.Display);
        EXPECT_EQ(testsrv::ReadFile(TempPath(std::string(t.Name) + ".again")), std::string(70000, 'x') + "end\n");
    }
}

INSTANTIATE_TEST_SUITE_P(RealServers, Ipv6Transfer, testing::ValuesIn(kIpv6Transfers));
