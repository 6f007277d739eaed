// The session controller and the remote pane of the started program against a scripted
// FTP server: the documented request sequences, every queue code, refusals (the entry
// leaves the queue whole), the 426 recovery, lost connections, error boxes, the history,
// and the remote list (parsing, order, labels, navigation).
#include "FakeServerSession.h"

#include "app/ByteText.h"
#include "app/CommandQueue.h"
#include "app/ListingParser.h"
#include "dialogs/ConnectForm.h"
#include "dialogs/TransferStatusForm.h"
#include "ftp/FakeFtpServer.h"
#include "platform/MessageWindow.h"
#include "socket/SocketTestUtil.h"

#include <QApplication>
#include <QCoreApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

using ftptest::FakeFtpServer;
using namespace apptest;

namespace {

const std::string kListing =
    "total 4\r\n"
    "drwxr-xr-x 2 joe joe 4096 Jan 10 12:00 pub\r\n"
    "-rw-r--r-- 1 joe joe 1234 Jan 10 2000 my file.txt\r\n"
    "-rw-r--r-- 1 joe joe 3000000000 Jan 10 2000 big.iso\r\n"
    "lrwxrwxrwx 1 joe joe 7 Jan 10 2000 link -> target\r\n";

FakeFtpServer& List(FakeFtpServer& s)
{
    return apptest::List(s, kListing);
}

// The session into /pub, listing kListing.
FakeFtpServer& Session(FakeFtpServer& s)
{
    return apptest::Session(s, kListing);
}

std::vector<std::string> SessionTranscript(const std::string& dir = "/pub")
{
    return {"USER joe", "PASS pw", "FEAT", "CWD " + dir, "PWD", "PASV", "LIST", "PWD", "PASV", "LIST"};
}

// Leaves a file at path with exactly this mode, as an earlier run might have.
bool WriteWithMode(const QString& path, mode_t mode)
{
    int fd = ::open(path.toLocal8Bit().constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0)
        return false;
    bool ok = ::fchmod(fd, mode) == 0 && ::write(fd, "old", 3) == 3;
    ::close(fd);
    return ok;
}

} // namespace

class SessionTest : public FakeServerProgramTest {
protected:
    void SetUp() override
    {
        FakeServerProgramTest::SetUp();
        Main().OnShellOpen = [this](const QString& path) { Opened << path; };
    }

    // Fills the connect dialog through its widgets and presses "Connect".
    void ConnectTo(const FakeFtpServer& s, const QString& dir, bool passive = true)
    {
        Forms->ConnectForm->OnShowModal = [this, port = s.Port(), dir, passive] {
            TConnectForm& form = *Forms->ConnectForm;
            form.show();
            for (auto [edit, text] : {std::pair{form.txtServerName, QStringLiteral("127.0.0.1")},
                                      std::pair{form.txtPort, QString::number(port)},
                                      std::pair{form.txtUserName, QStringLiteral("joe")},
                                      std::pair{form.txtPassWord, QStringLiteral("pw")},
                                      std::pair{form.txtRemoteDir, dir}}) {
                edit->clear();
                QTest::keyClicks(edit, text);
            }
            if (form.chkPassive->isChecked() != passive)
                QTest::mouseClick(form.chkPassive, Qt::LeftButton);
            QTest::mouseClick(form.btnOK, Qt::LeftButton);
            return form.result();
        };
        QTest::mouseClick(Main().btnConnect, Qt::LeftButton);
    }

    // Connects with the standard session and waits until it is idle.
    void ConnectSession(FakeFtpServer& s, const QString& dir = QStringLiteral("/pub"))
    {
        s.Start();
        ConnectTo(s, dir);
        ASSERT_TRUE(WaitIdle());
        ASSERT_EQ(Done.size(), 6u);
        Done.clear();
    }

    bool WaitDone(std::size_t count, int ms = 8000)
    {
        return PumpUntil([&] { return Done.size() >= count; }, ms);
    }

    bool DebugHas(const QString& line) { return Main().DebugLines.contains(line); }

    void Select(int row)
    {
        Main().lvRemoteDir->SelectionModel()->setCurrentIndex(
            Main().lvRemoteDir->Model()->index(row, 0),
            QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    }

    int RowOf(const QString& caption)
    {
        return static_cast<int>(Captions().indexOf(caption));
    }

    QStringList Opened;
};

// ---- the documented sequences ----

TEST_F(SessionTest, ConnectWithARemoteDirectoryRunsTheDocumentedRequests)
{
    FakeFtpServer s;
    Session(s);
    s.Start();
    ConnectTo(s, "/pub");
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Done, (std::vector<std::pair<int, int>>{{5, 0}, {4, 0}, {31, 0}, {7, 0}, {31, 0}, {7, 0}}));
    EXPECT_EQ(s.Transcript(), SessionTranscript());
    EXPECT_TRUE(s.Errors().empty());

    EXPECT_EQ(Main().lblCurrentServer->text(), "127.0.0.1");
    EXPECT_EQ(Main().lblCurrentRemoteDir->text(), "/pub");
    EXPECT_EQ(Main().CurrentRemoteDir, "/pub");
    QComboBox* history = Main().cmbRemoteDirHistory;
    ASSERT_EQ(history->count(), 3);   // the same directory may stand twice
    EXPECT_EQ(history->itemText(0), "/pub");
    EXPECT_EQ(history->itemText(1), "/pub");
    EXPECT_EQ(history->itemText(2), "/");
    // The link is an entry now, shown with its target.
    EXPECT_EQ(Captions(), (QStringList{"..", "pub", "big.iso", "link", "my file.txt"}));
    EXPECT_EQ(Main().lvRemoteDir->Model()->Item(RowOf("link")).SubItems.value(1), "Link -> target");

    for (const char* line : {" STATUS: Connecting to 127.0.0.1...", " STATUS: OK, connected. Logining...",
                             " STATUS: OK. Logined", " STATUS: Setting current directory... ",
                             " STATUS: OK. Directory changed", " STATUS: Getting current directory... ",
                             " STATUS: Getting file list... ", " STATUS: OK. File list getted",
                             "!ERROR: Invalid line in directory content: total 4",
                             " FTP: > CWD /pub"})
        EXPECT_TRUE(UserLogHas(line)) << line;
    EXPECT_TRUE(DebugHas("From Ombrex: Connecting Started"));
    EXPECT_TRUE(DebugHas("From Ombrex: Server features: none announced"));   // FEAT got 500
    EXPECT_TRUE(DebugHas("From Ombrex: TMainWindow::FtpClient1SessionConnected: ERR=0"));
    EXPECT_TRUE(DebugHas("From Ombrex: TMainWindow::FtpClient1RequestDone:"));
    EXPECT_TRUE(DebugHas("LastResponse=226 Done"));

