// The started program against real servers (vsftpd anonymous, pyftpdlib with a user and
// password): the connect dialog filled through its widgets, the parsed listing with names
// that hold blanks and a size past 4 GiB, navigation by double-click, parent, history and
// refresh, a dropped server, a refused login and an unknown host.
#include "AppTestUtil.h"
#include "servers/PeerPolicy.h"

#include "dialogs/ConnectForm.h"
#include "platform/MessageWindow.h"
#include "servers/FtpServers.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <QTreeView>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

using namespace apptest;

namespace {

// The tree both servers serve: names with blanks, a directory with a sub-directory, a
// sparse file past 4 GiB and a symbolic link.
void MakeTree(const std::string& root)
{
    ASSERT_EQ(::mkdir((root + "/pub").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((root + "/pub/inner").c_str(), 0755), 0);
    ASSERT_TRUE(testsrv::WriteFile(root + "/pub/readme.txt", "read me\n"));
    ASSERT_TRUE(testsrv::WriteFile(root + "/my file.txt", "one blank\n"));
    ASSERT_TRUE(testsrv::WriteFile(root + "/two  blanks   here.txt", "several\n"));
    int fd = ::open((root + "/big.iso").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, 5368709120LL), 0);
    ::close(fd);
    ASSERT_EQ(::symlink("my file.txt", (root + "/link").c_str()), 0);
}

// Stops a vsftpd together with its session processes, which run in sessions of their own
// and outlive the listener: they are the processes whose command line names this server's
// configuration file, all forked from the one process the test started.
void StopVsftpdWithSessions(testsrv::FtpServer& server)
{
    // The configuration lies beside the served folder "root".
    const std::string& root = server.Root();
    const std::string conf = root.substr(0, root.rfind('/')) + "/vsftpd.conf";
    std::vector<pid_t> sessions;
    if (DIR* proc = ::opendir("/proc")) {
        while (dirent* entry = ::readdir(proc)) {
            pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
            if (pid <= 0)
                continue;
            std::ifstream in("/proc/" + std::string(entry->d_name) + "/cmdline", std::ios::binary);
            std::string cmdline((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            if (cmdline.find(conf) != std::string::npos)
                sessions.push_back(pid);
        }
        ::closedir(proc);
    }
    for (pid_t pid : sessions)
        ::kill(pid, SIGKILL);
    server.Stop();
}

} // namespace

class SessionServerTest : public RemoteProgramTest {
protected:
    // Types the site into the connect dialog and presses "Connect".
    void ConnectTo(const QString& host, const QString& port, const QString& user, const QString& password,
                   const QString& dir, bool passive)
    {
        Forms->ConnectForm->OnShowModal = [=, this] {
            TConnectForm& form = *Forms->ConnectForm;
            form.show();
            for (auto [edit, text] : {std::pair{form.txtServerName, host}, std::pair{form.txtPort, port},
                                      std::pair{form.txtUserName, user}, std::pair{form.txtPassWord, password},
                                      std::pair{form.txtRemoteDir, dir}}) {
                edit->selectAll();
                QTest::keyClick(edit, Qt::Key_Backspace);
                QTest::keyClicks(edit, text);
            }
            if (form.chkPassive->isChecked() != passive)
                QTest::mouseClick(form.chkPassive, Qt::LeftButton);
            QTest::keyClick(form.txtServerName, Qt::Key_Return);   // Enter presses "Connect"
            return form.result();
        };
        QTest::mouseClick(Main().btnConnect, Qt::LeftButton);
    }

    void ConnectTo(const testsrv::FtpServer& server, const QString& dir, bool passive)
    {
        ConnectTo("127.0.0.1", QString::number(server.Port()), QString::fromStdString(server.User()),
                  QString::fromStdString(server.Password()), dir, passive);
    }

    const TFileListItem& Item(const QString& caption)
    {
        int row = static_cast<int>(Captions().indexOf(caption));
        EXPECT_GE(row, 0) << caption.toStdString();
        return Main().lvRemoteDir->Model()->Item(std::max(row, 0));
    }

    // Double-clicks the row with this caption as a user does.
    void DoubleClick(const QString& caption)
    {
        QTreeView* view = Main().lvRemoteDir->ReportView();
        view->doItemsLayout();
        int row = static_cast<int>(Captions().indexOf(caption));
        ASSERT_GE(row, 0) << caption.toStdString();
        QModelIndex index = Main().lvRemoteDir->Model()->index(row, 0);
        view->scrollTo(index);
        QRect rect = view->visualRect(index);
        ASSERT_FALSE(rect.isEmpty());
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, rect.center());
        QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, rect.center());
    }
};

