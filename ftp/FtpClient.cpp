// TFtpClient: WaitForReady, RunAndWait and the progress that moves the wait's deadline.
#include "ftp/FtpClient.h"

bool TFtpClient::WaitForReady()
{
    FDeadline = platform::GetTickCount64() + std::uint64_t(FTimeout > 0 ? FTimeout : 0) * 1000;
    for (;;) {
        if (FState == fcsReady)
            return FRequestResult == 0;
        if (platform::ApplicationTerminating())
            break;
        if (FTimeout > 0 && platform::GetTickCount64() > FDeadline)
            break;
        if (FMultiThreaded)
            FControlSocket->PumpMessages();
        else
            platform::PumpMessages();
        platform::Sleep(0);
    }
    Abort();
    FErrorMessage = "426 Timeout";
    FReplyCode = 426;
    return false;
}

bool TFtpClient::RunAndWait(const std::function<void()>& Request)
{
    try {
        Request();
        return WaitForReady();
    } catch (...) {
        return false;
    }
}

bool TFtpClient::NotifyProgress()
{
    bool aborted = TCustomFtpCli::NotifyProgress();
    if (FTimeout > 0)
        FDeadline = platform::GetTickCount64() + std::uint64_t(FTimeout) * 1000;
    return aborted;
}