    // Connected and idle: everything that needs the server is enabled, Connect is not.
    EXPECT_TRUE(Main().btnDisconnect->isEnabled());
    EXPECT_TRUE(Main().btnRefresh->isEnabled());
    EXPECT_TRUE(Main().lvRemoteDir->isEnabled());
    EXPECT_TRUE(Main().Disconnect1->isEnabled());
    EXPECT_FALSE(Main().btnConnect->isEnabled());
    EXPECT_FALSE(Main().Connect1->isEnabled());
    EXPECT_FALSE(Main().btnAbort->isEnabled());
    EXPECT_TRUE(MessageBoxes.empty());
    EXPECT_TRUE(Boxes.empty());
}

TEST_F(SessionTest, TheListingFileIsOnlyForItsOwner)
{
    // A file from an earlier run, readable by everyone, is narrowed before it is reused.
    ASSERT_TRUE(WriteWithMode(Main().ListTempPath, 0644));
    FakeFtpServer s;
    Session(s);
    ConnectSession(s);
    struct stat st {};
    ASSERT_EQ(::stat(Main().ListTempPath.toLocal8Bit().constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_TRUE(S_ISREG(st.st_mode));
}

TEST_F(SessionTest, TheClientIsPlacedWithItsSettingsAndEvents)
{
    const TFtpClient& client = *Main().FtpClient1;
    EXPECT_EQ(client.Timeout(), 15);
    EXPECT_FALSE(client.MultiThreaded());
    EXPECT_EQ(client.Port(), "ftp");
    EXPECT_FALSE(client.DisplayFileFlag());
    EXPECT_TRUE(client.Binary());
    EXPECT_EQ(client.ShareMode(), ftpShareExclusive);
    EXPECT_EQ(client.Options(), TFtpOptions{ftpAcceptLF});
    EXPECT_EQ(client.ConnectionType(), ftpDirect);
    for (bool bound : {bool(client.OnDisplay), bool(client.OnProgress), bool(client.OnSessionConnected),
                       bool(client.OnSessionClosed), bool(client.OnRequestDone), bool(client.OnStateChange)})
        EXPECT_TRUE(bound);
    EXPECT_FALSE(client.OnCommand);
    EXPECT_FALSE(client.OnBgException);
}

TEST_F(SessionTest, ConnectCancelledQueuesNothing)
{
    QTest::mouseClick(Main().btnConnect, Qt::LeftButton);   // the fixture's dialog cancels
    EXPECT_TRUE(Main().CommandQueue.isEmpty());
    EXPECT_FALSE(Main().ControlConnectionOpen());
}

// ---- the dispatcher ----

TEST_F(SessionTest, InvalidCodesAreLoggedAndTheNextEntryRuns)
{
    FakeFtpServer s;
    Pwd(Session(s), "/pub");
    ConnectSession(s);
    Main().CommandQueue = {"4", "77", "5"};
    Main().RunQueue();
    ASSERT_TRUE(WaitIdle());
    EXPECT_TRUE(DebugHas("Error From Ombrex: Invalid stack command 4"));
    EXPECT_TRUE(DebugHas("Error From Ombrex: Invalid stack command 77"));
    EXPECT_EQ(s.Transcript().back(), "PWD");
    EXPECT_EQ(Done, (std::vector<std::pair<int, int>>{{31, 0}}));
}

TEST_F(SessionTest, EmptyQueueRunsNothing)
{
    Main().RunQueue();
    EXPECT_TRUE(Main().DebugLines.isEmpty());
}

TEST_F(SessionTest, EverySingleCommandCodeSendsItsCommand)
{
    FakeFtpServer s;
    Session(s)
        .Expect("TYPE A").Reply("200 Type set to A")
        .Expect("TYPE I").Reply("200 Type set to I")
        .Expect("MKD new dir").Reply("257 \"/pub/new dir\" created")
        .Expect("RNFR old name").Reply("350 Ready")
        .Expect("RNTO new name").Reply("250 Renamed")
        .Expect("DELE caf\xe9 menu.txt").Reply("250 Deleted")
        .Expect("RMD gone").Reply("250 Removed")
        .Expect("SITE CHMOD 755 index.html").Reply("200 Mode changed");
    List(s);   // after MKD
    List(s);   // after RNTO
    ConnectSession(s);
    TMainWindow& w = Main();
    w.AppendCommand(qcType, {QueueTypeArg(false)});
    w.AppendCommand(qcType, {QueueTypeArg(true)});
    w.AppendCommand(qcMkd, {"new dir"});
    w.AppendCommand(qcRename, {"old name", "new name"});
    w.AppendCommand(qcDele, {TextFromBytes("caf\xe9 menu.txt")});   // bytes as listed
    w.AppendCommand(qcRmd, {"gone"});
    w.AppendCommand(qcRaw, {"SITE CHMOD 755 index.html"});
    w.RunQueueIfReady();
    ASSERT_TRUE(WaitIdle());
    std::vector<std::string> expected = SessionTranscript();
    for (const char* line : {"TYPE A", "TYPE I", "MKD new dir", "RNFR old name", "RNTO new name",
                             "DELE caf\xe9 menu.txt", "RMD gone", "SITE CHMOD 755 index.html", "PASV", "LIST",
                             "PASV", "LIST"})
        expected.push_back(line);
    EXPECT_EQ(s.Transcript(), expected);
    EXPECT_TRUE(s.Errors().empty());
    EXPECT_EQ(Done, (std::vector<std::pair<int, int>>{{36, 0}, {36, 0}, {21, 0}, {25, 0}, {24, 0}, {22, 0},
                                                      {32, 0}, {7, 0}, {7, 0}}));
    for (const char* line : {" STATUS: OK. Directory created", " STATUS: OK. Renamed", " STATUS: OK. Removed",
                             " STATUS: OK. Executed"})
        EXPECT_TRUE(UserLogHas(line)) << line;
    EXPECT_TRUE(w.FtpClient1->Binary());
}

TEST_F(SessionTest, EntriesThatStartNothingRunAtOnce)
{
    FakeFtpServer s;
    Pwd(Session(s), "/pub");
    ConnectSession(s);
    Main().AppendCommand(qcSetFlag, {"0", "11"});
    Main().AppendCommand(qcOpenLocal, {"/tmp/some file.txt"});
    Main().AppendCommand(qcNone);
    Main().AppendCommand(qcSetFlag, {"3", "7"});   // another flag: logged only
    Main().AppendCommand(qcPwd);
    Main().RunQueue();
    EXPECT_TRUE(Main().CommandQueue.isEmpty());   // all but PWD ran within one call
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Main().ExistingFileDecision, 11);
    EXPECT_EQ(Opened, QStringList{"/tmp/some file.txt"});
    EXPECT_TRUE(DebugHas("From Ombrex: Flag 0 <= 11"));
    EXPECT_TRUE(DebugHas("From Ombrex: Flag 3 <= 7"));
    EXPECT_EQ(s.Transcript().back(), "PWD");
}

struct NotConnectedRow {
    const char* what;
    QStringList entry;
};

TEST_F(SessionTest, NotConnectedDropsEachEntryWithItsArguments)
{
    const NotConnectedRow rows[] = {
        {"cwd", {"6", "/x"}},
        {"rename", {"15", "old", "new"}},
        {"download", {"8", "a", "/tmp/a", "5"}},
        {"type", {"10", "I"}},
        {"flag", {"1001", "0", "10"}},
        {"raw", {"100", "NOOP"}},
        {"invalid", {"77"}},
    };
    for (const NotConnectedRow& row : rows) {
        SCOPED_TRACE(row.what);
        Main().CommandQueue = row.entry + QStringList{"6", "/next", "1"};
        Main().RunQueue();
        // Only the refused entry went; the queue stops there until the next action.
        EXPECT_EQ(Main().CommandQueue, (QStringList{"6", "/next", "1"}));
        EXPECT_EQ(Lines(Main().txtUserLog).last(), "!ERROR: CAN'T RUN COMMAND: NOT CONNECTED");
        EXPECT_EQ(Main().DebugLines.last(),
                  "Error From Ombrex: Invalid FtpClient state for run command: not connected");
    }
    EXPECT_EQ(Main().ExistingFileDecision, -1);
}

TEST_F(SessionTest, ARefusedEntryLeavesWholeAndTheQueueGoesOn)
{
    FakeFtpServer s;
    Pwd(Session(s), "/pub");
    ConnectSession(s);
    Main().CommandQueue = {"6", "", "5"};
    try {
        Main().RunQueue();
        ADD_FAILURE() << "no refusal";
    } catch (const FtpException& e) {
        EXPECT_STREQ(e.what(), "HostDirName emtpy");
    }
    EXPECT_TRUE(Main().CommandQueue.isEmpty());   // the CWD went whole, PWD started
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(s.Transcript().back(), "PWD");
    EXPECT_FALSE(DebugHas("Error From Ombrex: Invalid stack command "));
}

TEST_F(SessionTest, ARefusalInsideACompletionReachesTheErrorBox)
{
    // An empty remote directory in the connect dialog: the CWD after the login is refused.
    FakeFtpServer s;
    Login(s);
    Pwd(s, "/");
    List(s);
    s.Start();
    ConnectTo(s, "");
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Boxes, (std::vector<std::pair<QString, QString>>{{"Ombrex FTP", "HostDirName emtpy"}}));
    EXPECT_EQ(s.Transcript(), (std::vector<std::string>{"USER joe", "PASS pw", "FEAT", "PWD", "PASV", "LIST"}));
}

