// The engine with what newer servers offer: FEAT after login, OPTS UTF8 ON, MLSD listings,
// against the scripted server (exact transcripts) and against vsftpd and pyftpdlib with a
// folder of links, setuid files, sticky folders, names with blanks and invalid UTF-8.
#include "ftp/FtpTestUtil.h"
#include "listing/ListingParsers.h"
#include "servers/FtpServers.h"
#include "servers/PeerPolicy.h"

#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>

using namespace ftptest;

namespace {

using Lines = std::vector<std::string>;

std::string TempPath(const std::string& name)
{
    static std::string dir = testsrv::MakeTempDir("ombrex-ftp-modern");
    return dir + "/" + name;
}

// ---- FEAT and OPTS UTF8 after login ----

struct FeatCase {
    const char* Name;
    bool FeatAfterLogin;
    std::function<void(FakeFtpServer&)> Script;   // after the login
    Lines Transcript;
    Lines Features;
    bool Utf8On;
};

const FeatCase kFeatCases[] = {
    {"off: the classic login", false, [](FakeFtpServer&) {}, {"USER joe", "PASS pw"}, {}, false},
    {"an old server refuses FEAT", true, [](FakeFtpServer& s) { s.Expect("FEAT").Reply("500 Unknown command"); },
     {"USER joe", "PASS pw", "FEAT"}, {}, false},
    {"features without UTF8", true,
     [](FakeFtpServer& s) {
         s.Expect("FEAT").Reply("211-Features:").Reply(" EPSV").Reply(" MDTM").Reply(" SIZE").Reply("211 End");
     },
     {"USER joe", "PASS pw", "FEAT"}, {"EPSV", "MDTM", "SIZE"}, false},
    {"UTF8 offered and taken", true,
     [](FakeFtpServer& s) {
         s.Expect("FEAT")
             .Reply("211-Extensions supported:")
             .Reply(" MLST type*;size*;modify*;perm*;unix.mode;")
             .Reply(" UTF8")
             .Reply("211 END")
             .Expect("OPTS UTF8 ON")
             .Reply("200 Always in UTF8 mode.")
             .Expect("OPTS MLST type;size;modify;perm;unix.mode;")
             .Reply("200 MLST OPTS type;size;modify;perm;unix.mode;");
     },
     {"USER joe", "PASS pw", "FEAT", "OPTS UTF8 ON", "OPTS MLST type;size;modify;perm;unix.mode;"},
     {"MLST type*;size*;modify*;perm*;unix.mode;", "UTF8"}, true},
    {"UTF8 offered, OPTS refused", true,
     [](FakeFtpServer& s) {
         s.Expect("FEAT").Reply("211-Features:").Reply(" UTF8").Reply("211 End").Expect("OPTS UTF8 ON").Reply(
             "501 Option not understood");
     },
     {"USER joe", "PASS pw", "FEAT", "OPTS UTF8 ON"}, {"UTF8"}, false},
};

class FtpFeat : public testing::TestWithParam<FeatCase> {};

} // namespace

TEST_P(FtpFeat, AfterLoginTheFeaturesAreKeptAndTheLoginStaysAsItWas)
{
    const FeatCase& t = GetParam();
    FakeFtpServer s;
    AddLogin(s);
    t.Script(s);
    s.Expect("PWD").Reply("257 \"/\"");
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    c.SetFeatAfterLogin(t.FeatAfterLogin);
    Configure(c, s);
    c.Connect();
    ASSERT_TRUE(r.WaitDone(1));
    // Whatever FEAT and OPTS got, the login's outcome is the request's.
    EXPECT_EQ(r.Done[0], std::make_pair(int(rqConnect), 0));
    EXPECT_EQ(c.LastReply(), "230 Logged in");
    EXPECT_EQ(c.ReplyCode(), 230);
    EXPECT_EQ(c.ErrorMessage(), "");
    EXPECT_EQ(c.Features().Lines, t.Features);
    EXPECT_EQ(c.Utf8On(), t.Utf8On);
    EXPECT_EQ(c.Features().Mlst, t.Features.size() == 2);
    // The session goes on as before.
    c.Pwd();
    ASSERT_TRUE(r.WaitDone(2));
    EXPECT_EQ(r.Done[1], std::make_pair(int(rqPwd), 0));
    Lines expected = t.Transcript;
    expected.push_back("PWD");
    EXPECT_EQ(s.Transcript(), expected);
    EXPECT_TRUE(s.Errors().empty()) << Join(s.Errors());
}

