// Faults of the network and of the server against the engine: connections dropped or reset at
// every stage, data connections that never open, silent servers, and replies that no
// well-behaved server sends. Each case checks the completion, the engine's state afterwards and
// the local file, and that the session (or a new one) still works.
#include "ftp/FtpTestUtil.h"
#include "servers/FtpServers.h"

#include <QTimer>

#include <chrono>

using namespace ftptest;

namespace {

using Lines = std::vector<std::string>;

std::string TempPath(const std::string& name)
{
    static std::string dir = testsrv::MakeTempDir("ombrex-ftp-fault");
    return dir + "/" + name;
}

bool IsPrefixOf(const std::string& part, const std::string& whole)
{
    return part.size() <= whole.size() && whole.compare(0, part.size(), part) == 0;
}

// Byte-for-byte equality that reports sizes and the first difference, not the bytes.
testing::AssertionResult SameBytes(const std::string& got, const std::string& want)
{
    if (got == want)
        return testing::AssertionSuccess();
    std::size_t i = 0;
    while (i < got.size() && i < want.size() && got[i] == want[i])
        ++i;
    return testing::AssertionFailure() << "sizes " << got.size() << " and " << want.size()
                                       << ", first difference at " << i;
}

// The login of AddLogin, then TYPE I: the session starts in TYPE A, which converts line ends.
FakeFtpServer& AddBinaryLogin(FakeFtpServer& s)
{
    return AddLogin(s).Expect("TYPE I").Reply("200 Type set to I");
}

// A client with its recorder, connected through the login of AddLogin.
struct Session {
    TFtpClient c;
    FtpRecorder r;
    Session() { r.Attach(c); }
    // ConnectOk, then TYPE I (the script starts with AddBinaryLogin).
    void ConnectBinary(FakeFtpServer& s)
    {
        ConnectOk(c, r, s);
        c.SendTypeBinary();
        ASSERT_TRUE(r.WaitDone());
        ASSERT_EQ(r.Done[0], std::make_pair(int(rqType), 0));
        r.Done.clear();
        r.Display.clear();
        r.Events.clear();
    }
    // Completions after a quiet moment: a request must complete exactly once.
    std::size_t SettledDoneCount(int quietMs = 150)
    {
        PumpFor(quietMs);
        return r.Done.size();
    }
};

} // namespace

// ---- the control connection dropped ----

struct LoginDropCase {
    const char* Name;
    void (*Script)(FakeFtpServer&);
};

class FaultLoginDrop : public testing::TestWithParam<LoginDropCase> {};

TEST_P(FaultLoginDrop, ConnectFailsOnceAndTheEngineIsReadyAndClosed)
{
    FakeFtpServer s;
    GetParam().Script(s);
    s.Start();
    Session t;
    Configure(t.c, s);
    t.c.Connect();
    ASSERT_TRUE(t.r.WaitDone());
    EXPECT_EQ(t.SettledDoneCount(), 1u);
    EXPECT_EQ(t.r.Done[0], std::make_pair(int(rqConnect), 421));
    EXPECT_EQ(t.c.State(), fcsReady);
    EXPECT_FALSE(t.c.Connected());
    EXPECT_FALSE(t.c.ControlOpen());
    EXPECT_EQ(t.c.ErrorMessage().rfind("421 Control connection closed", 0), 0u) << t.c.ErrorMessage();
    // The next attempt starts from scratch.
    FakeFtpServer again;
    AddLogin(again);
    again.Start();
    Configure(t.c, again);
    t.c.Connect();
    ASSERT_TRUE(t.r.WaitDone(2));
    EXPECT_EQ(t.r.Done[1], std::make_pair(int(rqConnect), 0));
}