TEST_F(SessionTest, WhileARequestRunsTheQueueWaitsWhole)
{
    FakeFtpServer s;
    Pwd(Session(s), "/pub").Expect("CWD /x").Reply("250 ok").Expect("QUIT").Reply("221 Bye");
    ConnectSession(s);
    Main().AppendCommand(qcPwd);
    Main().RunQueue();
    ASSERT_EQ(Main().FtpClient1->State(), fcsWaitingReply);
    Main().AppendCommand(qcCwd, {"/x"});
    EXPECT_THROW(Main().RunQueue(), FtpException);
    EXPECT_EQ(Main().CommandQueue, (QStringList{"6", "/x"}));
    // The disconnect action runs the queue without looking: the refusal reaches the box.
    QTest::mouseClick(Main().btnDisconnect, Qt::LeftButton);
    EXPECT_EQ(Boxes, (std::vector<std::pair<QString, QString>>{{"Ombrex FTP", "FTP component not ready"}}));
    EXPECT_EQ(Main().CommandQueue, (QStringList{"6", "/x", "2"}));
    // The completion runs them in order (the PWD and LIST after the CWD come after QUIT
    // and go with the connection).
    ASSERT_TRUE(PumpUntil([&] { return !Main().ControlConnectionOpen() && Main().CommandQueue.isEmpty(); }));
    const std::vector<std::string> transcript = s.Transcript();
    std::vector<std::string> tail(transcript.end() - 3, transcript.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"PWD", "CWD /x", "QUIT"}));
    EXPECT_TRUE(MessageBoxes.empty());
}

TEST_F(SessionTest, AnActionBetweenACompletionAndItsDeliveryWaitsForIt)
{
    // The client is ready as soon as the reply is read, and its completion arrives later
    // from the loop; an action in between must not start the next request, or that
    // completion would be taken for the new request's. The action here runs from the
    // client's own change to the ready state, right before the completion is sent.
    FakeFtpServer s;
    Pwd(Pwd(Session(s), "/pub"), "/pub");
    List(s);
    ConnectSession(s);
    TFtpClient& client = *Main().FtpClient1;
    bool armed = true;
    QStringList queueAfterAction;
    auto stateChange = client.OnStateChange;
    client.OnStateChange = [&, stateChange](TCustomFtpCli* sender) {
        stateChange(sender);
        if (armed && sender->State() == fcsReady) {
            armed = false;
            Main().btnRefreshClick();
            queueAfterAction = Main().CommandQueue;
        }
    };
    Main().AppendCommand(qcPwd);
    Main().RunQueue();
    ASSERT_TRUE(WaitIdle());
    EXPECT_FALSE(armed);
    EXPECT_EQ(queueAfterAction, (QStringList{"5", "3"}));   // nothing started then
    EXPECT_EQ(Done, (std::vector<std::pair<int, int>>{{31, 0}, {31, 0}, {7, 0}}));
    EXPECT_TRUE(s.Errors().empty());
    client.OnStateChange = stateChange;
}

TEST_F(SessionTest, CdupAnsweredWith200IsAChangeOfDirectory)
{
    FakeFtpServer s;
    Session(s).Expect("CDUP").Reply("200 Okay");
    Pwd(s, "/");
    List(s);
    ConnectSession(s);
    Select(0);
    Main().lvRemoteDirDblClick();   // ".." is the parent directory action
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Done, (std::vector<std::pair<int, int>>{{33, 200}, {31, 0}, {7, 0}}));
    EXPECT_TRUE(MessageBoxes.empty());
    EXPECT_EQ(Main().lblCurrentRemoteDir->text(), "/");
}

TEST_F(SessionTest, CdupRefusedIsReported)
{
    FakeFtpServer s;
    Session(s).Expect("CDUP").Reply("550 No parent");
    ConnectSession(s);
    Main().btnUpClick();
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Done, (std::vector<std::pair<int, int>>{{33, 550}}));
    EXPECT_EQ(MessageBoxes, (std::vector<std::pair<QString, QString>>{{"FTP Error", "Can't execute command"}}));
    EXPECT_TRUE(DebugHas("Error From Ombrex: ERROR 550: 550 No parent"));
    // The list keeps its content.
    EXPECT_EQ(Captions().size(), 5);
}

