// oftp end to end: the program is run as scripts run it, against a pyftpdlib server.
#include "cli/OftpRun.h"
#include "servers/FtpServers.h"
#include "servers/PeerPolicy.h"
#include "servers/SocksServers.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <random>
#include <regex>
#include <thread>
#include <set>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

using oftptest::RunOftp;
using oftptest::RunResult;


// Runs oftp with its standard error on a terminal (so that it shows its progress) and
// returns what it wrote there (and its wait status in *status when asked).
std::string RunOftpOnTerminal(const std::vector<std::string>& args, int* exitStatus = nullptr)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return "no terminal";
    int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, slave, 2);
    posix_spawn_file_actions_addclose(&fa, master);
    std::vector<std::string> all{OFTP_BINARY};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, OFTP_BINARY, &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(slave);
    std::string out;
    if (rc == 0) {
        // The terminal reports an error once the last writer has gone.
        for (int waited = 0; waited < 60000;) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 100) == 0) {
                waited += 100;
                continue;
            }
            char buf[4096];
            ssize_t got = read(master, buf, sizeof buf);
            if (got <= 0)
                break;
            out.append(buf, std::size_t(got));
        }
        int status = 0;
        waitpid(pid, &status, 0);
        if (exitStatus)
            *exitStatus = status;
    }
    close(master);
    return out;
}

// The names in dir that begin with prefix.
std::vector<std::string> NamesStartingWith(const std::string& dir, const std::string& prefix)
{
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (std::string(e->d_name).rfind(prefix, 0) == 0)
                names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

class Oftp : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        FServer = testsrv::StartPyftpdlib().release();
        FLocal = testsrv::MakeTempDir("ombrex-oftp");
    }
    static void TearDownTestSuite()
    {
        delete FServer;
        FServer = nullptr;
        testsrv::RemoveTree(FLocal);
    }
    void SetUp() override
    {
        if (!FServer)
            OMBREX_PEER_MISSING("pyftpdlib");
    }
    // The login options plus extra ones, then HOST.
    std::vector<std::string> Base(std::vector<std::string> extra = {})
    {
        std::vector<std::string> a{"--port", std::to_string(FServer->Port()), "--user", FServer->User(),
                                   "--password", FServer->Password()};
        a.insert(a.end(), extra.begin(), extra.end());
        a.push_back("127.0.0.1");
        return a;
    }
    static std::vector<std::string> Cat(std::vector<std::string> a, const std::vector<std::string>& b)
    {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    }
    static std::string Random(std::size_t n, unsigned seed)
    {
        std::mt19937 rng(seed);
        std::string s(n, '\0');
        for (auto& c : s)
            c = char(rng());
        return s;
    }
    static inline testsrv::FtpServer* FServer = nullptr;
    static inline std::string FLocal;
};

} // namespace

// ---- usage ----

TEST_F(Oftp, BadUsageExitsWith2)
{
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"127.0.0.1"},
        {"127.0.0.1", "bogus"},
        {"--nope", "127.0.0.1", "ls"},
        {"127.0.0.1", "get", "only-one"},
        {"127.0.0.1", "put", "a", "b", "c"},
        {"127.0.0.1", "ls", "a", "b"},
        {"127.0.0.1", "quote"},
        {"--port", "127.0.0.1"},
        {"--socks5", "nocolon", "127.0.0.1", "ls"},
        {"--parallel", "0", "127.0.0.1", "get", "-r", "a", "b"},
        {"--parallel", "11", "127.0.0.1", "get", "-r", "a", "b"},
        {"127.0.0.1", "ls", "-r"},
        {"127.0.0.1", "rm"},
    };
    for (const auto& args : cases) {
        RunResult r = RunOftp(args);
        EXPECT_EQ(r.Status, 2) << testing::PrintToString(args);
        EXPECT_NE(r.Err.find("usage: oftp"), std::string::npos) << r.Err;
        EXPECT_EQ(r.Out, "");
    }
}

