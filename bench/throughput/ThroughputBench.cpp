// Downloads and uploads one file from a local vsftpd (served from RAM) with oftp, curl and
// lftp in passive mode, the tools taking turns, and prints per tool the median MB/s and CPU
// seconds per GiB (user + system of the child, from wait4), the ratios of oftp to the peers
// and oftp's peak RSS.
//
//   throughput_bench [MiB [runs]]     (defaults 1024, 5)
#include "servers/FtpServers.h"

#include <fcntl.h>
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
    long MaxRssKiB = 0;
    bool Ok = false;
};

// Runs argv with stdin, stdout and stderr on /dev/null; measures wall time and the child's
// CPU time and peak RSS.
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
    s.MaxRssKiB = ru.ru_maxrss;
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

} // namespace

int main(int argc, char** argv)
{
    long long mib = argc > 1 ? std::atoll(argv[1]) : 1024;
    int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    if (mib <= 0 || runs <= 0) {
        std::fprintf(stderr, "usage: throughput_bench [MiB [runs]]\n");
        return 2;
    }
    // Served and received files live in RAM, so the disk measures nothing.
    setenv("TMPDIR", "/dev/shm", 1);
    auto server = testsrv::StartVsftpd();
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
    std::string work = testsrv::MakeTempDir("ombrex-bench");
    std::string local = work + "/down.bin";
    std::string port = std::to_string(server->Port());
    std::string url = "ftp://127.0.0.1:" + port;

    struct Tool {
        std::string Name;
        std::function<std::vector<std::string>()> Download;
        std::function<std::vector<std::string>(const std::string& remote)> Upload;
    };
    std::vector<Tool> tools = {
        {"oftp",
         [&] {
             return std::vector<std::string>{OFTP_BINARY, "--port", port, "--passive", "127.0.0.1", "get",
                                             "/bench.bin", local};
         },
         [&](const std::string& remote) {
             return std::vector<std::string>{OFTP_BINARY, "--port", port, "--passive", "127.0.0.1", "put", local,
                                             remote};
         }},
        {"curl",
         [&] {
             return std::vector<std::string>{"/usr/bin/curl", "-s", "--ftp-pasv", "-o", local, url + "/bench.bin"};
         },
         [&](const std::string& remote) {
             return std::vector<std::string>{"/usr/bin/curl", "-s", "--ftp-pasv", "-T", local, url + remote};
         }},
        {"lftp",
         [&] {
             return std::vector<std::string>{
                 "/usr/bin/lftp", "-c",
                 "set ftp:passive-mode on; set xfer:clobber on; open -u anonymous,bench@example.com " + url
                     + "; get /bench.bin -o " + local};
         },
         [&](const std::string& remote) {
             return std::vector<std::string>{
                 "/usr/bin/lftp", "-c",
                 "set ftp:passive-mode on; open -u anonymous,bench@example.com " + url + "; put " + local + " -o "
                     + remote};
         }},
    };

    std::map<std::string, std::vector<Sample>> down, up;
    for (int run = 0; run < runs; ++run) {
        for (const Tool& tool : tools) {
            ::unlink(local.c_str());
            Sample d = Run(tool.Download());
            d.Ok = d.Ok && FileSize(local) == bytes;
            down[tool.Name].push_back(d);
            std::string remote = "/upload/up-" + tool.Name + ".bin";
            ::unlink(server->LocalPath(remote).c_str());
            Sample u = Run(tool.Upload(remote));
            u.Ok = u.Ok && FileSize(server->LocalPath(remote)) == bytes;
            up[tool.Name].push_back(u);
            ::unlink(server->LocalPath(remote).c_str());
            std::fprintf(stderr, "run %d %-5s down %.2fs%s up %.2fs%s\n", run + 1, tool.Name.c_str(), d.Wall,
                         d.Ok ? "" : " FAILED", u.Wall, u.Ok ? "" : " FAILED");
        }
    }

    std::printf("File: %lld MiB from vsftpd on 127.0.0.1 (RAM-backed), passive mode, %d runs per tool\n", mib, runs);
    std::printf("%-6s %-9s %12s %14s %8s\n", "tool", "direction", "median MB/s", "CPU s per GiB", "failures");
    std::map<std::string, std::map<std::string, std::pair<double, double>>> med;
    long oftpRss = 0;
    for (const char* dir : {"download", "upload"}) {
        auto& table = std::string(dir) == "download" ? down : up;
        for (const Tool& tool : tools) {
            std::vector<double> rates, cpus;
            int failures = 0;
            for (const Sample& s : table[tool.Name]) {
                if (!s.Ok) {
                    ++failures;
                    continue;
                }
                rates.push_back(double(bytes) / s.Wall / 1e6);
                cpus.push_back(s.Cpu / (double(bytes) / kGiB));
                if (tool.Name == "oftp")
                    oftpRss = std::max(oftpRss, s.MaxRssKiB);
            }
            double rate = Median(rates), cpu = Median(cpus);
            med[dir][tool.Name] = {rate, cpu};
            std::printf("%-6s %-9s %12.1f %14.3f %8d\n", tool.Name.c_str(), dir, rate, cpu, failures);
        }
    }
    for (const char* dir : {"download", "upload"}) {
        for (const char* peer : {"curl", "lftp"}) {
            auto o = med[dir]["oftp"], p = med[dir][peer];
            std::printf("%-9s oftp/%-4s throughput %.2fx, CPU per GiB %.2fx (below 1 is better)\n", dir, peer,
                        p.first > 0 ? o.first / p.first : 0.0, p.second > 0 ? o.second / p.second : 0.0);
        }
    }
    std::printf("oftp peak RSS: %.1f MiB\n", double(oftpRss) / 1024.0);
    ::unlink(local.c_str());
    ::unlink(served.c_str());
    testsrv::RemoveTree(work);
    return 0;
}
