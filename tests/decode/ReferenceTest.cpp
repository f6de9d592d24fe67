// The converters and tables against reference data made by make_reference.py
// from Python's standard codecs: every JIS X 0208 character in EUC-JP and JIS
// form, every JIS X 0213 character with a Shift_JIS place, every JIS X 0212
// kanji and every UTF-16 unit of the Basic Multilingual Plane.
#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "decode/Convert.h"
#include "decode/SjisTables.h"
#include "tests/decode/DecodeTestUtil.h"

using namespace decodetest;

namespace {

struct Reference {
    std::map<uint32_t, uint16_t> unicode;               // B
    std::vector<std::array<Bytes, 3>> jisx0208;         // J: euc, jis, sjis
    std::map<uint16_t, uint16_t> jisx0212;              // X
    std::vector<std::array<Bytes, 2>> plane1, plane2;   // Q, P: euc, sjis
};

Bytes FromHex(const std::string& hex)
{
    Bytes out;
    for (size_t k = 0; k + 1 < hex.size(); k += 2)
        out += static_cast<char>(std::stoi(hex.substr(k, 2), nullptr, 16));
    return out;
}

const Reference& LoadReference()
{
    static const Reference reference = [] {
        Reference r;
        std::ifstream in(DECODE_TEST_DATA_DIR "/reference.txt");
        EXPECT_TRUE(in) << "reference data missing: build the decode_test_data target";
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string kind, a, b, c;
            fields >> kind >> a >> b >> c;
            if (kind == "B")
                r.unicode[std::stoul(a, nullptr, 16)] = static_cast<uint16_t>(std::stoul(b, nullptr, 16));
            else if (kind == "J")
                r.jisx0208.push_back({FromHex(a), FromHex(b), FromHex(c)});
            else if (kind == "X")
                r.jisx0212[static_cast<uint16_t>(std::stoul(a, nullptr, 16))] =
                    static_cast<uint16_t>(std::stoul(b, nullptr, 16));
            else if (kind == "Q")
                r.plane1.push_back({FromHex(a), FromHex(b)});
            else if (kind == "P")
                r.plane2.push_back({FromHex(a), FromHex(b)});
        }
        return r;
    }();
    return reference;
}

Bytes SjisBytes(uint16_t code)
{
    if (code == 0)
        return "?";
    if (code < 0x100)
        return Bytes(1, static_cast<char>(code));
    return Bytes{static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)};
}

// The table's deliberate differences from shift_jis_2004.
const std::map<uint32_t, uint16_t> TableOverrides = {
    {0x005C, 0x5C},   {0x007E, 0x7E},   {0x00A5, 0x5C},   {0x0080, 0x80},   {0xF8F0, 0xA0},
    {0xF8F1, 0xFD},   {0xF8F2, 0xFE},   {0xF8F3, 0xFF},   {0xFF5E, 0x8160}, {0x2225, 0x8161},
    {0xFF0D, 0x817C}, {0xFF3C, 0x815F}, {0xFFE0, 0x8191}, {0xFFE1, 0x8192}, {0xFFE2, 0x81CA},
    {0x00B5, 0x83CA}, {0x2211, 0x83B0}, {0x9B1D, 0xFC5A},
};

bool TableUnmapped(uint32_t u)
{
    static const std::vector<std::pair<uint32_t, uint32_t>> spans = {
        {0x2016, 0x2016}, {0x203E, 0x203E}, {0x2047, 0x2047}, {0x2051, 0x2051},
        {0x2212, 0x2212}, {0x23BE, 0x23CC}, {0x23CE, 0x23CE}, {0x24EB, 0x24FE},
        {0x2616, 0x2617}, {0x2934, 0x2935}, {0x2985, 0x2986}, {0x29BF, 0x29BF},
        {0x29FA, 0x29FB}, {0x301C, 0x301C}, {0x303B, 0x303D}, {0x3095, 0x3096},
        {0x309F, 0x30A0}, {0x30FF, 0x30FF}, {0x31F0, 0x31FF}, {0x3251, 0x325F},
        {0x32B1, 0x32BF}, {0x4FF1, 0x4FF1}, {0x525D, 0x525D}, {0x541E, 0x541E},
        {0x5653, 0x5653}, {0x59F8, 0x59F8}, {0x5C5B, 0x5C5B}, {0x5E77, 0x5E77},
        {0x69EA, 0x69EA}, {0x7626, 0x7626}, {0x7E6B, 0x7E6B}, {0x9B1C, 0x9B1C},
        {0x9B2D, 0x9B2D}, {0xFA30, 0xFA6A}, {0xFE45, 0xFE46}, {0xFF02, 0xFF02},
        {0xFF07, 0xFF07}, {0xFEFF, 0xFEFF}, {0xD800, 0xDFFF},
    };
    for (const auto& [first, last] : spans)
        if (u >= first && u <= last)
            return true;
    return false;
}

} // namespace

