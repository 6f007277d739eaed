// TCustomFtpCli: the request timeout (silence, not length) and the keep-alive NOOP of an
// idle session, both driven by a once-a-second timer on the engine's hidden window.
#include "ftp/CustomFtpCli.h"

namespace {

constexpr platform::WPARAM kTickTimer = 1;
constexpr std::uint32_t kTickMs = 1000;

} // namespace

void TCustomFtpCli::SetRequestTimeout(int Seconds)
{
    FRequestTimeout = Seconds > 0 ? Seconds : 0;
    UpdateTimer();
}

void TCustomFtpCli::SetKeepAlive(int Seconds)
{
    FKeepAlive = Seconds > 0 ? Seconds : 0;
    UpdateTimer();
}

void TCustomFtpCli::UpdateTimer()
{
    if (FRequestTimeout > 0 || FKeepAlive > 0) {
        Touch();
        FWindow->SetTimer(kTickTimer, kTickMs);
    } else {
        FWindow->KillTimer(kTickTimer);
    }
}

void TCustomFtpCli::TimerTick()
{
    const std::uint64_t now = platform::GetTickCount64();
    // Bytes moved on the data connection are activity too: a long transfer that keeps
    // moving never times out.
    if (FByteCount != FTickByteCount) {
        FTickByteCount = FByteCount;
        FLastActivity = now;
    }
    const std::uint64_t quiet = now - FLastActivity;
    const bool waiting = !FRequestDone && (FState == fcsWaitingReply || FState == fcsConnecting);
    if (FRequestTimeout > 0 && quiet >= std::uint64_t(FRequestTimeout) * 1000 && (waiting || FNoopPending)) {
        RequestTimedOut();
        return;
    }
    if (FKeepAlive > 0 && quiet >= std::uint64_t(FKeepAlive) * 1000 && FRequestDone && FState == fcsReady
        && FControlOpen && !FNoopPending && FControlSocket->State() == wsConnected) {
        FNoopPending = true;
        SendCommand("NOOP");
    }
}

void TCustomFtpCli::RequestTimedOut()
{
    auto alive = FAlive;
    const std::string text = "Timeout: no answer from the server for " + std::to_string(FRequestTimeout) + " seconds";
    NotifyDisplay("! " + text);
    if (!*alive)
        return;
    FNoopPending = false;
    if (!FRequestDone) {
        FLastReply = "421 " + text;
        FReplyCode = 421;
        FRequestResult = 421;
        KeepErrorMessage();
        FContinuation = false;
        FPendingSteps = 0;
    }
    // A server that stopped answering cannot be trusted with the next command: the session
    // ends here, and its close report ends the request with the timeout.
    CloseLocalFile();
    CloseDataSocket();
    if (!*alive)
        return;
    if (FControlSocket->State() != wsClosed) {
        try {
            FControlSocket->Close();
        } catch (...) {
        }
    }
    if (!*alive)
        return;
    FControlOpen = false;
    if (!FRequestDone)
        FinishRequest(421);
    else if (FState != fcsReady)
        SetState(fcsReady);
}
