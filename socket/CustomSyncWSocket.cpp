// TCustomSyncWSocket: WaitForFlag and StartAndWait on top of the socket's message pump.
#include "socket/CustomSyncWSocket.h"

#include "platform/MessageWindow.h"

std::int32_t TCustomSyncWSocket::WaitForFlag(bool& Flag)
{
    auto alive = AliveToken();
    const std::int32_t timeout = FWaitTimeout;
    const std::int32_t deadline = static_cast<std::int32_t>(platform::GetTickCount() + std::uint32_t(timeout));
    FWaitDeadline = deadline;
    for (;;) {
        if (Flag)
            return 0;
        // The tick counter wraps after 49 days: the difference, taken as signed, still
        // tells which side of the deadline we are on.
        if (timeout > 0 && static_cast<std::int32_t>(platform::GetTickCount() - std::uint32_t(deadline)) > 0)
            return WSocketWaitTimedOut;
        if (platform::ApplicationTerminating() || FTerminated)
            return WSocketWaitTimedOut;
        PumpMessages();
        if (!*alive)
            return Flag ? 0 : WSocketWaitTimedOut;   // a handler destroyed the socket
        platform::Sleep(0);
    }
}

std::int32_t TCustomSyncWSocket::StartAndWait(bool& DoneFlag, const std::function<void()>& Proc)
{
    DoneFlag = false;
    auto alive = AliveToken();
    if (Proc)
        Proc();
    if (!*alive)
        return DoneFlag ? 0 : WSocketWaitTimedOut;
    return WaitForFlag(DoneFlag);
}