TEST_F(Oftp, ThroughSocksServers)
{
    std::string content = Random(300000, 3);
    testsrv::WriteFile(FServer->LocalPath("/socks.bin"), content);
    struct Case {
        const char* Name;
        std::unique_ptr<testsrv::ProxyServer> Proxy;
        std::string Option;
    };
    std::vector<Case> cases;
    cases.push_back({"microsocks 5", testsrv::StartMicrosocks(), "--socks5"});
    cases.push_back({"microsocks 5 login", testsrv::StartMicrosocks("sockuser", "sockpass"), "--socks5"});
    cases.push_back({"dante 4", testsrv::StartDante(), "--socks4"});
    for (auto& t : cases) {
        if (!t.Proxy)
            OMBREX_PEER_MISSING(t.Name);
        std::vector<std::string> socks{t.Option, "127.0.0.1:" + std::to_string(t.Proxy->Port())};
        if (!t.Proxy->User().empty())
            socks.insert(socks.end(), {"--socks-user", t.Proxy->User(), "--socks-password", t.Proxy->Password()});
        std::string back = FLocal + "/socks-back.bin";
        RunResult r = RunOftp(Cat(Base(socks), {"get", "socks.bin", back}));
        EXPECT_EQ(r.Status, 0) << t.Name << ": " << r.Err << t.Proxy->Log();
        EXPECT_TRUE(testsrv::ReadFile(back) == content) << t.Name;
        r = RunOftp(Cat(Base(socks), {"put", back, "socks-up.bin"}));
        EXPECT_EQ(r.Status, 0) << t.Name << ": " << r.Err;
        EXPECT_TRUE(testsrv::ReadFile(FServer->LocalPath("/socks-up.bin")) == content) << t.Name;
        if (!t.Proxy->User().empty()) {
            std::vector<std::string> wrong{t.Option, "127.0.0.1:" + std::to_string(t.Proxy->Port()), "--socks-user",
                                           t.Proxy->User(), "--socks-password", "wrong"};
            r = RunOftp(Cat(Base(wrong), {"ls"}));
            EXPECT_EQ(r.Status, 1) << t.Name;
        }
    }
}

// ---- commands ----

TEST_F(Oftp, LsAndNlstPrintTheListing)
{
    ::mkdir(FServer->LocalPath("/lsdir").c_str(), 0755);
    for (const char* n : {"alpha.txt", "beta.bin"})
        testsrv::WriteFile(FServer->LocalPath(std::string("/lsdir/") + n), n);
    for (const char* mode : {"--passive", "--active"}) {
        RunResult r = RunOftp(Cat(Base({mode}), {"ls", "/lsdir"}));
        EXPECT_EQ(r.Status, 0) << r.Err;
        EXPECT_NE(r.Out.find("alpha.txt"), std::string::npos) << r.Out;
        EXPECT_NE(r.Out.find("beta.bin"), std::string::npos) << r.Out;
        EXPECT_NE(r.Out.find("\r\n"), std::string::npos);   // raw listing, as the server sent it

        r = RunOftp(Cat(Base({mode, "--dir", "/lsdir"}), {"nlst"}));
        EXPECT_EQ(r.Status, 0) << r.Err;
        std::istringstream in(r.Out);
        std::set<std::string> names;
        for (std::string line; std::getline(in, line);)
            names.insert(line.substr(0, line.find('\r')));
        EXPECT_EQ(names, (std::set<std::string>{"alpha.txt", "beta.bin"}));
    }
}

TEST_F(Oftp, QuotePrintsTheReply)
{
    RunResult r = RunOftp(Cat(Base(), {"quote", "SYST"}));
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(r.Out, "215 UNIX Type: L8\n");

    r = RunOftp(Cat(Base(), {"quote", "XBOGUS"}));
    EXPECT_EQ(r.Status, 1);
    EXPECT_EQ(r.Out.substr(0, 4), "500 ");
    EXPECT_EQ(r.Err.substr(0, 4), "500 ") << r.Err;
}