INSTANTIATE_TEST_SUITE_P(Servers, FtpFeat, testing::ValuesIn(kFeatCases));

TEST(FtpMlsd, MlsdDirSendsMlsdAndTheNextListDirSendsListAgain)
{
    const std::string mlsd = "type=dir;modify=20261201091500; pub\r\ntype=file;size=3; a b\r\n";
    FakeFtpServer s;
    AddLogin(s)
        .Expect("PASV").PasvReply().Expect("MLSD").DataAccept().Reply("150 Here").DataSend(mlsd).DataClose()
        .Reply("226 Done")
        .Expect("PASV").PasvReply().Expect("LIST").DataAccept().Reply("150 Here").DataSend("x\r\n").DataClose()
        .Reply("226 Done");
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    c.SetPassiveMode(true);
    ConnectOk(c, r, s);
    c.SetLocalFileName(TempPath("mlsd.txt"));
    c.MlsdDir();
    ASSERT_TRUE(r.WaitDone(1));
    EXPECT_EQ(r.Done[0], std::make_pair(int(rqListDir), 0));
    EXPECT_EQ(c.LastListCommand(), "MLSD");
    EXPECT_EQ(testsrv::ReadFile(TempPath("mlsd.txt")), mlsd);
    c.ListDir();
    ASSERT_TRUE(r.WaitDone(2));
    EXPECT_EQ(r.Done[1], std::make_pair(int(rqListDir), 0));
    EXPECT_EQ(c.LastListCommand(), "LIST");
    EXPECT_EQ(s.Transcript(), (Lines{"USER joe", "PASS pw", "PASV", "MLSD", "PASV", "LIST"}));
    EXPECT_TRUE(s.Errors().empty()) << Join(s.Errors());
}

// ---- real servers: what they offer and what their listings hold ----

namespace {

// The folder every real-server listing test lists: a link to a folder, a link to a file, a
// setuid file, a sticky folder, names with blanks and a name that is no UTF-8.
const char* const kInvalidUtf8 = "caf\xe9.txt";

void FillFolder(const std::string& dir)
{
    ::mkdir(dir.c_str(), 0755);
    ::mkdir((dir + "/sub").c_str(), 0755);
    ::mkdir((dir + "/sticky").c_str(), 0755);
    ::chmod((dir + "/sticky").c_str(), 01777);
    testsrv::WriteFile(dir + "/setuid", "x");
    ::chmod((dir + "/setuid").c_str(), 04755);
    testsrv::WriteFile(dir + "/two  blanks ", "12345");
    testsrv::WriteFile(dir + "/" + kInvalidUtf8, "e");
    if (::symlink("sub", (dir + "/to sub").c_str()) != 0 || ::symlink("setuid", (dir + "/to file").c_str()) != 0)
        ADD_FAILURE() << "symlink";
}

struct ListedFolderCase {
    const char* Name;
    const char* Server;
    bool Mlsd;
    bool KeepsBytes;   // the server lists a name that is no UTF-8 by its bytes (pyftpdlib sends "?")
    const char* Sticky;   // the attributes of the sticky folder and the setuid file as the
    const char* Setuid;   // server reports them (pyftpdlib's unix.mode drops the special bits)
};

class RealListing : public testing::TestWithParam<ListedFolderCase> {};

} // namespace

