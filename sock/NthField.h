// Field splitter used on reply and command lines.
#pragma once

#include <string>

// Field n (counted from 1) of text split at single separator bytes, into
// field. Empty fields, n < 1 and n beyond the last field give an empty field.
// Does not wait, does not throw.
void NthField(const std::string& text, char separator, int n, std::string& field);
