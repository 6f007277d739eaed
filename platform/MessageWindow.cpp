// Hidden message windows implemented as QObjects receiving custom QEvents.
#include "platform/MessageWindow.h"

#include <QCoreApplication>
#include <QEvent>
#include <QThread>
#include <QTimer>
#include <QTimerEvent>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <algorithm>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace platform {

namespace {

QEvent::Type MessageEventType()
{
    static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

// Message events queued and not yet handled or dropped, for PumpMessages.
std::atomic<long> gQueued{0};

// The reply slot of a cross-thread SendMessage. The event that carries it releases the
// waiting thread when it is destroyed, handled or not, so a window destroyed with the
// message still queued never leaves its sender blocked.
// Standard primitives rather than QSemaphore, so that race detectors see the hand-over
// of Result from the owning thread to the sender.
struct SyncReply {
    std::mutex Lock;
    std::condition_variable Cond;
    bool Done = false;
    LRESULT Result = 0;

    void Release(LRESULT result)
    {
        std::lock_guard<std::mutex> lock(Lock);
        Result = result;
        Done = true;
        Cond.notify_all();
    }
    LRESULT Wait()
    {
        std::unique_lock<std::mutex> lock(Lock);
        Cond.wait(lock, [this] { return Done; });
        return Result;
    }
};

class MessageEvent : public QEvent {
public:
    MessageEvent(std::uint32_t msg, WPARAM w, LPARAM l, std::shared_ptr<SyncReply> reply = {})
        : QEvent(MessageEventType()), Message{msg, w, l, 0}, Reply(std::move(reply))
    {
        ++gQueued;
    }
    ~MessageEvent() override
    {
        --gQueued;
        if (Reply)
            Reply->Release(Message.Result);
    }
    TMessage Message;
    std::shared_ptr<SyncReply> Reply;
};

std::mutex gRegistryLock;
std::unordered_map<HWND, MessageReceiver*> gRegistry;
std::atomic<HWND> gNextHandle{1};
std::atomic<bool> gTerminating{false};

std::mutex gHandlerLock;
ExceptionHandler gExceptionHandler;

} // namespace

// The QObject behind a window. It outlives its owner when the owner is destroyed from
// inside its own window procedure; then it is deleted later and drops what is queued.
class MessageReceiver : public QObject {
public:
    explicit MessageReceiver(MessageWindow* owner) : FOwner(owner) {}

    bool event(QEvent* e) override
    {
        if (e->type() != MessageEventType())
            return QObject::event(e);
        auto* me = static_cast<MessageEvent*>(e);
        if (!FOwner)
            return true;   // the window is gone: undelivered messages are dropped
        ++FDepth;
        try {
            FOwner->WndProc(me->Message);
        } catch (...) {
            HandleException(std::current_exception());
        }
        --FDepth;
        return true;
    }

    void timerEvent(QTimerEvent* e) override
    {
        auto found = std::find_if(FTimers.begin(), FTimers.end(),
                                  [e](const auto& t) { return t.second == e->timerId(); });
        if (!FOwner || found == FTimers.end())
            return;
        TMessage m{WM_TIMER, found->first, 0, 0};
        ++FDepth;
        try {
            FOwner->WndProc(m);
        } catch (...) {
            HandleException(std::current_exception());
        }
        --FDepth;
    }

