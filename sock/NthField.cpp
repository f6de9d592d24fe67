#include "sock/NthField.h"

void NthField(const std::string& text, char separator, int n, std::string& field)
{
    field.clear();
    int separators = 0;
    for (char c : text) {
        if (c == separator) {
            if (++separators == n)
                break;
        } else if (separators == n - 1) {
            field += c;
        }
    }
}
