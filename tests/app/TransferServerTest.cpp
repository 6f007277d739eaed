// Transfers and remote file operations of the started program against real servers
// (vsftpd anonymous with its writable /upload, pyftpdlib for SITE CHMOD): downloads with
// the file-exists answers, uploads, an aborted download resumed, the type of each file,
// remove, new directory, rename and CHMOD. Files are compared on both sides.
#include "AppTestUtil.h"
#include "servers/PeerPolicy.h"

#include "app/ByteText.h"
#include "dialogs/FileExistsForm.h"
#include "dialogs/InputDialog.h"
#include "dialogs/TransferStatusForm.h"
#include "platform/MessageWindow.h"
#include "servers/FtpServers.h"

#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <sys/stat.h>
#include <unistd.h>

#include <random>

using namespace apptest;

namespace {

std::string RandomBytes(std::size_t size, unsigned seed)
{
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes)
        c = static_cast<char>(generator() & 0xff);
    return bytes;
}

// The order in which the lines holding each needle first appear in the user log.
std::vector<qsizetype> LogPositions(const QPlainTextEdit* box, const QStringList& needles)
{
    const QStringList lines = Lines(box);
    std::vector<qsizetype> positions;
    for (const QString& needle : needles)
        positions.push_back(lines.indexOf(needle));
    return positions;
}

} // namespace

class TransferServerTest : public RemoteProgramTest {
protected:
    void SetUp() override
    {
        RemoteProgramTest::SetUp();
        Main().AscModExPath = Temp.filePath("AscModEx.txt");
        ASSERT_TRUE(testsrv::WriteFile(BytesFromText(Main().AscModExPath), "txt\nhtml\n"));
        Local = BytesFromText(MakeLocalFolder());
        Forms->FileExistsForm->OnShowModal = [this] {
            TFileExistsForm& form = *Forms->FileExistsForm;
            Asked << form.lblWarning->text();
            QPushButton* button = Answers.isEmpty() ? form.btnCancel : Answers.takeFirst();
            form.show();
            QTest::mouseClick(button, Qt::LeftButton);
            return form.result();
        };
    }

    // Starts vsftpd; false (the test skips) when it cannot run here.
    bool StartVsftpd()
    {
        Server = testsrv::StartVsftpd();
        return Server != nullptr;
    }

    // Connects through the connect dialog into dir and waits until the session is idle.
    void Connect(const std::string& dir, bool passive = true)
    {
        PressConnect(Server->Port(), QString::fromStdString(Server->User()),
                     QString::fromStdString(Server->Password()), QString::fromStdString(dir), passive);
        ASSERT_TRUE(WaitIdle());
        ASSERT_EQ(Main().lblCurrentRemoteDir->text().toStdString(), dir);
    }

    // Answers the input dialog with text once.
    void AnswerInput(const QString& text)
    {
        Forms->InputDialog->OnShowModal = [this, text] {
            Forms->InputDialog->txtResult->setText(text);
            Forms->InputDialog->OnShowModal = [] { return int(QDialog::Rejected); };
            return int(QDialog::Accepted);
        };
    }

    std::string OnServer(const std::string& path) const { return Server->LocalPath(path); }
    std::string LocalFile(const std::string& name) const { return Local + "/" + name; }
    static std::string Read(const std::string& path) { return testsrv::ReadFile(path); }
    static bool Exists(const std::string& path)
    {
        struct stat st {};
        return ::lstat(path.c_str(), &st) == 0;
    }

    std::string Local;
    std::unique_ptr<testsrv::FtpServer> Server;
    QStringList Asked;                 // the file-exists dialog's warnings
    QList<QPushButton*> Answers;       // its buttons to press, in turn ("&Skip" when none)
};

