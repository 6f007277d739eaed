// Real proxies for tests: dante (SOCKS 4, 5), microsocks (SOCKS 5, optionally with
// user/password) and ftp-proxy (an FTP proxy told the target in USER user@host[:port]), each
// started on a free loopback port with its configuration in a temporary folder.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace testsrv {

// A running proxy process. Destroying it stops the proxy and removes its folder.
class ProxyServer {
public:
    ~ProxyServer();
    ProxyServer(const ProxyServer&) = delete;
    ProxyServer& operator=(const ProxyServer&) = delete;

    // The loopback port the proxy listens on.
    std::uint16_t Port() const { return FPort; }
    // "dante", "microsocks", "socks4a-relay" or "ftp-proxy".
    const std::string& Name() const { return FName; }
    // The credentials the proxy asks for (empty when it asks for none).
    const std::string& User() const { return FUser; }
    const std::string& Password() const { return FPassword; }
    // True while the process runs.
    bool Running() const;
    // Stops the proxy and the children it forked (SIGTERM, then SIGKILL).
    void Stop();
    // The proxy's log so far ("" when it keeps none), for failure messages.
    std::string Log() const;

private:
    ProxyServer() = default;
    friend struct ProxyFactory;
    friend std::unique_ptr<ProxyServer> StartDante();
    friend std::unique_ptr<ProxyServer> StartSocks4aRelay();
    friend std::unique_ptr<ProxyServer> StartMicrosocks(const std::string&, const std::string&);
    friend std::unique_ptr<ProxyServer> StartFtpProxy(std::uint16_t, const std::string&);
    int FPid = -1;
    std::uint16_t FPort = 0;
    std::string FName;
    std::string FTempDir;
    std::string FLogFile;
    std::string FUser;
    std::string FPassword;
};

// Starts dante (/usr/sbin/danted) as a SOCKS 4 and 5 proxy without authentication that lets
// loopback clients connect to any address (dante does not implement SOCKS 4A: it takes
// 0.0.0.1 for an address and refuses with status 91). Null when it cannot run here (it
// needs root to switch to its unprivileged user).
std::unique_ptr<ProxyServer> StartDante();

// Starts our own SOCKS 4A relay (socks4a_relay.py): it resolves the host name the client
// hands it, and its log holds one "CONNECT host port" line per request. Null when python3
// cannot run here.
std::unique_ptr<ProxyServer> StartSocks4aRelay();

// Starts microsocks (/usr/bin/microsocks), a SOCKS 5 proxy; with a user name it demands
// user/password login with these credentials. Null when it cannot run here.
std::unique_ptr<ProxyServer> StartMicrosocks(const std::string& user = "", const std::string& password = "");

// Starts ftp-proxy (/usr/sbin/ftp-proxy) in the foreground. A client logs in with
// "USER name@host:port" and the proxy connects to host:port; without ":port" it uses the
// FTP port 21; "USER name" alone goes to destinationAddress:destinationPort. PASV replies
// name the proxy's own address (127.0.0.1). Null when it cannot run here.
std::unique_ptr<ProxyServer> StartFtpProxy(std::uint16_t destinationPort,
                                           const std::string& destinationAddress = "127.0.0.1");

} // namespace testsrv
