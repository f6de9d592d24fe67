// SjisView: construction, the text in and out, appends while the index is
// built, the selection and the lines as the memo reads them.
#include "view/SjisView.h"

#include "codec/SjisCodec.h"
#include "view/Fonts.h"
#include "view/SjisLineSearch.h"
#include "view/SjisViewAccessible.h"

#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QScrollBar>
#include <QTextLayout>

#include <algorithm>
#include <utility>

SjisView::SjisView(QWidget* parent) : QAbstractScrollArea(parent), FBuffer(std::make_unique<SjisTextBuffer>())
{
    QPalette pal = palette();
    pal.setColor(QPalette::Base, Qt::black);
    pal.setColor(QPalette::Text, Qt::white);
    setPalette(pal);
    viewport()->setPalette(pal);
    viewport()->setAutoFillBackground(true);
    setFont(ViewFont());
    viewport()->setCursor(Qt::IBeamCursor);
    setFocusPolicy(Qt::StrongFocus);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    horizontalScrollBar()->setRange(0, 0);
    FIndexTimer.setInterval(0);
    connect(&FIndexTimer, &QTimer::timeout, this, &SjisView::IndexSlice);
    FSearchTimer.setInterval(0);
    connect(&FSearchTimer, &QTimer::timeout, this, &SjisView::SearchSlice);
    FBuffer->IndexMore();
    SjisViewAccessible::Install();
}

SjisView::~SjisView()
{
    // A wait for a search ends with the view.
    OnFilterDropped = nullptr;
    StopSearch();
}

const SjisLines& SjisView::Lines() const
{
    Complete();
    return Current();
}

void SjisView::Complete() const
{
    // Offsets count every line break before them, so whatever reads them
    // needs the whole index; the view's own painting does not wait for it.
    if (!FBuffer->Indexed())
        FBuffer->IndexMore();
}

const SjisLines& SjisView::Current() const
{
    if (FKept)
        return *FKept;
    return *FBuffer;
}

void SjisView::Clear()
{
    FMarks.clear();
    AdoptText(std::string());
}

void SjisView::ClearHistory()
{
    FHistory.Clear();
    FHistoryEnd = 0;
}

void SjisView::SetText(std::string_view bytes, bool firstByteStray)
{
    AdoptText(std::string(bytes), firstByteStray);
}

void SjisView::AdoptText(std::string bytes, bool firstByteStray)
{
    AdoptText(SjisTextStore(std::move(bytes)), firstByteStray);
}

void SjisView::AdoptText(SjisTextStore bytes, bool firstByteStray)
{
    SjisTextBuffer text;
    text.SetText(std::move(bytes), firstByteStray);
    AdoptText(std::move(text));
}

void SjisView::AdoptText(SjisTextBuffer text)
{
    // A filter of the view's own ends with the text it ran on, unsaid: the
    // caller puts its rule in force again on the new text if it wants it.
    if (FSearch && FOwnFilter != OwnFilter::None)
        DropSearch();
    else
        StopSearch();
    ClearHistory();
    const auto marked = MarkedBytes();
    FKept.reset();
    FActiveFilter.reset();
    *FBuffer = std::move(text);
    FBuffer->IndexMore(marked.empty() ? PieceBytes : SIZE_MAX);
    PutBackMarks(marked);
    FAnchor = FCaret = 0;
    FGoalX = -1;
    if (!FBuffer->Indexed()) {
        FIndexTimer.start();
        if (OnProgress)
            OnProgress(QStringLiteral("索引中"), FBuffer->IndexedShare());
    } else {
        FIndexTimer.stop();
    }
    Relayout();
    verticalScrollBar()->setValue(0);
    LinesChanged(0);
}

