// TCustomLineWSocket: the line buffer, the line search and offer loop, echo and editing,
// the re-delivery message and the last line at the close.
#include "socket/CustomLineWSocket.h"

#include <algorithm>
#include <cstring>

namespace {

// Raises the nesting count of line offers for the life of a scope; the count is left alone
// when a handler destroyed the socket meanwhile.
class TDeliveryScope {
public:
    TDeliveryScope(const std::shared_ptr<bool>& alive, int& depth) : FAlive(alive), FDepth(depth) { ++FDepth; }
    ~TDeliveryScope()
    {
        if (*FAlive)
            --FDepth;
    }
    TDeliveryScope(const TDeliveryScope&) = delete;
    TDeliveryScope& operator=(const TDeliveryScope&) = delete;

private:
    std::shared_ptr<bool> FAlive;
    int& FDepth;
};

} // namespace

TCustomLineWSocket::TCustomLineWSocket() : FLineEnd("\r\n") {}

TCustomLineWSocket::~TCustomLineWSocket() = default;

// ---- properties ----

bool TCustomLineWSocket::LineActive() const
{
    return FLineMode && !FLineEnd.empty() && !Negotiating();
}

void TCustomLineWSocket::SetLineMode(bool Value)
{
    if (Value == FLineMode)
        return;
    FLineMode = Value;
    if (FLineBufCount > 0 || FLineLength > 0)
        platform::PostMessage(WindowHandle(), WM_LINE_REDELIVERY, 0, 0);
}

void TCustomLineWSocket::SetLineEnd(const std::string& Value)
{
    FLineEnd = Value;
    FLineSearchFrom = 0;   // bytes searched for the old terminator may hold the new one
}

std::int64_t TCustomLineWSocket::RcvdCount()
{
    if (FLineMode && !FLineEnd.empty() && !Negotiating())
        return FLineLength;
    // Bytes buffered before line mode was switched off are read first, so ReceiveStr must
    // see them as well as Receive.
    if (FLineBufCount > 0)
        return FLineBufCount;
    return TCustomSslWSocket::RcvdCount();
}

std::int64_t TCustomLineWSocket::Receive(void* Buffer, std::int64_t Len)
{
    const bool fromBuffer = !FLineFilling && !Negotiating() && FLineBufCount > 0 &&
                            (FLineLength > 0 || !FLineMode || FLineEnd.empty());
    std::int64_t n = TCustomSslWSocket::Receive(Buffer, Len);
    if (fromBuffer && n > 0)
        FReadCount -= n;   // counted already by the read that filled the buffer
    return n;
}

// ---- the buffer ----

char* TCustomLineWSocket::Reserve(std::int64_t Len)
{
    // Moving the undelivered rest to the front only after something was taken keeps the
    // cost at one move per read, and none at all while a long line grows piece by piece.
    if (FLineStart > 0) {
        if (FLineBufCount > 0)
            std::memmove(FLineBuf.data(), FLineBuf.data() + FLineStart, std::size_t(FLineBufCount));
        FLineStart = 0;
    }
    std::size_t need = std::size_t(FLineBufCount + Len);
    if (FLineBuf.size() < need)
        FLineBuf.resize(std::max(need, FLineBuf.size() * 2));
    return FLineBuf.data() + FLineBufCount;
}

void TCustomLineWSocket::Consume(std::int64_t Len)
{
    FLineStart += Len;
    FLineBufCount -= Len;
    FLineSearchFrom = std::max<std::int64_t>(FLineSearchFrom - Len, 0);
    FLineConsumed += std::uint64_t(Len);
    if (FLineBufCount == 0) {
        FLineStart = 0;
        FLineSearchFrom = 0;
    }
}

void TCustomLineWSocket::FreeLineBuffer()
{
    std::vector<char>().swap(FLineBuf);
    FLineStart = 0;
    FLineBufCount = 0;
    FLineLength = 0;
    FLineSearchFrom = 0;
}

