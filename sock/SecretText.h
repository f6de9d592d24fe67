// Wiping a secret (a password, a passphrase) held in a string once it has
// been used, so the bytes do not linger in freed memory.
#pragma once

#include <cstring>
#include <string>

// Overwrites text's bytes (the compiler may not drop the writes) and empties
// it. Does not throw.
inline void WipeSecret(std::string& text)
{
    if (!text.empty())
        explicit_bzero(text.data(), text.size());
    text.clear();
}