void SjisView::Append(std::string_view bytes)
{
    if (bytes.empty())
        return;
    if (FActiveFilter) {
        // A filter in force takes the new lines alone: the line the text
        // ended in (which may grow) and those behind it. That line may
        // leave the view, and an edit step in it with it. A filter of the
        // view's own still running goes on from where its lines began.
        const OwnFilter running = FSearch ? FOwnFilter : OwnFilter::None;
        if (running != OwnFilter::None)
            DropSearch();
        else
            StopSearch();
        Complete();
        ClearHistory();
        if (running == OwnFilter::Again) {
            // Filtered again from the start, the new lines among those shown.
            std::vector<int64_t> shown;
            const int64_t last = FBuffer->Count() - 1;
            if (FKept) {
                shown = FKept->Sources();
                while (!shown.empty() && shown.back() >= last)
                    shown.pop_back();
            }
            const bool kept = FKept != nullptr;
            FKept.reset();
            FBuffer->Append(bytes);
            FBuffer->IndexMore();
            if (kept) {
                for (int64_t i = last; i < FBuffer->Count(); ++i)
                    if (i + 1 < FBuffer->Count() || !FBuffer->Bytes(i).empty())
                        shown.push_back(i);
                FKept = std::make_unique<SjisKeptLines>(*FBuffer, std::move(shown));
            }
            FAnchor = std::min<uint64_t>(FAnchor, Current().Length());
            FCaret = std::min<uint64_t>(FCaret, Current().Length());
            FLayouts.clear();
            UpdateScrollRange();
            viewport()->update();
            StartOwnFilter(
                OwnFilter::Again,
                std::make_unique<SjisLineSearch>(SjisLineSearch::Filter(Current(), FActiveFilter)));
            return;
        }
        const int64_t from = running == OwnFilter::Appended ? FAppendFrom : FBuffer->Count() - 1;
        std::vector<int64_t> sources;
        if (FKept) {
            sources = FKept->Sources();
        } else {
            sources.resize(static_cast<std::size_t>(from));
            for (int64_t i = 0; i < from; ++i)
                sources[static_cast<std::size_t>(i)] = i;
        }
        while (!sources.empty() && sources.back() >= from)
            sources.pop_back();
        const auto unchanged = static_cast<int64_t>(sources.size());
        FKept.reset();
        FBuffer->Append(bytes);
        FBuffer->IndexMore();
        if (FActiveFilter->Which() == LineFilter::Kind::Marks) {
            for (auto m = std::lower_bound(FMarks.begin(), FMarks.end(), from); m != FMarks.end(); ++m)
                sources.push_back(*m);
        }
        FKept = std::make_unique<SjisKeptLines>(*FBuffer, std::move(sources));
        FAnchor = std::min<uint64_t>(FAnchor, FKept->Length());
        FCaret = std::min<uint64_t>(FCaret, FKept->Length());
        FLayouts.clear();
        UpdateScrollRange();
        viewport()->update();
        LinesChanged(unchanged);
        CaretMoved();
        if (FActiveFilter->Which() != LineFilter::Kind::Marks) {
            // The lines kept so far stay shown while the new ones are
            // filtered in slices.
            FAppendFrom = from;
            StartOwnFilter(
                OwnFilter::Appended,
                std::make_unique<SjisLineSearch>(SjisLineSearch::Filter(*FBuffer, FActiveFilter, from)));
        }
        return;
    }
    if (FKept) {
        // Lines added to a filtered view are shown whole behind the kept
        // ones: the kept text becomes the text.
        const bool stray = FKept->FirstByteStray();
        const uint64_t length = FKept->Length();
        ReplaceWholeText(length, length, {}, stray);
    }
    // The edit steps lie before the new bytes and stay; those undone would
    // be done again on another text.
    FHistory.DropRedo();
    const int64_t lastLine = Current().Count() - 1;
    FBuffer->Append(bytes);
    if (!FIndexTimer.isActive()) {
        FBuffer->IndexMore(PieceBytes);
        if (!FBuffer->Indexed())
            FIndexTimer.start();
    }
    // The last line may have grown: lay it out again.
    if (!FLayouts.empty())
        FLayouts.erase(FLayouts.lower_bound(std::max<int64_t>(0, Current().Count() - 2)), FLayouts.end());
    UpdateScrollRange();
    viewport()->update();
    LinesChanged(lastLine, true);
}

void SjisView::FinishIndex()
{
    FBuffer->IndexMore();
    FIndexTimer.stop();
    UpdateScrollRange();
}

bool SjisView::Indexing() const
{
    return !FBuffer->Indexed();
}

void SjisView::IndexSlice()
{
    // Pieces of a megabyte until the slice's time is spent, so the window
    // answers whatever the machine's speed.
    QElapsedTimer clock;
    clock.start();
    bool done = false;
    while (!done && clock.elapsed() < SliceMilliseconds)
        done = FBuffer->IndexMore(PieceBytes);
    if (done)
        FIndexTimer.stop();
    UpdateScrollRange();
    viewport()->update();
    if (OnProgress)
        OnProgress(done ? QString() : QStringLiteral("索引中"), FBuffer->IndexedShare());
}

