// The test servers themselves: they start, serve their folder, and stop cleanly.
#include "servers/FtpServers.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

namespace {

// Runs curl (a yardstick client, not our code) against the server; returns its output.
std::string Curl(const std::string& args)
{
    std::string cmd = "curl -s -S --max-time 10 " + args + " 2>&1";
    std::string out;
    if (FILE* p = popen(cmd.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0)
            out.append(buf, n);
        pclose(p);
    }
    return out;
}

void CheckServes(testsrv::FtpServer& s)
{
    ASSERT_TRUE(s.Running());
    ASSERT_TRUE(testsrv::WriteFile(s.LocalPath("/hello.txt"), "hello\n"));
    std::string url = "ftp://127.0.0.1:" + std::to_string(s.Port());
    std::string auth = "-u " + s.User() + ":" + s.Password() + " ";
    EXPECT_EQ(Curl(auth + url + "/hello.txt"), "hello\n");
    EXPECT_NE(Curl(auth + url + "/").find("hello.txt"), std::string::npos);
    s.Stop();
    EXPECT_FALSE(s.Running());
    EXPECT_FALSE(testsrv::PortAccepts(s.Port()));
}

} // namespace

TEST(TestServers, VsftpdStartsServesAndStops)
{
    auto s = testsrv::StartVsftpd();
    ASSERT_NE(s, nullptr) << "vsftpd could not be started";
    CheckServes(*s);
}

TEST(TestServers, PyftpdlibStartsServesAndStops)
{
    auto s = testsrv::StartPyftpdlib();
    ASSERT_NE(s, nullptr) << "pyftpdlib could not be started";
    CheckServes(*s);
}

TEST(TestServers, FolderIsRemovedWithServer)
{
    std::string root;
    {
        auto s = testsrv::StartPyftpdlib();
        ASSERT_NE(s, nullptr);
        root = s->Root();
    }
    bool ok = true;
    testsrv::ReadFile(root, &ok);
    EXPECT_FALSE(ok);
}
