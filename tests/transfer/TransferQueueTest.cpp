// The transfer queue against real servers (a tree of nested folders both ways, compared with
// diff -r both ways; deletion; a server that takes two logins only; a full local disk) and
// against the scripted server (names that are no plain names; an upload resumed after its
// connection dropped, with REST + STOR and with APPE).
#include "ftp/FakeFtpServer.h"
#include "ftp/FtpClient.h"
#include "servers/FtpServers.h"
#include "servers/PeerPolicy.h"
#include "transfer/TransferQueue.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

using namespace transfer;

namespace {

// Runs the loop until Done holds; false after the deadline.
bool WaitFor(const std::function<bool()>& Done, int Ms = 120000)
{
    QElapsedTimer t;
    t.start();
    while (!Done()) {
        if (t.elapsed() > Ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

// Runs the queue until it reports that nothing is left.
bool RunQueue(TTransferQueue& Queue, int Ms = 240000)
{
    bool idle = false;
    Queue.OnIdle = [&idle] { idle = true; };
    Queue.Start();
    bool ok = WaitFor([&] { return idle; }, Ms);
    // Let the connections say QUIT before the queue goes.
    WaitFor([&] { return Queue.ConnectionCount() == 0; }, 5000);
    return ok;
}

// diff -r both ways; the output of a difference for the failure message.
std::string DiffBothWays(const std::string& A, const std::string& B, const std::string& Exclude)
{
    std::string out;
    for (auto [x, y] : {std::pair{A, B}, std::pair{B, A}}) {
        std::string cmd = "diff -r -x '" + Exclude + "' '" + x + "' '" + y + "' 2>&1";
        FILE* p = popen(cmd.c_str(), "r");
        char buf[4096];
        std::string text;
        while (std::size_t n = fread(buf, 1, sizeof buf, p))
            text.append(buf, n);
        int rc = pclose(p);
        if (rc != 0)
            out += "diff " + x + " " + y + ":\n" + text;
    }
    return out;
}

bool Exists(const std::string& Path)
{
    struct stat st {};
    return lstat(Path.c_str(), &st) == 0;
}

// The tree of the tests: nested and empty folders, names with blanks, a link loop, a link to
// another folder of the tree, many small files and one larger file.
void MakeTree(const std::string& Root, int SmallFiles, std::size_t BigSize)
{
    for (const char* d : {"", "/empty", "/with blank", "/deep", "/deep/l1", "/deep/l1/l2", "/deep/l1/l2/l3",
                          "/deep/l1/l2/empty leaf", "/many"})
        mkdir((Root + d).c_str(), 0755);
    testsrv::WriteFile(Root + "/top.txt", "line one\nline two\n");
    testsrv::WriteFile(Root + "/with blank/file with blank.bin", ftptest::Payload(777));
    testsrv::WriteFile(Root + "/deep/l1/l2/l3/leaf.bin", ftptest::Payload(4096));
    for (int i = 0; i < SmallFiles; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "/many/f%03d.bin", i);
        testsrv::WriteFile(Root + name, ftptest::Payload(std::size_t(i * 37 % 3000)));
    }
    testsrv::WriteFile(Root + "/big.bin", ftptest::Payload(BigSize));
    symlink("..", (Root + "/deep/l1/up").c_str());                // points up the tree: a loop
    symlink("deep/l1/l2/l3", (Root + "/to-l3").c_str());          // another folder: copied once
}

struct ServerCase {
    const char* Name;
    std::function<std::unique_ptr<testsrv::FtpServer>()> Start;
};

std::vector<ServerCase> Servers()
{
    return {{"vsftpd", [] { return testsrv::StartVsftpd(); }}, {"pyftpdlib", [] { return testsrv::StartPyftpdlib(); }}};
}

void Login(TTransferQueue& Queue, const testsrv::FtpServer& Server, bool Passive = true)
{
    std::string port = std::to_string(Server.Port()), user = Server.User(), password = Server.Password();
    Queue.SetConfigure([=](TFtpClient& Ftp) {
        Ftp.SetHostName("127.0.0.1");
        Ftp.SetPort(port);
        Ftp.SetUserName(user);
        Ftp.SetPassWord(password);
        Ftp.SetPassiveMode(Passive);
    });
}

int Count(const TTransferQueue& Queue, TItemState State)
{
    int n = 0;
    for (const TTransferItem* i : Queue.Items())
        n += i->State == State;
    return n;
}

std::string FailedItems(const TTransferQueue& Queue)
{
    std::string out;
    for (const TTransferItem* i : Queue.Items())
        if (i->State == TItemState::Failed || i->State == TItemState::Pending)
            out += std::string(ItemStateName(i->State)) + " " + i->Remote + ": " + i->Reply + "\n";
    return out;
}

} // namespace

// ---- whole trees against real servers ----

TEST(TransferQueueServers, TreeDownloadUploadDelete)
{
    for (const ServerCase& sc : Servers()) {
        SCOPED_TRACE(sc.Name);
        auto server = sc.Start();
        if (!server)
            OMBREX_PEER_MISSING(sc.Name);
        std::string tree = server->Root() + "/tree";
        MakeTree(tree, 200, 20u << 20);
        std::string local = testsrv::MakeTempDir("ombrex-queue");

        // Down, over three connections.
        {
            TTransferQueue queue;
            Login(queue, *server);
            queue.SetMaxConnections(3);
            queue.AddDownloadTree("/tree", local + "/down");
            ASSERT_TRUE(RunQueue(queue));
            EXPECT_EQ(Count(queue, TItemState::Failed), 0) << FailedItems(queue);
            EXPECT_EQ(Count(queue, TItemState::Pending), 0);
            EXPECT_EQ(queue.PeakConnections(), 3);
            // The loop is listed as skipped, the link to another folder is copied.
            int loops = 0;
            for (const TTransferItem* i : queue.Items())
                loops += i->State == TItemState::Skipped && i->Remote == "/tree/deep/l1/up";
            EXPECT_EQ(loops, 1);
            EXPECT_FALSE(Exists(local + "/down/deep/l1/up"));
            EXPECT_TRUE(Exists(local + "/down/empty"));
            EXPECT_TRUE(Exists(local + "/down/deep/l1/l2/empty leaf"));
            EXPECT_EQ(DiffBothWays(tree, local + "/down", "up"), "");
            TQueueProgress p = queue.Progress();
            EXPECT_EQ(p.DoneBytes, p.TotalBytes);
            EXPECT_GT(p.TotalBytes, std::int64_t(20u << 20));
            // Clearing the finished items leaves none of them, and nothing else.
            std::size_t before = queue.Items().size();
            int done = Count(queue, TItemState::Done), skipped = Count(queue, TItemState::Skipped);
            queue.RemoveFinished();
            EXPECT_EQ(queue.Items().size(), before - std::size_t(done + skipped));
            EXPECT_EQ(Count(queue, TItemState::Done) + Count(queue, TItemState::Skipped), 0);
        }

        // Up again into the writable folder, from the local copy of the tree with its
        // own link loop.
        symlink("..", (local + "/down/deep/l1/up").c_str());
        std::string remoteUp = server->WritableDir() == "/" ? "/up" : server->WritableDir() + "/up";
        {
            TTransferQueue queue;
            Login(queue, *server);
            queue.SetMaxConnections(2);
            queue.AddUploadTree(local + "/down", remoteUp);
            ASSERT_TRUE(RunQueue(queue));
            EXPECT_EQ(Count(queue, TItemState::Failed), 0) << FailedItems(queue);
            EXPECT_EQ(DiffBothWays(local + "/down", server->LocalPath(remoteUp), "up"), "");
            EXPECT_TRUE(Exists(server->LocalPath(remoteUp + "/deep/l1/l2/empty leaf")));
        }

        // And the uploaded tree deleted: links are deleted, not followed.
        symlink("../../many", server->LocalPath(remoteUp + "/deep/l1/to-many").c_str());
        {
            TTransferQueue queue;
            Login(queue, *server);
            queue.SetMaxConnections(2);
            queue.AddDeleteTree(remoteUp);
            ASSERT_TRUE(RunQueue(queue));
            EXPECT_EQ(Count(queue, TItemState::Failed), 0) << FailedItems(queue);
            EXPECT_FALSE(Exists(server->LocalPath(remoteUp)));
        }
        testsrv::RemoveTree(local);
    }
}

TEST(TransferQueueServers, ServerRefusingMoreLoginsKeepsTheQueueGoing)
{
    auto server = testsrv::StartPyftpdlib(false, 2);
    if (!server)
        OMBREX_PEER_MISSING("pyftpdlib");
    std::string tree = server->Root() + "/tree";
    mkdir(tree.c_str(), 0755);
    for (int i = 0; i < 40; ++i)
        testsrv::WriteFile(tree + "/f" + std::to_string(i), ftptest::Payload(std::size_t(1000 + i)));
    std::string local = testsrv::MakeTempDir("ombrex-421");
    TTransferQueue queue;
    Login(queue, *server);
    queue.SetMaxConnections(4);
    std::vector<std::string> log;
    queue.OnLog = [&log](const std::string& Line) { log.push_back(Line); };
    queue.AddDownloadTree("/tree", local + "/t");
    ASSERT_TRUE(RunQueue(queue));
    EXPECT_EQ(Count(queue, TItemState::Failed), 0) << FailedItems(queue);
    EXPECT_EQ(Count(queue, TItemState::Done), 41);
    EXPECT_EQ(queue.PeakConnections(), 2);
    bool refused = false;
    for (const auto& l : log)
        refused = refused || l.find("421") != std::string::npos;
    EXPECT_TRUE(refused);
    EXPECT_EQ(DiffBothWays(tree, local + "/t", "none"), "");
    testsrv::RemoveTree(local);
}

TEST(TransferQueueServers, ResumedUploadIsByteIdentical)
{
    for (const ServerCase& sc : Servers()) {
        SCOPED_TRACE(sc.Name);
        auto server = sc.Start();
        if (!server)
            OMBREX_PEER_MISSING(sc.Name);
        std::string local = testsrv::MakeTempDir("ombrex-resume");
        std::string data = ftptest::Payload(3u << 20);
        testsrv::WriteFile(local + "/r.bin", data);
        std::string remote = (server->WritableDir() == "/" ? "" : server->WritableDir()) + "/r.bin";
        // What a dropped connection leaves on the server: the first part of the file.
        testsrv::WriteFile(server->LocalPath(remote), data.substr(0, 1234567));
        chmod(server->LocalPath(remote).c_str(), 0666);   // vsftpd's anonymous user writes it
        TTransferQueue queue;
        Login(queue, *server);
        TBatchOptions options;
        options.Resume = true;
        queue.AddUploadFile(local + "/r.bin", remote, options);
        ASSERT_TRUE(RunQueue(queue));
        EXPECT_EQ(Count(queue, TItemState::Done), 1) << FailedItems(queue);
        EXPECT_TRUE(testsrv::ReadFile(server->LocalPath(remote)) == data);
        testsrv::RemoveTree(local);
    }
}

TEST(TransferQueueServers, FullLocalDiskStopsWithItemsPending)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "a small file system needs root to mount";
    auto server = testsrv::StartPyftpdlib();
    if (!server)
        OMBREX_PEER_MISSING("pyftpdlib");
    std::string tree = server->Root() + "/full";
    mkdir(tree.c_str(), 0755);
    for (int i = 0; i < 4; ++i)
        testsrv::WriteFile(tree + "/f" + std::to_string(i), ftptest::Payload(400u << 10));
    std::string mnt = testsrv::MakeTempDir("ombrex-small");
    if (mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=1m") != 0) {
        testsrv::RemoveTree(mnt);
        GTEST_SKIP() << "no tmpfs can be mounted here";
    }
    {
        TTransferQueue queue;
        Login(queue, *server);
        queue.SetMaxConnections(1);
        queue.AddDownloadTree("/full", mnt + "/full");
        ASSERT_TRUE(RunQueue(queue));
        EXPECT_NE(queue.StopReason().find("Local disk full"), std::string::npos) << queue.StopReason();
        EXPECT_EQ(Count(queue, TItemState::Failed), 0) << FailedItems(queue);
        EXPECT_EQ(Count(queue, TItemState::Done), 3);   // the folder and two files
        EXPECT_EQ(Count(queue, TItemState::Pending), 2);
    }
    umount(mnt.c_str());
    testsrv::RemoveTree(mnt);
}

// ---- the scripted server ----

TEST(TransferQueueScripted, NamesThatAreNoPlainNamesAreRefused)
{
    ftptest::FakeFtpServer fake;
    std::string listing = "-rw-r--r-- 1 u g 5 Jan 01 00:00 good.txt\r\n"
                          "drwxr-xr-x 1 u g 0 Jan 01 00:00 .\r\n"
                          "drwxr-xr-x 1 u g 0 Jan 01 00:00 ..\r\n"
                          "-rw-r--r-- 1 u g 5 Jan 01 00:00 ..\r\n"
                          "-rw-r--r-- 1 u g 5 Jan 01 00:00 ../../etc/passwd\r\n"
                          "drwxr-xr-x 1 u g 0 Jan 01 00:00 /\r\n"
                          "-rw-r--r-- 1 u g 5 Jan 01 00:00 cr\rname\r\n"
                          "-rw-r--r-- 1 u g 5 Jan 01 00:00 nul"
                          + std::string("\0name", 5) + "\r\n";
    fake.Reply("220 fake")
        .Expect("USER u").Reply("331 password")
        .Expect("PASS p").Reply("230 in")
        .Expect("PWD").Reply("257 \"/\" is the current directory")
        .Expect("CWD /d").Reply("250 ok")
        .Expect("PWD").Reply("257 \"/d\"")
        .Expect("PASV").PasvReply()
        .Expect("LIST").DataAccept().Reply("150 listing").DataSend(listing).DataClose().Reply("226 done")
        .Expect("TYPE I").Reply("200 binary")
        .Expect("PASV").PasvReply()
        .Expect("RETR /d/good.txt").DataAccept().Reply("150 sending").DataSend("hello").DataClose().Reply("226 done")
        .Expect("QUIT").Reply("221 bye");
    fake.Start();
    std::string local = testsrv::MakeTempDir("ombrex-names");
    TTransferQueue queue;
    queue.SetMaxConnections(1);
    std::string port = std::to_string(fake.Port());
    queue.SetConfigure([port](TFtpClient& Ftp) {
        Ftp.SetHostName("127.0.0.1");
        Ftp.SetPort(port);
        Ftp.SetUserName("u");
        Ftp.SetPassWord("p");
        Ftp.SetPassiveMode(true);
    });
    queue.AddDownloadTree("/d", local + "/d");
    ASSERT_TRUE(RunQueue(queue, 30000));
    ASSERT_TRUE(WaitFor([&] { return fake.Done(); }, 10000));
    EXPECT_EQ(fake.Errors(), std::vector<std::string>{});
    EXPECT_EQ(Count(queue, TItemState::Done), 2);     // the folder and good.txt
    EXPECT_EQ(Count(queue, TItemState::Failed), 5);   // "..", the path, "/", CR and NUL
    for (const TTransferItem* i : queue.Items()) {
        if (i->State == TItemState::Failed) {
            EXPECT_NE(i->Reply.find("Refused remote name"), std::string::npos) << i->Reply;
        }
    }
    EXPECT_EQ(testsrv::ReadFile(local + "/d/good.txt"), "hello");
    // Nothing but the one good file was written.
    FILE* p = popen(("find '" + local + "' | sort").c_str(), "r");
    char buf[4096];
    std::string found;
    while (std::size_t n = fread(buf, 1, sizeof buf, p))
        found.append(buf, n);
    pclose(p);
    EXPECT_EQ(found, local + "\n" + local + "/d\n" + local + "/d/good.txt\n");
    testsrv::RemoveTree(local);
}

TEST(TransferQueueScripted, UploadResumedAfterDroppedConnection)
{
    struct Row {
        const char* Name;
        bool RestRefused;
    };
    const Row rows[] = {{"REST then STOR", false}, {"REST refused, APPE", true}};
    const std::string data = ftptest::Payload(300000);
    const int cut = 100000;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.Name);
        std::string local = testsrv::MakeTempDir("ombrex-drop");
        testsrv::WriteFile(local + "/f.bin", data);
        ftptest::FakeFtpServer fake;
        fake.Reply("220 fake")
            .Expect("USER u").Reply("331 password")
            .Expect("PASS p").Reply("230 in")
            .Expect("PWD").Reply("257 \"/\"")
            .Expect("TYPE I").Reply("200 binary")
            .Expect("PASV").PasvReply()
            .DataAccept()
            .Expect("STOR /f.bin").Reply("150 go")
            .DataReceive(cut)
            .AcceptAgain()   // the connection drops here
            .Reply("220 fake")
            .Expect("USER u").Reply("331 password")
            .Expect("PASS p").Reply("230 in")
            .Expect("PWD").Reply("257 \"/\"")
            .Expect("SIZE /f.bin").Reply("213 " + std::to_string(cut))
            .Expect("TYPE I").Reply("200 binary")
            .Expect("PASV").PasvReply()
            .Expect("REST " + std::to_string(cut));
        if (r.RestRefused)
            fake.Reply("502 REST not implemented for STOR").Expect("PASV").PasvReply().DataAccept().Expect("APPE /f.bin");
        else
            fake.Reply("350 restarting").DataAccept().Expect("STOR /f.bin");
        fake.Reply("150 go").DataReceiveAll().Reply("226 stored").Expect("QUIT").Reply("221 bye");
        fake.Start();

        TTransferQueue queue;
        queue.SetMaxConnections(1);
        std::string port = std::to_string(fake.Port());
        queue.SetConfigure([port](TFtpClient& Ftp) {
            Ftp.SetHostName("127.0.0.1");
            Ftp.SetPort(port);
            Ftp.SetUserName("u");
            Ftp.SetPassWord("p");
            Ftp.SetPassiveMode(true);
        });
        queue.AddUploadFile(local + "/f.bin", "/f.bin");
        ASSERT_TRUE(RunQueue(queue, 30000));
        ASSERT_EQ(Count(queue, TItemState::Failed), 1);
        // The failed item stays listed with the reason, and continues where it broke.
        EXPECT_FALSE(queue.Items()[0]->Reply.empty());
        queue.RetryFailed(true);
        ASSERT_TRUE(RunQueue(queue, 30000));
        ASSERT_TRUE(WaitFor([&] { return fake.Done(); }, 10000));
        EXPECT_EQ(fake.Errors(), std::vector<std::string>{});
        EXPECT_EQ(Count(queue, TItemState::Done), 1) << FailedItems(queue);
        EXPECT_TRUE(fake.DataReceived() == data) << fake.DataReceived().size();
        testsrv::RemoveTree(local);
    }
}
