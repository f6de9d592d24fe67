#include "sock/SshFingerprint.h"

#include <cstring>

bool IsPinnedFingerprint(const std::string& text)
{
    static constexpr char Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    if (text.size() != 43)
        return false;
    for (char c : text)
        if (c == '\0' || std::strchr(Alphabet, c) == nullptr)
            return false;
    // 32 bytes are 256 bits; the 43rd character holds the last 4 bits and
    // two zero bits, so its value is a multiple of 4.
    const size_t last = size_t(std::strchr(Alphabet, text.back()) - Alphabet);
    return last % 4 == 0;
}
