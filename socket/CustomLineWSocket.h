// TCustomLineWSocket: the line-mode layer of the socket chain: received bytes collected and
// offered one line at a time, with optional echo and backspace/tab editing.
#pragma once

#include "socket/CustomSslWSocket.h"

#include <cstdint>
#include <string>
#include <vector>

// The line-mode layer. With LineMode off (the default) every byte passes through unchanged.
// With LineMode on and a non-empty LineEnd, OnDataAvailable(0) is raised once per complete
// line, RcvdCount tells the length of that line (line end included) and Receive/ReceiveStr
// read only from it; bytes after it wait for their own line. A handler that returns without
// reading anything of the offered line keeps it: it is offered again with the next data,
// message 1044 or the close. When the session closes, an unfinished last line is offered
// before OnSessionClosed. Switching LineMode re-offers buffered bytes under the new mode.
class TCustomLineWSocket : public TCustomSslWSocket {
public:
    // Creates the object; line mode off, LineEnd carriage return + line feed.
    TCustomLineWSocket();
    ~TCustomLineWSocket() override;

    // ---- properties ----

    // Deliver data line by line. Switching it while bytes are buffered posts message 1044,
    // which offers them again under the new mode.
    bool LineMode() const { return FLineMode; }
    virtual void SetLineMode(bool Value);
    // The line terminator, any length; empty means raw delivery even in line mode.
    const std::string& LineEnd() const { return FLineEnd; }
    void SetLineEnd(const std::string& Value);
    // Send received bytes back to the peer (in line mode).
    bool LineEcho() const { return FLineEcho; }
    void SetLineEcho(bool Value) { FLineEcho = Value; }
    // Apply backspace and tab editing to received bytes (in line mode).
    bool LineEdit() const { return FLineEdit; }
    void SetLineEdit(bool Value) { FLineEdit = Value; }
    // Bytes held in the line buffer, not yet read by the user.
    std::int64_t LineBufCount() const { return FLineBufCount; }
    // Unread bytes of the line being offered (line end included); 0 between lines.
    std::int64_t LineLength() const { return FLineLength; }
    // In line mode the length of the offered line; with buffered bytes after switching line
    // mode off, their count; otherwise the bytes ready below.
    std::int64_t RcvdCount() override;
    // Reads from the line buffer as described above; buffered bytes count in ReadCount
    // once, when they came off the network.
    std::int64_t Receive(void* Buffer, std::int64_t Len) override;

protected:
    // Edits the Count new bytes that follow the LineBufCount buffered ones: backspace (8)
    // removes the byte before it (also one buffered earlier, but never one of a line
    // already offered), tab (9) becomes spaces up to the next multiple of 8. On return
    // Count and LineBufCount describe the edited text; Echo holds what the peer should see
    // (when LineEcho is on).
    virtual void EditLine(std::int64_t& Count, std::string& Echo);

    void WndProc(platform::TMessage& Msg) override;
    bool DoDataAvailable(std::uint16_t Error) override;
    void DoSessionClosed(std::uint16_t Error) override;
    void DoChangeState(TSocketState OldState, TSocketState NewState) override;
    std::int64_t RawReceive(void* Buffer, std::int64_t Len, int Flags) override;
    bool HoldsReceivedBytes() override;

    // ---- fields ----
    // Storage; the undelivered bytes are FLineBuf[FLineStart, FLineStart + FLineBufCount).
    std::vector<char> FLineBuf;
    std::int64_t FLineStart = 0;
    std::int64_t FLineBufCount = 0;
    std::string FLineEnd;
    bool FLineMode = false;
    std::int64_t FLineLength = 0;
    bool FLineEcho = false;
    bool FLineEdit = false;

private:
    // Line mode is in force for the data (on, a line end to look for, no SOCKS negotiation).
    bool LineActive() const;
    // Offers each complete line that the buffer holds; false when the socket was destroyed
    // or its session changed meanwhile (the caller must stop then).
    bool DeliverLines();
    // Offers the line of FLineLength bytes until it is read, dropped or left pending.
    bool OfferLine();
    // Takes Len bytes from the start of the buffer.
    void Consume(std::int64_t Len);
    // Makes room for Len more bytes after the buffered ones.
    char* Reserve(std::int64_t Len);
    // Forgets everything buffered and frees the storage.
    void FreeLineBuffer();
    // Message 1044: offers buffered bytes again while someone takes them.
    void Redeliver();

    // Where the next line-end search starts, relative to FLineStart.
    std::int64_t FLineSearchFrom = 0;
    // Counts bytes taken from the buffer, so the loops can tell a pass that took nothing.
    std::uint64_t FLineConsumed = 0;
    // Changes at the end of every session, so a delivery loop notices a close inside a handler.
    std::uint64_t FLineSession = 0;
    // Nesting depth of line offers (a close inside a handler must not offer lines again).
    int FLineDelivering = 0;
    // Set while the layer itself reads into the buffer.
    bool FLineFilling = false;
};
