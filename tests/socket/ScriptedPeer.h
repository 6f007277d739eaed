// Scripted blocking peers for the socket layer tests: a fake server that plays a list of
// reads, writes and pauses (a SOCKS proxy, say) and records what the client sent, and an
// echo server. Each runs on its own thread and accepts one connection on 127.0.0.1.
#pragma once

#include <atomic>
#include <cstddef>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

namespace peer {

// One step of a script.
struct Step {
    enum Kind { Read, Write, Pause, Close } Kind;
    std::size_t Count = 0;   // Read: bytes to read exactly
    std::string Data;        // Write: bytes to send
    int Ms = 0;              // Pause: milliseconds
};

// Reads exactly n bytes (recorded in Reads()).
inline Step ReadBytes(std::size_t n) { return {Step::Read, n, {}, 0}; }
// Sends the bytes.
inline Step WriteBytes(std::string data) { return {Step::Write, 0, std::move(data), 0}; }
// Waits.
inline Step PauseMs(int ms) { return {Step::Pause, 0, {}, ms}; }
// Closes the connection at once.
inline Step CloseNow() { return {Step::Close, 0, {}, 0}; }

// Bytes from small numbers, for binary protocol messages.
inline std::string Bytes(std::initializer_list<int> values)
{
    std::string s;
    for (int v : values)
        s.push_back(static_cast<char>(v));
    return s;
}

// The fake server. After the script it reads until the client closes (Tail()), then closes.
// A read that does not get its bytes in time marks the run as failed and ends the script.
class ScriptedPeer {
public:
    explicit ScriptedPeer(std::vector<Step> script, int tailTimeoutMs = 5000);
    // Waits for the thread (the client must have closed, or the tail time-out passes).
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    // The loopback port it listens on.
    int Port() const { return FPort; }
    // Waits until the script and the tail have been played.
    void Join();
    // After Join: the bytes of each Read step, in order.
    const std::vector<std::string>& Reads() const { return FReads; }
    // After Join: what the client sent after the script.
    const std::string& Tail() const { return FTail; }
    // After Join: a Read step timed out (the client sent less than expected).
    bool ShortRead() const { return FShortRead; }

private:
    void Run(std::vector<Step> script, int tailTimeoutMs);
    int FListen = -1;
    int FPort = 0;
    std::vector<std::string> FReads;
    std::string FTail;
    bool FShortRead = false;
    std::thread FThread;
};

// An echo server: sends back everything it receives until the client closes.
class EchoPeer {
public:
    EchoPeer();
    // Stops waiting for a connection that has not come, then waits for the thread.
    ~EchoPeer();
    EchoPeer(const EchoPeer&) = delete;
    EchoPeer& operator=(const EchoPeer&) = delete;

    // The loopback port it listens on.
    int Port() const { return FPort; }
    // Bytes echoed so far.
    std::size_t Echoed() const { return FEchoed; }
    // Waits until the client closed (or 10 s passed without one).
    void Join();

private:
    int FListen = -1;
    int FPort = 0;
    std::atomic<std::size_t> FEchoed{0};
    std::atomic<bool> FStop{false};
    std::thread FThread;
};

} // namespace peer