std::string SjisView::Text() const
{
    Complete();
    const SjisLines& lines = Current();
    std::string text;
    text.reserve(lines.Length());
    for (int64_t i = 0; i < lines.Count(); ++i) {
        if (i > 0)
            text += "\r\n";
        text += lines.Bytes(i);
    }
    return text;
}

int64_t SjisView::TextLength() const
{
    Complete();
    return static_cast<int64_t>(Current().Length());
}

int64_t SjisView::SelStart() const
{
    return static_cast<int64_t>(std::min(FAnchor, FCaret));
}

int64_t SjisView::SelLength() const
{
    return static_cast<int64_t>(std::max(FAnchor, FCaret) - std::min(FAnchor, FCaret));
}

uint64_t SjisView::SnapOffset(uint64_t offset) const
{
    const SjisLines& lines = Current();
    offset = std::min<uint64_t>(offset, lines.Length());
    const int64_t line = lines.LineAt(offset);
    const uint64_t end = lines.Start(line) + lines.Bytes(line).size();
    // An offset inside a line break goes to the line's end.
    if (offset >= end)
        return end;
    return OffsetOf(line, CharOf(line, offset));
}

uint64_t SjisView::NextOffset(uint64_t offset) const
{
    const SjisLines& lines = Current();
    const int64_t line = lines.LineAt(offset);
    const uint64_t start = lines.Start(line);
    const std::string_view bytes = lines.Bytes(line);
    if (offset >= start + bytes.size())
        return line + 1 < lines.Count() ? lines.Start(line + 1) : start + bytes.size();
    const std::size_t within = offset - start;
    return offset + SjisCodec::DecodeAt(bytes, within, within == 0 && line == 0 && lines.FirstByteStray()).Bytes;
}

uint64_t SjisView::PreviousOffset(uint64_t offset) const
{
    const SjisLines& lines = Current();
    const int64_t line = lines.LineAt(offset);
    const uint64_t start = lines.Start(line);
    if (offset == start)
        return line > 0 ? lines.Start(line - 1) + lines.Bytes(line - 1).size() : 0;
    const std::string_view bytes = lines.Bytes(line);
    const bool stray = line == 0 && lines.FirstByteStray();
    std::size_t i = 0;
    std::size_t previous = 0;
    while (i < offset - start && i < bytes.size()) {
        previous = i;
        i += SjisCodec::DecodeAt(bytes, i, i == 0 && stray).Bytes;
    }
    return start + previous;
}

int SjisView::CharOf(int64_t line, uint64_t offset) const
{
    const SjisLines& lines = Current();
    const std::string_view bytes = lines.Bytes(line);
    const uint64_t within = offset - lines.Start(line);
    const bool stray = line == 0 && lines.FirstByteStray();
    int chars = 0;
    for (std::size_t i = 0; i < bytes.size();) {
        const SjisCodec::Unit u = SjisCodec::DecodeAt(bytes, i, i == 0 && stray);
        if (i + u.Bytes > within)
            break;
        chars += u.Chars;
        i += u.Bytes;
    }
    return chars;
}

uint64_t SjisView::OffsetOf(int64_t line, int chars) const
{
    const SjisLines& lines = Current();
    const std::string_view bytes = lines.Bytes(line);
    const bool stray = line == 0 && lines.FirstByteStray();
    int seen = 0;
    std::size_t i = 0;
    while (i < bytes.size()) {
        const SjisCodec::Unit u = SjisCodec::DecodeAt(bytes, i, i == 0 && stray);
        if (seen + u.Chars > chars)
            break;
        seen += u.Chars;
        i += u.Bytes;
    }
    return lines.Start(line) + i;
}

void SjisView::SetSelStart(int64_t offset)
{
    Complete();
    const uint64_t at = SnapOffset(static_cast<uint64_t>(std::max<int64_t>(0, offset)));
    FAnchor = FCaret = at;
    FGoalX = -1;
    viewport()->update();
    CaretMoved();
}

void SjisView::SetSelLength(int64_t length)
{
    Complete();
    const uint64_t start = static_cast<uint64_t>(SelStart());
    FAnchor = start;
    FCaret = SnapOffset(static_cast<uint64_t>(std::max<int64_t>(0, static_cast<int64_t>(start) + length)));
    FGoalX = -1;
    EnsureCaretVisible();
    viewport()->update();
    CaretMoved();
}

