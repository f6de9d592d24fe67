// Progress of a long pass over a buffer, for callers that give back the
// memory of what the pass has left behind (a mapped file's pages).
#pragma once

#include <cstdint>

struct PassProgress {
    // Called with the position the pass has reached: it reads nothing before
    // it from then on. Must not throw.
    void (*Reached)(const uint8_t* position, void* context) = nullptr;
    void* Context = nullptr;
    // About how many bytes (or units) lie between two calls.
    int64_t Every = int64_t(8) << 20;
};
