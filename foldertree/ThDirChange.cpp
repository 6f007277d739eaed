// The watcher thread body: inotify on one folder (or polling when inotify is exhausted),
// 20 ms wait cycles, and the blocking refresh request to the tree's window.
#include "foldertree/ThDirChange.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace foldertree {

enum class TWaitResult { Timeout, Changed, Lost };

// A way of waiting for changes of one folder's sub-folder names.
class TWatch {
public:
    virtual ~TWatch() = default;
    // Waits up to ms for a change.
    virtual TWaitResult Wait(int ms) = 0;
};

namespace {

// Trivially destructible, so still valid while the process runs its exit handlers and a
// late watcher looks at them.
std::atomic<int> gLiveWatchers{0};
std::atomic<bool> gStopAll{false};
std::atomic<bool> gForcePolling{false};
std::atomic<long> gNotifications{0};
std::atomic<long> gOpenAttempts{0};

// At process exit, watchers that are still in their wait cycle (a tree that was never
// destroyed, or one destroyed just before exit) are told to stop, and exit waits briefly
// for them so that none runs while the libraries' static objects are being destroyed.
// Waiting is safe here: a watcher blocked in a refresh request is released as soon as
// the tree's window is gone, and the wait is bounded in any case.
struct TExitGuard {
    ~TExitGuard()
    {
        gStopAll.store(true);
        for (int i = 0; i < 500 && gLiveWatchers.load() > 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
};


bool IsDirectory(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string JoinPath(const std::string& dir, const char* name)
{
    return dir == "/" ? dir + name : dir + "/" + name;
}


// inotify on the folder itself, no subtree. Only events of directories count: that is
// the folder-name filter the tree wants, so creating or deleting a file changes nothing.
class TInotifyWatch : public TWatch {
public:
    explicit TInotifyWatch(const std::string& path) : FPath(path) {}
    ~TInotifyWatch() override
    {
        if (FFd >= 0)
            ::close(FFd);
    }

    // Opens the watch; on failure returns the errno.
    int Open()
    {
        FFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (FFd < 0)
            return errno;
        const std::uint32_t mask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO
                                   | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
        if (::inotify_add_watch(FFd, FPath.c_str(), mask) < 0) {
            int err = errno;
            ::close(FFd);
            FFd = -1;
            return err;
        }
        ReadLinkedFolders();
        return 0;
    }

    TWaitResult Wait(int ms) override
    {
        pollfd p{FFd, POLLIN, 0};
        int n = ::poll(&p, 1, ms);
        if (n <= 0)
            return TWaitResult::Timeout;   // time-out or a signal: just another cycle
        return Drain();
    }

private:
    // Reads every queued event. A lost watch (folder deleted or moved away, file system
    // unmounted) outranks a change: the watch must be opened anew.
    TWaitResult Drain()
    {
        alignas(inotify_event) char buf[16384];
        TWaitResult result = TWaitResult::Timeout;
        for (;;) {
            ssize_t len = ::read(FFd, buf, sizeof buf);
            if (len <= 0)
                break;
            for (char* p = buf; p < buf + len;) {
                auto* ev = reinterpret_cast<inotify_event*>(p);
                p += sizeof(inotify_event) + ev->len;
                if (ev->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT))
                    result = TWaitResult::Lost;
                else if (result == TWaitResult::Lost)
                    continue;
                else if (ev->mask & IN_Q_OVERFLOW)
                    result = TWaitResult::Changed;   // events were dropped: assume the worst
                else if (ev->mask & IN_ISDIR)
                    result = TWaitResult::Changed;
                else if ((ev->mask & (IN_CREATE | IN_MOVED_TO)) && ev->len > 0
                         && IsDirectory(JoinPath(FPath, ev->name))) {
                    FLinkedFolders.insert(ev->name);   // a symbolic link to a folder
                    result = TWaitResult::Changed;
                } else if ((ev->mask & (IN_DELETE | IN_MOVED_FROM)) && ev->len > 0
                           && FLinkedFolders.erase(ev->name) > 0) {
                    // A link is no directory to inotify and cannot be asked once it is
                    // gone: only the names of links to folders tell that one of them went.
                    result = TWaitResult::Changed;
                }
            }
        }
        return result;
    }

    // The names of the symbolic links to folders in the watched folder.
    void ReadLinkedFolders()
    {
        FLinkedFolders.clear();
        DIR* dir = ::opendir(FPath.c_str());
        if (!dir)
            return;
        while (dirent* e = ::readdir(dir)) {
            if (e->d_type != DT_LNK && e->d_type != DT_UNKNOWN)
                continue;
            struct stat lst {};
            struct stat st {};
            if (::fstatat(::dirfd(dir), e->d_name, &lst, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(lst.st_mode)
                && ::fstatat(::dirfd(dir), e->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode))
                FLinkedFolders.insert(e->d_name);
        }
        ::closedir(dir);
    }

    std::set<std::string> FLinkedFolders;

    std::string FPath;
    int FFd = -1;
};

// Fallback without inotify: compare the folder's sub-folder names every few cycles,
// reading them only when the folder's times or link count say something changed.
class TPollWatch : public TWatch {
public:
    explicit TPollWatch(const std::string& path) : FPath(path) {}

    bool Open()
    {
        if (!Stat(FStat) || !S_ISDIR(FStat.st_mode))
            return false;
        return ReadNames(FNames);
    }

    TWaitResult Wait(int ms) override
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        if (++FCycles % TThDirChange::kPollEveryCycles != 0)
            return TWaitResult::Timeout;
        struct stat now {};
        if (!Stat(now) || !S_ISDIR(now.st_mode) || now.st_ino != FStat.st_ino
            || now.st_dev != FStat.st_dev)
            return TWaitResult::Lost;
        // Time stamps are coarse: while the last change is recent, a second change may
        // have left them as they were, so look at the names until they have settled.
        bool same = now.st_mtim.tv_sec == FStat.st_mtim.tv_sec
                    && now.st_mtim.tv_nsec == FStat.st_mtim.tv_nsec
                    && now.st_ctim.tv_sec == FStat.st_ctim.tv_sec
                    && now.st_ctim.tv_nsec == FStat.st_ctim.tv_nsec
                    && now.st_nlink == FStat.st_nlink;
        timespec clock {};
        ::clock_gettime(CLOCK_REALTIME, &clock);
        bool settled = clock.tv_sec - now.st_mtim.tv_sec > 1 && clock.tv_sec - now.st_ctim.tv_sec > 1;
        FStat = now;
        if (same && settled)
            return TWaitResult::Timeout;
        std::vector<std::string> names;
        if (!ReadNames(names))
            return TWaitResult::Lost;
        if (names == FNames)
            return TWaitResult::Timeout;
        FNames = std::move(names);
        return TWaitResult::Changed;
    }

private:
    bool Stat(struct stat& st) const { return ::stat(FPath.c_str(), &st) == 0; }

    bool ReadNames(std::vector<std::string>& names) const
    {
        DIR* dir = ::opendir(FPath.c_str());
        if (!dir)
            return false;
        while (dirent* e = ::readdir(dir)) {
            const char* n = e->d_name;
            if (n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0)))
                continue;
            bool isDir = e->d_type == DT_DIR;
            if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) {
                struct stat st {};
                isDir = ::fstatat(::dirfd(dir), n, &st, 0) == 0 && S_ISDIR(st.st_mode);
            }
            if (isDir)
                names.emplace_back(n);
        }
        ::closedir(dir);
        std::sort(names.begin(), names.end());
        return true;
    }

