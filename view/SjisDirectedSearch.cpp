#include "view/SjisDirectedSearch.h"

#include "view/SjisText.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace sjis {

namespace {

// Walks the character starts of a text forward only, remembering the start
// of the character before the current one.
class CharWalk {
public:
    CharWalk(std::string_view text, bool firstByteAlone) : Text(text), Alone(firstByteAlone) {}

    // Moves to the first character start at or after target.
    void AdvanceTo(std::size_t target)
    {
        while (Pos < target) {
            Prev = Pos;
            Pos += Length(Pos);
        }
    }
    std::size_t Pos = 0;
    std::size_t Prev = npos;   // npos: no character before Pos

    // Bytes of the character starting at at (a character start).
    std::size_t Length(std::size_t at) const
    {
        if (at == 0 && Alone)
            return 1;
        return IsLeadByte(static_cast<unsigned char>(Text[at])) && at + 1 < Text.size() ? 2 : 1;
    }

private:
    std::string_view Text;
    bool Alone;
};

bool IsWordChar(std::string_view text, std::size_t at, std::size_t length)
{
    return length == 2 || IsWordByte(static_cast<unsigned char>(text[at]));
}

// The whole-word test of a match at at (a character start) of length bytes,
// walk standing at at.
bool WholeWordAt(std::string_view text, const CharWalk& walk, std::size_t at, std::size_t length)
{
    if (walk.Prev != npos && IsWordChar(text, walk.Prev, at - walk.Prev))
        return false;
    const std::size_t end = at + length;
    if (end >= text.size())
        return true;
    // A match that ends inside a double-byte character has that character
    // going on behind it.
    CharWalk behind = walk;
    behind.AdvanceTo(end);
    return behind.Pos == end && !IsWordChar(text, end, behind.Length(end));
}

// Lower-cases as the forward search does when the case does not matter.
std::string Folded(std::string_view bytes, bool matchCase, bool firstByteAlone)
{
    std::string copy(bytes);
    if (!matchCase)
        LowerInPlace(copy, firstByteAlone);
    return copy;
}

} // namespace

bool IsWordByte(unsigned char byte)
{
    return (byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z')
        || byte == '_' || (byte >= 0xA1 && byte <= 0xDF);
}

std::size_t SearchDirected(std::string_view text, std::size_t caret, std::string_view find,
                           const FindOptions& options, bool firstByteAlone)
{
    if (!options.Up && !options.WholeWord)
        return SearchText(text, caret, find, options.MatchCase, firstByteAlone);
    if (find.empty() || caret > text.size())
        return npos;

    CharWalk walk(text, firstByteAlone);
    // A caret inside a character counts from that character's start.
    walk.AdvanceTo(caret);
    if (walk.Pos > caret)
        caret = walk.Prev;
    walk = CharWalk(text, firstByteAlone);

    const std::string key = Folded(find, options.MatchCase, false);
    // Up looks only at what lies before the caret; the case folding of the
    // copy reads it from the text's start either way.
    const std::string hay = options.Up
        ? Folded(text.substr(0, caret), options.MatchCase, firstByteAlone)
        : Folded(text, options.MatchCase, firstByteAlone);
    const std::size_t from = options.Up ? 0 : caret;

    std::size_t found = npos;
    for (std::size_t pos = from; pos + key.size() <= hay.size();) {
        const void* hit = ::memmem(hay.data() + pos, hay.size() - pos, key.data(), key.size());
        if (!hit)
            break;
        const auto candidate = static_cast<std::size_t>(static_cast<const char*>(hit) - hay.data());
        walk.AdvanceTo(candidate);
        if (walk.Pos == candidate && (!options.WholeWord || WholeWordAt(text, walk, candidate, key.size()))) {
            if (!options.Up)
                return candidate;
            found = candidate;
        }
        pos = candidate + 1;
    }
    return found;
}

} // namespace sjis
