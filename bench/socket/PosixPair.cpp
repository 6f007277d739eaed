// The yardstick: blocking POSIX sockets, as plain as they come.
#include "PosixPair.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>
#include <vector>

std::uint64_t PosixLoopbackTransfer(std::uint64_t total, std::size_t sendChunk, std::size_t recvChunk)
{
    int lfd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (::bind(lfd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(lfd, 1) != 0 ||
        ::getsockname(lfd, reinterpret_cast<sockaddr*>(&sa), &len) != 0)
        return 0;
    std::thread sender([&] {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
            return;
        std::vector<char> buf(sendChunk, 'p');
        std::uint64_t left = total;
        while (left > 0) {
            ssize_t n = ::send(fd, buf.data(), left < buf.size() ? std::size_t(left) : buf.size(), MSG_NOSIGNAL);
            if (n <= 0)
                break;
            left -= std::uint64_t(n);
        }
        ::close(fd);
    });
    int fd = ::accept(lfd, nullptr, nullptr);
    std::vector<char> buf(recvChunk);
    std::uint64_t got = 0;
    for (;;) {
        ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
        if (n <= 0)
            break;
        got += std::uint64_t(n);
    }
    sender.join();
    ::close(fd);
    ::close(lfd);
    return got;
}
