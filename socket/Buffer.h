// TBuffer: one fixed-size block of a socket's send queue.
#pragma once

#include <cstdint>
#include <memory>

// A block of bytes written at one end and read (sent) at the other. Invariant:
// 0 <= ReadPos <= WritePos <= Size; when everything written has been read, both
// positions return to 0 so the block is reused.
class TBuffer {
public:
    // A block of Size bytes; a Size of 0 or less means 1514.
    explicit TBuffer(std::int32_t Size);
    TBuffer(const TBuffer&) = delete;
    TBuffer& operator=(const TBuffer&) = delete;

    // Copies as much of Data as fits after WritePos; returns the count copied (0 when full).
    std::int32_t Write(const void* Data, std::int32_t Len);
    // The unread bytes: a pointer to them and their count in Len (null and 0 when none).
    const char* Peek(std::int32_t& Len) const;
    // Marks up to Len unread bytes as read; returns the count taken.
    std::int32_t Remove(std::int32_t Len);
    // Forgets the contents (both positions to 0).
    void Clear() { FWritePos = FReadPos = 0; }

    // The block size.
    std::int32_t Size() const { return FSize; }
    // Bytes written into the block.
    std::int32_t WritePos() const { return FWritePos; }
    // Bytes of the block already read.
    std::int32_t ReadPos() const { return FReadPos; }
    // The storage.
    const char* Data() const { return FData.get(); }

private:
    std::unique_ptr<char[]> FData;
    std::int32_t FSize;
    std::int32_t FWritePos = 0;
    std::int32_t FReadPos = 0;
};
