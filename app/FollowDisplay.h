// The display of a followed file: after each refresh the view gets the new
// text while the user keeps their place. Only the bytes a refresh added are
// converted where that provably gives what a whole conversion would (EUC-JP,
// UTF-8 and unconverted Shift_JIS whose converted part ended on a line break
// at a character boundary); anything else is converted whole.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

class SjisMemo;

// What the view holds of the followed file; kept between refreshes.
struct FollowViewState {
    bool Valid = false;
    std::string Encoding;        // the encoding name the text was converted with
    int Route = 0;               // the conversion actually used (after detection)
    int32_t TailSize = 0;
    int64_t FileSize = 0;        // bytes of the copy converted so far
    int64_t ConvertedLength = 0; // length of the whole file's converted text
    bool Appendable = false;     // bytes behind FileSize convert on their own
    std::string Shown;           // tail mode: the converted bytes in the view
    bool ShownStray = false;     // Shown's first byte is shown alone
};

// How a refresh went, as far as the display is concerned.
struct FollowDisplayCounts {
    bool Incremental = false;    // only the new bytes were converted
    int64_t Converted = 0;       // bytes of the file converted
};

// Shows the refreshed local copy at path. replaced: the copy was fetched
// whole (rotated or rewritten) rather than appended to; oldSize is its size
// before. Caret at the end before: the new end is shown, cut to tailSize;
// otherwise the caret, selection and scroll position stay and the new text
// is added behind without a new cut. filter: a line filter applied to the
// view, kept on the new text. Does not wait. Throws when the copy cannot be
// read or the view cannot hold the text; the view is unchanged then.
FollowDisplayCounts ShowFollowedFile(SjisMemo& memo, FollowViewState& state, const std::string& path,
                                     int32_t tailSize, const std::string& encoding,
                                     const std::optional<std::string>& filter, bool replaced,
                                     int64_t oldSize);

// Whether the converted text of a file whose bytes are bytes[0, size) ends
// where more bytes behind it convert on their own, for the named route
// ("EUC", "UTF8", "SJIS"; any other gives false). Exposed for the tests.
bool EndsOnIndependentBreak(const std::string& route, const uint8_t* bytes, int64_t size);