TEST_F(TransferServerTest, VsftpdDownloadsTheSelectedFilesAndRewriteAllAnswersOnce)
{
    // Folders handled one level deep, as when they do not go through the transfer queue.
    Main().QueueFolders = false;
    if (!StartVsftpd())
        OMBREX_PEER_MISSING("vsftpd");
    ASSERT_EQ(::mkdir(OnServer("/pub").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(OnServer("/pub/folder").c_str(), 0755), 0);
    const std::pair<const char*, std::string> files[] = {
        {"one.bin", RandomBytes(70000, 1)}, {"two words.dat", RandomBytes(3, 2)}, {"three.bin", std::string()}};
    for (const auto& [name, bytes] : files)
        ASSERT_TRUE(testsrv::WriteFile(OnServer(std::string("/pub/") + name), bytes));
    Connect("/pub");

    SelectRemote({"folder", "one.bin", "two words.dat", "three.bin"});
    QTest::mouseClick(Main().btnDownload, Qt::LeftButton);
    ASSERT_TRUE(WaitIdle());
    for (const auto& [name, bytes] : files)
        EXPECT_EQ(Read(LocalFile(name)), bytes) << name;
    EXPECT_FALSE(Exists(LocalFile("folder")));
    EXPECT_TRUE(Asked.isEmpty());
    EXPECT_EQ(Lines(Main().txtUserLog).count(" STATUS: OK. File getted"), 3);

    // The same three again, now over changed copies: one question for the batch.
    for (const auto& [name, bytes] : files)
        ASSERT_TRUE(testsrv::WriteFile(LocalFile(name), "changed locally, longer than before"));
    Answers = {Forms->FileExistsForm->btnReplaceAll};
    SelectRemote({"one.bin", "two words.dat", "three.bin"});
    Main().btnDownloadClick();
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Asked, QStringList{QString::fromStdString(LocalFile("one.bin")) + " exists"});
    for (const auto& [name, bytes] : files)
        EXPECT_EQ(Read(LocalFile(name)), bytes) << name;
    EXPECT_EQ(Lines(Main().txtUserLog).count(" STATUS: OK. File getted"), 6);
    EXPECT_TRUE(MessageBoxes.empty());
    EXPECT_TRUE(Boxes.empty());
}

TEST_F(TransferServerTest, VsftpdUploadsTheSelectionAndListsIt)
{
    if (!StartVsftpd())
        OMBREX_PEER_MISSING("vsftpd");
    const std::pair<const char*, std::string> files[] = {
        {"notes.txt", "first line\nsecond line\n"}, {"image.bin", RandomBytes(200000, 3)}, {"with blank.bin", "x"}};
    for (const auto& [name, bytes] : files)
        ASSERT_TRUE(testsrv::WriteFile(LocalFile(name), bytes));
    ASSERT_TRUE(testsrv::WriteFile(LocalFile("left.bin"), "not selected"));
    Connect("/upload", false);   // active: the server connects back for each file

    Main().flbLocalFiles.Update();
    for (const auto& [name, bytes] : files)
        Main().flbLocalFiles.SetSelected(Main().flbLocalFiles.IndexOf(name), true);
    QTest::mouseClick(Main().btnUpload, Qt::LeftButton);
    ASSERT_TRUE(WaitIdle());
    // The text file went as ASCII: line ends converted on the way and back again.
    for (const auto& [name, bytes] : files)
        EXPECT_EQ(Read(OnServer(std::string("/upload/") + name)), bytes) << name;
    EXPECT_FALSE(Exists(OnServer("/upload/left.bin")));
    EXPECT_EQ(Captions(), (QStringList{"..", "image.bin", "notes.txt", "with blank.bin"}));
    EXPECT_EQ(Lines(Main().txtUserLog).count(" STATUS: OK. File sended"), 3);
    EXPECT_TRUE(MessageBoxes.empty());
}

