// Fuzz target for EucToSjis: measuring and converting agree, the capacity
// is respected and nothing past the terminator is read.
#include "decode/Convert.h"
#include "fuzz/FuzzCommon.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    auto input = fuzz::Terminated<uint8_t>(data, size);
    fuzz::CheckConverter<uint8_t, uint8_t>(EucToSjis, input.get(), fuzz::Seed(data, size));
    fuzz::CheckAtPageEdge<uint8_t, uint8_t>(EucToSjis, input.get(), size,
                                            EucToSjis(nullptr, input.get(), 0));
    fuzz::CheckLiteralAndTail<uint8_t>(EucToSjis, SjisRoute::Euc, input.get(), fuzz::Seed(data, size) >> 3);
    return 0;
}
