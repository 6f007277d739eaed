// The TLS test peer: one thread, blocking OpenSSL calls, one script per connection.
#include "socket/TlsPeer.h"

#include "socket/TestPeers.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace sockettest {
using namespace peer;

TlsPeer::TlsPeer(Script S) : FScript(std::move(S))
{
    // The peer writes to clients that may have gone (a close_notify answered late).
    std::signal(SIGPIPE, SIG_IGN);
    FListen = ListenLoopback(FPort);
    FThread = std::thread([this] { Run(); });
}

TlsPeer::~TlsPeer()
{
    ::shutdown(FListen, SHUT_RDWR);
    if (FThread.joinable())
        FThread.join();
    ::close(FListen);
}

void TlsPeer::Run()
{
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate_chain_file(ctx, FScript.CertBoth.c_str());
    SSL_CTX_use_PrivateKey_file(ctx, FScript.CertBoth.c_str(), SSL_FILETYPE_PEM);
    if (FScript.MaxVersion)
        SSL_CTX_set_max_proto_version(ctx, FScript.MaxVersion);
    static const unsigned char sid[] = "ombrex-test";
    SSL_CTX_set_session_id_context(ctx, sid, sizeof sid - 1);
    for (int k = 0; k < FScript.Connections; ++k) {
        int fd = AcceptOne(FListen, 20000);
        if (fd < 0)
            break;
        ++Accepted;
        if (FScript.What == Garbage || FScript.What == CloseMidHandshake) {
            char buf[512];
            (void)::recv(fd, buf, sizeof buf, 0);
            if (FScript.What == Garbage)
                SendAll(fd, std::string("500 this is no TLS server\r\n"));
            ::close(fd);
            continue;
        }
        SSL* ssl = SSL_new(ctx);
        SSL_set_fd(ssl, fd);
        if (SSL_accept(ssl) != 1) {
            SSL_free(ssl);
            ::close(fd);
            continue;
        }
        if (SSL_session_reused(ssl))
            ++Resumed;
        std::vector<char> buf(65536);
        switch (FScript.What) {
        case Echo:
            for (;;) {
                int n = SSL_read(ssl, buf.data(), int(buf.size()));
                if (n <= 0) {
                    if (SSL_get_error(ssl, n) == SSL_ERROR_ZERO_RETURN) {
                        ++ClientCloseNotify;
                        SSL_shutdown(ssl);
                    }
                    break;
                }
                SSL_write(ssl, buf.data(), n);
            }
            break;
        case Send: {
            std::uint64_t off = 0;
            while (off < FScript.Bytes) {
                std::size_t n = std::size_t(std::min<std::uint64_t>(buf.size(), FScript.Bytes - off));
                for (std::size_t i = 0; i < n; ++i)
                    buf[i] = Pattern(off + i);
                if (SSL_write(ssl, buf.data(), int(n)) <= 0)
                    break;
                off += n;
            }
            if (FScript.CloseNotify)
                SSL_shutdown(ssl);
            break;
        }
        case Receive: {
            std::uint64_t off = 0;
            for (;;) {
                int n = SSL_read(ssl, buf.data(), int(buf.size()));
                if (n <= 0) {
                    if (SSL_get_error(ssl, n) == SSL_ERROR_ZERO_RETURN) {
                        ++ClientCloseNotify;
                        SSL_shutdown(ssl);
                    }
                    break;
                }
                for (int i = 0; i < n; ++i)
                    if (buf[std::size_t(i)] != Pattern(off + std::uint64_t(i)))
                        PatternOk = false;
                off += std::uint64_t(n);
            }
            ReceivedBytes = off;
            break;
        }
        default:
            break;
        }
        SSL_free(ssl);
        ::close(fd);
    }
    SSL_CTX_free(ctx);
    ERR_clear_error();
}

} // namespace sockettest
