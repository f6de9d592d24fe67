#include "app/FollowDisplay.h"

#include "codec/SjisCodec.h"
#include "view/SjisMemo.h"
#include "view/LineFilter.h"
#include "decode/Convert.h"
#include "decode/Detect.h"

#include <QScrollBar>
#include <QTextCursor>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

enum Route { rtUnconverted, rtJis, rtEuc, rtUtf8, rtUtf16, rtDetect };

Route RouteForName(const std::string& name)
{
    if (name == "JIS")
        return rtJis;
    if (name == "EUC")
        return rtEuc;
    if (name == "UTF8")
        return rtUtf8;
    if (name == "Unicode")
        return rtUtf16;
    if (name == "SJIS")
        return rtUnconverted;
    return rtDetect;
}

Route RouteForKind(EncodingKind kind)
{
    switch (kind) {
    case ekJis: return rtJis;
    case ekEuc: return rtEuc;
    case ekUtf16: return rtUtf16;
    case ekUtf8: return rtUtf8;
    default: return rtUnconverted;
    }
}

// Bytes of the file followed by four zero bytes, in 16-bit units so the
// UTF-16 converter can read them too.
struct Chunk {
    std::unique_ptr<uint16_t[]> Units;
    int64_t Size = 0;
    uint8_t* Bytes() const { return reinterpret_cast<uint8_t*>(Units.get()); }
};

Chunk ReadRange(const std::string& path, int64_t from, int64_t to)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw std::runtime_error("cannot open");
    Chunk chunk;
    chunk.Size = to - from;
    chunk.Units = std::make_unique_for_overwrite<uint16_t[]>(size_t(chunk.Size + 4 + 1) / 2);
    uint8_t* bytes = chunk.Bytes();
    int64_t done = 0;
    while (done < chunk.Size) {
        const ssize_t n = ::pread(fd, bytes + done, size_t(std::min<int64_t>(chunk.Size - done, 1 << 30)),
                                  from + done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ::close(fd);
            throw std::runtime_error("cannot read");
        }
        done += n;
    }
    ::close(fd);
    std::memset(bytes + chunk.Size, 0, size_t((chunk.Size + 4 + 1) / 2 * 2 - chunk.Size));
    return chunk;
}

// The chunk converted to Shift_JIS (up to its first terminator), measured
// first and then converted within the measured capacity.
std::string Convert(Route route, const Chunk& chunk)
{
    const uint8_t* input = chunk.Bytes();
    std::string out;
    auto into = [&](int64_t measured) {
        if (measured < 0)
            throw std::bad_alloc();
        out.resize(size_t(measured) + 4);
        return reinterpret_cast<uint8_t*>(out.data());
    };
    int64_t length = 0;
    switch (route) {
    case rtUnconverted: {
        const void* zero = std::memchr(input, 0, size_t(chunk.Size) + 1);
        return std::string(reinterpret_cast<const char*>(input),
                           size_t(static_cast<const uint8_t*>(zero) - input));
    }
    case rtJis: {
        const int64_t n = JisToSjis(nullptr, input, 0);
        length = JisToSjis(into(n), input, uint64_t(n) + 4);
        break;
    }
    case rtEuc: {
        const int64_t n = EucToSjis(nullptr, input, 0);
        length = EucToSjis(into(n), input, uint64_t(n) + 4);
        break;
    }
    case rtUtf16: {
        const int64_t n = Utf16ToSjis(nullptr, chunk.Units.get(), 0);
        length = Utf16ToSjis(into(n), chunk.Units.get(), uint64_t(n) + 4);
        break;
    }
    case rtUtf8: {
        const int64_t e = Utf8ToUtf16(nullptr, input, 0);
        if (e < 0)
            throw std::bad_alloc();
        auto utf16 = std::make_unique_for_overwrite<uint16_t[]>(size_t(e) + 4);
        Utf8ToUtf16(utf16.get(), input, uint64_t(e) + 4);
        const int64_t m = Utf16ToSjis(nullptr, utf16.get(), 0);
        length = Utf16ToSjis(into(m), utf16.get(), uint64_t(m) + 4);
        break;
    }
    default:
        throw std::logic_error("no route");
    }
    out.resize(size_t(std::max<int64_t>(length, 0)));
    return out;
}

// EUC-JP: a byte below 0xA1 other than SS2/SS3 (and not SS3's second byte)
// ends a character, and the bytes 0xA1-0xFF behind it pair up; an even run of
// them before the final LF leaves the LF a character of its own. The start of
// the bytes is a character boundary.
bool EucEndsOnBreak(const uint8_t* b, int64_t size)
{
    int64_t k = size - 2;
    while (k >= 0 && b[k] >= 0xA1)
        --k;
    const int64_t run = size - 2 - k;
    if (k >= 0 && (b[k] == 0x8E || b[k] == 0x8F || (k >= 1 && b[k - 1] == 0x8F)))
        return false;
    return run % 2 == 0;
}

