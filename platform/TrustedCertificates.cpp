// The trusted-certificates file: plain lines, read whole, written atomically.
#include "platform/TrustedCertificates.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace platform {

namespace {

std::string Lower(std::string s)
{
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return s;
}

// Upper-case hex digits only: "ab:cd" and "ABCD" are the same fingerprint.
std::string CanonicalFingerprint(const std::string& s)
{
    std::string out;
    for (char c : s) {
        if (c >= 'a' && c <= 'f')
            out += char(c - 'a' + 'A');
        else if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))
            out += c;
    }
    return out;
}

struct Entry {
    std::string Host, Port, Fingerprint;
};

std::vector<Entry> ReadEntries(const std::string& Path)
{
    std::vector<Entry> entries;
    std::ifstream in(Path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        Entry e;
        if (line.empty() || line[0] == '#' || !(fields >> e.Host >> e.Port >> e.Fingerprint))
            continue;
        entries.push_back(e);
    }
    return entries;
}

} // namespace

TCertificateTrust LookupTrustedCertificate(const std::string& Path, const std::string& Host, const std::string& Port,
                                           const std::string& Fingerprint)
{
    for (const Entry& e : ReadEntries(Path)) {
        if (Lower(e.Host) != Lower(Host) || e.Port != Port)
            continue;
        return CanonicalFingerprint(e.Fingerprint) == CanonicalFingerprint(Fingerprint) ? TCertificateTrust::Trusted
                                                                                         : TCertificateTrust::Changed;
    }
    return TCertificateTrust::Unknown;
}

bool StoreTrustedCertificate(const std::string& Path, const std::string& Host, const std::string& Port,
                             const std::string& Fingerprint, std::string& Error)
{
    if (Host.empty() || Port.empty() || Fingerprint.empty() || Host.find_first_of(" \t\r\n") != std::string::npos
        || Port.find_first_of(" \t\r\n") != std::string::npos) {
        Error = "invalid host, port or fingerprint";
        return false;
    }
    std::ostringstream text;
    text << "# Server certificates trusted by the user: host port SHA-256 fingerprint\n";
    for (const Entry& e : ReadEntries(Path))
        if (!(Lower(e.Host) == Lower(Host) && e.Port == Port))
            text << e.Host << ' ' << e.Port << ' ' << e.Fingerprint << '\n';
    text << Host << ' ' << Port << ' ' << Fingerprint << '\n';
    const std::string data = text.str();

    // A crash or a full disk must leave either the old file or the new one, never half.
    std::string temp = Path + ".XXXXXX";
    std::vector<char> name(temp.begin(), temp.end());
    name.push_back('\0');
    int fd = ::mkstemp(name.data());
    if (fd < 0) {
        Error = "unable to write " + Path + ": " + std::strerror(errno);
        return false;
    }
    bool ok = ::fchmod(fd, 0600) == 0;
    std::size_t done = 0;
    while (ok && done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        if (ok)
            done += std::size_t(n);
    }
    ok = ok && ::fsync(fd) == 0;
    int saved = errno;
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(name.data(), Path.c_str()) != 0) {
        saved = ok ? errno : saved;
        ::unlink(name.data());
        Error = "unable to write " + Path + ": " + std::strerror(saved);
        return false;
    }
    return true;
}

} // namespace platform
