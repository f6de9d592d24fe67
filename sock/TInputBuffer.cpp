#include "sock/TInputBuffer.h"

#include <algorithm>
#include <cstring>

size_t TInputBuffer::LineLength()
{
    const char* start = FBytes.data() + FBegin;
    const void* lf = std::memchr(start + FScanned, '\n', Size() - FScanned);
    if (!lf) {
        FScanned = Size();
        return 0;
    }
    return size_t(static_cast<const char*>(lf) - start) + 1;
}

char* TInputBuffer::Room(size_t& length)
{
    if (FBegin > 0 && FEnd == FBytes.size()) {
        std::memmove(FBytes.data(), FBytes.data() + FBegin, Size());
        FEnd -= FBegin;
        FBegin = 0;
    }
    length = FBytes.size() - FEnd;
    return FBytes.data() + FEnd;
}

void TInputBuffer::Take(size_t length)
{
    length = std::min(length, Size());
    FBegin += length;
    FScanned = FScanned > length ? FScanned - length : 0;
    if (FBegin == FEnd)
        FBegin = FEnd = 0;
}
