// The demo server script: it serves sample files on loopback, stores a favourite the
// connect dialog reads back and whose password logs in, and stops its server on exit.
// Its settings-file writer must write exactly what the program itself writes.
#include "dialogs/ConnectForm.h"

#include "platform/PrivateProfile.h"
#include "servers/FtpServers.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString SourceDir = QStringLiteral(OMBREX_SOURCE_DIR);

// A minimal FTP control connection: enough to prove that stored credentials log in.
class TFtpProbe {
public:
    explicit TFtpProbe(std::uint16_t port)
    {
        FSocket = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr {};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        timeval timeout {10, 0};
        ::setsockopt(FSocket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        if (::connect(FSocket, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            ::close(FSocket);
            FSocket = -1;
        }
    }
    ~TFtpProbe()
    {
        if (FSocket >= 0)
            ::close(FSocket);
    }
    bool Connected() const { return FSocket >= 0; }

    // The final line of the next reply ("" when the connection broke).
    std::string Reply()
    {
        for (;;) {
            std::size_t end = FBuffer.find("\r\n");
            while (end != std::string::npos) {
                std::string line = FBuffer.substr(0, end);
                FBuffer.erase(0, end + 2);
                if (line.size() >= 4 && std::isdigit(static_cast<unsigned char>(line[0])) && line[3] == ' ')
                    return line;
                end = FBuffer.find("\r\n");
            }
            char chunk[1024];
            ssize_t got = ::recv(FSocket, chunk, sizeof chunk, 0);
            if (got <= 0)
                return {};
            FBuffer.append(chunk, std::size_t(got));
        }
    }
    std::string Command(const std::string& line)
    {
        std::string text = line + "\r\n";
        if (::send(FSocket, text.data(), text.size(), MSG_NOSIGNAL) != ssize_t(text.size()))
            return {};
        return Reply();
    }

private:
    int FSocket = -1;
    std::string FBuffer;
};

QByteArray ReadAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<none>");
}

unsigned Mode(const QString& path)
{
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// True when some process's command line contains text.
bool InAnyCommandLine(const QByteArray& text)
{
    for (const QString& pid : QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (!pid.front().isDigit())
            continue;
        if (ReadAll("/proc/" + pid + "/cmdline").contains(text))
            return true;
    }
    return false;
}

bool WaitForOutput(QProcess& process, const QByteArray& text, QByteArray& output, int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (!output.contains(text) && clock.elapsed() < ms) {
        if (process.state() == QProcess::NotRunning)
            break;
        process.waitForReadyRead(200);
        output += process.readAllStandardOutput();
    }
    return output.contains(text);
}

} // namespace

TEST(DemoServer, ServesSamplesAndAddsTheFavouriteTheDialogOpens)
{
    QTemporaryDir temp;
    const QString root = temp.filePath("root");
    const QString ini = temp.filePath("bin/OFTP.ini");
    // A settings file written before: the other site stays, the demo site (in another
    // spelling) is updated in place.
    QDir().mkpath(temp.filePath("bin"));
    {
        QFile file(ini);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("[FAVmine]\nServer=mine.example.invalid\n\n[favlocal DEMO]\nServer=old\nPort=1\n"
                   "User=old\nNote=kept\n");
    }
    QFile::setPermissions(ini, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);

    QProcess script;
    script.start("bash", {SourceDir + "/scripts/demo-server.sh", "--port", "0", "--root", root,
                          "--ini", ini});
    QByteArray output;
    ASSERT_TRUE(WaitForOutput(script, "Ready.", output, 30000))
        << output.constData() << script.readAllStandardError().constData();

    // The favourite, read back by the connect dialog.
    TConnectForm form(nullptr, ini);
    QStringList sites;
    for (int i = 0; i < form.lstFavorites->count(); ++i)
        sites << form.lstFavorites->item(i)->text();
    EXPECT_EQ(sites, (QStringList{"mine", "local DEMO"}));
    form.lstFavorites->setCurrentRow(1);
    form.btnOpenCurentClick();
    EXPECT_EQ(form.txtServerName->text(), "127.0.0.1");
    EXPECT_EQ(form.txtUserName->text(), "demo");
    EXPECT_TRUE(form.chkPassive->isChecked());
    EXPECT_EQ(form.txtRemoteDir->text(), "/");
    const QString password = form.txtPassWord->text();
    EXPECT_GE(password.size(), 12);
    bool numeric = false;
    const std::uint16_t port = form.txtPort->text().toUShort(&numeric);
    ASSERT_TRUE(numeric && port > 0) << form.txtPort->text().toStdString();
    EXPECT_TRUE(output.contains(":" + QByteArray::number(port) + " ")) << output.constData();
    EXPECT_EQ(platform::TPrivateProfile(ini.toStdString()).ReadString("favlocal demo", "Note", ""), "kept");
    EXPECT_EQ(Mode(ini), 0600u) << "the file now holds a password";

    // The password is shown nowhere and passed on no command line.
    EXPECT_FALSE(output.contains(password.toUtf8()));
    EXPECT_FALSE(InAnyCommandLine(password.toUtf8()));

    // The stored credentials log in, and the samples are there.
    {
        TFtpProbe ftp(port);
        ASSERT_TRUE(ftp.Connected());
        EXPECT_EQ(ftp.Reply().substr(0, 3), "220");
        EXPECT_EQ(ftp.Command("USER demo").substr(0, 3), "331");
        EXPECT_EQ(ftp.Command("PASS " + password.toStdString()).substr(0, 3), "230");
        EXPECT_EQ(ftp.Command("TYPE I").substr(0, 3), "200");
        EXPECT_EQ(ftp.Command("SIZE /data.bin"), "213 65536");
        EXPECT_EQ(ftp.Command("SIZE /notes with blanks.txt").substr(0, 3), "213");
        EXPECT_EQ(ftp.Command("CWD /Holiday photos").substr(0, 3), "250");
        EXPECT_EQ(ftp.Command("CWD /docs").substr(0, 3), "250");
        EXPECT_EQ(ftp.Command("SIZE guide.txt").substr(0, 3), "213");
        ftp.Command("QUIT");
    }
    EXPECT_TRUE(QFile::exists(root + "/readme.txt"));

    // Stopping the script stops the server.
    script.terminate();
    ASSERT_TRUE(script.waitForFinished(10000));
    EXPECT_EQ(script.exitCode(), 0);
    QElapsedTimer clock;
    clock.start();
    while (testsrv::PortAccepts(port) && clock.elapsed() < 5000)
        QTest::qWait(50);
    EXPECT_FALSE(testsrv::PortAccepts(port)) << "the server outlived the script";
}

TEST(DemoServer, UnwritableSettingsFileStopsTheServerAndSaysWhy)
{
    QTemporaryDir temp;
    const QString root = temp.filePath("root");
    QProcess script;
    script.start("bash", {SourceDir + "/scripts/demo-server.sh", "--port", "0", "--root", root,
                          "--ini", "/proc/OFTP.ini"});
    ASSERT_TRUE(script.waitForFinished(30000));
    EXPECT_NE(script.exitCode(), 0);
    EXPECT_TRUE(script.readAllStandardError().contains("Unable to write to /proc/OFTP.ini"));
    QTest::qWait(200);
    EXPECT_FALSE(InAnyCommandLine(root.toUtf8())) << "the server outlived the script";
}

// The script's writer against the program's own: the same file from the same start.
TEST(DemoServer, SettingsWriterWritesWhatTheProgramWrites)
{
    struct Case {
        const char* name;
        const char* before;   // nullptr: no file
        const char* section;
        std::vector<std::pair<std::string, std::string>> keys;
    };
    const std::vector<std::pair<std::string, std::string>> demo = {
        {"Server", "127.0.0.1"}, {"User", "demo"}, {"Psw", "  blanks kept  "},
        {"Port", "2121"},        {"Passive", "1"}, {"RemoteDir", "/"}};
    const Case cases[] = {
        {"no file", nullptr, "FAVLocal demo", demo},
        {"empty file", "", "FAVLocal demo", demo},
        {"other sections", "; mine\n[Other]\nk=1\n[FAVx]\nServer=x\n", "FAVLocal demo", demo},
        {"site in another spelling, with more keys",
         "[favlocal DEMO]\n  server = old \nExtra=1\n; end of site\n\n[Z]\nk=1\n", "FAVLocal demo", demo},
        {"Windows line breaks", "[A]\r\nk=1\r\n", "FAVLocal demo", demo},
        {"quotes kept", "[S]\n", "S", {{"Q", "\"quoted\""}, {"R", "'x'"}, {"E", ""}}},
        {"bracket in the name", "[FAVa]b]\nServer=1\n", "FAVa]b", {{"Server", "2"}, {"Port", "3"}}},
    };
    QTemporaryDir temp;
    int n = 0;
    for (const Case& c : cases) {
        const QString ours = temp.filePath(QString("ours%1.ini").arg(n));
        const QString theirs = temp.filePath(QString("script%1.ini").arg(n));
        ++n;
        for (const QString& path : {ours, theirs}) {
            if (c.before) {
                QFile file(path);
                ASSERT_TRUE(file.open(QIODevice::WriteOnly));
                file.write(c.before);
                file.close();
                QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
            }
        }
        platform::TPrivateProfile profile(ours.toStdString());
        QStringList args = {SourceDir + "/scripts/profile-write.py", theirs, c.section};
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        int variable = 0;
        for (const auto& [key, value] : c.keys) {
            profile.WriteString(c.section, key, value);
            // Every value goes through the environment: blanks and quotes arrive untouched.
            QString name = QString("PROFILE_VALUE_%1").arg(variable++);
            env.insert(name, QString::fromStdString(value));
            args << "--env" << QString::fromStdString(key) + "=" + name;
        }
        QProcess writer;
        writer.setProcessEnvironment(env);
        writer.start("/usr/bin/python3", args);
        ASSERT_TRUE(writer.waitForFinished(20000));
        EXPECT_EQ(writer.exitCode(), 0) << c.name << writer.readAllStandardError().constData();
        EXPECT_EQ(ReadAll(theirs), ReadAll(ours)) << c.name;
        EXPECT_EQ(Mode(theirs), 0600u) << c.name;
        EXPECT_EQ(Mode(ours), 0600u) << c.name;
    }
}

TEST(DemoServer, SettingsWriterRefusesWhatTheProgramRefuses)
{
    QTemporaryDir temp;
    const QString readOnly = temp.filePath("ro.ini");
    {
        QFile file(readOnly);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("[S]\nk=1\n");
    }
    QFile::setPermissions(readOnly, QFile::ReadOwner);
    struct Case {
        QString path;
        QStringList keys;
    };
    const Case cases[] = {
        {readOnly, {"k=2"}},
        {temp.filePath("missing folder/x.ini"), {"k=2"}},
        {temp.filePath("lines.ini"), {"--env", "k=TWO_LINES"}},
    };
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TWO_LINES", "one\n[FAVinjected]");
    for (const Case& c : cases) {
        QProcess writer;
        writer.setProcessEnvironment(env);
        writer.start("/usr/bin/python3", QStringList{SourceDir + "/scripts/profile-write.py", c.path, "S"} + c.keys);
        ASSERT_TRUE(writer.waitForFinished(20000));
        EXPECT_EQ(writer.exitCode(), 1) << c.path.toStdString();
        EXPECT_TRUE(writer.readAllStandardError().contains("Unable to write to " + c.path.toUtf8()))
            << c.path.toStdString();
    }
    EXPECT_EQ(ReadAll(readOnly), "[S]\nk=1\n");
    EXPECT_FALSE(QFile::exists(temp.filePath("lines.ini")));
}
