// Starting and stopping real proxies for tests (fork/exec in their own process group).
#include "servers/SocksServers.h"

#include "servers/FtpServers.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <sstream>
#include <vector>

namespace testsrv {

namespace {

// Starts argv in its own process group with stdout and stderr to outFile (or /dev/null).
int Spawn(const std::vector<std::string>& argv, const std::string& outFile)
{
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    setpgid(0, 0);
    int devnull = open("/dev/null", O_RDWR);
    int out = outFile.empty() ? devnull : open(outFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    dup2(devnull, 0);
    dup2(out >= 0 ? out : devnull, 1);
    dup2(out >= 0 ? out : devnull, 2);
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

} // namespace

// Makes proxy objects and starts their processes (a friend of ProxyServer).
struct ProxyFactory {
    // A proxy object with its temporary folder (and the name of its log file there, if any).
    static std::unique_ptr<ProxyServer> New(const std::string& Name, const std::string& TempPrefix,
                                            const std::string& LogName)
    {
        std::unique_ptr<ProxyServer> s(new ProxyServer);
        s->FName = Name;
        s->FTempDir = MakeTempDir(TempPrefix);
        if (!LogName.empty())
            s->FLogFile = s->FTempDir + "/" + LogName;
        return s;
    }

    // Writes a configuration made for a fresh port and starts the proxy; a few tries, as
    // another process may take the port between the choice and the bind.
    static std::unique_ptr<ProxyServer> Start(
        const std::function<bool(ProxyServer&, std::uint16_t port, std::vector<std::string>& argv)>& prepare,
        const std::function<std::unique_ptr<ProxyServer>()>& create)
    {
        for (int attempt = 0; attempt < 3; ++attempt) {
            std::unique_ptr<ProxyServer> server = create();
            std::uint16_t port = FreeLoopbackPort();
            std::vector<std::string> argv;
            if (port == 0 || !prepare(*server, port, argv))
                return nullptr;
            int pid = Spawn(argv, "");
            server->FPid = pid;
            server->FPort = port;
            if (WaitUntilAccepting(pid, port))
                return server;
        }
        return nullptr;
    }
};

ProxyServer::~ProxyServer()
{
    Stop();
    if (!FTempDir.empty())
        RemoveTree(FTempDir);
}

bool ProxyServer::Running() const
{
    return ProcessAlive(FPid);
}

void ProxyServer::Stop()
{
    StopProcessGroup(FPid);
}

std::string ProxyServer::Log() const
{
    return FLogFile.empty() ? std::string() : ReadFile(FLogFile);
}

std::unique_ptr<ProxyServer> StartDante()
{
    const char* binary = "/usr/sbin/danted";
    if (access(binary, X_OK) != 0 || geteuid() != 0)
        return nullptr;
    return ProxyFactory::Start(
        [&](ProxyServer& s, std::uint16_t port, std::vector<std::string>& argv) {
            std::string conf = s.FTempDir + "/danted.conf";
            std::ostringstream c;
            c << "logoutput: " << s.FLogFile << "\n"
              << "internal: 127.0.0.1 port = " << port << "\n"
              << "external: 127.0.0.1\n"
              << "clientmethod: none\n"
              << "socksmethod: none\n"
              << "user.privileged: root\n"
              << "user.unprivileged: nobody\n"
              << "client pass {\n  from: 127.0.0.0/8 to: 0.0.0.0/0\n}\n"
              << "socks pass {\n  from: 127.0.0.0/8 to: 0.0.0.0/0\n  command: connect\n  protocol: tcp\n}\n";
            if (!WriteFile(conf, c.str()))
                return false;
            // In the foreground (no -D), one process serving every client.
            argv = {binary, "-f", conf, "-N", "1"};
            return true;
        },
        [] { return ProxyFactory::New("dante", "ombrex-dante", "danted.log"); });
}

std::unique_ptr<ProxyServer> StartSocks4aRelay()
{
    const char* python = "/usr/bin/python3";
    if (access(python, X_OK) != 0)
        return nullptr;
    std::string script = std::string(OMBREX_SOURCE_DIR) + "/tests/servers/socks4a_relay.py";
    return ProxyFactory::Start(
        [&](ProxyServer& s, std::uint16_t port, std::vector<std::string>& argv) {
            argv = {python, script, "--port", std::to_string(port), "--log", s.FLogFile};
            return true;
        },
        [] { return ProxyFactory::New("socks4a-relay", "ombrex-socks4a", "relay.log"); });
}

std::unique_ptr<ProxyServer> StartMicrosocks(const std::string& user, const std::string& password)
{
    const char* binary = "/usr/bin/microsocks";
    if (access(binary, X_OK) != 0)
        return nullptr;
    return ProxyFactory::Start(
        [&](ProxyServer& s, std::uint16_t port, std::vector<std::string>& argv) {
            argv = {binary, "-i", "127.0.0.1", "-p", std::to_string(port)};
            if (!user.empty()) {
                argv.insert(argv.end(), {"-u", user, "-P", password});
                s.FUser = user;
                s.FPassword = password;
            }
            return true;
        },
        [] { return ProxyFactory::New("microsocks", "ombrex-microsocks", ""); });
}

std::unique_ptr<ProxyServer> StartFtpProxy(std::uint16_t destinationPort, const std::string& destinationAddress)
{
    const char* binary = "/usr/sbin/ftp-proxy";
    if (access(binary, X_OK) != 0)
        return nullptr;
    return ProxyFactory::Start(
        [&](ProxyServer& s, std::uint16_t port, std::vector<std::string>& argv) {
            std::string conf = s.FTempDir + "/ftp-proxy.conf";
            std::ostringstream c;
            c << "[-Global-]\n"
              << "ServerType standalone\n"
              << "Listen 127.0.0.1\n"
              << "Port " << port << "\n"
              << "DestinationAddress " << destinationAddress << "\n"
              << "DestinationPort " << destinationPort << "\n"
              << "AllowMagicUser yes\n"
              << "LogDestination " << s.FLogFile << "\n"
              << "LogLevel INF\n"
              << "PidFile " << s.FTempDir << "/ftp-proxy.pid\n"
              << "TimeOut 120\n";
            if (!WriteFile(conf, c.str()))
                return false;
            // -d: standalone daemon, -n: stay in the foreground (our child, our process group).
            argv = {binary, "-d", "-n", "-f", conf};
            return true;
        },
        [] { return ProxyFactory::New("ftp-proxy", "ombrex-ftp-proxy", "ftp-proxy.log"); });
}

} // namespace testsrv