TEST_F(Oftp, FailedRequestsExitWith1AndTheReply)
{
    RunResult r = RunOftp({"--port", std::to_string(FServer->Port()), "--user", "tester", "--password", "wrong",
                           "127.0.0.1", "ls"});
    EXPECT_EQ(r.Status, 1);
    EXPECT_EQ(r.Err, "530 Authentication failed.\n");

    r = RunOftp(Cat(Base(), {"get", "no-such-file", FLocal + "/x"}));
    EXPECT_EQ(r.Status, 1);
    EXPECT_EQ(r.Err.substr(0, 4), "550 ") << r.Err;

    r = RunOftp(Cat(Base({"--dir", "/no/such/dir"}), {"ls"}));
    EXPECT_EQ(r.Status, 1);
    EXPECT_EQ(r.Err.substr(0, 4), "550 ") << r.Err;

    r = RunOftp({"--port", std::to_string(testsrv::FreeLoopbackPort()), "127.0.0.1", "ls"});
    EXPECT_EQ(r.Status, 1);
    EXPECT_NE(r.Err.find("Winsock error #10061"), std::string::npos) << r.Err;
}

TEST_F(Oftp, GetAndPutAreByteIdentical)
{
    std::string content = Random(2 * 1024 * 1024 + 3, 5);
    std::string src = FLocal + "/src.bin";
    testsrv::WriteFile(src, content);
    for (const char* mode : {"--passive", "--active"}) {
        std::string remote = std::string("up") + mode + ".bin";
        RunResult r = RunOftp(Cat(Base({mode, "--binary"}), {"put", src, remote}));
        ASSERT_EQ(r.Status, 0) << r.Err;
        EXPECT_EQ(r.Out, "");
        EXPECT_TRUE(testsrv::ReadFile(FServer->LocalPath("/" + remote)) == content);
        std::string back = FLocal + "/back" + mode;
        r = RunOftp(Cat(Base({mode}), {"get", remote, back}));
        ASSERT_EQ(r.Status, 0) << r.Err;
        EXPECT_TRUE(testsrv::ReadFile(back) == content);
    }
}

TEST_F(Oftp, AsciiKeepsLocalLineEnds)
{
    std::string text = "one\ntwo\n\nthree\n";
    std::string src = FLocal + "/text.txt";
    testsrv::WriteFile(src, text);
    RunResult r = RunOftp(Cat(Base({"--ascii"}), {"put", src, "text.txt"}));
    ASSERT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(testsrv::ReadFile(FServer->LocalPath("/text.txt")), text);
    r = RunOftp(Cat(Base({"--ascii", "-v"}), {"get", "text.txt", FLocal + "/text.back"}));
    ASSERT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(testsrv::ReadFile(FLocal + "/text.back"), text);
    EXPECT_NE(r.Err.find("> TYPE A"), std::string::npos) << r.Err;
}

TEST_F(Oftp, VerboseShowsTheSessionWithoutThePassword)
{
    RunResult r = RunOftp(Cat(Base({"-v"}), {"quote", "NOOP"}));
    EXPECT_EQ(r.Status, 0);
    EXPECT_NE(r.Err.find("< 220 "), std::string::npos) << r.Err;
    EXPECT_NE(r.Err.find("> USER tester\n"), std::string::npos) << r.Err;
    EXPECT_NE(r.Err.find("> PASS ******\n"), std::string::npos) << r.Err;
    EXPECT_EQ(r.Err.find("secret"), std::string::npos) << r.Err;
    EXPECT_NE(r.Err.find("> QUIT"), std::string::npos) << r.Err;
}

TEST_F(Oftp, PasswordFromTheEnvironmentStaysOffTheCommandLine)
{
    // The process list shows a command line to every user; the environment it does not.
    ASSERT_EQ(setenv("OFTP_TEST_PASSWORD", FServer->Password().c_str(), 1), 0);
    std::vector<std::string> args{"--port", std::to_string(FServer->Port()), "--user", FServer->User(),
                                  "--password-env", "OFTP_TEST_PASSWORD", "-v", "127.0.0.1", "quote", "NOOP"};
    RunResult r = RunOftp(args);
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_NE(r.Err.find("< 230 "), std::string::npos) << r.Err;
    EXPECT_EQ(r.Err.find(FServer->Password()), std::string::npos) << r.Err;

    // A variable that is unset or empty is a usage error, not an empty password.
    for (const char* value : {static_cast<const char*>(nullptr), ""}) {
        if (value)
            ASSERT_EQ(setenv("OFTP_TEST_PASSWORD", value, 1), 0);
        else
            ASSERT_EQ(unsetenv("OFTP_TEST_PASSWORD"), 0);
        r = RunOftp(args);
        EXPECT_EQ(r.Status, 2) << r.Err;
        EXPECT_NE(r.Err.find("--password-env needs the name of a variable"), std::string::npos) << r.Err;
    }
    r = RunOftp({"--socks5", "127.0.0.1:1", "--socks-password-env", "OFTP_TEST_PASSWORD", "127.0.0.1", "ls"});
    EXPECT_EQ(r.Status, 2) << r.Err;
    EXPECT_NE(r.Err.find("--socks-password-env needs"), std::string::npos) << r.Err;
    unsetenv("OFTP_TEST_PASSWORD");
}

