#include "view/SjisCharOffsets.h"

#include "codec/SjisCodec.h"
#include "view/SjisLineIndex.h"
#include "view/SjisTextBuffer.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>

namespace {

// UTF-16 units beyond one of each character the view decodes, found once
// by decoding each code as a line is decoded (so the counts and the text
// written into a string of their size agree): [0x100 + pair code] for a lead
// and a trail byte, [byte] for a byte alone. Almost every entry is 0 (a code
// of Shift_JIS-2004 that gives two characters is 1).
struct ExtraUnits {
    uint8_t Of[0x10000 + 0x100] = {};
    ExtraUnits()
    {
        char16_t out[4];
        for (int b = 0x80; b < 0x100; ++b) {
            const char one[1] = {static_cast<char>(b)};
            Of[b] = static_cast<uint8_t>(SjisCodec::DecodeTo(out, std::string_view(one, 1), false, nullptr) -
                                         out - 1);
            if (!SjisCodec::IsLeadByte(static_cast<uint8_t>(b)))
                continue;
            for (int t = 0x40; t < 0x100; ++t) {
                if (!SjisCodec::IsTrailByte(static_cast<uint8_t>(t)))
                    continue;
                const char pair[2] = {static_cast<char>(b), static_cast<char>(t)};
                Of[0x100 + (b << 8 | t)] = static_cast<uint8_t>(
                    SjisCodec::DecodeTo(out, std::string_view(pair, 2), false, nullptr) - out - 1);
            }
        }
    }
};

const ExtraUnits& Extra()
{
    static const ExtraUnits extra;
    return extra;
}

// How much of a text in a file a counting pass reads before it gives the
// pages back, as the other passes over the whole text do.
constexpr uint64_t GiveBackBytes = uint64_t(64) << 20;

// UTF-16 units of raw bytes of whole lines with their breaks, a CR LF
// counting one as the reader's LF does. A break is never the second byte of
// a pair, so reading across lines decodes each as the view does.
int64_t RawChars(std::string_view raw)
{
    const auto* p = reinterpret_cast<const unsigned char*>(raw.data());
    const std::size_t n = raw.size();
    if (n == 0)
        return 0;
    const ExtraUnits& extra = Extra();
    int64_t units = 0;
    std::size_t i = 0;
    while (i < n) {
        if (i + 8 <= n) {
            uint64_t word;
            std::memcpy(&word, p + i, 8);
            if ((word & 0x8080808080808080ull) == 0) {
                units += 8;
                i += 8;
                continue;
            }
        }
        const unsigned char b = p[i];
        if (b >= 0x80 && SjisCodec::IsLeadByte(b) && i + 1 < n && SjisCodec::IsTrailByte(p[i + 1])) {
            units += 1 + extra.Of[0x100 + (b << 8 | p[i + 1])];
            i += 2;
        } else {
            units += 1 + (b >= 0x80 ? extra.Of[b] : 0);
            ++i;
        }
    }
    for (const void* cr = std::memchr(p, '\r', n); cr != nullptr;) {
        const std::size_t at = static_cast<const unsigned char*>(cr) - p;
        if (at + 1 < n && p[at + 1] == '\n')
            --units;
        cr = at + 1 < n ? std::memchr(p + at + 1, '\r', n - at - 1) : nullptr;
    }
    return units;
}

// Decodes raw bytes of whole lines with their breaks at out, each break as
// one LF; returns the end.
char16_t* DecodeRaw(char16_t* out, std::string_view raw)
{
    const char* p = raw.data();
    const char* const end = p + raw.size();
    while (p < end) {
        const char* brk = NextLineBreak(p, end);
        out =
            SjisCodec::DecodeTo(out, std::string_view(p, static_cast<std::size_t>(brk - p)), false, nullptr);
        if (brk == end)
            break;
        *out++ = u'\n';
        p = brk + (*brk == '\r' && brk + 1 < end && brk[1] == '\n' ? 2 : 1);
    }
    return out;
}

// Units of the characters of a line that end at or before byte within.
int64_t UnitsBefore(std::string_view bytes, std::size_t within, bool stray)
{
    int64_t units = 0;
    for (std::size_t i = 0; i < bytes.size();) {
        const SjisCodec::Unit u = SjisCodec::DecodeAt(bytes, i, i == 0 && stray);
        if (i + u.Bytes > within)
            break;
        units += u.Chars;
        i += u.Bytes;
    }
    return units;
}

} // namespace

int64_t SjisCharOffsets::LineChars(std::string_view bytes, bool stray)
{
    if (stray && !bytes.empty())
        return 1 + RawChars(bytes.substr(1));
    return RawChars(bytes);
}