TEST_F(TransferServerTest, VsftpdAbortedDownloadResumesToTheSameBytes)
{
    if (!StartVsftpd())
        OMBREX_PEER_MISSING("vsftpd");
    const std::string big = RandomBytes(48 << 20, 4);
    ASSERT_TRUE(testsrv::WriteFile(OnServer("/big.bin"), big));
    Connect("/");

    // The user presses the status window's "&Cancel" once a part has arrived.
    TFtpClient& client = *Main().FtpClient1;
    auto progress = client.OnProgress;
    bool pressed = false;
    client.OnProgress = [&, progress](TCustomFtpCli* c, std::int64_t count, bool& abort) {
        progress(c, count, abort);
        if (!pressed && count > (1 << 20)) {
            pressed = true;
            QTimer::singleShot(0, [this] {
                QTest::mouseClick(Forms->TransferStatusForm->btnAbort, Qt::LeftButton);
            });
        }
    };
    SelectRemote({"big.bin"});
    Main().btnDownloadClick();
    ASSERT_TRUE(PumpUntil([&] { return !MessageBoxes.empty(); }, 30000));
    ASSERT_TRUE(WaitIdle());   // reconnected into the same directory
    client.OnProgress = progress;
    EXPECT_EQ(MessageBoxes, (std::vector<std::pair<QString, QString>>{{"FTP Message", "Operation aborted."}}));
    EXPECT_EQ(Main().lblCurrentRemoteDir->text(), "/");
    const std::string part = Read(LocalFile("big.bin"));
    ASSERT_GT(part.size(), 0u);
    ASSERT_LT(part.size(), big.size()) << "the download ended before the abort";
    EXPECT_EQ(part, big.substr(0, part.size()));

    Answers = {Forms->FileExistsForm->btnRestartBrokenTransfer};
    SelectRemote({"big.bin"});
    Main().btnDownloadClick();
    ASSERT_TRUE(WaitIdle(60000));
    EXPECT_EQ(Asked.size(), 1);
    EXPECT_TRUE(Lines(Main().txtUserLog).contains(" FTP: > REST " + QString::number(part.size())));
    EXPECT_TRUE(Lines(Main().txtUserLog).contains(" STATUS: Restoring broken transfer..."));
    EXPECT_TRUE(Read(LocalFile("big.bin")) == big) << "the resumed file differs";
    EXPECT_EQ(MessageBoxes.size(), 1u);
}

TEST_F(TransferServerTest, VsftpdSendsEachFileWithItsOwnType)
{
    if (!StartVsftpd())
        OMBREX_PEER_MISSING("vsftpd");
    // Both hold CR LF line ends: as ASCII they arrive with LF, as binary unchanged.
    const std::string text = "one\r\ntwo\r\n";
    ASSERT_TRUE(testsrv::WriteFile(OnServer("/a.txt"), text));
    ASSERT_TRUE(testsrv::WriteFile(OnServer("/b.zip"), text));
    Connect("/");
    SelectRemote({"a.txt", "b.zip"});
    Main().btnDownloadClick();
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Read(LocalFile("a.txt")), "one\ntwo\n");
    EXPECT_EQ(Read(LocalFile("b.zip")), text);
    std::vector<qsizetype> order = LogPositions(
        Main().txtUserLog, {" FTP: > TYPE A", " FTP: > RETR a.txt", " FTP: > TYPE I", " FTP: > RETR b.zip"});
    EXPECT_GE(order[0], 0);
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end())) << order[0] << order[1] << order[2] << order[3];
}