std::int64_t TCustomLineWSocket::RawReceive(void* Buffer, std::int64_t Len, int Flags)
{
    // The layer's own reads and the proxy negotiation read below the line buffer.
    if (FLineFilling || Negotiating())
        return TCustomSslWSocket::RawReceive(Buffer, Len, Flags);
    const bool peek = (Flags & wsock::MSG_PEEK) != 0;
    const bool active = FLineMode && !FLineEnd.empty();
    if (active && FLineLength > 0) {
        std::int64_t n = std::min(std::max<std::int64_t>(Len, 0), FLineLength);
        std::memcpy(Buffer, FLineBuf.data() + FLineStart, std::size_t(n));
        if (!peek && n > 0) {
            FLineLength -= n;
            Consume(n);
            // A line read outside its offer (it was left pending): the lines behind it
            // have no notification of their own coming.
            if (FLineLength == 0 && FLineDelivering == 0 && FLineBufCount > 0)
                platform::PostMessage(WindowHandle(), WM_LINE_REDELIVERY, 0, 0);
        }
        return n;
    }
    if (!active && FLineBufCount > 0) {
        std::int64_t n = std::min(std::max<std::int64_t>(Len, 0), FLineBufCount);
        std::memcpy(Buffer, FLineBuf.data() + FLineStart, std::size_t(n));
        if (!peek && n > 0) {
            FLineLength = std::max<std::int64_t>(FLineLength - n, 0);
            Consume(n);
        }
        return n;
    }
    if (active) {
        // Between lines nothing is ready: reading on from the network would hand out bytes
        // ahead of the lines still buffered.
        wsock::WSASetLastError(wsock::WSAEWOULDBLOCK);
        return -1;
    }
    return TCustomSslWSocket::RawReceive(Buffer, Len, Flags);
}

// ---- editing ----

void TCustomLineWSocket::EditLine(std::int64_t& Count, std::string& Echo)
{
    char* p = FLineBuf.data() + FLineStart;
    const std::int64_t first = FLineBufCount;   // the new bytes start here
    bool special = false;
    for (std::int64_t k = 0; k < Count && !special; ++k)
        special = p[first + k] == 8 || p[first + k] == 9;
    if (!special) {
        if (FLineEcho)
            Echo.append(p + first, std::size_t(Count));
        return;
    }
    // A line already offered to the user is out of reach of a backspace.
    const std::int64_t floor = FLineLength;
    std::string out;   // the bytes written at [low, w)
    std::int64_t low = first, w = first;
    for (std::int64_t k = 0; k < Count; ++k) {
        char c = p[first + k];
        if (c == 8) {
            if (w > floor) {
                if (FLineEcho)
                    Echo += "\b \b";
                if (!out.empty())
                    out.pop_back();
                --w;
                low = std::min(low, w);
            }
        } else if (c == 9) {
            do {
                out.push_back(' ');
                if (FLineEcho)
                    Echo.push_back(' ');
                ++w;
            } while (w % 8 != 0);
        } else {
            out.push_back(c);
            if (FLineEcho)
                Echo.push_back(c);
            ++w;
        }
    }
    std::size_t need = std::size_t(FLineStart + low) + out.size();
    if (FLineBuf.size() < need)
        FLineBuf.resize(need);
    std::memcpy(FLineBuf.data() + FLineStart + low, out.data(), out.size());
    FLineBufCount = low;
    Count = w - low;
}

// ---- delivery ----

bool TCustomLineWSocket::OfferLine()
{
    auto alive = AliveToken();
    wsock::SOCKET handle = FHandle;
    std::uint64_t session = FLineSession;
    TDeliveryScope scope(alive, FLineDelivering);
    while (LineActive() && FLineLength > 0) {
        std::int64_t before = FLineLength;
        bool handled = TCustomSslWSocket::DoDataAvailable(0);
        if (!*alive || FHandle != handle || session != FLineSession)
            return false;
        if (!handled) {
            // Nobody reads lines: the line is dropped.
            std::int64_t n = FLineLength;
            FLineLength = 0;
            Consume(n);
            break;
        }
        if (FLineLength == before)
            break;   // the handler does not want it now; it stays first in the buffer
    }
    return true;
}

bool TCustomLineWSocket::DeliverLines()
{
    const std::int64_t L = std::int64_t(FLineEnd.size());
    while (LineActive()) {
        if (FLineLength == 0) {
            // Look for the line end only where it can start in bytes not searched before.
            const char* base = FLineBuf.data() + FLineStart;
            const std::int64_t last = FLineBufCount - L;
            std::int64_t found = -1;
            for (std::int64_t i = FLineSearchFrom; i <= last;) {
                const void* hit = std::memchr(base + i, FLineEnd[0], std::size_t(last - i + 1));
                if (!hit)
                    break;
                i = static_cast<const char*>(hit) - base;
                if (std::memcmp(base + i, FLineEnd.data(), std::size_t(L)) == 0) {
                    found = i;
                    break;
                }
                ++i;
            }
            if (found < 0) {
                FLineSearchFrom = std::max<std::int64_t>(FLineBufCount - L + 1, 0);
                return true;
            }
            FLineLength = found + L;
            FLineSearchFrom = FLineLength;
        }
        if (!OfferLine())
            return false;
        if (FLineLength > 0)
            return true;   // left pending, or line mode went off in the middle of the line
    }
    return true;
}

