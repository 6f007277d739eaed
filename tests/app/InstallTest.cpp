// The installed program: `cmake --install` into a temporary prefix, the prefix made
// read-only, the programs run from there with a temporary home. Settings go to the user's
// folders, listing files to a private runtime folder that is empty again at exit, and
// nothing under the prefix changes.
#include "servers/FtpServers.h"
#include "servers/PeerPolicy.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <sys/stat.h>

#include <string>

namespace {

// Every file and folder below root with what would show a change: size, time, mode.
QMap<QString, QString> Snapshot(const QString& root)
{
    QMap<QString, QString> files;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        struct stat st {};
        ::lstat(QFile::encodeName(path).constData(), &st);
        files[path] = QStringLiteral("%1 %2 %3").arg(st.st_size).arg(st.st_mtim.tv_nsec + st.st_mtim.tv_sec * 1000000000LL).arg(st.st_mode, 0, 8);
    }
    return files;
}

int ModeOf(const QString& path)
{
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return -1;
    return static_cast<int>(st.st_mode & 07777);
}

// key=value lines printed by the driver.
QMap<QString, QString> Values(const QByteArray& out)
{
    QMap<QString, QString> values;
    for (const QByteArray& line : out.split('\n')) {
        const qsizetype eq = line.indexOf('=');
        if (eq > 0)
            values[QString::fromLocal8Bit(line.left(eq))] = QString::fromLocal8Bit(line.mid(eq + 1));
    }
    return values;
}

QString Canonical(const QString& path)
{
    return QFileInfo(path).canonicalFilePath();
}

class InstallTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Temp.isValid());
        Prefix = Temp.filePath("prefix");
        Home = Temp.filePath("home");
        Runtime = Temp.filePath("run");
        ASSERT_TRUE(QDir().mkpath(Home));
        ASSERT_TRUE(QDir().mkpath(Runtime));
        QFile::setPermissions(Runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

        QProcess install;
        install.start(QStringLiteral(OMBREX_CMAKE_COMMAND),
                      {"--install", QStringLiteral(OMBREX_BINARY_DIR), "--prefix", Prefix});
        ASSERT_TRUE(install.waitForFinished(120000));
        ASSERT_EQ(install.exitCode(), 0) << install.readAllStandardError().toStdString();
        // The driver stands in for the program where it must be driven: the same code,
        // run from the installed layout.
        ASSERT_TRUE(QFile::copy(QStringLiteral(OMBREX_DRIVER), Prefix + "/bin/app_installed_driver"));
        MakeReadOnly(true);
        Before = Snapshot(Prefix);
    }

    void TearDown() override
    {
        if (!HasFailure()) {
            EXPECT_EQ(Snapshot(Prefix), Before) << "nothing under the prefix changes";
        }
        MakeReadOnly(false);
    }

    void MakeReadOnly(bool readOnly)
    {
        QDirIterator it(Prefix, QDir::AllEntries | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
        QStringList paths{Prefix};
        while (it.hasNext())
            paths << it.next();
        for (const QString& path : paths) {
            struct stat st {};
            const QByteArray name = QFile::encodeName(path);
            ::stat(name.constData(), &st);
            ::chmod(name.constData(), readOnly ? (st.st_mode & ~0222) : (st.st_mode | 0200));
        }
    }

    // The environment of a user session with a fresh home.
    QProcessEnvironment Session(bool withRuntime = true)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", Home);
        env.remove("XDG_CONFIG_HOME");
        env.remove("XDG_CACHE_HOME");
        env.remove("XDG_DATA_HOME");
        if (withRuntime)
            env.insert("XDG_RUNTIME_DIR", Runtime);
        else
            env.remove("XDG_RUNTIME_DIR");
        env.insert("QT_QPA_PLATFORM", "offscreen");
        return env;
    }

    QByteArray Run(const QString& program, const QStringList& args, const QProcessEnvironment& env, int* rc)
    {
        QProcess p;
        p.setProcessEnvironment(env);
        p.setWorkingDirectory(Home);
        p.start(program, args);
        if (!p.waitForFinished(60000)) {
            p.kill();
            p.waitForFinished();
        }
        *rc = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        const QByteArray err = p.readAllStandardError();
        if (*rc != 0)
            ADD_FAILURE() << program.toStdString() << ": " << err.toStdString();
        return p.readAllStandardOutput();
    }

    QStringList RuntimeFiles(const QString& folder)
    {
        return QDir(folder).entryList(QDir::Files | QDir::Hidden);
    }

    QTemporaryDir Temp;
    QString Prefix, Home, Runtime;
    QMap<QString, QString> Before;
};

} // namespace

