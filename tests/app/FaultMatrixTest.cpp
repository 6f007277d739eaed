// Faults seen from the window: connections dropped or reset at every stage, data connections
// that never open, a silent server, odd listings, and a local side that fails (full disk,
// folder gone, file gone). Each case checks what the user sees (log lines, boxes, enabled
// buttons), the client's state afterwards, and the files on disk: a partial download stays
// and resumes to the same bytes, and nothing the user did not choose is overwritten.
#include "FakeServerSession.h"

#include "app/ByteText.h"
#include "app/CommandQueue.h"
#include "dialogs/FileExistsForm.h"
#include "dialogs/TransferStatusForm.h"
#include "ftp/FakeFtpServer.h"
#include "platform/MessageWindow.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <sys/mount.h>
#include <unistd.h>

#include <chrono>

using ftptest::FakeFtpServer;
using ftptest::Payload;
using namespace apptest;

namespace {

const BoxList kLostBox{{"FTP Warning", "Server close control connection."}};

std::string FileLine(const std::string& name, std::size_t size)
{
    return "-rw-r--r-- 1 u g " + std::to_string(size) + " Jan 10 2000 " + name + "\r\n";
}

QByteArray Bytes(const std::string& s)
{
    return QByteArray(s.data(), qsizetype(s.size()));
}

} // namespace

class FaultMatrixTest : public FakeServerProgramTest {
protected:
    void SetUp() override
    {
        FakeServerProgramTest::SetUp();
        Main().AscModExPath = Temp.filePath("AscModEx.txt");   // missing: every file is binary
        Local = MakeLocalFolder();
        Forms->FileExistsForm->OnShowModal = [this] {
            TFileExistsForm& form = *Forms->FileExistsForm;
            Asked << form.lblWarning->text();
            if (!FAnswer) {
                ADD_FAILURE() << "unexpected question: " << form.lblWarning->text().toStdString();
                return int(QDialog::Rejected);
            }
            form.show();
            QTest::mouseClick(form.*FAnswer, Qt::LeftButton);
            return form.result();
        };
    }

    // Waits for the close of the control connection and then for things to settle.
    bool WaitClosed()
    {
        bool closed = PumpUntil([&] { return !Main().ControlConnectionOpen(); });
        PumpFor(150);
        return closed;
    }

    void SelectLocal(const std::string& name)
    {
        TLocalFileList& files = Main().flbLocalFiles;
        files.Update();
        files.ClearSelection();
        int index = files.IndexOf(name);
        ASSERT_GE(index, 0) << name;
        files.SetSelected(index, true);
    }

    // The controls of a window whose control connection is gone.
    void ExpectNotConnectedControls()
    {
        EXPECT_TRUE(Main().btnConnect->isEnabled());
        EXPECT_TRUE(Main().Connect1->isEnabled());
        EXPECT_FALSE(Main().btnAbort->isEnabled());
        for (QWidget* control : {static_cast<QWidget*>(Main().btnDisconnect), static_cast<QWidget*>(Main().btnDownload),
                                 static_cast<QWidget*>(Main().btnUpload), static_cast<QWidget*>(Main().btnRefresh),
                                 static_cast<QWidget*>(Main().lvRemoteDir)})
            EXPECT_FALSE(control->isEnabled()) << control->objectName().toStdString();
        EXPECT_EQ(Main().lblCurrentServer->text(), "Not connected");
        EXPECT_EQ(Main().lvRemoteDir->Model()->Count(), 0);
        EXPECT_TRUE(Main().CommandQueue.isEmpty());
    }

    QString LocalPath(const QString& name) const { return Local + "/" + name; }

    QString Local;
    QStringList Asked;
    QPushButton* TFileExistsForm::*FAnswer = nullptr;
};

// ---- the control connection dropped ----