TEST_F(SessionServerTest, VsftpdBrowseNavigateAndLoseTheServer)
{
    auto server = testsrv::StartVsftpd();
    if (!server)
        OMBREX_PEER_MISSING("vsftpd");
    MakeTree(server->Root());
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&Main()));

    ConnectTo(*server, "/", true);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Main().lblCurrentServer->text(), "127.0.0.1");
    EXPECT_EQ(Main().lblCurrentRemoteDir->text(), "/");
    EXPECT_EQ(Captions(), (QStringList{"..", "pub", "upload", "big.iso", "link", "my file.txt", "two  blanks   here.txt"}));
    EXPECT_EQ(Item("big.iso").SubItems.mid(0, 3), (QStringList{"5368709120", ".iso file", "-rw-r--r--"}));
    EXPECT_EQ(Item("big.iso").SubItems.value(3).size(), 16);   // "YYYY-MM-DD HH:MM"
    EXPECT_EQ(Item("pub").SubItems.value(1), "Directory");
    EXPECT_EQ(Item("pub").ImageIndex, 4);
    EXPECT_EQ(Item("my file.txt").SubItems.value(0), "10");
    // The link is an entry, shown with its target; nothing but the "total" line is reported.
    EXPECT_TRUE(Item("link").SubItems.value(1).endsWith(" -> my file.txt")) << Item("link").SubItems.value(1).toStdString();
    EXPECT_TRUE(Lines(Main().txtUserLog).filter("!ERROR: Invalid line in directory content: lrwxrwxrwx").isEmpty());

    // Sorted by size, the big file comes last and ".." and the directories stay first.
    Main().lvRemoteDirColumnClick(1);
    EXPECT_EQ(Captions(),
              (QStringList{"..", "pub", "upload", "two  blanks   here.txt", "my file.txt", "link", "big.iso"}));
    Main().lvRemoteDirColumnClick(0);

    DoubleClick("pub");
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Main().lblCurrentRemoteDir->text(), "/pub");
    EXPECT_EQ(Captions(), (QStringList{"..", "inner", "readme.txt"}));

    DoubleClick("..");
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Main().lblCurrentRemoteDir->text(), "/");

    // History, newest first: "/", "/pub", "/", "/", and the first "/".
    QComboBox* history = Main().cmbRemoteDirHistory;
    ASSERT_GE(history->count(), 3);
    EXPECT_EQ(history->itemText(0), "/");
    EXPECT_EQ(history->itemText(1), "/pub");
    history->setCurrentIndex(1);
    emit history->activated(1);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Main().lblCurrentRemoteDir->text(), "/pub");

    ASSERT_TRUE(testsrv::WriteFile(server->Root() + "/pub/new file.txt", "new\n"));
    QTest::mouseClick(Main().btnRefresh, Qt::LeftButton);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Captions(), (QStringList{"..", "inner", "new file.txt", "readme.txt"}));

    Main().btnUpClick();
    ASSERT_TRUE(WaitIdle());
    Main().btnHomeClick();
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Main().lblCurrentRemoteDir->text(), "/");
    EXPECT_TRUE(MessageBoxes.empty());
    EXPECT_TRUE(Boxes.empty());

    // The server goes away.
    StopVsftpdWithSessions(*server);
    ASSERT_TRUE(PumpUntil([&] { return !Main().ControlConnectionOpen(); }));
    PumpUntil([] { return false; }, 200);
    EXPECT_EQ(MessageBoxes, (std::vector<std::pair<QString, QString>>{{"FTP Warning", "Server close control connection."}}));
    EXPECT_EQ(Main().lvRemoteDir->Model()->Count(), 0);
    EXPECT_TRUE(Main().CommandQueue.isEmpty());
    EXPECT_EQ(Main().lblCurrentServer->text(), "Not connected");
    EXPECT_TRUE(Main().btnConnect->isEnabled());
    EXPECT_TRUE(Main().Connect1->isEnabled());
    for (QWidget* control : {static_cast<QWidget*>(Main().btnDisconnect), static_cast<QWidget*>(Main().btnRefresh),
                             static_cast<QWidget*>(Main().btnDownload), static_cast<QWidget*>(Main().btnUpload),
                             static_cast<QWidget*>(Main().btnHome), static_cast<QWidget*>(Main().btnUp),
                             static_cast<QWidget*>(Main().btnRemoveFile), static_cast<QWidget*>(Main().btnMKDir),
                             static_cast<QWidget*>(Main().btnRename), static_cast<QWidget*>(Main().btnSendCustomCmd),
                             static_cast<QWidget*>(Main().btnCHMOD), static_cast<QWidget*>(Main().lvRemoteDir),
                             static_cast<QWidget*>(Main().cmbRemoteDirHistory), static_cast<QWidget*>(Main().btnAbort)})
        EXPECT_FALSE(control->isEnabled()) << control->objectName().toStdString();
    EXPECT_FALSE(Main().Disconnect1->isEnabled());
}

TEST_F(SessionServerTest, VsftpdActiveMode)
{
    auto server = testsrv::StartVsftpd();
    if (!server)
        OMBREX_PEER_MISSING("vsftpd");
    MakeTree(server->Root());
    ConnectTo(*server, "/pub", false);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Captions(), (QStringList{"..", "inner", "readme.txt"}));
    EXPECT_TRUE(UserLogHas(" FTP: > CWD /pub"));
    EXPECT_FALSE(Lines(Main().txtUserLog).filter(" FTP: > PORT ").isEmpty());
}

