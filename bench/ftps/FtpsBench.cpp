// Downloads one file over explicit FTPS (TLS on the control and the data connection) from
// a local vsftpd into RAM with oftp, curl --ssl-reqd and lftp, the tools taking turns; the
// server runs on one processor and the clients on another. Prints per tool the median MB/s
// and CPU seconds per GiB (user + system of the client, from wait4) and oftp's ratios.
//
//   ftps_bench [MiB [runs]]     (defaults 1024, 5)
#include "servers/FtpServers.h"
#include "servers/TestCertificates.h"

#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

extern char** environ;

namespace {

constexpr double kGiB = 1024.0 * 1024.0 * 1024.0;

struct Sample {
    double Wall = 0;
    double Cpu = 0;
    double ServerBusy = 0;   // how busy the server's processor (CPU 0) was during the run, per cent
    bool Ok = false;
};

Sample Run(const std::vector<std::string>& argv)
{
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    Sample s;
    auto start = std::chrono::steady_clock::now();
    pid_t pid;
    if (posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ) != 0) {
        posix_spawn_file_actions_destroy(&fa);
        return s;
    }
    posix_spawn_file_actions_destroy(&fa);
    int status = 0;
    rusage ru{};
    wait4(pid, &status, 0, &ru);
    s.Wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    s.Cpu = double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    s.Ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return s;
}

double Median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

long long FileSize(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

// Runs this process (and what it starts from now on) on one processor only.
bool PinTo(int cpu)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return sched_setaffinity(0, sizeof set, &set) == 0;
}

} // namespace

int main(int argc, char** argv)
{
    long long mib = argc > 1 ? std::atoll(argv[1]) : 1024;
    int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    if (mib <= 0 || runs <= 0) {
        std::fprintf(stderr, "usage: ftps_bench [MiB [runs]]\n");
        return 2;
    }
    const auto* certs = testsrv::Certificates();
    if (!certs) {
        std::fprintf(stderr, "the openssl command could not make the certificates\n");
        return 1;
    }
    setenv("TMPDIR", "/dev/shm", 1);
    // The server (and the session processes it forks) on processor 0, the clients on 1.
    const bool pinned = PinTo(0);
    auto server = testsrv::StartVsftpd(testsrv::VsftpdTlsConfig(certs->ServerBoth));
    if (pinned)
        PinTo(1);
    if (!server) {
        std::fprintf(stderr, "vsftpd cannot run here (it needs root and the package)\n");
        return 1;
    }
    const long long bytes = mib * 1024 * 1024;
    std::string served = server->LocalPath("/bench.bin");
    {
        std::vector<char> block(1 << 20);
        for (std::size_t i = 0; i < block.size(); ++i)
            block[i] = char((i * 2654435761u) >> 13);
        FILE* f = std::fopen(served.c_str(), "wb");
        for (long long left = bytes; left > 0; left -= static_cast<long long>(block.size())) {
            block[0] = char(left >> 20);
            std::fwrite(block.data(), 1, std::size_t(std::min<long long>(left, static_cast<long long>(block.size()))), f);
        }
        std::fclose(f);
    }
    std::string work = testsrv::MakeTempDir("ombrex-ftps-bench");
    std::string local = work + "/down.bin";
    std::string port = std::to_string(server->Port());
    std::string url = "ftp://localhost:" + port;

    struct Tool {
        std::string Name;
        std::vector<std::string> Download;
    };
    const std::vector<Tool> tools = {
        {"oftp", {OFTP_BINARY, "--tls", "--ca-file", certs->CaCert, "--port", port, "--passive", "localhost", "get",
                  "/bench.bin", local}},
        {"curl", {"/usr/bin/curl", "-s", "--ssl-reqd", "--cacert", certs->CaCert, "--ftp-pasv", "-o", local,
                  url + "/bench.bin"}},
        {"lftp", {"/usr/bin/lftp", "-c",
                  "set ftp:ssl-force true; set ftp:ssl-allow-anonymous true; set ftp:ssl-protect-data true; "
                  "set ssl:ca-file " + certs->CaCert + "; set ftp:passive-mode on; set xfer:clobber on; "
                  "open -u anonymous,bench@example.com " + url + "; get /bench.bin -o " + local}},
    };

    std::map<std::string, std::vector<Sample>> down;
    for (int run = 0; run < runs; ++run) {
        for (const Tool& tool : tools) {
            ::unlink(local.c_str());
            double before = testsrv::CpuBusySeconds(0);
            Sample d = Run(tool.Download);
                    d.ServerBusy = d.Wall > 0 ? 100.0 * (testsrv::CpuBusySeconds(0) - before) / d.Wall : 0;
            d.Ok = d.Ok && FileSize(local) == bytes;
            down[tool.Name].push_back(d);
            std::fprintf(stderr, "run %d %-5s %.2fs%s\n", run + 1, tool.Name.c_str(), d.Wall, d.Ok ? "" : " FAILED");
        }
    }

    std::printf("File: %lld MiB over explicit FTPS from vsftpd on localhost (RAM), passive, %d runs per tool%s\n",
                mib, runs, pinned ? ", server on CPU 0, clients on CPU 1" : " (not pinned)");
    std::printf("%-6s %12s %10s %14s %16s %8s\n", "tool", "median MB/s", "best MB/s", "CPU s per GiB",
                "CPU 0 busy", "failures");
    std::map<std::string, std::pair<double, double>> med;
    for (const Tool& tool : tools) {
        std::vector<double> rates, cpus, busy;
        int failures = 0;
        for (const Sample& s : down[tool.Name]) {
            if (!s.Ok) {
                ++failures;
                continue;
            }
            rates.push_back(double(bytes) / s.Wall / 1e6);
            cpus.push_back(s.Cpu / (double(bytes) / kGiB));
            busy.push_back(s.ServerBusy);
        }
        med[tool.Name] = {Median(rates), Median(cpus)};
        double best = rates.empty() ? 0 : *std::max_element(rates.begin(), rates.end());
        std::printf("%-6s %12.1f %10.1f %14.3f %15.0f%% %8d\n", tool.Name.c_str(), med[tool.Name].first, best,
                    med[tool.Name].second, Median(busy), failures);
    }
    for (const char* peer : {"curl", "lftp"}) {
        auto o = med["oftp"], p = med[peer];
        std::printf("oftp/%-4s throughput %.2fx, CPU per GiB %.2fx (below 1 is better)\n", peer,
                    p.first > 0 ? o.first / p.first : 0.0, p.second > 0 ? o.second / p.second : 0.0);
    }
    ::unlink(local.c_str());
    ::unlink(served.c_str());
    testsrv::RemoveTree(work);
    return 0;
}