TEST_F(FaultMatrixTest, ControlDroppedWhileIdleWarnsOnceAndAFreshConnectionWorks)
{
    FakeFtpServer s;
    Session(s, FileLine("a.txt", 1)).Delay(200).Drop();
    Session(s.AcceptAgain(), FileLine("b.txt", 1));
    s.Start();
    Connect(s);
    ASSERT_TRUE(WaitClosed());
    EXPECT_EQ(MessageBoxes, kLostBox);
    EXPECT_TRUE(UserLogHas(" STATUS: OK, disconnected"));
    EXPECT_TRUE(Done.empty());   // no request was running: nothing completes
    EXPECT_EQ(Main().FtpClient1->State(), fcsStepReady);
    ExpectNotConnectedControls();

    Connect(s);
    EXPECT_EQ(Captions(), (QStringList{"..", "b.txt"}));
    EXPECT_FALSE(Main().btnConnect->isEnabled());
    EXPECT_TRUE(Boxes.empty());
}

TEST_F(FaultMatrixTest, ControlDroppedDuringLoginIsReportedOnce)
{
    FakeFtpServer s;
    s.Reply("220 Fake FTP ready").Expect("USER joe").Drop();
    s.Start();
    PressConnect(s);
    ASSERT_TRUE(PumpUntil([&] { return !Done.empty(); }));
    ASSERT_TRUE(WaitClosed());
    EXPECT_EQ(Done, (DoneList{{5, 421}}));
    EXPECT_EQ(MessageBoxes, kLostBox);
    EXPECT_TRUE(UserLogHas("!ERROR: FTP protocol error reponse: 421 :421 Control connection closed"));
    EXPECT_FALSE(UserLogHas(" STATUS: OK. Logined"));
    EXPECT_EQ(Main().FtpClient1->State(), fcsReady);
    ExpectNotConnectedControls();
    EXPECT_TRUE(Boxes.empty());
}

TEST_F(FaultMatrixTest, ControlDroppedMidDownloadKeepsThePartAndRestoreCompletesIt)
{
    const std::string data = Payload(400000);
    const std::string listing = FileLine("big.bin", data.size());
    FakeFtpServer s;
    Session(s, listing).Expect("TYPE I").Reply("200 Type set to I").Expect("PASV").PasvReply()
        .Expect("RETR big.bin").DataAccept().Reply("150 Opening").DataSend(data.substr(0, 150000)).Delay(1000).Drop();
    Session(s.AcceptAgain(), listing).Expect("TYPE I").Reply("200 Type set to I").Expect("PASV").PasvReply()
        .Expect("*").Reply("350 Restarting").Expect("RETR big.bin").DataAccept().Reply("150 Opening")
        .DataSendFromRest(data).DataClose().Reply("226 Transfer complete");
    s.Start();
    Connect(s);
    SelectRemote({"big.bin"});
    QTest::mouseClick(Main().btnDownload, Qt::LeftButton);
    ASSERT_TRUE(PumpUntil([&] { return !Done.empty() && Done.back().first == rqGet; }));
    ASSERT_TRUE(WaitClosed());
    EXPECT_EQ(Done.back(), std::make_pair(int(rqGet), 421));
    EXPECT_TRUE(UserLogHas("!ERROR: FTP protocol error reponse: 421 :421 Control connection closed"));
    EXPECT_FALSE(UserLogHas(" STATUS: OK. File getted"));
    EXPECT_EQ(MessageBoxes, kLostBox);
    ExpectNotConnectedControls();
    const QByteArray part = ReadBytes(LocalPath("big.bin"));
    EXPECT_EQ(part, Bytes(data.substr(0, 150000)));

    // Connected again, the same download is asked about and restored from where it broke.
    Done.clear();
    Connect(s);
    FAnswer = &TFileExistsForm::btnRestartBrokenTransfer;
    SelectRemote({"big.bin"});
    QTest::mouseClick(Main().btnDownload, Qt::LeftButton);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Asked, QStringList{LocalPath("big.bin") + " exists"});
    EXPECT_EQ(Done, (DoneList{{36, 0}, {38, 0}}));
    EXPECT_TRUE(UserLogHas(" STATUS: Restoring broken transfer..."));
    EXPECT_TRUE(UserLogHas(" STATUS: OK. File getted"));
    EXPECT_EQ(ReadBytes(LocalPath("big.bin")), Bytes(data));
    EXPECT_EQ(s.Transcript().at(s.Transcript().size() - 2), "REST 150000");
    EXPECT_TRUE(s.Errors().empty());
    EXPECT_TRUE(Boxes.empty());
}