TEST_F(SessionTest, AFailedChangeOfDirectoryStillLetsTheLaterEntriesRun)
{
    FakeFtpServer s;
    Session(s).Expect("CWD nowhere").Reply("550 No such directory");
    Pwd(s, "/pub");
    List(s);
    ConnectSession(s);
    Main().AppendCommand(qcCwd, {"nowhere"});
    Main().btnRefreshClick();
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Done, (std::vector<std::pair<int, int>>{{4, 550}, {31, 0}, {7, 0}}));
}

// ---- closing ----

TEST_F(SessionTest, DisconnectWithAnEmptyQueueQuitsAtOnceWithoutWarning)
{
    FakeFtpServer s;
    Session(s).Expect("QUIT").Reply("221 Goodbye");
    ConnectSession(s);
    QTest::mouseClick(Main().btnDisconnect, Qt::LeftButton);
    EXPECT_TRUE(Main().CommandQueue.isEmpty());   // QUIT went out at once
    ASSERT_TRUE(PumpUntil([&] { return !Done.empty(); }));
    EXPECT_EQ(s.Transcript().back(), "QUIT");
    EXPECT_TRUE(MessageBoxes.empty());
    EXPECT_FALSE(Main().ExpectClose);
    EXPECT_EQ(Main().lblCurrentServer->text(), "Not connected");
    EXPECT_EQ(Main().lvRemoteDir->Model()->Count(), 0);
    EXPECT_TRUE(Main().btnConnect->isEnabled());
    EXPECT_FALSE(Main().btnDisconnect->isEnabled());
    EXPECT_TRUE(UserLogHas(" STATUS: Disconnecting from 127.0.0.1..."));
    EXPECT_TRUE(UserLogHas(" STATUS: OK, disconnected"));
    EXPECT_TRUE(DebugHas("From Ombrex: QuitStarted"));
}

TEST_F(SessionTest, ALostConnectionWarnsOnceAndEmptiesQueueAndList)
{
    FakeFtpServer s;
    Session(s).Expect("PWD").Drop();
    ConnectSession(s);
    Main().AppendCommand(qcPwd);
    Main().AppendCommand(qcList);
    Main().AppendCommand(qcCwd, {"/later"});
    Main().RunQueue();
    ASSERT_TRUE(PumpUntil([&] { return !Main().ControlConnectionOpen() && !Done.empty(); }));
    PumpUntil([] { return false; }, 100);
    // The PWD that lost its connection is a failure, not a directory to record.
    EXPECT_EQ(Done.front().first, 31);
    EXPECT_NE(Done.front().second, 0);
    EXPECT_EQ(Main().cmbRemoteDirHistory->count(), 3);
    EXPECT_EQ(MessageBoxes,
              (std::vector<std::pair<QString, QString>>{{"FTP Warning", "Server close control connection."}}));
    EXPECT_EQ(MessageIcons, std::vector<QMessageBox::Icon>{QMessageBox::Warning});
    EXPECT_TRUE(Main().CommandQueue.isEmpty());
    EXPECT_EQ(Main().lvRemoteDir->Model()->Count(), 0);
    EXPECT_EQ(Main().lblCurrentServer->text(), "Not connected");
    EXPECT_TRUE(Main().btnConnect->isEnabled());
    EXPECT_TRUE(Main().Connect1->isEnabled());
    for (QWidget* control : {static_cast<QWidget*>(Main().lvRemoteDir), static_cast<QWidget*>(Main().btnDisconnect),
                             static_cast<QWidget*>(Main().btnRefresh), static_cast<QWidget*>(Main().btnHome),
                             static_cast<QWidget*>(Main().btnUp), static_cast<QWidget*>(Main().cmbRemoteDirHistory)})
        EXPECT_FALSE(control->isEnabled()) << control->objectName().toStdString();
    EXPECT_FALSE(Main().Disconnect1->isEnabled());
}

// ---- error reports ----

struct ErrorRow {
    int code;
    const char* caption;   // nullptr: no box
    const char* text;
    const char* userLog;   // nullptr: nothing logged
    bool hidesStatus;
};

TEST_F(SessionTest, ErrorReportsByCode)
{
    const ErrorRow rows[] = {
        {502, "FTP Error", "Can't execute command", nullptr, false},
        {550, "FTP Error", "Can't execute command", nullptr, false},
        {553, "FTP Error", "Modifing of server content not allowed", "!ERROR: Modification not allowed", true},
        {11001, "FTP Error", "Can't connect with FTP server: Host not found", "!ERROR: Host not found", false},
        {421, nullptr, nullptr, "!ERROR: FTP protocol error reponse: 421 :", false},
        {10061, nullptr, nullptr, nullptr, false},
        {500, nullptr, nullptr, "!ERROR: FTP protocol error reponse: 500 :", false},
    };
    for (const ErrorRow& row : rows) {
        SCOPED_TRACE(row.code);
        MessageBoxes.clear();
        MessageIcons.clear();
        Forms->TransferStatusForm->show();
        const QStringList before = Lines(Main().txtUserLog);
        Main().ReportFtpError(row.code);
        if (row.caption) {
            EXPECT_EQ(MessageBoxes, (std::vector<std::pair<QString, QString>>{{row.caption, row.text}}));
            EXPECT_EQ(MessageIcons, std::vector<QMessageBox::Icon>{QMessageBox::Critical});
        }
        else
            EXPECT_TRUE(MessageBoxes.empty());
        if (row.userLog)
            EXPECT_EQ(Lines(Main().txtUserLog).last(), row.userLog);
        else
            EXPECT_EQ(Lines(Main().txtUserLog), before);
        EXPECT_EQ(Forms->TransferStatusForm->isVisible(), !row.hidesStatus);
        Forms->TransferStatusForm->hide();
    }
    EXPECT_TRUE(Main().CommandQueue.isEmpty());
}

TEST_F(SessionTest, Recovery426GoesToTheHeadBeforeWhatWaits)
{
    Main().CurrentRemoteDir = "/pub/deep dir";
    Main().AppendCommand(qcPwd);
    Main().AppendCommand(qcList);
    Forms->TransferStatusForm->show();
    Main().ReportFtpError(426);
    EXPECT_EQ(QueueEntries(Main().CommandQueue),
              (QList<QStringList>{{"1"}, {"6", "/pub/deep dir"}, {"5"}, {"3"}}));
    EXPECT_EQ(MessageBoxes, (std::vector<std::pair<QString, QString>>{{"FTP Message", "Operation aborted."}}));
    EXPECT_EQ(MessageIcons, std::vector<QMessageBox::Icon>{QMessageBox::Information});
    EXPECT_EQ(Lines(Main().txtUserLog).last(), " STATUS: Unknown error426");
    EXPECT_FALSE(Forms->TransferStatusForm->isVisible());
}