int64_t SjisCharOffsets::LineChars(const SjisLines& lines, int64_t i) const
{
    return LineChars(lines.Bytes(i), i == 0 && lines.FirstByteStray());
}

void SjisCharOffsets::Forget(int64_t line)
{
    FTotal = -1;
    const auto keep = static_cast<std::size_t>(std::max<int64_t>(0, line) / BlockLines + 1);
    if (FStarts.size() > keep)
        FStarts.resize(keep);
}

bool SjisCharOffsets::BlockRaw(const SjisLines& lines, int64_t first, std::string_view& raw)
{
    const int64_t last = first + BlockLines - 1;
    const int64_t from = lines.SourceLine(first);
    const int64_t to = lines.SourceLine(last);
    const SjisTextBuffer& buffer = lines.Buffer();
    if (from < 0 || to - from != BlockLines - 1 || to + 1 >= buffer.Count())
        return false;
    const uint64_t a = buffer.Index().RawStart(from);
    raw = buffer.Raw().substr(a, buffer.Index().RawStart(to + 1) - a);
    return true;
}

int64_t SjisCharOffsets::BlockChars(const SjisLines& lines, int64_t first) const
{
    // Lines that follow each other in the buffer are counted over its raw
    // bytes in one run, breaks included.
    std::string_view raw;
    if (BlockRaw(lines, first, raw)) {
        int64_t units = 0;
        if (first == 0 && lines.FirstByteStray() && !raw.empty()) {
            units = 1;
            raw.remove_prefix(1);
        }
        return units + RawChars(raw);
    }
    int64_t units = 0;
    for (int64_t i = first; i < first + BlockLines; ++i)
        units += LineChars(lines, i) + 1;
    return units;
}

void SjisCharOffsets::Extend(const SjisLines& lines, std::size_t b)
{
    // A kept offset is of a line behind a break: the lines before it are
    // whole, and appending leaves them.
    const SjisTextBuffer& buffer = lines.Buffer();
    const bool inFile = buffer.InFileBacked();
    uint64_t readFrom = UINT64_MAX;
    uint64_t readTo = 0;
    while (FStarts.size() <= b) {
        const auto first = static_cast<int64_t>(FStarts.size() - 1) * BlockLines;
        if (first + BlockLines >= lines.Count())
            break;
        FStarts.push_back(FStarts.back() + BlockChars(lines, first));
        const int64_t source = lines.SourceLine(first + BlockLines);
        if (inFile && source >= 0) {
            readFrom = std::min(readFrom, buffer.Index().RawStart(lines.SourceLine(first)));
            readTo = buffer.Index().RawStart(source);
            if (readTo - readFrom >= GiveBackBytes) {
                buffer.GiveBack(readFrom, readTo);
                readFrom = readTo;
            }
        }
    }
    if (inFile && readFrom < readTo)
        buffer.GiveBack(readFrom, readTo);
}

int64_t SjisCharOffsets::LineStart(const SjisLines& lines, int64_t i)
{
    i = std::clamp<int64_t>(i, 0, lines.Count() - 1);
    const auto b = static_cast<std::size_t>(i / BlockLines);
    Extend(lines, b);
    const std::size_t known = std::min(b, FStarts.size() - 1);
    int64_t chars = FStarts[known];
    for (int64_t j = static_cast<int64_t>(known) * BlockLines; j < i; ++j)
        chars += LineChars(lines, j) + 1;
    return chars;
}

int64_t SjisCharOffsets::Count(const SjisLines& lines)
{
    if (FTotal < 0) {
        const int64_t last = lines.Count() - 1;
        FTotal = LineStart(lines, last) + LineChars(lines, last);
    }
    return FTotal;
}

int64_t SjisCharOffsets::LineOf(const SjisLines& lines, int64_t chars)
{
    // Kept offsets only as far as needed, 64 blocks at a time: a question
    // near the start of a big text does not count all of it.
    while (FStarts.back() <= chars) {
        const std::size_t before = FStarts.size();
        Extend(lines, before + 63);
        if (FStarts.size() == before)
            break;
    }
    const auto at = std::upper_bound(FStarts.begin(), FStarts.end(), chars);
    const auto b = static_cast<int64_t>(std::max<std::ptrdiff_t>(0, at - FStarts.begin() - 1));
    int64_t start = FStarts[static_cast<std::size_t>(b)];
    const int64_t count = lines.Count();
    for (int64_t j = b * BlockLines; j < count; ++j) {
        const int64_t length = LineChars(lines, j);
        if (chars <= start + length || j + 1 == count)
            return j;
        start += length + 1;
    }
    return count - 1;
}