TEST_F(FaultMatrixTest, ControlDroppedMidUploadIsNoSuccessAndTheLocalFileStays)
{
    const std::string data = Payload(4 << 20);
    ASSERT_TRUE(WriteBytes(LocalPath("up.bin"), Bytes(data)));
    FakeFtpServer s;
    Session(s, "").Expect("TYPE I").Reply("200 Type set to I").Expect("PASV").PasvReply().DataAccept()
        .Expect("STOR up.bin").Reply("150 Go ahead").DataReceive(300000).Drop();
    s.Start();
    Connect(s);
    SelectLocal("up.bin");
    QTest::mouseClick(Main().btnUpload, Qt::LeftButton);
    ASSERT_TRUE(PumpUntil([&] { return !Done.empty() && Done.back().first == rqPut; }));
    ASSERT_TRUE(WaitClosed());
    EXPECT_NE(Done.back().second, 0);
    EXPECT_FALSE(UserLogHas(" STATUS: OK. File sended"));
    EXPECT_EQ(MessageBoxes, kLostBox);
    ExpectNotConnectedControls();
    EXPECT_EQ(ReadBytes(LocalPath("up.bin")), Bytes(data));
    EXPECT_TRUE(Boxes.empty());
}

// ---- the data connection ----

TEST_F(FaultMatrixTest, DataResetMidDownloadReportsAnAbortAndRestoreCompletesTheFile)
{
    // The server's 426 is the abort case of the window: it goes back to the directory and
    // the partial file is restored on the next download.
    const std::string data = Payload(300000);
    const std::string listing = FileLine("big.bin", data.size());
    FakeFtpServer s;
    Session(s, listing).Expect("TYPE I").Reply("200 Type set to I").Expect("PASV").PasvReply()
        .Expect("RETR big.bin").DataAccept().Reply("150 Opening").DataSend(data.substr(0, 90000)).Delay(1000)
        .DataReset().Reply("426 Connection closed; transfer aborted.");
    s.Expect("CWD /pub").Reply("250 Directory changed");
    List(s.Expect("PWD").Reply("257 \"/pub\" is the current directory"), listing);
    s.Expect("TYPE I").Reply("200 Type set to I").Expect("PASV").PasvReply().Expect("*").Reply("350 Restarting")
        .Expect("RETR big.bin").DataAccept().Reply("150 Opening").DataSendFromRest(data).DataClose()
        .Reply("226 Transfer complete");
    s.Start();
    Connect(s);
    SelectRemote({"big.bin"});
    QTest::mouseClick(Main().btnDownload, Qt::LeftButton);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Done[1], std::make_pair(int(rqGet), 426));
    EXPECT_EQ(MessageBoxes, (BoxList{{"FTP Message", "Operation aborted."}}));
    EXPECT_TRUE(UserLogHas(" STATUS: Unknown error426"));
    EXPECT_FALSE(UserLogHas(" STATUS: OK. File getted"));
    EXPECT_TRUE(Main().ControlConnectionOpen());   // only the data connection failed
    EXPECT_TRUE(Boxes.empty()) << (Boxes.empty() ? "" : Boxes.front().second.toStdString());
    EXPECT_EQ(Main().lblCurrentRemoteDir->text(), "/pub");
    EXPECT_EQ(ReadBytes(LocalPath("big.bin")), Bytes(data.substr(0, 90000)));

    Done.clear();
    FAnswer = &TFileExistsForm::btnRestartBrokenTransfer;
    SelectRemote({"big.bin"});
    QTest::mouseClick(Main().btnDownload, Qt::LeftButton);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Done, (DoneList{{36, 0}, {38, 0}}));
    EXPECT_EQ(ReadBytes(LocalPath("big.bin")), Bytes(data));
    EXPECT_TRUE(s.Errors().empty());
}

