// Fuzz target for Utf8ToUtf16, for Utf16ToSjis on its output, and for
// Utf8ToSjis, which must give the same as those two steps (the display's
// path for UTF-8 text).
#include "decode/Convert.h"
#include "fuzz/FuzzCommon.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    auto input = fuzz::Terminated<uint8_t>(data, size);
    const uint64_t seed = fuzz::Seed(data, size);
    fuzz::CheckConverter<uint8_t, uint16_t>(Utf8ToUtf16, input.get(), seed);
    fuzz::CheckAtPageEdge<uint8_t, uint16_t>(Utf8ToUtf16, input.get(), size,
                                             Utf8ToUtf16(nullptr, input.get(), 0));

    // Exactly sized UTF-16 buffer: no unit of it may be zero before the end.
    const int64_t units = Utf8ToUtf16(nullptr, input.get(), 0);
    std::unique_ptr<uint16_t[]> utf16(new uint16_t[units + 1]);
    FUZZ_CHECK(Utf8ToUtf16(utf16.get(), input.get(), units + 1) == units);
    for (int64_t k = 0; k < units; ++k)
        FUZZ_CHECK(utf16[k] != 0);
    fuzz::CheckConverter<uint16_t, uint8_t>(Utf16ToSjis, utf16.get(), seed >> 7);

    // Utf8ToSjis gives what the two steps give, and keeps the protocol.
    const bool same = fuzz::Whole<uint8_t, uint8_t>(Utf8ToSjis, input.get())
                      == fuzz::Whole<uint16_t, uint8_t>(Utf16ToSjis, utf16.get());
    FUZZ_CHECK(same);
    fuzz::CheckConverter<uint8_t, uint8_t>(Utf8ToSjis, input.get(), seed >> 11);
    fuzz::CheckAtPageEdge<uint8_t, uint8_t>(Utf8ToSjis, input.get(), size, Utf8ToSjis(nullptr, input.get(), 0));
    fuzz::CheckLiteralAndTail<uint8_t>(Utf8ToSjis, SjisRoute::Utf8, input.get(), seed >> 3);
    SetConverterFastLanes(false);
    const bool literal = fuzz::Whole<uint8_t, uint16_t>(Utf8ToUtf16, input.get())
                         == std::vector<uint16_t>(utf16.get(), utf16.get() + units);
    FUZZ_CHECK(literal);
    SetConverterFastLanes(true);
    return 0;
}
