// The scripted FTP server of the engine tests: plain blocking POSIX sockets on a thread.
#include "ftp/FakeFtpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ftptest {

namespace {

int ListenLoopback(std::uint16_t& Port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 4) != 0) {
        ::close(fd);
        return -1;
    }
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    Port = ntohs(a.sin_port);
    return fd;
}

bool WaitReadable(int Fd, int TimeoutMs, const std::atomic<bool>& Stop)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    while (!Stop.load()) {
        pollfd p{Fd, POLLIN, 0};
        int r = ::poll(&p, 1, 20);
        if (r > 0)
            return true;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
    }
    return false;
}

void WriteAll(int Fd, const std::string& Bytes)
{
    std::size_t off = 0;
    while (Fd >= 0 && off < Bytes.size()) {
        ssize_t n = ::send(Fd, Bytes.data() + off, Bytes.size() - off, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        off += std::size_t(n);
    }
}

void CloseFd(int& Fd)
{
    if (Fd >= 0)
        ::close(Fd);
    Fd = -1;
}

constexpr int kStepTimeoutMs = 5000;
// The passive step that answers as EPSV does (RFC 2428).
const char* const kEpsvMarker = "\x01EPSV";

} // namespace

FakeFtpServer::FakeFtpServer()
{
    FListen = ListenLoopback(FPort);
}

FakeFtpServer::~FakeFtpServer()
{
    FStop = true;
    if (FThread.joinable())
        FThread.join();
    CloseAll();
    CloseFd(FListen);
}

FakeFtpServer& FakeFtpServer::Reply(const std::string& Line)
{
    FSteps.push_back({Step::kReply, Line});
    return *this;
}

FakeFtpServer& FakeFtpServer::Send(const std::string& Bytes)
{
    FSteps.push_back({Step::kSend, Bytes});
    return *this;
}

FakeFtpServer& FakeFtpServer::Expect(const std::string& Expected)
{
    FSteps.push_back({Step::kExpect, Expected});
    return *this;
}

FakeFtpServer& FakeFtpServer::Delay(int Ms)
{
    FSteps.push_back({Step::kDelay, "", Ms});
    return *this;
}

FakeFtpServer& FakeFtpServer::Drop()
{
    FSteps.push_back({Step::kDrop, ""});
    return *this;
}

FakeFtpServer& FakeFtpServer::PasvReply(const std::string& AddressText)
{
    FSteps.push_back({Step::kPasv, AddressText});
    return *this;
}

FakeFtpServer& FakeFtpServer::EpsvReply()
{
    FSteps.push_back({Step::kPasv, kEpsvMarker});
    return *this;
}

FakeFtpServer& FakeFtpServer::DataAccept()
{
    FSteps.push_back({Step::kDataAccept, ""});
    return *this;
}

FakeFtpServer& FakeFtpServer::DataConnectToPort(const std::string& SourceAddr)
{
    FSteps.push_back({Step::kPortConnect, SourceAddr});
    return *this;
}

FakeFtpServer& FakeFtpServer::DataSend(const std::string& Bytes)
{
    FSteps.push_back({Step::kDataSend, Bytes});
    return *this;
}

FakeFtpServer& FakeFtpServer::DataClose()
{
    FSteps.push_back({Step::kDataClose, ""});
    return *this;
}

FakeFtpServer& FakeFtpServer::DataReceiveAll()
{
    FSteps.push_back({Step::kDataReceiveAll, ""});
    return *this;
}

FakeFtpServer& FakeFtpServer::WaitClientClose()
{
    FSteps.push_back({Step::kWaitClose, ""});
    return *this;
}

FakeFtpServer& FakeFtpServer::DataSendFromRest(const std::string& Bytes)
{
    FSteps.push_back({Step::kDataSendFromRest, Bytes});
    return *this;
}

FakeFtpServer& FakeFtpServer::DataReset()
{
    FSteps.push_back({Step::kDataReset, ""});
    return *this;
}