TEST_F(FaultMatrixTest, DataResetMidUploadIsNoSuccessAndTheLocalFileStays)
{
    const std::string data = Payload(4 << 20);
    ASSERT_TRUE(WriteBytes(LocalPath("up.bin"), Bytes(data)));
    FakeFtpServer s;
    Session(s, "").Expect("TYPE I").Reply("200 Type set to I").Expect("PASV").PasvReply().DataAccept()
        .Expect("STOR up.bin").Reply("150 Go ahead").DataReceive(300000).DataReset()
        .Reply("451 Transfer aborted: connection reset").Expect("PASV").PasvReply().Expect("LIST")
        .DataAccept().Reply("150 Here it comes").DataClose().Reply("226 Done");
    s.Start();
    Connect(s);
    SelectLocal("up.bin");
    QTest::mouseClick(Main().btnUpload, Qt::LeftButton);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Done, (DoneList{{36, 0}, {17, 451}, {7, 0}}));
    EXPECT_TRUE(UserLogHas("!ERROR: FTP protocol error reponse: 451 :451 Transfer aborted: connection reset"));
    EXPECT_FALSE(UserLogHas(" STATUS: OK. File sended"));
    EXPECT_TRUE(Main().btnUpload->isEnabled());
    EXPECT_FALSE(Main().btnAbort->isEnabled());
    EXPECT_EQ(ReadBytes(LocalPath("up.bin")), Bytes(data));
    EXPECT_TRUE(s.Errors().empty());
}

TEST_F(FaultMatrixTest, ActiveDataConnectionNeverOpenedIsReportedAndTheBatchGoesOn)
{
    const std::string listing = FileLine("a.bin", 10) + FileLine("b.bin", 3);
    FakeFtpServer s;
    Login(s).Expect("CWD /pub").Reply("250 Directory changed");
    for (int i = 0; i < 2; ++i)
        s.Expect("PWD").Reply("257 \"/pub\"").Expect("*").Reply("200 PORT ok").Expect("LIST").DataConnectToPort()
            .Reply("150 Here it comes").DataSend(listing).DataClose().Reply("226 Done");
    s.Expect("TYPE I").Reply("200 Type set to I").Expect("*").Reply("200 PORT ok").Expect("RETR a.bin")
        .Reply("150 Opening").Delay(200).Reply("425 Can't open data connection")
        .Expect("TYPE I").Reply("200 Type set to I").Expect("*").Reply("200 PORT ok").Expect("RETR b.bin")
        .DataConnectToPort().Reply("150 Opening").DataSend("bbb").DataClose().Reply("226 Transfer complete");
    s.Start();
    Connect(s, false);
    TFileListView& view = *Main().lvRemoteDir;
    view.SelectionModel()->clearSelection();
    for (int i = 0; i < view.Model()->Count(); ++i)
        view.SetSelected(i, view.Model()->Item(i).Caption != "..");
    QTest::mouseClick(Main().btnDownload, Qt::LeftButton);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Done, (DoneList{{36, 0}, {10, 425}, {36, 0}, {10, 0}}));
    EXPECT_TRUE(UserLogHas("!ERROR: FTP protocol error reponse: 425 :425 Can't open data connection"));
    EXPECT_TRUE(UserLogHas(" STATUS: OK. File getted"));
    EXPECT_EQ(ReadBytes(LocalPath("b.bin")), "bbb");
    EXPECT_TRUE(MessageBoxes.empty());
    EXPECT_TRUE(s.Errors().empty());
}

