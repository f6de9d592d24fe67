// Small Shift_JIS text services of the viewer: the lead-byte test, a
// lower-casing that never changes a byte length, the byte comparison that
// confirms a search candidate, and the search and line filter that the find
// commands and "&Grep" run over the view's bytes. Nothing here waits, throws
// or keeps state; every function may run on any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace sjis {

inline constexpr std::size_t npos = std::string_view::npos;

// True for the bytes that open a double-byte character: 0x81-0x9F and
// 0xE0-0xFC.
constexpr bool IsLeadByte(unsigned char byte)
{
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

// Several functions below take firstByteAlone: the first byte of the text is
// a character on its own whatever it is (the view shows the rest of a
// character cut in two that way), so the lead-byte walk starts at byte 1.

// Lower-cases the ASCII letters A-Z of a Shift_JIS text in place, reading it
// from its start: the second byte of a double-byte character is never touched,
// half-width katakana and double-byte letters stay as they are, and the length
// never changes.
void LowerInPlace(std::string& text, bool firstByteAlone = false);

// The byte comparison that confirms a candidate: true when the n bytes at a
// and at b are equal.
bool SameBytes(const char* a, const char* b, std::size_t n);

// The offset of the first byte-exact occurrence of needle in text that starts
// at or after from and does not begin on the second byte of a double-byte
// character (character boundaries are found by reading text from its start
// with the lead-byte rule); npos when there is none or needle is empty.
std::size_t FindOnCharBoundary(std::string_view text, std::string_view needle,
                               std::size_t from = 0, bool firstByteAlone = false);

// The search of "Find Next" over a copy of the view's bytes. Unless
// matchCase, find text and copy are lower-cased as LowerInPlace does; the
// bytes before caret are then replaced by 0x01 and the first occurrence at or
// after caret that begins on a character boundary of the copy is taken.
// Returns its offset, the same offset in text; npos when there is none.
std::size_t SearchText(std::string_view text, std::size_t caret, std::string_view find,
                       bool matchCase, bool firstByteAlone = false);

// What the line filter leaves of a text.
struct FilterResult {
    std::string Text;           // the kept lines, each with its own line break
    std::size_t Dropped = 0;    // lines dropped
    bool FirstLineKept = false;
    std::size_t Caret = 0;      // the caret's offset carried into Text
};

// The line filter: keeps the lines of text (ended by CR LF, a lone CR or a
// lone LF; the last one possibly unended) that hold needle as
// FindOnCharBoundary finds it (an empty needle is in no line), each with its
// own line break, and drops the others, as deleting the dropped lines one by
// one would. The caret offset moves with the text around it; inside a dropped
// line it goes to where that line was.
FilterResult FilterLines(std::string_view text, std::string_view needle, std::size_t caret = 0,
                         bool firstByteAlone = false);

} // namespace sjis