TEST_P(RealListing, EveryEntryOfTheFolderIsParsed)
{
    const ListedFolderCase& t = GetParam();
    static std::map<std::string, std::unique_ptr<testsrv::FtpServer>> servers;
    auto& server = servers[t.Server];
    if (!server) {
        server = std::string(t.Server) == "vsftpd" ? testsrv::StartVsftpd() : testsrv::StartPyftpdlib();
        if (server)
            FillFolder(server->Root() + "/" + "listed");
    }
    if (!server)
        OMBREX_PEER_MISSING(t.Server);

    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    c.SetHostName("127.0.0.1");
    c.SetPort(std::to_string(server->Port()));
    c.SetUserName(server->User());
    c.SetPassWord(server->Password());
    c.SetPassiveMode(true);
    c.SetFeatAfterLogin(true);
    c.Connect();
    ASSERT_TRUE(r.WaitDone(1));
    ASSERT_EQ(r.Done[0].second, 0) << c.LastReply();
    EXPECT_TRUE(c.Features().Known);
    EXPECT_EQ(c.Features().Mlst, t.Mlsd);
    c.SetHostDirName("/listed");
    c.Cwd();
    ASSERT_TRUE(r.WaitDone(2));
    c.SetLocalFileName(TempPath(std::string("real-") + t.Name));
    if (t.Mlsd)
        c.MlsdDir();
    else
        c.ListDir();
    ASSERT_TRUE(r.WaitDone(3));
    ASSERT_EQ(r.Done[2], std::make_pair(int(rqListDir), 0)) << c.LastReply();

    std::map<std::string, TListEntry> entries;
    std::string data = testsrv::ReadFile(TempPath(std::string("real-") + t.Name));
    for (std::string_view line : SplitListingData(data)) {
        TListEntry e;
        TLineResult result = ParseListingLine(t.Mlsd ? lsMlsd : lsList, line, e);
        if (result == lrEntry) {
            entries[e.Name] = e;
        } else if (result == lrInvalid) {
            EXPECT_EQ(line.substr(0, 5), "total") << "not understood: " << line;
        }
    }
    ASSERT_EQ(entries.size(), 7u) << data;
    EXPECT_EQ(entries["sub"].Type, letDirectory);
    EXPECT_EQ(entries["sticky"].Type, letDirectory);
    EXPECT_EQ(entries["sticky"].Attributes.substr(0, 10), t.Sticky) << data;
    EXPECT_EQ(entries["setuid"].Attributes.substr(0, 10), t.Setuid) << data;
    EXPECT_EQ(entries["setuid"].Size, "1");
    EXPECT_EQ(entries["two  blanks "].Size, "5");
    EXPECT_TRUE(entries["sub"].Modified.Valid());
    if (t.Mlsd) {
        // pyftpdlib follows links: a link to a folder is listed as a folder.
        EXPECT_EQ(entries["to sub"].Type, letDirectory);
        EXPECT_EQ(entries["to file"].Type, letFile);
    } else {
        std::vector<TListEntry> all;
        for (auto& [name, e] : entries)
            all.push_back(e);
        ResolveLinkTargets(all);
        for (const TListEntry& e : all) {
            if (e.Name == "to sub") {
                EXPECT_TRUE(e.Type == letLink && e.Target == "sub" && e.TargetKind == ltkDirectory) << data;
            }
            if (e.Name == "to file") {
                EXPECT_TRUE(e.Type == letLink && e.Target == "setuid" && e.TargetKind == ltkFile) << data;
            }
        }
    }
    if (!t.KeepsBytes)
        return;
    // The name that is no UTF-8 comes back by its exact bytes.
    EXPECT_EQ(entries.count(kInvalidUtf8), 1u) << data;
    c.SetHostFileName(kInvalidUtf8);
    c.SetLocalFileName(TempPath("invalid-utf8"));
    c.Get();
    ASSERT_TRUE(r.WaitDone(4));
    EXPECT_EQ(r.Done[3], std::make_pair(int(rqGet), 0)) << c.LastReply();
    EXPECT_EQ(testsrv::ReadFile(TempPath("invalid-utf8")), "e");
}

INSTANTIATE_TEST_SUITE_P(Servers, RealListing,
                         testing::Values(ListedFolderCase{"vsftpd_LIST", "vsftpd", false, true, "drwxrwxrwt", "-rwsr-xr-x"},
                                         ListedFolderCase{"pyftpdlib_MLSD", "pyftpdlib", true, false, "drwxrwxrwx",
                                                          "-rwxr-xr-x"}));

// ---- timeouts and keep-alive ----

namespace {

struct SilenceCase {
    const char* Name;
    std::function<void(FakeFtpServer&)> Script;
    std::function<void(TFtpClient&, FtpRecorder&)> Start;
    int Kind;
};

const SilenceCase kSilenceCases[] = {
    {"no greeting", [](FakeFtpServer& s) { s.Delay(60000); }, [](TFtpClient& c, FtpRecorder&) { c.Connect(); }, rqConnect},
    {"no reply to PWD", [](FakeFtpServer& s) { AddLogin(s).Expect("PWD").Delay(60000); },
     [](TFtpClient& c, FtpRecorder& r) {
         c.Connect();
         ASSERT_TRUE(r.WaitDone(1));
         c.Pwd();
     },
     rqPwd},
    {"listing stops halfway", [](FakeFtpServer& s) {
         AddLogin(s).Expect("PASV").PasvReply().Expect("LIST").DataAccept().Reply("150 Here").DataSend("part").Delay(60000);
     },
     [](TFtpClient& c, FtpRecorder& r) {
         c.Connect();
         ASSERT_TRUE(r.WaitDone(1));
         c.SetLocalFileName(TempPath("silent-list"));
         c.ListDir();
     },
     rqListDir},
};

class FtpSilence : public testing::TestWithParam<SilenceCase> {};

} // namespace

