// Conversions of zero-terminated JIS, EUC-JP, UTF-16LE and UTF-8 text into
// zero-terminated Shift_JIS (Shift_JIS-2004, whose JIS X 0208 part is ordinary
// Shift_JIS), with the program's own constant tables.
//
// Two-call protocol shared by the four converters:
//  - with output == nullptr the converter walks the whole input and returns the
//    output length without the terminator; the capacity is not looked at;
//  - with an output it keeps a running total of the output length, the current
//    character included; when the total reaches or passes the capacity it stops
//    before writing that character. At the end it writes one terminating zero
//    behind what it wrote if the total does not exceed the capacity (nothing at
//    all with a capacity of 0). It returns -1 if it stopped on the capacity,
//    else the total.
// So a capacity of measured length + 1 converts everything and returns the
// measured length. Lengths count bytes, or 16-bit units for Utf8ToUtf16.
//
// The input ends at its terminating zero and nothing behind it is ever read: a
// character cut short by the terminator (a lead byte, an escape-introduced
// double-byte character, a multi-byte UTF-8 sequence) yields nothing and the
// conversion ends there. Malformed input always converts to something; a
// character without a mapping becomes '?'. None of them allocates, waits or
// throws; they keep no state between calls and may run on any thread.
#pragma once

#include <cstdint>

#include "decode/PassProgress.h"

// JIS (ISO-2022-JP family with JIS X 0201, 0208, 0212 and 0213 escapes) to
// Shift_JIS bytes.
int64_t JisToSjis(uint8_t* output, const uint8_t* input, uint64_t capacity);
// EUC-JP (with SS2 katakana and SS3 JIS X 0212 / JIS X 0213 plane 2) to
// Shift_JIS bytes.
int64_t EucToSjis(uint8_t* output, const uint8_t* input, uint64_t capacity);
// UTF-16 code units in machine (little-endian) order to Shift_JIS bytes; each
// unit stands alone, so a byte-order mark and each surrogate half become '?'.
int64_t Utf16ToSjis(uint8_t* output, const uint16_t* input, uint64_t capacity);
// UTF-8 to UTF-16 code units (Basic Multilingual Plane only: a sequence of 4 to
// 6 bytes becomes one '?'); ends at a zero byte or a sequence that decodes to 0.
int64_t Utf8ToUtf16(uint16_t* output, const uint8_t* input, uint64_t capacity);

// UTF-8 straight to Shift_JIS: the same text, measured and converted by the
// same protocol, as Utf16ToSjis gives on the output of Utf8ToUtf16, without
// the UTF-16 text in between.
int64_t Utf8ToSjis(uint8_t* output, const uint8_t* input, uint64_t capacity);

// The end of a conversion, for showing the tail of a long text without
// holding all of it.

// The converter of a route: JisToSjis, EucToSjis, Utf16ToSjis (the input read
// as 16-bit units, so it must be 2-byte aligned) or Utf8ToSjis.
enum class SjisRoute { Jis, Euc, Utf16, Utf8 };

// A character boundary where a conversion can resume: input offset in bytes,
// the output before it, the converter's mode there.
struct SjisResume {
    uint64_t Input = 0;
    uint64_t Output = 0;
    int Mode = 0;
};

struct SjisMeasure {
    uint64_t Length = 0;       // what the measuring call returns
    uint64_t TextLength = 0;   // up to the output's first zero byte: a malformed JIS
                               // double-byte character may make one inside
    // The last few places, 64 KiB of input apart, where a tail conversion
    // may resume instead of starting over (Resumes counts all kept ones).
    static constexpr int RecentCount = 4;
    SjisResume Recent[RecentCount];
    int Resumes = 0;
};
// The route's measuring call, also telling where the zero-terminated text
// ends. With progress, reports about every progress->Every input bytes.
SjisMeasure MeasureSjis(SjisRoute route, const uint8_t* input, const PassProgress* progress = nullptr);
// Converts input by the route and writes the output from byte start on into
// window, by the capacity rule with windowSize as the capacity; returns the
// number of bytes written before the terminator. The bytes are exactly those
// at start and behind in the whole output (a character running across start
// gives only its bytes from start on): a window of measured length - start + 1
// bytes holds all of them. Reports progress as MeasureSjis does. Given the
// route's measure of the same input, starts at its last resume point before
// start instead of at the beginning. With progress->Final it tells before
// each report how many bytes from the window's start are final (see
// PassProgress). Neither allocates, waits or throws.
uint64_t ConvertSjisTail(SjisRoute route, const uint8_t* input, uint64_t start, uint8_t* window,
                         uint64_t windowSize, const PassProgress* progress = nullptr,
                         const SjisMeasure* measure = nullptr);

// For tests and fuzzers: with false, every converter (and the tail's passes)
// takes its input one character at a time through its literal steps, without
// the fast lanes (plain runs, stretches, SIMD blocks, the derived tables);
// the results must not change. Applies to calls made afterwards, everywhere.
void SetConverterFastLanes(bool enabled);
// For tests and fuzzers: with false, the fast lanes keep to their narrow
// (SSE2) forms where wider ones (AVX2, PEXT) would run; the results must not
// change.
void SetConverterWideLanes(bool enabled);
// For tests: ConvertSjisTail passes with progress started afterwards call
// pause on their thread after each block their fast lanes store past what
// they have converted (nullptr, the default: none), so that a thread reading
// the window meanwhile sees those bytes.
void SetConverterStorePause(void (*pause)());

// Helpers shared by the converters.

// Writes code to output (if not null): two bytes high first when code >= 0x100,
// one byte otherwise, '?' for 0 (no mapping). Returns the length, 1 or 2.
int PutSjisChar(uint8_t* output, uint16_t code);
// JIS code (row * 256 + cell) to Shift_JIS code. plane 1 is JIS X 0208 and
// JIS X 0213 plane 1, plane 2 is JIS X 0213 plane 2 (0 for its rows that have
// no Shift_JIS place). No range check in plane 1.
uint16_t JisCodeToSjis(uint16_t code, int plane);
// One UTF-16 code unit to its Shift_JIS code; 0 when it has none.
uint16_t UnicodeToSjisChar(uint16_t unit);
// JIS X 0212 code to Shift_JIS code; 0 outside the table or without a mapping.
uint16_t Jisx0212ToSjis(uint16_t code);
// Decodes the UTF-8 sequence at input; stores its length in bytes (1 to 6)
// through length when not null. Sequences of 4 to 6 bytes give 0xFFFF;
// continuation bytes are not checked and overlong forms are accepted. A
// sequence cut by a zero byte gives 0 (with the length up to that byte), so
// nothing behind the terminator is read.
uint16_t DecodeUtf8Char(const uint8_t* input, int* length);
