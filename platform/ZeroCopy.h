// The system calls of the zero-copy data path: splice() through a pipe and sendfile(), the
// switch that turns the path off, and the seam that makes them fail as a file system would.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// Which zero-copy call a failure is injected into.
enum class TZeroCopyCall {
    SpliceFromSocket,   // socket -> pipe
    SpliceToFile,       // pipe -> file
    SendFile,           // file -> socket
};

// True unless the zero-copy path is switched off for this process. Re-reads the
// environment variable OMBREX_ZEROCOPY each time (call it once per transfer):
//   "off" (or "0", "copy")         every transfer takes the copying path;
//   "fail-splice-socket[:ENOSYS]"  splice from the socket fails with EINVAL (or ENOSYS);
//   "fail-splice-file[:ENOSYS]"    splice into the file fails so;
//   "fail-sendfile[:ENOSYS]"       sendfile fails so;
//   a suffix "@N" lets the first N-1 calls of that kind (counted from this call) succeed.
// The failures behave as a file system or socket without support for the call does, so
// the fall-back to the copying path can be tried on any machine. Several may be joined by ",".
bool ZeroCopyEnabled();

// splice() with the injected failure of Call, if any; the system's result and errno otherwise.
long SpliceCall(TZeroCopyCall Call, int FdIn, int FdOut, std::size_t Len, unsigned Flags);
// sendfile() from InFd at *Offset (advanced) with the injected failure, if any.
long SendFileCall(int OutFd, int InFd, std::int64_t* Offset, std::size_t Count);

// Whether this system could carry TLS records in the kernel (the "tls" upper-layer protocol
// on TCP sockets), probed once per process on a loopback connection of its own: 0 when it
// can, else the errno of the refusal (ENOENT: the kernel has no tls module).
int KernelTlsProbe();

// Writes all Len bytes into the pipe PipeFd (which must have room for them); the count, or
// -1 with errno set.
long PipeWrite(int PipeFd, const void* Data, std::size_t Len);

// True when errno Err means "these descriptors cannot take this call" (the copying path
// can do the same work), rather than a failure of the data or the connection.
bool ZeroCopyUnsupported(int Err);

// A pipe that carries spliced data from the data socket to the local file. The pipe is
// empty between calls of its owner: every byte spliced in is spliced (or read) out at once.
class TSplicePipe {
public:
    TSplicePipe() = default;
    ~TSplicePipe();
    TSplicePipe(const TSplicePipe&) = delete;
    TSplicePipe& operator=(const TSplicePipe&) = delete;

    // Creates the pipe (non-blocking, close-on-exec) and widens it to WantBytes where the
    // system allows; true when the pipe exists.
    bool Open(std::size_t WantBytes);
    // True while the pipe exists.
    bool IsOpen() const { return FRead >= 0; }
    // Bytes the pipe holds at most (its size after widening).
    std::size_t Capacity() const { return FCapacity; }
    // The end that data is spliced into.
    int WriteEnd() const { return FWrite; }
    // Moves Len bytes held by the pipe into File at its current position. Returns 0, or the
    // errno of the failure with Moved bytes written; the rest stays in the pipe.
    int SpliceToFile(int File, std::size_t Len, std::size_t& Moved);
    // Reads up to Len bytes out of the pipe into Buffer (the copying fall-back); the count or -1.
    long ReadOut(char* Buffer, std::size_t Len);
    // Drops whatever the pipe holds, so that a failed transfer leaves nothing for the next.
    void Discard();
    // Closes both ends.
    void Close();

private:
    int FRead = -1;
    int FWrite = -1;
    std::size_t FCapacity = 0;
};

} // namespace platform
