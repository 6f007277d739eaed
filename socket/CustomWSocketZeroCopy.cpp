// TCustomWSocket: the zero-copy transfer calls (received bytes spliced into a pipe, a
// file's bytes sent straight from the file), with the receive and send paths' bookkeeping.
#include "socket/CustomWSocket.h"

#include "platform/ZeroCopy.h"

#include <algorithm>
#include <cerrno>
#include <climits>

bool TCustomWSocket::HoldsReceivedBytes()
{
    return false;
}

std::int64_t TCustomWSocket::ReceiveToPipe(int PipeFd, std::int64_t Len, int& SysError)
{
    SysError = 0;
    if (HoldsReceivedBytes()) {
        // Bytes a layer took off the handle come first, through the layer's own Receive;
        // the pipe is empty, so one small write never blocks.
        char buffer[16384];
        std::int64_t n = Receive(buffer, std::min<std::int64_t>(Len, sizeof buffer));
        if (n <= 0)
            return n;
        if (platform::PipeWrite(PipeFd, buffer, std::size_t(n)) != n) {
            // Cannot happen with an empty pipe of at least 16 KiB; the bytes would be lost,
            // so say so rather than go on.
            SysError = EIO;   // not a refusal: the engine must not fall back over lost bytes
            FLastError = wsock::WSAENOBUFS;
            return -1;
        }
        return n;
    }
    std::int64_t n = wsock::RecvToPipe(FHandle, PipeFd, Len, &SysError);
    if (n < 0) {
        FLastError = wsock::WSAGetLastError();
    } else {
        FReadCount += n;
        if (n > 0)
            ++FRecvProgress;   // the receive loop sees a pass that consumed data
    }
    return n;
}

std::int64_t TCustomWSocket::SendFromFile(int File, std::int64_t& Offset, std::int64_t Len, int& SysError)
{
    SysError = 0;
    if (FState != wsConnected) {
        wsock::WSASetLastError(wsock::WSAENOTCONN);
        ReportSocketError("Send");
        return -1;
    }
    if (!FAllSent || BufferedByteCount() > 0) {
        // Queued bytes go first; their OnDataSent brings the caller back.
        FLastError = wsock::WSAEWOULDBLOCK;
        return -1;
    }
    Len = std::min<std::int64_t>(Len, INT_MAX);
    auto alive = FAlive;
    wsock::SOCKET handle = FHandle;
    std::int64_t n = wsock::SendFromFile(FHandle, File, &Offset, Len, &SysError);
    if (n > 0) {
        if (OnSendData)
            OnSendData(this, static_cast<std::int32_t>(n));
        if (!*alive || FHandle != handle)
            return n;
        if (n == Len) {
            // Everything went: OnDataSent comes from the event loop, as after Send.
            FWindow->PostMessage(WM_SOCKET_NOTIFY, FHandle, wsock::WSAMAKESELECTREPLY(int(wsock::FD_WRITE), 0));
        }
        return n;
    }
    if (n == 0)
        return 0;
    int e = wsock::WSAGetLastError();
    FLastError = e;
    if (e == wsock::WSAEWOULDBLOCK)
        return -1;   // the write notification brings OnDataSent when there is room
    if (SysError == EINVAL || SysError == ENOSYS || SysError == EOPNOTSUPP || SysError == ESPIPE)
        return -1;   // the file cannot be sent so; the caller sends it another way
    switch (e) {
    case wsock::WSAECONNRESET:
    case wsock::WSAENOTSOCK:
    case wsock::WSAENOTCONN:
    case wsock::WSAECONNABORTED:
        // The connection is lost, as TryToSend handles it.
        FCloseInvoked = true;
        Close();
        if (!*alive)
            return -1;
        DoSessionClosed(static_cast<std::uint16_t>(e));
        return -1;
    default:
        return -1;
    }
}
