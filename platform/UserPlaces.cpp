// The program's places: portable (beside the program) or per user (XDG folders).
#include "platform/UserPlaces.h"

#include <QCoreApplication>
#include <QStandardPaths>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <vector>

#ifndef OMBREX_DATA_FROM_BIN
#define OMBREX_DATA_FROM_BIN "../share/ombrex-ftp"
#endif

namespace platform {

namespace {

constexpr const char* kFolderName = "ombrex-ftp";

std::string Local8(const QString& text)
{
    return text.toLocal8Bit().toStdString();
}

bool IsDirectory(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsFile(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Makes folder and its missing parents; the last one gets mode, the parents 0700 too
// (they are the user's own XDG folders when missing).
bool MakeFolder(const std::string& folder, mode_t mode)
{
    if (IsDirectory(folder))
        return true;
    std::size_t slash = folder.rfind('/');
    if (slash != std::string::npos && slash > 0 && !MakeFolder(folder.substr(0, slash), 0700))
        return false;
    return ::mkdir(folder.c_str(), mode) == 0 || errno == EEXIST;
}

// A folder this user owns and nobody else may enter: where private files may go.
bool IsPrivateFolder(const std::string& folder)
{
    struct stat st {};
    return ::lstat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid()
           && (st.st_mode & 077) == 0;
}

// base/ombrex-ftp, made private; base itself is made only when makeBase (the runtime
// folder belongs to the system: a missing one is not made up).
std::string PrivateFolderIn(const std::string& base, bool makeBase)
{
    if (base.empty() || base[0] != '/' || (!makeBase && !IsDirectory(base)))
        return {};
    const std::string folder = base + "/" + kFolderName;
    if (!MakeFolder(folder, 0700))
        return {};
    // A folder that others may enter is tightened; one that is not ours is not used.
    struct stat st {};
    if (::lstat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid()
        && (st.st_mode & 077) != 0)
        ::chmod(folder.c_str(), 0700);
    return IsPrivateFolder(folder) ? folder : std::string();
}

struct TTempRegistry {
    std::mutex Lock;
    std::vector<std::string> Paths;
};

TTempRegistry& Registry()
{
    static TTempRegistry* registry = new TTempRegistry;   // outlives every static destructor
    return *registry;
}

void RemoveRegisteredFiles()
{
    TTempRegistry& registry = Registry();
    std::lock_guard<std::mutex> hold(registry.Lock);
    for (const std::string& path : registry.Paths)
        ::unlink(path.c_str());
    registry.Paths.clear();
}

} // namespace

std::string ProgramFolder()
{
    if (QCoreApplication::instance())
        return Local8(QCoreApplication::applicationDirPath());
    char buffer[4096];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0)
        return ".";
    std::string path(buffer, static_cast<std::size_t>(n));
    std::size_t slash = path.rfind('/');
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string InstalledDataFolder()
{
    const std::string data = ProgramFolder() + "/" + OMBREX_DATA_FROM_BIN;
    return IsFile(data + "/AscModEx.txt") ? data : std::string();
}

bool IsPortable()
{
    if (!InstalledDataFolder().empty())
        return false;
    const std::string folder = ProgramFolder();
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0 || (st.st_mode & 0222) == 0)
        return false;
    return ::access(folder.c_str(), W_OK) == 0;
}

std::string UserConfigFolder()
{
    std::string base = Local8(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation));
    if (base.empty())
        base = std::string(std::getenv("HOME") ? std::getenv("HOME") : "") + "/.config";
    const std::string folder = base + "/" + kFolderName;
    MakeFolder(folder, 0700);
    return folder;
}

std::string SettingsFolder()
{
    return IsPortable() ? ProgramFolder() : UserConfigFolder();
}

std::string SettingsFilePath(const std::string& name)
{
    return SettingsFolder() + "/" + name;
}

std::string TrustedCertificatesPath()
{
    return SettingsFilePath("OFTPCERT.txt");
}

std::string AsciiExtensionsPath()
{
    if (IsPortable())
        return ProgramFolder() + "/AscModEx.txt";
    const std::string own = UserConfigFolder() + "/AscModEx.txt";
    if (IsFile(own))
        return own;
    const std::string installed = InstalledDataFolder();
    return installed.empty() ? ProgramFolder() + "/AscModEx.txt" : installed + "/AscModEx.txt";
}

std::string CreatePrivateTempFile(const std::string& prefix)
{
    std::string folder;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
        folder = PrivateFolderIn(runtime, false);
    if (folder.empty())
        folder = PrivateFolderIn(Local8(QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation)), true);
    if (folder.empty())
        return {};
    std::string name = folder + "/" + prefix + "-" + std::to_string(::getpid()) + "-XXXXXX";
    // mkostemp creates the file exclusively with mode 0600.
    int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0)
        return {};
    ::close(fd);
    static std::once_flag atExit;
    std::call_once(atExit, [] { std::atexit(RemoveRegisteredFiles); });
    TTempRegistry& registry = Registry();
    std::lock_guard<std::mutex> hold(registry.Lock);
    registry.Paths.push_back(name);
    return name;
}

void RemovePrivateTempFile(const std::string& path)
{
    if (path.empty())
        return;
    TTempRegistry& registry = Registry();
    std::lock_guard<std::mutex> hold(registry.Lock);
    auto it = std::find(registry.Paths.begin(), registry.Paths.end(), path);
    if (it == registry.Paths.end())
        return;
    ::unlink(path.c_str());
    registry.Paths.erase(it);
}

} // namespace platform
