#include "view/SjisText.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace sjis {

namespace {

constexpr uint64_t HighBits = 0x8080808080808080ull;

// Eight bytes at p, and whether all of them are below 0x80 (so none is a lead
// byte and each is a character of its own). Logs are mostly such bytes: the
// walks below take them eight at a time.
inline bool AsciiWord(const char* p, uint64_t& word)
{
    std::memcpy(&word, p, sizeof word);
    return (word & HighBits) == 0;
}

// The first character start at or after target, walking the lead-byte rule
// from at, itself a character start.
std::size_t WalkTo(const char* base, std::size_t at, std::size_t target)
{
    uint64_t word;
    while (at < target) {
        if (target - at >= 8 && AsciiWord(base + at, word)) {
            at += 8;
            continue;
        }
        at += IsLeadByte(static_cast<unsigned char>(base[at])) ? 2 : 1;
    }
    return at;
}

// Lower-cases from index from on, reading from there with the lead-byte rule.
void LowerFrom(std::string& text, std::size_t from)
{
    char* const base = text.data();
    const std::size_t size = text.size();
    uint64_t word;
    for (std::size_t i = from; i < size;) {
        if (size - i >= 8 && AsciiWord(base + i, word)) {
            // Bit 7 of each byte of above is set for bytes >= 'A', of past
            // for bytes > 'Z'; no sum carries into the next byte.
            const uint64_t above = word + 0x3F3F3F3F3F3F3F3Full;
            const uint64_t past = word + 0x2525252525252525ull;
            word |= ((above & ~past) & HighBits) >> 2;
            std::memcpy(base + i, &word, sizeof word);
            i += 8;
            continue;
        }
        const auto byte = static_cast<unsigned char>(base[i]);
        if (IsLeadByte(byte)) {
            i += 2;     // the trail byte may look like a letter: leave it
            continue;
        }
        if (byte >= 'A' && byte <= 'Z')
            base[i] = static_cast<char>(byte + ('a' - 'A'));
        ++i;
    }
}

// FindOnCharBoundary with the walk of boundaries starting at walkFrom, a
// character start at or before from.
std::size_t FindFrom(std::string_view text, std::string_view needle, std::size_t from,
                     std::size_t walkFrom, bool firstByteAlone)
{
    if (needle.empty() || from > text.size() || text.size() - from < needle.size())
        return npos;
    const char* const base = text.data();
    const std::size_t size = text.size();
    // The start of the character that the walk has reached; it only moves
    // forward, so the text is walked once however many candidates there are.
    std::size_t boundary = walkFrom;
    for (std::size_t pos = from; pos + needle.size() <= size;) {
        const void* hit = ::memmem(base + pos, size - pos, needle.data(), needle.size());
        if (!hit)
            return npos;
        const std::size_t candidate = static_cast<std::size_t>(static_cast<const char*>(hit) - base);
        if (boundary == 0 && firstByteAlone && candidate > 0)
            boundary = 1;
        boundary = WalkTo(base, boundary, candidate);
        if (boundary == candidate && SameBytes(base + candidate, needle.data(), needle.size()))
            return candidate;
        // The candidate begins on a trail byte: go on behind its first byte.
        pos = candidate + 1;
    }
    return npos;
}

} // namespace

void LowerInPlace(std::string& text, bool firstByteAlone)
{
    LowerFrom(text, firstByteAlone ? 1 : 0);
}

bool SameBytes(const char* a, const char* b, std::size_t n)
{
    return n == 0 || std::memcmp(a, b, n) == 0;
}

std::size_t FindOnCharBoundary(std::string_view text, std::string_view needle, std::size_t from,
                               bool firstByteAlone)
{
    return FindFrom(text, needle, from, 0, firstByteAlone);
}

std::size_t SearchText(std::string_view text, std::size_t caret, std::string_view find,
                       bool matchCase, bool firstByteAlone)
{
    if (find.empty() || caret > text.size())
        return npos;
    // The bytes before the caret count as replaced by 0x01: nothing there
    // matches (not even a find text holding 0x01), and, each of them being a
    // character of its own, the walk of boundaries starts afresh at the caret.
    // So only the text from the caret on is looked at.
    const bool alone = firstByteAlone && caret == 0;
    if (matchCase)
        return FindFrom(text, find, caret, caret, alone);

    std::string key(find);
    LowerInPlace(key);
    // The copy is lower-cased as if from the text's start: a caret inside a
    // double-byte character leaves that character's trail byte as it is.
    std::size_t lowerFrom = 0;
    if (caret > 0)
        lowerFrom = WalkTo(text.data(), firstByteAlone ? 1 : 0, caret) - caret;
    else if (firstByteAlone)
        lowerFrom = 1;
    std::string copy(text.substr(caret));
    LowerFrom(copy, std::min(lowerFrom, copy.size()));
    const std::size_t at = FindFrom(copy, key, 0, 0, alone);
    return at == npos ? npos : caret + at;
}

FilterResult FilterLines(std::string_view text, std::string_view needle, std::size_t caret,
                         bool firstByteAlone)
{
    FilterResult result;
    const std::size_t size = text.size();
    caret = std::min(caret, size);
    for (std::size_t start = 0; start < size;) {
        // A first byte shown alone belongs to the first line even when it is
        // a CR or an LF.
        std::size_t end = (start == 0 && firstByteAlone) ? 1 : start;
        while (end < size && text[end] != '\r' && text[end] != '\n')
            ++end;
        std::size_t next = end;
        if (next < size && text[next] == '\r')
            ++next;
        if (next < size && text[next] == '\n' && (next == end || text[next - 1] == '\r'))
            ++next;
        const bool alone = start == 0 && firstByteAlone;
        const bool keep = FindOnCharBoundary(text.substr(start, end - start), needle, 0, alone) != npos;
        if (caret >= start && caret < next)
            result.Caret = result.Text.size() + (keep ? caret - start : 0);
        if (keep) {
            result.Text.append(text.substr(start, next - start));
            if (start == 0)
                result.FirstLineKept = true;
        } else {
            ++result.Dropped;
        }
        start = next;
    }
    if (caret == size)
        result.Caret = result.Text.size();
    return result;
}

} // namespace sjis
