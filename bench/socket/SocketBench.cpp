// Moves 1 GiB through a connected pair of TWSocket objects on loopback (Send on one side,
// Receive in OnDataAvailable on the other, both on one event loop) and, in the same run,
// through a pair of blocking POSIX sockets; prints MB/s, the ratio and CPU seconds per GiB.
//
//   socket_bench [GiB [send KiB [receive KiB]]]     (defaults 1, 1024, 64)
#include "PosixPair.h"
#include "socket/WSocket.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <vector>

namespace {

constexpr std::uint64_t kGiB = 1ull << 30;

double CpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

double WallSeconds()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

struct Result {
    std::uint64_t Bytes = 0;
    double Wall = 0;
    double Cpu = 0;
    int Ticks = 0;   // a 10 ms timer's ticks during the transfer (event loop responsiveness)
};

// One TWSocket pair: the client sends in OnDataSent, the accepted side reads in OnDataAvailable.
Result TWSocketTransfer(std::uint64_t total, std::size_t sendChunk, std::size_t recvChunk)
{
    Result r;
    QEventLoop loop;
    TWSocket listener, server, client;
    std::vector<char> out(sendChunk, 'w');
    std::vector<char> in(recvChunk);
    std::uint64_t queued = 0;
    bool failed = false;

    listener.SetAddr("127.0.0.1");
    listener.SetPort("0");
    listener.OnSessionAvailable = [&](TCustomWSocket* l, std::uint16_t) { server.Dup(l->Accept()); };
    server.OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) {
        std::int64_t n = s->Receive(in.data(), std::int64_t(in.size()));
        if (n > 0) {
            r.Bytes += std::uint64_t(n);
            if (r.Bytes >= total)
                loop.quit();
        }
    };
    server.OnSessionClosed = [&](TCustomWSocket*, std::uint16_t) { loop.quit(); };
    client.SetLingerOnOff(wsLingerOff);
    client.OnSessionConnected = [&](TCustomWSocket*, std::uint16_t e) {
        if (e != 0) {
            failed = true;
            loop.quit();
        }
    };
    client.OnDataSent = [&](TCustomWSocket* c, std::uint16_t) {
        if (queued >= total)
            return;
        std::uint64_t n = std::min<std::uint64_t>(out.size(), total - queued);
        queued += n;
        c->Send(out.data(), std::int64_t(n));
    };
    QTimer timer;
    timer.setInterval(10);
    QObject::connect(&timer, &QTimer::timeout, [&] { ++r.Ticks; });

    listener.Listen();
    client.SetAddr("127.0.0.1");
    client.SetPort(listener.GetSocketPortText());
    double wall0 = WallSeconds(), cpu0 = CpuSeconds();
    client.Connect();
    timer.start();
    loop.exec();
    r.Wall = WallSeconds() - wall0;
    r.Cpu = CpuSeconds() - cpu0;
    if (failed)
        r.Bytes = 0;
    client.Close();
    return r;
}

Result PosixTransfer(std::uint64_t total, std::size_t sendChunk, std::size_t recvChunk)
{
    Result r;
    double wall0 = WallSeconds(), cpu0 = CpuSeconds();
    r.Bytes = PosixLoopbackTransfer(total, sendChunk, recvChunk);
    r.Wall = WallSeconds() - wall0;
    r.Cpu = CpuSeconds() - cpu0;
    return r;
}

void Print(const char* name, const Result& r)
{
    double mb = double(r.Bytes) / 1e6;
    std::printf("%-28s %8.1f MB/s   %6.2f s wall   %6.2f CPU s/GiB", name, mb / r.Wall, r.Wall,
                r.Cpu / (double(r.Bytes) / double(kGiB)));
    if (r.Ticks > 0)
        std::printf("   %d timer ticks (%.0f%% of 10 ms slots)", r.Ticks, 100.0 * r.Ticks / (r.Wall * 100.0));
    std::printf("\n");
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    double gib = argc > 1 ? std::atof(argv[1]) : 1.0;
    if (gib <= 0)
        gib = 1.0;
    auto total = std::uint64_t(gib * double(kGiB));
    // Bytes handed to Send per OnDataSent, and the receive handler's buffer.
    std::size_t sendChunk = argc > 2 ? std::size_t(std::atol(argv[2])) * 1024 : 1 << 20;
    std::size_t recvChunk = argc > 3 ? std::size_t(std::atol(argv[3])) * 1024 : 1 << 16;
    if (sendChunk == 0)
        sendChunk = 1 << 20;
    if (recvChunk == 0)
        recvChunk = 1 << 16;

    std::printf("moving %.2f GiB over 127.0.0.1 (send chunk %zu KiB, receive buffer %zu KiB)\n", gib,
                sendChunk / 1024, recvChunk / 1024);
    Result ours = TWSocketTransfer(total, sendChunk, recvChunk);
    Result posix = PosixTransfer(total, sendChunk, recvChunk);
    if (ours.Bytes != total || posix.Bytes != total) {
        std::printf("transfer incomplete: TWSocket %llu, POSIX %llu of %llu bytes\n",
                    (unsigned long long)ours.Bytes, (unsigned long long)posix.Bytes, (unsigned long long)total);
        return 1;
    }
    Print("TWSocket pair (one loop)", ours);
    Print("blocking POSIX pair", posix);
    std::printf("ratio TWSocket/POSIX: %.2f\n", (double(ours.Bytes) / ours.Wall) / (double(posix.Bytes) / posix.Wall));
    return 0;
}