TEST_P(FtpSilence, ASilentServerEndsTheRequestWithATimeoutAndTheSessionClosed)
{
    const SilenceCase& t = GetParam();
    FakeFtpServer s;
    t.Script(s);
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    Configure(c, s);
    c.SetPassiveMode(true);
    c.SetRequestTimeout(1);
    t.Start(c, r);
    ASSERT_TRUE(PumpUntil([&] { return !r.Done.empty() && r.Done.back().first == t.Kind; }, 20000));
    EXPECT_EQ(r.Done.back().second, 421);
    EXPECT_EQ(c.ErrorMessage(), "421 Timeout: no answer from the server for 1 seconds");
    EXPECT_TRUE(r.Displayed("! Timeout: no answer from the server for 1 seconds"));
    EXPECT_FALSE(c.ControlOpen());
    EXPECT_EQ(c.State(), fcsReady);
}

INSTANTIATE_TEST_SUITE_P(Scripted, FtpSilence, testing::ValuesIn(kSilenceCases));

TEST(FtpKeepAlive, AnIdleSessionSendsNoopAndItsAnswerIsNotTakenForTheNextCommand)
{
    FakeFtpServer s;
    // The NOOP's answer comes late, after the client has already sent PWD.
    AddLogin(s).Expect("NOOP").Delay(300).Reply("200 NOOP ok").Expect("PWD").Reply("257 \"/after\" is current");
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    c.SetKeepAlive(1);
    ConnectOk(c, r, s);
    ASSERT_TRUE(PumpUntil([&] { return s.Transcript().size() == 3; }, 10000));
    EXPECT_EQ(s.Transcript().back(), "NOOP");
    c.Pwd();
    ASSERT_TRUE(r.WaitDone(1));
    EXPECT_EQ(r.Done[0], std::make_pair(int(rqPwd), 0));
    EXPECT_EQ(c.ReplyDirectory(), "/after");
    EXPECT_TRUE(r.Displayed("< 200 NOOP ok"));
    c.SetKeepAlive(0);
    EXPECT_TRUE(s.Errors().empty()) << Join(s.Errors());
}

// ---- hostile listings are bounded ----

namespace {

struct BoundCase {
    const char* Name;
    std::int64_t MaxEntries;
    std::int64_t MaxBytes;
    const char* Kept;
};

const BoundCase kBoundCases[] = {
    {"entries", 3, 0, "a\r\nb\r\nc\r\n"},
    {"bytes", 0, 7, "a\r\nb\r\nc"},
    {"within both", 10, 1000, "a\r\nb\r\nc\r\nd\r\ne\r\n"},
};

class FtpListingBound : public testing::TestWithParam<BoundCase> {};

} // namespace

TEST_P(FtpListingBound, AListingPastItsBoundIsCutAndWhatCameIsKept)
{
    const BoundCase& t = GetParam();
    const std::string listing = "a\r\nb\r\nc\r\nd\r\ne\r\n";
    const bool cut = std::string(t.Kept) != listing;
    FakeFtpServer s;
    AddLogin(s).Expect("PASV").PasvReply().Expect("LIST").DataAccept().Reply("150 Here").DataSend(listing);
    if (cut)
        s.Delay(300).Reply("426 Connection closed; transfer aborted.");
    else
        s.DataClose().Reply("226 Done");
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    c.SetPassiveMode(true);
    ConnectOk(c, r, s);
    c.SetListingMaxEntries(t.MaxEntries);
    c.SetListingMaxBytes(t.MaxBytes);
    c.SetLocalFileName(TempPath(std::string("bound-") + t.Name));
    c.ListDir();
    ASSERT_TRUE(r.WaitDone(1));
    EXPECT_EQ(r.Done[0], std::make_pair(int(rqListDir), 0)) << c.LastReply();
    EXPECT_EQ(c.ListingCut(), cut);
    EXPECT_EQ(testsrv::ReadFile(TempPath(std::string("bound-") + t.Name)), t.Kept);
}

INSTANTIATE_TEST_SUITE_P(Scripted, FtpListingBound, testing::ValuesIn(kBoundCases));