TEST_F(InstallTest, InstalledFilesAreInTheirPlacesAndValid)
{
    for (const char* file : {"bin/ombrex-ftp", "bin/oftp", "share/ombrex-ftp/AscModEx.txt",
                             "share/applications/ombrex-ftp.desktop",
                             "share/metainfo/io.github.ombrex_ftp.OmbrexFtp.metainfo.xml",
                             "share/icons/hicolor/scalable/apps/ombrex-ftp.svg"})
        EXPECT_TRUE(QFileInfo::exists(Prefix + "/" + file)) << file;
    EXPECT_TRUE(QFileInfo(Prefix + "/bin/ombrex-ftp").isExecutable());
    struct Validator {
        const char* program;
        QStringList args;
    };
    const Validator validators[] = {
        {"desktop-file-validate", {Prefix + "/share/applications/ombrex-ftp.desktop"}},
        {"appstreamcli", {"validate", "--no-net", Prefix + "/share/metainfo/io.github.ombrex_ftp.OmbrexFtp.metainfo.xml"}},
    };
    for (const Validator& v : validators) {
        const QString program = QStandardPaths::findExecutable(v.program);
        if (program.isEmpty()) {
            if (testsrv::PeersRequired())
                ADD_FAILURE() << v.program << " is not installed";
            continue;
        }
        QProcess p;
        p.start(program, v.args);
        ASSERT_TRUE(p.waitForFinished(60000));
        EXPECT_EQ(p.exitCode(), 0) << v.program << ": " << p.readAllStandardOutput().toStdString()
                                   << p.readAllStandardError().toStdString();
    }
}

