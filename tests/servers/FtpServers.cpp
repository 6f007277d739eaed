// Starting and stopping real FTP servers for tests (fork/exec, own process group).
#include "servers/FtpServers.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#ifndef OMBREX_SOURCE_DIR
#error "OMBREX_SOURCE_DIR must name the source tree"
#endif

namespace testsrv {

namespace {

using Clock = std::chrono::steady_clock;

// Starts argv in its own process group with stdout to outFd (or /dev/null when -1).
int Spawn(const std::vector<std::string>& argv, int outFd)
{
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    setpgid(0, 0);
    int devnull = open("/dev/null", O_RDWR);
    dup2(devnull, 0);
    dup2(outFd >= 0 ? outFd : devnull, 1);
    if (!std::getenv("OMBREX_SERVER_STDERR"))
        dup2(devnull, 2);
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

} // namespace

FtpServer::~FtpServer()
{
    Stop();
    if (!FTempDir.empty())
        RemoveTree(FTempDir);
}

bool FtpServer::Running() const
{
    return ProcessAlive(FPid);
}

void FtpServer::Stop()
{
    StopProcessGroup(FPid);
}

std::string FtpServer::LocalPath(const std::string& serverPath) const
{
    if (serverPath.empty() || serverPath[0] != '/')
        return FRoot + "/" + serverPath;
    return FRoot + serverPath;
}

std::unique_ptr<FtpServer> StartVsftpd(const std::string& extraConfig)
{
    const char* binary = "/usr/sbin/vsftpd";
    struct passwd* ftpUser = getpwnam("ftp");
    if (access(binary, X_OK) != 0 || !ftpUser || geteuid() != 0)
        return nullptr;   // vsftpd needs root for its anonymous chroot

    for (int attempt = 0; attempt < 3; ++attempt) {
        std::unique_ptr<FtpServer> server(new FtpServer);
        server->FName = "vsftpd";
        server->FTempDir = MakeTempDir("ombrex-vsftpd");
        server->FRoot = server->FTempDir + "/root";
        server->FWritable = "/upload";
        server->FUser = "anonymous";
        server->FPassword = "tester@example.com";
        mkdir(server->FRoot.c_str(), 0755);
        std::string upload = server->FRoot + "/upload";
        mkdir(upload.c_str(), 0755);
        if (chown(upload.c_str(), ftpUser->pw_uid, ftpUser->pw_gid) != 0)
            return nullptr;
        server->FPort = FreeLoopbackPort();
        std::string conf = server->FTempDir + "/vsftpd.conf";
        std::ostringstream c;
        c << "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\n"
          << "listen_port=" << server->FPort << "\n"
          << "background=NO\nanonymous_enable=YES\nlocal_enable=NO\n"
          << "write_enable=YES\nanon_upload_enable=YES\nanon_mkdir_write_enable=YES\n"
          << "anon_other_write_enable=YES\nanon_umask=022\nno_anon_password=YES\n"
          << "anon_root=" << server->FRoot << "\n"
          << "pasv_enable=YES\npasv_address=127.0.0.1\nport_enable=YES\n"
          << "connect_from_port_20=NO\nseccomp_sandbox=NO\nxferlog_enable=NO\n"
          << "dirmessage_enable=NO\nuse_localtime=NO\nmax_clients=200\nmax_per_ip=200\n"
          << "secure_chroot_dir=/var/run/vsftpd/empty\npam_service_name=vsftpd\n"
          << "ascii_upload_enable=YES\nascii_download_enable=YES\n"
          << "idle_session_timeout=600\ndata_connection_timeout=300\n"
          << "ftpd_banner=Ombrex test vsftpd ready.\n" << extraConfig;
        if (!WriteFile(conf, c.str()))
            return nullptr;
        mkdir("/var/run/vsftpd", 0755);
        mkdir("/var/run/vsftpd/empty", 0755);
        server->FPid = Spawn({binary, conf}, -1);
        if (WaitUntilAccepting(server->FPid, server->FPort))
            return server;
    }
    return nullptr;
}

std::unique_ptr<FtpServer> StartVsftpdIpv6(const std::string& extraConfig)
{
    // vsftpd takes the last value of a setting: these replace the IPv4 listener.
    return StartVsftpd("listen=NO\nlisten_ipv6=YES\nlisten_address6=::1\n" + extraConfig);
}

bool Ipv6LoopbackAvailable()
{
    int fd = socket(AF_INET6, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    bool ok = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

namespace {
bool Port6Accepts(std::uint16_t port)
{
    int fd = socket(AF_INET6, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    a.sin6_port = htons(port);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}
} // namespace

std::unique_ptr<FtpServer> StartPyftpdlib(bool anonymousToo, int maxLoginsPerAddress,
                                          const std::vector<std::string>& extraArgs)
{
    const char* python = "/usr/bin/python3";
    std::string script = std::string(OMBREX_SOURCE_DIR) + "/tests/servers/pyftpd_server.py";
    if (access(python, X_OK) != 0)
        return nullptr;

    std::unique_ptr<FtpServer> server(new FtpServer);
    server->FName = "pyftpdlib";
    server->FTempDir = MakeTempDir("ombrex-pyftpd");
    server->FRoot = server->FTempDir + "/root";
    server->FWritable = "/";
    server->FUser = "tester";
    server->FPassword = "secret";
    mkdir(server->FRoot.c_str(), 0755);

    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        return nullptr;
    std::vector<std::string> argv = {python, script, "--root", server->FRoot, "--user",
                                     server->FUser, "--password", server->FPassword};
    if (anonymousToo)
        argv.push_back("--anonymous");
    if (maxLoginsPerAddress > 0)
        argv.insert(argv.end(), {"--max-cons-per-ip", std::to_string(maxLoginsPerAddress)});
    argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
    server->FPid = Spawn(argv, pipeFds[1]);
    close(pipeFds[1]);

    // The server prints "PORT <n>" once it listens.
    std::string line;
    auto deadline = Clock::now() + std::chrono::seconds(15);
    while (Clock::now() < deadline && line.find('\n') == std::string::npos) {
        pollfd p{pipeFds[0], POLLIN, 0};
        if (poll(&p, 1, 100) > 0) {
            char buf[64];
            ssize_t n = read(pipeFds[0], buf, sizeof buf);
            if (n <= 0)
                break;
            line.append(buf, static_cast<size_t>(n));
        }
    }
    close(pipeFds[0]);
    unsigned port = 0;
    if (std::sscanf(line.c_str(), "PORT %u", &port) != 1 || port == 0)
        return nullptr;
    server->FPort = static_cast<std::uint16_t>(port);
    if (!WaitUntilAccepting(server->FPid, server->FPort))
        return nullptr;
    return server;
}

std::uint16_t FreeLoopbackPort()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    socklen_t len = sizeof a;
    std::uint16_t port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0
        && getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

bool PortAccepts(std::uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

bool WriteFile(const std::string& path, const std::string& data)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(data.data(), static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(f);
}

std::string ReadFile(const std::string& path, bool* ok)
{
    std::ifstream f(path, std::ios::binary);
    if (ok)
        *ok = static_cast<bool>(f);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

std::string MakeTempDir(const std::string& prefix)
{
    const char* tmp = std::getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + prefix + "-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data()))
        return {};
    chmod(buf.data(), 0755);
    return buf.data();
}

void RemoveTree(const std::string& path)
{
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0)
        return;
    if (S_ISDIR(st.st_mode)) {
        if (DIR* d = opendir(path.c_str())) {
            while (dirent* e = readdir(d)) {
                if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0)
                    continue;
                RemoveTree(path + "/" + e->d_name);
            }
            closedir(d);
        }
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

double CpuBusySeconds(int Cpu)
{
    FILE* f = std::fopen("/proc/stat", "r");
    if (!f)
        return 0;
    char line[512];
    std::string want = "cpu" + std::to_string(Cpu) + " ";
    double busy = 0;
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, want.c_str(), want.size()) != 0)
            continue;
        unsigned long long v[8] = {};
        std::sscanf(line + want.size(), "%llu %llu %llu %llu %llu %llu %llu %llu", &v[0], &v[1], &v[2], &v[3], &v[4],
                    &v[5], &v[6], &v[7]);
        // user, nice, system, irq, softirq and steal: all but idle and iowait.
        busy = double(v[0] + v[1] + v[2] + v[5] + v[6] + v[7]) / double(::sysconf(_SC_CLK_TCK));
        break;
    }
    std::fclose(f);
    return busy;
}

bool StartLatencyRelay(const std::string& script, std::uint16_t target, double delayMs, int& pid, std::uint16_t& port)
{
    int fds[2];
    if (pipe(fds) != 0)
        return false;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    posix_spawn_file_actions_addclose(&fa, fds[0]);
    std::string t = std::to_string(target), d = std::to_string(delayMs);
    std::vector<std::string> argv{"/usr/bin/python3", script, "--target-port", t, "--delay-ms", d};
    std::vector<char*> args;
    for (auto& a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);
    pid_t p;
    int rc = posix_spawn(&p, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(fds[1]);
    if (rc != 0)
        return false;
    pid = p;
    std::string line;
    pollfd pf{fds[0], POLLIN, 0};
    while (line.find('\n') == std::string::npos && poll(&pf, 1, 10000) > 0) {
        char buf[64];
        ssize_t n = read(fds[0], buf, sizeof buf);
        if (n <= 0)
            break;
        line.append(buf, std::size_t(n));
    }
    close(fds[0]);
    unsigned value = 0;
    if (std::sscanf(line.c_str(), "PORT %u", &value) != 1)
        return false;
    port = std::uint16_t(value);
    return true;
}

bool ProcessAlive(int pid)
{
    if (pid <= 0)
        return false;
    int status = 0;
    return waitpid(pid, &status, WNOHANG) == 0;
}

bool WaitUntilAccepting(int pid, std::uint16_t port)
{
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        if (!ProcessAlive(pid))
            return false;
        if (PortAccepts(port) || Port6Accepts(port))   // servers on ::1 too
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

void StopProcessGroup(int& pid)
{
    if (pid <= 0)
        return;
    kill(-pid, SIGTERM);
    auto deadline = Clock::now() + std::chrono::seconds(3);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            kill(-pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(-pid, SIGKILL);   // children of a forking server that serve connections
    pid = -1;
}

} // namespace testsrv
