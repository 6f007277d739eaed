// TThDirChange: the folder tree's watcher thread. It watches one folder for sub-folders
// being created, deleted or renamed and asks the tree's hidden window to re-read the node.
#pragma once

#include "platform/MessageWindow.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace foldertree {

class TWatch;

// One watcher thread per filled folder node. The thread knows only the path fixed at its
// start, the tree's window handle and the node's id (a value, never a pointer), so it can
// outlive its node and its tree without touching freed memory. The owner never waits for
// it: Terminate() sets a flag that the thread polls every wait cycle; the thread then
// ends and frees itself.
class TThDirChange {
public:
    // The message sent to the tree's window on a change; LParam carries the node's id.
    static constexpr std::uint32_t WM_REFRESHNODE = platform::WM_USER;
    // Length of one wait cycle: a terminated watcher ends within one cycle.
    static constexpr int kCycleMs = 20;
    // Pause between attempts to watch a folder that cannot be watched (gone, no access).
    static constexpr int kRetryPauseMs = 500;
    // In polling mode the folder is looked at every this many cycles.
    static constexpr int kPollEveryCycles = 10;

    // Starts a thread that watches path (no trailing slash except for "/") and sends
    // WM_REFRESHNODE with wParam 0 and lParam nodeId to window after each change of the
    // names of its sub-folders, blocking until the window has handled it. Returns null
    // when no thread could be started.
    static std::shared_ptr<TThDirChange> Start(const std::string& path, platform::HWND window,
                                               std::uint64_t nodeId);

    TThDirChange(const TThDirChange&) = delete;
    TThDirChange& operator=(const TThDirChange&) = delete;

    // Asks the thread to end after its current wait cycle; returns at once.
    void Terminate() { FTerminated.store(true, std::memory_order_release); }
    // True once Terminate() was called.
    bool Terminated() const { return FTerminated.load(std::memory_order_acquire); }
    // True once the thread body has returned.
    bool Finished() const { return FFinished.load(std::memory_order_acquire); }
    // True while the thread polls the folder because inotify could not be had.
    bool Polling() const { return FPolling.load(std::memory_order_acquire); }

    // The watched path, fixed at start.
    const std::string& Path() const { return FPath; }
    // The id of the node the thread reports for.
    std::uint64_t Node() const { return FNode; }
    // The window the thread reports to.
    platform::HWND Window() const { return FWindow; }

    // Number of watcher threads of the process whose body has not returned yet.
    static int LiveCount();
    // Number of refresh requests sent by all watchers so far (for tests and benchmarks).
    static long NotificationCount();
    // Number of times watchers tried to open a watch (for tests: a folder that is gone is
    // retried after a pause, not in a loop).
    static long OpenAttemptCount();
    // Test seam: watchers started from now on poll the folder instead of using inotify,
    // as they do on their own when the system's inotify instances run out.
    static void SetForcePolling(bool on);

private:
    TThDirChange(std::string path, platform::HWND window, std::uint64_t nodeId);
    static void Run(std::shared_ptr<TThDirChange> self, std::unique_ptr<TWatch> watch);
    // Opens a watch on the folder (inotify, or polling when inotify is exhausted); null
    // when the folder cannot be watched now.
    std::unique_ptr<TWatch> OpenWatch();
    void Execute(std::unique_ptr<TWatch> watch);
    bool Stopping() const;
    // Sends the refresh request; false when the thread should end.
    bool Notify();
    // Sleeps ms in wait cycles, returning early when the thread should end.
    void Pause(int ms) const;

    const std::string FPath;
    const platform::HWND FWindow;
    const std::uint64_t FNode;
    std::atomic<bool> FTerminated{false};
    std::atomic<bool> FFinished{false};
    std::atomic<bool> FPolling{false};
};

} // namespace foldertree
