// Blocking POSIX peers for the socket tests.
#include "TestPeers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

namespace peer {

namespace {

sockaddr_in Loopback(int port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sa;
}

bool WaitReadable(int fd, int timeoutMs)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) > 0;
}

} // namespace

int LocalPort(int fd)
{
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    return ntohs(sa.sin_port);
}

int ListenLoopback(int& port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa = Loopback(0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, 8) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    port = LocalPort(fd);
    return fd;
}

int ListenLoopback6(int& port)
{
    int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_addr = in6addr_loopback;
    socklen_t len = sizeof sa;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, 8) != 0
        || ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    port = ntohs(sa.sin6_port);
    return fd;
}

std::string PeerAddress(int fd)
{
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0)
        return "";
    char text[INET6_ADDRSTRLEN] = "";
    const void* addr = ss.ss_family == AF_INET6 ? static_cast<const void*>(&reinterpret_cast<sockaddr_in6&>(ss).sin6_addr)
                                                : static_cast<const void*>(&reinterpret_cast<sockaddr_in&>(ss).sin_addr);
    return ::inet_ntop(ss.ss_family, addr, text, sizeof text) ? text : "";
}

int AcceptOne(int listenFd, int timeoutMs)
{
    if (!WaitReadable(listenFd, timeoutMs))
        return -1;
    return ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
}

int ConnectLoopback(int port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa = Loopback(port);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    return fd;
}

int UnusedPort()
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa = Loopback(0);
    ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    int port = LocalPort(fd);
    ::close(fd);
    return port;
}

bool SendAll(int fd, const void* data, std::size_t len)
{
    const char* p = static_cast<const char*>(data);
    while (len > 0) {
        ssize_t n = ::send(fd, p, len, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        p += n;
        len -= std::size_t(n);
    }
    return true;
}

bool SendAll(int fd, const std::string& data)
{
    return SendAll(fd, data.data(), data.size());
}

std::string RecvAll(int fd, std::size_t max, int timeoutMs)
{
    std::string out;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buf[65536];
    while (out.size() < max) {
        int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
        if (left <= 0 || !WaitReadable(fd, left))
            break;
        ssize_t n = ::recv(fd, buf, std::min(sizeof buf, max - out.size()), 0);
        if (n <= 0)
            break;
        out.append(buf, std::size_t(n));
    }
    return out;
}

std::uint64_t RecvCountChecked(int fd, bool& patternOk, int timeoutMs)
{
    patternOk = true;
    std::uint64_t total = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    static thread_local char buf[1 << 16];
    for (;;) {
        int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
        if (left <= 0 || !WaitReadable(fd, left))
            break;
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        for (ssize_t i = 0; i < n && patternOk; ++i)
            if (buf[i] != Pattern(total + std::uint64_t(i)))
                patternOk = false;
        total += std::uint64_t(n);
    }
    return total;
}

void CloseReset(int fd)
{
    linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(fd);
}

void CloseFd(int fd)
{
    if (fd >= 0)
        ::close(fd);
}

void SetRecvBuffer(int fd, int bytes)
{
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

int UdpBind(int& port)
{
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa = Loopback(0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    port = LocalPort(fd);
    return fd;
}

std::string UdpRecv(int fd, int& fromPort, int timeoutMs)
{
    if (!WaitReadable(fd, timeoutMs))
        return "<timeout>";
    char buf[65536];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n = ::recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0)
        return "<error>";
    fromPort = ntohs(from.sin_port);
    return std::string(buf, std::size_t(n));
}

bool UdpSendTo(int fd, int port, const std::string& data)
{
    sockaddr_in sa = Loopback(port);
    return ::sendto(fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa) ==
           ssize_t(data.size());
}

} // namespace peer
