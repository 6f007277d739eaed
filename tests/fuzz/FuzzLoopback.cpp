// The loopback peer of the network fuzz targets (plain POSIX sockets, non-blocking).
#include "FuzzLoopback.h"

#include <QCoreApplication>
#include <QEventLoop>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace fuzzloop {

void EnsureApplication()
{
    static int argc = 1;
    static char name[] = "fuzz";
    static char* argv[] = {name, nullptr};
    if (!QCoreApplication::instance())
        new QCoreApplication(argc, argv);   // lives for the whole run
}

void PumpOnce()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    QCoreApplication::sendPostedEvents();
}

std::vector<std::string> ReadChunks(FuzzedDataProvider& Data, std::size_t MaxChunks, std::size_t MaxChunk)
{
    std::vector<std::string> chunks;
    while (chunks.size() < MaxChunks && Data.remaining_bytes() > 0)
        chunks.push_back(Data.ConsumeRandomLengthString(MaxChunk));
    return chunks;
}

LoopbackPeer::LoopbackPeer()
{
    FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sin;
    if (FListen < 0 || ::bind(FListen, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0
        || ::listen(FListen, 16) != 0 || ::getsockname(FListen, reinterpret_cast<sockaddr*>(&sin), &len) != 0) {
        std::perror("fuzz loopback listener");
        std::abort();
    }
    FPort = ntohs(sin.sin_port);
}

LoopbackPeer::~LoopbackPeer()
{
    Reset();
    if (FListen >= 0)
        ::close(FListen);
}

bool LoopbackPeer::TryAccept()
{
    if (FConn >= 0)
        return true;
    int fd = ::accept4(FListen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
        return false;
    FConn = fd;
    FReceived = 0;
    FClientClosed = false;
    return true;
}

std::size_t LoopbackPeer::Drain()
{
    if (FConn < 0 || FClientClosed)
        return 0;
    std::size_t total = 0;
    char buf[4096];
    for (;;) {
        ssize_t n = ::recv(FConn, buf, sizeof buf, 0);
        if (n > 0) {
            total += std::size_t(n);
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            FClientClosed = true;
        break;
    }
    FReceived += total;
    return total;
}

void LoopbackPeer::Write(const std::string& Bytes)
{
    std::size_t done = 0;
    int stalls = 0;
    while (FConn >= 0 && done < Bytes.size()) {
        ssize_t n = ::send(FConn, Bytes.data() + done, Bytes.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += std::size_t(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && ++stalls < 1000) {
            // The client's buffer is full: let it read.
            PumpOnce();
            Drain();
            continue;
        }
        return;   // the client is gone or does not read: the rest is lost, as on a real network
    }
}

void LoopbackPeer::ShutdownWrite()
{
    if (FConn >= 0)
        ::shutdown(FConn, SHUT_WR);
}

void LoopbackPeer::Reset()
{
    if (FConn < 0)
        return;
    linger l{1, 0};
    ::setsockopt(FConn, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(FConn);
    FConn = -1;
}

bool LoopbackPeer::Play(const std::vector<std::string>& Chunks, const std::function<bool()>& Done, int Budget)
{
    // The client connects first (name lookups run on a worker thread).
    for (int i = 0; !TryAccept(); ++i) {
        if (Done())
            return true;
        if (i > Budget)
            return false;
        PumpOnce();
        pollfd p{FListen, POLLIN, 0};
        ::poll(&p, 1, i < 20 ? 0 : 1);
    }
    for (const std::string& chunk : Chunks) {
        if (Done() || FClientClosed)
            break;
        Write(chunk);
        // Wait for an answer, a close, or a few idle rounds (a reply split in pieces
        // brings no answer until its last piece).
        for (int idle = 0; idle < 4;) {
            PumpOnce();
            if (Drain() > 0 || FClientClosed || Done())
                break;
            ++idle;
        }
    }
    ShutdownWrite();
    for (int i = 0; i < Budget; ++i) {
        if (Done())
            return true;
        PumpOnce();
        Drain();
        if (i > 50) {
            pollfd p{FConn, POLLIN, 0};
            ::poll(&p, 1, 1);
        }
    }
    return Done();
}

} // namespace fuzzloop
