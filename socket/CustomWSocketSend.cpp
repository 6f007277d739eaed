// TCustomWSocket: the send path (block queue, Send/SendTo/Flush, TryToSend, send flags).
#include "socket/CustomWSocket.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <deque>
#include <vector>

namespace {

// Drained blocks kept per socket for reuse; enough for a send buffer's worth of data.
constexpr std::size_t kMaxSpareBlocks = 64;
// Queued blocks from which on the queue is sent by gather calls.
constexpr std::size_t kGatherMinBlocks = 8;
// Bytes of queued blocks handed to one gather call.
constexpr std::size_t kGatherBytes = 256 * 1024;

// The gather buffer of this thread: the bytes are handed to the system inside the call,
// so sockets of one thread can share it.
std::vector<char>& GatherBuffer()
{
    thread_local std::vector<char> buffer(kGatherBytes);
    return buffer;
}

} // namespace

std::unique_ptr<TBuffer> TCustomWSocket::NewBlock()
{
    if (!FSpareBlocks.empty()) {
        std::unique_ptr<TBuffer> block = std::move(FSpareBlocks.back());
        FSpareBlocks.pop_back();
        return block;
    }
    return std::make_unique<TBuffer>(FSendBlockSize);
}

void TCustomWSocket::QueueSendData(const void* Data, std::int64_t Len)
{
    if (Len <= 0)
        return;
    if (FSendQueue.empty())
        FSendQueue.push_back(NewBlock());
    TBuffer* block = FSendQueue.back().get();
    const char* p = static_cast<const char*>(Data);
    for (;;) {
        auto chunk = static_cast<std::int32_t>(std::min<std::int64_t>(Len, INT_MAX));
        std::int32_t n = block->Write(p, chunk);
        if (n < Len) {
            p += n;
            Len -= n;
            FSendQueue.push_back(NewBlock());
            block = FSendQueue.back().get();
        } else {
            break;
        }
    }
}

void TCustomWSocket::DiscardSendQueue()
{
    FSendQueue.clear();
    ++FQueueGeneration;
}

std::int64_t TCustomWSocket::BufferedByteCount() const
{
    std::int64_t total = 0;
    for (const auto& block : FSendQueue) {
        std::int32_t len;
        block->Peek(len);
        total += len;
    }
    return total;
}

int TCustomWSocket::RawSend(const void* Data, int Len)
{
    int n;
    if (FSocketType == wsock::SOCK_DGRAM)
        n = wsock::sendto(FHandle, static_cast<const char*>(Data), Len, FSendFlagsValue,
                          reinterpret_cast<const wsock::sockaddr*>(&FRemoteSin), sizeof FRemoteSin);
    else
        n = wsock::send(FHandle, static_cast<const char*>(Data), Len, FSendFlagsValue);
    if (n > 0 && OnSendData)
        OnSendData(this, n);
    return n;
}

void TCustomWSocket::TryToSend()
{
    if (FHandle == wsock::INVALID_SOCKET)
        return;
    if (FSendQueue.empty()) {
        // Nothing queued is nothing unsent: without this a Send of 0 bytes on a fresh
        // queue would never see OnDataSent, and Flush would wait for ever.
        FAllSent = true;
        return;
    }
    // A Send from an OnSendData handler only queues: this loop, which is still running,
    // sends the new bytes after its own bookkeeping, so nothing goes out twice.
    if (FInTryToSend)
        return;
    auto alive = FAlive;
    FInTryToSend = true;
    struct Leave {
        const std::shared_ptr<bool>& alive;
        bool& flag;
        ~Leave()
        {
            if (*alive)   // a handler may have destroyed the socket
                flag = false;
        }
    } leave{alive, FInTryToSend};

    wsock::SOCKET handle = FHandle;
    for (;;) {
        TBuffer* block = FSendQueue.front().get();
        std::int32_t count;
        const char* p = block->Peek(count);
        if (count == 0) {
            if (FSendQueue.size() == 1) {
                FAllSent = true;
                return;
            }
            std::unique_ptr<TBuffer> spent = std::move(FSendQueue.front());
            FSendQueue.pop_front();
            if (FSpareBlocks.size() < kMaxSpareBlocks) {
                spent->Clear();
                FSpareBlocks.push_back(std::move(spent));
            }
            continue;
        }
        if (FSendQueue.size() >= kGatherMinBlocks && FSocketType == wsock::SOCK_STREAM && FSendFlagsValue == 0) {
            // Gather send: a backlog of many blocks (a file being streamed) goes out in one
            // call of up to 256 KiB instead of one call per 1514 bytes, which cost a system
            // call per block. The socket library has no gather call, so the bytes pass
            // through one buffer. The blocks stay queued; only the bytes the system took are
            // removed below. A short queue keeps one call per block.
            std::vector<char>& gather = GatherBuffer();
            std::size_t used = 0;
            for (const auto& b : FSendQueue) {
                std::int32_t len;
                const char* data = b->Peek(len);
                if (len <= 0)
                    continue;
                std::size_t take = std::min<std::size_t>(std::size_t(len), kGatherBytes - used);
                std::memcpy(gather.data() + used, data, take);
                used += take;
                if (used == kGatherBytes)
                    break;
            }
            p = gather.data();
            count = static_cast<std::int32_t>(used);
        }
        std::uint64_t generation = FQueueGeneration;
        int n = RawSend(p, count);
        if (!*alive)
            return;
        if (n > 0 && (FHandle != handle || generation != FQueueGeneration))
            return;   // OnSendData closed the socket or dropped the queue under us
        if (n == 0)
            return;
        if (n < 0) {
            int e = wsock::WSAGetLastError();
            switch (e) {
            case wsock::WSAECONNRESET:
            case wsock::WSAENOTSOCK:
            case wsock::WSAENOTCONN:
            case wsock::WSAEINVAL:
            case wsock::WSAECONNABORTED:
                FCloseInvoked = true;
                Close();
                if (!*alive)
                    return;
                DoSessionClosed(static_cast<std::uint16_t>(e));
                return;
            case wsock::WSAEWOULDBLOCK:
                return;
            default:
                ReportSocketError("TryToSend failed");
                return;
            }
        }
        // Take the sent bytes off the front blocks; emptied blocks are recycled above.
        std::int32_t left = n;
        for (const auto& b : FSendQueue) {
            if (left == 0)
                break;
            left -= b->Remove(left);
        }
        if (n < count)
            return;   // the system's buffer is full; the next write notification goes on
    }
}

