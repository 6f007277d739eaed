// What a password and a hostile server must never achieve, through the started program
// against a scripted server: the password reaches no log and no listing file, and names
// from a listing that are no plain names are never downloaded to, deleted or opened.
#include "app/AppTestEnvironment.h"

#include "app/ByteText.h"
#include "dialogs/ConnectForm.h"
#include "dialogs/InputDialog.h"
#include "dialogs/LogForm.h"
#include "ftp/FakeFtpServer.h"
#include "platform/MessageWindow.h"

#include <QCheckBox>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTemporaryDir>

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

using ftptest::FakeFtpServer;

namespace {

// Unusual enough that finding it anywhere means it leaked.
const char* const kPassword = "Zq7-never-logged";
const char* const kRawSecret = "Rw4-raw-secret";

FakeFtpServer& Login(FakeFtpServer& s)
{
    return s.Reply("220 Fake FTP ready")
        .Expect("USER joe")
        .Reply("331 Password required")
        .Expect(std::string("PASS ") + kPassword)
        .Reply("230 Logged in")
        .Expect("FEAT")
        .Reply("500 Unknown command");
}

FakeFtpServer& List(FakeFtpServer& s, const std::string& listing)
{
    return s.Expect("PASV").PasvReply().Expect("LIST").DataAccept().Reply("150 Here it comes")
        .DataSend(listing).DataClose().Reply("226 Done");
}

// Login, CWD /pub, and the two PWD and LIST pairs that follow a connection.
FakeFtpServer& Session(FakeFtpServer& s, const std::string& listing)
{
    Login(s).Expect("CWD /pub").Reply("250 Directory changed");
    for (int i = 0; i < 2; ++i) {
        s.Expect("PWD").Reply("257 \"/pub\" is the current directory");
        List(s, listing);
    }
    return s;
}

bool PumpUntil(const std::function<bool()>& cond, int timeoutMs = 8000)
{
    const std::uint64_t deadline = platform::GetTickCount64() + std::uint64_t(timeoutMs);
    while (!cond()) {
        if (platform::GetTickCount64() > deadline)
            return false;
        platform::PumpMessages();
        platform::Sleep(1);
    }
    return true;
}

std::vector<std::string> FolderNames(const std::string& folder)
{
    std::vector<std::string> names;
    if (DIR* d = ::opendir(folder.c_str())) {
        while (dirent* e = ::readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                names.emplace_back(e->d_name);
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

class SecurityTest : public ProgramTest {
protected:
    void SetUp() override
    {
        ProgramTest::SetUp();
        ASSERT_TRUE(Temp.isValid());
        char cwd[4096];
        ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
        OldCwd = cwd;
        Main().ListTempPath = Temp.filePath("OFTPTEMP.TMP");
        Main().OnShellOpen = [this](const QString& path) { Opened << path; };
        Forms->ConnectForm->OnShowModal = [this] {
            TConnectForm& form = *Forms->ConnectForm;
            form.txtServerName->setText(QStringLiteral("127.0.0.1"));
            form.txtPort->setText(QString::number(Port));
            form.txtUserName->setText(QStringLiteral("joe"));
            form.txtPassWord->setText(QString::fromLatin1(kPassword));
            form.txtRemoteDir->setText(QStringLiteral("/pub"));
            form.chkPassive->setChecked(true);
            return static_cast<int>(QDialog::Accepted);
        };
    }

    void TearDown() override
    {
        // The local pane changes the working directory as it follows its folder.
        ASSERT_EQ(::chdir(OldCwd.c_str()), 0);
        ProgramTest::TearDown();
    }

    void Connect(FakeFtpServer& s)
    {
        Port = s.Port();
        s.Start();
        Main().btnConnectClick();
        ASSERT_TRUE(WaitIdle());
        ASSERT_TRUE(Main().ControlConnectionOpen());
    }

    bool WaitIdle(int ms = 8000)
    {
        auto idle = [&] { return Main().IsClientIdle() && Main().CommandQueue.isEmpty(); };
        return PumpUntil([&] {
            if (!idle())
                return false;
            platform::PumpMessages();
            return idle();
        }, ms);
    }

    // Every text the program logged: the user log, the debug lines and the debug window.
    QString AllLogs()
    {
        return Main().txtUserLog->toPlainText() + '\n' + Main().DebugLines.join('\n') + '\n'
               + Forms->LogForm->txtLog->toPlainText();
    }

    void SelectAllRemoteRows()
    {
        Main().lvRemoteDir->ClearSelection();
        for (int row = 0; row < Main().lvRemoteDir->Model()->Count(); ++row)
            Main().lvRemoteDir->SetSelected(row, true);
    }

    QTemporaryDir Temp;
    std::string OldCwd;
    std::uint16_t Port = 0;
    QStringList Opened;
};

// ---- credentials ----

TEST_F(SecurityTest, ThePasswordReachesNoLogAndNoListingFile)
{
    const std::string listing = "-rw-r--r-- 1 joe joe 12 Jan 10 2000 readme.txt\r\n";
    FakeFtpServer s;
    Session(s, listing);
    // A password typed as a raw command ("pass" in any case) is hidden as well.
    s.Expect(std::string("pass ") + kRawSecret).Reply("503 Login with USER first");
    Connect(s);
    Forms->InputDialog->OnShowModal = [this] {
        Forms->InputDialog->txtResult->setText(QStringLiteral("pass ") + QString::fromLatin1(kRawSecret));
        return static_cast<int>(QDialog::Accepted);
    };
    Main().btnSendCustomCmdClick();
    ASSERT_TRUE(WaitIdle());
    ASSERT_TRUE(PumpUntil([&] { return s.Done(); }));
    EXPECT_EQ(s.Transcript().back(), std::string("pass ") + kRawSecret);

    const QString logs = AllLogs();
    EXPECT_FALSE(logs.contains(QString::fromLatin1(kPassword))) << logs.toStdString();
    EXPECT_FALSE(logs.contains(QString::fromLatin1(kRawSecret))) << logs.toStdString();
    // Both commands were logged, masked: the checks above looked at the right lines.
    EXPECT_EQ(Main().txtUserLog->toPlainText().count(QStringLiteral(" FTP: > PASS ******")), 2) << logs.toStdString();
    EXPECT_TRUE(s.Errors().empty());

    QFile file(Main().ListTempPath);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray content = file.readAll();
    EXPECT_EQ(content.toStdString(), listing);
    EXPECT_FALSE(content.contains(kPassword));
}

// ---- a hostile listing ----

// Names a server may list that are no plain names: acting on them would reach outside the
// directory shown, locally or on the server.
const std::string kHostileListing =
    "-rw-r--r-- 1 joe joe 5 Jan 10 2000 ../escape.txt\r\n"
    "-rw-r--r-- 1 joe joe 5 Jan 10 2000 sub/inner.txt\r\n"
    "-rw-r--r-- 1 joe joe 5 Jan 10 2000 /tmp/absolute.txt\r\n"
    "drwxr-xr-x 2 joe joe 4096 Jan 10 2000 ../up\r\n"
    "drwxr-xr-x 2 joe joe 4096 Jan 10 2000 .\r\n"
    "-rw-r--r-- 1 joe joe 5 Jan 10 2000 cr\rDELE victim.txt\r\n"
    "-rw-r--r-- 1 joe joe 5 Jan 10 2000 ok.txt\r\n";

TEST_F(SecurityTest, AHostileListingIsNeitherDownloadedToNorDeletedNorOpened)
{
    // The local pane shows local/here: "../escape.txt" would land in local/.
    const std::string local = Temp.filePath("local").toStdString();
    const std::string here = local + "/here";
    ASSERT_EQ(::mkdir(local.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(here.c_str(), 0755), 0);
    Main().flbLocalFiles.SetDirectory(here);

    FakeFtpServer s;
    Session(s, kHostileListing);
    // Download of everything selected: only ok.txt goes.
    s.Expect("*").Reply("200 Type set").Expect("PASV").PasvReply().Expect("RETR ok.txt").DataAccept()
        .Reply("150 Sending").DataSend("fine\n").DataClose().Reply("226 Done");
    // Remove of everything selected: only ok.txt goes, then the list is read again.
    s.Expect("DELE ok.txt").Reply("250 Deleted");
    List(s, kHostileListing);
    s.Expect("QUIT").Reply("221 Bye");
    Connect(s);
    ASSERT_EQ(Main().lvRemoteDir->Model()->Count(), 8);   // ".." and the seven rows

    SelectAllRemoteRows();
    Main().btnDownloadClick();
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(FolderNames(here), std::vector<std::string>{"ok.txt"});
    EXPECT_EQ(FolderNames(local), std::vector<std::string>{"here"});
    EXPECT_NE(::access("/tmp/absolute.txt", F_OK), 0);

    SelectAllRemoteRows();
    Main().btnRemoveFileClick();
    ASSERT_TRUE(WaitIdle());

    // Open: a refused name hands nothing to the desktop, and downloads nothing.
    Main().RemotePaneActive = true;
    for (const char* name : {"../escape.txt", "sub/inner.txt", "/tmp/absolute.txt", "cr\rDELE victim.txt"}) {
        Main().lvRemoteDir->ClearSelection();
        for (int row = 0; row < Main().lvRemoteDir->Model()->Count(); ++row)
            if (Main().lvRemoteDir->Model()->Item(row).Caption == QLatin1String(name))
                Main().lvRemoteDir->SetSelected(row, true);
        ASSERT_EQ(Main().lvRemoteDir->SelCount(), 1) << name;
        Main().btnExecFileClick();
        EXPECT_TRUE(Main().CommandQueue.isEmpty()) << name;
    }
    ASSERT_TRUE(WaitIdle());
    EXPECT_TRUE(Opened.isEmpty());

    Main().btnDisconnectClick();
    ASSERT_TRUE(PumpUntil([&] { return s.Done(); }));
    const std::vector<std::string> transcript = s.Transcript();
    const std::vector<std::string> after(transcript.begin() + 11, transcript.end());
    EXPECT_EQ(after, (std::vector<std::string>{"PASV", "RETR ok.txt", "DELE ok.txt", "PASV", "LIST", "QUIT"}));
    EXPECT_TRUE(s.Errors().empty());
    const QString log = Main().txtUserLog->toPlainText();
    // (The log box keeps the CR of the last name as a line break: its first part is enough.)
    for (const char* name : {"../escape.txt", "sub/inner.txt", "/tmp/absolute.txt", "../up", "cr"})
        EXPECT_TRUE(log.contains(QStringLiteral("Refused file name from the server: \"") + QLatin1String(name)))
            << name;
}