TEST_F(InstallTest, PlacesOfAnInstalledProgram)
{
    const QString driver = Prefix + "/bin/app_installed_driver";
    const QString config = Home + "/.config/ombrex-ftp";
    const QString installedList = Canonical(Prefix + "/share/ombrex-ftp/AscModEx.txt");
    struct Case {
        const char* name;
        bool runtime;             // XDG_RUNTIME_DIR set
        bool ownList;             // the user has an extension list of his own
        const char* configHome;   // XDG_CONFIG_HOME below the home, or null
    };
    const Case cases[] = {
        {"defaults", true, false, nullptr},
        {"own extension list", true, true, nullptr},
        {"no runtime folder: the cache folder", false, false, nullptr},
        {"XDG_CONFIG_HOME set", true, false, "cfg"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QProcessEnvironment env = Session(c.runtime);
        QString folder = config;
        if (c.configHome) {
            folder = Home + "/" + c.configHome + "/ombrex-ftp";
            env.insert("XDG_CONFIG_HOME", Home + "/" + c.configHome);
        }
        const QString own = folder + "/AscModEx.txt";
        QFile::remove(own);
        if (c.ownList) {
            ASSERT_TRUE(QDir().mkpath(folder));
            QFile f(own);
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write("txt\n");
        }
        int rc = 0;
        const QMap<QString, QString> v = Values(Run(driver, {"places"}, env, &rc));
        ASSERT_EQ(rc, 0);
        EXPECT_EQ(v["settings"], folder + "/OFTP.ini");
        EXPECT_EQ(v["about"], "Settings folder: " + folder);
        EXPECT_EQ(Canonical(v["ascii"]), c.ownList ? Canonical(own) : installedList);
        const QString privateFolder = c.runtime ? Runtime + "/ombrex-ftp" : Home + "/.cache/ombrex-ftp";
        EXPECT_TRUE(v["listing"].startsWith(privateFolder + "/OFTPTEMP-")) << v["listing"].toStdString();
        EXPECT_EQ(ModeOf(privateFolder), 0700);
        EXPECT_EQ(RuntimeFiles(privateFolder), QStringList{}) << "the listing file goes at exit";
        EXPECT_EQ(v["local"], Home) << "the local pane starts on the home folder";
        EXPECT_EQ(ModeOf(folder), 0700);
    }
}

TEST_F(InstallTest, SessionSavesAFavouriteAndListsWithNothingWrittenUnderThePrefix)
{
    auto server = testsrv::StartPyftpdlib();
    if (!server)
        OMBREX_PEER_MISSING("pyftpdlib");
    ASSERT_TRUE(testsrv::WriteFile(server->Root() + "/hello.txt", "hello\n"));
    ASSERT_EQ(::mkdir((server->Root() + "/pub").c_str(), 0755), 0);

    int rc = 0;
    const QMap<QString, QString> v =
        Values(Run(Prefix + "/bin/app_installed_driver",
                   {"session", QString::number(server->Port()), QString::fromStdString(server->User()),
                    QString::fromStdString(server->Password())},
                   Session(), &rc));
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(v["rows"], "..|pub|hello.txt");
    const QString config = Home + "/.config/ombrex-ftp";
    QFile favourites(config + "/OFTP.ini");
    ASSERT_TRUE(favourites.open(QIODevice::ReadOnly));
    const QByteArray ini = favourites.readAll();
    EXPECT_TRUE(ini.contains("[FAVTest site]\nServer=127.0.0.1\n")) << ini.toStdString();
    EXPECT_EQ(ModeOf(config + "/OFTP.ini"), 0600);
    EXPECT_EQ(ModeOf(config + "/OFTPView.ini"), 0600) << "the window's state is kept per user";
    EXPECT_EQ(RuntimeFiles(Runtime + "/ombrex-ftp"), QStringList{});

    // The installed command-line client lists through a private file of its own, too.
    QProcessEnvironment env = Session();
    env.insert("OFTP_TEST_PASSWORD", QString::fromStdString(server->Password()));
    const QByteArray listing =
        Run(Prefix + "/bin/oftp",
            {"--port", QString::number(server->Port()), "--user", QString::fromStdString(server->User()),
             "--password-env", "OFTP_TEST_PASSWORD", "--passive", "127.0.0.1", "ls"},
            env, &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(listing.contains("hello.txt")) << listing.toStdString();
    EXPECT_EQ(RuntimeFiles(Runtime + "/ombrex-ftp"), QStringList{});
}

TEST_F(InstallTest, TheInstalledProgramEndsCleanlyWhenTheSessionEnds)
{
    // The real program: it makes its private listing file at start, and a SIGTERM (as at
    // logout) ends it like a close: the file goes and the window's state is kept.
    QProcess program;
    program.setProcessEnvironment(Session());
    program.setWorkingDirectory(Home);
    program.start(Prefix + "/bin/ombrex-ftp", {});
    ASSERT_TRUE(program.waitForStarted(10000));
    const QString folder = Runtime + "/ombrex-ftp";
    bool made = false;
    for (int i = 0; i < 600 && !made; ++i) {
        made = !RuntimeFiles(folder).isEmpty();
        if (!made)
            program.waitForFinished(50);
    }
    ASSERT_TRUE(made) << "no private listing file appeared";
    EXPECT_EQ(ModeOf(folder + "/" + RuntimeFiles(folder).value(0)), 0600);
    program.terminate();
    ASSERT_TRUE(program.waitForFinished(20000));
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(RuntimeFiles(folder), QStringList{});
    EXPECT_EQ(ModeOf(Home + "/.config/ombrex-ftp/OFTPView.ini"), 0600);
}
