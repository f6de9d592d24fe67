// The measuring calls' widest lanes: 32 bytes at a time with AVX2 on the
// UTF-16, UTF-8 and JIS routes to Shift_JIS. Internal to the converters; see
// Convert.cpp for the two-call protocol they serve.
#pragma once

#include <cstdint>

// Whether the processor has what the lanes need (AVX2, POPCNT, PCLMUL).
// Does not wait, never throws.
bool ConvertWideLanesAvailable();

// Both lanes pass p over whole characters and return their Shift_JIS length,
// as long as that stays within budget, where twoByte holds bit u for each
// UTF-16 unit u whose code takes two bytes. They stop before anything they
// do not take (the terminator among it) and may stop earlier, near the end
// of the budget or of a page; they return 0 if they take nothing. Their wide
// loads stay within the pages of the bytes they pass or stop before. Call
// only where ConvertWideLanesAvailable() is true. Allocate nothing, never
// throw.

// UTF-16 units, each a character of its own.
uint64_t Utf16MeasureWide(const uint16_t*& p, uint64_t budget, const uint64_t* twoByte);
// UTF-8 bytes 0x01-0x7F and three-byte sequences with a lead of 0xE1-0xEF.
uint64_t Utf8SjisMeasureWide(const uint8_t*& p, uint64_t budget, const uint64_t* twoByte);

// JIS in ASCII and JIS X 0208 (kanji true) modes, as JisToSjis measures it:
// bytes but the terminator and ESC in ASCII, whole pairs of graphic bytes in
// JIS X 0208, and the escapes ESC $ B, ESC $ @ and ESC ( B between them.
// Passes at most budget bytes of input, returns the Shift_JIS length of what
// it passed and leaves kanji as the mode there; the rest as above.
uint64_t JisMeasureWide(const uint8_t*& p, uint64_t budget, bool& kanji);
