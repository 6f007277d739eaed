// Passwords of favourites in the desktop's keyring: without a secret service the password
// stays in the settings file (with one note per run); with one (gnome-keyring on a private
// session bus, run in a child process) it leaves the file and comes back from the keyring.
#include "dialogs/ConnectForm.h"
#include "dialogs/InputDialog.h"
#include "platform/SecretStore.h"
#include "servers/PeerPolicy.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <cstdlib>

namespace {

class KeyringTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Temp.isValid());
        Path = Temp.filePath("OFTP.ini");
        Form = std::make_unique<TConnectForm>(nullptr, Path);
        Form->OnUserNote = [this](const QString& text) { Notes << text; };
        Form->OnRunModal = [this](QDialog& box) {
            if (auto* input = dynamic_cast<TInputDialog*>(&box)) {
                input->txtResult->setText(SiteName);
                return static_cast<int>(QDialog::Accepted);
            }
            return static_cast<int>(QMessageBox::Yes);
        };
    }

    // Saves the fields as SiteName with user and password.
    void Save(const QString& server, const QString& user, const QString& password, bool keyring)
    {
        Form->txtServerName->setText(server);
        Form->txtUserName->setText(user);
        Form->txtPassWord->setText(password);
        Form->chkKeyring->setChecked(keyring);
        Form->btnSaveCurrentClick();
    }

    void Select(const QString& site)
    {
        const auto found = Form->lstFavorites->findItems(site, Qt::MatchExactly);
        ASSERT_EQ(found.size(), 1);
        Form->lstFavorites->setCurrentItem(found.front());
    }

    QByteArray File()
    {
        QFile f(Path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }

    QTemporaryDir Temp;
    QString Path;
    QString SiteName = QStringLiteral("Site");
    QStringList Notes;
    std::unique_ptr<TConnectForm> Form;
};

// No session bus at all: the state of a test run (and of many a server).
void WithoutSessionBus()
{
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    unsetenv("DISPLAY");
}

} // namespace

TEST_F(KeyringTest, WithoutASecretServiceThePasswordStaysInTheFileWithOneNote)
{
    if (std::getenv("OMBREX_KEYRING_CHILD"))
        GTEST_SKIP() << "the child runs the service cases only";
    WithoutSessionBus();
    EXPECT_FALSE(platform::SecretServiceAvailable());
    struct Case {
        const char* site;
        bool keyring;
        const char* expected;   // the section as written
    };
    const Case cases[] = {
        {"Asked for the keyring", true, "[FAVAsked for the keyring]\nServer=s1\nUser=u1\nPsw=p1\nPort=ftp\n"},
        {"Not asked", false, "[FAVNot asked]\nServer=s2\nUser=u2\nPsw=p2\nPort=ftp\n"},
    };
    int n = 0;
    for (const Case& c : cases) {
        ++n;
        SiteName = QString::fromLatin1(c.site);
        Save(QStringLiteral("s%1").arg(n), QStringLiteral("u%1").arg(n), QStringLiteral("p%1").arg(n), c.keyring);
        EXPECT_TRUE(File().contains(c.expected)) << c.site << "\n" << File().toStdString();
        Select(SiteName);
        Form->txtPassWord->clear();
        Form->btnOpenCurentClick();
        EXPECT_EQ(Form->txtPassWord->text(), QStringLiteral("p%1").arg(n)) << c.site;
    }
    EXPECT_FALSE(File().contains("PswInKeyring=1"));
    ASSERT_EQ(Notes.size(), 1) << "one note per run";
    EXPECT_EQ(Notes.front(), "No keyring (secret service) is running: saved passwords are kept in " + Path
                                 + ", readable only by you");
}

