// The test certificates: one run of make_test_certificates.sh per process.
#include "servers/TestCertificates.h"

#include "servers/FtpServers.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace testsrv {

const TestCertificates* Certificates()
{
    static std::unique_ptr<TestCertificates> set = []() -> std::unique_ptr<TestCertificates> {
        auto c = std::make_unique<TestCertificates>();
        c->Dir = MakeTempDir("ombrex-certs");
        std::string cmd = "bash '" + std::string(OMBREX_SOURCE_DIR) + "/tests/servers/make_test_certificates.sh' '"
                          + c->Dir + "'";
        if (std::system(cmd.c_str()) != 0)
            return nullptr;
        c->CaCert = c->Dir + "/ca.pem";
        c->OtherCaCert = c->Dir + "/other-ca.pem";
        c->ServerBoth = c->Dir + "/server-both.pem";
        c->ServerCert = c->Dir + "/server.pem";
        c->ServerKey = c->Dir + "/server.key";
        c->WrongHostBoth = c->Dir + "/wronghost-both.pem";
        c->ExpiredBoth = c->Dir + "/expired-both.pem";
        c->SelfSignedBoth = c->Dir + "/selfsigned-both.pem";
        std::atexit([] {
            if (set)
                RemoveTree(set->Dir);
        });
        return c;
    }();
    return set.get();
}

std::string VsftpdTlsConfig(const std::string& CertBoth, bool Implicit)
{
    std::string c = "ssl_enable=YES\nrsa_cert_file=" + CertBoth + "\nrsa_private_key_file=" + CertBoth + "\n"
                    "allow_anon_ssl=YES\nforce_local_logins_ssl=YES\nforce_local_data_ssl=YES\n"
                    "force_anon_logins_ssl=YES\nforce_anon_data_ssl=YES\nrequire_ssl_reuse=YES\n"
                    "ssl_ciphers=HIGH\nssl_tlsv1=YES\nssl_sslv2=NO\nssl_sslv3=NO\n";
    if (Implicit)
        c += "implicit_ssl=YES\n";
    return c;
}

std::string OpensslFingerprint(const std::string& PemFile)
{
    std::string cmd = "openssl x509 -noout -fingerprint -sha256 -in '" + PemFile + "' 2>/dev/null";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p)
        return {};
    char buf[512];
    std::string out;
    while (fgets(buf, sizeof buf, p))
        out += buf;
    pclose(p);
    std::size_t eq = out.find('=');
    if (eq == std::string::npos)
        return {};
    out = out.substr(eq + 1);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    return out;
}

} // namespace testsrv
