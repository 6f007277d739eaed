// TBuffer: the send queue's block.
#include "socket/Buffer.h"

#include <algorithm>
#include <cstring>

TBuffer::TBuffer(std::int32_t Size) : FSize(Size > 0 ? Size : 1514)
{
    FData = std::make_unique<char[]>(std::size_t(FSize));
}

std::int32_t TBuffer::Write(const void* Data, std::int32_t Len)
{
    std::int32_t n = std::min(Len, FSize - FWritePos);
    if (n <= 0)
        return 0;
    std::memcpy(FData.get() + FWritePos, Data, std::size_t(n));
    FWritePos += n;
    return n;
}

const char* TBuffer::Peek(std::int32_t& Len) const
{
    Len = FWritePos - FReadPos;
    if (Len <= 0) {
        Len = 0;
        return nullptr;
    }
    return FData.get() + FReadPos;
}

std::int32_t TBuffer::Remove(std::int32_t Len)
{
    std::int32_t n = std::min(Len, FWritePos - FReadPos);
    if (n <= 0)
        return 0;
    FReadPos += n;
    if (FReadPos >= FWritePos)
        FReadPos = FWritePos = 0;
    return n;
}