TEST_F(SessionServerTest, Ipv6AddressWithItsPortInTheServerField)
{
    if (!testsrv::Ipv6LoopbackAvailable())
        GTEST_SKIP() << "this system cannot listen on ::1 (no IPv6 on the loopback)";
    auto server = testsrv::StartVsftpdIpv6();
    if (!server)
        OMBREX_PEER_MISSING("vsftpd on ::1");
    MakeTree(server->Root());
    // The port typed with the address wins over the Port field.
    ConnectTo("[::1]:" + QString::number(server->Port()), "21", QString::fromStdString(server->User()),
              QString::fromStdString(server->Password()), "/pub", true);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Captions(), (QStringList{"..", "inner", "readme.txt"}));
    EXPECT_TRUE(UserLogHas(" FTP: > EPSV"));
    EXPECT_TRUE(Lines(Main().txtUserLog).filter(" FTP: > PASV").isEmpty());
}

TEST_F(SessionServerTest, PyftpdlibWithUserAndPassword)
{
    auto server = testsrv::StartPyftpdlib();
    if (!server)
        OMBREX_PEER_MISSING("pyftpdlib");
    MakeTree(server->Root());
    ConnectTo(*server, "/", true);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Main().lblCurrentRemoteDir->text(), "/");
    QStringList captions = Captions();
    captions.removeAll("link");   // pyftpdlib may list the link's target in its place
    EXPECT_EQ(captions, (QStringList{"..", "pub", "big.iso", "my file.txt", "two  blanks   here.txt"}));
    EXPECT_EQ(Item("big.iso").SubItems.value(0), "5368709120");
    EXPECT_EQ(Item("two  blanks   here.txt").SubItems.value(1), ".txt file");

    DoubleClick("pub");
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Main().lblCurrentRemoteDir->text(), "/pub");
    DoubleClick("inner");
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Main().lblCurrentRemoteDir->text(), "/pub/inner");
    EXPECT_EQ(Captions(), QStringList{".."});
    DoubleClick("..");
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Main().lblCurrentRemoteDir->text(), "/pub");

    // Disconnect: QUIT, no warning, back to "Not connected".
    QTest::mouseClick(Main().btnDisconnect, Qt::LeftButton);
    ASSERT_TRUE(PumpUntil([&] { return !Main().ControlConnectionOpen() && Main().FtpClient1->State() == fcsReady; }));
    EXPECT_TRUE(MessageBoxes.empty());
    EXPECT_TRUE(Boxes.empty());
    EXPECT_EQ(Main().lblCurrentServer->text(), "Not connected");
    EXPECT_TRUE(Main().btnConnect->isEnabled());
    EXPECT_TRUE(UserLogHas(" FTP: > QUIT"));

    // And again, into a directory given in the dialog.
    ConnectTo(*server, "/pub/inner", true);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Main().lblCurrentRemoteDir->text(), "/pub/inner");
}

TEST_F(SessionServerTest, PyftpdlibWrongPasswordIsReported)
{
    auto server = testsrv::StartPyftpdlib();
    if (!server)
        OMBREX_PEER_MISSING("pyftpdlib");
    ConnectTo("127.0.0.1", QString::number(server->Port()), "tester", "wrong", "/", true);
    ASSERT_TRUE(PumpUntil([&] { return Main().FtpClient1->State() == fcsReady && Main().CommandQueue.isEmpty(); }));
    PumpUntil([] { return false; }, 300);
    EXPECT_FALSE(Lines(Main().txtUserLog).filter("!ERROR: FTP protocol error reponse: 530 :530").isEmpty());
    EXPECT_FALSE(Main().DebugLines.filter("Error From Ombrex: ERROR 530: 530").isEmpty());
    EXPECT_TRUE(MessageBoxes.empty());   // a reply code other than 426, 502, 550, 553 shows no box
}

TEST_F(SessionServerTest, UnknownHostIsReportedInABox)
{
    ConnectTo("no-such-host.invalid", "ftp", "anonymous", "x@example.com", "/", true);
    ASSERT_TRUE(PumpUntil([&] { return !MessageBoxes.empty(); }, 30000));
    EXPECT_EQ(MessageBoxes,
              (std::vector<std::pair<QString, QString>>{{"FTP Error", "Can't connect with FTP server: Host not found"}}));
    EXPECT_TRUE(UserLogHas("!ERROR: Host not found"));
    PumpUntil([] { return false; }, 200);
    // The change of directory after the failed connect finds no connection.
    EXPECT_TRUE(UserLogHas("!ERROR: CAN'T RUN COMMAND: NOT CONNECTED"));
    EXPECT_TRUE(Main().CommandQueue.isEmpty());
}