INSTANTIATE_TEST_SUITE_P(
    Stages, FaultLoginDrop,
    testing::Values(LoginDropCase{"BeforeTheGreeting", [](FakeFtpServer& s) { s.Drop(); }},
                    LoginDropCase{"InsideAMultiLineGreeting",
                                  [](FakeFtpServer& s) { s.Reply("220-Welcome").Reply(" to the show").Drop(); }},
                    LoginDropCase{"WhileUserWaits",
                                  [](FakeFtpServer& s) { s.Reply("220 hi").Expect("USER joe").Drop(); }},
                    LoginDropCase{"WhilePassWaits",
                                  [](FakeFtpServer& s) {
                                      s.Reply("220 hi").Expect("USER joe").Reply("331 pw").Expect("PASS pw").Drop();
                                  }}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(FaultControlDrop, WhileACommandWaitsItFailsWith421)
{
    FakeFtpServer s;
    AddLogin(s).Expect("PWD").Drop();
    s.Start();
    Session t;
    ConnectOk(t.c, t.r, s);
    t.c.Pwd();
    ASSERT_TRUE(t.r.WaitDone());
    EXPECT_EQ(t.SettledDoneCount(), 1u);
    EXPECT_EQ(t.r.Done[0], std::make_pair(int(rqPwd), 421));
    EXPECT_EQ(t.c.LastReply(), "421 Control connection closed");
    EXPECT_EQ(t.r.Events, (Lines{"closed 0", "done 31 421"}));
    EXPECT_EQ(t.c.State(), fcsReady);
    EXPECT_FALSE(t.c.Connected());
}

TEST(FaultControlDrop, InTheMiddleOfADownloadThePartStaysAndResumesWhole)
{
    const std::string data = Payload(300000);
    const std::string local = TempPath("drop-mid-download.bin");
    FakeFtpServer s;
    AddBinaryLogin(s).Expect("PASV").PasvReply().Expect("RETR f").DataAccept().Reply("150 Opening")
        .DataSend(data.substr(0, 100000)).Delay(1000).Drop();
    AddBinaryLogin(s.AcceptAgain()).Expect("PASV").PasvReply().Expect("*").Reply("350 Restarting")
        .Expect("RETR f").DataAccept().Reply("150 Opening").DataSendFromRest(data).DataClose().Reply("226 Done");
    s.Start();
    Session t;
    t.ConnectBinary(s);
    t.c.SetPassiveMode(true);
    t.c.SetHostFileName("f");
    t.c.SetLocalFileName(local);
    t.c.Get();
    ASSERT_TRUE(t.r.WaitDone());
    EXPECT_EQ(t.SettledDoneCount(), 1u);
    EXPECT_EQ(t.r.Done[0], std::make_pair(int(rqGet), 421));
    EXPECT_EQ(t.c.State(), fcsReady);
    EXPECT_FALSE(t.c.Connected());
    const std::string part = testsrv::ReadFile(local);
    EXPECT_EQ(part.size(), 100000u);
    EXPECT_TRUE(IsPrefixOf(part, data));

    t.r.Done.clear();
    t.ConnectBinary(s);
    t.c.ResumeGet();
    ASSERT_TRUE(t.r.WaitDone());
    EXPECT_EQ(t.r.Done[0], std::make_pair(int(rqResumeGet), 0));
    EXPECT_TRUE(SameBytes(testsrv::ReadFile(local), data));
    EXPECT_EQ(s.Transcript().at(s.Transcript().size() - 2), "REST " + std::to_string(part.size()));
    EXPECT_TRUE(s.Errors().empty()) << Join(s.Errors());
}

TEST(FaultControlDrop, InTheMiddleOfAnUploadItFailsAndTheLocalFileIsUntouched)
{
    const std::string data = Payload(4 << 20);
    const std::string local = TempPath("drop-mid-upload.bin");
    ASSERT_TRUE(testsrv::WriteFile(local, data));
    FakeFtpServer s;
    AddBinaryLogin(s).Expect("PASV").PasvReply().DataAccept().Expect("STOR up").Reply("150 Go ahead")
        .DataReceive(200000).Drop();
    s.Start();
    Session t;
    t.ConnectBinary(s);
    t.c.SetPassiveMode(true);
    t.c.SetHostFileName("up");
    t.c.SetLocalFileName(local);
    t.c.Put();
    ASSERT_TRUE(t.r.WaitDone());
    EXPECT_EQ(t.SettledDoneCount(), 1u);
    EXPECT_EQ(t.r.Done[0].first, int(rqPut));
    EXPECT_NE(t.r.Done[0].second, 0);
    EXPECT_EQ(t.c.State(), fcsReady);
    EXPECT_FALSE(t.c.Connected());
    EXPECT_TRUE(SameBytes(testsrv::ReadFile(local), data));
    EXPECT_TRUE(IsPrefixOf(s.DataReceived(), data));
}

// ---- the data connection ----

TEST(FaultDataConnection, ResetInTheMiddleOfADownloadFailsAndResumesWhole)
{
    const std::string data = Payload(250000);
    const std::string local = TempPath("reset-mid-download.bin");
    FakeFtpServer s;
    AddBinaryLogin(s).Expect("PASV").PasvReply().Expect("RETR f").DataAccept().Reply("150 Opening")
        .DataSend(data.substr(0, 70000)).Delay(1000).DataReset().Reply("426 Connection closed; transfer aborted.")
        .Expect("PASV").PasvReply().Expect("*").Reply("350 Restarting").Expect("RETR f").DataAccept()
        .Reply("150 Opening").DataSendFromRest(data).DataClose().Reply("226 Done");
    s.Start();
    Session t;
    t.ConnectBinary(s);
    t.c.SetPassiveMode(true);
    t.c.SetHostFileName("f");
    t.c.SetLocalFileName(local);
    t.c.Get();
    ASSERT_TRUE(t.r.WaitDone());
    EXPECT_EQ(t.SettledDoneCount(), 1u);
    EXPECT_EQ(t.r.Done[0].first, int(rqGet));
    EXPECT_NE(t.r.Done[0].second, 0);
    EXPECT_EQ(t.c.State(), fcsReady);
    EXPECT_TRUE(t.c.Connected());   // only the data connection failed
    const std::string part = testsrv::ReadFile(local);
    EXPECT_EQ(part.size(), 70000u);
    EXPECT_TRUE(IsPrefixOf(part, data));

    t.c.ResumeGet();
    ASSERT_TRUE(t.r.WaitDone(2));
    EXPECT_EQ(t.r.Done[1], std::make_pair(int(rqResumeGet), 0));
    EXPECT_TRUE(SameBytes(testsrv::ReadFile(local), data));
    EXPECT_TRUE(s.Errors().empty()) << Join(s.Errors());
}

TEST(FaultDataConnection, ResetInTheMiddleOfAnUploadFailsAndTheSessionGoesOn)
{
    const std::string data = Payload(4 << 20);
    const std::string local = TempPath("reset-mid-upload.bin");
    ASSERT_TRUE(testsrv::WriteFile(local, data));
    FakeFtpServer s;
    AddBinaryLogin(s).Expect("PASV").PasvReply().DataAccept().Expect("STOR up").Reply("150 Go ahead")
        .DataReceive(200000).DataReset().Reply("426 Connection closed; transfer aborted.")
        .Expect("PWD").Reply("257 \"/\" is current");
    s.Start();
    Session t;
    t.ConnectBinary(s);
    t.c.SetPassiveMode(true);
    t.c.SetHostFileName("up");
    t.c.SetLocalFileName(local);
    t.c.Put();
    ASSERT_TRUE(t.r.WaitDone());
    EXPECT_EQ(t.SettledDoneCount(), 1u);
    EXPECT_EQ(t.r.Done[0], std::make_pair(int(rqPut), 426));
    EXPECT_EQ(t.c.State(), fcsReady);
    EXPECT_TRUE(t.c.Connected());
    EXPECT_TRUE(SameBytes(testsrv::ReadFile(local), data));
    t.c.Pwd();
    ASSERT_TRUE(t.r.WaitDone(2));
    EXPECT_EQ(t.r.Done[1], std::make_pair(int(rqPwd), 0));
    EXPECT_EQ(t.c.ReplyDirectory(), "/");
}

TEST(FaultDataConnection, ActiveConnectionNeverOpenedEndsWithTheServersVerdict)
{
    const std::string local = TempPath("never-opened.bin");
    FakeFtpServer s;
    AddLogin(s).Expect("*").Reply("200 PORT ok").Expect("RETR f").Reply("150 Opening").Delay(200)
        .Reply("425 Can't open data connection").Expect("PWD").Reply("257 \"/\" is current");
    s.Start();
    Session t;
    ConnectOk(t.c, t.r, s);
    t.c.SetPassiveMode(false);
    t.c.SetHostFileName("f");
    t.c.SetLocalFileName(local);
    t.c.Get();
    ASSERT_TRUE(t.r.WaitDone());
    EXPECT_EQ(t.r.Done[0], std::make_pair(int(rqGet), 425));
    EXPECT_EQ(t.c.State(), fcsReady);
    EXPECT_TRUE(t.r.Displayed("! RETR/LIST/NLST Failed"));
    EXPECT_EQ(t.c.ErrorMessage(), "425 Can't open data connection");
    // The listener is gone with the request, and the session answers the next command.
    t.c.Pwd();
    ASSERT_TRUE(t.r.WaitDone(2));
    EXPECT_EQ(t.r.Done[1], std::make_pair(int(rqPwd), 0));
    EXPECT_TRUE(s.Errors().empty()) << Join(s.Errors());
}

TEST(FaultDataConnection, PassivePortThatRefusesFailsBeforeTheCommandGoesOut)
{
    // The server names a port where nothing listens. Had RETR gone out already, the
    // server's late answer to it (425 once its own wait is over) would be taken for the
    // answer to the next command: the data command waits until its connection is up.
    std::uint16_t dead = testsrv::FreeLoopbackPort();
    const std::string pasv = "227 Entering Passive Mode (127,0,0,1," + std::to_string(dead >> 8) + ","
                             + std::to_string(dead & 0xFF) + ")";
    const std::string local = TempPath("pasv-refused.bin");
    for (bool upload : {false, true}) {
        SCOPED_TRACE(upload ? "upload" : "download");
        ASSERT_TRUE(testsrv::WriteFile(local, "keep me"));
        FakeFtpServer s;
        AddLogin(s).Expect("PASV").Reply(pasv).Expect("PWD").Reply("257 \"/next\" is current");
        s.Start();
        Session t;
        ConnectOk(t.c, t.r, s);
        t.c.SetPassiveMode(true);
        t.c.SetHostFileName("f");
        t.c.SetLocalFileName(local);
        upload ? t.c.Put() : t.c.Get();
        ASSERT_TRUE(t.r.WaitDone());
        EXPECT_EQ(t.SettledDoneCount(), 1u);
        EXPECT_EQ(t.r.Done[0], std::make_pair(int(upload ? rqPut : rqGet), 550));
        EXPECT_EQ(t.c.LastReply(), "Unable to establish data connection, error #10061");
        EXPECT_EQ(t.c.State(), fcsReady);
        EXPECT_TRUE(t.c.Connected());
        t.c.Pwd();
        ASSERT_TRUE(t.r.WaitDone(2));
        EXPECT_EQ(t.r.Done[1], std::make_pair(int(rqPwd), 0));
        EXPECT_EQ(t.c.ReplyDirectory(), "/next");
        ASSERT_TRUE(s.WaitDone(2000));
        EXPECT_EQ(s.Transcript(), (Lines{"USER joe", "PASS pw", "PASV", "PWD"}));
        EXPECT_TRUE(s.Errors().empty()) << Join(s.Errors());
        if (upload) {
            EXPECT_EQ(testsrv::ReadFile(local), "keep me");   // an upload only reads its file
        }
    }
}

// ---- a server that stops answering ----

TEST(FaultSilentServer, TheLoopKeepsTurningAndAbortEndsTheDownload)
{
    const std::string data = Payload(50000);
    const std::string local = TempPath("silent.bin");
    FakeFtpServer s;
    AddBinaryLogin(s).Expect("PASV").PasvReply().Expect("RETR f").DataAccept().Reply("150 Opening")
        .DataSend(data).Delay(60000);
    s.Start();
    Session t;
    t.ConnectBinary(s);
    t.c.SetPassiveMode(true);
    t.c.SetHostFileName("f");
    t.c.SetLocalFileName(local);
    t.c.Get();
    // A timer of the loop keeps firing while the request waits; it is what aborts.
    int ticks = 0;
    bool aborted = false;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        // Once everything sent has arrived, so that the file can be checked whole.
        if (++ticks >= 20 && t.c.ByteCount() == std::int64_t(data.size()) && !aborted) {
            aborted = true;
            t.c.Abort();
        }
    });
    timer.start(20);
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(t.r.WaitDone(1, 10000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_GE(ticks, 20);
    EXPECT_EQ(t.r.Done[0], std::make_pair(int(rqGet), 426));
    EXPECT_EQ(t.c.ErrorMessage(), "426 Operation aborted.");
    EXPECT_EQ(t.c.State(), fcsReady);
    EXPECT_FALSE(t.c.Connected());
    EXPECT_TRUE(SameBytes(testsrv::ReadFile(local), data));   // what came stays
}

TEST(FaultSilentServer, AbortEndsACommandThatGetsNoReply)
{
    FakeFtpServer s;
    AddLogin(s).Expect("CWD /slow").Delay(60000);
    s.Start();
    Session t;
    ConnectOk(t.c, t.r, s);
    t.c.SetHostDirName("/slow");
    t.c.Cwd();
    PumpFor(300);
    EXPECT_TRUE(t.r.Done.empty());
    EXPECT_EQ(t.c.State(), fcsWaitingReply);
    t.c.Abort();
    ASSERT_TRUE(t.r.WaitDone());
    EXPECT_EQ(t.SettledDoneCount(), 1u);
    EXPECT_EQ(t.r.Done[0].first, int(rqCwd));
    EXPECT_EQ(t.c.State(), fcsReady);
    EXPECT_FALSE(t.c.Connected());
}

// ---- replies no well-behaved server sends ----

TEST(FaultReplies, EveryByteInAReadOfItsOwn)
{
    // The whole login and a PWD, each byte written alone.
    const std::string replies[] = {"220-Welcome\r\n 220 more\r\n220 ready\r\n", "331 Password required\r\n",
                                   "230 Logged in\n", "257 \"/a \"\"b\"\"\" is current\r\n"};
    const char* commands[] = {nullptr, "USER joe", "PASS pw", "PWD"};
    FakeFtpServer s;
    for (int k = 0; k < 4; ++k) {
        if (commands[k])
            s.Expect(commands[k]);
        for (char ch : replies[k])
            s.Send(std::string(1, ch)).Delay(1);
    }
    s.Start();
    Session t;
    Configure(t.c, s);
    t.c.Connect();
    ASSERT_TRUE(t.r.WaitDone(1, 15000));
    ASSERT_EQ(t.r.Done[0], std::make_pair(int(rqConnect), 0));
    t.c.Pwd();
    ASSERT_TRUE(t.r.WaitDone(2, 15000));
    EXPECT_EQ(t.r.Done[1], std::make_pair(int(rqPwd), 0));
    EXPECT_EQ(t.c.ReplyDirectory(), "/a \"b\"");
    EXPECT_EQ(t.r.Responses, (Lines{"220-Welcome", " 220 more", "220 ready", "331 Password required",
                                    "230 Logged in", "257 \"/a \"\"b\"\"\" is current"}));
}

struct OddReplyCase {
    const char* Name;
    std::string Reply;        // bytes sent for PWD
    int Error;                // completion error of PWD
    std::string Directory;    // ReplyDirectory after it
};

class FaultOddReplies : public testing::TestWithParam<OddReplyCase> {};

TEST_P(FaultOddReplies, PwdCompletesOnceAndTheNextCommandGetsItsOwnReply)
{
    const OddReplyCase& t0 = GetParam();
    FakeFtpServer s;
    AddLogin(s).Expect("PWD").Send(t0.Reply).Expect("NOOP").Reply("200 NOOP ok");
    s.Start();
    Session t;
    ConnectOk(t.c, t.r, s);
    t.c.Pwd();
    ASSERT_TRUE(t.r.WaitDone());
    EXPECT_EQ(t.SettledDoneCount(), 1u);
    EXPECT_EQ(t.r.Done[0], std::make_pair(int(rqPwd), t0.Error));
    EXPECT_EQ(t.c.ReplyDirectory(), t0.Directory);
    EXPECT_EQ(t.c.State(), fcsReady);
    t.c.SetLocalFileName("NOOP");
    t.c.Quote();
    ASSERT_TRUE(t.r.WaitDone(2));
    EXPECT_EQ(t.r.Done[1], std::make_pair(int(rqQuote), 0));
    EXPECT_EQ(t.c.LastReply(), "200 NOOP ok");
}

INSTANTIATE_TEST_SUITE_P(
    Replies, FaultOddReplies,
    testing::Values(
        OddReplyCase{"CodeWithoutText", "257\r\n", 0, ""},
        OddReplyCase{"CodeAndBlankOnly", "257 \r\n", 0, ""},
        OddReplyCase{"UnclosedQuote", "257 \"/half\r\n", 0, "/half"},
        OddReplyCase{"ContinuationLinesOfEveryKind",
                     "257-first\r\n"
                     "\r\n"                                  // empty
                     "   257 indented, not final\r\n"
                     "257-\r\n"                              // dash and nothing
                     "\t\x01\x7f control characters\r\n"
                     "x257 letters first\r\n"
                     "-257 dash first\r\n"
                     "\xff\xfe not text\r\n"
                     "257 \"/odd\" is current\r\n",
                     0, "/odd"},
        OddReplyCase{"FinalCodeDiffersFromTheFirst", "250-start\r\n257 \"/mixed\"\r\n", 0, "/mixed"},
        OddReplyCase{"LineEndsMixed", "257-a\n257-b\r\r\n257 \"/lf\"\n", 0, "/lf"},
        OddReplyCase{"NulBytesInsideALine", std::string("257-a\0b\r\n257 \"/n\0ul\"\r\n", 22), 0,
                     std::string("/n\0ul", 5)},
        OddReplyCase{"RefusalWithoutText", "550\r\n", 550, ""}),
    [](const auto& info) { return std::string(info.param.Name); });

struct LongLineCase {
    const char* Name;
    std::size_t Bytes;   // the whole line, CR LF included
    bool Accepted;
};

class FaultLongReply : public testing::TestWithParam<LongLineCase> {};

TEST_P(FaultLongReply, TheLongestLineFitsTheNextClosesTheSession)
{
    // The reader holds 4095 bytes: a line of that length with its CR LF is a reply, one
    // byte more is no FTP reply and ends the session in an orderly way.
    const LongLineCase& p = GetParam();
    std::string line = "257 \"/" + std::string(p.Bytes - 9, 'd') + "\"\r\n";
    ASSERT_EQ(line.size(), p.Bytes);
    FakeFtpServer s;
    AddLogin(s).Expect("PWD").Send(line);
    if (p.Accepted)
        s.Expect("PWD").Reply("257 \"/short\"");
    else
        s.WaitClientClose();
    s.Start();
    Session t;
    ConnectOk(t.c, t.r, s);
    t.c.Pwd();
    ASSERT_TRUE(t.r.WaitDone());
    EXPECT_EQ(t.SettledDoneCount(), 1u);
    EXPECT_EQ(t.c.State(), fcsReady);
    if (p.Accepted) {
        EXPECT_EQ(t.r.Done[0], std::make_pair(int(rqPwd), 0));
        EXPECT_EQ(t.c.ReplyDirectory(), "/" + std::string(p.Bytes - 9, 'd'));
        t.c.Pwd();
        ASSERT_TRUE(t.r.WaitDone(2));
        EXPECT_EQ(t.c.ReplyDirectory(), "/short");
    } else {
        EXPECT_EQ(t.r.Done[0], std::make_pair(int(rqPwd), 500));
        EXPECT_FALSE(t.c.Connected());
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths, FaultLongReply,
                         testing::Values(LongLineCase{"Exactly4095", 4095, true},
                                         LongLineCase{"Bytes4096", 4096, false},
                                         LongLineCase{"Bytes10000", 10000, false}),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(FaultReplies, BinaryGarbageWhileIdleAndInsideAReplyLeavesTheSessionWorking)
{
    // Garbage that starts with a letter or a blank is no reply line; it is shown while
    // idle and skipped inside a reply.
    std::string garbage;
    for (int i = 0; i < 4000; ++i) {
        char ch = static_cast<char>((i * 131 + 7) & 0xFF);
        garbage += (ch >= '0' && ch <= '9') ? 'x' : ch;   // no digit-led line in it
    }
    garbage = "X" + garbage;
    FakeFtpServer s;
    AddLogin(s).Delay(50).Send(garbage + "\r\n").Expect("PWD").Send("257-\r\n" + garbage + "\r\n")
        .Reply("257 \"/g\"").Expect("PWD").Reply("257 \"/h\"");
    s.Start();
    Session t;
    ConnectOk(t.c, t.r, s);
    PumpFor(200);
    t.c.Pwd();
    ASSERT_TRUE(t.r.WaitDone());
    EXPECT_EQ(t.r.Done[0], std::make_pair(int(rqPwd), 0));
    EXPECT_EQ(t.c.ReplyDirectory(), "/g");
    t.c.Pwd();
    ASSERT_TRUE(t.r.WaitDone(2));
    EXPECT_EQ(t.c.ReplyDirectory(), "/h");
    EXPECT_TRUE(t.c.Connected());
    EXPECT_TRUE(s.Errors().empty()) << Join(s.Errors());
}

TEST(FaultReplies, AFloodOfContinuationLinesCompletesOnceWithoutShowingThem)
{
    std::string flood;
    flood.reserve(300000 * 12);
    flood += "257-start\r\n";
    for (int i = 0; i < 300000; ++i)
        flood += "257-line\r\n";
    flood += "257 \"/flood\"\r\n";
    FakeFtpServer s;
    AddLogin(s).Expect("PWD").Send(flood).Expect("PWD").Reply("257 \"/after\"");
    s.Start();
    Session t;
    ConnectOk(t.c, t.r, s);
    t.c.Pwd();
    ASSERT_TRUE(t.r.WaitDone(1, 30000));
    EXPECT_EQ(t.r.Done[0], std::make_pair(int(rqPwd), 0));
    EXPECT_EQ(t.c.ReplyDirectory(), "/flood");
    EXPECT_EQ(t.r.Display, (Lines{"> PWD", "< 257 \"/flood\""}));
    t.c.Pwd();
    ASSERT_TRUE(t.r.WaitDone(2));
    EXPECT_EQ(t.c.ReplyDirectory(), "/after");
}

TEST(FaultReplies, AFloodOfRepliesNobodyAskedForIsShownAndTheSessionStaysUp)
{
    std::string flood;
    for (int i = 0; i < 50000; ++i)
        flood += "200 unasked " + std::to_string(i) + "\r\n";
    FakeFtpServer s;
    AddLogin(s).Delay(300).Send(flood).Delay(100).Expect("PWD").Reply("257 \"/calm\"");
    s.Start();
    Session t;
    ConnectOk(t.c, t.r, s);
    ASSERT_TRUE(PumpUntil([&] { return t.r.Display.size() >= 50000; }, 30000)) << t.r.Display.size();
    EXPECT_EQ(t.r.Display.size(), 50000u);
    EXPECT_EQ(t.r.Display.front(), "< 200 unasked 0");
    EXPECT_EQ(t.r.Display.back(), "< 200 unasked 49999");
    EXPECT_TRUE(t.r.Done.empty());
    EXPECT_EQ(t.c.State(), fcsReady);
    t.c.Pwd();
    ASSERT_TRUE(t.r.WaitDone());
    EXPECT_EQ(t.c.ReplyDirectory(), "/calm");
}

// ---- the local side ----

TEST(FaultLocalSide, DiskFullWhileDownloadingIsAFailureNotASuccess)
{
    // /dev/full takes the open and refuses every write with ENOSPC, as a full disk does.
    if (::access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "no /dev/full";
    const std::string data = Payload(20000);
    FakeFtpServer s;
    AddBinaryLogin(s).Expect("PASV").PasvReply().Expect("RETR f").DataAccept().Reply("150 Opening").DataSend(data)
        .DataClose().Reply("226 Done").Expect("PWD").Reply("257 \"/\"");
    s.Start();
    Session t;
    t.ConnectBinary(s);
    t.c.SetPassiveMode(true);
    t.c.SetHostFileName("f");
    t.c.SetLocalFileName("/dev/full");
    t.c.Get();
    ASSERT_TRUE(t.r.WaitDone());
    EXPECT_EQ(t.SettledDoneCount(), 1u);
    EXPECT_EQ(t.r.Done[0], std::make_pair(int(rqGet), 550));
    EXPECT_TRUE(t.r.Displayed("! Error writing local file"));
    EXPECT_EQ(t.c.LastReply(), "Unable to write local file /dev/full");
    EXPECT_EQ(t.c.State(), fcsReady);
    EXPECT_TRUE(t.c.Connected());
    t.c.Pwd();
    ASSERT_TRUE(t.r.WaitDone(2));
    EXPECT_EQ(t.r.Done[1], std::make_pair(int(rqPwd), 0));
}
