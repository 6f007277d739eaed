// oftp over TLS end to end: the TLS options, verification failures as one line and exit
// 1, --insecure with its warning, and transfers through SOCKS proxies that see only
// ciphertext, against vsftpd (TLS required, session reuse required) and pyftpdlib.
#include "cli/OftpRun.h"
#include "servers/FtpServers.h"
#include "servers/PeerPolicy.h"
#include "servers/SocksServers.h"
#include "servers/TestCertificates.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

extern char** environ;

namespace {

using oftptest::RunOftp;
using oftptest::RunResult;

// One TLS server per kind and certificate, started on first use.
testsrv::FtpServer* Server(const std::string& kind, const std::string& cert)
{
    static std::map<std::string, std::unique_ptr<testsrv::FtpServer>> servers;
    auto& slot = servers[kind + cert];
    if (!slot)
        slot = kind == "pyftpdlib" ? testsrv::StartPyftpdlib(false, 0, {"--tls-cert", cert})
                                   : testsrv::StartVsftpd(testsrv::VsftpdTlsConfig(cert, kind == "vsftpd-implicit"));
    return slot.get();
}

std::vector<std::string> Login(testsrv::FtpServer* s, std::vector<std::string> extra, const std::string& host)
{
    std::vector<std::string> a{"--port", std::to_string(s->Port()), "--user", s->User(), "--password", s->Password()};
    a.insert(a.end(), extra.begin(), extra.end());
    a.push_back(host);
    return a;
}

std::string Random(std::size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s)
        c = char(rng());
    return s;
}

const std::string kInsecureWarning = "oftp: warning: --insecure: the server's certificate is not verified\n";

struct OptionCase {
    const char* Name;
    const char* Kind;
    std::string testsrv::TestCertificates::*Cert;
    std::vector<std::string> Options;   // "CA" stands for --ca-file with the test CA
    const char* Host;
    int Status;
    const char* Err;                    // stderr, exactly
};

} // namespace

TEST(OftpTls, OptionsAndVerificationFailures)
{
    const auto* certs = testsrv::Certificates();
    if (!certs)
        OMBREX_PEER_MISSING("the openssl command");
    using C = testsrv::TestCertificates;
    const OptionCase cases[] = {
        {"--tls with the CA", "vsftpd", &C::ServerBoth, {"--tls", "CA"}, "localhost", 0, ""},
        {"--tls-if-available with the CA", "vsftpd", &C::ServerBoth, {"--tls-if-available", "CA"}, "127.0.0.1", 0, ""},
        {"--tls-implicit", "vsftpd-implicit", &C::ServerBoth, {"--tls-implicit", "CA"}, "localhost", 0, ""},
        {"--tls against pyftpdlib, --active", "pyftpdlib", &C::ServerBoth, {"--tls", "CA", "--active"}, "localhost", 0, ""},
        {"unknown CA", "vsftpd", &C::ServerBoth, {"--tls"}, "localhost", 1,
         "Certificate verification failed: unable to get local issuer certificate\n"},
        {"wrong host", "vsftpd", &C::WrongHostBoth, {"--tls", "CA"}, "localhost", 1,
         "Certificate verification failed: hostname mismatch\n"},
        {"expired", "vsftpd", &C::ExpiredBoth, {"--tls-if-available", "CA"}, "localhost", 1,
         "Certificate verification failed: certificate has expired\n"},
        {"--insecure takes any certificate, with a warning", "vsftpd", &C::ExpiredBoth, {"--tls", "--insecure"},
         "localhost", 0, kInsecureWarning.c_str()},
        {"an unreadable --ca-file", "vsftpd", &C::ServerBoth, {"--tls", "--ca-file", "/nonexistent/ca.pem"},
         "localhost", 1, nullptr},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.Name);
        testsrv::FtpServer* server = Server(k.Kind, certs->*k.Cert);
        if (!server)
            OMBREX_PEER_MISSING(k.Kind);
        std::vector<std::string> options;
        for (const auto& o : k.Options) {
            if (o == "CA") {
                options.push_back("--ca-file");
                options.push_back(certs->CaCert);
            } else {
                options.push_back(o);
            }
        }
        auto args = Login(server, options, k.Host);
        args.push_back("nlst");
        RunResult r = RunOftp(args);
        EXPECT_EQ(r.Status, k.Status) << r.Err;
        if (k.Err) {
            EXPECT_EQ(r.Err, k.Err);
        } else {
            EXPECT_EQ(r.Err.rfind("unable to load certificates from /nonexistent/ca.pem", 0), 0u) << r.Err;
            EXPECT_EQ(std::count(r.Err.begin(), r.Err.end(), '\n'), 1);
        }
        if (k.Status == 0) {
            EXPECT_NE(r.Out.find(std::string(k.Kind) == "pyftpdlib" ? "" : "upload"), std::string::npos) << r.Out;
        }
    }
}

TEST(OftpTls, TransfersThroughSocksCarryOnlyCiphertext)
{
    const auto* certs = testsrv::Certificates();
    if (!certs)
        OMBREX_PEER_MISSING("the openssl command");
    testsrv::FtpServer* server = Server("vsftpd", certs->ServerBoth);
    if (!server)
        OMBREX_PEER_MISSING("vsftpd");
    const std::string content = Random(700000, 41);
    const std::string local = testsrv::MakeTempDir("ombrex-oftp-tls");
    testsrv::WriteFile(local + "/up.bin", content);
    struct Case {
        const char* Name;
        std::unique_ptr<testsrv::ProxyServer> Proxy;
        std::string Option;
    };
    std::vector<Case> cases;
    cases.push_back({"microsocks 5", testsrv::StartMicrosocks(), "--socks5"});
    cases.push_back({"dante 4", testsrv::StartDante(), "--socks4"});
    cases.push_back({"relay 4A", testsrv::StartSocks4aRelay(), "--socks4a"});
    cases.push_back({"no proxy", nullptr, ""});
    for (auto& t : cases) {
        SCOPED_TRACE(t.Name);
        std::vector<std::string> options{"--tls", "--ca-file", certs->CaCert};
        if (!t.Option.empty()) {
            if (!t.Proxy)
                OMBREX_PEER_MISSING(t.Name);
            options.insert(options.end(), {t.Option, "127.0.0.1:" + std::to_string(t.Proxy->Port())});
        }
        const std::string remote = std::string("upload/") + (t.Option.empty() ? "direct" : t.Option.substr(2)) + ".bin";
        auto put = Login(server, options, "localhost");
        put.insert(put.end(), {"put", local + "/up.bin", remote});
        RunResult r = RunOftp(put);
        ASSERT_EQ(r.Status, 0) << r.Err;
        EXPECT_TRUE(testsrv::ReadFile(server->LocalPath("/" + remote)) == content);

        // A download cut in half, then resumed.
        const std::string back = local + "/back.bin";
        testsrv::WriteFile(back, content.substr(0, content.size() / 2));
        auto get = Login(server, options, "localhost");
        get.insert(get.end(), {"--resume", "get", remote, back});
        r = RunOftp(get);
        ASSERT_EQ(r.Status, 0) << r.Err;
        EXPECT_TRUE(testsrv::ReadFile(back) == content);
        if (t.Option == "--socks4a") {
            // 4A: the proxy resolved the name, for the control connection and the data ones.
            EXPECT_NE(t.Proxy->Log().find("CONNECT localhost " + std::to_string(server->Port())), std::string::npos)
                << t.Proxy->Log();
        }
    }
    testsrv::RemoveTree(local);
}
