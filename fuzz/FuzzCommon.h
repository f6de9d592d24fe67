// Shared checks of the converter fuzz targets. The input is placed so that its
// terminating zero is the last unit of its heap block: AddressSanitizer then
// reports any read past the terminator.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "decode/Convert.h"

namespace fuzz {

[[noreturn]] inline void Fail(const char* what)
{
    __builtin_trap();
    (void)what;
}

#define FUZZ_CHECK(condition)                                                                  \
    do {                                                                                       \
        if (!(condition))                                                                      \
            ::fuzz::Fail(#condition);                                                          \
    } while (0)

// Checks one converter on one zero-terminated input:
//  - the measuring call and the converting call with capacity measured + 1
//    agree, and the output is terminated right behind the measured length;
//  - at a capacity taken from the input, the result is -1 or the measured
//    length, nothing is written at or past the capacity, and what was written
//    is a prefix of the full output.
template <typename In, typename Out>
void CheckConverter(int64_t (*convert)(Out*, const In*, uint64_t), const In* input,
                    uint64_t capacitySeed)
{
    constexpr Out sentinel = static_cast<Out>(0xA5A5);
    constexpr size_t guard = 16;
    const int64_t measured = convert(nullptr, input, capacitySeed);
    FUZZ_CHECK(measured >= 0);
    const size_t length = static_cast<size_t>(measured);

    std::vector<Out> full(length + 1 + guard, sentinel);
    FUZZ_CHECK(convert(full.data(), input, length + 1) == measured);
    FUZZ_CHECK(full[length] == 0);
    for (size_t k = length + 1; k < full.size(); ++k)
        FUZZ_CHECK(full[k] == sentinel);

    const uint64_t capacity = capacitySeed % (length + 3);
    std::vector<Out> part(capacity + guard, sentinel);
    const int64_t result = convert(part.data(), input, capacity);
    FUZZ_CHECK(result == (capacity > length ? measured : -1) || (length == 0 && result == 0));
    for (size_t k = capacity; k < part.size(); ++k)
        FUZZ_CHECK(part[k] == sentinel);
    // Everything before the terminator (or before the first untouched unit)
    // matches the full output.
    for (size_t k = 0; k < capacity && k < length; ++k) {
        if (part[k] == sentinel || part[k] == 0)
            break;
        FUZZ_CHECK(part[k] == full[k]);
    }
}

// A zero-terminated copy of data as units of In, the terminator being the
// last unit of the block.
template <typename In>
std::unique_ptr<In[]> Terminated(const uint8_t* data, size_t size)
{
    const size_t units = size / sizeof(In);
    std::unique_ptr<In[]> block(new In[units + 1]);
    if (units)
        std::memcpy(block.get(), data, units * sizeof(In));
    block[units] = 0;
    return block;
}

// A copy of bytes placed so that its last byte is the last one before an
// inaccessible page: any read beyond it faults, sanitizer or not. Holds up to
// one page.
class PageEdge {
public:
    PageEdge()
    {
        FPage = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        void* p = mmap(nullptr, 2 * FPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        FUZZ_CHECK(p != MAP_FAILED);
        FBase = static_cast<uint8_t*>(p);
        FUZZ_CHECK(mprotect(FBase + FPage, FPage, PROT_NONE) == 0);
    }
    size_t Capacity() const { return FPage; }
    // Copies bytes to the end of the accessible page; returns where they start.
    const uint8_t* Place(const void* bytes, size_t size)
    {
        uint8_t* start = FBase + FPage - size;
        std::memcpy(start, bytes, size);
        return start;
    }

private:
    size_t FPage = 0;
    uint8_t* FBase = nullptr;
};

inline PageEdge& Edge()
{
    static PageEdge edge;
    return edge;
}

// Measures the input again from a copy that ends, terminator included, at a
// page edge; the result must not change. Inputs of In units need an even
// page offset, which the page size gives.
template <typename In, typename Out>
void CheckAtPageEdge(int64_t (*convert)(Out*, const In*, uint64_t), const In* input, size_t units,
                     int64_t measured)
{
    if ((units + 1) * sizeof(In) > Edge().Capacity())
        return;
    const auto* placed = reinterpret_cast<const In*>(Edge().Place(input, (units + 1) * sizeof(In)));
    FUZZ_CHECK(convert(nullptr, placed, 0) == measured);
}

// The whole output of a converter, measured and converted with capacity
// measured + 1.
template <typename In, typename Out>
std::vector<Out> Whole(int64_t (*convert)(Out*, const In*, uint64_t), const In* input)
{
    const int64_t measured = convert(nullptr, input, 0);
    std::vector<Out> out(static_cast<size_t>(measured) + 1);
    FUZZ_CHECK(convert(out.data(), input, out.size()) == measured);
    out.resize(static_cast<size_t>(measured));
    return out;
}

// The fast lanes, wide and narrow, give what the literal steps give, and the tail window of
// the route (at a start taken from the seed, reporting progress now and then)
// holds exactly the whole output's bytes from that start on.
template <typename In>
void CheckLiteralAndTail(int64_t (*convert)(uint8_t*, const In*, uint64_t), SjisRoute route, const In* input,
                         uint64_t seed)
{
    const std::vector<uint8_t> fast = Whole(convert, input);
    SetConverterFastLanes(false);
    const std::vector<uint8_t> literal = Whole(convert, input);
    SetConverterFastLanes(true);
    FUZZ_CHECK(fast == literal);
    SetConverterWideLanes(false);
    const std::vector<uint8_t> narrow = Whole(convert, input);
    SetConverterWideLanes(true);
    FUZZ_CHECK(narrow == literal);

    const auto* bytes = reinterpret_cast<const uint8_t*>(input);
    PassProgress progress;
    static const uint8_t* last = nullptr;
    last = bytes;
    progress.Reached = [](const uint8_t* position, void*) {
        FUZZ_CHECK(position >= last);
        last = position;
    };
    progress.Every = 1 + static_cast<int64_t>(seed % 17);
    const SjisMeasure measure = MeasureSjis(route, bytes, (seed & 1) ? &progress : nullptr);
    FUZZ_CHECK(measure.Length == fast.size());
    size_t zero = 0;
    while (zero < fast.size() && fast[zero] != 0)
        ++zero;
    FUZZ_CHECK(measure.TextLength == zero);
    const uint64_t start = (seed >> 8) % (fast.size() + 1);
    std::vector<uint8_t> window(fast.size() - start + 1 + 16, 0xA5);
    // At each report, the bytes the tail pass says are final are the
    // output's own: another thread may take them then.
    struct Published {
        std::atomic<uint64_t> Final{0};
        const uint8_t* Window = nullptr;
        const uint8_t* Expected = nullptr;
        uint64_t Length = 0;
        uint64_t Checked = 0;
    } published;
    published.Window = window.data();
    published.Expected = fast.data() + start;
    published.Length = fast.size() - start;
    PassProgress tailProgress = progress;
    tailProgress.Final = &published.Final;
    tailProgress.Context = &published;
    tailProgress.Reached = [](const uint8_t* position, void* context) {
        FUZZ_CHECK(position >= last);
        last = position;
        auto& p = *static_cast<Published*>(context);
        const uint64_t final = p.Final.load(std::memory_order_acquire);
        FUZZ_CHECK(final >= p.Checked && final <= p.Length);
        FUZZ_CHECK(std::equal(p.Window + p.Checked, p.Window + final, p.Expected + p.Checked));
        p.Checked = final;
    };
    last = bytes;
    const uint64_t written =
        ConvertSjisTail(route, bytes, start, window.data(), fast.size() - start + 1,
                        (seed & 2) ? &tailProgress : nullptr, (seed & 4) ? &measure : nullptr);
    FUZZ_CHECK(written == fast.size() - start);
    FUZZ_CHECK(std::equal(fast.begin() + static_cast<std::ptrdiff_t>(start), fast.end(), window.begin()));
    FUZZ_CHECK(window[written] == 0);
    for (size_t k = written + 1; k < window.size(); ++k)
        FUZZ_CHECK(window[k] == 0xA5);
}

inline uint64_t Seed(const uint8_t* data, size_t size)
{
    uint64_t seed = 0;
    for (size_t k = 0; k < size && k < 8; ++k)
        seed = seed * 131 + data[size - 1 - k];
    return seed;
}

} // namespace fuzz