TEST_F(KeyringTest, ASiteWhosePasswordIsInAnUnreachableKeyringOpensWithoutIt)
{
    if (std::getenv("OMBREX_KEYRING_CHILD"))
        GTEST_SKIP() << "the child runs the service cases only";
    WithoutSessionBus();
    QFile f(Path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("[FAVKept]\nServer=host\nUser=me\nPsw=\nPswInKeyring=1\n");
    f.close();
    Form->LoadFavorites();
    Select("Kept");
    Form->btnOpenCurentClick();
    EXPECT_EQ(Form->txtServerName->text(), "host");
    EXPECT_EQ(Form->txtUserName->text(), "me");
    EXPECT_EQ(Form->txtPassWord->text(), "");
    // Deleting it asks the keyring to forget it too; without one the section still goes.
    Form->btnKillCurrentClick();
    EXPECT_EQ(Form->lstFavorites->count(), 0);
}

TEST_F(KeyringTest, WithASecretServiceThePasswordLeavesTheFile)
{
    if (std::getenv("OMBREX_KEYRING_CHILD"))
        GTEST_SKIP() << "the child runs the service cases only";
    const QString session = QStandardPaths::findExecutable("dbus-run-session");
    const QString keyring = QStandardPaths::findExecutable("gnome-keyring-daemon");
    if (session.isEmpty() || keyring.isEmpty())
        OMBREX_PEER_MISSING("gnome-keyring on a private session bus");
    // A keyring of its own: a fresh home, unlocked with a password given on its input.
    QTemporaryDir home;
    QDir().mkpath(home.filePath("run"));
    QFile::setPermissions(home.filePath("run"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", home.path());
    env.insert("XDG_RUNTIME_DIR", home.filePath("run"));
    env.remove("XDG_DATA_HOME");
    env.insert("OMBREX_KEYRING_CHILD", "1");
    child.setProcessEnvironment(env);
    child.start(session, {"--", "bash", "-c",
                          "echo -n secret | \"$1\" --unlock --components=secrets >/dev/null && exec \"$2\" "
                          "--gtest_also_run_disabled_tests --gtest_filter=KeyringTest.DISABLED_ServiceChild",
                          "keyring-test", keyring, QFile::symLinkTarget("/proc/self/exe")});
    ASSERT_TRUE(child.waitForFinished(90000));
    const QByteArray out = child.readAllStandardOutput();
    EXPECT_EQ(child.exitCode(), 0) << out.toStdString() << child.readAllStandardError().toStdString();
    EXPECT_TRUE(out.contains("[  PASSED  ] 1 test")) << out.toStdString();
}

// Runs inside the private session of the test above.
TEST_F(KeyringTest, DISABLED_ServiceChild)
{
    ASSERT_TRUE(platform::SecretServiceAvailable());
    Save("files.example.invalid", "me", "s3cret", true);
    const QByteArray file = File();
    EXPECT_TRUE(file.contains("[FAVSite]\nServer=files.example.invalid\nUser=me\nPsw=\n")) << file.toStdString();
    EXPECT_TRUE(file.contains("PswInKeyring=1"));
    EXPECT_FALSE(file.contains("s3cret"));
    EXPECT_TRUE(Notes.isEmpty());
    std::string stored;
    ASSERT_TRUE(platform::LookupSecret({"Site", "files.example.invalid", "me"}, stored));
    EXPECT_EQ(stored, "s3cret");

    Select("Site");
    Form->txtPassWord->clear();
    Form->btnOpenCurentClick();
    EXPECT_EQ(Form->txtPassWord->text(), "s3cret");

    // Saved again without the keyring: back in the file, and marked so.
    Save("files.example.invalid", "me", "plain", false);
    EXPECT_TRUE(File().contains("Psw=plain\n"));
    EXPECT_TRUE(File().contains("PswInKeyring=0"));
    EXPECT_FALSE(platform::LookupSecret({"Site", "files.example.invalid", "me"}, stored));

    // Deleting the site removes its keyring entry too.
    Save("files.example.invalid", "me", "again", true);
    Select("Site");
    Form->btnKillCurrentClick();
    EXPECT_FALSE(platform::LookupSecret({"Site", "files.example.invalid", "me"}, stored));
}