TEST_F(Oftp, ResumeCompletesPartialFiles)
{
    std::string content = Random(1024 * 1024 + 11, 9);
    testsrv::WriteFile(FServer->LocalPath("/whole.bin"), content);
    std::string local = FLocal + "/partial.bin";
    testsrv::WriteFile(local, content.substr(0, 300000));
    RunResult r = RunOftp(Cat(Base({"--resume", "-v"}), {"get", "whole.bin", local}));
    ASSERT_EQ(r.Status, 0) << r.Err;
    EXPECT_NE(r.Err.find("> REST 300000"), std::string::npos) << r.Err;
    EXPECT_TRUE(testsrv::ReadFile(local) == content);

    std::string src = FLocal + "/whole-up.bin";
    testsrv::WriteFile(src, content);
    testsrv::WriteFile(FServer->LocalPath("/half.bin"), content.substr(0, 500000));
    r = RunOftp(Cat(Base({"--resume", "-v"}), {"put", src, "half.bin"}));
    ASSERT_EQ(r.Status, 0) << r.Err;
    EXPECT_NE(r.Err.find("> REST 500000"), std::string::npos) << r.Err;
    EXPECT_TRUE(testsrv::ReadFile(FServer->LocalPath("/half.bin")) == content);
}

// ---- former bugs ----

TEST_F(Oftp, FormerBugARefusedGetEmptiedTheLocalFile)
{
    // "oftp get missing existing" used to leave the existing file at 0 bytes, and a new
    // name as an empty file. Tried against both servers, as a user would.
    std::unique_ptr<testsrv::FtpServer> vsftpd = testsrv::StartVsftpd();
    if (!vsftpd)
        OMBREX_PEER_MISSING("vsftpd");
    for (testsrv::FtpServer* server : {FServer, vsftpd.get()}) {
        SCOPED_TRACE(server->Name());
        std::vector<std::string> login{"--port", std::to_string(server->Port()), "--user", server->User(),
                                       "--password", server->Password(), "127.0.0.1"};
        for (const char* resume : {"", "--resume"}) {
            std::string existing = FLocal + "/existing-" + server->Name();
            testsrv::WriteFile(existing, "precious bytes");
            std::vector<std::string> args = login;
            if (*resume)
                args.insert(args.begin(), resume);
            RunResult r = RunOftp(Cat(args, {"get", "no-such-file.txt", existing}));
            EXPECT_EQ(r.Status, 1) << resume;
            EXPECT_EQ(testsrv::ReadFile(existing), "precious bytes") << resume;
            std::string fresh = FLocal + "/fresh-" + server->Name();
            r = RunOftp(Cat(args, {"get", "no-such-file.txt", fresh}));
            EXPECT_EQ(r.Status, 1) << resume;
            EXPECT_NE(access(fresh.c_str(), F_OK), 0) << resume << ": an empty " << fresh << " was left";
        }
    }
}

