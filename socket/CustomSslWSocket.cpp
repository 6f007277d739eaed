// TCustomSslWSocket and TSslContext: OpenSSL driven by the socket's own notifications
// through a BIO that reads from the layer below and writes into the send queue.
#include "socket/CustomSslWSocket.h"

#include <cerrno>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <climits>
#include <cstdio>
#include <ctime>
#include <stdexcept>

namespace {

// The largest plaintext record we send: fewer, larger records cost less per byte.
constexpr long kMaxSendFragment = 16384;

bool IsIpAddress(const std::string& Host)
{
    ASN1_OCTET_STRING* ip = a2i_IPADDRESS(Host.c_str());
    if (!ip)
        return false;
    ASN1_OCTET_STRING_free(ip);
    return true;
}

std::string NameText(X509_NAME* Name)
{
    if (!Name)
        return {};
    BIO* mem = BIO_new(BIO_s_mem());
    X509_NAME_print_ex(mem, Name, 0, XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB);
    char* data = nullptr;
    long len = BIO_get_mem_data(mem, &data);
    std::string text(data, std::size_t(len > 0 ? len : 0));
    BIO_free(mem);
    return text;
}

std::string TimeText(const ASN1_TIME* Time)
{
    struct tm tm {};
    if (!Time || ASN1_TIME_to_tm(Time, &tm) != 1)
        return {};
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d UTC", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

// The new-session hook: the newest session of any connection of the context is the one the
// next data connection offers (TLS 1.3 servers send their tickets after the handshake, so
// this runs whenever one arrives, not only at the handshake's end).
int NewSessionHook(SSL* Ssl, SSL_SESSION* Session)
{
    auto* context = static_cast<TSslContext*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(Ssl)));
    if (!context)
        return 0;
    context->StoreSession(Session);
    return 1;   // the reference is ours now
}

} // namespace

// ---- TSslContext ----

TSslContext::TSslContext()
{
    FCtx = SSL_CTX_new(TLS_client_method());
    if (!FCtx)
        throw std::runtime_error("TLS: unable to create the OpenSSL context");
    SSL_CTX_set_min_proto_version(FCtx, TLS1_2_VERSION);
    SSL_CTX_set_default_verify_paths(FCtx);
    // The handshake completes whatever the certificate; the engine decides afterwards
    // (with the user) from the verification result, before anything secret is sent.
    SSL_CTX_set_verify(FCtx, SSL_VERIFY_NONE, nullptr);
    SSL_CTX_set_app_data(FCtx, this);
    SSL_CTX_set_session_cache_mode(FCtx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(FCtx, NewSessionHook);
    // Whole records are read ahead in one system call when the data is there.
    SSL_CTX_set_read_ahead(FCtx, 1);
    SSL_CTX_set_default_read_buffer_len(FCtx, 64 * 1024);
}

TSslContext::~TSslContext()
{
    ForgetSession();
    SSL_CTX_free(FCtx);
}

bool TSslContext::LoadCaFile(const std::string& Path, std::string& Error)
{
    if (SSL_CTX_load_verify_locations(FCtx, Path.c_str(), nullptr) == 1)
        return true;
    unsigned long e = ERR_get_error();
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    ERR_clear_error();
    Error = "unable to load certificates from " + Path + ": " + buf;
    return false;
}

void TSslContext::ForgetSession()
{
    if (FSession)
        SSL_SESSION_free(FSession);
    FSession = nullptr;
}

void TSslContext::StoreSession(ssl_session_st* Session)
{
    if (Session == FSession) {
        SSL_SESSION_free(Session);   // the hook handed us one more reference to it
        return;
    }
    ForgetSession();
    FSession = Session;
}

// ---- the BIO ----

static BIO_METHOD* TheBioMethod(int (*Read)(BIO*, char*, int), int (*Write)(BIO*, const char*, int),
                                long (*Ctrl)(BIO*, int, long, void*))
{
    static BIO_METHOD* method = [&] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "ombrex socket");
        BIO_meth_set_read(m, Read);
        BIO_meth_set_write(m, Write);
        BIO_meth_set_ctrl(m, Ctrl);
        BIO_meth_set_create(m, [](BIO* b) {
            BIO_set_init(b, 1);
            return 1;
        });
        return m;
    }();
    return method;
}

