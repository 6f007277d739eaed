// Message windows: ordering, nesting, cross-thread sends and lifetime.
#include "platform/MessageWindow.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace platform;

namespace {

// Records every message it handles; can run an action for a given message.
class RecordingWindow : public MessageWindow {
public:
    std::vector<std::uint32_t> Seen;
    std::function<void(TMessage&)> OnMessage;

protected:
    void WndProc(TMessage& m) override
    {
        Seen.push_back(m.Msg);
        if (OnMessage)
            OnMessage(m);
    }
};

} // namespace

// ---- ordering ----

TEST(MessageWindowOrder, PostedMessagesArriveInPostingOrderAcrossWindows)
{
    std::vector<int> order;
    RecordingWindow a, b;
    a.OnMessage = [&](TMessage& m) { order.push_back(int(m.WParam)); };
    b.OnMessage = [&](TMessage& m) { order.push_back(int(m.WParam)); };
    a.PostMessage(WM_USER, 1);
    b.PostMessage(WM_USER, 2);
    a.PostMessage(WM_USER, 3);
    EXPECT_TRUE(order.empty()) << "posting must not deliver at once";
    PumpMessages();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(MessageWindowOrder, MessagePostedInHandlerRunsAfterHandlerReturns)
{
    RecordingWindow w;
    std::vector<std::string> trace;
    w.OnMessage = [&](TMessage& m) {
        if (m.Msg == WM_USER) {
            trace.push_back("first begins");
            w.PostMessage(WM_USER + 1);
            trace.push_back("first ends");
        } else {
            trace.push_back("second");
        }
    };
    w.PostMessage(WM_USER);
    PumpMessages();
    EXPECT_EQ(trace, (std::vector<std::string>{"first begins", "first ends", "second"}));
}

TEST(MessageWindowOrder, SendOnOwnThreadIsImmediateAndReturnsResult)
{
    RecordingWindow w;
    w.OnMessage = [](TMessage& m) { m.Result = LRESULT(m.WParam * 2); };
    EXPECT_EQ(w.SendMessage(WM_USER, 21), 42);
    EXPECT_EQ(SendMessage(w.Handle(), WM_USER, 5), 10);
    EXPECT_EQ(w.Seen.size(), 2u);
}

// ---- nesting ----

TEST(MessageWindowNesting, NestedPumpDeliversLaterMessagesInsideHandler)
{
    RecordingWindow w;
    std::vector<std::string> trace;
    w.OnMessage = [&](TMessage& m) {
        if (m.Msg == WM_USER) {
            trace.push_back("outer begins");
            EXPECT_TRUE(w.InWndProc());
            PumpMessages();   // like a modal loop inside a handler
            trace.push_back("outer ends");
        } else {
            trace.push_back("inner " + std::to_string(m.WParam));
        }
    };
    w.PostMessage(WM_USER);
    w.PostMessage(WM_USER + 1, 1);
    w.PostMessage(WM_USER + 1, 2);
    PumpMessages();
    EXPECT_EQ(trace, (std::vector<std::string>{"outer begins", "inner 1", "inner 2", "outer ends"}));
    EXPECT_FALSE(w.InWndProc());
}

// ---- threads ----

TEST(MessageWindowThreads, SendFromWorkerBlocksUntilHandledOnOwnerThread)
{
    RecordingWindow w;
    std::thread::id handledOn;
    w.OnMessage = [&](TMessage& m) {
        handledOn = std::this_thread::get_id();
        m.Result = 7;
    };
    std::atomic<bool> returned{false};
    LRESULT result = 0;
    std::thread worker([&] {
        result = SendMessage(w.Handle(), WM_USER);
        returned = true;
    });
    // The worker must stay blocked until this thread runs the handler.
    Sleep(50);
    EXPECT_FALSE(returned.load());
    while (!returned.load())
        PumpMessages();
    worker.join();
    EXPECT_EQ(result, 7);
    EXPECT_EQ(handledOn, std::this_thread::get_id());
}

TEST(MessageWindowThreads, SendToWindowDestroyedWhileQueuedReleasesSender)
{
    auto w = std::make_unique<RecordingWindow>();
    int delivered = 0;
    w->OnMessage = [&](TMessage&) { ++delivered; };
    std::atomic<bool> returned{false};
    LRESULT result = -1;
    std::thread worker([&, h = w->Handle()] {
        result = SendMessage(h, WM_USER);
        returned = true;
    });
    Sleep(100);   // the message is queued; this thread does not pump
    EXPECT_FALSE(returned.load());
    w.reset();
    worker.join();   // would hang if the dropped message kept its sender waiting
    EXPECT_EQ(result, 0);
    EXPECT_EQ(delivered, 0);
}

TEST(MessageWindowThreads, PostFromManyThreadsLosesNothing)
{
    RecordingWindow w;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 250; ++i)
                w.PostMessage(WM_USER);
        });
    for (auto& t : threads)
        t.join();
    PumpMessages();
    EXPECT_EQ(w.Seen.size(), 1000u);
}

