// Engine tests against the scripted server: each states the server's canned replies and the
// exact command transcript the client must send.
#include "ftp/FtpTestUtil.h"
#include "servers/FtpServers.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <sstream>

using namespace ftptest;

namespace {

using Lines = std::vector<std::string>;

std::string TempPath(const std::string& name)
{
    static std::string dir = testsrv::MakeTempDir("ombrex-ftp-fake");
    return dir + "/" + name;
}

} // namespace

// ---- reply reader ----

TEST(FtpReplyReader, ReplySplitAcrossThreeReadsIsOneLine)
{
    // USER is answered with 230 in three pieces: "2", "30 Logged", " in" + CR LF.
    FakeFtpServer s;
    s.Reply("220 ready").Expect("USER joe").Send("2").Delay(60).Send("30 Logged").Delay(60).Send(" in\r\n");
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    Configure(c, s);
    c.Connect();
    ASSERT_TRUE(r.WaitDone());
    EXPECT_EQ(r.Done[0], std::make_pair(int(rqConnect), 0));
    EXPECT_EQ(s.Transcript(), (Lines{"USER joe"}));   // 230 to USER: no PASS
    EXPECT_EQ(r.Responses, (Lines{"220 ready", "230 Logged in"}));
    EXPECT_EQ(c.LastReply(), "230 Logged in");
    EXPECT_TRUE(s.Errors().empty()) << Join(s.Errors());
}

struct LineEndCase {
    const char* Name;
    bool AcceptLF;
    const char* Greeting;   // bytes the server sends
    bool Completes;         // Open ends within the wait
};

class FtpLineEnds : public testing::TestWithParam<LineEndCase> {};

TEST_P(FtpLineEnds, GreetingLineEnd)
{
    const LineEndCase& t = GetParam();
    FakeFtpServer s;
    // The CR LF that follows is sent only when the client asks for it, so what the
    // greeting alone does is seen however slowly either side runs.
    s.Send(t.Greeting).Expect("GO").Send("\r\n");
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    Configure(c, s);
    c.SetOptions(t.AcceptLF ? TFtpOptions{ftpAcceptLF} : TFtpOptions{});
    c.Open();
    const std::int64_t greeting = std::int64_t(std::string(t.Greeting).size());
    ASSERT_TRUE(PumpUntil([&] { return c.ControlSocket()->ReadCount() >= greeting || !r.Done.empty(); }, 20000));
    if (t.Completes)
        ASSERT_TRUE(r.WaitDone(1, 20000));
    else
        PumpFor(100);   // a completion would be posted by now: the greeting has been read
    EXPECT_EQ(!r.Done.empty(), t.Completes);
    c.ControlSocket()->SendStr("GO\r\n");
    ASSERT_TRUE(r.WaitDone(1, 20000));
    EXPECT_EQ(r.Done[0], std::make_pair(int(rqOpen), 0));
    // The greeting's text never carries line-end characters.
    ASSERT_FALSE(r.Responses.empty());
    EXPECT_EQ(r.Responses[0], "220 hello");
}

