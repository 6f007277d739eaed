// Where the program keeps its files: a program in a writable folder (this test program in
// the build folder) keeps them beside itself; private per-process files under the runtime
// folder. The installed case is run from a real prefix in the app install test.
#include "platform/UserPlaces.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {

int ModeOf(const std::string& path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

bool Exists(const std::string& path)
{
    return ::access(path.c_str(), F_OK) == 0;
}

} // namespace

TEST(UserPlaces, AProgramInAWritableFolderKeepsItsFilesBesideItself)
{
    const std::string program = QCoreApplication::applicationDirPath().toStdString();
    EXPECT_EQ(platform::ProgramFolder(), program);
    EXPECT_TRUE(platform::IsPortable());
    EXPECT_EQ(platform::SettingsFolder(), program);
    EXPECT_EQ(platform::SettingsFilePath("OFTP.ini"), program + "/OFTP.ini");
    EXPECT_EQ(platform::AsciiExtensionsPath(), program + "/AscModEx.txt");
    EXPECT_EQ(platform::InstalledDataFolder(), "");
}

TEST(UserPlaces, PrivateFilesPerProcess)
{
    QTemporaryDir temp;
    ASSERT_TRUE(temp.isValid());
    const std::string base = temp.path().toStdString();
    struct Case {
        const char* name;
        std::string runtime;   // XDG_RUNTIME_DIR, empty: unset
        std::string folder;    // where the files go
    };
    ASSERT_EQ(::mkdir((base + "/run").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((base + "/cache").c_str(), 0755), 0);
    setenv("XDG_CACHE_HOME", (base + "/cache").c_str(), 1);
    const Case cases[] = {
        {"runtime folder", base + "/run", base + "/run/ombrex-ftp"},
        {"runtime folder unset: the cache folder", "", base + "/cache/ombrex-ftp"},
        {"runtime folder missing: the cache folder", base + "/missing", base + "/cache/ombrex-ftp"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.runtime.empty())
            unsetenv("XDG_RUNTIME_DIR");
        else
            setenv("XDG_RUNTIME_DIR", c.runtime.c_str(), 1);
        const std::string a = platform::CreatePrivateTempFile("OFTPTEMP");
        const std::string b = platform::CreatePrivateTempFile("OFTPTEMP");
        ASSERT_FALSE(a.empty());
        EXPECT_NE(a, b) << "two files never share a name";
        EXPECT_EQ(a.rfind(c.folder + "/OFTPTEMP-" + std::to_string(::getpid()) + "-", 0), 0u) << a;
        EXPECT_EQ(ModeOf(a), 0600);
        EXPECT_EQ(ModeOf(c.folder), 0700);
        platform::RemovePrivateTempFile(a);
        platform::RemovePrivateTempFile(b);
        EXPECT_FALSE(Exists(a));
        EXPECT_FALSE(Exists(b));
    }
    unsetenv("XDG_CACHE_HOME");
}

TEST(UserPlaces, AnOpenOrForeignRuntimeFolderIsNotUsed)
{
    // A folder others may enter is tightened before use; a file in the place of the folder
    // (someone else's trap) sends the files to the cache folder instead.
    QTemporaryDir temp;
    const std::string base = temp.path().toStdString();
    ASSERT_EQ(::mkdir((base + "/run").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((base + "/run/ombrex-ftp").c_str(), 0777), 0);
    ::chmod((base + "/run/ombrex-ftp").c_str(), 0777);
    setenv("XDG_RUNTIME_DIR", (base + "/run").c_str(), 1);
    setenv("XDG_CACHE_HOME", (base + "/cache").c_str(), 1);
    std::string a = platform::CreatePrivateTempFile("OFTPTEMP");
    EXPECT_EQ(a.rfind(base + "/run/ombrex-ftp/", 0), 0u) << a;
    EXPECT_EQ(ModeOf(base + "/run/ombrex-ftp"), 0700);
    platform::RemovePrivateTempFile(a);

    ASSERT_EQ(::mkdir((base + "/run2").c_str(), 0700), 0);
    ASSERT_EQ(::symlink("/tmp", (base + "/run2/ombrex-ftp").c_str()), 0);
    setenv("XDG_RUNTIME_DIR", (base + "/run2").c_str(), 1);
    a = platform::CreatePrivateTempFile("OFTPTEMP");
    EXPECT_EQ(a.rfind(base + "/cache/ombrex-ftp/", 0), 0u) << a;
    platform::RemovePrivateTempFile(a);
    unsetenv("XDG_RUNTIME_DIR");
    unsetenv("XDG_CACHE_HOME");
}