TEST_F(SessionTest, TheBoxSeamDefaultsToAModalBox)
{
    Main().OnMessageBox = nullptr;
    QTimer::singleShot(3000, [] {   // never left waiting, whatever goes wrong below
        if (QWidget* box = QApplication::activeModalWidget())
            box->close();
    });
    QTimer::singleShot(0, [] {
        auto* message = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(message, nullptr);
        EXPECT_EQ(message->windowTitle(), "FTP Warning");
        EXPECT_EQ(message->text(), "Server close control connection.");
        EXPECT_EQ(message->icon(), QMessageBox::Warning);
        EXPECT_EQ(message->standardButtons(), QMessageBox::Ok);
        message->accept();
    });
    Main().FtpClient1SessionClosed(0);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

// ---- history ----

TEST_F(SessionTest, TheHistoryKeepsTheNewestHundredDirectories)
{
    FakeFtpServer s;
    Session(s);
    for (int i = 0; i < 105; ++i)
        Pwd(s, "/d" + std::to_string(i));
    ConnectSession(s);
    for (int i = 0; i < 105; ++i)
        Main().AppendCommand(qcPwd);
    Main().RunQueue();
    ASSERT_TRUE(WaitIdle(20000));
    QComboBox* history = Main().cmbRemoteDirHistory;
    ASSERT_EQ(history->count(), 100);
    EXPECT_EQ(history->itemText(0), "/d104");
    EXPECT_EQ(history->itemText(99), "/d5");
    EXPECT_EQ(Main().CurrentRemoteDir, "/d104");
}

// ---- the remote list ----

TEST_F(SessionTest, ParseListingBuildsSortedRowsAndLogsInvalidLines)
{
    Main().ParseListing({"-rw-r--r-- 1 u g 20 Jan 10 2000 b.txt", "total 3", "drwxr-xr-x 2 u g 4096 Jan 10 2000 z dir",
                         "-rw-r--r-- 1 u g 10 Jan 10 2000 A file", "drwxr-xr-x 2 u g 4096 Jan 10 2000 a"});
    EXPECT_EQ(Captions(), (QStringList{"..", "a", "z dir", "A file", "b.txt"}));
    EXPECT_FALSE(Main().FillingRemoteList);
    EXPECT_EQ(Lines(Main().txtUserLog).last(), "!ERROR: Invalid line in directory content: total 3");
    const TFileListItem& item = Main().lvRemoteDir->Model()->Item(RowOf("b.txt"));
    EXPECT_EQ(item.SubItems, (QStringList{"20", ".txt file", "-rw-r--r--", "2000-01-10 00:00"}));
    EXPECT_TRUE(Main().RemoteNameExists("A file"));
    EXPECT_FALSE(Main().RemoteNameExists("a file"));
    EXPECT_FALSE(Main().RemoteNameExists("A"));

    Main().ParseListing({});
    EXPECT_EQ(Captions(), QStringList{".."});
}

TEST_F(SessionTest, ColumnClicksSortWithParentAndDirectoriesFirstAndTheSameColumnAgainDescending)
{
    Main().ParseListing({"-rw-r--r-- 1 u g 300 Jan 10 2000 a.zip", "-rwxr-xr-x 1 u g 5000000000 Mar 10 1999 b.c",
                         "-rw-r--r-- 1 u g Jan 10 2001 c.txt", "drwxr-xr-x 2 u g 4096 Jan 10 2000 dir",
                         "drwxr-xr-x 2 u g 4096 Jan 10 2000 dir2"});
    struct Order {
        int column;
        QStringList ascending;
        QStringList descending;
    };
    const Order orders[] = {
        // the empty size sorts as 0
        {1, {"..", "dir", "dir2", "c.txt", "a.zip", "b.c"}, {"..", "dir", "dir2", "b.c", "a.zip", "c.txt"}},
        {2, {"..", "dir", "dir2", "b.c", "c.txt", "a.zip"}, {"..", "dir", "dir2", "a.zip", "c.txt", "b.c"}},
        // equal attributes keep their order both ways
        {3, {"..", "dir", "dir2", "c.txt", "a.zip", "b.c"}, {"..", "dir", "dir2", "b.c", "c.txt", "a.zip"}},
        {4, {"..", "dir", "dir2", "b.c", "a.zip", "c.txt"}, {"..", "dir", "dir2", "c.txt", "a.zip", "b.c"}},
        {0, {"..", "dir", "dir2", "a.zip", "b.c", "c.txt"}, {"..", "dir2", "dir", "c.txt", "b.c", "a.zip"}},
    };
    QHeaderView* header = Main().lvRemoteDir->ReportView()->header();
    for (const Order& o : orders) {
        SCOPED_TRACE(o.column);
        Handlers.clear();
        header->sectionClicked(o.column);
        EXPECT_EQ(Handlers, std::vector<std::string>{"lvRemoteDirColumnClick"});
        EXPECT_EQ(Main().RemoteSortColumn, o.column);
        EXPECT_EQ(Captions(), o.ascending);
        EXPECT_TRUE(header->isSortIndicatorShown());
        EXPECT_EQ(header->sortIndicatorSection(), o.column);
        EXPECT_EQ(header->sortIndicatorOrder(), Qt::AscendingOrder);
        // The same column again sorts the other way, and a third time back.
        header->sectionClicked(o.column);
        EXPECT_EQ(Captions(), o.descending);
        EXPECT_EQ(header->sortIndicatorOrder(), Qt::DescendingOrder);
        Main().lvRemoteDirColumnClick(o.column);
        EXPECT_EQ(Captions(), o.ascending);
    }
}

TEST_F(SessionTest, ABigListingIsParsedBesideTheWindowAndTheQueueWaitsForItsRows)
{
    // Over a MiB of listing: parsed on a thread of its own. The second LIST of the session
    // starts only once the first one's rows are in, and a command queued meanwhile waits.
    std::string listing = "total 20002\r\n";
    for (int i = 0; i < 20000; ++i)
        listing += "-rw-r--r--    1 joe      joe      " + std::to_string(i) + " Jan 10  2000 file " + std::to_string(i)
                   + ".txt\r\n";
    listing += "drwxr-xr-x    2 joe      joe      4096 Jan 10  2000 zdir\r\n";
    listing += "lrwxrwxrwx    1 joe      joe      4 Jan 10  2000 to zdir -> zdir\r\n";
    ASSERT_GT(listing.size(), std::size_t(1) << 20);
    FakeFtpServer s;
    apptest::Session(s, listing).Expect("CWD to zdir").Reply("250 ok");
    Pwd(s, "/pub/zdir");
    List(s);
    ConnectSession(s);
    ASSERT_EQ(Main().lvRemoteDir->Model()->Count(), 20003);
    EXPECT_EQ(Captions().mid(0, 4), (QStringList{"..", "to zdir", "zdir", "file 0.txt"}));
    EXPECT_EQ(RemoteItemType(Main().lvRemoteDir->Model()->Item(RowOf("to zdir"))), "Directory link -> zdir");
    EXPECT_EQ(Lines(Main().txtUserLog).filter("Invalid line").size(), 2);   // "total", once per listing
    // The link opens as a folder.
    Select(RowOf("to zdir"));
    Main().lvRemoteDirDblClick();
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Main().lblCurrentRemoteDir->text(), "/pub/zdir");
    EXPECT_TRUE(Main().RemoteNameExists("link"));
    EXPECT_TRUE(s.Errors().empty()) << ::testing::PrintToString(s.Errors());
}

