// Helpers of the network fuzz targets: a Qt application for the event loop, and a loopback
// peer that plays fuzz-chosen bytes to one client in lock step with what the client sends.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace fuzzloop {

// Creates the process's QCoreApplication once (the sockets' notifications need its loop).
void EnsureApplication();

// Processes pending events and socket notifications once, without waiting.
void PumpOnce();

// Reads the peer's script from the fuzz input: up to MaxChunks chunks of at most MaxChunk
// bytes each (a chunk is written in one send, so chunk edges are read boundaries).
std::vector<std::string> ReadChunks(FuzzedDataProvider& Data, std::size_t MaxChunks, std::size_t MaxChunk);

// A listener on 127.0.0.1 (free port, kept for the whole run) and the one connection it
// accepted. Everything is non-blocking and runs on the caller's thread.
class LoopbackPeer {
public:
    // Opens the listener; aborts the process when that fails (nothing could be fuzzed).
    LoopbackPeer();
    ~LoopbackPeer();
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    // The listening port.
    std::uint16_t Port() const { return FPort; }
    // True once a connection was accepted.
    bool Accepted() const { return FConn >= 0; }
    // Accepts a pending connection, if any; true when one is (now) accepted.
    bool TryAccept();
    // Reads and drops what the client sent; the number of bytes read (0 when none).
    std::size_t Drain();
    // Bytes the client sent on this connection so far.
    std::size_t Received() const { return FReceived; }
    // True once the client closed its side (or reset the connection).
    bool ClientClosed() const { return FClientClosed; }
    // Writes Bytes (small; waits for room, which the loopback always has soon).
    void Write(const std::string& Bytes);
    // Sends FIN: the client reads the rest and then sees the close.
    void ShutdownWrite();
    // Drops the connection with a reset, so that no TIME_WAIT state piles up over a run.
    void Reset();

    // Plays Chunks to the client: writes one, then pumps until the client answers, closes,
    // or stays idle for a few rounds; then the next. Done ends the play early. Afterwards
    // the write side is shut and the loop runs until Done or Budget rounds have passed.
    // Returns false when Done never held.
    bool Play(const std::vector<std::string>& Chunks, const std::function<bool()>& Done, int Budget = 20000);

private:
    int FListen = -1;
    int FConn = -1;
    std::uint16_t FPort = 0;
    std::size_t FReceived = 0;
    bool FClientClosed = false;
};

} // namespace fuzzloop