TEST(Reference, EveryJisX0208CharacterInEucAndJisForm)
{
    const Reference& ref = LoadReference();
    ASSERT_EQ(ref.jisx0208.size(), 6879u);
    Bytes allEuc, allJis, allSjis;
    for (const auto& [euc, jis, sjis] : ref.jisx0208) {
        EXPECT_EQ(Euc(euc), sjis) << testing::PrintToString(euc);
        EXPECT_EQ(Jis(jis), sjis) << testing::PrintToString(jis);
        allEuc += euc;
        allJis += jis;
        allSjis += sjis;
    }
    // Whole runs as well: one escape, then every character in a row.
    EXPECT_TRUE(Euc(allEuc) == allSjis);
    Bytes run = "\x1B$B";
    for (char c : allEuc)
        run += static_cast<char>(c & 0x7F);
    EXPECT_TRUE(Jis(run + "\x1B(B") == allSjis);
}

TEST(Reference, EveryJisX0213CharacterWithAShiftJisPlace)
{
    const Reference& ref = LoadReference();
    ASSERT_GT(ref.plane1.size(), 8700u);
    ASSERT_GT(ref.plane2.size(), 2400u);
    for (const auto& [euc, sjis] : ref.plane1) {
        EXPECT_EQ(Euc(euc), sjis) << testing::PrintToString(euc);
        Bytes jis = "\x1B$(O";
        jis += static_cast<char>(euc[0] & 0x7F);
        jis += static_cast<char>(euc[1] & 0x7F);
        EXPECT_EQ(Jis(jis), sjis) << testing::PrintToString(jis);
    }
    for (const auto& [euc, sjis] : ref.plane2) {
        EXPECT_EQ(Euc(euc), sjis) << testing::PrintToString(euc);
        Bytes jis = "\x1B$(P";
        jis += static_cast<char>(euc[1] & 0x7F);
        jis += static_cast<char>(euc[2] & 0x7F);
        EXPECT_EQ(Jis(jis), sjis) << testing::PrintToString(jis);
    }
}

TEST(Reference, EveryJisX0212KanjiCode)
{
    const Reference& ref = LoadReference();
    const std::set<uint16_t> unmapped = {0x4247, 0x4D77, 0x545A, 0x6457, 0x6674, 0x6A32, 0x6B59};
    int checked = 0;
    for (unsigned row = 0x31; row <= 0x6D; ++row) {
        for (unsigned cell = 0x21; cell <= 0x7E; ++cell) {
            const uint16_t code = static_cast<uint16_t>(row << 8 | cell);
            auto found = ref.jisx0212.find(code);
            uint16_t expected = found == ref.jisx0212.end() ? 0 : found->second;
            if (unmapped.count(code) || cell == 0x7E)   // the table stops at cell 0x7D
                expected = 0;
            if (code == 0x6059)
                expected = 0xFAFB;
            EXPECT_EQ(Jisx0212ToSjis(code), expected) << std::hex << code;
            const Bytes euc{'\x8F', static_cast<char>(row | 0x80), static_cast<char>(cell | 0x80)};
            EXPECT_EQ(Euc(euc), SjisBytes(expected)) << std::hex << code;
            ++checked;
        }
    }
    EXPECT_EQ(checked, 61 * 94);

    int nonzero = 0, row30 = 0;
    for (int k = 0; k < Jisx0212Rows * Jisx0212Cells; ++k) {
        nonzero += Jisx0212Table[k] != 0;
        row30 += k < Jisx0212Cells && Jisx0212Table[k] != 0;
    }
    EXPECT_EQ(nonzero, 2706);
    EXPECT_EQ(row30, 44);
}

TEST(Reference, EveryBmpUnitAgainstTheTableSource)
{
    const Reference& ref = LoadReference();
    ASSERT_GT(ref.unicode.size(), 11000u);
    std::basic_string<uint16_t> allUnits;
    Bytes allSjis;
    for (uint32_t unit = 1; unit < 0x10000; ++unit) {
        uint16_t expected = 0;
        if (auto o = TableOverrides.find(unit); o != TableOverrides.end())
            expected = o->second;
        else if (!TableUnmapped(unit))
            if (auto r = ref.unicode.find(unit); r != ref.unicode.end())
                expected = r->second;
        EXPECT_EQ(UnicodeToSjisChar(static_cast<uint16_t>(unit)), expected) << std::hex << unit;
        allUnits += static_cast<uint16_t>(unit);
        allSjis += SjisBytes(expected);
    }
    EXPECT_TRUE(Convert<uint16_t>(Utf16ToSjis, allUnits) == allSjis);

    // Exactly the 130 pages exist.
    std::set<int> pages;
    for (int high = 0; high < 256; ++high)
        if (UnicodeToSjisTable[high])
            pages.insert(high);
    std::set<int> expectedPages = {0x30, 0xFF};
    for (int high : {0x00, 0x01, 0x02, 0x03, 0x04, 0xF8, 0xF9, 0xFA})
        expectedPages.insert(high);
    for (int high = 0x1E; high <= 0x27; ++high)
        expectedPages.insert(high);
    for (int high = 0x32; high <= 0x9F; ++high)
        expectedPages.insert(high);
    EXPECT_EQ(expectedPages.size(), 130u);
    EXPECT_EQ(pages, expectedPages);
}
