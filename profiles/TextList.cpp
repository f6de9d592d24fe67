#include "profiles/TextList.h"

void TextList::SetText(std::string_view text)
{
    Items.clear();
    text = text.substr(0, text.find('\0'));
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string_view::npos) {
            Items.emplace_back(text.substr(pos));
            break;
        }
        Items.emplace_back(text.substr(pos, end - pos));
        pos = end + 1;
        if (text[end] == '\r' && pos < text.size() && text[pos] == '\n')
            ++pos;
    }
}