std::int64_t TCustomWSocket::Send(const void* Data, std::int64_t Len)
{
    if (FState != wsConnected) {
        wsock::WSASetLastError(wsock::WSAENOTCONN);
        ReportSocketError("Send");
        return -1;
    }
    FAllSent = false;
    std::int64_t result = 0;
    auto alive = FAlive;
    if (Len > 0) {
        const char* p = static_cast<const char*>(Data);
        std::int64_t left = Len;
        bool queueEmpty = FSendQueue.empty() || (FSendQueue.size() == 1 && FSendQueue.front()->ReadPos() == FSendQueue.front()->WritePos());
        if (queueEmpty && !FInTryToSend && Len >= std::int64_t(kGatherMinBlocks) * FSendBlockSize
            && FSocketType == wsock::SOCK_STREAM && FSendFlagsValue == 0) {
            // A large write on an empty queue goes to the system straight from the caller's
            // buffer; only what the system does not take now is queued. Streaming a file
            // this way costs no copies beyond the system's own.
            wsock::SOCKET handle = FHandle;
            // A Send from an OnSendData handler run inside this call only queues (as it does
            // inside TryToSend): its bytes belong after the rest of these.
            FInTryToSend = true;
            int n = RawSend(p, static_cast<int>(std::min<std::int64_t>(Len, INT_MAX)));
            if (!*alive)
                return Len;
            FInTryToSend = false;
            if (FHandle != handle)
                return Len;   // OnSendData closed the socket
            if (n > 0) {
                p += n;
                left -= n;
            }
            if (left > 0 && BufferedByteCount() > 0) {
                // The handler queued more: the part the system did not take goes first.
                std::deque<std::unique_ptr<TBuffer>> later;
                later.swap(FSendQueue);
                QueueSendData(p, left);
                for (auto& block : later)
                    FSendQueue.push_back(std::move(block));
                left = 0;
            }
        }
        if (left > 0)
            QueueSendData(p, left);
        else if (FSendQueue.empty() || BufferedByteCount() == 0)
            FAllSent = true;
        result = Len;
    }
    TryToSend();
    if (!*alive)
        return result;
    if (FAllSent && FHandle != wsock::INVALID_SOCKET) {
        // OnDataSent comes from the event loop, never from inside Send; the handle in the
        // message drops it if the connection changes meanwhile.
        FWindow->PostMessage(WM_SOCKET_NOTIFY, FHandle, wsock::WSAMAKESELECTREPLY(int(wsock::FD_WRITE), 0));
    }
    return result;
}

std::int64_t TCustomWSocket::SendStr(const std::string& Str)
{
    return Send(Str.data(), static_cast<std::int64_t>(Str.size()));
}

int TCustomWSocket::SendTo(const wsock::sockaddr_in& Dest, int DestLen, const void* Data, int Len)
{
    wsock::sockaddr_in dest = Dest;
    int n = wsock::sendto(FHandle, static_cast<const char*>(Data), Len, FSendFlagsValue,
                          reinterpret_cast<const wsock::sockaddr*>(&dest), DestLen);
    if (n > 0 && OnSendData)
        OnSendData(this, n);
    return n;
}

void TCustomWSocket::Flush()
{
    auto alive = FAlive;
    while (FHandle != wsock::INVALID_SOCKET && !FAllSent) {
        TryToSend();
        if (!*alive)
            return;
        PumpMessages();
        if (!*alive)
            return;
    }
}

TSocketSendFlags TCustomWSocket::SendFlags()
{
    switch (FSendFlagsValue) {
    case 0:
        return wsSendNormal;
    case wsock::MSG_OOB:
        return wsSendUrgent;
    default:
        SignalError("Invalid internal SendFlags");
        return wsSendNormal;
    }
}

void TCustomWSocket::SetSendFlags(TSocketSendFlags Value)
{
    switch (Value) {
    case wsSendNormal:
        FSendFlagsValue = 0;
        break;
    case wsSendUrgent:
        FSendFlagsValue = wsock::MSG_OOB;
        break;
    default:
        SignalError("Invalid SendFlags");
        break;
    }
}
