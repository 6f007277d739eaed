// soak_inprocess: keeps ONE TFtpClient in one process for many connect / list / get / put /
// quit cycles against a local pyftpdlib (or vsftpd), alternating passive and active data
// connections and binary and ASCII types, and samples the process's open descriptors,
// threads and resident memory every 50 cycles. Fails when a cycle fails, a file arrives
// changed, or a resource keeps growing in the second half of the run.
//
//   soak_inprocess [--cycles N] [--server pyftpdlib|vsftpd] [--every N]
#include "ftp/FtpClient.h"
#include "servers/FtpServers.h"

#include <QCoreApplication>

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct TSample {
    int Cycle;
    int Fds;
    int Threads;
    long RssKb;
};

int CountFds()
{
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (dirent* e = ::readdir(d))
            if (e->d_name[0] != '.')
                ++n;
        ::closedir(d);
    }
    return n - 1;   // the descriptor of the listing itself
}

long StatusField(const char* name)
{
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::size_t len = std::strlen(name);
    while (std::getline(in, line))
        if (line.compare(0, len, name) == 0 && line.size() > len && line[len] == ':')
            return std::strtol(line.c_str() + len + 1, nullptr, 10);
    return -1;
}

TSample Sample(int cycle)
{
    return {cycle, CountFds(), int(StatusField("Threads")), StatusField("VmRSS")};
}

// Bytes with line ends and every byte value, so that ASCII and binary differ.
std::string Payload(std::size_t size)
{
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        s[i] = (i % 61 == 60) ? '\n' : char('A' + (i * 7) % 26);
    return s;
}

} // namespace

int main(int argc, char** argv)
{
    int cycles = 1000;
    int every = 50;
    std::string serverName = "pyftpdlib";
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--cycles" && i + 1 < argc)
            cycles = std::atoi(argv[++i]);
        else if (a == "--every" && i + 1 < argc)
            every = std::max(1, std::atoi(argv[++i]));
        else if (a == "--server" && i + 1 < argc)
            serverName = argv[++i];
        else {
            std::fprintf(stderr, "usage: soak_inprocess [--cycles N] [--server pyftpdlib|vsftpd] [--every N]\n");
            return 2;
        }
    }
    QCoreApplication app(argc, argv);

    auto server = serverName == "vsftpd" ? testsrv::StartVsftpd() : testsrv::StartPyftpdlib();
    if (!server) {
        std::fprintf(stderr, "soak_inprocess: %s cannot run here\n", serverName.c_str());
        return 2;
    }
    const std::string dir = server->WritableDir();
    const std::string remoteDir = dir == "/" ? "/" : dir + "/";
    const std::string payload = Payload(300 * 1024);
    if (!testsrv::WriteFile(server->LocalPath(remoteDir + "soak-get.txt"), payload)) {
        std::fprintf(stderr, "soak_inprocess: cannot write the server's file\n");
        return 2;
    }
    const std::string local = testsrv::MakeTempDir("ombrex-soak");
    const std::string upload = local + "/upload.txt";
    testsrv::WriteFile(upload, payload);

    TFtpClient c;
    c.SetTimeout(30);
    c.SetHostName("127.0.0.1");
    c.SetPort(std::to_string(server->Port()));
    c.SetUserName(server->User());
    c.SetPassWord(server->Password());

    std::vector<TSample> samples{Sample(0)};
    int failures = 0;
    std::printf("%8s %6s %8s %10s\n", "cycle", "fds", "threads", "rss_kb");
    std::printf("%8d %6d %8d %10ld\n", 0, samples[0].Fds, samples[0].Threads, samples[0].RssKb);
    std::fflush(stdout);
    for (int cycle = 1; cycle <= cycles; ++cycle) {
        const bool passive = cycle % 2 == 0;
        const bool binary = cycle % 4 < 2;
        c.SetPassiveMode(passive);
        const std::string listing = local + "/list.txt";
        const std::string got = local + "/got.txt";
        const std::string putName = remoteDir + "soak-put-" + std::to_string(cycle % 3) + ".txt";
        std::string failed;
        if (!c.RunAndWait([&] { c.Connect(); }))
            failed = "connect";
        else if (!c.RunAndWait([&] {
                     c.SetLocalFileName(listing);
                     c.SetHostFileName(dir);
                     c.ListDir();
                 }))
            failed = "list";
        else if (!c.RunAndWait([&] {
                     c.SetBinary(binary);
                     c.SendType();
                 }))
            failed = "type";
        else if (!c.RunAndWait([&] {
                     c.SetHostFileName(remoteDir + "soak-get.txt");
                     c.SetLocalFileName(got);
                     c.Get();
                 }))
            failed = "get";
        else if (testsrv::ReadFile(got) != payload)
            failed = "get content";
        else if (!c.RunAndWait([&] {
                     c.SetLocalFileName(upload);
                     c.SetHostFileName(putName);
                     c.Put();
                 }))
            failed = "put";
        else if (testsrv::ReadFile(server->LocalPath(putName)) != payload)
            failed = "put content";
        // Quit closes whatever the reply; a failed cycle still ends its session.
        if (c.Connected())
            c.RunAndWait([&] { c.Quit(); });
        if (c.Connected())
            c.Abort();
        if (!failed.empty()) {
            ++failures;
            std::fprintf(stderr, "cycle %d (%s, %s): %s failed: %s\n", cycle, passive ? "passive" : "active",
                         binary ? "binary" : "ascii", failed.c_str(), c.ErrorMessage().c_str());
            if (failures > 10)
                break;
        }
        if (cycle % every == 0) {
            // Let posted completions and closing threads settle before counting.
            for (int i = 0; i < 20; ++i) {
                QCoreApplication::processEvents();
                ::usleep(1000);
            }
            TSample s = Sample(cycle);
            samples.push_back(s);
            std::printf("%8d %6d %8d %10ld\n", s.Cycle, s.Fds, s.Threads, s.RssKb);
            std::fflush(stdout);
        }
    }

    auto maxOf = [&](auto field) {
        return (*std::max_element(samples.begin(), samples.end(),
                                  [&](const TSample& a, const TSample& b) { return a.*field < b.*field; })).*field;
    };
    const TSample& first = samples.front();
    const TSample& last = samples.back();
    // The middle sample: whatever warms up (allocator arenas, the lookup thread, caches)
    // has done so by then; after it nothing may keep growing.
    const TSample& middle = samples[samples.size() / 2];
    std::printf("fds     first %d last %d max %d\n", first.Fds, last.Fds, maxOf(&TSample::Fds));
    std::printf("threads first %d last %d max %d\n", first.Threads, last.Threads, maxOf(&TSample::Threads));
    std::printf("rss_kb  first %ld last %ld max %ld\n", first.RssKb, last.RssKb, maxOf(&TSample::RssKb));
    std::printf("failures %d of %d cycles\n", failures, cycles);
    bool grew = last.Fds > middle.Fds + 1 || last.Threads > middle.Threads + 1 || last.RssKb > middle.RssKb + 4096;
    if (grew)
        std::printf("soak_inprocess: a resource kept growing after cycle %d\n", middle.Cycle);
    testsrv::RemoveTree(local);
    return failures == 0 && !grew ? 0 : 1;
}