int TCustomSslWSocket::BioRead(bio_st* Bio, char* Data, int Len)
{
    auto* self = static_cast<TCustomSslWSocket*>(BIO_get_data(Bio));
    BIO_clear_retry_flags(Bio);
    if (!self || self->FHandle == wsock::INVALID_SOCKET) {
        return 0;
    }
    std::int64_t n = self->TCustomSocksWSocket::RawReceive(Data, Len, 0);
    if (n > 0)
        return static_cast<int>(n);
    if (n == 0) {
        self->FSslEof = true;
        return 0;
    }
    if (wsock::WSAGetLastError() == wsock::WSAEWOULDBLOCK) {
        BIO_set_retry_read(Bio);
        return -1;
    }
    self->FSslEof = true;   // a reset ends the stream as well
    return -1;
}

int TCustomSslWSocket::BioWrite(bio_st* Bio, const char* Data, int Len)
{
    auto* self = static_cast<TCustomSslWSocket*>(BIO_get_data(Bio));
    BIO_clear_retry_flags(Bio);
    if (!self || self->FHandle == wsock::INVALID_SOCKET)
        return -1;
    // Records go to the system straight away while nothing waits before them; the rest
    // joins the send queue, whose write notifications drain it. OpenSSL thus never has
    // to retry a write, and nothing is copied while the system keeps up.
    int sent = 0;
    if (self->SendQueueEmpty()) {
        int n = self->RawSend(Data, Len);
        if (n > 0) {
            sent = n;
        } else if (n < 0 && wsock::WSAGetLastError() != wsock::WSAEWOULDBLOCK) {
            if (self->FSslClosing)
                return Len;   // the peer is gone: a close_notify nobody reads
            // Queued, the bytes let TryToSend meet the error and report the close.
        }
    }
    if (sent < Len) {
        self->FAllSent = false;
        self->QueueSendData(Data + sent, Len - sent);
    }
    return Len;
}

long TCustomSslWSocket::BioCtrl(bio_st*, int Cmd, long, void*)
{
    switch (Cmd) {
    case BIO_CTRL_FLUSH:
        return 1;
    default:
        return 0;
    }
}

// ---- TCustomSslWSocket ----

TCustomSslWSocket::TCustomSslWSocket() = default;

TCustomSslWSocket::~TCustomSslWSocket()
{
    FreeSsl();
}

void TCustomSslWSocket::FreeSsl()
{
    if (FSsl) {
        SSL_free(FSsl);
        FSsl = nullptr;
    }
    FSslState = sslNone;
    FSslEof = false;
    FSslTruncated = false;
    FSslClosing = false;
    FSslLocalClose = false;
}

void TCustomSslWSocket::AssignDefaults()
{
    TCustomSocksWSocket::AssignDefaults();
    FreeSsl();
}

bool TCustomSslWSocket::SendQueueEmpty() const
{
    for (const auto& block : FSendQueue) {
        std::int32_t len;
        block->Peek(len);
        if (len > 0)
            return false;
    }
    return true;
}

std::string TCustomSslWSocket::TakeSslError(const std::string& Fallback)
{
    unsigned long e = ERR_get_error();
    std::string text;
    if (e != 0) {
        const char* reason = ERR_reason_error_string(e);
        text = reason ? reason : "";
        if (text.empty()) {
            char buf[256];
            ERR_error_string_n(e, buf, sizeof buf);
            text = buf;
        }
    }
    ERR_clear_error();
    return text.empty() ? Fallback : text;
}