TEST(FtpListingBoundPieces, TheLinesOfPiecesFarFromTheBoundCountTowardsIt)
{
    // Pieces that cannot reach the bound are only counted; the cut then falls in a later
    // piece at exactly the fiftieth line.
    auto lines = [](char c, int n) {
        std::string text;
        for (int i = 0; i < n; ++i)
            text += std::string(1, c) + std::to_string(i) + "\r\n";
        return text;
    };
    const std::string first = lines('a', 8);
    const std::string second = lines('b', 60);
    FakeFtpServer s;
    AddLogin(s).Expect("PASV").PasvReply().Expect("LIST").DataAccept().Reply("150 Here").DataSend(first);
    s.Delay(100).DataSend(second).Delay(300).Reply("426 Connection closed; transfer aborted.");
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    c.SetPassiveMode(true);
    ConnectOk(c, r, s);
    c.SetListingMaxEntries(50);
    c.SetLocalFileName(TempPath("bound-pieces"));
    c.ListDir();
    ASSERT_TRUE(r.WaitDone(1));
    EXPECT_TRUE(c.ListingCut());
    EXPECT_EQ(testsrv::ReadFile(TempPath("bound-pieces")), first + lines('b', 42));
}

// ---- EPSV when PASV is refused ----

TEST(FtpEpsv, PasvRefusedByAServerThatOffersEpsvTriesEpsv)
{
    FakeFtpServer s;
    AddLogin(s)
        .Expect("FEAT").Reply("211-Features:").Reply(" EPSV").Reply("211 End")
        .Expect("PASV").Reply("502 Command not implemented")
        .Expect("EPSV").EpsvReply()
        .Expect("LIST").DataAccept().Reply("150 Here").DataSend("x y\r\n").DataClose().Reply("226 Done")
        .Expect("PASV").Reply("500 Unknown command")
        .Expect("EPSV").Reply("500 Unknown command too");
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    c.SetPassiveMode(true);
    c.SetFeatAfterLogin(true);
    ConnectOk(c, r, s);
    c.SetLocalFileName(TempPath("epsv.txt"));
    c.ListDir();
    ASSERT_TRUE(r.WaitDone(1));
    EXPECT_EQ(r.Done[0], std::make_pair(int(rqListDir), 0)) << c.LastReply();
    EXPECT_EQ(c.ErrorMessage(), "");
    EXPECT_EQ(testsrv::ReadFile(TempPath("epsv.txt")), "x y\r\n");
    // Both refused: the request fails with the last refusal.
    c.ListDir();
    ASSERT_TRUE(r.WaitDone(2));
    EXPECT_EQ(r.Done[1], std::make_pair(int(rqListDir), 500));
    EXPECT_EQ(c.ErrorMessage(), "500 Unknown command too");
    EXPECT_EQ(s.Transcript(), (Lines{"USER joe", "PASS pw", "FEAT", "PASV", "EPSV", "LIST", "PASV", "EPSV"}));
    EXPECT_TRUE(s.Errors().empty()) << Join(s.Errors());
}

// ---- the next data port asked for while a download ends ----

