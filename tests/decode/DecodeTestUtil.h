// Helpers for the decode tests: inputs placed at the very end of their own
// heap block (so AddressSanitizer catches a read past the terminator) and the
// display's measure / allocate / convert sequence.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "decode/Convert.h"

namespace decodetest {

using Bytes = std::string;   // byte strings; std::string keeps literals short

// A zero-terminated copy of text in a block of exactly text.size() + 1 units.
template <typename Unit>
class ExactInput {
public:
    explicit ExactInput(const std::basic_string<Unit>& text)
        : FData(new Unit[text.size() + 1])
    {
        std::memcpy(FData.get(), text.data(), text.size() * sizeof(Unit));
        FData[text.size()] = 0;
    }
    const Unit* Data() const { return FData.get(); }

private:
    std::unique_ptr<Unit[]> FData;
};

inline const uint8_t* U8(const Bytes& text) { return reinterpret_cast<const uint8_t*>(text.data()); }

// The converter signature of the three converters that produce bytes.
template <typename In>
using ToSjis = int64_t (*)(uint8_t*, const In*, uint64_t);

// Measures, allocates exactly measured + 1 and converts; checks agreement.
template <typename In>
std::string Convert(ToSjis<In> convert, const std::basic_string<In>& text)
{
    ExactInput<In> input(text);
    const int64_t measured = convert(nullptr, input.Data(), 0);
    std::vector<uint8_t> out(static_cast<size_t>(measured) + 1, 0xAA);
    const int64_t converted = convert(out.data(), input.Data(), out.size());
    if (converted != measured || out[static_cast<size_t>(measured)] != 0)
        return "<measuring and converting disagree>";
    return std::string(out.begin(), out.begin() + measured);
}

inline std::basic_string<uint8_t> Raw(const Bytes& text)
{
    return std::basic_string<uint8_t>(text.begin(), text.end());
}

inline std::string Jis(const Bytes& text) { return Convert<uint8_t>(JisToSjis, Raw(text)); }
inline std::string Euc(const Bytes& text) { return Convert<uint8_t>(EucToSjis, Raw(text)); }
inline std::string Utf16(const std::u16string& text)
{
    std::basic_string<uint16_t> units(text.begin(), text.end());
    return Convert<uint16_t>(Utf16ToSjis, units);
}

inline std::u16string Utf8(const Bytes& text)
{
    ExactInput<uint8_t> input(Raw(text));
    const int64_t measured = Utf8ToUtf16(nullptr, input.Data(), 0);
    std::vector<uint16_t> out(static_cast<size_t>(measured) + 1, 0xAAAA);
    const int64_t converted = Utf8ToUtf16(out.data(), input.Data(), out.size());
    if (converted != measured || out[static_cast<size_t>(measured)] != 0)
        return u"<measuring and converting disagree>";
    return std::u16string(out.begin(), out.begin() + measured);
}

} // namespace decodetest