void TCustomSslWSocket::StartSslHandshake()
{
    if (FState != wsConnected || FHandle == wsock::INVALID_SOCKET) {
        SignalError("StartSslHandshake: not connected");
        return;
    }
    if (!FSslContext) {
        SignalError("StartSslHandshake: no TLS context");
        return;
    }
    FreeSsl();
    ERR_clear_error();
    FSsl = SSL_new(FSslContext->Handle());
    if (!FSsl) {
        SignalError("StartSslHandshake: " + TakeSslError("SSL_new failed"));
        return;
    }
    SSL_set_connect_state(FSsl);
    SSL_set_max_send_fragment(FSsl, kMaxSendFragment);
    if (!FSslServerName.empty()) {
        if (IsIpAddress(FSslServerName)) {
            X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(FSsl), FSslServerName.c_str());
        } else {
            SSL_set_tlsext_host_name(FSsl, FSslServerName.c_str());
            SSL_set1_host(FSsl, FSslServerName.c_str());
        }
    }
    if (FSslResume && FSslContext->Session())
        SSL_set_session(FSsl, FSslContext->Session());
    BIO* bio = BIO_new(TheBioMethod(BioRead, BioWrite, BioCtrl));
    BIO_set_data(bio, this);
    SSL_set_bio(FSsl, bio, bio);
    FSslErrorText.clear();
    FSslCleanClose = false;
    FSslPlainBytes = 0;
    FSslState = sslHandshaking;
    ++FSslHandshakeCount;
    if (FSslHandshakeTimeout > 0)
        platform::PostMessageAfter(WindowHandle(), FSslHandshakeTimeout, WM_SSL_HANDSHAKE_TIMEOUT, FSslHandshakeCount);
    ContinueHandshake();
}

void TCustomSslWSocket::ContinueHandshake()
{
    if (FSslState != sslHandshaking)
        return;
    ERR_clear_error();
    int r = SSL_do_handshake(FSsl);
    if (r == 1) {
        FSslState = sslEstablished;
        auto alive = AliveToken();
        wsock::SOCKET handle = FHandle;
        DoSslHandshakeDone(0);
        if (!*alive || FHandle != handle)
            return;
        // Application data may have come in the same read as the handshake's last flight.
        PostPendingRead();
        return;
    }
    int e = SSL_get_error(FSsl, r);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
        if (FSslEof)
            FailHandshake("connection closed during the TLS handshake");
        return;
    }
    if (FSslEof && ERR_peek_error() == 0)
        FailHandshake("connection closed during the TLS handshake");
    else
        FailHandshake(TakeSslError("TLS handshake failed"));
}

void TCustomSslWSocket::FailHandshake(const std::string& Why)
{
    ERR_clear_error();
    FSslErrorText = Why;
    FSslState = sslFailed;
    DoSslHandshakeDone(sslHandshakeFailed);
}

void TCustomSslWSocket::DoSslHandshakeDone(std::uint16_t Error)
{
    if (OnSslHandshakeDone)
        OnSslHandshakeDone(this, Error);
}

void TCustomSslWSocket::PostPendingRead()
{
    if (!FSsl || FSslReadPosted || FHandle == wsock::INVALID_SOCKET)
        return;
    if (SSL_has_pending(FSsl) == 0)
        return;
    FSslReadPosted = true;
    platform::PostMessage(WindowHandle(), WM_SOCKET_NOTIFY, FHandle, wsock::WSAMAKESELECTREPLY(int(wsock::FD_READ), 0));
}

bool TCustomSslWSocket::HasBufferedInput()
{
    return FSsl && FSslState == sslEstablished && SSL_has_pending(FSsl) != 0;
}

bool TCustomSslWSocket::HoldsReceivedBytes()
{
    return FSsl != nullptr || TCustomSocksWSocket::HoldsReceivedBytes();
}

std::int64_t TCustomSslWSocket::SendFromFile(int File, std::int64_t& Offset, std::int64_t Len, int& SysError)
{
    if (!FSsl)
        return TCustomSocksWSocket::SendFromFile(File, Offset, Len, SysError);
    SysError = EOPNOTSUPP;
    FLastError = wsock::WSAEOPNOTSUPP;
    return -1;
}

void TCustomSslWSocket::WndProc(platform::TMessage& Msg)
{
    if (Msg.Msg == WM_SOCKET_NOTIFY)
        FSslReadPosted = false;
    if (Msg.Msg == WM_SSL_HANDSHAKE_TIMEOUT) {
        // A server that accepted AUTH TLS (or the connection) but never answers the
        // handshake must not hold the session for ever.
        if (Msg.WParam == FSslHandshakeCount && FSslState == sslHandshaking)
            FailHandshake("TLS handshake timed out");
        return;
    }
    TCustomSocksWSocket::WndProc(Msg);
}