TEST_F(SessionTest, ABigListIsReSortedBesideTheWindowAndAnOrderForRowsReplacedMeanwhileIsDropped)
{
    // Past 50,000 rows a header click returns before the rows move; they take their order
    // when it is ready, the selected row still selected.
    auto listing = [](char stem, int step) {
        std::vector<std::string> lines;
        for (int i = 0; i < 60000; ++i)
            lines.push_back("-rw-r--r-- 1 u g " + std::to_string((i * 7919) % 60000) + " Jan 10 2000 " + stem
                            + std::to_string(i * step));
        lines.push_back("drwxr-xr-x 2 u g 4096 Jan 10 2000 dir");
        return lines;
    };
    Main().ParseListing(listing('f', 1));
    const TFileListModel& model = *Main().lvRemoteDir->Model();
    ASSERT_EQ(model.Count(), 60002);
    std::vector<TFileListItem> items;
    for (int row = 0; row < model.Count(); ++row)
        items.push_back(model.Item(row));
    QStringList bySize;
    for (int row : RemoteSortOrder(items, 1))
        bySize << items[static_cast<size_t>(row)].Caption;
    ASSERT_EQ(bySize.mid(0, 4), (QStringList{"..", "dir", "f0", "f37679"}));   // sizes 0, then 1
    const QStringList byName = Captions();
    Select(RowOf("f123"));
    Main().lvRemoteDirColumnClick(1);
    EXPECT_TRUE(Main().RemoteSortRunning());
    EXPECT_EQ(Captions(), byName);
    QHeaderView* header = Main().lvRemoteDir->ReportView()->header();
    EXPECT_EQ(header->sortIndicatorSection(), 1);
    ASSERT_TRUE(PumpUntil([&] { return !Main().RemoteSortRunning(); }, 60000));
    EXPECT_EQ(Captions(), bySize);
    ASSERT_EQ(Main().lvRemoteDir->SelectedRows().size(), 1u);
    EXPECT_EQ(model.Item(Main().lvRemoteDir->SelectedRows().front()).Caption, "f123");

    // A new listing comes while a sort runs: the order worked out for the old rows would
    // scramble the new ones, so it is dropped.
    Main().lvRemoteDirColumnClick(0);
    ASSERT_TRUE(Main().RemoteSortRunning());
    Main().ParseListing(listing('g', 7));
    const QStringList shown = Captions();
    ASSERT_EQ(shown.mid(0, 3), (QStringList{"..", "dir", "g0"}));
    ASSERT_TRUE(PumpUntil([&] { return !Main().RemoteSortRunning(); }, 60000));
    EXPECT_EQ(Captions(), shown);
}

TEST_F(SessionTest, ABigListingReadWhileItComesInPiecesGivesTheRowsOfTheWholeFile)
{
    // The rows are built while the listing comes; pieces end inside a line end, inside a
    // line and after a line end, and the last line has no line end. The rows are those of
    // the whole file read at once.
    std::string listing = "total 16003\r\n";
    for (int i = 0; i < 16000; ++i)
        listing += "-rw-r--r--    1 joe      joe      " + std::to_string(i * 37) + " Jan 10  2000 file " + std::to_string(i)
                   + ".txt\r\n";
    listing += "drwxr-xr-x    2 joe      joe      4096 Jan 10  2000 sub\r\n";
    listing += "lrwxrwxrwx    1 joe      joe      3 Jan 10  2000 to sub -> sub\r\n";
    listing += "not a listing line\n";
    listing += "-rw-r--r--    1 joe      joe      5 Jan 10  2000 last  ";
    ASSERT_GT(listing.size(), std::size_t(1) << 20);
    const std::size_t betweenCrAndLf = listing.find('\r', listing.size() / 3) + 1;
    const std::size_t insideALine = listing.find("file", listing.size() * 2 / 3) + 2;
    const std::size_t afterALineEnd = listing.find('\n', listing.size() * 5 / 6) + 1;
    auto list = [&](FakeFtpServer& f) {
        Pwd(f, "/pub").Expect("PASV").PasvReply().Expect("LIST").DataAccept().Reply("150 Here it comes");
        f.DataSend(listing.substr(0, betweenCrAndLf)).Delay(40);
        f.DataSend(listing.substr(betweenCrAndLf, insideALine - betweenCrAndLf)).Delay(40);
        f.DataSend(listing.substr(insideALine, afterALineEnd - insideALine)).Delay(40);
        f.DataSend(listing.substr(afterALineEnd)).DataClose().Reply("226 Done");
    };
    FakeFtpServer s;
    Login(s).Expect("CWD /pub").Reply("250 Directory changed");
    list(s);
    list(s);
    ConnectSession(s);

    const TRemoteListing whole = BuildRemoteListing(SplitListingData(listing), lsList, 0, false);
    ASSERT_TRUE(whole.Rows);
    const TFileListModel& model = *Main().lvRemoteDir->Model();
    ASSERT_EQ(model.Count(), whole.Rows->Count());
    ASSERT_EQ(model.Count(), 16004);
    for (int row = 0; row < model.Count(); ++row) {
        const TFileListItem want = whole.Rows->Item(row);
        const TFileListItem& got = model.Item(row);
        ASSERT_EQ(got.Caption, want.Caption) << row;
        ASSERT_EQ(got.SubItems, want.SubItems) << row;
        ASSERT_EQ(got.ImageIndex, want.ImageIndex) << row;
    }
    EXPECT_EQ(RemoteItemType(model.Item(RowOf("to sub"))), "Directory link -> sub");
    EXPECT_EQ(model.Item(model.Count() - 1).Caption, "last  ");
    EXPECT_EQ(Lines(Main().txtUserLog).filter("Invalid line").size(), 4);   // "total" and one more, twice
    EXPECT_TRUE(s.Errors().empty()) << ::testing::PrintToString(s.Errors());
}

TEST_F(SessionTest, LinksShowTheirTargetAndOpenAsFoldersUnlessTheyPointAtAFile)
{
    Main().ParseListing({"drwxr-xr-x 2 u g 4096 Jan 10 2000 real", "-rw-r--r-- 1 u g 1 Jan 10 2000 f",
                         "lrwxrwxrwx 1 u g 4 Jan 10 2000 to dir -> real", "lrwxrwxrwx 1 u g 1 Jan 10 2000 to file -> f",
                         "lrwxrwxrwx 1 u g 4 Jan 10 2000 far -> /srv/x"});
    struct Row {
        const char* name;
        const char* type;
        int image;
        bool opens;
    };
    const Row rows[] = {{"to dir", "Directory link -> real", 4, true},
                        {"to file", "File link -> f", 1, false},
                        {"far", "Link -> /srv/x", 1, true}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        const TFileListItem& item = Main().lvRemoteDir->Model()->Item(RowOf(r.name));
        EXPECT_EQ(RemoteItemType(item), r.type);
        EXPECT_EQ(item.ImageIndex, r.image);
        EXPECT_FALSE(IsRemoteDirectory(item));   // removal deletes the link, never its target's files
        EXPECT_EQ(RemoteOpensAsFolder(item), r.opens);
    }
    // The directory link sorts among the directories.
    EXPECT_EQ(Captions(), (QStringList{"..", "real", "to dir", "f", "far", "to file"}));
}

