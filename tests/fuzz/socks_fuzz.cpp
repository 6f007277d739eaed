// Fuzzes the SOCKS client: a loopback peer plays arbitrary bytes as a SOCKS 4, 4A or 5 proxy
// (with or without login offered) to a TWSocket, in fuzz-chosen pieces and in step with
// what the client sends; the bytes after a good reply are the application's. The session
// must be reported once, no data may reach the user before it, a failure must close the
// socket, and the proxy's close must end everything.
//
// Input (FuzzedDataProvider): from the end, one switch byte and one read-size byte; from the
// front, the user code, the password, then the proxy's pieces.
#include "FuzzLoopback.h"

#include "socket/WSocket.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void Check(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "socks_fuzz: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzloop::EnsureApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static fuzzloop::LoopbackPeer peer;
    FuzzedDataProvider input(data, size);
    const std::uint8_t switches = input.ConsumeIntegral<std::uint8_t>();
    const std::size_t readSize = 1 + input.ConsumeIntegral<std::uint8_t>();
    const std::string user = input.ConsumeRandomLengthString(140);
    const std::string password = input.ConsumeRandomLengthString(140);
    const std::vector<std::string> chunks = fuzzloop::ReadChunks(input, 16, 600);

    int connected = 0;
    int connectError = -1;
    int closed = 0;
    int socksErrors = 0;
    std::size_t appBytes = 0;
    {
        TWSocket s;
        static const char* const levels[] = {"4", "4A", "5"};
        s.SetSocksLevel(levels[(switches & 3) % 3]);
        s.SetSocksServer("127.0.0.1");
        s.SetSocksPort(std::to_string(peer.Port()));
        s.SetSocksUsercode(user);
        s.SetSocksPassword(password);
        s.SetSocksAuthentication(switches & 4 ? socksAuthenticateUsercode : socksNoAuthentication);
        // SOCKS 4 resolves the destination itself: keep it a dotted address (no DNS here).
        s.SetAddr((switches & 8) && (switches & 3) != 0 ? "ftp.example.test" : "127.0.0.1");
        s.SetPort("21");
        s.SetProto("tcp");
        if (switches & 16)
            s.SetLineMode(true);
        s.OnSocksError = [&](TCustomWSocket*, std::int32_t e, const std::string&) {
            ++socksErrors;
            Check(e != 0, "a SOCKS error without a number");
            Check(connected == 0, "a SOCKS error after the session was reported");
        };
        s.OnSessionConnected = [&](TCustomWSocket*, std::uint16_t e) {
            ++connected;
            connectError = e;
            Check(connected == 1, "OnSessionConnected more than once");
            Check(closed == 0, "OnSessionConnected after the close");
        };
        s.OnDataAvailable = [&](TCustomWSocket* sock, std::uint16_t) {
            Check(connected == 1 && connectError == 0, "data reached the user before the session");
            char buffer[257];
            std::int64_t n = sock->Receive(buffer, std::int64_t(readSize));
            if (n > 0)
                appBytes += std::size_t(n);
        };
        s.OnSessionClosed = [&](TCustomWSocket*, std::uint16_t) {
            ++closed;
            Check(closed == 1, "OnSessionClosed more than once");
        };
        try {
            s.Connect();
        } catch (const std::exception&) {
            Check(false, "Connect raised");
        }
        const bool ended = peer.Play(chunks, [&] { return closed > 0; });
        if (!ended) {
            std::fprintf(stderr, "connected %d (error %d), socks errors %d, state %d, socks state %d\n", connected,
                         connectError, socksErrors, int(s.State()), int(s.SocksState()));
            Check(false, "the socket did not close after the proxy closed");
        }
        if (socksErrors > 0)
            Check(connected == 1 && connectError != 0, "a SOCKS failure without OnSessionConnected(Error)");
        if (connectError == 0)
            Check(socksErrors == 0, "a SOCKS error and a session");
        s.OnSessionClosed = nullptr;
        s.OnDataAvailable = nullptr;
    }
    peer.Reset();
    fuzzloop::PumpOnce();
    return 0;
}