bool TCustomSslWSocket::DoDataAvailable(std::uint16_t Error)
{
    if (FSslState == sslHandshaking) {
        ContinueHandshake();
        return true;
    }
    if (FSslState == sslFailed) {
        // Nothing readable is trusted any more: drop it so the close can come through.
        char discard[4096];
        TCustomSocksWSocket::RawReceive(discard, sizeof discard, 0);
        return true;
    }
    return TCustomSocksWSocket::DoDataAvailable(Error);
}

std::int64_t TCustomSslWSocket::RawReceive(void* Buffer, std::int64_t Len, int Flags)
{
    if (FSslState == sslNone)
        return TCustomSocksWSocket::RawReceive(Buffer, Len, Flags);
    if (FSslState != sslEstablished) {
        if (FSslState == sslFailed || FSslEof)
            return 0;
        wsock::WSASetLastError(wsock::WSAEWOULDBLOCK);
        return -1;
    }
    if (Len <= 0)
        return 0;
    if (SSL_get_shutdown(FSsl) & SSL_RECEIVED_SHUTDOWN)
        return 0;
    ERR_clear_error();
    std::size_t got = 0;
    int len = static_cast<int>(std::min<std::int64_t>(Len, INT_MAX));
    if (Flags & wsock::MSG_PEEK) {
        if (SSL_peek_ex(FSsl, Buffer, std::size_t(len), &got) == 1)
            return static_cast<std::int64_t>(got);
        wsock::WSASetLastError(wsock::WSAEWOULDBLOCK);
        return -1;
    }
    // One record per SSL_read; a large read takes every record that is there, so that a
    // download writes its file in large pieces. What ends the loop (no more data, the
    // peer's close) is met again by the next read.
    std::size_t total = 0;
    int r = 1;
    while (total < std::size_t(len)) {
        r = SSL_read_ex(FSsl, static_cast<char*>(Buffer) + total, std::size_t(len) - total, &got);
        if (r != 1)
            break;
        total += got;
    }
    if (total > 0) {
        const int e = r == 1 ? SSL_ERROR_NONE : SSL_get_error(FSsl, r);
        ERR_clear_error();
        FSslPlainBytes += std::int64_t(total);
        if (e == SSL_ERROR_NONE || e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
            PostPendingRead();
        } else {
            // The stream ended behind the data (close_notify, or the transport's end):
            // nothing in the system is left to bring a notification, so one is queued
            // for the next read to report the end. A close_notify is answered at once:
            // servers (vsftpd) wait for ours before they close.
            if (e == SSL_ERROR_ZERO_RETURN && !(SSL_get_shutdown(FSsl) & SSL_SENT_SHUTDOWN)) {
                FSslClosing = true;
                SSL_shutdown(FSsl);
                ERR_clear_error();
            }
            if (!FSslReadPosted && FHandle != wsock::INVALID_SOCKET) {
                FSslReadPosted = true;
                platform::PostMessage(WindowHandle(), WM_SOCKET_NOTIFY, FHandle,
                                      wsock::WSAMAKESELECTREPLY(int(wsock::FD_READ), 0));
            }
        }
        return static_cast<std::int64_t>(total);
    }
    int e = SSL_get_error(FSsl, r);
    switch (e) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
        if (FSslEof) {
            FSslTruncated = true;
            return 0;
        }
        wsock::WSASetLastError(wsock::WSAEWOULDBLOCK);
        return -1;
    case SSL_ERROR_ZERO_RETURN:
        // close_notify: the end of the stream, as the peer meant it. Answered at once:
        // servers (vsftpd) wait for ours before they close the connection.
        if (!(SSL_get_shutdown(FSsl) & SSL_SENT_SHUTDOWN)) {
            FSslClosing = true;
            SSL_shutdown(FSsl);
            ERR_clear_error();
        } else if (FSslLocalClose) {
            CloseLater();   // the answer to our SslShutdown: both sides are done
        }
        return 0;
    default:
        if (FSslEof && (e == SSL_ERROR_SYSCALL || ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING)) {
            ERR_clear_error();
            FSslTruncated = true;
            FSslErrorText = "connection closed without TLS close_notify (data may be truncated)";
            return 0;
        }
        FSslErrorText = TakeSslError("TLS error");
        FSslState = sslFailed;
        FSslTruncated = true;
        return 0;
    }
}

