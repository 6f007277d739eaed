// Long transfers over loopback: the event loop stays responsive while a fast peer streams
// into a socket, and a peer that does not read pushes back on the send queue.
#include "SocketTestUtil.h"
#include "TestPeers.h"

#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace sockettest;

TEST(Streaming, TimerKeepsFiringWhileAFastPeerStreams)
{
    // The peer streams until the client has seen the timer fire 40 times while data kept
    // coming and at least 10 MiB went through (or a generous deadline passes): how long
    // that takes depends on the machine, whether the timer gets its turn does not.
    int port = 0;
    int lfd = peer::ListenLoopback(port);
    ASSERT_GE(lfd, 0);
    std::atomic<bool> go{false}, streaming{false}, enough{false};
    std::atomic<std::uint64_t> sent{0};
    constexpr int kDeadlineMs = 60000;
    constexpr std::uint64_t kMinBytes = 10u * 1024 * 1024;
    std::thread server([&] {
        int fd = peer::AcceptOne(lfd);
        while (!go)
            platform::Sleep(1);
        static char block[1 << 16];
        std::uint64_t offset = 0;
        streaming = true;
        std::uint64_t end = platform::GetTickCount64() + kDeadlineMs;
        while (!enough && platform::GetTickCount64() < end) {
            for (std::size_t i = 0; i < sizeof block; ++i)
                block[i] = peer::Pattern(offset + i);
            if (!peer::SendAll(fd, block, sizeof block))
                break;
            offset += sizeof block;
            sent = offset;
        }
        streaming = false;
        peer::CloseFd(fd);
    });

    EventLog log;
    TWSocket s;
    log.Attach(s, false);
    std::uint64_t received = 0;
    bool patternOk = true;
    std::vector<char> buf(1 << 16);
    s.OnDataAvailable = [&](TCustomWSocket* sender, std::uint16_t) {
        std::int64_t n = sender->Receive(buf.data(), std::int64_t(buf.size()));
        for (std::int64_t i = 0; i < n && patternOk; ++i)
            if (buf[std::size_t(i)] != peer::Pattern(received + std::uint64_t(i)))
                patternOk = false;
        if (n > 0)
            received += std::uint64_t(n);
    };
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(port));
    s.Connect();
    ASSERT_TRUE(PumpUntil([&] { return log.Connected > 0; }));

    // A tick counts when data arrived since the tick before: the stream was running then.
    int ticksWhileStreaming = 0;
    std::uint64_t receivedAtLastTick = 0;
    QTimer timer;
    timer.setInterval(10);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        if (streaming && received > receivedAtLastTick)
            ++ticksWhileStreaming;
        receivedAtLastTick = received;
        if (ticksWhileStreaming >= 40 && received >= kMinBytes)
            enough = true;
    });
    timer.start();
    go = true;
    ASSERT_TRUE(PumpUntil([&] { return log.Closed > 0; }, kDeadlineMs + 20000));
    timer.stop();
    server.join();
    peer::CloseFd(lfd);

    EXPECT_EQ(received, sent.load());
    EXPECT_TRUE(patternOk);
    EXPECT_GE(sent.load(), kMinBytes) << "the peer was not fast";
    EXPECT_GE(ticksWhileStreaming, 40) << "the receive loop kept the event loop from running";
}

TEST(Streaming, PeerThatDoesNotReadMakesTheQueueGrowThenDrain)
{
    int port = 0;
    int lfd = peer::ListenLoopback(port);
    std::atomic<bool> read{false};
    std::uint64_t count = 0;
    bool ok = false;
    std::thread server([&] {
        int fd = peer::AcceptOne(lfd);
        while (!read)
            platform::Sleep(1);
        count = peer::RecvCountChecked(fd, ok);
        peer::CloseFd(fd);
    });
    EventLog log;
    TWSocket s;
    s.SetLingerOnOff(wsLingerOff);
    log.Attach(s);
    std::int64_t sendCalls = 0;
    s.OnSendData = [&](TCustomWSocket*, std::int32_t n) { sendCalls += n; };
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(port));
    s.Connect();
    ASSERT_TRUE(PumpUntil([&] { return log.Sent == 1; }));

    std::string data(64 * 1024 * 1024, '\0');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = peer::Pattern(i);
    const std::int64_t half = std::int64_t(data.size() / 2);
    EXPECT_EQ(s.Send(data.data(), half), half);
    std::int64_t queuedFirst = s.BufferedByteCount();
    EXPECT_GT(queuedFirst, 0) << "the system cannot take 32 MiB at once";
    EXPECT_EQ(s.Send(data.data() + half, half), half);
    std::int64_t queuedSecond = s.BufferedByteCount();
    EXPECT_GT(queuedSecond, queuedFirst);
    EXPECT_EQ(sendCalls + queuedSecond, std::int64_t(data.size())) << "every byte is either sent or queued";
    PumpFor(200);
    EXPECT_EQ(log.Sent, 1) << "no OnDataSent while bytes wait";
    EXPECT_FALSE(s.AllSent());

    read = true;
    ASSERT_TRUE(PumpUntil([&] { return log.Sent == 2; }, 30000));
    EXPECT_EQ(s.BufferedByteCount(), 0);
    PumpFor(100);
    EXPECT_EQ(log.Sent, 2) << "one OnDataSent when the queue drained";
    s.Close();
    server.join();
    peer::CloseFd(lfd);
    EXPECT_EQ(count, data.size());
    EXPECT_TRUE(ok);
}
