// Downloads a tree of many small files (default 2,000 files of 8 KiB in 20 folders) from a
// local vsftpd with oftp get -r --parallel 4, lftp mirror --parallel=4 and oftp --parallel 1,
// first through the latency relay (latency_relay.py, default 20 ms round trip), then on
// plain loopback; every copy is checked with diff -r. Prints the wall times and the ratio
// of lftp's time to oftp's at the same parallelism (the goal is at least 1.2).
//
//   folder_bench [files [folders [rtt_ms]]]
#include "servers/FtpServers.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace {

// Runs argv with its output on /dev/null; the wall time in seconds, or -1 on failure.
double Run(const std::vector<std::string>& argv)
{
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/tmp/folder_bench.err", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    auto start = std::chrono::steady_clock::now();
    pid_t pid;
    int rc = posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0)
        return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? wall : -1;
}

bool Same(const std::string& a, const std::string& b)
{
    return std::system(("diff -r '" + a + "' '" + b + "' >/dev/null").c_str()) == 0;
}

} // namespace

int main(int argc, char** argv)
{
    int files = argc > 1 ? std::atoi(argv[1]) : 2000;
    int folders = argc > 2 ? std::atoi(argv[2]) : 20;
    double rtt = argc > 3 ? std::atof(argv[3]) : 20.0;
    auto server = testsrv::StartVsftpd();
    if (!server) {
        std::fprintf(stderr, "vsftpd cannot run here\n");
        return 1;
    }
    std::string tree = server->Root() + "/bench";
    mkdir(tree.c_str(), 0755);
    std::string block(8192, 'x');
    for (int f = 0; f < folders; ++f) {
        std::string dir = tree + "/d" + std::to_string(f);
        mkdir(dir.c_str(), 0755);
        for (int i = f; i < files; i += folders) {
            block[0] = char(i);
            block[1] = char(i >> 8);
            testsrv::WriteFile(dir + "/f" + std::to_string(i) + ".bin", block);
        }
    }
    std::string out = testsrv::MakeTempDir("ombrex-folder-bench");
    std::printf("%d files of 8 KiB in %d folders from vsftpd\n", files, folders);

    int relayPid = -1;
    std::uint16_t relayPort = 0;
    if (!testsrv::StartLatencyRelay(RELAY_SCRIPT, server->Port(), rtt / 2, relayPid, relayPort)) {
        std::fprintf(stderr, "the latency relay did not start\n");
        return 1;
    }
    struct Net {
        std::string Name;
        std::uint16_t Port;
    };
    std::vector<Net> nets{{"relay, " + std::to_string(int(rtt)) + " ms round trip", relayPort},
                          {"plain loopback", server->Port()}};
    int n = 0;
    for (const Net& net : nets) {
        std::string port = std::to_string(net.Port);
        auto oftp = [&](int parallel) {
            std::string dest = out + "/o" + std::to_string(++n);
            double t = Run({OFTP_BINARY, "--port", port, "--user", "anonymous", "--password", "bench@", "--parallel",
                            std::to_string(parallel), "127.0.0.1", "get", "-r", "/bench", dest});
            return t >= 0 && Same(tree, dest) ? t : -1;
        };
        auto lftp = [&](int parallel) {
            std::string dest = out + "/l" + std::to_string(++n);
            double t = Run({"lftp", "-p", port, "-u", "anonymous,bench@", "-e",
                            "set net:max-retries 2; set ftp:passive-mode on; set ftp:prefer-epsv no; "
                            "mirror --parallel=" + std::to_string(parallel) + " /bench " + dest + "; quit",
                            "127.0.0.1"});
            return t >= 0 && Same(tree, dest) ? t : -1;
        };
        double o4 = oftp(4);
        double l4 = lftp(4);
        double o1 = oftp(1);
        std::printf("\n%s\n", net.Name.c_str());
        std::printf("  oftp get -r --parallel 4   %8.2f s\n", o4);
        std::printf("  lftp mirror --parallel=4   %8.2f s\n", l4);
        std::printf("  oftp get -r --parallel 1   %8.2f s\n", o1);
        if (o4 > 0 && l4 > 0)
            std::printf("  lftp / oftp at 4: %.2fx (goal >= 1.2x)\n", l4 / o4);
        std::fflush(stdout);
    }
    kill(relayPid, SIGTERM);
    waitpid(relayPid, nullptr, 0);
    testsrv::RemoveTree(out);
    return 0;
}