TEST_F(FaultMatrixTest, PassivePortThatRefusesShowsAnErrorAndTheNextCommandIsAnsweredRight)
{
    std::uint16_t dead = 0;
    {
        FakeFtpServer probe;   // a port that was free a moment ago and has nobody now
        dead = probe.Port();
    }
    const std::string pasv = "227 Entering Passive Mode (127,0,0,1," + std::to_string(dead >> 8) + ","
                             + std::to_string(dead & 0xFF) + ")";
    FakeFtpServer s;
    Session(s, FileLine("f.bin", 5)).Expect("TYPE I").Reply("200 Type set to I").Expect("PASV").Reply(pasv)
        .Expect("PWD").Reply("257 \"/pub/after\" is the current directory").Expect("PASV").PasvReply()
        .Expect("LIST").DataAccept().Reply("150 Here it comes").DataClose().Reply("226 Done");
    s.Start();
    Connect(s);
    SelectRemote({"f.bin"});
    QTest::mouseClick(Main().btnDownload, Qt::LeftButton);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Done, (DoneList{{36, 0}, {10, 550}}));
    EXPECT_EQ(MessageBoxes, (BoxList{{"FTP Error", "Can't execute command"}}));
    EXPECT_TRUE(Main().DebugLines.contains(
        "Error From Ombrex: ERROR 550: Unable to establish data connection, error #10061"));
    QTest::mouseClick(Main().btnRefresh, Qt::LeftButton);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Main().lblCurrentRemoteDir->text(), "/pub/after");
    EXPECT_TRUE(s.Errors().empty());
}

// ---- a server that stops answering ----

TEST_F(FaultMatrixTest, SilentServerLeavesTheWindowResponsiveAndAbortWorks)
{
    const std::string data = Payload(60000);
    FakeFtpServer s;
    Session(s, FileLine("slow.bin", 1000000)).Expect("TYPE I").Reply("200 Type set to I").Expect("PASV")
        .PasvReply().Expect("RETR slow.bin").DataAccept().Reply("150 Opening").DataSend(data).Delay(60000);
    s.Start();
    Connect(s);
    SelectRemote({"slow.bin"});
    QTest::mouseClick(Main().btnDownload, Qt::LeftButton);
    ASSERT_TRUE(PumpUntil([&] { return Main().btnAbort->isEnabled(); }));
    // The loop keeps turning: a timer fires again and again while the server is silent,
    // and the user's click on Abort is what ends the wait.
    int ticks = 0;
    bool aborted = false;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        // Once everything sent has arrived, so that the file can be checked whole.
        if (++ticks >= 25 && Main().FtpClient1->ByteCount() == std::int64_t(data.size()) && !aborted) {
            aborted = true;
            QTest::mouseClick(Main().btnAbort, Qt::LeftButton);
        }
    });
    timer.start(20);
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(PumpUntil([&] { return !Done.empty() && Done.back().first == rqGet; }, 10000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_GE(ticks, 25);
    EXPECT_EQ(Done.back(), std::make_pair(int(rqGet), 426));
    EXPECT_TRUE(UserLogHas(" STATUS: Aborting..."));
    EXPECT_EQ(MessageBoxes, (BoxList{{"FTP Message", "Operation aborted."}}));
    EXPECT_FALSE(Forms->TransferStatusForm->isVisible());
    // The transfer is over; Abort itself stays offered while the reconnect of the
    // recovery waits on this server, which serves one session only.
    EXPECT_FALSE(Main().TransferBusy);
    EXPECT_EQ(ReadBytes(LocalPath("slow.bin")), Bytes(data));   // what came stays
}

TEST_F(FaultMatrixTest, ACommandThatIsNeverAnsweredCanBeAbortedFromTheWindow)
{
    // Disconnect is refused while a request runs, so Abort must be offered for any
    // request, not only for transfers, or a silent server leaves the user no way out.
    FakeFtpServer s;
    Session(s, FileLine("a.txt", 1)).Expect("PWD").Delay(60000);
    s.Start();
    Connect(s);
    EXPECT_FALSE(Main().btnAbort->isEnabled());
    QTest::mouseClick(Main().btnRefresh, Qt::LeftButton);
    ASSERT_TRUE(PumpUntil([&] { return Main().btnAbort->isEnabled(); }));
    PumpFor(200);
    EXPECT_TRUE(Done.empty());
    QTest::mouseClick(Main().btnAbort, Qt::LeftButton);
    ASSERT_TRUE(PumpUntil([&] { return !Done.empty(); }, 5000));
    // A single command that is aborted ends without an error of its own; the closed
    // control connection is what the user sees.
    EXPECT_EQ(Done.front(), std::make_pair(int(rqPwd), 0));
    ASSERT_TRUE(WaitClosed());
    EXPECT_FALSE(Main().btnAbort->isEnabled());
    EXPECT_TRUE(Main().btnConnect->isEnabled());
}

// ---- replies ----

TEST_F(FaultMatrixTest, AFloodOfUnaskedRepliesKeepsTheLogsBoundedAndTheSessionUsable)
{
    // Unasked replies while idle go to both logs, which keep their last lines only; the
    // refresh that follows gets its own answers.
    std::string flood;
    for (int i = 0; i < 5000; ++i)
        flood += "200 unasked " + std::to_string(i) + "\r\n";
    FakeFtpServer s;
    Session(s, FileLine("a.txt", 1)).Delay(300).Send(flood).Expect("PWD").Reply("257 \"/pub\"");
    List(s, FileLine("b.txt", 1));
    s.Start();
    Connect(s);
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(PumpUntil([&] { return Lines(Main().txtUserLog).last() == " FTP: < 200 unasked 4999"; }, 60000));
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    RecordProperty("flood_ms", int(took.count()));
    EXPECT_EQ(Lines(Main().txtUserLog).size(), 101);
    EXPECT_TRUE(Done.empty());
    QTest::mouseClick(Main().btnRefresh, Qt::LeftButton);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Done, (DoneList{{31, 0}, {7, 0}}));
    EXPECT_EQ(Captions(), (QStringList{"..", "b.txt"}));
    EXPECT_TRUE(MessageBoxes.empty());
}