std::int64_t TCustomSslWSocket::RcvdCount()
{
    if (FSslState != sslEstablished)
        return TCustomSocksWSocket::RcvdCount();
    int pending = SSL_pending(FSsl);
    if (pending > 0)
        return pending;
    std::int64_t raw = TCustomSocksWSocket::RcvdCount();
    if (raw <= 0 && SSL_has_pending(FSsl))
        return 1;   // undecrypted bytes wait in OpenSSL's buffer
    return raw;
}

std::int64_t TCustomSslWSocket::Send(const void* Data, std::int64_t Len)
{
    if (FSslState == sslNone)
        return TCustomSocksWSocket::Send(Data, Len);
    if (FState != wsConnected) {
        wsock::WSASetLastError(wsock::WSAENOTCONN);
        ReportSocketError("Send");
        return -1;
    }
    if (FSslState != sslEstablished) {
        // A session that failed (a fatal alert, garbage where records belong) cannot carry
        // anything any more: the connection goes, and its close tells the user.
        wsock::WSASetLastError(wsock::WSAECONNABORTED);
        if (FSslState == sslFailed)
            CloseLater();
        return -1;
    }
    FAllSent = false;
    auto alive = AliveToken();
    wsock::SOCKET handle = FHandle;
    const char* p = static_cast<const char*>(Data);
    std::int64_t left = Len;
    while (left > 0) {
        std::size_t written = 0;
        int chunk = static_cast<int>(std::min<std::int64_t>(left, INT_MAX));
        ERR_clear_error();
        int r = SSL_write_ex(FSsl, p, std::size_t(chunk), &written);
        if (!*alive || FHandle != handle)
            return Len;
        if (r != 1) {
            FSslErrorText = TakeSslError("TLS write failed");
            FSslState = sslFailed;
            wsock::WSASetLastError(wsock::WSAECONNABORTED);
            return -1;
        }
        p += written;
        left -= std::int64_t(written);
    }
    TryToSend();
    if (!*alive)
        return Len;
    if (SendQueueEmpty() && FHandle != wsock::INVALID_SOCKET) {
        FAllSent = true;
        platform::PostMessage(WindowHandle(), WM_SOCKET_NOTIFY, FHandle,
                              wsock::WSAMAKESELECTREPLY(int(wsock::FD_WRITE), 0));
    }
    return Len;
}

void TCustomSslWSocket::DoDataSent(std::uint16_t Error)
{
    if (FSslState == sslHandshaking)
        return;   // the bytes sent were the handshake's
    TCustomSocksWSocket::DoDataSent(Error);
}

void TCustomSslWSocket::SslShutdown()
{
    if (!FSsl || FSslState != sslEstablished || FHandle == wsock::INVALID_SOCKET) {
        Close();
        return;
    }
    FSslLocalClose = true;
    FSslClosing = true;
    ERR_clear_error();
    if (!(SSL_get_shutdown(FSsl) & SSL_SENT_SHUTDOWN))
        SSL_shutdown(FSsl);
    ERR_clear_error();
}

void TCustomSslWSocket::Abort()
{
    FSslLocalClose = true;
    TCustomSocksWSocket::Abort();
}