// UTF-8: no sequence that could start in the last bytes before the LF
// reaches it (continuation bytes are not checked by the decoder).
bool Utf8EndsOnBreak(const uint8_t* b, int64_t size)
{
    for (int64_t q = std::max<int64_t>(0, size - 7); q <= size - 2; ++q) {
        int length = 1;
        DecodeUtf8Char(b + q, &length);
        if (q + length >= size)
            return false;
    }
    return true;
}

// Bytes after which a conversion may have stopped early (a terminator, or a
// UTF-8 lead whose sequence may decode to 0): nothing behind them may be
// converted on its own.
bool HoldsStop(Route route, const uint8_t* b, int64_t size)
{
    if (std::memchr(b, 0, size_t(size)))
        return true;
    if (route != rtUtf8)
        return false;
    for (int64_t i = 0; i < size; ++i)
        if (b[i] == 0xC0 || b[i] == 0xE0 || b[i] == 0xF0 || b[i] == 0xF8 || b[i] == 0xFC)
            return true;
    return false;
}

bool EndsOnBreak(Route route, const uint8_t* b, int64_t size)
{
    if (size == 0)
        return true;   // nothing converted yet: a boundary
    if (b[size - 1] != '\n' || HoldsStop(route, b, size))
        return false;
    switch (route) {
    case rtUnconverted: return true;
    case rtEuc: return EucEndsOnBreak(b, size);
    case rtUtf8: return Utf8EndsOnBreak(b, size);
    default: return false;
    }
}

// The tail cut of the display pipeline applied to text whose first byte may
// be shown alone: the start offset and whether its first byte is stray.
std::pair<size_t, bool> TailCut(const std::string& text, bool stray, int32_t tailSize)
{
    if (tailSize <= 0 || text.size() < size_t(tailSize))
        return {0, stray};
    const size_t start = text.size() - size_t(tailSize);
    if (start == 0)
        return {0, stray};
    const auto* t = reinterpret_cast<const uint8_t*>(text.data());
    const size_t floor = stray ? 1 : 0;
    size_t run = 0;
    while (start - run > floor && SjisCodec::IsLeadByte(t[start - 1 - run]))
        ++run;
    const bool onTrail = SjisCodec::IsTrailByte(t[start]) && run % 2 == 1;
    const bool splitBreak = t[start] == '\n' && t[start - 1] == '\r';
    return {start, onTrail || splitBreak};
}

// The caret stands at the end of the text with nothing selected, and the
// user has not scrolled away from it. Positions are the view's byte offsets
// on both sides. The end counts as shown while the caret's line is inside
// the viewport, even when the scroll bar's maximum has moved on by a line.
bool CaretAtEnd(const SjisMemo& memo)
{
    if (memo.SelLength() != 0 || memo.SelStart() != memo.TextLength())
        return false;
    const QScrollBar* bar = memo.verticalScrollBar();
    if (bar->value() == bar->maximum())
        return true;
    const QRect caret = memo.CaretRect(memo.SelStart());
    return caret.top() >= 0 && caret.bottom() <= memo.viewport()->height();
}

void ScrollToEnd(SjisMemo& memo)
{
    memo.SetSelStart(memo.TextLength());
    memo.SetSelLength(0);
    memo.ensureCursorVisible();
    memo.verticalScrollBar()->setValue(memo.verticalScrollBar()->maximum());
}

// The caret, selection and scroll position of the view, put back after its
// text changed.
struct Place {
    explicit Place(SjisMemo& memo)
        : Memo(memo), Start(memo.SelStart()), Length(memo.SelLength()),
          H(memo.horizontalScrollBar()->value()), V(memo.verticalScrollBar()->value())
    {
    }
    // After text was only added behind: the offsets before it still hold.
    void RestoreCursor() { RestoreOffsets(); }
    // After the text was replaced: by byte offsets, clamped.
    void RestoreOffsets()
    {
        const int64_t length = Memo.TextLength();
        Memo.SetSelStart(std::min(Start, length));
        Memo.SetSelLength(std::min(Length, length - Memo.SelStart()));
        RestoreScroll();
    }
    void RestoreScroll()
    {
        Memo.horizontalScrollBar()->setValue(H);
        Memo.verticalScrollBar()->setValue(V);
    }
    SjisMemo& Memo;
    int64_t Start, Length;
    int H, V;
};

using Rule = std::shared_ptr<const LineFilter>;

// The view gets the converted text, and the filter that was in force is
// applied to it again.
void SetViewText(SjisMemo& memo, const std::string& text, bool stray, const Rule& filter)
{
    memo.SetText(text, stray);
    if (filter)
        memo.ApplyFilterNow(filter);
}

// Puts the shown part of the converted text (tail mode) into the view.
void ShowTail(SjisMemo& memo, FollowViewState& state, const Rule& filter)
{
    const auto [start, stray] = TailCut(state.Shown, state.ShownStray, state.TailSize);
    state.Shown.erase(0, start);
    state.ShownStray = stray;
    SetViewText(memo, state.Shown, state.ShownStray, filter);
}

} // namespace

