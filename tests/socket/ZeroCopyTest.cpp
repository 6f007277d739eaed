// The socket's zero-copy calls over loopback: SendFromFile keeps the send path's events
// (OnSendData inside the call, OnDataSent only from the event loop), ReceiveToPipe keeps the
// receive loop's (data before the close), and bytes a layer holds go into the pipe first.
#include "SocketTestUtil.h"
#include "TestPeers.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ostream>
#include <thread>

using namespace sockettest;

// Table rows print as their names.
template <class T>
    requires requires(const T& row) {
        { row.Name } -> std::convertible_to<const char*>;
    }
void PrintTo(const T& row, std::ostream* os)
{
    *os << row.Name;
}

namespace {

// A temporary file holding Len bytes of the peer pattern.
struct PatternFile {
    std::string Path;
    int Fd = -1;
    explicit PatternFile(std::size_t Len)
    {
        char name[] = "/tmp/ombrex-zc-XXXXXX";
        Fd = ::mkstemp(name);
        Path = name;
        std::string data(Len, '\0');
        for (std::size_t i = 0; i < Len; ++i)
            data[i] = peer::Pattern(i);
        EXPECT_EQ(::write(Fd, data.data(), data.size()), ssize_t(Len));
    }
    ~PatternFile()
    {
        ::close(Fd);
        ::unlink(Path.c_str());
    }
};

struct Pipe {
    int Read = -1, Write = -1;
    Pipe()
    {
        int fds[2];
        EXPECT_EQ(::pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
        Read = fds[0];
        Write = fds[1];
    }
    ~Pipe()
    {
        ::close(Read);
        ::close(Write);
    }
    std::string Drain()
    {
        std::string out;
        char buf[65536];
        for (;;) {
            ssize_t n = ::read(Read, buf, sizeof buf);
            if (n <= 0)
                return out;
            out.append(buf, std::size_t(n));
        }
    }
};

} // namespace

struct SendFileCase {
    const char* Name;
    std::size_t FileSize;
    std::int64_t From;     // first offset sent
    std::int64_t Chunk;    // bytes per call
};

class SocketSendFromFile : public testing::TestWithParam<SendFileCase> {};

TEST_P(SocketSendFromFile, SendsTheFileFromItsOffsetWithTheSendPathsEvents)
{
    const SendFileCase& t = GetParam();
    PatternFile file(t.FileSize);
    int port = 0;
    int lfd = peer::ListenLoopback(port);
    ASSERT_GE(lfd, 0);
    std::string got;
    std::thread server([&] {
        int fd = peer::AcceptOne(lfd);
        got = peer::RecvAll(fd);
        peer::CloseFd(fd);
    });

    TWSocket s;
    EventLog log;
    log.Attach(s, false);
    bool inCall = false;
    int sentInsideCall = 0;
    std::int64_t accepted = 0;
    int sendDataEvents = 0;
    s.OnSendData = [&](TCustomWSocket*, std::int32_t n) {
        EXPECT_TRUE(inCall);
        accepted += n;
        ++sendDataEvents;
    };
    std::int64_t offset = t.From;
    bool done = false;
    s.OnDataSent = [&](TCustomWSocket* sender, std::uint16_t e) {
        if (inCall)
            ++sentInsideCall;
        log.Events.push_back("sent " + std::to_string(e));
        if (done || sender->State() != wsConnected)
            return;
        int sysError = 0;
        inCall = true;
        std::int64_t n = sender->SendFromFile(file.Fd, offset, t.Chunk, sysError);
        inCall = false;
        if (n == 0) {
            done = true;
            sender->Close();
        } else if (n < 0) {
            EXPECT_EQ(sender->LastError(), winsock::WSAEWOULDBLOCK) << sysError;
        }
    };
    // A graceful close, as the FTP engine's data connection has: the bytes the system took
    // still go out after Close (the default linger of 0 s would reset them away).
    s.SetLingerOnOff(wsLingerOff);
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(port));
    s.Connect();
    ASSERT_TRUE(PumpUntil([&] { return log.Closed > 0; }, 30000));
    server.join();
    peer::CloseFd(lfd);

