// TCustomFtpCli: FTP over TLS (RFC 4217): AUTH TLS or implicit TLS while opening, the
// certificate decision, PBSZ 0 / PROT P after the login, and TLS on the data connections.
#include "ftp/CustomFtpCli.h"

#include "platform/ZeroCopy.h"

#include <cstring>

namespace {

// "TLSv1.3" as users read it: "TLS 1.3".
std::string ReadableVersion(std::string Version)
{
    if (Version.rfind("TLSv", 0) == 0)
        Version = "TLS " + Version.substr(4);
    return Version;
}

} // namespace

void TCustomFtpCli::SetTlsMode(TFtpTlsMode Value)
{
    if (FControlOpen)
        throw FtpException("FTP component connected");
    if (Value < ftpTlsPlainOnly || Value > ftpTlsRequireImplicit)
        throw FtpException("Invalid TLS mode");
    FTlsMode = Value;
}

const std::shared_ptr<TSslContext>& TCustomFtpCli::SslContext()
{
    if (!FSslContext)
        FSslContext = std::make_shared<TSslContext>();
    return FSslContext;
}

std::string TCustomFtpCli::TlsDescription() const
{
    if (!FTlsActive || FControlSocket->SslState() != sslEstablished)
        return {};
    return ReadableVersion(FControlSocket->SslVersion()) + ", " + FControlSocket->SslCipher();
}

// ---- opening ----

bool TCustomFtpCli::TlsAfterGreeting()
{
    if (FTlsMode == ftpTlsPlainOnly || FTlsActive)
        return true;
    if (FTlsMode == ftpTlsRequireImplicit) {
        // The greeting came over TLS, but the certificate decision is still to come: the
        // request ends with that decision.
        FGreetingHeld = true;
        FHeldReply = FLastReply;
        FHeldReplyCode = FReplyCode;
        return false;
    }
    // RFC 4217: AUTH TLS right after the greeting, before anything secret is sent.
    FHeldReply = FLastReply;
    FHeldReplyCode = FReplyCode;
    FNext = &TCustomFtpCli::AuthTlsReply;
    SetState(fcsWaitingReply);
    SendCommand("AUTH TLS");
    return false;
}

void TCustomFtpCli::AuthTlsReply()
{
    auto alive = FAlive;
    NotifyDisplay("< " + FLastReply);
    if (!*alive)
        return;
    if (FReplyCode == 234) {
        FNext = nullptr;
        StartControlTls();
        return;
    }
    if (FReplyCode >= 500 && FReplyCode <= 599 && FTlsMode == ftpTlsExplicitIfAvailable) {
        NotifyDisplay("! Server refused AUTH TLS: continuing without encryption");
        if (!*alive)
            return;
        FLastReply = FHeldReply;
        FReplyCode = FHeldReplyCode;
        FRequestResult = 0;
        FinishRequest(0);
        return;
    }
    int code = FReplyCode;
    KeepErrorMessage();
    NotifyDisplay("! Server refused AUTH TLS: no session without encryption");
    if (!*alive)
        return;
    FRequestResult = code;
    FControlSocket->Close();   // the close report ends the request with that code
}

void TCustomFtpCli::StartControlTls()
{
    TWSocket& s = *FControlSocket;
    s.SetSslContext(SslContext());
    s.SetSslServerName(FConnectionType == ftpProxy ? FProxyServer : FHostName);
    s.SetSslResume(false);
    s.SetSslStrictClose(false);
    s.OnSslHandshakeDone = [this](TCustomWSocket*, std::uint16_t e) { ControlTlsDone(e); };
    FTlsHandshaking = true;
    NotifyDisplay("! Starting TLS");
    try {
        s.StartSslHandshake();
    } catch (const std::exception& E) {
        FailTls(std::string("TLS handshake failed: ") + E.what());
    }
}

void TCustomFtpCli::ControlTlsDone(std::uint16_t Error)
{
    if (!FTlsHandshaking)
        return;
    if (Error != 0) {
        FTlsHandshaking = false;
        FailTls("TLS handshake failed: " + FControlSocket->SslErrorText());
        return;
    }
    FControlSocket->SslPeerCertificate(FTlsCertificate);
    // The decision may show a window: it runs from the engine's own queue, not inside
    // the socket's notification.
    FWindow->PostMessage(WM_FTP_TLS_CHECK);
}

void TCustomFtpCli::CheckControlCertificate()
{
    if (!FTlsHandshaking || FControlSocket->SslState() != sslEstablished)
        return;
    auto alive = FAlive;
    bool accept = FTlsCertificate.VerifyResult == 0;
    if (!accept && OnCertificateCheck) {
        OnCertificateCheck(this, FTlsCertificate, accept);
        if (!*alive)
            return;
        // The handler may have ended the session (Abort) while it asked.
        if (!FTlsHandshaking || FControlSocket->SslState() != sslEstablished)
            return;
    }
    FTlsHandshaking = false;
    if (!accept) {
        FailTls("Certificate verification failed: " + FTlsCertificate.VerifyError);
        return;
    }
    FTlsActive = true;
    NotifyDisplay("! TLS started: " + TlsDescription()
                  + (FTlsCertificate.VerifyResult == 0 ? "" : " (certificate accepted by the user)"));
    if (!*alive)
        return;
    if (FTlsMode == ftpTlsRequireImplicit) {
        if (!FGreetingHeld)
            return;   // the greeting is still to come and ends the request then
        FGreetingHeld = false;
    }
    FLastReply = FHeldReply;
    FReplyCode = FHeldReplyCode;
    FRequestResult = 0;
    SetState(fcsConnected);
    if (!*alive)
        return;
    FinishRequest(0);
}

