// A TLS server for the socket tests: OpenSSL with blocking sockets on a thread of its own,
// accepting a given number of connections on a loopback port and acting out one script.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace sockettest {

class TlsPeer {
public:
    enum Mode {
        Echo,               // echoes what arrives until the client's close_notify, then answers it
        Send,               // sends Bytes pattern bytes, then closes (with close_notify if CloseNotify)
        Receive,            // counts what arrives until the client's close_notify or the TCP close
        Garbage,            // answers the ClientHello with plain text and closes
        CloseMidHandshake,  // reads the ClientHello and closes without a word
    };
    struct Script {
        Mode What = Echo;
        int MaxVersion = 0;            // TLS1_2_VERSION, TLS1_3_VERSION, or 0 for the newest
        std::string CertBoth;          // key and certificate (PEM)
        std::uint64_t Bytes = 0;       // for Send
        bool CloseNotify = true;       // for Send
        int Connections = 1;
    };

    explicit TlsPeer(Script S);
    // Waits for the thread (the listening socket is closed first, so it never hangs).
    ~TlsPeer();
    int Port() const { return FPort; }

    std::atomic<int> Accepted{0};
    std::atomic<int> Resumed{0};                  // handshakes that resumed a session
    std::atomic<int> ClientCloseNotify{0};        // connections that ended with the client's close_notify
    std::atomic<std::uint64_t> ReceivedBytes{0};  // for Receive
    std::atomic<bool> PatternOk{true};            // for Receive: the bytes were the pattern

private:
    void Run();
    Script FScript;
    int FListen = -1;
    int FPort = 0;
    std::thread FThread;
};

} // namespace sockettest