bool TCustomLineWSocket::DoDataAvailable(std::uint16_t Error)
{
    auto alive = AliveToken();
    wsock::SOCKET handle = FHandle;
    if (!LineActive()) {
        for (;;) {
            const bool hadBuffered = FLineBufCount > 0;
            const std::uint64_t before = FLineConsumed;
            bool handled = TCustomSslWSocket::DoDataAvailable(Error);
            if (!*alive)
                return handled;
            // Buffered bytes bring no notification of their own: offer them again while
            // the handler keeps taking some (a handler may read in small pieces).
            if (!handled || !hadBuffered || FHandle != handle || LineActive() || FLineBufCount == 0 ||
                FLineConsumed == before)
                return handled;
        }
    }

    if (FHandle != wsock::INVALID_SOCKET) {
        std::int64_t n = TCustomSslWSocket::RcvdCount();
        if (n > 0) {
            char* dst = Reserve(n);
            FLineFilling = true;
            n = Receive(dst, n);
            FLineFilling = false;
            if (n > 0) {
                std::string echo;
                if (FLineEdit)
                    EditLine(n, echo);
                else if (FLineEcho)
                    echo.assign(dst, std::size_t(n));
                // A line end may straddle the old and the new bytes.
                const std::int64_t L = std::int64_t(FLineEnd.size());
                FLineSearchFrom = std::min(FLineSearchFrom, std::max<std::int64_t>(FLineBufCount - L + 1, 0));
                FLineBufCount += n;
                if (!echo.empty()) {
                    std::uint64_t session = FLineSession;
                    try {
                        SendStr(echo);
                    } catch (...) {
                        // A lost connection reports itself through the close.
                    }
                    if (!*alive || FHandle != handle || session != FLineSession)
                        return true;
                }
            }
        }
    }
    DeliverLines();
    return true;
}

void TCustomLineWSocket::DoSessionClosed(std::uint16_t Error)
{
    auto alive = AliveToken();
    // A close from inside a line handler drops what is left, as a close drops unread data.
    if (FLineDelivering == 0 && LineActive() && FLineBufCount > 0) {
        bool same = DeliverLines();
        if (!*alive)
            return;
        if (same && LineActive() && FLineBufCount > 0 && FLineLength == 0) {
            // The unfinished last line.
            FLineLength = FLineBufCount;
            OfferLine();
            if (!*alive)
                return;
        }
    }
    FreeLineBuffer();
    ++FLineSession;
    TCustomSslWSocket::DoSessionClosed(Error);
}

void TCustomLineWSocket::DoChangeState(TSocketState OldState, TSocketState NewState)
{
    // A new session never inherits bytes of an old one (a connection dropped through an
    // error report ends without OnSessionClosed).
    if ((NewState == wsOpened || NewState == wsBound || (NewState == wsConnected && OldState == wsClosed)) &&
        (FLineBufCount > 0 || FLineLength > 0)) {
        FreeLineBuffer();
        ++FLineSession;
    }
    TCustomSslWSocket::DoChangeState(OldState, NewState);
}

void TCustomLineWSocket::Redeliver()
{
    auto alive = AliveToken();
    wsock::SOCKET handle = FHandle;
    while (FLineBufCount > 0 || (FLineLength > 0 && LineActive())) {
        const std::uint64_t before = FLineConsumed;
        DoDataAvailable(0);
        if (!*alive || FHandle != handle)
            return;
        // Nobody takes the bytes now (no complete line, or a handler that does not read):
        // they wait for the next data or the close.
        if (FLineConsumed == before)
            return;
    }
}

void TCustomLineWSocket::WndProc(platform::TMessage& Msg)
{
    if (Msg.Msg != WM_LINE_REDELIVERY) {
        TCustomSslWSocket::WndProc(Msg);
        return;
    }
    Msg.Result = 0;
    auto alive = AliveToken();
    // The same guard as every other message: a handler's exception goes to
    // HandleEventException and no further.
    auto report = [&](const std::exception& E) {
        try {
            if (*alive)
                HandleEventException(E);
            else
                platform::HandleException(std::current_exception());
        } catch (...) {
            platform::HandleException(std::current_exception());
        }
    };
    try {
        Redeliver();
    } catch (const std::exception& E) {
        report(E);
    } catch (...) {
        std::runtime_error E("Unknown exception");
        report(E);
    }
}

bool TCustomLineWSocket::HoldsReceivedBytes()
{
    // In line mode Receive hands out whole lines only: the bytes must go through it.
    return FLineBufCount > 0 || FLineFilling || (FLineMode && !FLineEnd.empty())
           || TCustomSocksWSocket::HoldsReceivedBytes();
}
