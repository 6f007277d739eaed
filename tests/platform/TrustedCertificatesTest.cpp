// The trusted-certificates file: lookups, replacing an entry, mode 0600, atomic rewrite.
#include "platform/TrustedCertificates.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using platform::TCertificateTrust;

namespace {

class TrustedCertificates : public testing::Test {
protected:
    void SetUp() override
    {
        char name[] = "/tmp/ombrex-trust-XXXXXX";
        ASSERT_NE(::mkdtemp(name), nullptr);
        Dir = name;
        Path = Dir + "/OFTPCERT.txt";
    }
    void TearDown() override { std::system(("rm -rf '" + Dir + "'").c_str()); }
    bool Store(const std::string& host, const std::string& port, const std::string& fp)
    {
        std::string error;
        bool ok = platform::StoreTrustedCertificate(Path, host, port, fp, error);
        LastError = error;
        return ok;
    }
    std::vector<std::string> Entries() const
    {
        std::vector<std::string> names;
        DIR* d = ::opendir(Dir.c_str());
        while (dirent* e = ::readdir(d))
            if (e->d_name[0] != '.')
                names.push_back(e->d_name);
        ::closedir(d);
        return names;
    }
    std::string Dir, Path, LastError;
};

const char* const kA = "AA:BB:CC:DD";
const char* const kB = "11:22:33:44";

} // namespace

TEST_F(TrustedCertificates, LookupTable)
{
    ASSERT_TRUE(Store("ftp.example.test", "21", kA));
    ASSERT_TRUE(Store("ftp.example.test", "990", kB));
    struct Row {
        const char* Name;
        const char* Host;
        const char* Port;
        const char* Fingerprint;
        TCertificateTrust Expected;
    };
    const Row rows[] = {
        {"same host, port, fingerprint", "ftp.example.test", "21", kA, TCertificateTrust::Trusted},
        {"host in other case, fingerprint without colons", "FTP.Example.Test", "21", "aabbccdd",
         TCertificateTrust::Trusted},
        {"another fingerprint: changed", "ftp.example.test", "21", kB, TCertificateTrust::Changed},
        {"another port has its own entry", "ftp.example.test", "990", kB, TCertificateTrust::Trusted},
        {"unknown port", "ftp.example.test", "2121", kA, TCertificateTrust::Unknown},
        {"unknown host", "other.example.test", "21", kA, TCertificateTrust::Unknown},
    };
    for (const auto& r : rows)
        EXPECT_EQ(platform::LookupTrustedCertificate(Path, r.Host, r.Port, r.Fingerprint), r.Expected) << r.Name;
    EXPECT_EQ(platform::LookupTrustedCertificate(Dir + "/missing", "ftp.example.test", "21", kA),
              TCertificateTrust::Unknown);
}

TEST_F(TrustedCertificates, StoringReplacesTheEntryAtomicallyWithMode0600)
{
    ASSERT_TRUE(Store("a.test", "21", kA));
    ASSERT_TRUE(Store("b.test", "21", kA));
    ASSERT_TRUE(Store("A.TEST", "21", kB));   // the changed certificate, trusted again
    EXPECT_EQ(platform::LookupTrustedCertificate(Path, "a.test", "21", kB), TCertificateTrust::Trusted);
    EXPECT_EQ(platform::LookupTrustedCertificate(Path, "b.test", "21", kA), TCertificateTrust::Trusted);
    std::ifstream in(Path);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "# Server certificates trusted by the user: host port SHA-256 fingerprint\n"
                          "b.test 21 AA:BB:CC:DD\nA.TEST 21 11:22:33:44\n");
    struct stat st {};
    ASSERT_EQ(::stat(Path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(Entries(), std::vector<std::string>{"OFTPCERT.txt"}) << "no temporary file left";
}

TEST_F(TrustedCertificates, RefusalsLeaveTheFileAlone)
{
    ASSERT_TRUE(Store("a.test", "21", kA));
    EXPECT_FALSE(Store("bad host", "21", kA));
    EXPECT_FALSE(Store("a.test", "", kA));
    EXPECT_FALSE(platform::StoreTrustedCertificate(Dir + "/no such folder/OFTPCERT.txt", "a.test", "21", kA, LastError));
    EXPECT_NE(LastError.find("no such folder"), std::string::npos) << LastError;
    EXPECT_EQ(platform::LookupTrustedCertificate(Path, "a.test", "21", kA), TCertificateTrust::Trusted);
}