void SjisView::SelectAll()
{
    Complete();
    FAnchor = 0;
    FCaret = Current().Length();
    viewport()->update();
    CaretMoved();
}

std::string SjisView::BytesBetween(uint64_t from, uint64_t to) const
{
    const SjisLines& lines = Current();
    to = std::min<uint64_t>(to, lines.Length());
    std::string bytes;
    if (from >= to)
        return bytes;
    bytes.reserve(to - from);
    for (int64_t line = lines.LineAt(from); line < lines.Count(); ++line) {
        // The line's bytes and its break, as one run of the text.
        const uint64_t start = lines.Start(line);
        const std::string_view text = lines.Bytes(line);
        const uint64_t runEnd = line + 1 < lines.Count() ? lines.Start(line + 1) : start + text.size();
        const uint64_t a = std::max(from, start) - start;
        const uint64_t b = std::min(to, runEnd) - start;
        if (a < text.size())
            bytes += text.substr(a, std::min<uint64_t>(b, text.size()) - a);
        if (b > text.size())
            bytes += std::string_view("\r\n").substr(std::max<uint64_t>(a, text.size()) - text.size(),
                                                     b - std::max<uint64_t>(a, text.size()));
        if (to <= runEnd)
            break;
    }
    return bytes;
}

QString SjisView::TextBetween(uint64_t from, uint64_t to) const
{
    const SjisLines& lines = Current();
    QString text;
    for (int64_t line = lines.LineAt(from); from < to && line < lines.Count(); ++line) {
        const uint64_t start = lines.Start(line);
        const std::string_view bytes = lines.Bytes(line);
        const uint64_t a = from - start;
        const uint64_t b = std::min<uint64_t>(to - start, bytes.size());
        if (a < b)
            text += SjisCodec::Decode(bytes.substr(a, b - a), line == 0 && lines.FirstByteStray() && a == 0);
        if (to > start + bytes.size() && line + 1 < lines.Count())
            text += u'\n';
        from = line + 1 < lines.Count() ? lines.Start(line + 1) : to;
    }
    return text;
}

QString SjisView::SelectedText() const
{
    Complete();
    const uint64_t from = static_cast<uint64_t>(SelStart());
    return TextBetween(from, from + static_cast<uint64_t>(SelLength()));
}

QString SjisView::ShownText() const
{
    Complete();
    return TextBetween(0, Current().Length());
}

QString SjisView::ShownLine(int64_t i) const
{
    Complete();
    const SjisLines& lines = Current();
    if (i < 0 || i >= lines.Count())
        return {};
    return SjisCodec::Decode(lines.Bytes(i), i == 0 && lines.FirstByteStray());
}

void SjisView::Copy()
{
    Complete();
    const uint64_t from = static_cast<uint64_t>(SelStart());
    uint64_t to = from + static_cast<uint64_t>(SelLength());
    const bool cut = to - from > CopyLimit;
    if (cut)
        to = SnapOffset(from + CopyLimit);
    QApplication::clipboard()->setText(TextBetween(from, to));
    if (cut && OnNotice)
        OnNotice(QStringLiteral("コピーを%1MBまでにしました").arg(CopyLimit >> 20));
}

void SjisView::SetHighlighting(bool on)
{
    FHighlighting = on;
    viewport()->update();
}

int64_t SjisView::TopLine() const
{
    return verticalScrollBar()->value();
}

int64_t SjisView::FirstShownLineStart() const
{
    Complete();
    if (!isVisible())
        return 0;
    return static_cast<int64_t>(Current().Start(std::clamp<int64_t>(TopLine(), 0, Current().Count() - 1)));
}

int SjisView::LineCount() const
{
    Complete();
    const SjisLines& lines = Current();
    int64_t count = lines.Count();
    if (lines.Bytes(count - 1).empty())
        --count;
    return static_cast<int>(count);
}

std::string SjisView::Line(int i) const
{
    Complete();
    if (i < 0 || i >= LineCount())
        return {};
    return std::string(Current().Bytes(i));
}

std::pair<uint64_t, uint64_t> SjisView::LineSpan(int64_t i) const
{
    const SjisLines& lines = Current();
    const uint64_t start = lines.Start(i);
    return {start, i + 1 < lines.Count() ? lines.Start(i + 1) : start + lines.Bytes(i).size()};
}