TEST_F(Oftp, FormerBugASignalLeftTheListingFileBehind)
{
    // A server that accepts but never greets keeps oftp waiting with its listing file made.
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener, 8), 0);
    socklen_t len = sizeof addr;
    getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    const std::string dir = testsrv::MakeTempDir("ombrex-oftp-signal");
    for (int sig : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(sig);
        std::string env = "XDG_RUNTIME_DIR=" + dir;
        std::vector<char*> envp;
        for (char** e = environ; *e; ++e)
            if (std::string(*e).rfind("XDG_RUNTIME_DIR=", 0) != 0)
                envp.push_back(*e);
        envp.push_back(env.data());
        envp.push_back(nullptr);
        std::vector<std::string> all{OFTP_BINARY, "--port", std::to_string(ntohs(addr.sin_port)), "127.0.0.1", "ls"};
        std::vector<char*> argv;
        for (auto& a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
        pid_t pid = -1;
        ASSERT_EQ(posix_spawn(&pid, OFTP_BINARY, &fa, nullptr, argv.data(), envp.data()), 0);
        posix_spawn_file_actions_destroy(&fa);
        // The file exists from the start of the session; the greeting never comes.
        for (int i = 0; i < 3000 && NamesStartingWith(dir + "/ombrex-ftp", "oftp-list-").empty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(NamesStartingWith(dir + "/ombrex-ftp", "oftp-list-").size(), 1u);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));   // into the event loop
        kill(pid, sig);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << status;
        EXPECT_TRUE(NamesStartingWith(dir + "/ombrex-ftp", "oftp-list-").empty());
    }
    close(listener);
    testsrv::RemoveTree(dir);
}

TEST_F(Oftp, FormerBugTheAsciiPerCentPassed100)
{
    // On the wire every LF of a text file is CR LF: more bytes than the size the server
    // reports, and the per cent went to 200 for a file of empty lines.
    std::unique_ptr<testsrv::FtpServer> vsftpd = testsrv::StartVsftpd();
    if (!vsftpd)
        OMBREX_PEER_MISSING("vsftpd");
    testsrv::WriteFile(vsftpd->LocalPath("/lines.txt"), std::string(300000, '\n'));
    chmod(vsftpd->LocalPath("/lines.txt").c_str(), 0644);
    std::string shown = RunOftpOnTerminal({"--port", std::to_string(vsftpd->Port()), "--user", vsftpd->User(),
                                           "--password", vsftpd->Password(), "--ascii", "127.0.0.1", "get",
                                           "lines.txt", FLocal + "/lines.txt"});
    std::regex percent("\\((\\d+)%\\)");
    int most = -1;
    for (std::sregex_iterator i(shown.begin(), shown.end(), percent), end; i != end; ++i)
        most = std::max(most, std::stoi((*i)[1]));
    EXPECT_EQ(most, 100) << shown;
    EXPECT_EQ(testsrv::ReadFile(FLocal + "/lines.txt"), std::string(300000, '\n'));
}

// ---- folder commands ----

namespace {

int DiffTrees(const std::string& a, const std::string& b)
{
    return system(("diff -r '" + a + "' '" + b + "' >/dev/null && diff -r '" + b + "' '" + a + "' >/dev/null").c_str());
}

} // namespace

TEST_F(Oftp, FolderCommandsCopyAndDeleteWholeTrees)
{
    std::string src = FLocal + "/tree-src";
    for (const char* d : {"", "/empty", "/a b", "/a b/c", "/many"})
        mkdir((src + d).c_str(), 0755);
    testsrv::WriteFile(src + "/a b/c/deep.bin", Random(70000, 5));
    for (int i = 0; i < 30; ++i)
        testsrv::WriteFile(src + "/many/f" + std::to_string(i), Random(std::size_t(i * 100), unsigned(i)));

    struct Row {
        const char* Name;
        std::vector<std::string> Args;
        int Status;
        std::function<bool()> Check;
    };
    std::string remote = FServer->LocalPath("/tree-up");
    std::string back = FLocal + "/tree-back";
    const Row rows[] = {
        {"put -r", {"--parallel", "3", "put", "-r", src, "/tree-up"}, 0, [&] { return DiffTrees(src, remote) == 0; }},
        {"get -r", {"--parallel", "3", "get", "-r", "/tree-up", back}, 0, [&] { return DiffTrees(remote, back) == 0; }},
        {"get -r, one connection", {"get", "-r", "tree-up", back + "1"}, 0, [&] { return DiffTrees(remote, back + "1") == 0; }},
        {"rm -r", {"--parallel", "2", "rm", "-r", "/tree-up"}, 0, [&] { return access(remote.c_str(), F_OK) != 0; }},
        {"rm -r of nothing", {"rm", "-r", "/tree-up"}, 1, [] { return true; }},
        {"get -r of nothing", {"get", "-r", "/no-such-dir", back + "2"}, 1, [] { return true; }},
    };
    for (const Row& r : rows) {
        RunResult res = RunOftp(Cat(Base(), r.Args), 120000);
        EXPECT_EQ(res.Status, r.Status) << r.Name << ": " << res.Err;
        EXPECT_TRUE(r.Check()) << r.Name;
        EXPECT_EQ(res.Out, "") << r.Name;
        if (r.Status == 0)
            EXPECT_EQ(res.Err, "") << r.Name << ": no progress line when stderr is no terminal";
        else
            EXPECT_NE(res.Err.find("failed: "), std::string::npos) << r.Name << ": " << res.Err;
    }
}