// ---- lifetime ----

TEST(MessageWindowLifetime, MessagesOfDestroyedWindowAreDropped)
{
    auto w = std::make_unique<RecordingWindow>();
    int delivered = 0;
    w->OnMessage = [&](TMessage&) { ++delivered; };
    HWND h = w->Handle();
    w->PostMessage(WM_USER);
    w.reset();
    PumpMessages();
    EXPECT_EQ(delivered, 0);
    EXPECT_FALSE(IsWindow(h));
    EXPECT_FALSE(PostMessage(h, WM_USER));
    EXPECT_EQ(SendMessage(h, WM_USER), 0);
}

TEST(MessageWindowLifetime, HandlesAreNeverReused)
{
    HWND first;
    {
        RecordingWindow w;
        first = w.Handle();
    }
    RecordingWindow again;
    EXPECT_NE(again.Handle(), first);
    EXPECT_NE(again.Handle(), HWND(0));
}

TEST(MessageWindowLifetime, WindowMayDestroyItselfInsideItsHandler)
{
    auto* w = new RecordingWindow;
    int after = 0;
    w->OnMessage = [&](TMessage& m) {
        if (m.Msg == WM_USER)
            delete w;   // like a deferred free
        else
            ++after;
    };
    w->PostMessage(WM_USER);
    w->PostMessage(WM_USER + 1);
    PumpMessages();
    PumpMessages();
    EXPECT_EQ(after, 0);
}

// ---- exceptions ----

TEST(MessageWindowExceptions, ExceptionInHandlerGoesToApplicationHandlerAndLoopGoesOn)
{
    std::vector<std::string> caught;
    SetExceptionHandler([&](std::exception_ptr e) { caught.push_back(ExceptionMessage(e)); });
    RecordingWindow w;
    w.OnMessage = [](TMessage& m) {
        if (m.Msg == WM_USER)
            throw std::runtime_error("boom");
    };
    w.PostMessage(WM_USER);
    w.PostMessage(WM_USER + 1);
    PumpMessages();
    SetExceptionHandler(nullptr);
    EXPECT_EQ(caught, std::vector<std::string>{"boom"});
    EXPECT_EQ(w.Seen.size(), 2u);
}

// ---- clock and termination ----

TEST(MessageLoopHelpers, TickCounterIsMonotonicMilliseconds)
{
    std::uint64_t a = GetTickCount64();
    Sleep(30);
    std::uint64_t b = GetTickCount64();
    EXPECT_GE(b - a, 30u);
    EXPECT_LT(b - a, 5000u);
}

TEST(MessageLoopHelpers, TerminatingFlag)
{
    EXPECT_FALSE(ApplicationTerminating());
    SetApplicationTerminating(true);
    EXPECT_TRUE(ApplicationTerminating());
    SetApplicationTerminating(false);
}
