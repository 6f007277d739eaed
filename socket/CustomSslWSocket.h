// TCustomSslWSocket: the TLS layer of the socket chain (OpenSSL 3), between the SOCKS tunnel
// and line mode, with TSslContext, the settings and session cache one engine shares.
#pragma once

#include "socket/CustomSocksWSocket.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

struct ssl_st;
struct ssl_ctx_st;
struct ssl_session_st;
struct bio_st;

// Error numbers of the TLS layer (OnSslHandshakeDone, OnSessionClosed).
constexpr std::uint16_t sslHandshakeFailed = 20101;   // the handshake failed or the peer closed during it
constexpr std::uint16_t sslTruncated = 20102;         // the peer closed without close_notify
constexpr std::uint16_t sslProtocolError = 20103;     // a fatal TLS error after the handshake

// The phase of the TLS layer.
enum TSslState : std::uint8_t {
    sslNone = 0,          // no TLS: bytes pass through unchanged
    sslHandshaking = 1,   // the handshake runs inside the read notifications
    sslEstablished = 2,   // application data is encrypted
    sslFailed = 3,        // the handshake or the session failed; only closing remains
};

// What the server's certificate says and how its verification went.
struct TSslCertificateInfo {
    std::string Subject;       // one-line distinguished name
    std::string Issuer;        // one-line distinguished name of the issuer
    std::string NotBefore;     // validity start, "YYYY-MM-DD HH:MM:SS UTC"
    std::string NotAfter;      // validity end, same form
    std::string Fingerprint;   // SHA-256 of the DER form, upper-case hex pairs joined by ':'
    long VerifyResult = -1;    // OpenSSL's verification result (0 = verified)
    std::string VerifyError;   // the reason verification failed; empty when it succeeded
};

// The TLS settings that every connection of one engine shares: one SSL_CTX (client side,
// TLS 1.2 and later, the system's trust store plus optional extra certificates) and the
// newest session the server handed out, which data connections resume.
class TSslContext {
public:
    // A context trusting the system store; throws std::runtime_error when OpenSSL fails.
    TSslContext();
    ~TSslContext();
    TSslContext(const TSslContext&) = delete;
    TSslContext& operator=(const TSslContext&) = delete;

    // Trusts the PEM certificates in Path as well; false with Error set when unreadable.
    bool LoadCaFile(const std::string& Path, std::string& Error);
    // The OpenSSL context.
    ssl_ctx_st* Handle() const { return FCtx; }
    // The newest session to resume (may be null); the context keeps its reference.
    ssl_session_st* Session() const { return FSession; }
    // Forgets the stored session (a new server session starts).
    void ForgetSession();
    // Takes over one reference of Session as the newest (called by the new-session hook).
    void StoreSession(ssl_session_st* Session);

private:
    ssl_ctx_st* FCtx = nullptr;
    ssl_session_st* FSession = nullptr;
};

// Raised when a handshake has finished: Error 0, or sslHandshakeFailed (SslErrorText tells why).
using TSslHandshakeDone = std::function<void(TCustomWSocket* Sender, std::uint16_t Error)>;

// The TLS layer. Off (sslNone) it passes everything through. StartSslHandshake on a
// connected socket runs a client handshake driven by the read notifications (never
// blocking); afterwards Send encrypts, Receive decrypts, RcvdCount counts plaintext, and
// Close sends close_notify before the TCP close. A peer that closes an established
// session without close_notify closes with sslTruncated when SslStrictClose is set.
class TCustomSslWSocket : public TCustomSocksWSocket {
public:
    TCustomSslWSocket();
    ~TCustomSslWSocket() override;

    // ---- properties ----