FakeFtpServer& FakeFtpServer::DataReceive(int Count)
{
    FSteps.push_back({Step::kDataReceive, "", Count});
    return *this;
}

FakeFtpServer& FakeFtpServer::AcceptAgain()
{
    FSteps.push_back({Step::kAcceptAgain, ""});
    return *this;
}

void FakeFtpServer::Start()
{
    FThread = std::thread([this] { Run(); });
}

bool FakeFtpServer::WaitDone(int TimeoutMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    while (!FDone.load()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

std::vector<std::string> FakeFtpServer::Transcript() const
{
    std::lock_guard<std::mutex> lock(FLock);
    return FTranscript;
}

std::string FakeFtpServer::DataReceived() const
{
    std::lock_guard<std::mutex> lock(FLock);
    return FDataReceived;
}

std::vector<std::string> FakeFtpServer::Errors() const
{
    std::lock_guard<std::mutex> lock(FLock);
    return FErrors;
}

void FakeFtpServer::Fail(const std::string& Why)
{
    std::lock_guard<std::mutex> lock(FLock);
    FErrors.push_back(Why);
}

void FakeFtpServer::CloseAll()
{
    CloseFd(FData);
    CloseFd(FDataListen);
    CloseFd(FControl);
}

bool FakeFtpServer::ReadLine(std::string& Line, int TimeoutMs)
{
    for (;;) {
        std::size_t eol = FPending.find("\r\n");
        if (eol != std::string::npos) {
            Line = FPending.substr(0, eol);
            FPending.erase(0, eol + 2);
            return true;
        }
        if (FControl < 0 || !WaitReadable(FControl, TimeoutMs, FStop))
            return false;
        char buf[4096];
        ssize_t n = ::recv(FControl, buf, sizeof buf, 0);
        if (n <= 0)
            return false;
        FPending.append(buf, std::size_t(n));
    }
}

void FakeFtpServer::Run()
{
    if (FListen < 0 || !WaitReadable(FListen, kStepTimeoutMs, FStop)) {
        Fail("no client connected");
        FDone = true;
        return;
    }
    FControl = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
    for (const Step& step : FSteps) {
        if (FStop.load())
            break;
        switch (step.What) {
        case Step::kReply:
            WriteAll(FControl, step.Text + "\r\n");
            break;
        case Step::kSend:
            WriteAll(FControl, step.Text);
            break;
        case Step::kExpect: {
            std::string line;
            if (!ReadLine(line, kStepTimeoutMs)) {
                Fail("no command where \"" + step.Text + "\" was expected");
                FDone = true;
                return;
            }
            {
                std::lock_guard<std::mutex> lock(FLock);
                FTranscript.push_back(line);
            }
            if (step.Text != "*" && line != step.Text)
                Fail("expected \"" + step.Text + "\", got \"" + line + "\"");
            break;
        }
        case Step::kDelay: {
            auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(step.Ms);
            while (!FStop.load() && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(std::min(step.Ms, 20)));
            break;
        }
        case Step::kDrop:
            CloseAll();
            break;
        case Step::kPasv: {
            std::uint16_t port = 0;
            CloseFd(FDataListen);
            FDataListen = ListenLoopback(port);
            char reply[128];
            if (step.Text == kEpsvMarker)
                std::snprintf(reply, sizeof reply, "229 Entering Extended Passive Mode (|||%d|)\r\n", int(port));
            else
                std::snprintf(reply, sizeof reply, "227 Entering Passive Mode (%s,%d,%d)\r\n", step.Text.c_str(),
                              port >> 8, port & 0xFF);
            WriteAll(FControl, reply);
            break;
        }
        case Step::kDataAccept:
            if (FDataListen < 0 || !WaitReadable(FDataListen, kStepTimeoutMs, FStop)) {
                Fail("no data connection");
                FDone = true;
                return;
            }
            FData = ::accept4(FDataListen, nullptr, nullptr, SOCK_CLOEXEC);
            CloseFd(FDataListen);
            break;
        case Step::kPortConnect: {
            std::string port;
            {
                std::lock_guard<std::mutex> lock(FLock);
                for (auto it = FTranscript.rbegin(); it != FTranscript.rend(); ++it)
                    if (it->rfind("PORT ", 0) == 0) {
                        port = it->substr(5);
                        break;
                    }
            }
            int h1, h2, h3, h4, p1, p2;
            if (std::sscanf(port.c_str(), "%d,%d,%d,%d,%d,%d", &h1, &h2, &h3, &h4, &p1, &p2) != 6) {
                Fail("no PORT command to connect to");
                break;
            }
            int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in src{};
            src.sin_family = AF_INET;
            src.sin_addr.s_addr = inet_addr(step.Text.c_str());
            ::bind(fd, reinterpret_cast<sockaddr*>(&src), sizeof src);
            sockaddr_in dst{};
            dst.sin_family = AF_INET;
            dst.sin_addr.s_addr = htonl((std::uint32_t(h1) << 24) | (h2 << 16) | (h3 << 8) | h4);
            dst.sin_port = htons(std::uint16_t(p1 * 256 + p2));
            if (::connect(fd, reinterpret_cast<sockaddr*>(&dst), sizeof dst) != 0) {
                Fail("data connect failed");
                ::close(fd);
                break;
            }
            CloseFd(FData);
            FData = fd;
            break;
        }
        case Step::kDataSend:
            WriteAll(FData, step.Text);
            break;
        case Step::kDataClose:
            CloseFd(FData);
            break;
        case Step::kDataReceiveAll: {
            std::string got;
            while (FData >= 0 && WaitReadable(FData, kStepTimeoutMs, FStop)) {
                char buf[65536];
                ssize_t n = ::recv(FData, buf, sizeof buf, 0);
                if (n <= 0)
                    break;
                got.append(buf, std::size_t(n));
            }
            CloseFd(FData);
            std::lock_guard<std::mutex> lock(FLock);
            FDataReceived += got;
            break;
        }
        case Step::kDataSendFromRest: {
            unsigned long long offset = 0;
            {
                std::lock_guard<std::mutex> lock(FLock);
                for (auto it = FTranscript.rbegin(); it != FTranscript.rend(); ++it)
                    if (it->rfind("REST ", 0) == 0) {
                        offset = std::strtoull(it->c_str() + 5, nullptr, 10);
                        break;
                    }
            }
            if (offset > step.Text.size())
                Fail("REST past the end of the data");
            else
                WriteAll(FData, step.Text.substr(std::size_t(offset)));
            break;
        }
        case Step::kDataReset:
            if (FData >= 0) {
                // A zero linger time makes close() send RST.
                linger hard{1, 0};
                ::setsockopt(FData, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            }
            CloseFd(FData);
            break;
        case Step::kDataReceive: {
            std::string got;
            while (FData >= 0 && int(got.size()) < step.Ms && WaitReadable(FData, kStepTimeoutMs, FStop)) {
                char buf[65536];
                std::size_t want = std::min(sizeof buf, std::size_t(step.Ms) - got.size());
                ssize_t n = ::recv(FData, buf, want, 0);
                if (n <= 0)
                    break;
                got.append(buf, std::size_t(n));
            }
            std::lock_guard<std::mutex> lock(FLock);
            FDataReceived += got;
            break;
        }
        case Step::kAcceptAgain:
            CloseAll();
            FPending.clear();
            if (!WaitReadable(FListen, kStepTimeoutMs, FStop)) {
                Fail("no client connected again");
                FDone = true;
                return;
            }
            FControl = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
            break;
        case Step::kWaitClose: {
            std::string line;
            while (ReadLine(line, kStepTimeoutMs)) {
                std::lock_guard<std::mutex> lock(FLock);
                FTranscript.push_back(line);
            }
            CloseFd(FControl);
            break;
        }
        }
    }
    FDone = true;
}

} // namespace ftptest
