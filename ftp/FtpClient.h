// TFtpClient: the published FTP engine, with the synchronous wait on top of TCustomFtpCli.
#pragma once

#include "ftp/CustomFtpCli.h"

#include <functional>

// The engine as the main window places it: TCustomFtpCli plus Timeout, MultiThreaded and
// the blocking helpers WaitForReady and RunAndWait.
class TFtpClient : public TCustomFtpCli {
public:
    // Creates the engine; Timeout 15 s, MultiThreaded false.
    TFtpClient() = default;

    // Seconds of silence (no progress) WaitForReady accepts; 0 waits without limit.
    int Timeout() const { return FTimeout; }
    void SetTimeout(int Value) { FTimeout = Value; }
    // WaitForReady pumps with the control socket's pump instead of the application's.
    bool MultiThreaded() const { return FMultiThreaded; }
    void SetMultiThreaded(bool Value) { FMultiThreaded = Value; }

    // Pumps messages until the engine is ready; true when the request succeeded. On time-out
    // (or when the application terminates) aborts, sets "426 Timeout" and returns false.
    bool WaitForReady();
    // Starts Request, then WaitForReady; false also when Request raised.
    bool RunAndWait(const std::function<void()>& Request);

protected:
    bool NotifyProgress() override;

private:
    int FTimeout = 15;
    bool FMultiThreaded = false;
    std::uint64_t FDeadline = 0;
};
