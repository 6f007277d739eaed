// The zero-copy system calls: splice() and sendfile() behind a seam for injected failures,
// and the pipe that carries spliced downloads.
#include "platform/ZeroCopy.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/sendfile.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace platform {

namespace {

// The errno injected per call (0: none), the call number from which on it is injected
// (1: every call), and the calls made since the environment was read by ZeroCopyEnabled.
std::atomic<int> gFail[3] = {0, 0, 0};
std::atomic<int> gFailFrom[3] = {1, 1, 1};
std::atomic<int> gCalls[3] = {0, 0, 0};

int& Slot(TZeroCopyCall Call, int (&fails)[3])
{
    return fails[static_cast<int>(Call)];
}

// Applies one item of OMBREX_ZEROCOPY ("fail-sendfile", "fail-splice-file:ENOSYS@3" ...).
void ApplyItem(std::string item, bool& enabled, int (&fails)[3], int (&from)[3])
{
    if (item == "off" || item == "0" || item == "copy") {
        enabled = false;
        return;
    }
    int first = 1;
    std::size_t at = item.find('@');
    if (at != std::string::npos) {
        first = std::max(1, std::atoi(item.c_str() + at + 1));
        item.resize(at);
    }
    std::string name = item;
    int err = EINVAL;
    std::size_t colon = item.find(':');
    if (colon != std::string::npos) {
        name = item.substr(0, colon);
        std::string e = item.substr(colon + 1);
        err = e == "ENOSYS" ? ENOSYS : e == "EOPNOTSUPP" ? EOPNOTSUPP : EINVAL;
    }
    TZeroCopyCall call;
    if (name == "fail-splice-socket")
        call = TZeroCopyCall::SpliceFromSocket;
    else if (name == "fail-splice-file")
        call = TZeroCopyCall::SpliceToFile;
    else if (name == "fail-sendfile")
        call = TZeroCopyCall::SendFile;
    else
        return;
    Slot(call, fails) = err;
    Slot(call, from) = first;
}

bool Injected(TZeroCopyCall Call)
{
    int i = static_cast<int>(Call);
    int err = gFail[i].load(std::memory_order_relaxed);
    if (err == 0)
        return false;
    if (gCalls[i].fetch_add(1, std::memory_order_relaxed) + 1 < gFailFrom[i].load(std::memory_order_relaxed))
        return false;
    errno = err;
    return true;
}

} // namespace

bool ZeroCopyEnabled()
{
    bool enabled = true;
    int fails[3] = {0, 0, 0};
    int from[3] = {1, 1, 1};
    if (const char* value = std::getenv("OMBREX_ZEROCOPY")) {
        std::string text = value;
        std::size_t start = 0;
        while (start <= text.size()) {
            std::size_t comma = text.find(',', start);
            if (comma == std::string::npos)
                comma = text.size();
            ApplyItem(text.substr(start, comma - start), enabled, fails, from);
            start = comma + 1;
        }
    }
    for (int i = 0; i < 3; ++i) {
        gFail[i].store(fails[i], std::memory_order_relaxed);
        gFailFrom[i].store(from[i], std::memory_order_relaxed);
        gCalls[i].store(0, std::memory_order_relaxed);
    }
    return enabled;
}

long SpliceCall(TZeroCopyCall Call, int FdIn, int FdOut, std::size_t Len, unsigned Flags)
{
    if (Injected(Call))
        return -1;
    for (;;) {
        ssize_t n = ::splice(FdIn, nullptr, FdOut, nullptr, Len, Flags);
        if (n < 0 && errno == EINTR)
            continue;
        return long(n);
    }
}

long SendFileCall(int OutFd, int InFd, std::int64_t* Offset, std::size_t Count)
{
    if (Injected(TZeroCopyCall::SendFile))
        return -1;
    off_t offset = static_cast<off_t>(*Offset);
    for (;;) {
        ssize_t n = ::sendfile(OutFd, InFd, &offset, Count);
        if (n < 0 && errno == EINTR)
            continue;
        if (n > 0)
            *Offset = offset;
        return long(n);
    }
}

long PipeWrite(int PipeFd, const void* Data, std::size_t Len)
{
    const char* p = static_cast<const char*>(Data);
    std::size_t done = 0;
    while (done < Len) {
        ssize_t n = ::write(PipeFd, p + done, Len - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return -1;
        }
        done += std::size_t(n);
    }
    return long(done);
}

int KernelTlsProbe()
{
    static const int result = [] {
        // The upper-layer protocol can only be set on an established connection, and it
        // stays on the socket: the probe uses a throwaway pair, never a data connection.
        int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (listener < 0)
            return errno;
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        int err = 0, client = -1, server = -1;
        if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listener, 1) != 0
            || ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            err = errno;
        if (!err && (client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) < 0)
            err = errno;
        if (!err && ::connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
            err = errno;
        if (!err && (server = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)) < 0)
            err = errno;
        if (!err && ::setsockopt(client, IPPROTO_TCP, TCP_ULP, "tls", 3) != 0)
            err = errno;
        for (int fd : {server, client, listener})
            if (fd >= 0)
                ::close(fd);
        return err;
    }();
    return result;
}

bool ZeroCopyUnsupported(int Err)
{
    return Err == EINVAL || Err == ENOSYS || Err == EOPNOTSUPP || Err == ESPIPE;
}

// ---- the pipe ----

TSplicePipe::~TSplicePipe()
{
    Close();
}

bool TSplicePipe::Open(std::size_t WantBytes)
{
    if (IsOpen())
        return true;
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0)
        return false;
    FRead = fds[0];
    FWrite = fds[1];
    // A wider pipe moves more per splice call. The system caps unprivileged sizes
    // (/proc/sys/fs/pipe-max-size); a refusal leaves the default, which works too.
    if (::fcntl(FWrite, F_SETPIPE_SZ, int(WantBytes)) < 0)
        (void)0;
    int size = ::fcntl(FWrite, F_GETPIPE_SZ);
    FCapacity = size > 0 ? std::size_t(size) : 65536;
    return true;
}

int TSplicePipe::SpliceToFile(int File, std::size_t Len, std::size_t& Moved)
{
    Moved = 0;
    while (Moved < Len) {
        long n = SpliceCall(TZeroCopyCall::SpliceToFile, FRead, File, Len - Moved, SPLICE_F_MOVE);
        if (n < 0)
            return errno;
        if (n == 0)
            return EIO;   // the pipe holds the bytes: a file that takes none is broken
        Moved += std::size_t(n);
    }
    return 0;
}

long TSplicePipe::ReadOut(char* Buffer, std::size_t Len)
{
    for (;;) {
        ssize_t n = ::read(FRead, Buffer, Len);
        if (n < 0 && errno == EINTR)
            continue;
        return long(n);
    }
}

void TSplicePipe::Discard()
{
    if (!IsOpen())
        return;
    char sink[16384];
    while (ReadOut(sink, sizeof sink) > 0) {
    }
}

void TSplicePipe::Close()
{
    if (FRead >= 0)
        ::close(FRead);
    if (FWrite >= 0)
        ::close(FWrite);
    FRead = FWrite = -1;
    FCapacity = 0;
}

} // namespace platform
