// The trusted-certificates file: server certificates the user chose to trust although
// they failed verification, one "host port SHA-256-fingerprint" line each (mode 0600).
#pragma once

#include <string>

namespace platform {

// What the file says about a server's certificate.
enum class TCertificateTrust {
    Unknown,   // no entry for host and port
    Trusted,   // the entry holds this fingerprint
    Changed,   // the entry holds another fingerprint: the server's certificate changed
};

// Looks host:port up in the file at Path (a missing file knows nothing). Host names are
// compared without regard to case, fingerprints without regard to case or colons.
TCertificateTrust LookupTrustedCertificate(const std::string& Path, const std::string& Host, const std::string& Port,
                                           const std::string& Fingerprint);
// Records (or replaces) the entry of host:port. The file is written anew beside the old
// one and renamed over it, with mode 0600; false with Error set when that fails.
bool StoreTrustedCertificate(const std::string& Path, const std::string& Host, const std::string& Port,
                             const std::string& Fingerprint, std::string& Error);

} // namespace platform