    EXPECT_EQ(sentInsideCall, 0);
    EXPECT_EQ(sendDataEvents > 0, std::int64_t(t.FileSize) > t.From);
    EXPECT_EQ(accepted, std::int64_t(t.FileSize) - t.From);
    EXPECT_EQ(offset, std::int64_t(t.FileSize));
    ASSERT_EQ(got.size(), t.FileSize - std::size_t(t.From));
    bool same = true;
    for (std::size_t i = 0; i < got.size() && same; ++i)
        same = got[i] == peer::Pattern(std::uint64_t(t.From) + i);
    EXPECT_TRUE(same);
    // The file's own position is untouched: sendfile works on the offset given.
    EXPECT_EQ(::lseek(file.Fd, 0, SEEK_CUR), std::int64_t(t.FileSize));
    // connected, then OnDataSent once per write notification, then the close.
    auto events = log.Collapsed();
    auto connected = std::find(events.begin(), events.end(), "connected 0");
    ASSERT_NE(connected, events.end());
    ASSERT_NE(connected + 1, events.end());
    EXPECT_EQ(connected[1], "sent 0");
    EXPECT_EQ(std::count(events.begin(), events.end(), "closed 0"), 1);
    EXPECT_EQ(log.Sent, 0);   // the recorder's own OnDataSent was replaced
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SocketSendFromFile,
    testing::Values(SendFileCase{"SmallFileOneCall", 1000, 0, 1 << 20},
                    SendFileCase{"BigFileInChunks", 6 << 20, 0, 256 << 10},
                    SendFileCase{"FromAnOffset", 3 << 20, (1 << 20) + 3, 1 << 20},
                    SendFileCase{"EmptyFile", 0, 0, 4096}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(SocketSendFromFile, RefusesWhileNotConnectedLikeSend)
{
    PatternFile file(100);
    TWSocket s;
    bool error = false;
    s.OnError = [&](TCustomWSocket*) { error = true; };
    std::int64_t offset = 0;
    int sysError = 0;
    EXPECT_EQ(s.SendFromFile(file.Fd, offset, 100, sysError), -1);
    EXPECT_TRUE(error);
    EXPECT_EQ(s.LastError(), winsock::WSAENOTCONN);
    EXPECT_EQ(offset, 0);
}

struct PipeCase {
    const char* Name;
    std::size_t Bytes;
    bool LineMode;   // a layer holds the bytes: they reach the pipe through Receive
};

class SocketReceiveToPipe : public testing::TestWithParam<PipeCase> {};

TEST_P(SocketReceiveToPipe, MovesEveryByteInOrderAndTheCloseComesLast)
{
    const PipeCase& t = GetParam();
    std::string data(t.Bytes, '\0');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = t.LineMode ? "line\r\n"[i % 6] : peer::Pattern(i);
    int port = 0;
    int lfd = peer::ListenLoopback(port);
    ASSERT_GE(lfd, 0);
    std::thread server([&] {
        int fd = peer::AcceptOne(lfd);
        peer::SendAll(fd, data);
        peer::CloseFd(fd);
    });

    Pipe pipe;
    TWSocket s;
    EventLog log;
    log.Attach(s, false);
    if (t.LineMode) {
        s.SetLineMode(true);
        s.SetLineEnd("\r\n");
    }
    std::string got;
    bool closedBeforeData = false;
    int lines = 0;
    s.OnDataAvailable = [&](TCustomWSocket* sender, std::uint16_t) {
        if (log.Closed > 0)
            closedBeforeData = true;
        int sysError = 0;
        std::int64_t n = sender->ReceiveToPipe(pipe.Write, 65536, sysError);
        if (n > 0) {
            std::string part = pipe.Drain();
            EXPECT_EQ(std::int64_t(part.size()), n);
            if (t.LineMode) {
                EXPECT_EQ(part, "line\r\n");
            }
            got += part;
            ++lines;
            log.Events.push_back("data 0");
        }
    };
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(port));
    s.Connect();
    ASSERT_TRUE(PumpUntil([&] { return log.Closed > 0; }, 30000));
    server.join();
    peer::CloseFd(lfd);

    EXPECT_FALSE(closedBeforeData);
    EXPECT_TRUE(got == data) << got.size() << " of " << data.size();
    EXPECT_EQ(s.ReadCount(), 0);   // reset with the defaults at the close
    if (t.LineMode) {
        EXPECT_EQ(lines, int(t.Bytes / 6));
    }
    // Every offer of data comes before the one close.
    auto events = log.Collapsed();
    auto closed = std::find(events.begin(), events.end(), "closed 0");
    ASSERT_NE(closed, events.end());
    EXPECT_EQ(std::find(closed, events.end(), "data 0"), events.end());
    EXPECT_EQ(std::count(events.begin(), events.end(), "closed 0"), 1);
    EXPECT_NE(std::find(events.begin(), closed, "data 0"), closed);
}

INSTANTIATE_TEST_SUITE_P(Cases, SocketReceiveToPipe,
                         testing::Values(PipeCase{"Spliced", 5 << 20, false},
                                         PipeCase{"ThroughTheLineBuffer", 600, true}),
                         [](const auto& info) { return std::string(info.param.Name); });