void TCustomSslWSocket::Close()
{
    // Our own close: whatever the peer did not send is not missing.
    FSslLocalClose = true;
    if (FSsl && FSslState == sslEstablished && FHandle != wsock::INVALID_SOCKET
        && !(SSL_get_shutdown(FSsl) & SSL_SENT_SHUTDOWN)) {
        // Records the peer sent and we did not read (a TLS 1.3 session ticket on an upload)
        // would make the system answer our close with a reset, and a reset throws away
        // whatever of ours is still on its way: they are read first.
        FSslClosing = true;
        char discard[16384];
        for (int i = 0; i < 64; ++i) {
            std::size_t got = 0;
            ERR_clear_error();
            if (SSL_read_ex(FSsl, discard, sizeof discard, &got) != 1)
                break;
        }
        // close_notify tells the peer the stream ends here and was not cut short.
        ERR_clear_error();
        if (!(SSL_get_shutdown(FSsl) & SSL_SENT_SHUTDOWN))
            SSL_shutdown(FSsl);
        ERR_clear_error();
        if (!SendQueueEmpty())
            TryToSend();
    }
    TCustomSocksWSocket::Close();
}

void TCustomSslWSocket::DoSessionClosed(std::uint16_t Error)
{
    auto alive = AliveToken();
    if (FSslState == sslHandshaking) {
        FailHandshake("connection closed during the TLS handshake");
        if (!*alive)
            return;
    }
    if (FSsl)
        FSslCleanClose = (SSL_get_shutdown(FSsl) & SSL_RECEIVED_SHUTDOWN) != 0;
    if (FSslCleanClose && (Error == wsock::WSAECONNRESET || Error == wsock::WSAECONNABORTED)) {
        // The peer ended the TLS stream with close_notify and closed: everything it sent
        // came before that. A reset now only means our own close_notify met its closed
        // socket, which is no failure of what was received.
        Error = 0;
    }
    if (Error == 0 && FSsl) {
        if (FSslState == sslFailed && !FSslErrorText.empty() && SSL_is_init_finished(FSsl)) {
            Error = sslProtocolError;
        } else if (FSslState == sslEstablished && FSslStrictClose && !FSslLocalClose && FSslPlainBytes > 0
                   && !(SSL_get_shutdown(FSsl) & SSL_RECEIVED_SHUTDOWN)) {
            // Nothing received is nothing cut short: pyftpdlib closes the data connection
            // of an empty listing without close_notify when it has not seen our Finished yet.
            if (FSslErrorText.empty())
                FSslErrorText = "connection closed without TLS close_notify (data may be truncated)";
            Error = sslTruncated;
        }
    }
    TCustomSocksWSocket::DoSessionClosed(Error);
}

bool TCustomSslWSocket::SslCloseNotifyReceived() const
{
    if (FSsl && (SSL_get_shutdown(FSsl) & SSL_RECEIVED_SHUTDOWN))
        return true;
    return FSslCleanClose;
}

std::string TCustomSslWSocket::SslVersion() const
{
    if (!FSsl || FSslState != sslEstablished)
        return {};
    return SSL_get_version(FSsl);
}

std::string TCustomSslWSocket::SslCipher() const
{
    if (!FSsl || FSslState != sslEstablished)
        return {};
    const char* name = SSL_get_cipher_name(FSsl);
    return name ? name : "";
}

bool TCustomSslWSocket::SslSessionReused() const
{
    return FSsl && SSL_session_reused(FSsl) == 1;
}

bool TCustomSslWSocket::SslPeerCertificate(TSslCertificateInfo& Info) const
{
    if (!FSsl)
        return false;
    X509* cert = SSL_get0_peer_certificate(FSsl);
    if (!cert)
        return false;
    Info.Subject = NameText(X509_get_subject_name(cert));
    Info.Issuer = NameText(X509_get_issuer_name(cert));
    Info.NotBefore = TimeText(X509_get0_notBefore(cert));
    Info.NotAfter = TimeText(X509_get0_notAfter(cert));
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int mdLen = 0;
    Info.Fingerprint.clear();
    if (X509_digest(cert, EVP_sha256(), md, &mdLen) == 1) {
        static const char hex[] = "0123456789ABCDEF";
        for (unsigned int i = 0; i < mdLen; ++i) {
            if (i)
                Info.Fingerprint += ':';
            Info.Fingerprint += hex[md[i] >> 4];
            Info.Fingerprint += hex[md[i] & 15];
        }
    }
    Info.VerifyResult = SSL_get_verify_result(FSsl);
    Info.VerifyError = Info.VerifyResult == X509_V_OK ? "" : X509_verify_cert_error_string(Info.VerifyResult);
    return true;
}
