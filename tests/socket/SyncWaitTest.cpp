// The synchronous wait: a flag already set, a flag set by a handler, the time-out (12001),
// StartAndWait with and without a procedure, and the ends by quit or termination.
#include "ScriptedPeer.h"
#include "SocketTestUtil.h"

#include <QTimer>

#include <gtest/gtest.h>

using namespace sockettest;

namespace {

// A window that counts the messages it handles.
class CountingWindow : public platform::MessageWindow {
public:
    int Count = 0;

protected:
    void WndProc(platform::TMessage&) override { ++Count; }
};

std::uint64_t Now()
{
    return platform::GetTickCount64();
}

} // namespace

TEST(SyncWait, FlagAlreadyTrueReturnsAtOnceWithoutPumping)
{
    TWSocket s;
    CountingWindow w;
    w.PostMessage(platform::WM_USER + 100);
    bool flag = true;
    EXPECT_EQ(s.WaitForFlag(flag), 0);
    EXPECT_EQ(w.Count, 0) << "nothing was pumped";
    PumpFor(10);
    EXPECT_EQ(w.Count, 1);
}

TEST(SyncWait, FlagSetByAHandlerWithoutTimeLimit)
{
    TWSocket s;
    EXPECT_EQ(s.WaitTimeout(), 0);
    bool flag = false;
    QTimer::singleShot(150, [&] { flag = true; });
    std::uint64_t start = Now();
    EXPECT_EQ(s.WaitForFlag(flag), 0);
    EXPECT_GE(Now() - start, 100u);
}

TEST(SyncWait, TimeOutGives12001)
{
    TWSocket s;
    s.SetWaitTimeout(500);
    bool flag = false;
    std::uint64_t start = Now();
    EXPECT_EQ(s.WaitForFlag(flag), 12001);
    std::uint64_t took = Now() - start;
    EXPECT_GE(took, 450u);
    EXPECT_LT(took, 5000u);
}

TEST(SyncWait, StartAndWaitForAConnection)
{
    peer::ScriptedPeer p({});
    TWSocket s;
    s.SetWaitTimeout(5000);
    bool done = true;   // reset by StartAndWait before the procedure runs
    bool sawReset = false;
    std::uint16_t error = 0xFFFF;
    s.OnSessionConnected = [&](TCustomWSocket*, std::uint16_t e) {
        error = e;
        done = true;
    };
    std::int32_t r = s.StartAndWait(done, [&] {
        sawReset = !done;
        s.SetAddr("127.0.0.1");
        s.SetPort(std::to_string(p.Port()));
        s.Connect();
    });
    EXPECT_EQ(r, 0);
    EXPECT_TRUE(sawReset);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(s.State(), wsConnected);
    s.Close();
}

TEST(SyncWait, StartAndWaitWithoutAProcedureOnlyWaits)
{
    TWSocket s;
    s.SetWaitTimeout(100);
    bool done = true;
    EXPECT_EQ(s.StartAndWait(done, nullptr), 12001);
    EXPECT_FALSE(done);
}

TEST(SyncWait, QuitTakenByTheSocketsOwnPumpEndsTheWait)
{
    TWSocket s;
    s.SetMultiThreaded(true);
    platform::PostMessage(s.WindowHandle(), platform::WM_QUIT);
    bool flag = false;
    std::uint64_t start = Now();
    EXPECT_EQ(s.WaitForFlag(flag), 12001);
    EXPECT_LT(Now() - start, 5000u);
    EXPECT_TRUE(s.Terminated());
}

TEST(SyncWait, ApplicationTerminatingEndsTheWait)
{
    TWSocket s;
    bool flag = false;
    QTimer::singleShot(50, [] { platform::SetApplicationTerminating(true); });
    EXPECT_EQ(s.WaitForFlag(flag), 12001);
    platform::SetApplicationTerminating(false);
}

TEST(SyncWait, HandlerThatDestroysTheSocketEndsTheWait)
{
    auto* s = new TWSocket;
    bool flag = false;
    QTimer::singleShot(50, [&] { delete s; });
    EXPECT_EQ(s->WaitForFlag(flag), 12001);
}
