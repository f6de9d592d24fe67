#include "app/SjisText.h"

#include <algorithm>
#include <cstring>

namespace sjis {

namespace {

// Length of the character at text[at]: 2 for a lead byte, else 1.
inline std::size_t CharLength(const char* text, std::size_t at, bool firstByteAlone)
{
    if (at == 0 && firstByteAlone)
        return 1;
    return IsLeadByte(static_cast<unsigned char>(text[at])) ? 2 : 1;
}

} // namespace

void LowerInPlace(std::string& text, bool firstByteAlone)
{
    const std::size_t size = text.size();
    for (std::size_t i = firstByteAlone ? 1 : 0; i < size;) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (IsLeadByte(byte)) {
            i += 2;     // the trail byte may look like a letter: leave it
            continue;
        }
        if (byte >= 'A' && byte <= 'Z')
            text[i] = static_cast<char>(byte + ('a' - 'A'));
        ++i;
    }
}

bool SameBytes(const char* a, const char* b, std::size_t n)
{
    return n == 0 || std::memcmp(a, b, n) == 0;
}

std::size_t FindOnCharBoundary(std::string_view text, std::string_view needle, std::size_t from,
                               bool firstByteAlone)
{
    if (needle.empty() || from > text.size() || text.size() - from < needle.size())
        return npos;
    const char* const base = text.data();
    const std::size_t size = text.size();
    // The start of the character that the lead-byte walk from the text's
    // start has reached; it only moves forward, so the walk is done once.
    std::size_t boundary = 0;
    for (std::size_t pos = from; pos + needle.size() <= size;) {
        const void* hit = ::memmem(base + pos, size - pos, needle.data(), needle.size());
        if (!hit)
            return npos;
        const std::size_t candidate = static_cast<std::size_t>(static_cast<const char*>(hit) - base);
        while (boundary < candidate)
            boundary += CharLength(base, boundary, firstByteAlone);
        if (boundary == candidate && SameBytes(base + candidate, needle.data(), needle.size()))
            return candidate;
        // The candidate begins on a trail byte: go on behind its first byte.
        pos = candidate + 1;
    }
    return npos;
}

std::size_t SearchText(std::string_view text, std::size_t caret, std::string_view find,
                       bool matchCase, bool firstByteAlone)
{
    if (find.empty() || caret > text.size())
        return npos;
    std::string copy(text);
    std::string key(find);
    if (!matchCase) {
        LowerInPlace(key);
        LowerInPlace(copy, firstByteAlone);
    }
    // Every byte before the caret becomes 0x01, so the walk of character
    // boundaries starts afresh at the caret and nothing before it matches.
    std::fill_n(copy.begin(), caret, '\x01');
    // Candidates are taken from the caret on: a find text holding 0x01 must
    // not match the bytes that were replaced.
    return FindOnCharBoundary(copy, key, caret, firstByteAlone);
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