    std::string FPath;
    struct stat FStat {};
    std::vector<std::string> FNames;
    unsigned FCycles = 0;
};

} // namespace

TThDirChange::TThDirChange(std::string path, platform::HWND window, std::uint64_t nodeId)
    : FPath(std::move(path)), FWindow(window), FNode(nodeId)
{
}

std::shared_ptr<TThDirChange> TThDirChange::Start(const std::string& path, platform::HWND window,
                                                  std::uint64_t nodeId)
{
    static TExitGuard exitGuard;   // constructed on first use, so it is destroyed before
                                   // the message-window registry it protects
    std::shared_ptr<TThDirChange> watcher(new TThDirChange(path, window, nodeId));
    // The watch is opened here, before the caller goes on: a change made right after the
    // folder was read is then reported even if the thread takes a while to start.
    std::unique_ptr<TWatch> watch = watcher->OpenWatch();
    // Counted before the thread exists, so that a caller sees it as live at once.
    gLiveWatchers.fetch_add(1);
    try {
        std::thread(&TThDirChange::Run, watcher, std::move(watch)).detach();
    } catch (const std::system_error&) {
        gLiveWatchers.fetch_sub(1);
        return nullptr;
    }
    return watcher;
}

void TThDirChange::Run(std::shared_ptr<TThDirChange> self, std::unique_ptr<TWatch> watch)
{
    self->Execute(std::move(watch));
    self->FFinished.store(true, std::memory_order_release);
    // The thread frees itself: unless the owner still holds the object, this is the end of it.
    self.reset();
    gLiveWatchers.fetch_sub(1);
}

