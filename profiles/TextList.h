// A list of byte strings whose reads are checked: reading a missing index
// throws the list index error, as the host-profile code relies on.
#pragma once

#include "profiles/Errors.h"

#include <string>
#include <string_view>
#include <vector>

class TextList {
public:
    void Clear() { Items.clear(); }
    void Add(std::string text) { Items.push_back(std::move(text)); }
    int Count() const { return static_cast<int>(Items.size()); }

    // Item i; throws EListError when there is none.
    const std::string& operator[](int index) const
    {
        if (index < 0 || index >= Count())
            throw EListError(index);
        return Items[static_cast<std::size_t>(index)];
    }

    // Replaces the content with the lines of a text: CR LF, LF and CR end a
    // line, a last line without a break is a line, a break at the very end
    // adds none, and a NUL byte ends the data.
    void SetText(std::string_view text);

private:
    std::vector<std::string> Items;
};