// ---- listings ----

TEST_F(FaultMatrixTest, OddListingLinesAreShownByteForByteOrReported)
{
    std::string longName(10 * 1024, 'n');
    std::string listing = FileLine(longName, 1) + FileLine("sub/dir.txt", 2) + FileLine("..", 3)
                          + FileLine(std::string("nul\0byte", 8), 4) + FileLine("tab\tand\x1b[31mescape", 5)
                          + FileLine("caf\xe9 \xff\xfe.bin", 6) + "\x01\x02 garbage line\r\n"
                          + std::string(12000, 'x') + "\r\n" + FileLine("plain.txt", 7);
    FakeFtpServer s;
    Session(s, listing);
    s.Start();
    Connect(s);
    QStringList captions = Captions();
    // Sorted by name after the parent row; the server's own ".." stands beside it.
    EXPECT_EQ(captions.size(), 8);
    for (const std::string& name : {longName, std::string("sub/dir.txt"), std::string("nul"),
                                    std::string("tab\tand\x1b[31mescape"), std::string("caf\xe9 \xff\xfe.bin"),
                                    std::string("plain.txt")})
        EXPECT_TRUE(captions.contains(TextFromBytes(name))) << name.substr(0, 40);
    EXPECT_EQ(captions.count(".."), 2);
    EXPECT_TRUE(UserLogHas("!ERROR: Invalid line in directory content: \x01\x02 garbage line"));
    EXPECT_TRUE(UserLogHas("!ERROR: Invalid line in directory content: " + QString(12000, 'x')));
    EXPECT_TRUE(Main().btnDownload->isEnabled());
    EXPECT_TRUE(Boxes.empty());
}

TEST_F(FaultMatrixTest, AHundredThousandLineListingIsShownWhole)
{
    std::string listing;
    listing.reserve(100000 * 48);
    for (int i = 0; i < 100000; ++i)
        listing += FileLine("file" + std::to_string(i) + ".dat", std::size_t(i));
    FakeFtpServer s;
    Session(s, listing);
    s.Start();
    Connect(s, true, 60000);
    EXPECT_EQ(Main().lvRemoteDir->Model()->Count(), 100001);
    EXPECT_EQ(Main().FtpClient1->State(), fcsReady);
    EXPECT_TRUE(Boxes.empty());
}

// ---- the local side ----