bool EndsOnIndependentBreak(const std::string& route, const uint8_t* bytes, int64_t size)
{
    const Route r = RouteForName(route);
    return r != rtDetect && EndsOnBreak(r, bytes, size);
}

FollowDisplayCounts ShowFollowedFile(SjisMemo& memo, FollowViewState& state, const std::string& path,
                                     int32_t tailSize, const std::string& encoding,
                                     const std::optional<std::string>& appliedFilter, bool replaced,
                                     int64_t oldSize)
{
    // The view's own filter rule; a text filter named by the caller when
    // the view holds none.
    Rule filter = memo.ActiveFilter();
    if (!filter && appliedFilter && !appliedFilter->empty()) {
        filter = LineFilter::Text(*appliedFilter, {.MatchCase = true});
        memo.ApplyFilterNow(filter);
    }
    // A copy fetched whole is a new file: marks do not carry over.
    if (replaced)
        memo.ClearMarks();
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        throw std::runtime_error("cannot open");
    const int64_t size = int64_t(st.st_size);
    const bool atEnd = CaretAtEnd(memo);
    FollowDisplayCounts counts;

    const bool incremental = state.Valid && !replaced && state.Appendable && state.Encoding == encoding &&
        state.TailSize == tailSize && state.FileSize == oldSize && size >= oldSize;
    if (incremental) {
        const Route route = Route(state.Route);
        const Chunk chunk = ReadRange(path, oldSize, size);
        const std::string added = Convert(route, chunk);
        counts = {true, chunk.Size};
        const bool cut = tailSize > 0;
        FollowViewState next = state;
        next.FileSize = size;
        next.ConvertedLength += int64_t(added.size());
        next.Appendable = EndsOnBreak(route, chunk.Bytes(), chunk.Size);
        if (cut)
            next.Shown += added;
        if (cut && atEnd) {
            ShowTail(memo, next, filter);
            ScrollToEnd(memo);
        } else if (!added.empty()) {
            Place place(memo);
            if (filter) {
                // The view filters the new lines alone.
                memo.Append(added);
            } else {
                memo.SetSelStart(memo.TextLength());
                memo.SetSelText(added);
            }
            if (atEnd)
                ScrollToEnd(memo);
            else
                place.RestoreCursor();
        }
        state = std::move(next);
        return counts;
    }

    // A whole conversion.
    Chunk whole = ReadRange(path, 0, size);
    Route route = RouteForName(encoding);
    if (route == rtDetect)
        route = RouteForKind(DetectEncoding(whole.Bytes(), whole.Size - 1));
    const std::string out = Convert(route, whole);
    counts = {false, whole.Size};
    const bool cut = tailSize > 0;

    // Where the text the view holds starts in the old conversion, so that a
    // user who is not at the end keeps the same text in the same places.
    size_t keepFrom = 0;
    if (!replaced && !atEnd && cut) {
        int64_t oldLength = 0;
        int64_t oldShown = 0;
        if (state.Valid && state.FileSize == oldSize && state.Encoding == encoding && state.Route == route) {
            oldLength = state.ConvertedLength;
            oldShown = int64_t(state.Shown.size());
        } else if (oldSize <= whole.Size) {
            // Measure the old part's conversion with the terminator moved.
            const int64_t at = route == rtUtf16 ? oldSize & ~int64_t(1) : oldSize;
            uint8_t saved[2] = {whole.Bytes()[at], whole.Bytes()[at + 1]};
            whole.Bytes()[at] = whole.Bytes()[at + 1] = 0;
            oldLength = int64_t(Convert(route, whole).size());
            whole.Bytes()[at] = saved[0];
            whole.Bytes()[at + 1] = saved[1];
            oldShown = std::min<int64_t>(oldLength, tailSize);
        }
        keepFrom = size_t(std::clamp<int64_t>(oldLength - oldShown, 0, int64_t(out.size())));
    }

    FollowViewState next;
    next.Valid = true;
    next.Encoding = encoding;
    next.Route = route;
    next.TailSize = tailSize;
    next.FileSize = size;
    next.ConvertedLength = int64_t(out.size());
    next.Appendable = EndsOnBreak(route, whole.Bytes(), whole.Size);
    Place place(memo);
    if (cut) {
        if (keepFrom > 0) {
            next.Shown = out.substr(keepFrom);
            next.ShownStray = TailCut(out, false, int32_t(std::min<size_t>(out.size() - keepFrom, INT32_MAX))).second;
            SetViewText(memo, next.Shown, next.ShownStray, filter);
        } else {
            next.Shown = out;
            if (atEnd || replaced)
                ShowTail(memo, next, filter);
            else
                SetViewText(memo, next.Shown, false, filter);
        }
    } else {
        SetViewText(memo, out, false, filter);
    }
    if (atEnd)
        ScrollToEnd(memo);
    else
        place.RestoreOffsets();
    state = std::move(next);
    return counts;
}
