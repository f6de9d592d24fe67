#include "ftp/TKZFTP.h"

#include <limits>

int64_t SizeFromReply(const std::string& line)
{
    std::string upper = line;
    for (char& c : upper)
        if (c >= 'a' && c <= 'z')
            c = char(c - 'a' + 'A');
    const size_t byteAt = upper.find("BYTE");
    if (byteAt == std::string::npos)
        return 0;

    auto isDigit = [&](size_t i) { return line[i] >= '0' && line[i] <= '9'; };
    // Leftwards from "BYTE" to the nearest digit; the scan stops at the start
    // of the line, and no digit at all gives 0.
    size_t last = byteAt;
    while (last > 0 && !isDigit(last - 1))
        --last;
    if (last == 0)
        return 0;
    --last;
    size_t first = last;
    while (first > 0 && isDigit(first - 1))
        --first;

    // At most 255 digits are collected; a value beyond 63 bits gives 0.
    const size_t count = std::min<size_t>(last - first + 1, 255);
    int64_t value = 0;
    for (size_t i = first; i < first + count; ++i) {
        const int digit = line[i] - '0';
        if (value > (std::numeric_limits<int64_t>::max() - digit) / 10)
            return 0;
        value = value * 10 + digit;
    }
    return value;
}
