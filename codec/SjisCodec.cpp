#include "codec/SjisCodec.h"

#include "codec/SjisViewTable.h"

#include <array>
#include <memory>
#include <unordered_map>

namespace SjisCodec {
namespace {

struct DecodeEntry {
    char16_t U1 = 0;
    char16_t U2 = 0;     // 0: the code shows as one unit
    bool Risky = false;
};

struct Sequence {
    char16_t First;
    char16_t Second;
    uint16_t Code;
};

// Lookup tables built once from the generated table: decoding by code
// (single bytes below 0x100), encoding by UTF-16 unit.
struct Tables {
    std::array<DecodeEntry, 0x10000> Decode{};
    std::array<uint16_t, 0x10000> EncodeBmp{};        // 0: no code (U+0000 aside)
    std::array<bool, 0x10000> StartsSequence{};
    std::vector<Sequence> Sequences;                  // letter + combining mark
    std::unordered_map<char32_t, uint16_t> EncodeWide;   // beyond the BMP

    Tables()
    {
        using namespace SjisViewTable;
        for (int b = 0; b < 0x100; ++b)
            if (!IsLeadByte(static_cast<uint8_t>(b)))
                Decode[b].U1 = SingleUnits[b];
        int li = 0;
        for (int lead = 0x81; lead <= 0xFC; ++lead) {
            if (!IsLeadByte(static_cast<uint8_t>(lead)))
                continue;
            int ti = 0;
            for (int trail = 0x40; trail <= 0xFC; ++trail) {
                if (!IsTrailByte(static_cast<uint8_t>(trail)))
                    continue;
                Decode[lead << 8 | trail].U1 = PairUnits[li][ti];
                ++ti;
            }
            ++li;
        }
        for (const SecondUnit& s : SecondUnits)
            Decode[s.Code].U2 = s.Unit;
        std::array<bool, 0x10000> decodeOnly{};
        for (uint16_t code : DecodeOnly) {
            decodeOnly[code] = true;
            Decode[code].Risky = true;
        }
        for (uint16_t code : CombiningMarks)
            Decode[code].Risky = true;

        // Encoding: every code that is not decode-only, pairs included.
        for (int code = 0; code < 0x10000; ++code) {
            const DecodeEntry& e = Decode[code];
            bool single = code < 0x100;
            bool pair = !single && IsLeadByte(code >> 8) && IsTrailByte(code & 0xFF);
            if ((!single && !pair) || (single && IsLeadByte(static_cast<uint8_t>(code))) || decodeOnly[code])
                continue;
            if (e.U2 == 0) {
                EncodeBmp[e.U1] = static_cast<uint16_t>(code);
            } else if (QChar::isHighSurrogate(e.U1)) {
                EncodeWide[QChar::surrogateToUcs4(e.U1, e.U2)] = static_cast<uint16_t>(code);
            } else {
                Sequences.push_back({e.U1, e.U2, static_cast<uint16_t>(code)});
                StartsSequence[e.U1] = true;
            }
        }
    }
};

const Tables& T()
{
    static const std::unique_ptr<Tables> tables = std::make_unique<Tables>();
    return *tables;
}

} // namespace

Unit DecodeAt(std::string_view bytes, std::size_t i, bool stray)
{
    const Tables& t = T();
    Unit u;
    const auto b = static_cast<uint8_t>(bytes[i]);
    if (stray || (IsLeadByte(b) && (i + 1 >= bytes.size() || !IsTrailByte(static_cast<uint8_t>(bytes[i + 1]))))) {
        u.Bytes = 1;
        u.Chars = 1;
        u.U[0] = static_cast<char16_t>(StrayBase + b);
        return u;
    }
    const DecodeEntry* e;
    if (IsLeadByte(b)) {
        e = &t.Decode[b << 8 | static_cast<uint8_t>(bytes[i + 1])];
        u.Bytes = 2;
    } else {
        e = &t.Decode[b];
        u.Bytes = 1;
    }
    u.U[0] = e->U1;
    u.U[1] = e->U2;
    u.Chars = e->U2 ? 2 : 1;
    u.Risky = e->Risky;
    return u;
}

char16_t* DecodeTo(char16_t* out, std::string_view bytes, bool firstByteStray, bool* risky)
{
    const Tables& t = T();
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    bool anyRisky = false;
    if (firstByteStray && n > 0) {
        *out++ = static_cast<char16_t>(StrayBase + p[0]);
        i = 1;
    }
    while (i < n) {
        const uint8_t b = p[i];
        if (b < 0x80) {                      // the common case: ASCII and controls
            *out++ = t.Decode[b].U1;
            ++i;
            continue;
        }
        if (IsLeadByte(b)) {
            if (i + 1 < n && IsTrailByte(p[i + 1])) {
                const DecodeEntry& e = t.Decode[b << 8 | p[i + 1]];
                *out++ = e.U1;
                if (e.U2)
                    *out++ = e.U2;
                anyRisky |= e.Risky;
                i += 2;
            } else {
                *out++ = static_cast<char16_t>(StrayBase + b);
                ++i;
            }
            continue;
        }
        const DecodeEntry& e = t.Decode[b];
        *out++ = e.U1;
        anyRisky |= e.Risky;
        ++i;
    }
    if (risky)
        *risky = anyRisky;
    return out;
}

QString Decode(std::string_view bytes, bool firstByteStray, bool* risky)
{
    QString text;
    text.resize(static_cast<qsizetype>(bytes.size()));   // never more units than bytes
    char16_t* begin = reinterpret_cast<char16_t*>(text.data());
    char16_t* end = DecodeTo(begin, bytes, firstByteStray, risky);
    text.truncate(end - begin);
    return text;
}

EncodedUnit EncodeAt(QStringView text, qsizetype i)
{
    const Tables& t = T();
    const char16_t c = text[i].unicode();
    const bool hasNext = i + 1 < text.size();
    if (QChar::isHighSurrogate(c) && hasNext && QChar::isLowSurrogate(text[i + 1].unicode())) {
        const char32_t cp = QChar::surrogateToUcs4(c, text[i + 1].unicode());
        auto it = t.EncodeWide.find(cp);
        if (it == t.EncodeWide.end())
            return {'?', 1, 2};
        return {it->second, 2, 2};
    }
    if (t.StartsSequence[c] && hasNext) {
        const char16_t next = text[i + 1].unicode();
        for (const Sequence& s : t.Sequences)
            if (s.First == c && s.Second == next)
                return {s.Code, 2, 2};
    }
    if (c >= StrayBase && c < StrayBase + 0x100)
        return {static_cast<uint16_t>(c - StrayBase), 1, 1};
    const uint16_t code = t.EncodeBmp[c];
    if (code >= 0x100)
        return {code, 2, 1};
    if (code != 0 || c == 0)
        return {code, 1, 1};
    return {'?', 1, 1};
}

void EncodeAppend(QStringView text, std::string& out)
{
    const Tables& t = T();
    const char16_t* p = reinterpret_cast<const char16_t*>(text.data());
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n;) {
        const char16_t c = p[i];
        if (c < 0x80) {   // ASCII is itself and starts no sequence
            out.push_back(static_cast<char>(c));
            ++i;
            continue;
        }
        if (!QChar::isSurrogate(c) && !t.StartsSequence[c] && (c < StrayBase || c >= StrayBase + 0x100)) {
            const uint16_t code = t.EncodeBmp[c];
            if (code >= 0x100) {
                out.push_back(static_cast<char>(code >> 8));
                out.push_back(static_cast<char>(code & 0xFF));
            } else {
                out.push_back(code ? static_cast<char>(code) : '?');
            }
            ++i;
            continue;
        }
        const EncodedUnit u = EncodeAt(text, i);
        if (u.Bytes == 2)
            out.push_back(static_cast<char>(u.Code >> 8));
        out.push_back(static_cast<char>(u.Code & 0xFF));
        i += u.Chars;
    }
}

std::string Encode(QStringView text)
{
    std::string out;
    out.reserve(static_cast<std::size_t>(text.size()) * 2);
    EncodeAppend(text, out);
    return out;
}

int64_t EncodedLength(QStringView text)
{
    int64_t length = 0;
    for (qsizetype i = 0; i < text.size();) {
        if (text[i].unicode() < 0x80) {
            ++length;
            ++i;
            continue;
        }
        const EncodedUnit u = EncodeAt(text, i);
        length += u.Bytes;
        i += u.Chars;
    }
    return length;
}

} // namespace SjisCodec