void TCustomFtpCli::FailTls(const std::string& Why)
{
    auto alive = FAlive;
    FTlsHandshaking = false;
    FGreetingHeld = false;
    NotifyDisplay("! " + Why);
    if (!*alive)
        return;
    FLastReply = Why;
    FReplyCode = 534;
    KeepErrorMessage();
    FRequestResult = 534;
    FNext = nullptr;
    if (FControlSocket->State() != wsClosed)
        FControlSocket->Close();   // the close report ends the request with that code
    else if (!FRequestDone)
        FinishRequest(534);
}

// ---- after the login ----

void TCustomFtpCli::ProtectAfterLogin()
{
    if (FRequestResult != 0 || FReplyCode != 230) {
        FinishRequest(FRequestResult);
        return;
    }
    // RFC 4217: PBSZ 0 then PROT P, so that the data connections are encrypted too.
    FHeldReply = FLastReply;
    FHeldReplyCode = FReplyCode;
    FNext = &TCustomFtpCli::PbszReply;
    SetState(fcsWaitingReply);
    SendCommand("PBSZ 0");
}

void TCustomFtpCli::PbszReply()
{
    auto alive = FAlive;
    NotifyDisplay("< " + FLastReply);
    if (!*alive)
        return;
    FNext = &TCustomFtpCli::ProtReply;
    SendCommand("PROT P");
}

void TCustomFtpCli::ProtReply()
{
    auto alive = FAlive;
    NotifyDisplay("< " + FLastReply);
    if (!*alive)
        return;
    FNext = nullptr;
    FProtP = FReplyCode >= 200 && FReplyCode <= 299;
    if (!FProtP) {
        if (FTlsMode != ftpTlsExplicitIfAvailable) {
            int code = FReplyCode;
            KeepErrorMessage();
            NotifyDisplay("! Server refused PROT P: no transfers without encryption");
            if (!*alive)
                return;
            FRequestResult = code;
            FinishRequest(code);
            return;
        }
        NotifyDisplay("! Server refused PROT P: data connections stay unencrypted");
        if (!*alive)
            return;
    }
    FLastReply = FHeldReply;
    FReplyCode = FHeldReplyCode;
    FRequestResult = 0;
    FinishRequest(0);
}

// ---- data connections ----

void TCustomFtpCli::PrepareDataTls()
{
    TWSocket& data = *FDataSocket;
    FDataTlsStarted = false;
    FDataTlsError = 0;
    if (!FProtP) {
        data.SetSslContext(nullptr);
        data.OnSslHandshakeDone = nullptr;
        return;
    }
    data.SetSslContext(SslContext());
    data.SetSslServerName(FConnectionType == ftpProxy ? FProxyServer : FHostName);
    // Servers refuse data connections that do not resume the control session
    // (vsftpd: "522 SSL connection failed: session reuse required").
    data.SetSslResume(true);
    // A download that ends without close_notify may have been cut short.
    data.SetSslStrictClose(true);
    data.OnSslHandshakeDone = [this](TCustomWSocket*, std::uint16_t e) { DataTlsDone(e); };
}

void TCustomFtpCli::MaybeStartDataTls()
{
    // The handshake starts once the server has answered the transfer command with 1xx:
    // some servers (pyftpdlib) drop a data connection that speaks before the command
    // arrived, and every server is ready for it after the 1xx reply.
    if (!FProtP || FDataTlsStarted || FRequestDone)
        return;
    TWSocket& data = *FDataSocket;
    if (data.State() != wsConnected || data.SslState() != sslNone)
        return;
    bool firstReply = FDataStep == 2 ? FFirstReply : FNext == &TCustomFtpCli::FinalDataReply;
    if (!firstReply)
        return;
    FDataTlsStarted = true;
    try {
        data.StartSslHandshake();
    } catch (const std::exception& E) {
        FDataTlsError = sslHandshakeFailed;
        NotifyDisplay(std::string("! TLS on the data connection failed: ") + E.what());
        CloseDataSocket();
    }
}

void TCustomFtpCli::DataTlsDone(std::uint16_t Error)
{
    TWSocket& data = *FDataSocket;
    auto alive = FAlive;
    if (Error == 0 && !data.SslSessionReused()) {
        // A fresh session must at least come from the server the user accepted.
        TSslCertificateInfo info;
        if (!data.SslPeerCertificate(info) || info.Fingerprint != FTlsCertificate.Fingerprint) {
            FDataTlsError = sslHandshakeFailed;
            NotifyDisplay("! TLS on the data connection failed: certificate differs from the control connection's");
            if (!*alive)
                return;
            CloseDataSocket();
            return;
        }
    }
    if (Error != 0) {
        FDataTlsError = Error;
        NotifyDisplay("! TLS on the data connection failed: " + data.SslErrorText());
        if (!*alive)
            return;
        CloseDataSocket();
        return;
    }
    if (FKernelTlsNote) {
        // Once per session: why an encrypted file transfer copies its bytes.
        FKernelTlsNote = false;
        FKernelTlsNoted = true;
        int err = platform::KernelTlsProbe();
        NotifyDisplay(err != 0 ? "! TLS data: copying path, this system offers no kernel TLS ("
                                     + std::string(std::strerror(err)) + ")"
                               : std::string("! TLS data: copying path, kernel TLS is not used for data connections"));
        if (!*alive)
            return;
    }
    if (FDataStep == 2 && FFirstReply) {
        FStartTime = platform::GetTickCount64();
        UploadPump(0);
    }
}

std::uint16_t TCustomFtpCli::DataCloseError(std::uint16_t Error)
{
    if (Error == 0 && FDataTlsError != 0)
        Error = FDataTlsError;
    if (Error == sslTruncated || Error == sslProtocolError)
        NotifyDisplay("! TLS: " + FDataSocket->SslErrorText());
    return Error;
}
