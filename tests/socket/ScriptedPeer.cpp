// Scripted blocking peers for the socket layer tests.
#include "ScriptedPeer.h"

#include "TestPeers.h"

#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <thread>

namespace peer {

namespace {

// Whatever arrives next (waits up to timeoutMs); empty at close, error or time-out.
std::string RecvSome(int fd, int timeoutMs)
{
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0)
        return {};
    char buf[65536];
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, std::size_t(n)) : std::string();
}

} // namespace

ScriptedPeer::ScriptedPeer(std::vector<Step> script, int tailTimeoutMs)
{
    FListen = ListenLoopback(FPort);
    FThread = std::thread([this, s = std::move(script), tailTimeoutMs]() mutable { Run(std::move(s), tailTimeoutMs); });
}

ScriptedPeer::~ScriptedPeer()
{
    Join();
}

void ScriptedPeer::Join()
{
    if (FThread.joinable())
        FThread.join();
    CloseFd(FListen);
    FListen = -1;
}

void ScriptedPeer::Run(std::vector<Step> script, int tailTimeoutMs)
{
    int fd = AcceptOne(FListen, 10000);
    if (fd < 0) {
        FShortRead = true;
        return;
    }
    bool closed = false;
    for (const Step& step : script) {
        if (step.Kind == Step::Read) {
            std::string got = RecvAll(fd, step.Count, 5000);
            FReads.push_back(got);
            if (got.size() < step.Count) {
                FShortRead = true;
                break;
            }
        } else if (step.Kind == Step::Write) {
            SendAll(fd, step.Data);
        } else if (step.Kind == Step::Pause) {
            std::this_thread::sleep_for(std::chrono::milliseconds(step.Ms));
        } else {
            CloseFd(fd);
            closed = true;
            break;
        }
    }
    if (!closed) {
        FTail = RecvAll(fd, SIZE_MAX, tailTimeoutMs);
        CloseFd(fd);
    }
}

EchoPeer::EchoPeer()
{
    FListen = ListenLoopback(FPort);
    FThread = std::thread([this] {
        // Accept in short slices, so that a peer nobody connects to ends with its owner.
        int fd = -1;
        for (int waited = 0; fd < 0 && waited < 10000 && !FStop; waited += 50)
            fd = AcceptOne(FListen, 50);
        if (fd < 0)
            return;
        for (;;) {
            std::string got = RecvSome(fd, 10000);
            if (got.empty())
                break;
            SendAll(fd, got);
            FEchoed += got.size();
        }
        CloseFd(fd);
    });
}

EchoPeer::~EchoPeer()
{
    FStop = true;
    Join();
}

void EchoPeer::Join()
{
    if (FThread.joinable())
        FThread.join();
    CloseFd(FListen);
    FListen = -1;
}

} // namespace peer
