// Wiping a secret (a password, a passphrase) held in a string once it has
// been used, so the bytes do not linger in freed memory.
#pragma once

#include <cstring>
#include <string>

// Overwrites the whole of text's buffer (the compiler may not drop the
// writes) and empties it. The whole capacity, not only the text: a short
// string moved from keeps its characters in its inline buffer although it
// reads as empty, and a shortened one keeps its old tail. Does not throw.
inline void WipeSecret(std::string& text)
{
    text.resize(text.capacity());
    explicit_bzero(text.data(), text.size());
    text.clear();
}
