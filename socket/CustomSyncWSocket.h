// TCustomSyncWSocket: the synchronous-wait layer of the socket chain: start an operation,
// then pump the thread's messages until a handler sets a flag or the time runs out.
#pragma once

#include "socket/CustomLineWSocket.h"

#include <cstdint>
#include <functional>

// The result of a wait that timed out or was ended by the program's termination.
constexpr std::int32_t WSocketWaitTimedOut = 12001;

// The synchronous-wait layer. Every event of every socket of the thread may run inside a
// wait, including handlers that start further waits.
class TCustomSyncWSocket : public TCustomLineWSocket {
public:
    // Creates the object; see TCustomWSocket.
    TCustomSyncWSocket() = default;

    // Milliseconds a wait may last; 0 (the default) means no limit.
    std::int32_t WaitTimeout() const { return FWaitTimeout; }
    void SetWaitTimeout(std::int32_t Value) { FWaitTimeout = Value; }

    // Pumps messages until Flag is true (0), or until WaitTimeout has passed or the program
    // or this socket's own pump was asked to quit (12001). A flag already true returns 0
    // without pumping.
    virtual std::int32_t WaitForFlag(bool& Flag);
    // Sets DoneFlag to false, calls Proc (when assigned), which should start an operation
    // whose completion handler sets DoneFlag, and returns WaitForFlag(DoneFlag).
    virtual std::int32_t StartAndWait(bool& DoneFlag, const std::function<void()>& Proc);

protected:
    std::int32_t FWaitTimeout = 0;
    // The tick count at which the current wait expires.
    std::int32_t FWaitDeadline = 0;
};