    MessageWindow* FOwner;
    int FDepth = 0;
    std::map<WPARAM, int> FTimers;   // the window's timer id -> the toolkit's
};

MessageWindow::MessageWindow()
{
    FHandle = gNextHandle.fetch_add(1);
    FReceiver = new MessageReceiver(this);
    std::lock_guard<std::mutex> lock(gRegistryLock);
    gRegistry.emplace(FHandle, FReceiver);
}

MessageWindow::~MessageWindow()
{
    {
        std::lock_guard<std::mutex> lock(gRegistryLock);
        gRegistry.erase(FHandle);
    }
    FReceiver->FOwner = nullptr;
    QCoreApplication::removePostedEvents(FReceiver, MessageEventType());
    if (FReceiver->FDepth > 0)
        FReceiver->deleteLater();   // we are inside its event(): it must not vanish under it
    else
        delete FReceiver;
}

void MessageWindow::SetTimer(WPARAM id, std::uint32_t ms)
{
    KillTimer(id);
    int qtId = FReceiver->startTimer(static_cast<int>(ms ? ms : 1), Qt::CoarseTimer);
    if (qtId != 0)
        FReceiver->FTimers[id] = qtId;
}

void MessageWindow::KillTimer(WPARAM id)
{
    auto found = FReceiver->FTimers.find(id);
    if (found == FReceiver->FTimers.end())
        return;
    FReceiver->killTimer(found->second);
    FReceiver->FTimers.erase(found);
}

bool MessageWindow::InWndProc() const
{
    return FReceiver->FDepth > 0;
}

void MessageWindow::WndProc(TMessage& msg)
{
    msg.Result = 0;
}

bool MessageWindow::PostMessage(std::uint32_t msg, WPARAM wParam, LPARAM lParam)
{
    return platform::PostMessage(FHandle, msg, wParam, lParam);
}

LRESULT MessageWindow::SendMessage(std::uint32_t msg, WPARAM wParam, LPARAM lParam)
{
    if (QThread::currentThread() == FReceiver->thread()) {
        TMessage m{msg, wParam, lParam, 0};
        ++FReceiver->FDepth;
        struct Leave {
            MessageReceiver* r;
            ~Leave() { --r->FDepth; }
        } leave{FReceiver};
        WndProc(m);
        return m.Result;
    }
    return platform::SendMessage(FHandle, msg, wParam, lParam);
}

bool PostMessage(HWND wnd, std::uint32_t msg, WPARAM wParam, LPARAM lParam)
{
    std::lock_guard<std::mutex> lock(gRegistryLock);
    auto it = gRegistry.find(wnd);
    if (it == gRegistry.end())
        return false;
    QCoreApplication::postEvent(it->second, new MessageEvent(msg, wParam, lParam));
    return true;
}

LRESULT SendMessage(HWND wnd, std::uint32_t msg, WPARAM wParam, LPARAM lParam)
{
    std::shared_ptr<SyncReply> reply;
    MessageWindow* sameThreadOwner = nullptr;
    {
        std::lock_guard<std::mutex> lock(gRegistryLock);
        auto it = gRegistry.find(wnd);
        if (it == gRegistry.end())
            return 0;
        MessageReceiver* r = it->second;
        if (QThread::currentThread() == r->thread()) {
            // Only this thread can destroy the window, so it stays valid once unlocked.
            sameThreadOwner = r->FOwner;
        } else {
            // Sent messages overtake posted ones, as on the desktop.
            reply = std::make_shared<SyncReply>();
            QCoreApplication::postEvent(r, new MessageEvent(msg, wParam, lParam, reply),
                                        Qt::HighEventPriority);
        }
    }
    if (!reply)
        return sameThreadOwner ? sameThreadOwner->SendMessage(msg, wParam, lParam) : 0;
    return reply->Wait();
}

bool IsWindow(HWND wnd)
{
    std::lock_guard<std::mutex> lock(gRegistryLock);
    return gRegistry.count(wnd) != 0;
}

void PumpMessages()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    // One pass of Qt's loop delivers only what was posted before the pass began, and a
    // nested pass inside a posted-event handler may deliver nothing; a desktop pump
    // empties the queue. The pass count is bounded so that a handler that keeps
    // re-posting itself cannot trap the caller here.
    for (int pass = 0; pass < 64 && gQueued.load() > 0; ++pass) {
        long before = gQueued.load();
        QCoreApplication::sendPostedEvents();
        if (gQueued.load() >= before)
            break;
    }
}

std::uint64_t GetTickCount64()
{
    using namespace std::chrono;
    return static_cast<std::uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

std::uint32_t GetTickCount()
{
    return static_cast<std::uint32_t>(GetTickCount64());
}

void Sleep(std::uint32_t ms)
{
    if (ms == 0)
        std::this_thread::yield();
    else
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool ApplicationTerminating()
{
    return gTerminating.load();
}

void SetApplicationTerminating(bool terminating)
{
    gTerminating.store(terminating);
}

void SetExceptionHandler(ExceptionHandler handler)
{
    std::lock_guard<std::mutex> lock(gHandlerLock);
    gExceptionHandler = std::move(handler);
}

std::string ExceptionMessage(std::exception_ptr error)
{
    try {
        if (error)
            std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "Unknown exception";
    }
    return {};
}

void HandleException(std::exception_ptr error)
{
    ExceptionHandler handler;
    {
        std::lock_guard<std::mutex> lock(gHandlerLock);
        handler = gExceptionHandler;
    }
    if (handler) {
        try {
            handler(error);
            return;
        } catch (...) {
            // A failing error box must not unwind through the event loop either.
        }
    }
    std::fprintf(stderr, "%s\n", ExceptionMessage(error).c_str());
}

void PostMessageAfter(HWND wnd, std::uint32_t ms, std::uint32_t msg, WPARAM wParam, LPARAM lParam)
{
    QTimer::singleShot(std::chrono::milliseconds(ms), [=] { PostMessage(wnd, msg, wParam, lParam); });
}

} // namespace platform