int TThDirChange::LiveCount()
{
    return gLiveWatchers.load();
}

long TThDirChange::NotificationCount()
{
    return gNotifications.load();
}

long TThDirChange::OpenAttemptCount()
{
    return gOpenAttempts.load();
}

void TThDirChange::SetForcePolling(bool on)
{
    gForcePolling.store(on);
}

bool TThDirChange::Stopping() const
{
    return FTerminated.load(std::memory_order_acquire) || gStopAll.load(std::memory_order_acquire);
}

void TThDirChange::Pause(int ms) const
{
    for (int waited = 0; waited < ms && !Stopping(); waited += kCycleMs)
        std::this_thread::sleep_for(std::chrono::milliseconds(kCycleMs));
}

bool TThDirChange::Notify()
{
    if (Stopping())
        return false;
    if (!platform::IsWindow(FWindow)) {
        // The tree is gone: nobody is left to tell.
        FTerminated.store(true, std::memory_order_release);
        return false;
    }
    gNotifications.fetch_add(1);
    // Blocks until the tree has re-read the node (or its window went away meanwhile).
    platform::SendMessage(FWindow, WM_REFRESHNODE, 0, static_cast<platform::LPARAM>(FNode));
    return !Stopping();
}

std::unique_ptr<TWatch> TThDirChange::OpenWatch()
{
    gOpenAttempts.fetch_add(1);
    if (!gForcePolling.load() && !FPolling.load()) {
        auto inotify = std::make_unique<TInotifyWatch>(FPath);
        int err = inotify->Open();
        if (err == 0)
            return inotify;
        if (err != EMFILE && err != ENFILE && err != ENOSPC && err != ENOMEM)
            return nullptr;   // gone or not accessible
        FPolling.store(true);   // the system's inotify limits are reached
    }
    FPolling.store(true);
    auto poll = std::make_unique<TPollWatch>(FPath);
    if (poll->Open())
        return poll;
    return nullptr;
}

void TThDirChange::Execute(std::unique_ptr<TWatch> watch)
{
    // The watch stays open across refreshes: a change made while the tree re-reads the
    // folder is then reported by the next cycle instead of being lost between closing one
    // watch and opening the next (at worst the tree reads the folder once more).
    bool missedChanges = false;
    while (!Stopping()) {
        if (!watch)
            watch = OpenWatch();
        if (!watch) {
            // Gone or not accessible: try again after a pause, neither spinning nor
            // giving up while the node lives.
            missedChanges = true;
            Pause(kRetryPauseMs);
            continue;
        }
        if (missedChanges) {
            // The folder was not watched for a while (or came back): re-read it once.
            missedChanges = false;
            if (!Notify())
                break;
        }
        for (;;) {
            TWaitResult r = TWaitResult::Timeout;
            while (!Stopping() && (r = watch->Wait(kCycleMs)) == TWaitResult::Timeout) {
            }
            if (Stopping())
                break;
            if (r == TWaitResult::Lost) {
                missedChanges = true;
                break;
            }
            if (!Notify())
                break;
        }
        watch.reset();
    }
}

} // namespace foldertree