    // The shared context; required before StartSslHandshake.
    const std::shared_ptr<TSslContext>& SslContext() const { return FSslContext; }
    void SetSslContext(std::shared_ptr<TSslContext> Value) { FSslContext = std::move(Value); }
    // The name (or address) the certificate must match; also sent as SNI when a name.
    const std::string& SslServerName() const { return FSslServerName; }
    void SetSslServerName(const std::string& Value) { FSslServerName = Value; }
    // Offer the context's stored session for resumption (data connections).
    bool SslResume() const { return FSslResume; }
    void SetSslResume(bool Value) { FSslResume = Value; }
    // A close without close_notify after the handshake is reported as sslTruncated.
    bool SslStrictClose() const { return FSslStrictClose; }
    void SetSslStrictClose(bool Value) { FSslStrictClose = Value; }
    // The layer's phase.
    TSslState SslState() const { return FSslState; }
    // True while the handshake runs (or the SOCKS negotiation below it).
    bool Negotiating() const { return FSocksState != socksIdle || FSslState == sslHandshaking; }
    // The negotiated protocol ("TLSv1.3") and cipher ("TLS_AES_256_GCM_SHA384"); empty without TLS.
    std::string SslVersion() const;
    std::string SslCipher() const;
    // Milliseconds a handshake may take before it fails (0: no limit); default 30 s.
    std::uint32_t SslHandshakeTimeout() const { return FSslHandshakeTimeout; }
    void SetSslHandshakeTimeout(std::uint32_t Value) { FSslHandshakeTimeout = Value; }
    // True when the session was resumed from the context's stored session.
    bool SslSessionReused() const;
    // The server's certificate and its verification; false without one.
    bool SslPeerCertificate(TSslCertificateInfo& Info) const;
    // Why the handshake or the session failed.
    const std::string& SslErrorText() const { return FSslErrorText; }
    // True once the peer's close_notify arrived (after the close: whether it had).
    bool SslCloseNotifyReceived() const;

    std::int64_t RcvdCount() override;

    // ---- events ----

    TSslHandshakeDone OnSslHandshakeDone;

    // ---- operations ----

    // Starts a client handshake on the connected socket; its end comes as OnSslHandshakeDone.
    virtual void StartSslHandshake();
    // Sends plaintext encrypted once established; passes through without TLS.
    std::int64_t Send(const void* Data, std::int64_t Len) override;
    // Sends close_notify (once) and closes.
    void Close() override;
    // Closes at once (no close_notify).
    void Abort() override;
    // Ends the sending side in order: close_notify, then the socket stays open (reading and
    // dropping) until the peer answers with its close_notify or closes. A peer that still
    // writes (a late TLS 1.3 ticket) would otherwise get a reset that destroys the data it
    // has not read yet; no TCP half-close either, since SOCKS proxies end both directions
    // at the first end of stream. Without TLS this is Close.
    void SslShutdown();

protected:
    void AssignDefaults() override;
    void WndProc(platform::TMessage& Msg) override;
    bool DoDataAvailable(std::uint16_t Error) override;
    void DoSessionClosed(std::uint16_t Error) override;
    void DoDataSent(std::uint16_t Error) override;
    std::int64_t RawReceive(void* Buffer, std::int64_t Len, int Flags) override;
    bool HasBufferedInput() override;
    // Under TLS every received byte goes through SSL_read, never straight into a pipe.
    bool HoldsReceivedBytes() override;

public:
    // Under TLS a file's bytes cannot go to the wire unencrypted: refused (EOPNOTSUPP), so
    // the caller falls back to sending through Send.
    std::int64_t SendFromFile(int File, std::int64_t& Offset, std::int64_t Len, int& SysError) override;

protected:
    // Raises OnSslHandshakeDone.
    virtual void DoSslHandshakeDone(std::uint16_t Error);

private:
    static int BioRead(bio_st* Bio, char* Data, int Len);
    static int BioWrite(bio_st* Bio, const char* Data, int Len);
    static long BioCtrl(bio_st* Bio, int Cmd, long Num, void* Ptr);
    // One step of the handshake; raises OnSslHandshakeDone when it ends either way.
    void ContinueHandshake();
    void FailHandshake(const std::string& Why);
    // Queues a read notification when decrypted or undecrypted bytes wait inside OpenSSL,
    // which the system's readiness cannot know about.
    void PostPendingRead();
    // Takes the text of OpenSSL's error queue (or Fallback when empty).
    std::string TakeSslError(const std::string& Fallback);
    void FreeSsl();
    bool SendQueueEmpty() const;

    std::shared_ptr<TSslContext> FSslContext;
    std::string FSslServerName;
    std::string FSslErrorText;
    ssl_st* FSsl = nullptr;
    TSslState FSslState = sslNone;
    bool FSslResume = false;
    bool FSslStrictClose = false;
    bool FSslEof = false;          // the transport reported end of stream
    bool FSslTruncated = false;    // ... before close_notify
    bool FSslClosing = false;      // Close is sending close_notify: errors are ignored
    bool FSslReadPosted = false;   // a read notification is queued for OpenSSL's buffers
    bool FSslCleanClose = false;   // the last session ended with the peer's close_notify
    bool FSslLocalClose = false;   // the close was ours, not the peer's
    std::int64_t FSslPlainBytes = 0;   // application bytes received in this session
    std::uint32_t FSslHandshakeTimeout = 30000;
    std::uintptr_t FSslHandshakeCount = 0;   // names the handshake a time-out message is for
};