TEST_F(TransferServerTest, VsftpdRemovesADirectoryMakesOneAndRenames)
{
    // Folders handled one level deep, as when they do not go through the transfer queue.
    Main().QueueFolders = false;
    if (!StartVsftpd())
        OMBREX_PEER_MISSING("vsftpd");
    // Made here as root, so opened to the anonymous user that removes them.
    ASSERT_EQ(::mkdir(OnServer("/upload/old dir").c_str(), 0777), 0);
    ASSERT_EQ(::chmod(OnServer("/upload/old dir").c_str(), 0777), 0);
    ASSERT_TRUE(testsrv::WriteFile(OnServer("/upload/old dir/first.txt"), "1"));
    ASSERT_TRUE(testsrv::WriteFile(OnServer("/upload/old dir/second.bin"), "2"));
    ASSERT_TRUE(testsrv::WriteFile(OnServer("/upload/keep.txt"), "keep"));
    ASSERT_TRUE(testsrv::WriteFile(OnServer("/upload/name.txt"), "renamed content"));
    ASSERT_EQ(::chmod(OnServer("/upload/name.txt").c_str(), 0666), 0);
    Connect("/upload");

    SelectRemote({"old dir"});
    QTest::mouseClick(Main().btnRemoveFile, Qt::LeftButton);
    ASSERT_TRUE(WaitIdle());
    EXPECT_FALSE(Exists(OnServer("/upload/old dir")));
    EXPECT_EQ(Read(OnServer("/upload/keep.txt")), "keep");
    EXPECT_EQ(Main().lblCurrentRemoteDir->text(), "/upload");
    EXPECT_EQ(Captions(), (QStringList{"..", "keep.txt", "name.txt"}));

    AnswerInput("made here");
    QTest::mouseClick(Main().btnMKDir, Qt::LeftButton);
    ASSERT_TRUE(WaitIdle());
    struct stat st {};
    ASSERT_EQ(::stat(OnServer("/upload/made here").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_TRUE(Captions().contains("made here"));

    SelectRemote({"name.txt"});
    AnswerInput("new name.txt");
    QTest::mouseClick(Main().btnRename, Qt::LeftButton);
    ASSERT_TRUE(WaitIdle());
    EXPECT_FALSE(Exists(OnServer("/upload/name.txt")));
    EXPECT_EQ(Read(OnServer("/upload/new name.txt")), "renamed content");
    EXPECT_EQ(Captions(), (QStringList{"..", "made here", "keep.txt", "new name.txt"}));
    EXPECT_TRUE(MessageBoxes.empty());
    for (const char* line : {" STATUS: OK. Removed", " STATUS: OK. Directory created", " STATUS: OK. Renamed"})
        EXPECT_TRUE(Lines(Main().txtUserLog).contains(line)) << line;
}

TEST_F(TransferServerTest, ChmodSendsSiteChmodWithTheTypedMode)
{
    // Anonymous vsftpd refuses SITE CHMOD; pyftpdlib's user may change the mode.
    if (StartVsftpd()) {
        ASSERT_TRUE(testsrv::WriteFile(OnServer("/upload/index.html"), "<html>"));
        ASSERT_EQ(::chmod(OnServer("/upload/index.html").c_str(), 0644), 0);
        Connect("/upload");
        SelectRemote({"index.html"});
        AnswerInput("755");
        QTest::mouseClick(Main().btnCHMOD, Qt::LeftButton);
        ASSERT_TRUE(WaitIdle());
        EXPECT_TRUE(Lines(Main().txtUserLog).contains(" FTP: > SITE CHMOD 755 index.html"));
        struct stat st {};
        ASSERT_EQ(::stat(OnServer("/upload/index.html").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0644u);
        EXPECT_EQ(MessageBoxes, (std::vector<std::pair<QString, QString>>{{"FTP Error", "Can't execute command"}}));
        QTest::mouseClick(Main().btnDisconnect, Qt::LeftButton);
        ASSERT_TRUE(PumpUntil([&] { return !Main().ControlConnectionOpen(); }));
        Server.reset();
    }

    Server = testsrv::StartPyftpdlib();
    if (!Server)
        OMBREX_PEER_MISSING("pyftpdlib");
    ASSERT_TRUE(testsrv::WriteFile(OnServer("/index.html"), "<html>"));
    ASSERT_EQ(::chmod(OnServer("/index.html").c_str(), 0644), 0);
    Connect("/");
    SelectRemote({"index.html"});
    AnswerInput("755");
    QTest::mouseClick(Main().btnCHMOD, Qt::LeftButton);
    ASSERT_TRUE(WaitIdle());
    EXPECT_TRUE(Lines(Main().txtUserLog).contains(" FTP: > SITE CHMOD 755 index.html"));
    EXPECT_TRUE(Lines(Main().txtUserLog).contains(" STATUS: OK. Executed"));
    struct stat st {};
    ASSERT_EQ(::stat(OnServer("/index.html").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
}
