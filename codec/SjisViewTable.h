// The generated table behind the text view's Shift_JIS codec
// (tools/make_sjis_view_table.py writes SjisViewTable.cpp).
#pragma once

#include <cstdint>

namespace SjisViewTable {

struct SecondUnit {
    uint16_t Code;
    uint16_t Unit;
};

extern const uint16_t SingleUnits[256];
extern const uint16_t PairUnits[60][188];
extern const SecondUnit SecondUnits[98];
extern const uint16_t DecodeOnly[567];
extern const uint16_t CombiningMarks[4];

} // namespace SjisViewTable
