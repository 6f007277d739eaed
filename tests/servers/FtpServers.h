// Real FTP servers for tests and benchmarks: vsftpd and pyftpdlib started on a free
// loopback port with a configuration in a temporary folder, stopped on destruction.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace testsrv {

// A running server process. Destroying it stops the server and removes its folders.
class FtpServer {
public:
    virtual ~FtpServer();
    FtpServer(const FtpServer&) = delete;
    FtpServer& operator=(const FtpServer&) = delete;

    // The loopback port the server listens on.
    std::uint16_t Port() const { return FPort; }
    // The folder served as "/" (files put here before or while the server runs are seen).
    const std::string& Root() const { return FRoot; }
    // A folder below Root() that the test user may write to ("/" for pyftpdlib,
    // "/upload" for anonymous vsftpd, whose root must stay read-only).
    const std::string& WritableDir() const { return FWritable; }
    // Credentials that log in.
    const std::string& User() const { return FUser; }
    const std::string& Password() const { return FPassword; }
    // "vsftpd" or "pyftpdlib".
    const std::string& Name() const { return FName; }
    // True while the process runs.
    bool Running() const;
    // Stops the server (SIGTERM, then SIGKILL); its folders stay until destruction.
    void Stop();
    // The absolute local path of a path on the server ("/upload/x" -> Root()+"/upload/x").
    std::string LocalPath(const std::string& serverPath) const;

protected:
    FtpServer() = default;
    friend std::unique_ptr<FtpServer> StartVsftpd(const std::string& extraConfig);
    friend std::unique_ptr<FtpServer> StartPyftpdlib(bool anonymousToo, int maxLoginsPerAddress,
                                                     const std::vector<std::string>& extraArgs);
    int FPid = -1;
    std::uint16_t FPort = 0;
    std::string FTempDir;
    std::string FRoot;
    std::string FWritable;
    std::string FUser;
    std::string FPassword;
    std::string FName;
};

// Starts vsftpd (anonymous, passive and active, ASCII mode allowed) serving a fresh
// folder whose "upload" sub-folder is writable; null when vsftpd cannot run here.
// extraConfig lines are appended to its configuration.
std::unique_ptr<FtpServer> StartVsftpd(const std::string& extraConfig = "");
// The same vsftpd listening on ::1 only (IPv6: EPSV and EPRT); null when it cannot run.
std::unique_ptr<FtpServer> StartVsftpdIpv6(const std::string& extraConfig = "");
// True when this system can listen on ::1 (a kernel without IPv6 cannot).
bool Ipv6LoopbackAvailable();
// Starts pyftpdlib with user "tester"/"secret" (and anonymous if asked) serving a fresh
// writable folder; null when pyftpdlib cannot run here. With maxLoginsPerAddress above 0,
// logins beyond that many at once are refused with "421 Too many connections ...";
// extraArgs go to its script.
std::unique_ptr<FtpServer> StartPyftpdlib(bool anonymousToo = false, int maxLoginsPerAddress = 0,
                                          const std::vector<std::string>& extraArgs = {});

// A free TCP port on 127.0.0.1 at the time of the call.
std::uint16_t FreeLoopbackPort();
// True when something accepts TCP connections on 127.0.0.1:port.
bool PortAccepts(std::uint16_t port);
// Writes data to path (creating or truncating it); returns false on failure.
bool WriteFile(const std::string& path, const std::string& data);
// The whole content of a file, or "" with ok=false when it cannot be read.
std::string ReadFile(const std::string& path, bool* ok = nullptr);
// Makes a fresh temporary folder (mode 0755 so server users can enter it).
std::string MakeTempDir(const std::string& prefix);
// Removes a folder tree.
void RemoveTree(const std::string& path);

// Seconds processor Cpu has been busy so far (/proc/stat: everything but idle and iowait,
// interrupts included). For benchmarks that pin the server to one processor: its busy share
// of a run near 100% means the server's processor was the limit.
double CpuBusySeconds(int Cpu);

// Starts the latency relay script (python3) in front of 127.0.0.1:target, delaying each
// direction by delayMs; its pid and the port it listens on. False when it did not start.
bool StartLatencyRelay(const std::string& script, std::uint16_t target, double delayMs, int& pid,
                       std::uint16_t& port);

// Server processes run in process groups of their own (pid = group id).
// True while the child pid runs (reaps it once it has ended).
bool ProcessAlive(int pid);
// Waits up to 10 s until the child pid accepts on 127.0.0.1:port or [::1]:port; false when it ended
// or never did.
bool WaitUntilAccepting(int pid, std::uint16_t port);
// Ends the process group of pid (SIGTERM, SIGKILL after 3 s, and SIGKILL for children
// that serve connections) and sets pid to -1; nothing when pid is not positive.
void StopProcessGroup(int& pid);

} // namespace testsrv