TEST_F(Oftp, FolderProgressLineOnATerminal)
{
    std::string src = FLocal + "/tty-src";
    mkdir(src.c_str(), 0755);
    testsrv::WriteFile(src + "/big.bin", Random(8u << 20, 9));
    int status = -1;
    std::string shown = RunOftpOnTerminal(Cat(Base(), {"put", "-r", src, "/tty-up"}), &status);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << shown;
    EXPECT_NE(shown.find("/s"), std::string::npos) << shown;
    EXPECT_NE(shown.find("left"), std::string::npos) << shown;
    EXPECT_NE(shown.find("1/1 files"), std::string::npos) << shown;
}
// ---- list: parsed entries ----

namespace {

struct ListCase {
    const char* Name;
    const char* Server;
    const char* Source;         // what -v names
    std::set<std::string> Lines;   // the entries whose lines do not depend on the file system
};

const ListCase kListCases[] = {
    {"pyftpdlib", "pyftpdlib", "MLSD",
     // MLSD's UTC time, shown in local time (UTC here); the link is followed by the server
     {"f\t5\t2021-03-03T04:05\told.txt", "f\t5\t2021-03-03T04:05\tln", "f\t3\t2021-03-03T04:05\ttwo  blanks "}},
    {"vsftpd", "vsftpd", "LIST",
     // LIST shows the year, not the time, for old files: the date is at 00:00
     {"f\t5\t2021-03-03T00:00\told.txt", "f\t3\t2021-03-03T00:00\ttwo  blanks "}},
};

} // namespace

TEST_F(Oftp, ListPrintsOneParsedEntryPerLine)
{
    setenv("TZ", "UTC", 1);
    for (const ListCase& t : kListCases) {
        SCOPED_TRACE(t.Name);
        std::unique_ptr<testsrv::FtpServer> own;
        testsrv::FtpServer* server = FServer;
        if (std::string(t.Server) == "vsftpd") {
            own = testsrv::StartVsftpd();
            if (!own)
                OMBREX_PEER_MISSING("vsftpd");
            server = own.get();
        }
        const std::string dir = server->LocalPath("/listdir");
        ::mkdir(dir.c_str(), 0755);
        ::mkdir((dir + "/sub").c_str(), 0755);
        testsrv::WriteFile(dir + "/old.txt", "hello");
        testsrv::WriteFile(dir + "/two  blanks ", "abc");
        ::symlink("old.txt", (dir + "/ln").c_str());
        const struct timeval old[2] = {{1614744300, 0}, {1614744300, 0}};   // 2021-03-03 04:05 UTC
        ::utimes((dir + "/old.txt").c_str(), old);
        ::utimes((dir + "/two  blanks ").c_str(), old);
        std::vector<std::string> args{"--port", std::to_string(server->Port()), "--user", server->User(),
                                      "--password", server->Password(), "-v", "127.0.0.1", "list", "/listdir"};
        RunResult r = RunOftp(args);
        ASSERT_EQ(r.Status, 0) << r.Err;
        EXPECT_NE(r.Err.find(std::string("oftp: listing from ") + t.Source + ", data connection by PASV"),
                  std::string::npos)
            << r.Err;
        std::set<std::string> lines;
        std::istringstream in(r.Out);
        bool sawSub = false;
        bool sawLink = false;
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("d\t", 0) == 0 && line.size() > 4 && line.substr(line.size() - 4) == "\tsub")
                sawSub = true;
            else if (line.rfind("l\t7\t", 0) == 0 && line.find("\tln\t-> old.txt") != std::string::npos)
                sawLink = true;
            else
                lines.insert(line);
        }
        EXPECT_TRUE(sawSub) << r.Out;
        EXPECT_EQ(sawLink, std::string(t.Source) == "LIST") << r.Out;
        EXPECT_EQ(lines, t.Lines) << r.Out;
    }
}

