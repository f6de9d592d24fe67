// The find dialog's options over the view's Shift_JIS bytes: the search
// upward and the whole-word test, with the byte rules of the forward search
// (a match never begins on the second byte of a double-byte character).
// Nothing here waits, throws or keeps state.
#pragma once

#include <cstddef>
#include <string_view>

namespace sjis {

struct FindOptions {
    bool MatchCase = false;
    bool WholeWord = false;
    bool Up = false;
};

// True for the bytes of a single-byte character that belong to a word: ASCII
// letters, digits and '_', and half-width katakana (0xA1-0xDF). Double-byte
// characters are word characters whatever their bytes.
bool IsWordByte(unsigned char byte);

// Searches text for find from caret with the options:
// - Down without WholeWord is SearchText itself (the plain "Find Next").
// - Down with WholeWord: the first occurrence at or after caret whose
//   neighbouring characters are not word characters.
// - Up: the last occurrence that ends at or before caret (so repeated
//   searches from a match's start walk to the previous one), whole-word
//   filtered when asked.
// Character boundaries are read from the start of the text (firstByteAlone:
// its first byte is a character of its own); a caret inside a character
// counts from that character's start. Returns the match's offset or npos.
std::size_t SearchDirected(std::string_view text, std::size_t caret, std::string_view find,
                           const FindOptions& options, bool firstByteAlone = false);

} // namespace sjis