namespace {

enum class PrefetchOp { GetA, GetB, TypeA, Pwd, Quit };

struct PrefetchCase {
    const char* Name;
    std::function<void(FakeFtpServer&)> Script;   // after the login
    std::vector<PrefetchOp> Ops;
    Lines Transcript;
};

// Serves file Name ("a" or "b", holding its own name) on the port last offered. The scripts
// answer 226 only once the client's early PASV has come (as vsftpd does when it waits for
// the client's close), so that the PASV goes out early in every run.
void ServeFile(FakeFtpServer& s, const std::string& Name)
{
    s.Expect("RETR /" + Name).DataAccept().Reply("150 Sending").DataSend(Name + Name).DataClose();
}

const PrefetchCase kPrefetchCases[] = {
    {"answered after the 226: the next download uses it",
     [](FakeFtpServer& s) {
         s.Expect("PASV").PasvReply();
         ServeFile(s, "a");
         s.Expect("PASV").Reply("226 Done").PasvReply();
         ServeFile(s, "b");
         s.Expect("PASV").Reply("226 Done").PasvReply().Expect("PWD").Reply("257 \"/\" is current");
     },
     {PrefetchOp::GetA, PrefetchOp::GetB, PrefetchOp::Pwd},
     {"PASV", "RETR /a", "PASV", "RETR /b", "PASV", "PWD"}},
    {"answered before the 226 (a server that reads while it sends)",
     [](FakeFtpServer& s) {
         s.Expect("PASV").PasvReply();
         ServeFile(s, "a");
         s.Expect("PASV").PasvReply().Reply("226 Done");
         ServeFile(s, "b");
         s.Reply("226 Done").Expect("PASV").Reply("227 Entering Passive Mode (127,0,0,1,1,1)").Expect("QUIT").Reply(
             "221 Bye");
     },
     {PrefetchOp::GetA, PrefetchOp::GetB, PrefetchOp::Quit},
     {"PASV", "RETR /a", "PASV", "RETR /b", "PASV", "QUIT"}},
    {"refused: the port is asked for again",
     [](FakeFtpServer& s) {
         s.Expect("PASV").PasvReply();
         ServeFile(s, "a");
         s.Expect("PASV").Reply("226 Done").Reply("425 No more ports").Expect("PASV").PasvReply();
         ServeFile(s, "b");
         s.Expect("PASV").Reply("226 Done").Reply("425 No more ports").Expect("QUIT").Reply("221 Bye");
     },
     {PrefetchOp::GetA, PrefetchOp::GetB, PrefetchOp::Quit},
     {"PASV", "RETR /a", "PASV", "PASV", "RETR /b", "PASV", "QUIT"}},
    {"another command first: each reply goes to its own command",
     [](FakeFtpServer& s) {
         s.Expect("PASV").PasvReply();
         ServeFile(s, "a");
         s.Expect("PASV")
             .Reply("226 Done")
             .Delay(150)
             .PasvReply()
             .Expect("TYPE A")
             .Reply("200 Type set to A")
             .Expect("PASV")
             .PasvReply();
         s.Expect("RETR /b").DataAccept().Reply("150 Sending").DataSend("bb\r\n").DataClose().Reply("226 Done");
     },
     {PrefetchOp::GetA, PrefetchOp::TypeA, PrefetchOp::GetB},
     {"PASV", "RETR /a", "PASV", "TYPE A", "PASV", "RETR /b"}},
};

class FtpPrefetch : public testing::TestWithParam<PrefetchCase> {};

} // namespace

TEST_P(FtpPrefetch, EachReplyGoesToItsCommandAndTheFilesArrive)
{
    const PrefetchCase& t = GetParam();
    FakeFtpServer s;
    AddLogin(s);
    t.Script(s);
    s.Start();
    TFtpClient c;
    FtpRecorder r;
    r.Attach(c);
    c.SetPassiveMode(true);
    c.SetPassivePrefetch(true);
    ConnectOk(c, r, s);
    std::string expectB = "bb";
    for (PrefetchOp op : t.Ops) {
        std::size_t before = r.Done.size();
        switch (op) {
        case PrefetchOp::GetA:
        case PrefetchOp::GetB: {
            std::string name = op == PrefetchOp::GetA ? "a" : "b";
            c.SetHostFileName("/" + name);
            c.SetLocalFileName(TempPath(std::string("prefetch-") + name));
            c.Get();
            break;
        }
        case PrefetchOp::TypeA:
            c.SetBinary(false);
            c.SendType();
            expectB = "bb\n";   // ASCII: the line end converted
            break;
        case PrefetchOp::Pwd:
            c.Pwd();
            break;
        case PrefetchOp::Quit:
            c.Quit();
            break;
        }
        ASSERT_TRUE(r.WaitDone(before + 1)) << Join(r.Display);
        EXPECT_EQ(r.Done.back().second, 0) << c.LastReply() << "\n" << Join(r.Display);
        if (op == PrefetchOp::TypeA) {
            EXPECT_EQ(c.LastReply(), "200 Type set to A");
        }
        if (op == PrefetchOp::Pwd) {
            EXPECT_EQ(c.LastReply(), "257 \"/\" is current");
        }
        if (op == PrefetchOp::Quit) {
            EXPECT_EQ(c.LastReply(), "221 Bye");
        }
    }
    EXPECT_EQ(testsrv::ReadFile(TempPath("prefetch-a")), "aa");
    EXPECT_EQ(testsrv::ReadFile(TempPath("prefetch-b")), expectB);
    ASSERT_TRUE(PumpUntil([&] { return s.Done(); }, 5000));
    Lines expected{"USER joe", "PASS pw"};
    expected.insert(expected.end(), t.Transcript.begin(), t.Transcript.end());
    EXPECT_EQ(s.Transcript(), expected);
    EXPECT_TRUE(s.Errors().empty()) << Join(s.Errors());
}

INSTANTIATE_TEST_SUITE_P(Scripted, FtpPrefetch, testing::ValuesIn(kPrefetchCases));
