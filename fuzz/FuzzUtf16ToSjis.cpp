// Fuzz target for Utf16ToSjis: the input bytes as little-endian code units.
#include "decode/Convert.h"
#include "fuzz/FuzzCommon.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    auto input = fuzz::Terminated<uint16_t>(data, size);
    fuzz::CheckConverter<uint16_t, uint8_t>(Utf16ToSjis, input.get(), fuzz::Seed(data, size));
    fuzz::CheckAtPageEdge<uint16_t, uint8_t>(Utf16ToSjis, input.get(), size / 2,
                                             Utf16ToSjis(nullptr, input.get(), 0));
    fuzz::CheckLiteralAndTail<uint16_t>(Utf16ToSjis, SjisRoute::Utf16, input.get(), fuzz::Seed(data, size) >> 3);
    return 0;
}