// ---- IPv6: the host as typed, -4 and -6 ----

namespace {

struct OftpIpv6Case {
    const char* Name;
    std::vector<std::string> Args;   // "PORT" is replaced by the server's port, "LOCAL" by a local file
    bool Ok;
    const char* Stderr;              // a line oftp -v must show (empty: none asked)
};

const OftpIpv6Case kOftpIpv6Cases[] = {
    {"-6 bracketed with port, passive ls", {"-6", "-v", "--passive", "[::1]:PORT", "ls"}, true, "> EPSV"},
    {"bare address, active get", {"-v", "--active", "--port", "PORT", "::1", "get", "six.txt", "LOCAL"}, true,
     "> EPRT |2|::1|"},
    {"bracketed, passive put", {"-v", "--passive", "--port", "PORT", "[::1]", "put", "LOCAL", "upload/six-up.txt"},
     true, "> EPSV"},
    {"-4 refuses an IPv6 address", {"-4", "--port", "PORT", "::1", "ls"}, false, ""},
    {"-6 refuses an IPv4 address", {"-6", "--port", "PORT", "127.0.0.1", "ls"}, false, ""},
};

void PrintTo(const OftpIpv6Case& c, std::ostream* os)
{
    *os << c.Name;
}

class OftpIpv6 : public testing::TestWithParam<OftpIpv6Case> {};

} // namespace

TEST_P(OftpIpv6, HostFormsAndForcedFamily)
{
    const OftpIpv6Case& t = GetParam();
    if (!testsrv::Ipv6LoopbackAvailable())
        GTEST_SKIP() << "this system cannot listen on ::1 (no IPv6 on the loopback)";
    static std::unique_ptr<testsrv::FtpServer> server;
    if (!server) {
        server = testsrv::StartVsftpdIpv6();
        if (server)
            testsrv::WriteFile(server->Root() + "/six.txt", "six over IPv6\n");
    }
    if (!server)
        OMBREX_PEER_MISSING("vsftpd on ::1");
    static std::string dir = testsrv::MakeTempDir("ombrex-oftp-ipv6");
    const std::string local = dir + "/" + std::to_string(&t - kOftpIpv6Cases) + ".txt";
    bool putting = std::find(t.Args.begin(), t.Args.end(), "put") != t.Args.end();
    if (putting) {
        ASSERT_TRUE(testsrv::WriteFile(local, "up over IPv6\n"));
    }
    std::vector<std::string> args = {"--user", server->User(), "--password", server->Password()};
    for (std::string a : t.Args) {
        if (auto p = a.find("PORT"); p != std::string::npos)
            a.replace(p, 4, std::to_string(server->Port()));
        if (a == "LOCAL")
            a = local;
        args.push_back(a);
    }
    RunResult r = RunOftp(args);
    if (!t.Ok) {
        EXPECT_NE(r.Status, 0) << r.Err;
        return;
    }
    ASSERT_EQ(r.Status, 0) << r.Err;
    EXPECT_NE(r.Err.find(t.Stderr), std::string::npos) << r.Err;
    if (std::find(t.Args.begin(), t.Args.end(), "ls") != t.Args.end())
        EXPECT_NE(r.Out.find("six.txt"), std::string::npos) << r.Out;
    else if (putting)
        EXPECT_EQ(testsrv::ReadFile(server->LocalPath("/upload/six-up.txt")), "up over IPv6\n");
    else
        EXPECT_EQ(testsrv::ReadFile(local), "six over IPv6\n");
}

INSTANTIATE_TEST_SUITE_P(Vsftpd, OftpIpv6, testing::ValuesIn(kOftpIpv6Cases),
                         [](const testing::TestParamInfo<OftpIpv6Case>& i) { return "case" + std::to_string(i.index); });