int64_t SjisCharOffsets::CharOf(const SjisLines& lines, uint64_t offset)
{
    const int64_t line = lines.LineAt(std::min<uint64_t>(offset, lines.Length()));
    const std::string_view bytes = lines.Bytes(line);
    const uint64_t within = std::max(offset, lines.Start(line)) - lines.Start(line);
    const bool stray = line == 0 && lines.FirstByteStray();
    const int64_t start = LineStart(lines, line);
    if (within >= bytes.size())
        return start + LineChars(bytes, stray);
    return start + UnitsBefore(bytes, static_cast<std::size_t>(within), stray);
}

uint64_t SjisCharOffsets::OffsetOf(const SjisLines& lines, int64_t chars)
{
    const int64_t line = LineOf(lines, std::max<int64_t>(0, chars));
    const int64_t want = std::max<int64_t>(0, chars) - LineStart(lines, line);
    const std::string_view bytes = lines.Bytes(line);
    const bool stray = line == 0 && lines.FirstByteStray();
    int64_t seen = 0;
    std::size_t i = 0;
    while (i < bytes.size()) {
        const SjisCodec::Unit u = SjisCodec::DecodeAt(bytes, i, i == 0 && stray);
        if (seen + u.Chars > want)
            break;
        seen += u.Chars;
        i += u.Bytes;
    }
    return lines.Start(line) + i;
}

QString SjisCharOffsets::Text(const SjisLines& lines, int64_t from, int64_t to)
{
    // A short range near the start needs no count of the whole text.
    constexpr int64_t Short = 1 << 16;
    const int64_t total = FTotal >= 0 || to - from > Short ? Count(lines) : INT64_MAX;
    from = std::clamp<int64_t>(from, 0, total);
    to = std::clamp<int64_t>(to, from, total);
    QString text(static_cast<qsizetype>(to - from), Qt::Uninitialized);
    char16_t* const begin = reinterpret_cast<char16_t*>(text.data());
    char16_t* out = begin;
    const int64_t count = lines.Count();
    int64_t line = LineOf(lines, from);
    int64_t at = LineStart(lines, line); // character offset of what is read next
    // A text in a file gets the pages read back behind the pass, so the
    // answer is all that stays.
    const SjisTextBuffer& buffer = lines.Buffer();
    const bool inFile = buffer.InFileBacked();
    const char* const raw = buffer.Raw().data();
    std::size_t readFrom = SIZE_MAX;
    for (; at < to && line < count; ++line) {
        const std::string_view bytes = lines.Bytes(line);
        const bool stray = line == 0 && lines.FirstByteStray();
        if (inFile && !bytes.empty()) {
            const auto here = static_cast<std::size_t>(bytes.data() - raw);
            readFrom = std::min(readFrom, here);
            if (here - readFrom >= GiveBackBytes) {
                buffer.GiveBack(readFrom, here);
                readFrom = here;
            }
        }
        const auto b = static_cast<std::size_t>(line / BlockLines);
        std::string_view run;
        if (at >= from && line % BlockLines == 0 && b + 1 < FStarts.size() && FStarts[b + 1] <= to &&
            !(line == 0 && lines.FirstByteStray()) && BlockRaw(lines, line, run)) {
            // A whole block of lines that follow each other in the buffer:
            // decoded from its raw bytes in one run.
            out = DecodeRaw(out, run);
            at = FStarts[b + 1];
            line += BlockLines - 1;
            continue;
        }
        if (at >= from &&
            (static_cast<uint64_t>(to - at) >= bytes.size() || at + LineChars(bytes, stray) <= to)) {
            // A whole line that fits: decoded in place.
            char16_t* end = SjisCodec::DecodeTo(out, bytes, stray, nullptr);
            at += end - out;
            out = end;
        } else {
            // The first or the last line of the range: the units inside it.
            for (std::size_t i = 0; i < bytes.size() && at < to;) {
                const SjisCodec::Unit u = SjisCodec::DecodeAt(bytes, i, i == 0 && stray);
                for (int k = 0; k < u.Chars; ++k, ++at)
                    if (at >= from && at < to)
                        *out++ = u.U[k];
                i += u.Bytes;
            }
        }
        if (line + 1 < count && at < to) {
            if (at >= from)
                *out++ = u'\n';
            ++at;
        }
    }
    if (inFile && readFrom != SIZE_MAX && line > 0) {
        const std::string_view last = lines.Bytes(line - 1);
        buffer.GiveBack(readFrom, static_cast<std::size_t>(last.data() - raw) + last.size());
    }
    text.truncate(out - begin);
    return text;
}
