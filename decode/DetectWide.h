// The detector's widest fast lane: 62 positions at a time with AVX2, where
// the counting of steps 8 to 13 is worked out with bit operations on masks
// of the block instead of one automaton step per position. Internal to
// DetectEncoding; see Detect.cpp for the steps themselves.
#pragma once

#include <cstdint>

// What the lane carries from one block to the next, and what it has seen.
struct WideLaneState {
    // In and out: the automaton state of steps 8 to 13, as Detect.cpp keeps
    // it (utf8Skip in bits 0-1, inSjisPair bit 2, inEucPair bit 3), and the
    // flags of steps 3 and 4.
    unsigned State = 0;
    bool SevenBit = true;
    bool OddHighByte = false;
    // Out: counted by the lane (added to).
    int64_t Utf8Sequences = 0;
    int64_t SjisPairs = 0;
    int64_t EucPairs = 0;
    int64_t JisEscapes = 0;
    // Out: the lane stopped at a position it cannot take (a zero byte, CR or
    // LF before a zero byte, '+' while the UTF-7 check runs, ESC $ not
    // followed by 'B').
    bool Stopped = false;
};

// Whether the processor has what the lane needs (AVX2, BMI1, BMI2, POPCNT)
// and runs PEXT at full speed. Does not wait, never throws.
bool DetectWideLaneAvailable();

// Bytes a block of the lane reads from its first position on.
constexpr int64_t WideBlockBytes = 64;

// Takes positions from `from` up to stop (at most count - 1) in blocks, as
// long as a block's bytes lie within count (from + WideBlockBytes - 1 <=
// count) and no position needs the literal steps. Call outside a UTF-7 run
// that is being checked, with plusIsLoud while the UTF-7 check runs, and only
// where DetectWideLaneAvailable() is true. Returns the position reached.
// Allocates nothing, does not wait, never throws.
int64_t DetectWideRun(const uint8_t* buffer, int64_t from, int64_t stop, int64_t count, bool plusIsLoud,
                      WideLaneState& lane);
