// Hidden message windows on the Qt event loop: posted and sent messages with the
// ordering and lifetime rules of a desktop message queue, plus the loop helpers
// (pumping, tick counter, "application is terminating", exception routing).
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <string>

namespace platform {

using HWND = std::uintptr_t;   // window handle; 0 is "no window", handles are never reused
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;

constexpr std::uint32_t WM_QUIT = 18;
constexpr std::uint32_t WM_TIMER = 0x0113;
constexpr std::uint32_t WM_USER = 1024;

// One message as a window procedure sees it; Result is what SendMessage returns.
struct TMessage {
    std::uint32_t Msg = 0;
    WPARAM WParam = 0;
    LPARAM LParam = 0;
    LRESULT Result = 0;
};

class MessageReceiver;

// A hidden window: derive from it (or own one) and override WndProc. The window belongs
// to the thread that created it; its messages are handled on that thread's event loop.
class MessageWindow {
public:
    MessageWindow();
    virtual ~MessageWindow();
    MessageWindow(const MessageWindow&) = delete;
    MessageWindow& operator=(const MessageWindow&) = delete;

    // The window's handle, valid (and unique for the whole run) until destruction.
    HWND Handle() const { return FHandle; }

    // Queues a message, handled after the current handler returns, in posting order.
    // Safe from any thread. Returns false only when the window is gone.
    bool PostMessage(std::uint32_t msg, WPARAM wParam = 0, LPARAM lParam = 0);

    // Handles the message at once on the owning thread; from another thread, blocks
    // until the owning thread has handled it (0 if the window went away meanwhile).
    LRESULT SendMessage(std::uint32_t msg, WPARAM wParam = 0, LPARAM lParam = 0);

    // Starts (or restarts) timer id: every ms milliseconds the window receives WM_TIMER with
    // WParam = id, from the event loop, until KillTimer. The window's destruction ends it.
    void SetTimer(WPARAM id, std::uint32_t ms);
    // Stops timer id; nothing when it does not run.
    void KillTimer(WPARAM id);

    // True while this window is handling a message (possibly nested).
    bool InWndProc() const;

protected:
    // The window procedure; the default does nothing and leaves Result 0.
    virtual void WndProc(TMessage& msg);

private:
    friend class MessageReceiver;
    MessageReceiver* FReceiver = nullptr;
    HWND FHandle = 0;
};

// Posts to a window by handle; false when no such window exists (any more).
bool PostMessage(HWND wnd, std::uint32_t msg, WPARAM wParam = 0, LPARAM lParam = 0);
// Posts to a window by handle after ms milliseconds (from the calling thread's event loop);
// nothing happens when the window is gone by then.
void PostMessageAfter(HWND wnd, std::uint32_t ms, std::uint32_t msg, WPARAM wParam = 0, LPARAM lParam = 0);
// Sends to a window by handle (blocking across threads); 0 when no such window exists.
LRESULT SendMessage(HWND wnd, std::uint32_t msg, WPARAM wParam = 0, LPARAM lParam = 0);
// True while a window with this handle exists.
bool IsWindow(HWND wnd);

// Processes every event pending for the calling thread, then returns. Nested calls are allowed.
void PumpMessages();

// Milliseconds of a monotonic clock; the 32-bit form wraps like the desktop tick counter.
std::uint32_t GetTickCount();
std::uint64_t GetTickCount64();
// Gives up the processor for at least ms milliseconds (0: just yield).
void Sleep(std::uint32_t ms);

// "The application is terminating": set once the main loop has been asked to quit, so
// that nested waiting loops give up.
bool ApplicationTerminating();
void SetApplicationTerminating(bool terminating);

// Where exceptions go that escape a handler run by the event loop. The GUI installs a
// handler that shows the standard error box; the default writes the message to stderr.
using ExceptionHandler = std::function<void(std::exception_ptr)>;
void SetExceptionHandler(ExceptionHandler handler);
void HandleException(std::exception_ptr error);
// The text of an exception, for error boxes and logs.
std::string ExceptionMessage(std::exception_ptr error);

} // namespace platform
