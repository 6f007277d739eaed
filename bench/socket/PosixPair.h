// The yardstick: a blocking POSIX socket pair on loopback moving bytes with one sender thread.
#pragma once

#include <cstdint>

// Moves total bytes from a sender thread to the calling thread over 127.0.0.1; returns the
// bytes received (total on success).
std::uint64_t PosixLoopbackTransfer(std::uint64_t total, std::size_t sendChunk, std::size_t recvChunk);
