// Fuzz target for DetectEncoding: its result must equal that of the plain
// step-by-step detector, called both ways a caller may: with the
// display's convention (count = length - 1, a zero behind the bytes) and with
// a buffer readable exactly through count + 1; with the AVX2 lane and with
// the lanes of processors without it. Each block ends where the
// readable bytes end, so AddressSanitizer reports any read beyond.
#include <cstring>
#include <memory>

#include "decode/Detect.h"
#include "fuzz/FuzzCommon.h"
#include "tests/decode/LiteralDetect.h"

namespace {

bool Valid(EncodingKind kind)
{
    switch (kind) {
    case ekAscii: case ekJis: case ekSjis: case ekEuc: case ekUtf16: case ekUtf8:
    case ekUtf7: case ekUnknown: case ekBinary:
        return true;
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::unique_ptr<uint8_t[]> file(new uint8_t[size + 1]);
    if (size)
        std::memcpy(file.get(), data, size);
    file[size] = 0;
    const EncodingKind kind = literal::DetectEncoding(file.get(), static_cast<int64_t>(size) - 1);
    FUZZ_CHECK(Valid(kind));
    if (size < 3)
        FUZZ_CHECK(kind == ekUnknown);
    std::unique_ptr<uint8_t[]> exact;
    EncodingKind raw = ekUnknown;
    if (size >= 2) {
        exact.reset(new uint8_t[size]);
        std::memcpy(exact.get(), data, size);
        raw = literal::DetectEncoding(exact.get(), static_cast<int64_t>(size) - 2);
        FUZZ_CHECK(Valid(raw));
    }

    for (bool wide : {true, false}) {
        SetDetectorWideLanes(wide);
        FUZZ_CHECK(DetectEncoding(file.get(), static_cast<int64_t>(size) - 1) == kind);
        if (size >= 2) {
            const int64_t count = static_cast<int64_t>(size) - 2;
            FUZZ_CHECK(DetectEncoding(exact.get(), count) == raw);
            // The same bytes ending at a page edge: nothing beyond count + 1.
            if (size <= fuzz::Edge().Capacity())
                FUZZ_CHECK(DetectEncoding(fuzz::Edge().Place(data, size), count) == raw);
        }
    }
    return 0;
}
