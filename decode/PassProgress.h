// Progress of a long pass over a buffer, for callers that give back the
// memory of what the pass has left behind (a mapped file's pages).
#pragma once

#include <atomic>
#include <cstdint>

struct PassProgress {
    // Called with the position the pass has reached: it reads nothing before
    // it from then on. Must not throw.
    void (*Reached)(const uint8_t* position, void* context) = nullptr;
    void* Context = nullptr;
    // About how many bytes (or units) lie between two calls.
    int64_t Every = int64_t(8) << 20;
    // Of a pass that writes an output (ConvertSjisTail): where it keeps how
    // many bytes from the output's start are final, which it never writes
    // again. It stores the count with release ordering before each call of
    // Reached, so another thread that loads it with acquire ordering may read
    // that many bytes. The bytes behind them are no text yet: the fast lanes
    // store whole blocks past what they have converted and write over them
    // afterwards.
    std::atomic<uint64_t>* Final = nullptr;
};