TEST_F(FaultMatrixTest, DiskFullWhileDownloadingIsAnErrorAndTheBatchGoesOn)
{
    // A small tmpfs where mounting is allowed (root in CI); elsewhere the target is a link to
    // /dev/full, which takes the open and refuses every write with ENOSPC.
    const std::string data = Payload(200000);
    const QString small = Temp.filePath("small");
    ASSERT_TRUE(QDir().mkpath(small));
    bool mounted = ::mount("tmpfs", small.toLocal8Bit().constData(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64k") == 0;
    struct Unmount {
        bool Mounted;
        QString Path;
        ~Unmount()
        {
            if (Mounted)
                ::umount2(Path.toLocal8Bit().constData(), MNT_DETACH);
        }
    } unmount{mounted, small};
    if (mounted) {
        Main().flbLocalFiles.SetDirectory(BytesFromText(small));
    } else {
        if (::access("/dev/full", W_OK) != 0)
            GTEST_SKIP() << "neither a tmpfs nor /dev/full";
        ASSERT_EQ(::symlink("/dev/full", LocalPath("full.bin").toLocal8Bit().constData()), 0);
        FAnswer = &TFileExistsForm::btnReplace;   // the link is there: overwrite it, as asked
    }
    const QString target = (mounted ? small : Local) + "/full.bin";
    const QString after = (mounted ? small : Local) + "/tiny.txt";
    FakeFtpServer s;
    Session(s, FileLine("full.bin", data.size()) + FileLine("tiny.txt", 2)).Expect("TYPE I")
        .Reply("200 Type set to I").Expect("PASV").PasvReply().Expect("RETR full.bin").DataAccept()
        .Reply("150 Opening").DataSend(data).DataClose().Reply("226 Transfer complete");
    // The batch goes on. On the full tmpfs the next file fails the same way.
    s.Expect("TYPE I").Reply("200 Type set to I").Expect("PASV").PasvReply().Expect("RETR tiny.txt")
        .DataAccept().Reply("150 Opening").DataSend("ok").DataClose().Reply("226 Transfer complete");
    s.Start();
    Connect(s);
    TFileListView& view = *Main().lvRemoteDir;
    view.SelectionModel()->clearSelection();
    for (int i = 0; i < view.Model()->Count(); ++i)
        view.SetSelected(i, view.Model()->Item(i).Caption != "..");
    QTest::mouseClick(Main().btnDownload, Qt::LeftButton);
    ASSERT_TRUE(WaitIdle());
    ASSERT_EQ(Done.size(), 4u);
    EXPECT_EQ(Done[1], std::make_pair(int(rqGet), 550));
    EXPECT_EQ(Done[3], std::make_pair(int(rqGet), mounted ? 550 : 0));
    EXPECT_TRUE(UserLogHas(" FTP: ! Error writing local file"));
    ASSERT_FALSE(MessageBoxes.empty());
    EXPECT_EQ(MessageBoxes.front(), (std::pair<QString, QString>{"FTP Error", "Can't execute command"}));
    EXPECT_TRUE(Main().DebugLines.contains("Error From Ombrex: ERROR 550: Unable to write local file "
                                           + target));
    // Never "OK. File getted" for the file that did not fit.
    const QStringList log = Lines(Main().txtUserLog);
    int failed = int(log.indexOf(" FTP: ! Error writing local file"));
    int next = int(log.indexOf(" STATUS: Getting file...", failed));
    EXPECT_FALSE(log.mid(failed, next < 0 ? -1 : next - failed).contains(" STATUS: OK. File getted"));
    EXPECT_TRUE(Main().ControlConnectionOpen());
    if (mounted) {
        QFileInfo info(target);
        EXPECT_LT(info.size(), qint64(data.size()));
        EXPECT_TRUE(Bytes(data).startsWith(ReadBytes(target)));   // the part that fitted is right
    } else {
        EXPECT_EQ(ReadBytes(after), "ok");
    }
    EXPECT_TRUE(s.Errors().empty());
}

TEST_F(FaultMatrixTest, DestinationFolderRemovedDuringABatchFailsTheRestWithoutWritingElsewhere)
{
    const QString gone = Temp.filePath("gone");
    ASSERT_TRUE(QDir().mkpath(gone));
    Main().flbLocalFiles.SetDirectory(BytesFromText(gone));
    FakeFtpServer s;
    Session(s, FileLine("one.bin", 3) + FileLine("two.bin", 3)).Expect("TYPE I").Reply("200 Type set to I")
        .Expect("PASV").PasvReply().Expect("RETR one.bin").DataAccept().Reply("150 Opening").DataSend("111")
        .DataClose().Reply("226 Transfer complete").Expect("TYPE I").Reply("200 Type set to I").Expect("PASV")
        .PasvReply().Expect("NOOP").Reply("200 still here");
    s.Start();
    Connect(s);
    // The folder goes as soon as the first file is in.
    TFtpClient& client = *Main().FtpClient1;
    auto done = client.OnRequestDone;
    client.OnRequestDone = [&, done](TCustomFtpCli* c, TFtpRequest kind, std::uint16_t error) {
        if (kind == rqGet && QDir(gone).exists()) {
            EXPECT_TRUE(QDir(gone).removeRecursively());
        }
        done(c, kind, error);
    };
    TFileListView& view = *Main().lvRemoteDir;
    view.SelectionModel()->clearSelection();
    for (int i = 0; i < view.Model()->Count(); ++i)
        view.SetSelected(i, view.Model()->Item(i).Caption != "..");
    QTest::mouseClick(Main().btnDownload, Qt::LeftButton);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Done, (DoneList{{36, 0}, {10, 0}, {36, 0}, {10, 550}}));
    EXPECT_EQ(MessageBoxes, (BoxList{{"FTP Error", "Can't execute command"}}));
    EXPECT_TRUE(Main().DebugLines.contains("Error From Ombrex: ERROR 550: Unable to open local file " + gone
                                           + "/two.bin"));
    EXPECT_FALSE(QDir(gone).exists());   // not made again
    EXPECT_FALSE(QFile::exists(Temp.filePath("two.bin")));
    // The session is in step: the next command gets its own answer.
    Main().AppendCommand(qcRaw, {"NOOP"});
    Main().RunQueue();
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Done.back(), std::make_pair(int(rqQuote), 0));
    EXPECT_EQ(Main().FtpClient1->LastReply(), "200 still here");
    EXPECT_TRUE(s.Errors().empty());
}