INSTANTIATE_TEST_SUITE_P(Cases, FtpLineEnds,
                         testing::Values(LineEndCase{"LfAccepted", true, "220 hello\n", true},
                                         LineEndCase{"CrLfAccepted", true, "220 hello\r\n", true},
                                         LineEndCase{"CrLfStrict", false, "220 hello\r\n", true},
                                         // Without ftpAcceptLF a bare LF ends nothing: the
                                         // line waits for the CR LF that follows later.
                                         LineEndCase{"LfStrictWaits", false, "220 hello\n", false}),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(FtpReplyReader, MultiLineReplyCompletesOnItsLastLine)
{
    FakeFtpServer s;
    AddLogin(s).Expect("CWD /x").Send("250-first\r\n").Delay(50).Send(" middle\r\n250 done\r\n");
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    ConnectOk(c, r, s);
    c.SetHostDirName("/x");
    c.Cwd();
    ASSERT_TRUE(r.WaitDone());
    EXPECT_EQ(r.Done[0], std::make_pair(int(rqCwd), 0));
    EXPECT_EQ(r.Responses, (Lines{"250-first", " middle", "250 done"}));
    // Only the final line is displayed while a command waits.
    EXPECT_EQ(r.Display, (Lines{"> CWD /x", "< 250 done"}));
}

TEST(FtpReplyReader, GreetingOtherThan220EndsOpenAfterTheClose)
{
    FakeFtpServer s;
    s.Reply("421 Too many users").WaitClientClose();
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    Configure(c, s);
    c.Open();
    ASSERT_TRUE(r.WaitDone());
    EXPECT_EQ(r.Events, (Lines{"closed 0", "done 1 421"}));
    EXPECT_EQ(r.States, (Lines{"fcsDnsLookup", "fcsConnecting", "fcsNotConnected", "fcsStepReady", "fcsReady"}));
    EXPECT_EQ(c.ErrorMessage(), "421 Too many users");
    EXPECT_FALSE(c.Connected());
}

TEST(FtpReplyReader, OverLongLineClosesTheSessionAndFailsTheRequest)
{
    FakeFtpServer s;
    AddLogin(s).Expect("PWD").Send(std::string(5000, 'x')).WaitClientClose();
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    ConnectOk(c, r, s);
    c.Pwd();
    ASSERT_TRUE(r.WaitDone());
    EXPECT_EQ(r.Done[0], std::make_pair(int(rqPwd), 500));
    EXPECT_EQ(c.State(), fcsReady);
    EXPECT_FALSE(c.Connected());
    EXPECT_EQ(c.ErrorMessage(), "500 Reply line too long");
    EXPECT_EQ(r.Events.front(), "closed 0");
}

// ---- login ----

TEST(FtpLogin, ConnectSequenceStatesAndPasswordMasked)
{
    FakeFtpServer s;
    AddLogin(s);
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    Configure(c, s);
    c.Connect();
    ASSERT_TRUE(r.WaitDone());
    EXPECT_EQ(r.Done[0], std::make_pair(int(rqConnect), 0));
    EXPECT_EQ(s.Transcript(), (Lines{"USER joe", "PASS pw"}));
    // The last step's success passes through fcsStepReady before the sequencer ends it.
    EXPECT_EQ(r.States, (Lines{"fcsDnsLookup", "fcsConnecting", "fcsConnected", "fcsStepReady", "fcsWaitingReply",
                               "fcsStepReady", "fcsWaitingReply", "fcsStepReady", "fcsReady"}));
    EXPECT_EQ(r.Display, (Lines{"< 220 Fake FTP ready", "> USER joe", "< 331 Password required", "> PASS ******",
                                "< 230 Logged in"}));
    EXPECT_EQ(r.Events, (Lines{"connected 0", "done 5 0"}));
    EXPECT_TRUE(c.Connected());
    EXPECT_TRUE(c.ControlOpen());
}

TEST(FtpLogin, WrongPasswordEndsWith530WithoutQuit)
{
    FakeFtpServer s;
    s.Reply("220 hi").Expect("USER joe").Reply("331 pw").Expect("PASS pw").Reply("530 Login incorrect.");
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    Configure(c, s);
    c.Connect();
    ASSERT_TRUE(r.WaitDone());
    EXPECT_EQ(r.Done[0], std::make_pair(int(rqConnect), 530));
    EXPECT_EQ(c.ErrorMessage(), "530 Login incorrect.");
    PumpFor(100);
    EXPECT_EQ(s.Transcript(), (Lines{"USER joe", "PASS pw"}));
    EXPECT_TRUE(c.Connected());
    EXPECT_EQ(c.State(), fcsReady);
}

TEST(FtpLogin, ProxyLoginNamesTheServerInUser)
{
    FakeFtpServer s;
    s.Reply("220 proxy").Expect("USER joe@ftp.example.org").Reply("230 ok");
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    Configure(c, s);
    c.SetHostName("ftp.example.org");   // never resolved: the proxy is
    c.SetConnectionType(ftpProxy);
    c.SetProxyServer("127.0.0.1");
    EXPECT_TRUE(c.PassiveMode());
    c.SetPassiveMode(false);
    EXPECT_TRUE(c.PassiveMode());
    c.Connect();
    ASSERT_TRUE(r.WaitDone());
    EXPECT_EQ(r.Done[0], std::make_pair(int(rqConnect), 0));
    EXPECT_THROW(c.SetConnectionType(ftpDirect), FtpException);
}

// ---- single commands ----

struct CommandCase {
    const char* Name;
    std::function<void(TFtpClient&)> Start;
    const char* Sent;
    const char* Reply;
    int Kind;
    int Error;
    std::function<void(TFtpClient&)> Check;
};

class FtpCommands : public testing::TestWithParam<CommandCase> {};

TEST_P(FtpCommands, SendsAndCompletes)
{
    const CommandCase& t = GetParam();
    FakeFtpServer s;
    AddLogin(s).Expect(t.Sent).Reply(t.Reply);
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    ConnectOk(c, r, s);
    t.Start(c);
    ASSERT_TRUE(r.WaitDone());
    EXPECT_EQ(r.Done[0], std::make_pair(t.Kind, t.Error));
    EXPECT_EQ(s.Transcript().back(), t.Sent);
    EXPECT_EQ(c.State(), fcsReady);
    if (t.Check)
        t.Check(c);
    EXPECT_TRUE(s.Errors().empty()) << Join(s.Errors());
}

INSTANTIATE_TEST_SUITE_P(
    Catalogue, FtpCommands,
    testing::Values(
        CommandCase{"CwdQuoted", [](TFtpClient& c) { c.SetHostDirName("/pub"); c.Cwd(); }, "CWD /pub",
                    "250 \"/pub\" is current", 4, 0,
                    [](TFtpClient& c) { EXPECT_EQ(c.ReplyDirectory(), "/pub"); }},
        CommandCase{"CwdUnquotedLeavesDirectoryEmpty", [](TFtpClient& c) { c.SetHostDirName("a"); c.Cwd(); },
                    "CWD a", "250 Directory changed", 4, 0,
                    [](TFtpClient& c) { EXPECT_EQ(c.ReplyDirectory(), ""); }},
        CommandCase{"PwdDoubledQuote", [](TFtpClient& c) { c.Pwd(); }, "PWD", "257 \"/a\"\"b\" is cwd", 31, 0,
                    [](TFtpClient& c) { EXPECT_EQ(c.ReplyDirectory(), "/a\"b"); }},
        CommandCase{"CdupOnly250", [](TFtpClient& c) { c.Cdup(); }, "CDUP", "200 ok", 33, 200, nullptr},
        CommandCase{"Syst", [](TFtpClient& c) { c.Syst(); }, "SYST", "215 UNIX Type: L8", 14, 0,
                    [](TFtpClient& c) { EXPECT_EQ(c.LastReply(), "215 UNIX Type: L8"); }},
        CommandCase{"Size", [](TFtpClient& c) { c.SetHostFileName("f"); c.Size(); }, "SIZE f", "213 1234", 16, 0,
                    [](TFtpClient& c) { EXPECT_EQ(c.ReplySize(), 1234); }},
        CommandCase{"SizeBeyond4GiB", [](TFtpClient& c) { c.SetHostFileName("f"); c.Size(); }, "SIZE f",
                    "213 5000000000", 16, 0, [](TFtpClient& c) { EXPECT_EQ(c.ReplySize(), 5000000000LL); }},
        CommandCase{"MkdQuoted", [](TFtpClient& c) { c.SetHostFileName("d"); c.Mkd(); }, "MKD d",
                    "257 \"/d\" created", 21, 0, [](TFtpClient& c) { EXPECT_EQ(c.ReplyDirectory(), "/d"); }},
        CommandCase{"Rmd", [](TFtpClient& c) { c.SetHostFileName("d"); c.Rmd(); }, "RMD d", "250 removed", 22, 0,
                    nullptr},
        CommandCase{"DeleRefused", [](TFtpClient& c) { c.SetHostFileName("f"); c.Dele(); }, "DELE f",
                    "550 No such file", 24, 550,
                    [](TFtpClient& c) { EXPECT_EQ(c.ErrorMessage(), "550 No such file"); }},
        CommandCase{"Rnfr", [](TFtpClient& c) { c.SetHostFileName("a"); c.Rnfr(); }, "RNFR a", "350 ready", 27, 0,
                    nullptr},
        CommandCase{"RntoUsesLocalFileName", [](TFtpClient& c) { c.SetLocalFileName("b"); c.Rnto(); }, "RNTO b",
                    "250 renamed", 26, 0, nullptr},
        CommandCase{"QuoteBelow500Succeeds",
                    [](TFtpClient& c) { c.SetLocalFileName("SITE CHMOD 644 f"); c.Quote(); }, "SITE CHMOD 644 f",
                    "450 busy", 32, 0, nullptr},
        CommandCase{"QuoteFrom500Fails", [](TFtpClient& c) { c.SetLocalFileName("XYZ"); c.Quote(); }, "XYZ",
                    "500 Unknown command", 32, 500, nullptr},
        CommandCase{"TypeAscii", [](TFtpClient& c) { c.SendTypeAscii(); }, "TYPE A", "200 ok", 36, 0,
                    [](TFtpClient& c) { EXPECT_FALSE(c.Binary()); }},
        CommandCase{"TypeBinary", [](TFtpClient& c) { c.SendTypeBinary(); }, "TYPE I", "200 ok", 36, 0, nullptr},
        CommandCase{"PasswordByQuoteStillMasked",
                    [](TFtpClient& c) { c.SetLocalFileName("PASS other"); c.Quote(); }, "PASS other", "230 ok",
                    32, 0, nullptr}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(FtpCommandsDisplay, PasswordNeverDisplayed)
{
    FakeFtpServer s;
    AddLogin(s).Expect("PASS other").Reply("230 ok");
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    Configure(c, s);
    c.Connect();
    ASSERT_TRUE(r.WaitDone());
    c.SetLocalFileName("PASS other");
    c.Quote();
    ASSERT_TRUE(r.WaitDone(2));
    for (const auto& line : r.Display)
        EXPECT_EQ(line.find("pw"), std::string::npos) << line;
    EXPECT_TRUE(r.Displayed("> PASS ******"));
    EXPECT_FALSE(r.Displayed("> PASS other"));
}

TEST(FtpCommands, QuitClosesBeforeItsCompletion)
{
    FakeFtpServer s;
    AddLogin(s).Expect("QUIT").Reply("221 Bye").WaitClientClose();
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    ConnectOk(c, r, s);
    c.Quit();
    ASSERT_TRUE(r.WaitDone());
    EXPECT_EQ(r.Events, (Lines{"closed 0", "done 15 0"}));
    EXPECT_EQ(c.State(), fcsReady);
    EXPECT_FALSE(c.Connected());
}

TEST(FtpCommands, RenameStopsAfterRefusedRnfr)
{
    FakeFtpServer s;
    AddLogin(s).Expect("RNFR old").Reply("550 No such file").Delay(200);
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    ConnectOk(c, r, s);
    c.SetHostFileName("old");
    c.SetLocalFileName("new");
    c.Rename();
    ASSERT_TRUE(r.WaitDone());
    EXPECT_EQ(r.Done[0], std::make_pair(int(rqRename), 550));
    ASSERT_TRUE(s.WaitDone(2000));
    EXPECT_EQ(s.Transcript(), (Lines{"USER joe", "PASS pw", "RNFR old"}));
}

TEST(FtpCommands, RenameSendsBothNames)
{
    FakeFtpServer s;
    AddLogin(s).Expect("RNFR old").Reply("350 ok").Expect("RNTO new").Reply("250 done");
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    ConnectOk(c, r, s);
    c.SetHostFileName("old");
    c.SetLocalFileName("new");
    c.Rename();
    ASSERT_TRUE(r.WaitDone());
    EXPECT_EQ(r.Done[0], std::make_pair(int(rqRename), 0));
}

// ---- refusals ----

struct RefusalCase {
    const char* Name;
    std::function<void(TFtpClient&)> Setup;
    std::function<void(TFtpClient&)> Start;
    const char* Message;
};

class FtpRefusals : public testing::TestWithParam<RefusalCase> {};

TEST_P(FtpRefusals, RaisesAndLeavesTheEngineReady)
{
    const RefusalCase& t = GetParam();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    if (t.Setup)
        t.Setup(c);
    try {
        t.Start(c);
        FAIL() << "no exception";
    } catch (const FtpException& e) {
        EXPECT_STREQ(e.what(), t.Message);
    }
    EXPECT_EQ(c.State(), fcsReady);
    PumpFor(50);
    EXPECT_TRUE(r.Done.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Messages, FtpRefusals,
    testing::Values(
        RefusalCase{"UserEmpty", nullptr, [](TFtpClient& c) { c.User(); }, "UserName emtpy"},
        RefusalCase{"PassEmpty", nullptr, [](TFtpClient& c) { c.Pass(); }, "Password emtpy"},
        RefusalCase{"CwdEmpty", nullptr, [](TFtpClient& c) { c.Cwd(); }, "HostDirName emtpy"},
        RefusalCase{"NotConnected", nullptr, [](TFtpClient& c) { c.Pwd(); }, "FTP component not connected"},
        RefusalCase{"CombinedNotConnected", nullptr, [](TFtpClient& c) { c.Get(); }, "FTP component not connected"},
        RefusalCase{"RetrNotConnected", nullptr, [](TFtpClient& c) { c.Retr(); }, "RETR: not connected"},
        RefusalCase{"ListNotConnected", nullptr, [](TFtpClient& c) { c.List(); }, "LIST: not connected"},
        RefusalCase{"NlstNotConnected", nullptr, [](TFtpClient& c) { c.Nlst(); }, "NLST: not connected"},
        RefusalCase{"StorNotConnected", nullptr, [](TFtpClient& c) { c.Stor(); }, "STOR/APPE: not connected"},
        RefusalCase{"AppeNotConnected", nullptr, [](TFtpClient& c) { c.Appe(); }, "STOR/APPE: not connected"}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(FtpRefusalsWhileBusy, SecondRequestRefusedFirstUntouched)
{
    FakeFtpServer s;
    AddLogin(s).Expect("PWD").Delay(200).Reply("257 \"/\"");
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    ConnectOk(c, r, s);
    c.Pwd();
    try {
        c.Syst();
        FAIL() << "no exception";
    } catch (const FtpException& e) {
        EXPECT_STREQ(e.what(), "FTP component not ready");
    }
    try {
        c.Connect();
        FAIL() << "no exception";
    } catch (const FtpException& e) {
        EXPECT_STREQ(e.what(), "FTP component already connected");
    }
    ASSERT_TRUE(r.WaitDone());
    EXPECT_EQ(r.Done, (std::vector<std::pair<int, int>>{{int(rqPwd), 0}}));
    EXPECT_EQ(c.ReplyDirectory(), "/");
    PumpFor(50);
    EXPECT_EQ(s.Transcript(), (Lines{"USER joe", "PASS pw", "PWD"}));
}

// ---- completion, abort and close ----

TEST(FtpCompletion, RequestDoneReportsTheKindAtDelivery)
{
    FakeFtpServer s;
    AddLogin(s).Expect("PWD").Reply("257 \"/\"").Expect("SYST").Delay(100).Reply("215 UNIX");
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    ConnectOk(c, r, s);
    c.Pwd();
    // Start the next request between the posting and the delivery of the first completion.
    ASSERT_TRUE(PumpUntil([&] { return c.State() == fcsReady; }));
    ASSERT_TRUE(r.Done.empty());
    c.Syst();
    ASSERT_TRUE(r.WaitDone(2));
    EXPECT_EQ(r.Done[0], std::make_pair(int(rqSyst), 0));
    EXPECT_EQ(r.Done[1], std::make_pair(int(rqSyst), 0));
}

TEST(FtpAbort, WhileIdleFiresNoCompletion)
{
    FakeFtpServer s;
    AddLogin(s).WaitClientClose();
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    ConnectOk(c, r, s);
    c.Abort();
    PumpFor(100);
    EXPECT_TRUE(r.Done.empty());
    EXPECT_EQ(r.Events, (Lines{"closed 0"}));
    EXPECT_EQ(c.State(), fcsReady);
    EXPECT_FALSE(c.Connected());
}

TEST(FtpAbort, WhileNotConnectedDoesNothing)
{
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    c.Abort();
    PumpFor(30);
    EXPECT_TRUE(r.Done.empty());
    EXPECT_TRUE(r.Events.empty());
    EXPECT_EQ(c.State(), fcsReady);
}

TEST(FtpAbort, SingleCommandEndsWithItsResultSoFar)
{
    FakeFtpServer s;
    AddLogin(s).Expect("CWD /slow").WaitClientClose();
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    ConnectOk(c, r, s);
    c.SetHostDirName("/slow");
    c.Cwd();
    ASSERT_TRUE(PumpUntil([&] { return s.Transcript().size() == 3; }));
    c.Abort();
    ASSERT_TRUE(r.WaitDone());
    EXPECT_EQ(r.Events, (Lines{"closed 0", "done 4 0"}));
    EXPECT_EQ(c.State(), fcsReady);
}

TEST(FtpAbort, CombinedRequestEndsWith426)
{
    FakeFtpServer s;
    AddLogin(s).Expect("PASV").PasvReply().Expect("RETR f").DataAccept().Reply("150 here").DataSend("abc")
        .WaitClientClose();
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    ConnectOk(c, r, s);
    c.SetPassiveMode(true);
    c.SetHostFileName("f");
    c.SetLocalFileName(TempPath("abort.bin"));
    c.Get();
    ASSERT_TRUE(PumpUntil([&] { return !r.Progress.empty(); }));
    c.Abort();
    ASSERT_TRUE(r.WaitDone());
    EXPECT_EQ(r.Done[0], std::make_pair(int(rqGet), 426));
    EXPECT_EQ(c.ErrorMessage(), "426 Operation aborted.");
    EXPECT_EQ(c.State(), fcsReady);
    EXPECT_FALSE(c.Connected());
    EXPECT_EQ(r.Events.front(), "closed 0");
}

TEST(FtpClose, IdleServerCloseLeavesStepReady)
{
    FakeFtpServer s;
    AddLogin(s).Delay(100).Reply("421 Idle timeout").Drop();
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    ConnectOk(c, r, s);
    ASSERT_TRUE(PumpUntil([&] { return !r.Events.empty(); }));
    PumpFor(50);
    EXPECT_EQ(r.Events, (Lines{"closed 0"}));
    EXPECT_TRUE(r.Displayed("< 421 Idle timeout"));
    EXPECT_EQ(r.States, (Lines{"fcsNotConnected", "fcsStepReady"}));
    EXPECT_EQ(c.State(), fcsStepReady);
    EXPECT_TRUE(r.Done.empty());
}

// ---- passive and active data connections ----

struct DataOrderCase {
    const char* Name;
    bool Passive;
    bool ReplyBeforeClose;
};

class FtpDataOrder : public testing::TestWithParam<DataOrderCase> {};

TEST_P(FtpDataOrder, CompletesOnceWhicheverComesSecond)
{
    const DataOrderCase& t = GetParam();
    FakeFtpServer s;
    AddLogin(s);
    if (t.Passive)
        s.Expect("PASV").PasvReply().Expect("RETR f").DataAccept();
    else
        s.Expect("*").Reply("200 PORT ok").Expect("RETR f").DataConnectToPort();
    s.Reply("150 Opening").DataSend("hello world\n");
    if (t.ReplyBeforeClose)
        s.Reply("226 Done").Delay(150).DataClose();
    else
        s.DataClose().Delay(150).Reply("226 Done");
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    ConnectOk(c, r, s);
    c.SetPassiveMode(t.Passive);
    c.SetHostFileName("f");
    std::string local = TempPath(std::string("order-") + t.Name);
    c.SetLocalFileName(local);
    c.Get();
    ASSERT_TRUE(r.WaitDone());
    PumpFor(100);
    EXPECT_EQ(r.Done, (std::vector<std::pair<int, int>>{{int(rqGet), 0}}));
    EXPECT_EQ(testsrv::ReadFile(local), "hello world\n");
    bool stats = false;
    for (const auto& d : r.Display)
        stats = stats || d.rfind("! 12 bytes received/sent in ", 0) == 0;
    EXPECT_TRUE(stats) << Join(r.Display);
    EXPECT_EQ(c.ResumeOffset(), 0);
    if (!t.Passive) {
        EXPECT_EQ(s.Transcript()[2].rfind("PORT 127,0,0,1,", 0), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Orders, FtpDataOrder,
                         testing::Values(DataOrderCase{"PassiveReplyFirst", true, true},
                                         DataOrderCase{"PassiveCloseFirst", true, false},
                                         DataOrderCase{"ActiveReplyFirst", false, true},
                                         DataOrderCase{"ActiveCloseFirst", false, false}),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(FtpData, DisplayFileDeliversLinesWithoutAFile)
{
    FakeFtpServer s;
    AddLogin(s).Expect("PASV").PasvReply().Expect("LIST").DataAccept().Reply("150 ok")
        .DataSend("line one\r\n\r\nline two\r\n").DataClose().Reply("226 ok");
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    Lines lines;
    c.OnDisplayFile = [&](TCustomFtpCli*, std::string& m) { lines.push_back(m); };
    ConnectOk(c, r, s);
    c.SetPassiveMode(true);
    c.SetDisplayFileFlag(true);
    c.ListDir();
    ASSERT_TRUE(r.WaitDone());
    EXPECT_EQ(r.Done[0], std::make_pair(int(rqListDir), 0));
    EXPECT_EQ(lines, (Lines{"line one", "line two"}));
}

TEST(FtpData, RefusedRetrEndsWithItsCode)
{
    FakeFtpServer s;
    AddLogin(s).Expect("PASV").PasvReply().Expect("RETR nope").Reply("550 No such file");
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    ConnectOk(c, r, s);
    c.SetPassiveMode(true);
    c.SetHostFileName("nope");
    c.SetLocalFileName(TempPath("nope.bin"));
    c.SetResumeOffset(7);
    EXPECT_TRUE(c.RunAndWait([&] { c.Get(); }) == false);
    ASSERT_TRUE(r.WaitDone());
    EXPECT_EQ(r.Done[0], std::make_pair(int(rqGet), 550));
    EXPECT_EQ(c.ErrorMessage(), "550 No such file");
    EXPECT_EQ(c.ResumeOffset(), 0);
    EXPECT_TRUE(c.Connected());
}

TEST(FtpData, ResumeGetAppendsFromTheLocalSize)
{
    std::string local = TempPath("resume.bin");
    testsrv::WriteFile(local, std::string(1000, 'a'));
    FakeFtpServer s;
    AddLogin(s).Expect("PASV").PasvReply().Expect("REST 1000").Reply("350 Restarting at 1000")
        .Expect("RETR f").DataAccept().Reply("150 ok").DataSend("bbbb").DataClose().Reply("226 ok");
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    ConnectOk(c, r, s);
    c.SetPassiveMode(true);
    c.SetHostFileName("f");
    c.SetLocalFileName(local);
    c.ResumeGet();
    ASSERT_TRUE(r.WaitDone());
    EXPECT_EQ(r.Done[0], std::make_pair(int(rqResumeGet), 0));
    EXPECT_EQ(testsrv::ReadFile(local), std::string(1000, 'a') + "bbbb");
    ASSERT_FALSE(r.Progress.empty());
    EXPECT_EQ(r.Progress.front(), 1000);
}

TEST(FtpData, ResumeGetRecreatesWhenRestIsNot350)
{
    std::string local = TempPath("resume2.bin");
    testsrv::WriteFile(local, std::string(1000, 'a'));
    FakeFtpServer s;
    AddLogin(s).Expect("PASV").PasvReply().Expect("REST 1000").Reply("200 whatever")
        .Expect("RETR f").DataAccept().Reply("150 ok").DataSend("full").DataClose().Reply("226 ok");
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    ConnectOk(c, r, s);
    c.SetPassiveMode(true);
    c.SetHostFileName("f");
    c.SetLocalFileName(local);
    c.ResumeGet();
    ASSERT_TRUE(r.WaitDone());
    EXPECT_EQ(r.Done[0], std::make_pair(int(rqResumeGet), 0));
    EXPECT_EQ(testsrv::ReadFile(local), "full");
}

TEST(FtpData, ResumeGetWithoutLocalFileSendsNoRest)
{
    std::string local = TempPath("resume3.bin");
    ::unlink(local.c_str());
    FakeFtpServer s;
    AddLogin(s).Expect("PASV").PasvReply().Expect("RETR f").DataAccept().Reply("150 ok").DataSend("x")
        .DataClose().Reply("226 ok");
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    ConnectOk(c, r, s);
    c.SetPassiveMode(true);
    c.SetHostFileName("f");
    c.SetLocalFileName(local);
    c.ResumeGet();
    ASSERT_TRUE(r.WaitDone());
    EXPECT_EQ(r.Done[0], std::make_pair(int(rqResumeGet), 0));
    EXPECT_EQ(s.Transcript(), (Lines{"USER joe", "PASS pw", "PASV", "RETR f"}));
}

TEST(FtpData, PassiveUploadTranscriptAndBytes)
{
    std::string local = TempPath("up.bin");
    std::string content;
    for (int i = 0; i < 300000; ++i)
        content += char('a' + i % 26);
    testsrv::WriteFile(local, content);
    FakeFtpServer s;
    AddLogin(s).Expect("PASV").PasvReply().DataAccept().Expect("STOR up.bin").Reply("150 go").DataReceiveAll()
        .Reply("226 stored");
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    ConnectOk(c, r, s);
    c.SetPassiveMode(true);
    c.SetHostFileName("up.bin");
    c.SetLocalFileName(local);
    c.Put();
    ASSERT_TRUE(r.WaitDone());
    EXPECT_EQ(r.Done[0], std::make_pair(int(rqPut), 0));
    EXPECT_EQ(s.DataReceived(), content);
    EXPECT_EQ(c.ByteCount(), std::int64_t(content.size()));
}

TEST(FtpData, ActiveUploadOfAnEmptyFile)
{
    std::string local = TempPath("empty.bin");
    testsrv::WriteFile(local, "");
    FakeFtpServer s;
    AddLogin(s).Expect("*").Reply("200 ok").Expect("STOR e").DataConnectToPort().Reply("150 go")
        .DataReceiveAll().Reply("226 stored");
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    ConnectOk(c, r, s);
    c.SetPassiveMode(false);
    c.SetHostFileName("e");
    c.SetLocalFileName(local);
    c.Put();
    ASSERT_TRUE(r.WaitDone());
    EXPECT_EQ(r.Done[0], std::make_pair(int(rqPut), 0));
    EXPECT_EQ(s.DataReceived(), "");
}

TEST(FtpData, ReadyToTransmitCancelSendsNothing)
{
    std::string local = TempPath("cancel.bin");
    testsrv::WriteFile(local, "data");
    FakeFtpServer s;
    AddLogin(s).Expect("PASV").PasvReply().Delay(300);
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    ConnectOk(c, r, s);
    c.OnReadyToTransmit = [](TCustomFtpCli*, bool& cancel) { cancel = true; };
    c.SetPassiveMode(true);
    c.SetHostFileName("x");
    c.SetLocalFileName(local);
    c.Put();
    ASSERT_TRUE(r.WaitDone());
    EXPECT_EQ(r.Done[0], std::make_pair(int(rqPut), 426));
    EXPECT_EQ(c.ErrorMessage(), "426 Transmit cancelled by application");
    EXPECT_TRUE(r.Displayed("! 426 Transmit cancelled by application"));
    ASSERT_TRUE(s.WaitDone(2000));
    EXPECT_EQ(s.Transcript(), (Lines{"USER joe", "PASS pw", "PASV"}));
}

TEST(FtpData, UploadOfMissingFileEndsWith426)
{
    FakeFtpServer s;
    AddLogin(s).Expect("PASV").PasvReply();
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    ConnectOk(c, r, s);
    c.SetPassiveMode(true);
    c.SetHostFileName("x");
    std::string missing = TempPath("does-not-exist");
    c.SetLocalFileName(missing);
    c.Put();
    ASSERT_TRUE(r.WaitDone());
    EXPECT_EQ(r.Done[0], std::make_pair(int(rqPut), 426));
    EXPECT_EQ(c.ErrorMessage(), "426 Unable to open local file " + missing);
    EXPECT_TRUE(r.Displayed("! 426 Unable to open local file " + missing));
    EXPECT_THROW(c.OneShotPut(), FtpException);   // a one-shot request opens its own session
}

TEST(FtpData, OneShotGetReportsTheRetrReply)
{
    std::string local = TempPath("oneshot.bin");
    FakeFtpServer s;
    AddLogin(s).Expect("TYPE I").Reply("200 ok").Expect("PASV").PasvReply().Expect("RETR f").DataAccept()
        .Reply("150 ok").DataSend("12345").DataClose().Reply("226 Transfer complete").Expect("QUIT")
        .Reply("221 Bye").WaitClientClose();
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    Configure(c, s);
    c.SetPassiveMode(true);
    c.SetHostFileName("f");
    c.SetLocalFileName(local);
    c.OneShotGet();
    ASSERT_TRUE(r.WaitDone());
    EXPECT_EQ(r.Done[0], std::make_pair(int(rqOneShotGet), 0));
    EXPECT_EQ(c.LastReply(), "226 Transfer complete");
    EXPECT_EQ(c.ReplyCode(), 226);
    EXPECT_FALSE(c.Connected());
    ASSERT_TRUE(s.WaitDone(2000));
    EXPECT_EQ(s.Transcript(), (Lines{"USER joe", "PASS pw", "TYPE I", "PASV", "RETR f", "QUIT"}));
    EXPECT_EQ(testsrv::ReadFile(local), "12345");
}

// ---- security ----

TEST(FtpSecurity, PasvAddressIsIgnoredForTheControlPeer)
{
    // The reply names 127.0.0.2, where nothing listens; the data connection must go to the
    // control connection's peer (127.0.0.1) instead.
    FakeFtpServer s;
    AddLogin(s).Expect("PASV").PasvReply("127,0,0,2").Expect("RETR f").DataAccept().Reply("150 ok")
        .DataSend("safe").DataClose().Reply("226 ok");
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    ConnectOk(c, r, s);
    c.SetPassiveMode(true);
    c.SetHostFileName("f");
    std::string local = TempPath("pasv-addr.bin");
    c.SetLocalFileName(local);
    c.Get();
    ASSERT_TRUE(r.WaitDone());
    EXPECT_EQ(r.Done[0], std::make_pair(int(rqGet), 0));
    EXPECT_EQ(testsrv::ReadFile(local), "safe");
}

TEST(FtpSecurity, ActiveConnectionFromAnotherAddressIsRefused)
{
    FakeFtpServer s;
    AddLogin(s).Expect("*").Reply("200 ok").Expect("RETR f").DataConnectToPort("127.0.0.2").Delay(100)
        .DataConnectToPort("127.0.0.1").Reply("150 ok").DataSend("mine").DataClose().Reply("226 ok");
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    ConnectOk(c, r, s);
    c.SetPassiveMode(false);
    c.SetHostFileName("f");
    std::string local = TempPath("port-peer.bin");
    c.SetLocalFileName(local);
    c.Get();
    ASSERT_TRUE(r.WaitDone());
    EXPECT_EQ(r.Done[0], std::make_pair(int(rqGet), 0));
    EXPECT_EQ(testsrv::ReadFile(local), "mine");
    EXPECT_TRUE(r.Displayed("! Data connection from 127.0.0.2 refused")) << Join(r.Display);
}

// ---- former bugs ----

struct GarbagePasvCase {
    const char* Name;
    const char* Reply;
};

class FtpFormerBugsPasv : public testing::TestWithParam<GarbagePasvCase> {};

TEST_P(FtpFormerBugsPasv, GarbagePasvEndsTheRequest)
{
    // Used to raise inside the event handling and never end.
    FakeFtpServer s;
    AddLogin(s).Expect("PASV").Reply(GetParam().Reply).Delay(200);
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    ConnectOk(c, r, s);
    std::string local = TempPath("garbage.bin");
    testsrv::WriteFile(local, "keep me");
    c.SetPassiveMode(true);
    c.SetHostFileName("f");
    c.SetLocalFileName(local);
    c.Get();
    ASSERT_TRUE(r.WaitDone());
    EXPECT_EQ(r.Done[0], std::make_pair(int(rqGet), 550));
    EXPECT_EQ(c.State(), fcsReady);
    EXPECT_EQ(testsrv::ReadFile(local), "keep me");   // not truncated
    ASSERT_TRUE(s.WaitDone(2000));
    EXPECT_EQ(s.Transcript(), (Lines{"USER joe", "PASS pw", "PASV"}));
}

INSTANTIATE_TEST_SUITE_P(Replies, FtpFormerBugsPasv,
                         testing::Values(GarbagePasvCase{"NoParentheses", "227 Entering Passive Mode"},
                                         GarbagePasvCase{"Letters", "227 Entering Passive Mode (a,b,c,d,e,f)"},
                                         GarbagePasvCase{"TooFew", "227 Entering Passive Mode (127,0,0,1,4)"},
                                         GarbagePasvCase{"OutOfRange", "227 (127,0,0,1,300,1)"},
                                         GarbagePasvCase{"Unclosed", "227 (127,0,0,1,4,1"}),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(FtpFormerBugs, ControlClosedBetweenStepsEndsWithAnError)
{
    // USER is answered and the connection dropped at once: the Pass step used to raise
    // "FTP component not connected" inside the event handling, leaving no completion.
    FakeFtpServer s;
    s.Reply("220 hi").Expect("USER joe").Send("331 pw\r\n").Drop();
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    Configure(c, s);
    c.Connect();
    ASSERT_TRUE(r.WaitDone());
    ASSERT_EQ(r.Done.size(), 1u);
    EXPECT_EQ(r.Done[0].first, int(rqConnect));
    EXPECT_NE(r.Done[0].second, 0);
    EXPECT_EQ(c.State(), fcsReady);
    EXPECT_FALSE(c.Connected());
}

TEST(FtpFormerBugs, ServerDroppingMidTransferIsNoSuccess)
{
    FakeFtpServer s;
    AddLogin(s).Expect("PASV").PasvReply().Expect("RETR f").DataAccept().Reply("150 ok")
        .DataSend(std::string(10000, 'z')).Delay(50).Drop();
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    ConnectOk(c, r, s);
    c.SetPassiveMode(true);
    c.SetHostFileName("f");
    c.SetLocalFileName(TempPath("dropped.bin"));
    c.Get();
    ASSERT_TRUE(r.WaitDone());
    EXPECT_EQ(r.Done[0].first, int(rqGet));
    EXPECT_EQ(r.Done[0].second, 421);
    EXPECT_EQ(c.State(), fcsReady);
    EXPECT_EQ(r.Events.front(), "closed 0");
}

TEST(FtpFormerBugs, ConnectRefusedLeavesTheEngineUsable)
{
    std::uint16_t port = testsrv::FreeLoopbackPort();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    c.SetHostName("127.0.0.1");
    c.SetPort(std::to_string(port));
    c.SetUserName("u");
    c.SetPassWord("p");
    c.Connect();
    ASSERT_TRUE(r.WaitDone());
    EXPECT_NE(r.Done[0].second, 0);
    EXPECT_EQ(c.LastReply().rfind("500 ", 0), 0u) << c.LastReply();
    EXPECT_EQ(c.State(), fcsReady);
    EXPECT_FALSE(c.Connected());
    // A second attempt can start at once (the socket was released).
    FakeFtpServer s;
    AddLogin(s);
    s.Start();
    Configure(c, s);
    c.Connect();
    ASSERT_TRUE(r.WaitDone(2));
    EXPECT_EQ(r.Done[1], std::make_pair(int(rqConnect), 0));
}

TEST(FtpFormerBugs, LookupFailureReportsTheSocketError)
{
    sockettest::ScopedResolver resolver;
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    c.SetHostName("no.such.host.invalid");
    c.SetUserName("u");
    c.SetPassWord("p");
    c.Connect();
    ASSERT_TRUE(r.WaitDone());
    EXPECT_EQ(r.Done[0], std::make_pair(int(rqConnect), 11001));
    EXPECT_EQ(c.LastReply(), "500 Host not found (Winsock error #11001)");
    EXPECT_EQ(c.State(), fcsReady);
}

TEST(FtpFormerBugs, WaitForReadySeesADataFailure)
{
    FakeFtpServer s;
    AddLogin(s).Expect("PASV").PasvReply().Expect("LIST").Reply("425 Can't open data connection");
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    ConnectOk(c, r, s);
    c.SetPassiveMode(true);
    c.SetLocalFileName(TempPath("list.txt"));
    EXPECT_FALSE(c.RunAndWait([&] { c.ListDir(); }));
    EXPECT_EQ(c.RequestResult(), 425);
}

struct RefusedDownloadCase {
    const char* Name;
    bool Resume;
    bool Exists;       // the local file is there before
    const char* Tail;  // how the server ends it after the data command
};

class FtpFormerBugsRefusedDownload : public testing::TestWithParam<RefusedDownloadCase> {};

TEST_P(FtpFormerBugsRefusedDownload, LeavesTheLocalFileAsItWas)
{
    // The local file used to be truncated (or created) before RETR went out, so a refusal
    // left the user's copy at 0 bytes.
    const RefusedDownloadCase& t = GetParam();
    std::string local = TempPath(std::string("refused-") + t.Name);
    ::unlink(local.c_str());
    if (t.Exists)
        testsrv::WriteFile(local, "precious bytes");
    FakeFtpServer s;
    AddLogin(s).Expect("PASV").PasvReply();
    if (t.Resume)
        s.Expect("REST 14").Reply("350 Restarting at 14");
    s.Expect("RETR f").DataAccept();
    if (std::string(t.Tail) == "refuse")
        s.Reply("550 No such file");
    else
        s.DataSend("not yet").DataClose().Reply("425 Can't build data connection");
    s.Expect("NOOP").Reply("200 ok");
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    ConnectOk(c, r, s);
    c.SetPassiveMode(true);
    c.SetHostFileName("f");
    c.SetLocalFileName(local);
    t.Resume ? c.ResumeGet() : c.Get();
    ASSERT_TRUE(r.WaitDone());
    EXPECT_NE(r.Done[0].second, 0);
    if (t.Exists)
        EXPECT_EQ(testsrv::ReadFile(local), "precious bytes");
    else
        EXPECT_NE(::access(local.c_str(), F_OK), 0) << "a refused download made " << local;
    EXPECT_EQ(c.ResumeOffset(), 0);
    c.SetLocalFileName("NOOP");
    c.Quote();   // the session is in step
    ASSERT_TRUE(r.WaitDone(2));
    EXPECT_EQ(r.Done[1], std::make_pair(int(rqQuote), 0));
}

INSTANTIATE_TEST_SUITE_P(Cases, FtpFormerBugsRefusedDownload,
                         testing::Values(RefusedDownloadCase{"Existing", false, true, "refuse"},
                                         RefusedDownloadCase{"New", false, false, "refuse"},
                                         RefusedDownloadCase{"Resumed", true, true, "refuse"},
                                         RefusedDownloadCase{"DataBeforeRefusal", false, true, "data"}),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(FtpFormerBugs, PutAfterAFailedResumePutSendsTheWholeFile)
{
    // The offset of the failed ResumePut used to stay, and the next Put sent only the tail.
    std::string local = TempPath("whole-after-resume.bin");
    testsrv::WriteFile(local, "0123456789");
    FakeFtpServer s;
    AddLogin(s).Expect("PASV").PasvReply().Expect("REST 5").Reply("502 REST not implemented").Expect("PASV")
        .PasvReply().DataAccept().Expect("STOR f").Reply("150 go").DataReceiveAll().Reply("226 stored");
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    ConnectOk(c, r, s);
    c.SetPassiveMode(true);
    c.SetHostFileName("f");
    c.SetLocalFileName(local);
    c.SetResumeOffset(5);
    c.ResumePut();
    ASSERT_TRUE(r.WaitDone());
    EXPECT_EQ(r.Done[0], std::make_pair(int(rqResumePut), 502));
    EXPECT_EQ(c.ResumeOffset(), 0);
    c.Put();
    ASSERT_TRUE(r.WaitDone(2));
    EXPECT_EQ(r.Done[1], std::make_pair(int(rqPut), 0));
    EXPECT_EQ(s.DataReceived(), "0123456789");
}

TEST(FtpFormerBugs, RawTypeISetsTheTypeOfTheNextTransfer)
{
    // "TYPE I" sent as a raw command used to leave the engine converting line ends.
    const std::string bytes = "a\r\nb\r\n\r";
    FakeFtpServer s;
    AddLogin(s).Expect("TYPE I").Reply("200 Switching to Binary mode.").Expect("PASV").PasvReply()
        .Expect("RETR f").DataAccept().Reply("150 ok").DataSend(bytes).DataClose().Reply("226 ok")
        .Expect("type a").Reply("200 Switching to ASCII mode.").Expect("PASV").PasvReply()
        .Expect("RETR f").DataAccept().Reply("150 ok").DataSend(bytes).DataClose().Reply("226 ok");
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    ConnectOk(c, r, s);
    c.SetPassiveMode(true);
    std::string local = TempPath("raw-type.bin");
    for (const char* raw : {"TYPE I", "type a"}) {
        c.SetLocalFileName(raw);
        ASSERT_TRUE(c.RunAndWait([&] { c.Quote(); }));
        c.SetHostFileName("f");
        c.SetLocalFileName(local);
        ASSERT_TRUE(c.RunAndWait([&] { c.Get(); })) << raw;
        EXPECT_EQ(testsrv::ReadFile(local), std::string(raw) == "TYPE I" ? bytes : "a\nb\n\r") << raw;
    }
}

struct SplitNameCase {
    const char* Name;
    std::function<void(TFtpClient&)> Start;
};

TEST(FtpFormerBugs, NoCommandIsBuiltFromANameHoldingALineEnd)
{
    // "x\r\nDELE y" used to go out as two commands.
    FakeFtpServer s;
    AddLogin(s).Expect("NOOP").Reply("200 ok");
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    ConnectOk(c, r, s);
    c.SetPassiveMode(true);
    const std::string bad = std::string("x\r\nDELE y");
    std::string local = TempPath("split.bin");
    testsrv::WriteFile(local, "data");
    const SplitNameCase rows[] = {
        {"Cwd", [&](TFtpClient& f) { f.SetHostDirName(bad); f.Cwd(); }},
        {"Mkd", [&](TFtpClient& f) { f.SetHostFileName(bad); f.Mkd(); }},
        {"Rmd", [&](TFtpClient& f) { f.SetHostFileName("x\ny"); f.Rmd(); }},
        {"Dele", [&](TFtpClient& f) { f.SetHostFileName(std::string("x\0y", 3)); f.Dele(); }},
        {"Size", [&](TFtpClient& f) { f.SetHostFileName(bad); f.Size(); }},
        {"Rename", [&](TFtpClient& f) { f.SetHostFileName("a"); f.SetLocalFileName(bad); f.Rnto(); }},
        {"Quote", [&](TFtpClient& f) { f.SetLocalFileName("SITE CHMOD 644 " + bad); f.Quote(); }},
        {"Retr", [&](TFtpClient& f) { f.SetHostFileName(bad); f.SetLocalFileName(local); f.Retr(); }},
        {"Stor", [&](TFtpClient& f) { f.SetHostFileName(bad); f.SetLocalFileName(local); f.Stor(); }},
    };
    for (const SplitNameCase& row : rows) {
        SCOPED_TRACE(row.Name);
        EXPECT_THROW(row.Start(c), FtpException);
        EXPECT_EQ(c.State(), fcsReady);
    }
    EXPECT_EQ(testsrv::ReadFile(local), "data");
    // The last line of defence: a line changed on its way out is not sent either.
    c.OnCommand = [&](TCustomFtpCli*, std::string& cmd) { cmd += "\r\nDELE y"; };
    c.Pwd();
    ASSERT_TRUE(r.WaitDone());
    EXPECT_EQ(r.Done[0], std::make_pair(int(rqPwd), 500));
    c.OnCommand = nullptr;
    c.SetLocalFileName("NOOP");
    c.Quote();
    ASSERT_TRUE(r.WaitDone(2));
    EXPECT_EQ(r.Done[1], std::make_pair(int(rqQuote), 0));
    EXPECT_EQ(s.Transcript(), (Lines{"USER joe", "PASS pw", "NOOP"}));
}

TEST(FtpFormerBugs, AFailedFinalDownloadReplyShowsTheDocumentedNote)
{
    FakeFtpServer s;
    AddLogin(s).Expect("PASV").PasvReply().Expect("LIST").DataAccept().Reply("150 here").DataSend("x\r\n")
        .DataClose().Reply("451 Local error");
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    ConnectOk(c, r, s);
    c.SetPassiveMode(true);
    c.SetLocalFileName(TempPath("list-failed.txt"));
    c.ListDir();
    ASSERT_TRUE(r.WaitDone());
    EXPECT_EQ(r.Done[0], std::make_pair(int(rqListDir), 451));
    EXPECT_TRUE(r.Displayed("! RETR/LIST/NLST Failed"));
    EXPECT_FALSE(r.Displayed("! LIST Failed"));
}

TEST(FtpData, DataBeforeThe150IsKept)
{
    // A download's data may be read before the server's 150: it waits until the server has
    // accepted, then lands in the file in order. Both paths: a binary download is spliced
    // into the file, and the existing file (open early to learn that it is writable) took
    // spliced bytes before the 150, which the truncation at the 150 then cut or scrambled.
    for (bool binary : {false, true}) {
        SCOPED_TRACE(binary ? "binary" : "ascii");
        std::string local = TempPath("early.bin");
        testsrv::WriteFile(local, "an older, longer copy of the file");
        FakeFtpServer s;
        FakeFtpServer& script = AddLogin(s);
        if (binary)
            script.Expect("TYPE I").Reply("200 ok");
        script.Expect("PASV").PasvReply().Expect("RETR f").DataAccept().DataSend("early ").Delay(100)
            .DataSend("and late").DataClose().Delay(100).Reply("150 ok").Reply("226 ok");
        s.Start();
        TFtpClient c;
        FtpRecorder r;
        r.Attach(c);
        ConnectOk(c, r, s);
        if (binary) {
            c.SendTypeBinary();
            ASSERT_TRUE(r.WaitDone());
            r.Done.clear();
        }
        c.SetPassiveMode(true);
        c.SetHostFileName("f");
        c.SetLocalFileName(local);
        c.Get();
        ASSERT_TRUE(r.WaitDone());
        EXPECT_EQ(r.Done[0], std::make_pair(int(rqGet), 0));
        EXPECT_EQ(testsrv::ReadFile(local), "early and late");
    }
}

// ---- ASCII line ends ----

TEST(FtpAscii, TypeAConvertsLineEndsBothWays)
{
    // Wire: CR LF (a CR split from its LF between two writes, a lone CR kept);
    // local: LF alone.
    std::string up = TempPath("ascii-up.txt");
    testsrv::WriteFile(up, "x\ny\n\nz");
    std::string down = TempPath("ascii-down.txt");
    FakeFtpServer s;
    AddLogin(s).Expect("TYPE A").Reply("200 ok").Expect("PASV").PasvReply().Expect("RETR t").DataAccept()
        .Reply("150 ok").DataSend("a\r").Delay(50).DataSend("\nb\r\n\r\nc\rd").DataClose().Reply("226 ok")
        .Expect("PASV").PasvReply().DataAccept().Expect("STOR u").Reply("150 go").DataReceiveAll()
        .Reply("226 ok");
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    ConnectOk(c, r, s);
    c.SetPassiveMode(true);
    c.SendTypeAscii();
    ASSERT_TRUE(r.WaitDone(1));
    c.SetHostFileName("t");
    c.SetLocalFileName(down);
    c.Get();
    ASSERT_TRUE(r.WaitDone(2));
    EXPECT_EQ(r.Done[1], std::make_pair(int(rqGet), 0));
    EXPECT_EQ(testsrv::ReadFile(down), "a\nb\n\nc\rd");
    EXPECT_EQ(c.ByteCount(), 11);   // counted on the wire
    c.SetHostFileName("u");
    c.SetLocalFileName(up);
    c.Put();
    ASSERT_TRUE(r.WaitDone(3));
    EXPECT_EQ(r.Done[2], std::make_pair(int(rqPut), 0));
    EXPECT_EQ(s.DataReceived(), "x\r\ny\r\n\r\nz");
}

// ---- one-shot requests ----

struct OneShotCase {
    const char* Name;
    std::function<void(TFtpClient&)> Start;
    std::vector<std::pair<std::string, std::string>> Dialogue;   // command, reply
    int Kind;
    int Error;
    const char* LastReply;   // reported after the QUIT
};

class FtpOneShot : public testing::TestWithParam<OneShotCase> {};

TEST_P(FtpOneShot, TranscriptKindAndReply)
{
    const OneShotCase& t = GetParam();
    FakeFtpServer s;
    AddLogin(s);
    Lines expected{"USER joe", "PASS pw"};
    for (const auto& [cmd, reply] : t.Dialogue) {
        s.Expect(cmd).Reply(reply);
        expected.push_back(cmd);
    }
    s.WaitClientClose();
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    Configure(c, s);
    t.Start(c);
    ASSERT_TRUE(r.WaitDone());
    EXPECT_EQ(r.Done[0], std::make_pair(t.Kind, t.Error));
    EXPECT_EQ(c.LastReply(), t.LastReply);
    PumpUntil([&] { return s.Transcript().size() >= expected.size(); }, 3000);
    EXPECT_EQ(s.Transcript(), expected);
    // A failing step ends the request at once: no QUIT, the session stays.
    EXPECT_EQ(c.Connected(), t.Error != 0);
    EXPECT_TRUE(s.Errors().empty()) << Join(s.Errors());
}

INSTANTIATE_TEST_SUITE_P(
    Catalogue, FtpOneShot,
    testing::Values(
        OneShotCase{"SystSkipsCwd",
                    [](TFtpClient& c) { c.SetHostDirName("/ignored"); c.OneShotSyst(); },
                    {{"SYST", "215 UNIX"}, {"QUIT", "221 Bye"}}, 13, 0, "215 UNIX"},
        OneShotCase{"MkdAfterCwd",
                    [](TFtpClient& c) { c.SetHostDirName("/pub"); c.SetHostFileName("d"); c.OneShotMkd(); },
                    {{"CWD /pub", "250 ok"}, {"MKD d", "257 \"/pub/d\""}, {"QUIT", "221 Bye"}}, 29, 0,
                    "257 \"/pub/d\""},
        OneShotCase{"RmdFails",
                    [](TFtpClient& c) { c.SetHostFileName("d"); c.OneShotRmd(); },
                    {{"RMD d", "550 Not empty"}}, 30, 550, "550 Not empty"},
        OneShotCase{"Dele", [](TFtpClient& c) { c.SetHostFileName("f"); c.OneShotDele(); },
                    {{"DELE f", "250 gone"}, {"QUIT", "221 Bye"}}, 28, 0, "250 gone"},
        OneShotCase{"Size", [](TFtpClient& c) { c.SetHostFileName("f"); c.OneShotSize(); },
                    {{"SIZE f", "213 77"}, {"QUIT", "221 Bye"}}, 16, 0, "213 77"},
        OneShotCase{"Rename",
                    [](TFtpClient& c) { c.SetHostFileName("a"); c.SetLocalFileName("b"); c.OneShotRename(); },
                    {{"RNFR a", "350 ok"}, {"RNTO b", "250 done"}, {"QUIT", "221 Bye"}}, 23, 0, "250 done"},
        OneShotCase{"Quote", [](TFtpClient& c) { c.SetLocalFileName("SITE HELP"); c.OneShotQuote(); },
                    {{"SITE HELP", "214 help"}, {"QUIT", "221 Bye"}}, 34, 0, "214 help"},
        OneShotCase{"PutFailingBeforeItsUploadStep",
                    [](TFtpClient& c) { c.SetLocalFileName("/nonexistent"); c.SetHostFileName("x"); c.OneShotPut(); },
                    {{"TYPE I", "504 no"}}, 35, 504, "504 no"},
        OneShotCase{"ResumePutFailingEarly",
                    [](TFtpClient& c) { c.SetLocalFileName("/nonexistent"); c.OneShotResumePut(); },
                    {{"TYPE I", "500 no"}}, 41, 500, "500 no"},
        OneShotCase{"ResumeGetFailingEarly",
                    [](TFtpClient& c) { c.SetLocalFileName("/nonexistent"); c.OneShotResumeGet(); },
                    {{"TYPE I", "500 no"}}, 39, 500, "500 no"},
        OneShotCase{"ListDirFailingEarly", [](TFtpClient& c) { c.SetPassiveMode(true); c.OneShotListDir(); },
                    {{"PASV", "502 no"}}, 11, 502, "502 no"},
        OneShotCase{"ListNamesFailingEarly", [](TFtpClient& c) { c.SetPassiveMode(true); c.OneShotListNames(); },
                    {{"PASV", "502 no"}}, 12, 502, "502 no"}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(FtpOneShotUpload, AppendReportsItsUploadKind)
{
    std::string local = TempPath("append.bin");
    testsrv::WriteFile(local, "more");
    FakeFtpServer s;
    AddLogin(s).Expect("TYPE I").Reply("200 ok").Expect("PASV").PasvReply().DataAccept().Expect("APPE log")
        .Reply("150 go").DataReceiveAll().Reply("226 ok").Expect("QUIT").Reply("221 Bye").WaitClientClose();
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    Configure(c, s);
    c.SetPassiveMode(true);
    c.SetHostFileName("log");
    c.SetLocalFileName(local);
    c.OneShotAppend();
    ASSERT_TRUE(r.WaitDone());
    EXPECT_EQ(r.Done[0], std::make_pair(int(rqAppend), 0));
    EXPECT_EQ(c.LastReply(), "226 ok");
    EXPECT_EQ(s.DataReceived(), "more");
}

// ---- progress abort, background exceptions, synchronous wait ----

TEST(FtpProgress, AbortFlagClosesTheDataConnection)
{
    FakeFtpServer s;
    AddLogin(s).Expect("PASV").PasvReply().Expect("RETR f").DataAccept().Reply("150 ok")
        .DataSend(std::string(5000, 'k')).Delay(300).Reply("426 Connection closed; transfer aborted.");
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    c.OnProgress = [](TCustomFtpCli*, std::int64_t, bool& abort) { abort = true; };
    ConnectOk(c, r, s);
    c.SetPassiveMode(true);
    c.SetHostFileName("f");
    c.SetLocalFileName(TempPath("progress-abort.bin"));
    c.Get();
    ASSERT_TRUE(r.WaitDone());
    EXPECT_EQ(r.Done[0], std::make_pair(int(rqGet), 426));
    EXPECT_TRUE(r.Displayed("! Abort requested"));
    EXPECT_TRUE(r.Displayed("! RETR/LIST/NLST Failed"));
    EXPECT_TRUE(c.Connected());   // only the data connection went
}

TEST(FtpBackground, ExceptionOfARequestDoneHandlerGoesToOnBgException)
{
    FakeFtpServer s;
    AddLogin(s).Expect("NOOP").Reply("200 ok");
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    ConnectOk(c, r, s);
    std::string caught;
    bool canClose = false;
    c.OnBgException = [&](TCustomFtpCli*, const std::exception& e, bool& close) {
        caught = e.what();
        canClose = close;
    };
    c.OnRequestDone = [](TCustomFtpCli*, TFtpRequest, std::uint16_t) { throw std::runtime_error("handler failed"); };
    c.SetLocalFileName("NOOP");
    c.Quote();
    ASSERT_TRUE(PumpUntil([&] { return !caught.empty(); }));
    EXPECT_EQ(caught, "handler failed");
    EXPECT_TRUE(canClose);
    EXPECT_EQ(c.State(), fcsReady);
    EXPECT_TRUE(c.Connected());
}

TEST(FtpWait, WaitForReadyTimesOutWith426)
{
    FakeFtpServer s;
    AddLogin(s).Expect("PWD").WaitClientClose();   // never answered
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    ConnectOk(c, r, s);
    c.SetTimeout(1);
    std::uint64_t start = platform::GetTickCount64();
    EXPECT_FALSE(c.RunAndWait([&] { c.Pwd(); }));
    std::uint64_t took = platform::GetTickCount64() - start;
    EXPECT_GE(took, 900u);
    EXPECT_LT(took, 5000u);
    EXPECT_EQ(c.ErrorMessage(), "426 Timeout");
    EXPECT_EQ(c.ReplyCode(), 426);
    EXPECT_EQ(c.State(), fcsReady);
    EXPECT_FALSE(c.Connected());
    EXPECT_FALSE(c.RunAndWait([&] { c.Pwd(); }));   // refused: not connected
}

TEST(FtpWait, WaitForReadyReturnsTheResult)
{
    FakeFtpServer s;
    AddLogin(s).Expect("SYST").Reply("215 UNIX").Expect("CWD x").Reply("550 no");
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    Configure(c, s);
    EXPECT_TRUE(c.RunAndWait([&] { c.Connect(); }));
    EXPECT_TRUE(c.RunAndWait([&] { c.Syst(); }));
    c.SetHostDirName("x");
    EXPECT_FALSE(c.RunAndWait([&] { c.Cwd(); }));
    EXPECT_EQ(c.RequestResult(), 550);
}

// ---- properties ----

TEST(FtpProperties, DefaultsAndSetterRules)
{
    TFtpClient c;
    EXPECT_EQ(c.Timeout(), 15);
    EXPECT_FALSE(c.MultiThreaded());
    EXPECT_EQ(c.Port(), "ftp");
    EXPECT_TRUE(c.Binary());
    EXPECT_FALSE(c.DisplayFileFlag());
    EXPECT_EQ(c.ShareMode(), ftpShareExclusive);
    EXPECT_TRUE(c.Options() == TFtpOptions{ftpAcceptLF});
    EXPECT_EQ(c.ConnectionType(), ftpDirect);
    EXPECT_FALSE(c.PassiveMode());
    EXPECT_EQ(c.State(), fcsReady);
    EXPECT_EQ(c.CurrentRequest(), rqNone);
    EXPECT_FALSE(c.Connected());

    for (TFtpShareMode m : {ftpShareCompat, ftpShareExclusive, ftpShareDenyWrite, ftpShareDenyRead, ftpShareDenyNone}) {
        c.SetShareMode(m);
        EXPECT_EQ(c.ShareMode(), m);
    }
    c.SetShareMode(static_cast<TFtpShareMode>(42));
    EXPECT_EQ(c.ShareMode(), ftpShareExclusive);

    c.SetConnectionType(ftpSocks5);
    EXPECT_TRUE(c.PassiveMode());
    c.SetPassiveMode(false);
    EXPECT_TRUE(c.PassiveMode());
    c.SetConnectionType(ftpDirect);
    EXPECT_TRUE(c.PassiveMode());   // stays until the caller changes it
    c.SetPassiveMode(false);
    EXPECT_FALSE(c.PassiveMode());
    c.SetConnectionType(static_cast<TFtpConnectionType>(9));
    EXPECT_EQ(c.ConnectionType(), ftpDirect);
}

TEST(FtpProperties, SocksSettingsGoToBothSockets)
{
    TFtpClient c;
    c.SetSocksServer("127.0.0.1");
    c.SetSocksPort("1080");
    c.SetSocksUserCode("u");
    c.SetSocksPassword("p");
    for (TWSocket* s : {c.ControlSocket(), c.DataSocket()}) {
        EXPECT_EQ(s->SocksServer(), "127.0.0.1");
        EXPECT_EQ(s->SocksPort(), "1080");
        EXPECT_EQ(s->SocksUsercode(), "u");
        EXPECT_EQ(s->SocksPassword(), "p");
    }
    EXPECT_EQ(c.SocksServer(), "127.0.0.1");
    struct Case {
        TFtpConnectionType Type;
        const char* Level;
        TSocksAuthentication Auth;
    };
    for (Case t : {Case{ftpSocks4, "4", socksAuthenticateUsercode}, Case{ftpSocks4A, "4A", socksAuthenticateUsercode},
                   Case{ftpSocks5, "5", socksAuthenticateUsercode}, Case{ftpDirect, "5", socksNoAuthentication},
                   Case{ftpProxy, "5", socksNoAuthentication}}) {
        c.SetConnectionType(t.Type);
        EXPECT_EQ(c.ConnectionType(), t.Type);
        for (TWSocket* s : {c.ControlSocket(), c.DataSocket()}) {
            EXPECT_EQ(s->SocksLevel(), t.Level);   // switching back leaves the level alone
            EXPECT_EQ(s->SocksAuthentication(), t.Auth);
        }
    }
}
