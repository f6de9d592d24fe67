// Overwriting a secret (a passphrase) before its memory is given up.
#pragma once

#include <cstring>
#include <string>

// Overwrites the whole of text's buffer and empties it. The whole capacity
// is overwritten, not only the text: a short string moved from keeps its
// characters in its inline buffer although it reads as empty.
inline void WipeSecret(std::string& text)
{
    text.resize(text.capacity());
    explicit_bzero(text.data(), text.size());
    text.clear();
}
