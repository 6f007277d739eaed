// Fuzzes the engine's FTP over TLS steps: the replies to AUTH TLS, PBSZ and PROT, the
// fallback rules, and garbage where a handshake should be. A loopback peer plays
// fuzz-chosen replies; after a "234" reply to AUTH TLS (or at once, for implicit TLS) it
// runs a real TLS handshake with a throwaway certificate and plays the rest encrypted.
// Every request must end with exactly one OnRequestDone, and under "require" no USER or
// PASS may ever travel in clear text.
//
// Input (FuzzedDataProvider): from the end, one switch byte (bits 0-1 the TLS mode, bit 2
// the certificate decision, bit 3 TLS 1.2 only) and up to six request selectors; from the
// front, the server's pieces.
#include "FuzzLoopback.h"

#include "ftp/FtpClient.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void Check(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "ftp_tls_fuzz: %s\n", what);
        std::abort();
    }
}

// A server context with a self-signed certificate made in memory once.
SSL_CTX* ServerContext(bool tls12Only)
{
    static SSL_CTX* contexts[2] = {nullptr, nullptr};
    SSL_CTX*& ctx = contexts[tls12Only ? 1 : 0];
    if (ctx)
        return ctx;
    static EVP_PKEY* key = EVP_EC_gen("P-256");
    static X509* cert = [] {
        X509* x = X509_new();
        ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
        X509_gmtime_adj(X509_getm_notBefore(x), -3600);
        X509_gmtime_adj(X509_getm_notAfter(x), 3600L * 24);
        X509_set_pubkey(x, key);
        X509_NAME* name = X509_get_subject_name(x);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("fuzz"), -1, -1, 0);
        X509_set_issuer_name(x, name);
        X509_sign(x, key, EVP_sha256());
        return x;
    }();
    ctx = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate(ctx, cert);
    SSL_CTX_use_PrivateKey(ctx, key);
    if (tls12Only)
        SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);
    Check(ctx && key && cert, "cannot make the server's certificate");
    return ctx;
}

