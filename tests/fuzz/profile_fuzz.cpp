// Fuzzes the settings-file layer: arbitrary file contents, then reads (sections, strings,
// integers), a write, an erase, and the promises around them: a written value reads back
// as written, a write leaves the values of other keys alone, an erased section is gone.
//
// Input (FuzzedDataProvider): section, key and value names, and query names, each a
// ConsumeRandomLengthString from the front; the rest of the input is the file.
#include "platform/PrivateProfile.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

void Check(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "profile_fuzz: %s\n", what);
        std::abort();
    }
}

std::string Folder()
{
    static std::string folder;
    if (folder.empty()) {
        char name[] = "/dev/shm/ombrex-profile-fuzz-XXXXXX";
        Check(::mkdtemp(name) != nullptr, "cannot create the work folder");
        folder = name;
    }
    return folder;
}

void WriteFile(const std::string& path, const std::string& data)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    Check(fd >= 0, "cannot write the input file");
    Check(::write(fd, data.data(), data.size()) == ssize_t(data.size()), "short write of the input file");
    ::close(fd);
}

std::string Trimmed(const std::string& s)
{
    std::size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos)
        return {};
    return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

bool IsAscii(const std::string& s)
{
    return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

std::string Lower(std::string s)
{
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return s;
}

// True when the two key names are surely different names for the profile (ASCII names
// compared without case after trimming; other names are not judged).
bool SurelyOtherKey(const std::string& a, const std::string& b)
{
    return IsAscii(a) && IsAscii(b) && Lower(Trimmed(a)) != Lower(Trimmed(b));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    const std::string section = input.ConsumeRandomLengthString(40);
    const std::string key = input.ConsumeRandomLengthString(40);
    const std::string value = input.ConsumeRandomLengthString(1200);
    std::vector<std::pair<std::string, std::string>> queries;
    for (int i = 0; i < 3; ++i) {
        std::string s = input.ConsumeRandomLengthString(40);
        std::string k = input.ConsumeRandomLengthString(40);
        queries.emplace_back(std::move(s), std::move(k));
    }
    const std::string file = input.ConsumeRemainingBytesAsString();

    const std::string path = Folder() + "/OFTP.ini";
    WriteFile(path, file);
    platform::TPrivateProfile profile(path);

    // Reading never fails and stays within the documented bounds.
    const std::vector<std::string> sections = profile.ReadSections();
    for (const std::string& name : sections) {
        Check(profile.SectionExists(name), "a listed section is not found");
        Check(name.find('\n') == std::string::npos, "a section name holds a line break");
    }
    std::vector<std::string> before;
    for (const auto& [s, k] : queries) {
        std::string v = profile.ReadString(s, k, "\x01" "default");
        Check(v.size() < platform::ProfileStringBufferSize, "a value longer than the buffer");
        before.push_back(v);
        std::int32_t n = 0;
        if (platform::ParseProfileInteger(v, n))
            Check(profile.ReadInteger(s, k, 12345) == n, "ReadInteger disagrees with the parser");
    }

    bool written = false;
    try {
        profile.WriteString(section, key, value);
        written = true;
    } catch (const platform::EIniFileException&) {
        // Refused: names or values the format cannot hold. The file must be untouched.
        Check(profile.ReadSections() == sections, "a refused write changed the sections");
    }
    if (written) {
        const std::string back = profile.ReadString(section, key, "\x01" "default");
        if (value.size() < platform::ProfileStringBufferSize) {
            if (back != value) {
                std::fprintf(stderr, "wrote [%s] %s=%s, read %s\n", section.c_str(), key.c_str(), value.c_str(),
                             back.c_str());
                Check(false, "a written value does not read back");
            }
        } else {
            Check(value.compare(0, back.size(), back) == 0, "a long value is not read back as its start");
        }
        Check(profile.SectionExists(section), "the written section is missing");
        for (std::size_t i = 0; i < queries.size(); ++i) {
            if (!SurelyOtherKey(queries[i].second, key))
                continue;
            if (profile.ReadString(queries[i].first, queries[i].second, "\x01" "default") != before[i]) {
                std::fprintf(stderr, "query [%s] %s was %s\n", queries[i].first.c_str(), queries[i].second.c_str(),
                             before[i].c_str());
                Check(false, "a write changed the value of another key");
            }
        }
    }

    try {
        profile.EraseSection(section);
        Check(!profile.SectionExists(section), "an erased section is still there");
    } catch (const platform::EIniFileException&) {
        Check(section.find_first_of(std::string("\r\n\0", 3)) != std::string::npos,
              "an erase was refused for a plain name");
    }
    return 0;
}