TEST_F(FaultMatrixTest, UploadFileRemovedAfterItsStepBeganIsReportedAndNothingIsSent)
{
    // Removed between the look for it and its opening: while PASV is on its way.
    ASSERT_TRUE(WriteBytes(LocalPath("brief.bin"), "short-lived"));
    FakeFtpServer s;
    Session(s, "").Expect("TYPE I").Reply("200 Type set to I").Expect("PASV").PasvReply();
    s.Start();
    Connect(s);
    SelectLocal("brief.bin");
    Main().FtpClient1->OnCommand = [&](TCustomFtpCli*, std::string& cmd) {
        if (cmd == "PASV")
            ::unlink(LocalPath("brief.bin").toLocal8Bit().constData());
    };
    QTest::mouseClick(Main().btnUpload, Qt::LeftButton);
    ASSERT_TRUE(PumpUntil([&] { return Done.size() >= 2; }));
    EXPECT_EQ(Done[1], std::make_pair(int(rqPut), 426));
    EXPECT_TRUE(UserLogHas(" FTP: ! 426 Unable to open local file " + LocalPath("brief.bin")));
    EXPECT_FALSE(UserLogHas(" STATUS: OK. File sended"));
    EXPECT_EQ(s.Transcript().back(), "PASV");   // no STOR went out
    // The engine reports a file it cannot open with 426, which the window takes for an abort.
    EXPECT_EQ(MessageBoxes, (BoxList{{"FTP Message", "Operation aborted."}}));
    EXPECT_TRUE(Boxes.empty());
    EXPECT_FALSE(QFile::exists(LocalPath("brief.bin")));
}