// The peer: one connection, plain or TLS, non-blocking, on the fuzzer's thread.
class TlsPeer {
public:
    TlsPeer()
    {
        FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        Check(FListen >= 0 && ::bind(FListen, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0
                  && ::listen(FListen, 4) == 0 && ::getsockname(FListen, reinterpret_cast<sockaddr*>(&a), &len) == 0,
              "cannot listen");
        FPort = ntohs(a.sin_port);
    }
    std::uint16_t Port() const { return FPort; }

    void Reset()
    {
        if (FSsl)
            SSL_free(FSsl);
        FSsl = nullptr;
        if (FConn >= 0) {
            linger l{1, 0};
            ::setsockopt(FConn, SOL_SOCKET, SO_LINGER, &l, sizeof l);
            ::close(FConn);
        }
        FConn = -1;
        FClosed = false;
        FInput.clear();
        FPlainLogin = false;
    }

    // Plays the chunks; see the file comment. Returns false when Done never held.
    bool Play(const std::vector<std::string>& Chunks, bool Implicit, bool Tls12Only, const std::function<bool()>& Done)
    {
        for (int i = 0; FConn < 0; ++i) {
            if (Done())
                return true;
            if (i > 20000)
                return false;
            fuzzloop::PumpOnce();
            FConn = ::accept4(FListen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        }
        if (Implicit)
            Handshake(Tls12Only, Done);
        for (const std::string& chunk : Chunks) {
            if (Done() || FClosed)
                break;
            Write(chunk);
            const bool authAnswered = !FSsl && chunk.rfind("234", 0) == 0 && FInput.find("AUTH TLS") != std::string::npos;
            for (int idle = 0; idle < 4;) {
                fuzzloop::PumpOnce();
                if (Drain() > 0 || FClosed || Done())
                    break;
                ++idle;
            }
            if (authAnswered)
                Handshake(Tls12Only, Done);
        }
        if (FSsl)
            SSL_shutdown(FSsl);
        ::shutdown(FConn, SHUT_WR);
        for (int i = 0; i < 20000; ++i) {
            if (Done())
                return true;
            fuzzloop::PumpOnce();
            Drain();
            if (i > 50) {
                pollfd p{FConn, POLLIN, 0};
                ::poll(&p, 1, 1);
            }
        }
        return Done();
    }

    // True when USER or PASS came in clear text.
    bool PlainLogin() const { return FPlainLogin; }

private:
    void Handshake(bool Tls12Only, const std::function<bool()>& Done)
    {
        FInput.clear();
        FSsl = SSL_new(ServerContext(Tls12Only));
        SSL_set_fd(FSsl, FConn);
        SSL_set_accept_state(FSsl);
        for (int i = 0; i < 4000; ++i) {
            ERR_clear_error();
            int r = SSL_do_handshake(FSsl);
            if (r == 1)
                return;
            int e = SSL_get_error(FSsl, r);
            if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE)
                break;
            if (Done())
                break;
            fuzzloop::PumpOnce();
            pollfd p{FConn, POLLIN, 0};
            ::poll(&p, 1, i < 100 ? 0 : 1);
        }
        ERR_clear_error();
        // No handshake: the client has given up; the rest goes in clear text.
        SSL_free(FSsl);
        FSsl = nullptr;
    }

    void Write(const std::string& Bytes)
    {
        if (Bytes.empty())
            return;
        if (FSsl) {
            ERR_clear_error();
            SSL_write(FSsl, Bytes.data(), int(Bytes.size()));
            ERR_clear_error();
            return;
        }
        std::size_t done = 0;
        for (int i = 0; done < Bytes.size() && i < 1000; ++i) {
            ssize_t n = ::send(FConn, Bytes.data() + done, Bytes.size() - done, MSG_NOSIGNAL);
            if (n > 0)
                done += std::size_t(n);
            else if (n < 0 && errno != EAGAIN)
                return;
            else
                fuzzloop::PumpOnce();
        }
    }

    std::size_t Drain()
    {
        char buf[4096];
        std::size_t total = 0;
        for (;;) {
            ssize_t n;
            if (FSsl) {
                ERR_clear_error();
                n = SSL_read(FSsl, buf, sizeof buf);
                if (n <= 0) {
                    int e = SSL_get_error(FSsl, int(n));
                    if (e == SSL_ERROR_ZERO_RETURN || e == SSL_ERROR_SYSCALL || e == SSL_ERROR_SSL)
                        FClosed = true;
                    ERR_clear_error();
                    return total;
                }
            } else {
                n = ::recv(FConn, buf, sizeof buf, 0);
                if (n == 0 || (n < 0 && errno != EAGAIN)) {
                    FClosed = true;
                    return total;
                }
                if (n < 0)
                    return total;
                std::string text(buf, std::size_t(n));
                if (text.find("USER ") != std::string::npos || text.find("PASS ") != std::string::npos)
                    FPlainLogin = true;
            }
            FInput.append(buf, std::size_t(n));
            total += std::size_t(n);
        }
    }

    int FListen = -1;
    int FConn = -1;
    std::uint16_t FPort = 0;
    SSL* FSsl = nullptr;
    bool FClosed = false;
    bool FPlainLogin = false;
    std::string FInput;
};

bool StartRequest(TFtpClient& c, unsigned Which)
{
    try {
        switch (Which % 6) {
        case 0: c.Pwd(); break;
        case 1: c.User(); break;
        case 2: c.Pass(); break;
        case 3: c.SetDisplayFileFlag(true); c.SetLocalFileName(""); c.ListNames(); break;
        case 4: c.SetLocalFileName("NOOP"); c.Quote(); break;
        default: c.Quit(); break;
        }
        return true;
    } catch (const FtpException&) {
        return false;
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // The peer's TLS writes go through write(), which a client that has gone would answer
    // with SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    fuzzloop::EnsureApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static TlsPeer peer;
    FuzzedDataProvider input(data, size);
    const std::uint8_t switches = input.ConsumeIntegral<std::uint8_t>();
    std::vector<std::uint8_t> plan;
    for (int i = 0; i < 6 && input.remaining_bytes() > 0; ++i)
        plan.push_back(input.ConsumeIntegral<std::uint8_t>());
    const std::vector<std::string> chunks = fuzzloop::ReadChunks(input, 16, 400);
    static const TFtpTlsMode modes[] = {ftpTlsExplicitIfAvailable, ftpTlsRequireExplicit, ftpTlsRequireImplicit,
                                        ftpTlsRequireExplicit};
    const TFtpTlsMode mode = modes[switches & 3];

    int started = 0;
    int done = 0;
    std::size_t next = 0;
    {
        TFtpClient c;
        c.SetHostName("127.0.0.1");
        c.SetPort(std::to_string(peer.Port()));
        c.SetUserName("fuzz");
        c.SetPassWord("secret");
        c.SetPassiveMode(false);
        c.SetTlsMode(mode);
        c.ControlSocket()->SetSslHandshakeTimeout(2000);
        static const bool verbose = std::getenv("FUZZ_VERBOSE") != nullptr;
        c.OnDisplay = [](TCustomFtpCli*, std::string& m) {
            if (verbose)
                std::fprintf(stderr, "%s\n", m.c_str());
        };
        c.OnCertificateCheck = [&](TCustomFtpCli*, const TSslCertificateInfo& info, bool& accept) {
            Check(!info.Fingerprint.empty(), "a certificate without fingerprint");
            accept = (switches & 4) == 0;
        };
        c.OnRequestDone = [&](TCustomFtpCli* s, TFtpRequest, std::uint16_t) {
            ++done;
            Check(done <= started, "more completions than requests");
            auto* client = static_cast<TFtpClient*>(s);
            while (next < plan.size() && client->Connected()) {
                ++started;
                if (StartRequest(*client, plan[next++]))
                    return;
                --started;
            }
        };
        ++started;
        c.Connect();
        auto finished = [&] { return done == started && (next >= plan.size() || !c.Connected()); };
        const bool ended = peer.Play(chunks, mode == ftpTlsRequireImplicit, (switches & 8) != 0, finished);
        Check(ended, "a request never ended after the server closed the connection");
        if (mode != ftpTlsExplicitIfAvailable)
            Check(!peer.PlainLogin(), "USER or PASS in clear text under a required TLS mode");
        c.OnRequestDone = nullptr;
        c.Abort();
        fuzzloop::PumpOnce();
    }
    peer.Reset();
    fuzzloop::PumpOnce();
    return 0;
}
