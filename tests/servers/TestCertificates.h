// Throwaway certificates for the TLS tests, made with the openssl command line in a
// temporary folder that lives as long as the process.
#pragma once

#include <string>

namespace testsrv {

// Paths of the certificates (PEM). Every *Both file holds the key and the certificate.
struct TestCertificates {
    std::string Dir;
    std::string CaCert;           // the test CA
    std::string OtherCaCert;      // a CA that signed nothing the servers use
    std::string ServerBoth;       // signed by the CA for localhost and 127.0.0.1
    std::string ServerCert;
    std::string ServerKey;
    std::string WrongHostBoth;    // signed by the CA for wrong.example only
    std::string ExpiredBoth;      // signed by the CA, valid only in January 2020
    std::string SelfSignedBoth;   // localhost, signed by itself
};

// The process-wide set, made on first use; null when the openssl command fails.
const TestCertificates* Certificates();
// vsftpd configuration lines for an FTPS server that refuses plain FTP (logins and data,
// anonymous too) and requires data connections to resume the control session; implicit
// makes it speak TLS from the first byte.
std::string VsftpdTlsConfig(const std::string& CertBoth, bool Implicit = false);
// The SHA-256 fingerprint of a PEM certificate as the openssl command prints it
// ("AB:CD:..."), or "" when it fails.
std::string OpensslFingerprint(const std::string& PemFile);

} // namespace testsrv