TEST_F(SessionTest, TheLabelsShowTheOneSelectedRow)
{
    Main().ParseListing({"-rw-r--r-- 1 u g 300 Jan 10 2000 a.zip", "-rwxr-xr-x 1 u g 12 Jan 10 2000 b.c"});
    Select(RowOf("b.c"));
    EXPECT_EQ(Main().lblRemoteFileSize->text(), "12");
    EXPECT_EQ(Main().lblRemoteFileAttr->text(), "-rwxr-xr-x");
    Main().lvRemoteDir->SetSelected(RowOf("a.zip"), true);   // two rows: the labels stay
    EXPECT_EQ(Main().lblRemoteFileSize->text(), "12");
    EXPECT_EQ(Main().lblRemoteFileAttr->text(), "-rwxr-xr-x");
}

TEST_F(SessionTest, ManyInvalidLinesLeaveTheLastOnesInTheLog)
{
    std::vector<std::string> lines;
    for (int i = 0; i < 5000; ++i)
        lines.push_back("01-10-00  12:00XM  <DIR>  folder" + std::to_string(i));
    Main().ParseListing(lines);
    QStringList log = Lines(Main().txtUserLog);
    ASSERT_EQ(log.size(), 101);
    EXPECT_EQ(log.first(), "!ERROR: Invalid line in directory content: 01-10-00  12:00XM  <DIR>  folder4899");
    EXPECT_EQ(log.last(), "!ERROR: Invalid line in directory content: 01-10-00  12:00XM  <DIR>  folder4999");
}

TEST_F(SessionTest, DoubleClicksNavigateOnlyIntoDirectories)
{
    FakeFtpServer s;
    Session(s).Expect("CWD pub").Reply("250 ok");
    Pwd(s, "/pub/pub");
    List(s);
    ConnectSession(s);
    // A file: nothing.
    Select(RowOf("my file.txt"));
    Main().lvRemoteDirDblClick();
    EXPECT_TRUE(Main().CommandQueue.isEmpty());
    EXPECT_EQ(s.Transcript().size(), SessionTranscript().size());
    // Two rows selected: nothing.
    Select(RowOf("pub"));
    Main().lvRemoteDir->SetSelected(RowOf("big.iso"), true);
    Main().lvRemoteDirDblClick();
    EXPECT_TRUE(Main().CommandQueue.isEmpty());
    // A directory: into it, then its listing.
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&Main()));
    QTreeView* view = Main().lvRemoteDir->ReportView();
    view->doItemsLayout();
    QRect rect = view->visualRect(Main().lvRemoteDir->Model()->index(RowOf("pub"), 0));
    ASSERT_FALSE(rect.isEmpty());
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, rect.center());
    Handlers.clear();
    QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, rect.center());
    EXPECT_EQ(Handlers, std::vector<std::string>{"lvRemoteDirDblClick"});
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Done, (std::vector<std::pair<int, int>>{{4, 0}, {31, 0}, {7, 0}}));
    EXPECT_EQ(Main().lblCurrentRemoteDir->text(), "/pub/pub");
}

TEST_F(SessionTest, HomeHistoryAndRefreshQueueTheirCommands)
{
    FakeFtpServer s;
    Session(s).Expect("CWD /").Reply("250 ok");
    Pwd(s, "/");
    List(s);
    s.Expect("CWD /pub").Reply("250 ok");
    Pwd(s, "/pub");
    List(s);
    Pwd(s, "/pub");
    List(s);
    ConnectSession(s);
    Main().btnHomeClick();
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Main().cmbRemoteDirHistory->itemText(0), "/");
    // The user picks "/pub" in the drop-down list.
    Main().cmbRemoteDirHistory->setCurrentIndex(1);
    emit Main().cmbRemoteDirHistory->activated(1);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Main().lblCurrentRemoteDir->text(), "/pub");
    QTest::mouseClick(Main().btnRefresh, Qt::LeftButton);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Done, (std::vector<std::pair<int, int>>{{4, 0}, {31, 0}, {7, 0}, {4, 0}, {31, 0}, {7, 0}, {31, 0}, {7, 0}}));
    EXPECT_TRUE(s.Errors().empty());
}

TEST_F(SessionTest, EnteringTheRemoteListMakesItTheActivePane)
{
    ASSERT_TRUE(QTest::qWaitForWindowActive(&Main()));
    Main().RemotePaneActive = false;
    Main().lvRemoteDir->setEnabled(true);
    Main().lvRemoteDir->ReportView()->setFocus(Qt::MouseFocusReason);
    EXPECT_TRUE(Main().RemotePaneActive);
}

// ---- former bugs ----

TEST_F(SessionTest, FormerBugAHeaderClickedWhileABigListingCameLeftItsRowsInTheOldOrder)
{
    // The rows of a big listing were put in the order asked for when the request started,
    // under the header of the order clicked meanwhile.
    std::string listing = "total 16000\r\n";
    for (int i = 0; i < 16000; ++i)
        listing += "-rw-r--r--    1 joe      joe      " + std::to_string((i * 7919) % 16000)
                   + " Jan 10  2000 file " + std::to_string(i) + ".txt\r\n";
    ASSERT_GT(listing.size(), std::size_t(1) << 20);
    const std::size_t half = listing.size() / 2;
    FakeFtpServer s;
    Login(s).Expect("CWD /pub").Reply("250 Directory changed");
    List(Pwd(s, "/pub"), listing);
    Pwd(s, "/pub").Expect("PASV").PasvReply().Expect("LIST").DataAccept().Reply("150 Here it comes");
    s.DataSend(listing.substr(0, half)).Delay(1000).DataSend(listing.substr(half)).DataClose().Reply("226 Done");
    s.Start();
    ConnectTo(s, QStringLiteral("/pub"));
    // The second listing is half in: the header is clicked now.
    const std::string file = Main().ListTempPath.toLocal8Bit().toStdString();
    ASSERT_TRUE(PumpUntil(
        [&] {
            struct stat st {};
            const std::vector<std::string> sent = s.Transcript();
            return std::count(sent.begin(), sent.end(), "LIST") == 2 && ::stat(file.c_str(), &st) == 0
                   && st.st_size > 0;
        },
        30000));
    Main().lvRemoteDirColumnClick(1);
    ASSERT_TRUE(WaitIdle());
    QStringList bySize;
    const TRemoteListing sorted = BuildRemoteListing(SplitListingData(listing), lsList, 1, false);
    for (int row = 0; row < sorted.Rows->Count(); ++row)
        bySize << sorted.Rows->Caption(row).toString();
    EXPECT_EQ(Captions(), bySize);
    EXPECT_EQ(Main().lvRemoteDir->ReportView()->header()->sortIndicatorSection(), 1);
    EXPECT_TRUE(s.Errors().empty()) << ::testing::PrintToString(s.Errors());
}

