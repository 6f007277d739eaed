// Blocking POSIX peers for the socket tests: listeners, connectors, readers, resets.
// Kept apart from the Winsock names (which are macros in the system's socket headers).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace peer {

// A listening TCP socket on 127.0.0.1 with a port chosen by the system; -1 on failure.
int ListenLoopback(int& port);
// The same on ::1; -1 where the system has no IPv6.
int ListenLoopback6(int& port);
// The numeric address a connected socket's peer connected from ("127.0.0.2", "::1"), "" on failure.
std::string PeerAddress(int fd);
// Waits up to timeoutMs for a connection; the accepted descriptor or -1.
int AcceptOne(int listenFd, int timeoutMs = 5000);
// A blocking TCP connection to 127.0.0.1:port; -1 on failure.
int ConnectLoopback(int port);
// A port on 127.0.0.1 where nothing listens (bound once, then released).
int UnusedPort();
// Writes everything (blocking); false on failure.
bool SendAll(int fd, const void* data, std::size_t len);
bool SendAll(int fd, const std::string& data);
// Reads until the peer closes, an error, or max bytes; waits up to timeoutMs in total.
std::string RecvAll(int fd, std::size_t max = SIZE_MAX, int timeoutMs = 10000);
// Reads and counts until the peer closes; checks the bytes against Pattern(offset).
std::uint64_t RecvCountChecked(int fd, bool& patternOk, int timeoutMs = 20000);
// Closes with a reset (linger on, 0 seconds).
void CloseReset(int fd);
// Closes normally.
void CloseFd(int fd);
// Shrinks the receive buffer.
void SetRecvBuffer(int fd, int bytes);
// The local port of a descriptor.
int LocalPort(int fd);

// A UDP socket bound to 127.0.0.1:0; its port in port.
int UdpBind(int& port);
// Receives one datagram (waits up to timeoutMs); the source port in fromPort.
std::string UdpRecv(int fd, int& fromPort, int timeoutMs = 5000);
// Sends one datagram to 127.0.0.1:port.
bool UdpSendTo(int fd, int port, const std::string& data);

// The test byte pattern at a stream offset.
inline char Pattern(std::uint64_t offset)
{
    return static_cast<char>((offset * 7 + offset / 251) & 0xFF);
}

} // namespace peer
