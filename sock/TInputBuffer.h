// TInputBuffer: the bytes a socket has delivered ahead of the reader, for
// taking lines one by one without asking the socket for each of them. It
// holds at most its capacity; a line is found by scanning each byte once,
// and the unread rest is moved to the front at most once per line taken.
#pragma once

#include <cstddef>
#include <vector>

class TInputBuffer {
public:
    explicit TInputBuffer(size_t capacity) : FBytes(capacity) {}

    size_t Size() const { return FEnd - FBegin; }
    bool Empty() const { return FEnd == FBegin; }
    bool Full() const { return Size() >= FBytes.size(); }
    const char* Data() const { return FBytes.data() + FBegin; }
    // Length of the first line, its LF included; 0 while no LF is there.
    // Bytes already scanned are not scanned again.
    size_t LineLength();
    // Free room after the held bytes (moved to the front first); its length
    // goes to length (0 when full).
    char* Room(size_t& length);
    // length bytes were written into Room.
    void Added(size_t length) { FEnd += length; }
    // Drops the first length bytes (at most Size()).
    void Take(size_t length);
    void Clear() { FBegin = FEnd = FScanned = 0; }

private:
    std::vector<char> FBytes;
    size_t FBegin = 0;   // first unread byte
    size_t FEnd = 0;     // one past the last held byte
    size_t FScanned = 0; // bytes from FBegin known to hold no LF
};