TEST_F(SessionTest, FormerBugARefusedChangeOfDirectoryLeftItsArgumentAsTheNextCode)
{
    // Not connected: the argument "77" must not be read as a code afterwards.
    Main().CommandQueue = {"6", "77", "5"};
    Main().RunQueue();
    EXPECT_EQ(Main().CommandQueue, QStringList{"5"});
    EXPECT_FALSE(DebugHas("Error From Ombrex: Invalid stack command 77"));
}

TEST_F(SessionTest, FormerBugTheListingFollowedALinkPutInItsPlace)
{
    const QString target = Temp.filePath("elsewhere.txt");
    {
        QFile file(target);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("keep me");
    }
    ASSERT_EQ(::symlink(target.toLocal8Bit().constData(), Main().ListTempPath.toLocal8Bit().constData()), 0);
    FakeFtpServer s;
    Session(s);
    ConnectSession(s);
    QFile file(target);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), "keep me");
    struct stat st {};
    ASSERT_EQ(::lstat(Main().ListTempPath.toLocal8Bit().constData(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(Captions().size(), 5);
}

TEST_F(SessionTest, FormerBugAbortingAHungLoginReconnectedAtOnce)
{
    // The server never greets. Each Abort used to queue a reconnection at once, so such a
    // server could not be escaped; now the session ends and the next Connect works.
    FakeFtpServer s;
    s.Delay(1500);
    s.Start();
    ConnectTo(s, "/pub");
    ASSERT_TRUE(PumpUntil([&] { return Main().FtpClient1->ControlOpen(); }));
    Main().CurrentRemoteDir = "/pub";
    Main().AppendCommand(qcPwd);   // waits behind the running request
    QTest::mouseClick(Main().btnAbort, Qt::LeftButton);
    ASSERT_TRUE(WaitDone(1));
    EXPECT_EQ(Done.front(), std::make_pair(5, 426));
    EXPECT_TRUE(UserLogHas(" STATUS: Aborting..."));
    EXPECT_EQ(Lines(Main().txtUserLog).last(), " STATUS: Connection aborted");
    EXPECT_TRUE(MessageBoxes.empty());
    EXPECT_TRUE(Main().CommandQueue.isEmpty());
    EXPECT_EQ(Main().FtpClient1->State(), fcsReady);
    EXPECT_FALSE(Main().ControlConnectionOpen());
    EXPECT_FALSE(Main().ExpectClose);
    EXPECT_TRUE(Main().btnConnect->isEnabled());
    EXPECT_FALSE(Main().btnAbort->isEnabled());
    PumpFor(200);
    EXPECT_EQ(Lines(Main().txtUserLog).filter("Connecting to 127.0.0.1...").size(), 1);

    FakeFtpServer next;
    Session(next);
    Done.clear();
    ConnectSession(next);
}

struct AbortedCommandRow {
    const char* Name;
    int Code;
    const char* Arg;
    const char* Sent;
};

TEST_F(SessionTest, FormerBugAnAbortedCommandWasReportedAsDone)
{
    // The single command's completion (error 0) used to log "OK. ...", queue PWD and LIST
    // on the closed connection, and leave LIST behind, so the next Connect was refused.
    const AbortedCommandRow rows[] = {
        {"Cwd", qcCwd, "/slow", "CWD /slow"},
        {"Raw", qcRaw, "SITE SLOW", "SITE SLOW"},
    };
    for (const AbortedCommandRow& row : rows) {
        SCOPED_TRACE(row.Name);
        FakeFtpServer s;
        Session(s).Expect(row.Sent).WaitClientClose();
        ConnectSession(s);
        Main().AppendCommand(row.Code, {QString::fromLatin1(row.Arg)});
        Main().RunQueue();
        // The command has reached the server, which never answers it.
        ASSERT_TRUE(PumpUntil([&] {
            const auto sent = s.Transcript();
            return !sent.empty() && sent.back() == row.Sent;
        }));
        QTest::mouseClick(Main().btnAbort, Qt::LeftButton);
        ASSERT_TRUE(WaitDone(1));
        PumpFor(100);
        const QStringList log = Lines(Main().txtUserLog);
        const QStringList after = log.mid(log.lastIndexOf(QStringLiteral(" STATUS: Aborting...")));
        EXPECT_TRUE(after.filter("OK.").isEmpty()) << after.join('|').toStdString();
        EXPECT_TRUE(after.contains(" STATUS: Command aborted")) << after.join('|').toStdString();
        EXPECT_TRUE(Main().CommandQueue.isEmpty());
        EXPECT_TRUE(MessageBoxes.empty());
        EXPECT_TRUE(Main().btnConnect->isEnabled());

        FakeFtpServer next;
        Session(next).Expect("QUIT").Reply("221 Goodbye");
        Done.clear();
        ConnectSession(next);   // the first press connects
        Main().btnDisconnectClick();
        ASSERT_TRUE(WaitDone(1));
        Done.clear();
    }
}

TEST_F(SessionTest, FormerBugAbortingALookupLeftTheCloseExpected)
{
    // No connection was open, so no close consumed the abort's "expected" mark, and the
    // next real loss of a connection showed no box.
    sockettest::ScopedResolver resolver(std::map<std::string, std::vector<std::string>>{
        {"held.test", {"127.0.0.1"}}, {"127.0.0.1", {"127.0.0.1"}}});
    std::atomic<bool> release{false};
    resolver.Hook = [&](const std::string& name) {
        while (name == "held.test" && !release)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    };
    Main().FtpClient1->SetHostName("held.test");
    Main().FtpClient1->SetUserName("joe");
    Main().FtpClient1->SetPassWord("pw");
    Main().AppendCommand(qcConnect);
    Main().RunQueue();
    ASSERT_TRUE(PumpUntil([&] { return !resolver.Asked().empty(); }));
    Main().btnAbortClick();
    ASSERT_TRUE(WaitDone(1));
    release = true;
    EXPECT_FALSE(Main().ExpectClose);
    EXPECT_TRUE(UserLogHas(" STATUS: Connection aborted"));

    FakeFtpServer s;
    Session(s).Expect("PWD").Drop();
    Done.clear();
    ConnectSession(s);
    Main().AppendCommand(qcPwd);
    Main().RunQueue();
    ASSERT_TRUE(PumpUntil([&] { return !Main().ControlConnectionOpen(); }));
    EXPECT_EQ(MessageBoxes,
              (std::vector<std::pair<QString, QString>>{{"FTP Warning", "Server close control connection."}}));
}
