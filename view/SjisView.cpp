#include "view/SjisView.h"

#include "view/Fonts.h"
#include "view/LogHighlighter.h"
#include "codec/SjisCodec.h"
#include "view/SjisLineSearch.h"
#include "view/SjisViewAccessible.h"

#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QTextLayout>

#include <algorithm>
#include <chrono>
#include <climits>
#include <utility>

namespace {

// Space between the view's edge and its text, as the plain text view leaves.
constexpr int Margin = 4;
// Laid-out lines kept at most; a page needs far fewer.
constexpr std::size_t MaxLayouts = 512;
// A marked line's background and the bar at its left edge: blue, which no
// level colour is.
const QColor MarkBackground(28, 52, 104);
const QColor MarkEdge(90, 155, 255);
constexpr int MarkEdgeWidth = 3;
// How far from its old place a marked line is looked for in a new text.
constexpr int64_t MarkReach = 1 << 21;

// Bytes with every line break (CR LF, a lone CR or LF) as CR LF, as the text
// reads them.
std::string WithCrLf(std::string_view bytes)
{
    std::string text;
    text.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\r' || bytes[i] == '\n') {
            if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n')
                ++i;
            text += "\r\n";
        } else {
            text += bytes[i];
        }
    }
    return text;
}

// The kinds of characters a double click takes as one word when they stand
// together. Punctuation and symbols stand alone.
enum class CharKind { Space, Word, Kanji, Hiragana, Katakana, Other };

CharKind KindOf(const SjisCodec::Unit& unit, CharKind previous)
{
    char32_t c = unit.U[0];
    if (unit.Chars == 2 && QChar::isHighSurrogate(unit.U[0]) && QChar::isLowSurrogate(unit.U[1]))
        c = QChar::surrogateToUcs4(unit.U[0], unit.U[1]);
    switch (c) {
    case U'_': return CharKind::Word;
    case U'\u30FC': // the long vowel mark, full and half width, and the
    case U'\uFF70': // sound marks: they belong to the kana before them
    case U'\u309B':
    case U'\u309C':
    case U'\uFF9E':
    case U'\uFF9F': return previous == CharKind::Hiragana ? CharKind::Hiragana : CharKind::Katakana;
    default: break;
    }
    if (QChar::isSpace(c))
        return CharKind::Space;
    switch (QChar::script(c)) {
    case QChar::Script_Han: return CharKind::Kanji;
    case QChar::Script_Hiragana: return CharKind::Hiragana;
    case QChar::Script_Katakana: return CharKind::Katakana;
    default: break;
    }
    if (QChar::isLetterOrNumber(c) || QChar::isMark(c))
        return CharKind::Word;
    return CharKind::Other;
}

} // namespace

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

void SjisView::ReplaceWhole(SjisTextStore bytes, bool stray, int64_t changedFrom)
{
    const int top = verticalScrollBar()->value();
    const auto marked = MarkedBytes();
    FKept.reset();
    FActiveFilter.reset();
    FBuffer->SetText(std::move(bytes), stray);
    FBuffer->IndexMore();
    PutBackMarks(marked);
    FIndexTimer.stop();
    Relayout();
    verticalScrollBar()->setValue(top);
    LinesChanged(changedFrom);
}

namespace {

// The text of lines (CR LF between them) with [start, end) replaced by
// bytes, handed to add in pieces of about a megabyte.
template <typename Add>
void TextReplaced(const SjisLines& lines, uint64_t start, uint64_t end, std::string_view bytes, Add add)
{
    constexpr std::size_t Piece = std::size_t(1) << 20;
    std::string out;
    uint64_t at = 0;
    bool inserted = false;
    const auto take = [&](std::string_view chunk) {
        const uint64_t chunkEnd = at + chunk.size();
        if (at < start)
            out.append(chunk.substr(0, static_cast<std::size_t>(std::min(chunkEnd, start) - at)));
        if (!inserted && start <= chunkEnd) {
            out.append(bytes);
            inserted = true;
        }
        if (chunkEnd > end) {
            const uint64_t from = std::max(at, end);
            out.append(chunk.substr(static_cast<std::size_t>(from - at)));
        }
        at = chunkEnd;
        if (out.size() >= Piece) {
            add(std::string_view(out));
            out.clear();
        }
    };
    for (int64_t i = 0; i < lines.Count(); ++i) {
        if (i > 0)
            take("\r\n");
        take(lines.Bytes(i));
    }
    add(std::string_view(out));
}

} // namespace

void SjisView::ReplaceWholeText(uint64_t start, uint64_t end, std::string_view bytes, bool stray)
{
    Complete();
    const SjisLines& lines = Current();
    const uint64_t size = lines.Length() - (end - start) + bytes.size();
    // A filtered view becomes the whole text: every line shown changes.
    const int64_t changedFrom = FKept ? 0 : lines.LineAt(start);
    if (size >= SjisTextInFileFrom()) {
        if (auto store = FBuffer->SiblingStore(size)) {
            // What the pass has read of the old text goes back to its file
            // now and then.
            uint64_t added = 0;
            TextReplaced(lines, start, end, bytes, [&](std::string_view piece) {
                store->Append(piece);
                added += piece.size();
                if (added >= (uint64_t(64) << 20)) {
                    FBuffer->GiveBack(0, FBuffer->Raw().size());
                    added = 0;
                }
            });
            FBuffer->GiveBack(0, FBuffer->Raw().size());
            ReplaceWhole(std::move(*store), stray, changedFrom);
            return;
        }
    }
    std::string text;
    text.reserve(static_cast<std::size_t>(size));
    TextReplaced(lines, start, end, bytes, [&](std::string_view piece) { text += piece; });
    ReplaceWhole(SjisTextStore(std::move(text)), stray, changedFrom);
}

void SjisView::ReplaceRange(uint64_t start, uint64_t end, std::string_view bytes, bool stray)
{
    // A search reads the lines this replaces.
    StopSearch();
    FinishIndex();
    if (FKept || end < Current().Length() || (start == 0 && stray)) {
        // An edit inside the text: the text is made again around it.
        ReplaceWholeText(start, end, bytes, stray);
    } else {
        // The end of the text replaced: cut there and append. The lines
        // behind the cut are gone with their marks, and so is the mark of
        // a line whose bytes all went.
        const int64_t line = FBuffer->LineAt(start);
        const uint64_t lineStart = FBuffer->Start(line);
        const uint64_t within = std::min<uint64_t>(start - lineStart, FBuffer->Bytes(line).size());
        const bool emptied = start == lineStart && !FBuffer->Bytes(line).empty();
        FMarks.erase(std::upper_bound(FMarks.begin(), FMarks.end(), emptied ? line - 1 : line), FMarks.end());
        FBuffer->Truncate(FBuffer->Index().RawStart(line) + within);
        FBuffer->Append(bytes);
        FBuffer->IndexMore();
        FLayouts.erase(FLayouts.lower_bound(line), FLayouts.end());
        UpdateScrollRange();
        LinesChanged(line);
    }
}

void SjisView::SetSelText(std::string_view bytes)
{
    StopSearch();
    const uint64_t start = static_cast<uint64_t>(SelStart());
    const uint64_t end = start + static_cast<uint64_t>(SelLength());
    FinishIndex();
    // Steps of the history lie before FHistoryEnd: an edit there would leave
    // them pointing at other bytes.
    if (start < FHistoryEnd)
        ClearHistory();
    else
        FHistory.DropRedo();
    ReplaceRange(start, end, bytes, Current().FirstByteStray() && start > 0);
    // Inserted breaks count as CR LF.
    uint64_t length = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n')
            ++i;
        length += bytes[i] == '\r' || bytes[i] == '\n' ? 2 : 1;
    }
    FAnchor = FCaret = SnapOffset(start + length);
    EnsureCaretVisible();
    viewport()->update();
    CaretMoved();
}

void SjisView::EditRange(uint64_t start, uint64_t end, std::string bytes, SjisEditHistory::Kind kind)
{
    FinishIndex();
    const bool strayBefore = Current().FirstByteStray();
    // A step beyond the history's limit is not kept: a copy of a gigabyte
    // deleted would double what the view holds.
    const bool kept = end - start + bytes.size() <= SjisEditHistory::Limit;
    SjisEditHistory::Step step;
    if (kept) {
        step = {start, BytesBetween(start, end), {}, FAnchor, FCaret, strayBefore, false, kind};
        // Backspace and Delete select the character they take: before them
        // stood a caret.
        if (kind == SjisEditHistory::Kind::Backspace || kind == SjisEditHistory::Kind::Delete)
            step.CaretBefore = step.AnchorBefore;
        const int64_t first = Current().LineAt(start);
        // A mark is put back by its line's bytes and those of the line
        // before it, so the line behind the edited ones can lose its mark too.
        const int64_t last = Current().LineAt(end) + 1;
        for (const int64_t mark : FMarks)
            if (const int64_t line = ViewLineOf(mark); line >= first && line <= last)
                step.MarkedLines.push_back(line - first);
    }
    ReplaceRange(start, end, bytes, strayBefore && start > 0);
    if (kept) {
        step.Inserted = std::move(bytes);
        step.StrayAfter = Current().FirstByteStray();
        FHistory.Add(std::move(step));
    } else {
        ClearHistory();
        if (OnNotice)
            OnNotice(QStringLiteral("大きすぎる編集は元に戻せません"));
    }
    FHistoryEnd = Current().Length();
}

void SjisView::EditSelection(std::string_view bytes, SjisEditHistory::Kind kind)
{
    StopSearch();
    FinishIndex();
    const uint64_t start = static_cast<uint64_t>(SelStart());
    const uint64_t end = start + static_cast<uint64_t>(SelLength());
    std::string text = WithCrLf(bytes);
    if (start == end && text.empty())
        return;
    const uint64_t caret = start + text.size();
    EditRange(start, end, std::move(text), kind);
    FAnchor = FCaret = SnapOffset(caret);
    FGoalX = -1;
    EnsureCaretVisible();
    viewport()->update();
    CaretMoved();
}

bool SjisView::Undo()
{
    StopSearch();
    FinishIndex();
    if (!FHistory.CanUndo())
        return false;
    const SjisEditHistory::Step& step = FHistory.NextUndo();
    const uint64_t end = step.Offset + step.Inserted.size();
    // The text holds what the step put in, unless something the history
    // does not know of changed it: then nothing is undone.
    if (end > Current().Length() || BytesBetween(step.Offset, end) != step.Inserted) {
        ClearHistory();
        return false;
    }
    ReplaceRange(step.Offset, end, step.Removed, step.StrayBefore);
    // The marks the edit took with its lines come back with them.
    const int64_t first = Current().LineAt(step.Offset);
    for (const int64_t k : step.MarkedLines) {
        const int64_t source = Current().SourceLine(first + k);
        const auto at = std::lower_bound(FMarks.begin(), FMarks.end(), source);
        if (source >= 0 && (at == FMarks.end() || *at != source))
            FMarks.insert(at, source);
    }
    // The selection the step replaced comes back; a caret alone goes behind
    // the bytes put back.
    if (step.AnchorBefore != step.CaretBefore) {
        FAnchor = SnapOffset(step.AnchorBefore);
        FCaret = SnapOffset(step.CaretBefore);
    } else {
        FAnchor = FCaret = SnapOffset(step.Offset + step.Removed.size());
    }
    FHistory.Undone();
    FHistoryEnd = Current().Length();
    FGoalX = -1;
    EnsureCaretVisible();
    viewport()->update();
    CaretMoved();
    return true;
}

bool SjisView::Redo()
{
    StopSearch();
    FinishIndex();
    if (!FHistory.CanRedo())
        return false;
    const SjisEditHistory::Step& step = FHistory.NextRedo();
    const uint64_t end = step.Offset + step.Removed.size();
    if (end > Current().Length() || BytesBetween(step.Offset, end) != step.Removed) {
        ClearHistory();
        return false;
    }
    ReplaceRange(step.Offset, end, step.Inserted, step.StrayAfter);
    FAnchor = FCaret = SnapOffset(step.Offset + step.Inserted.size());
    FHistory.Redone();
    FHistoryEnd = Current().Length();
    FGoalX = -1;
    EnsureCaretVisible();
    viewport()->update();
    CaretMoved();
    return true;
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

QRect SjisView::CaretRect(int64_t offset) const
{
    Complete();
    const SjisLines& lines = Current();
    const uint64_t at = std::min<uint64_t>(static_cast<uint64_t>(std::max<int64_t>(0, offset)), lines.Length());
    const int64_t line = lines.LineAt(at);
    const int spacing = QFontMetrics(font()).lineSpacing();
    // Lines off screen stand above or below the viewport.
    if (line < TopLine())
        return QRect(Margin, -2 * spacing, 1, spacing);
    int y = Margin;
    for (int64_t i = TopLine(); i < line; ++i) {
        y += LineHeight(i);
        if (y >= viewport()->height())
            return QRect(Margin, viewport()->height() + spacing, 1, spacing);
    }
    const QTextLayout& layout = Layout(line);
    const int chars = CharOf(line, at);
    if (layout.lineCount() == 0)
        return QRect(Margin, y, 1, spacing);
    const QTextLine row = layout.lineForTextPosition(chars);
    return QRect(Margin + static_cast<int>(row.cursorToX(chars)), y + static_cast<int>(row.y()), 1, spacing);
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

void SjisView::DeleteLine(int i)
{
    StopSearch();
    Complete();
    if (i < 0 || i >= LineCount())
        return;
    const std::pair<uint64_t, uint64_t> span = LineSpan(i);
    const uint64_t start = span.first;
    const uint64_t end = span.second;
    // Positions behind the line move up with the text; those inside it go
    // to where it was.
    auto moved = [&](uint64_t at) { return at >= end ? at - (end - start) : std::min(at, start); };
    const uint64_t anchor = moved(FAnchor);
    const uint64_t caret = moved(FCaret);
    EditRange(start, end, {}, SjisEditHistory::Kind::Other);
    FAnchor = anchor;
    FCaret = caret;
    viewport()->update();
    CaretMoved();
}

std::pair<uint64_t, uint64_t> SjisView::LineSpan(int64_t i) const
{
    const SjisLines& lines = Current();
    const uint64_t start = lines.Start(i);
    return {start, i + 1 < lines.Count() ? lines.Start(i + 1) : start + lines.Bytes(i).size()};
}

// Layout ----------------------------------------------------------------

QTextLayout& SjisView::Layout(int64_t i) const
{
    auto it = FLayouts.find(i);
    if (it != FLayouts.end())
        return *it->second;
    if (FLayouts.size() >= MaxLayouts)
        FLayouts.clear();
    const SjisLines& lines = Current();
    auto layout = std::make_unique<QTextLayout>(SjisCodec::Decode(lines.Bytes(i), i == 0 && lines.FirstByteStray()),
                                                font());
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout->setTextOption(option);
    layout->setCacheEnabled(true);
    const qreal width = std::max(10, viewport()->width() - 2 * Margin);
    const qreal spacing = QFontMetricsF(font()).lineSpacing();
    qreal y = 0;
    layout->beginLayout();
    for (QTextLine line = layout->createLine(); line.isValid(); line = layout->createLine()) {
        line.setLineWidth(width);
        line.setPosition(QPointF(0, y));
        y += spacing;
    }
    layout->endLayout();
    return *FLayouts.emplace(i, std::move(layout)).first->second;
}

int SjisView::LineHeight(int64_t i) const
{
    const int spacing = QFontMetrics(font()).lineSpacing();
    return std::max(1, Layout(i).lineCount()) * spacing;
}

void SjisView::Relayout()
{
    FLayouts.clear();
    UpdateScrollRange();
    viewport()->update();
}

void SjisView::UpdateScrollRange()
{
    // The top line that shows the last line at the bottom: only the last
    // page is laid out for it.
    const int64_t count = Current().Count();
    int height = viewport()->height() - 2 * Margin;
    int64_t top = count - 1;
    for (int64_t i = count - 1; i >= 0; --i) {
        height -= LineHeight(i);
        if (height < 0)
            break;
        top = i;
    }
    QScrollBar* bar = verticalScrollBar();
    const int lines = static_cast<int>(std::min<int64_t>(top, INT_MAX));
    bar->setRange(0, std::max(0, lines));
    bar->setPageStep(std::max(1, viewport()->height() / std::max(1, QFontMetrics(font()).lineSpacing())));
    bar->setSingleStep(1);
}

void SjisView::resizeEvent(QResizeEvent* event)
{
    QAbstractScrollArea::resizeEvent(event);
    Relayout();
}

void SjisView::scrollContentsBy(int, int)
{
    viewport()->update();
}

void SjisView::ShowEnd()
{
    FinishIndex();
    FAnchor = FCaret = Current().Length();
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
    viewport()->update();
    CaretMoved();
}

void SjisView::EnsureCaretVisible()
{
    const SjisLines& lines = Current();
    const int64_t line = lines.LineAt(FCaret);
    QScrollBar* bar = verticalScrollBar();
    if (line < TopLine()) {
        bar->setValue(static_cast<int>(line));
        return;
    }
    // Visible when the lines from the top down to it fit.
    int height = viewport()->height() - 2 * Margin;
    for (int64_t i = TopLine(); i <= line; ++i) {
        height -= LineHeight(i);
        if (height < 0)
            break;
    }
    if (height >= 0)
        return;
    // Put it at the bottom.
    height = viewport()->height() - 2 * Margin;
    int64_t top = line;
    for (int64_t i = line; i >= 0; --i) {
        height -= LineHeight(i);
        if (height < 0)
            break;
        top = i;
    }
    bar->setValue(static_cast<int>(std::min<int64_t>(top, INT_MAX)));
}

// Painting -------------------------------------------------------------

void SjisView::paintEvent(QPaintEvent*)
{
    QPainter painter(viewport());
    painter.fillRect(viewport()->rect(), Qt::black);
    painter.setFont(font());
    const SjisLines& lines = Current();
    const uint64_t selFrom = std::min(FAnchor, FCaret);
    const uint64_t selTo = std::max(FAnchor, FCaret);
    const QColor highlight = palette().color(QPalette::Highlight);
    const QColor highlighted = palette().color(QPalette::HighlightedText);
    int y = Margin;
    for (int64_t i = TopLine(); i < lines.Count() && y < viewport()->height(); ++i) {
        QTextLayout& layout = Layout(i);
        if (!FMarks.empty() && IsMarked(i)) {
            const int height = LineHeight(i);
            painter.fillRect(QRect(0, y, viewport()->width(), height), MarkBackground);
            painter.fillRect(QRect(0, y, MarkEdgeWidth, height), MarkEdge);
        }
        painter.setPen(FHighlighting ? LogHighlighter::ColourOf(LogHighlighter::ToneOf(layout.text())) : Qt::white);
        QList<QTextLayout::FormatRange> selections;
        const uint64_t start = lines.Start(i);
        const uint64_t end = start + lines.Bytes(i).size();
        if (selFrom < selTo && selFrom <= end && selTo > start) {
            QTextLayout::FormatRange range;
            range.start = selFrom > start ? CharOf(i, selFrom) : 0;
            range.length = (selTo >= end ? static_cast<int>(layout.text().size()) : CharOf(i, selTo)) - range.start;
            range.format.setBackground(highlight);
            range.format.setForeground(highlighted);
            selections.push_back(range);
        }
        layout.draw(&painter, QPointF(Margin, y), selections);
        if (FCaret >= start && FCaret <= end) {
            painter.setPen(Qt::white);
            layout.drawCursor(&painter, QPointF(Margin, y), CharOf(i, FCaret), 1);
        }
        y += LineHeight(i);
    }
}

// Keys and mouse -------------------------------------------------------

uint64_t SjisView::OffsetAt(const QPoint& point, bool onCharacter) const
{
    const SjisLines& lines = Current();
    int y = Margin;
    int64_t i = TopLine();
    for (; i < lines.Count() - 1; ++i) {
        const int h = LineHeight(i);
        if (point.y() < y + h)
            break;
        y += h;
    }
    QTextLayout& layout = Layout(i);
    const int spacing = QFontMetrics(font()).lineSpacing();
    const int row = std::clamp((point.y() - y) / std::max(1, spacing), 0, std::max(0, layout.lineCount() - 1));
    int chars = 0;
    if (layout.lineCount() > 0) {
        const QTextLine shown = layout.lineAt(row);
        if (onCharacter) {
            chars = shown.xToCursor(point.x() - Margin, QTextLine::CursorOnCharacter);
            const int rowEnd = shown.textStart() + shown.textLength();
            if (chars >= rowEnd && shown.textLength() > 0)
                chars = rowEnd - 1;
        } else {
            chars = shown.xToCursor(point.x() - Margin);
        }
    }
    return OffsetOf(i, chars);
}

int64_t SjisView::OffsetAtPoint(const QPoint& point) const
{
    Complete();
    return static_cast<int64_t>(OffsetAt(point));
}

std::pair<int64_t, int64_t> SjisView::WordSpan(int64_t offset) const
{
    Complete();
    const uint64_t at = SnapOffset(static_cast<uint64_t>(std::max<int64_t>(0, offset)));
    const auto [from, to] = WordAt(Current().LineAt(at), at);
    return {static_cast<int64_t>(from), static_cast<int64_t>(to)};
}

std::pair<uint64_t, uint64_t> SjisView::WordAt(int64_t line, uint64_t offset) const
{
    // Characters are read from the line's start (a Shift_JIS text cannot be
    // read backwards) until the run holding offset ends.
    const SjisLines& lines = Current();
    const uint64_t start = lines.Start(line);
    const std::string_view bytes = lines.Bytes(line);
    const bool stray = line == 0 && lines.FirstByteStray();
    const std::size_t target = offset - start;
    std::size_t runStart = 0;
    CharKind previous = CharKind::Other;
    bool found = false;
    for (std::size_t i = 0; i < bytes.size();) {
        const SjisCodec::Unit unit = SjisCodec::DecodeAt(bytes, i, i == 0 && stray);
        const CharKind kind = KindOf(unit, previous);
        if (i == 0 || kind != previous || kind == CharKind::Other) {
            if (found)
                return {start + runStart, start + i};
            runStart = i;
        }
        found = found || i + unit.Bytes > target;
        previous = kind;
        i += unit.Bytes;
    }
    // The run at the line's end (the last one when offset is there).
    return {start + runStart, start + bytes.size()};
}

void SjisView::ExtendByUnits(const QPoint& point)
{
    const SjisLines& lines = Current();
    std::pair<uint64_t, uint64_t> unit;
    if (FClickUnit == ClickUnit::Word) {
        const uint64_t at = OffsetAt(point, true);
        unit = WordAt(lines.LineAt(at), at);
    } else {
        unit = LineSpan(lines.LineAt(OffsetAt(point)));
    }
    // The unit clicked stays selected whole, whichever way the drag goes.
    if (unit.first < FClickFrom) {
        FAnchor = FClickTo;
        MoveCaret(unit.first, true);
    } else {
        FAnchor = FClickFrom;
        MoveCaret(std::max(unit.second, FClickTo), true);
    }
}

void SjisView::MoveCaret(uint64_t offset, bool keepAnchor)
{
    FCaret = offset;
    if (!keepAnchor)
        FAnchor = offset;
    EnsureCaretVisible();
    viewport()->update();
    CaretMoved();
}

void SjisView::keyPressEvent(QKeyEvent* event)
{
    const bool shift = event->modifiers() & Qt::ShiftModifier;
    const bool ctrl = event->modifiers() & Qt::ControlModifier;
    const SjisLines& lines = Current();
    const int64_t line = lines.LineAt(FCaret);
    const uint64_t lineStart = lines.Start(line);
    const uint64_t lineEnd = lineStart + lines.Bytes(line).size();
    if (event == QKeySequence::Copy) {
        Copy();
        return;
    }
    if (event == QKeySequence::SelectAll) {
        SelectAll();
        return;
    }
    const Qt::KeyboardModifiers mods = event->modifiers() & ~Qt::KeypadModifier;
    if (event == QKeySequence::Undo || (event->key() == Qt::Key_Z && mods == Qt::ControlModifier)) {
        Undo();
        return;
    }
    if (event == QKeySequence::Redo || (event->key() == Qt::Key_Y && mods == Qt::ControlModifier) ||
        (event->key() == Qt::Key_Z && mods == (Qt::ControlModifier | Qt::ShiftModifier))) {
        Redo();
        return;
    }
    auto vertical = [&](int64_t toLine) {
        toLine = std::clamp<int64_t>(toLine, 0, lines.Count() - 1);
        QTextLayout& here = Layout(line);
        if (FGoalX < 0 && here.lineCount() > 0)
            FGoalX = static_cast<int>(here.lineForTextPosition(CharOf(line, FCaret)).cursorToX(CharOf(line, FCaret)));
        QTextLayout& there = Layout(toLine);
        const int chars = there.lineCount() > 0 ? there.lineAt(0).xToCursor(std::max(0, FGoalX)) : 0;
        const int goal = FGoalX;
        MoveCaret(OffsetOf(toLine, chars), shift);
        FGoalX = goal;
    };
    const int page = std::max(1, verticalScrollBar()->pageStep() - 1);
    switch (event->key()) {
    case Qt::Key_Escape:
        if (FSearch) {
            StopSearch();
            return;
        }
        break;
    case Qt::Key_Left:
        FGoalX = -1;
        MoveCaret(PreviousOffset(FCaret), shift);
        return;
    case Qt::Key_Right:
        FGoalX = -1;
        MoveCaret(NextOffset(FCaret), shift);
        return;
    case Qt::Key_Up:
        vertical(line - 1);
        return;
    case Qt::Key_Down:
        vertical(line + 1);
        return;
    case Qt::Key_PageUp:
        verticalScrollBar()->setValue(verticalScrollBar()->value() - page);
        vertical(line - page);
        return;
    case Qt::Key_PageDown:
        verticalScrollBar()->setValue(verticalScrollBar()->value() + page);
        vertical(line + page);
        return;
    case Qt::Key_Home:
        FGoalX = -1;
        MoveCaret(ctrl ? 0 : lineStart, shift);
        return;
    case Qt::Key_End:
        FGoalX = -1;
        if (ctrl) {
            MoveCaret(lines.Length(), shift);
            verticalScrollBar()->setValue(verticalScrollBar()->maximum());
        } else {
            MoveCaret(lineEnd, shift);
        }
        return;
    default:
        break;
    }
    event->ignore();
}

void SjisView::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return;
    FGoalX = -1;
    const QPoint point = event->position().toPoint();
    // A press soon after a double click, where it was, is a triple click.
    const bool triple = FDoubleClicked.isValid() &&
        FDoubleClicked.elapsed() < QApplication::doubleClickInterval() &&
        (point - FDoubleClickPoint).manhattanLength() < QApplication::startDragDistance();
    FDoubleClicked.invalidate();
    if (triple) {
        const auto [from, to] = LineSpan(Current().LineAt(OffsetAt(point)));
        FClickUnit = ClickUnit::Line;
        FClickFrom = from;
        FClickTo = to;
        FAnchor = from;
        MoveCaret(to, true);
        return;
    }
    FClickUnit = ClickUnit::Character;
    MoveCaret(OffsetAt(point), event->modifiers() & Qt::ShiftModifier);
}

void SjisView::mouseReleaseEvent(QMouseEvent* event)
{
    event->setAccepted(event->button() == Qt::LeftButton);
}

void SjisView::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return;
    FGoalX = -1;
    const QPoint point = event->position().toPoint();
    const uint64_t at = OffsetAt(point, true);
    const auto [from, to] = WordAt(Current().LineAt(at), at);
    FClickUnit = ClickUnit::Word;
    FClickFrom = from;
    FClickTo = to;
    FDoubleClicked.start();
    FDoubleClickPoint = point;
    FAnchor = from;
    MoveCaret(to, true);
}

void SjisView::mouseMoveEvent(QMouseEvent* event)
{
    if (!(event->buttons() & Qt::LeftButton))
        return;
    if (FClickUnit == ClickUnit::Character)
        MoveCaret(OffsetAt(event->position().toPoint()), true);
    else
        ExtendByUnits(event->position().toPoint());
}

std::unique_ptr<QMenu> SjisView::CreateContextMenu()
{
    auto menu = std::make_unique<QMenu>(this);
    QAction* copy = menu->addAction(QStringLiteral("&Copy"), this, &SjisView::Copy);
    copy->setShortcut(QKeySequence::Copy);
    copy->setEnabled(FAnchor != FCaret);
    menu->addAction(QStringLiteral("Select &All"), this, &SjisView::SelectAll)
        ->setShortcut(QKeySequence::SelectAll);
    return menu;
}

void SjisView::contextMenuEvent(QContextMenuEvent* event)
{
    const std::unique_ptr<QMenu> menu = CreateContextMenu();
    menu->exec(event->globalPos());
}

// Find and filter --------------------------------------------------------

void SjisView::StartFind(const std::string& find, const sjis::FindOptions& options, std::function<void(bool)> done)
{
    StopSearch();
    FinishIndex();
    FSearch = std::make_unique<SjisLineSearch>(Current(), find, options, FCaret == FAnchor ? FCaret : static_cast<uint64_t>(SelStart()));
    FSearchDone = std::move(done);
    FSearchIsFilter = false;
    FSearchLength = find.size();
    SearchSlice();
}

void SjisView::StartFilter(std::string needle, std::function<void(bool)> done)
{
    StartFilter(LineFilter::Text(std::move(needle), {.MatchCase = true}), std::move(done));
}

void SjisView::StartFilter(std::shared_ptr<const LineFilter> rule, std::function<void(bool)> done)
{
    StopSearch();
    FinishIndex();
    FSearch = std::make_unique<SjisLineSearch>(SjisLineSearch::Filter(Current(), rule));
    FSearchRule = std::move(rule);
    FSearchDone = std::move(done);
    FSearchIsFilter = true;
    SearchSlice();
}

void SjisView::SearchSlice()
{
    if (!FSearch)
        return;
    // The clock is also read between a pattern's lines, so that no slice
    // runs much past its time however slow the pattern is on them.
    const auto deadline = SjisLineSearch::Clock::now() + std::chrono::milliseconds(SliceMilliseconds);
    bool done = false;
    while (!done && SjisLineSearch::Clock::now() < deadline)
        done = FSearch->Step(PieceBytes, deadline);
    if (!done) {
        FSearchTimer.start();
        if (!FWatchingEsc) {
            // The focus may be anywhere in the window (the filter field
            // after its Enter): Esc is watched for application-wide.
            qApp->installEventFilter(this);
            FWatchingEsc = true;
        }
        if (OnProgress)
            OnProgress(FSearchIsFilter ? QStringLiteral("絞込中") : QStringLiteral("検索中"), FSearch->Progress());
        return;
    }
    EndSearch(true);
}

void SjisView::StopSearch()
{
    if (FSearch)
        EndSearch(false);
}

bool SjisView::eventFilter(QObject* watched, QEvent* event)
{
    const QEvent::Type type = event->type();
    if (!FSearch || (type != QEvent::ShortcutOverride && type != QEvent::KeyPress))
        return QAbstractScrollArea::eventFilter(watched, event);
    const auto* key = static_cast<QKeyEvent*>(event);
    const auto* widget = qobject_cast<QWidget*>(watched);
    if (key->key() != Qt::Key_Escape || key->modifiers() != Qt::NoModifier || !widget
        || widget->window() != window())
        return QAbstractScrollArea::eventFilter(watched, event);
    StopSearch();
    event->accept();
    return true;
}

void SjisView::EndSearch(bool finished)
{
    FSearchTimer.stop();
    if (FWatchingEsc) {
        qApp->removeEventFilter(this);
        FWatchingEsc = false;
    }
    std::unique_ptr<SjisLineSearch> search = std::move(FSearch);
    std::function<void(bool)> done = std::move(FSearchDone);
    std::function<void()> stopped = std::move(FSearchStopped);
    FSearchDone = nullptr;
    FSearchStopped = nullptr;
    FSearchTooComplex = finished && search->TooComplex();
    finished = finished && !FSearchTooComplex;
    FSearchWasStopped = !finished;
    if (OnProgress)
        OnProgress(QString(), 1.0);
    if (const OwnFilter own = std::exchange(FOwnFilter, OwnFilter::None); own != OwnFilter::None) {
        EndOwnFilter(own, *search, finished);
        return;
    }
    if (!finished) {
        if (stopped)
            stopped();
        return;
    }
    bool result = false;
    if (FSearchIsFilter) {
        const SjisLines& lines = Current();
        const auto kept = static_cast<int64_t>(search->Kept().size());
        // Every line kept (an empty last line is never kept): nothing changes.
        const int64_t all = lines.Count() - (lines.Bytes(lines.Count() - 1).empty() ? 1 : 0);
        result = kept != all;
        FActiveFilter = std::move(FSearchRule);
        if (result) {
            std::vector<int64_t> sources = search->Kept();
            search.reset();
            ShowKept(std::move(sources));
        }
    } else {
        const uint64_t at = search->Found();
        result = at != SjisLineSearch::NotFound;
        if (result) {
            FAnchor = at;
            FCaret = SnapOffset(at + FSearchLength);
            EnsureCaretVisible();
            viewport()->update();
            CaretMoved();
        }
    }
    if (done)
        done(result);
}

void SjisView::ShowKept(std::vector<int64_t> sources)
{
    // The caret moves with the text around it; in a dropped line it
    // goes to where that line was.
    const SjisLines& lines = Current();
    const int64_t caretLine = lines.LineAt(FCaret);
    const int64_t caretSource = lines.SourceLine(caretLine);
    const uint64_t within = FCaret - lines.Start(caretLine);
    auto view = std::make_unique<SjisKeptLines>(*FBuffer, std::move(sources));
    int64_t lo = 0;
    int64_t hi = view->Count();
    // First kept line at or after the caret's.
    while (lo < hi) {
        const int64_t mid = (lo + hi) / 2;
        const int64_t s = view->SourceLine(mid);
        if (s >= 0 && s < caretSource)
            lo = mid + 1;
        else
            hi = mid;
    }
    uint64_t caret = lo < view->Count() ? view->Start(lo) : view->Length();
    if (lo < view->Count() && view->SourceLine(lo) == caretSource)
        caret += std::min<uint64_t>(within, view->Bytes(lo).size() + 2);
    FKept = std::move(view);
    // Other lines shown: the edit steps' places mean nothing in them.
    ClearHistory();
    FAnchor = FCaret = std::min<uint64_t>(caret, FKept->Length());
    Relayout();
    verticalScrollBar()->setValue(0);
    EnsureCaretVisible();
    LinesChanged(0);
}

void SjisView::ApplyFilterNow(std::shared_ptr<const LineFilter> rule)
{
    StopSearch();
    Complete();
    if (rule->Which() == LineFilter::Kind::Marks) {
        FActiveFilter = std::move(rule);
        ShowKept(FMarks);
        return;
    }
    FActiveFilter = std::move(rule);
    StartOwnFilter(OwnFilter::Again,
                   std::make_unique<SjisLineSearch>(SjisLineSearch::Filter(Current(), FActiveFilter)));
}

void SjisView::StartOwnFilter(OwnFilter kind, std::unique_ptr<SjisLineSearch> search)
{
    FSearch = std::move(search);
    FSearchRule = nullptr;
    FSearchDone = nullptr;
    FSearchStopped = nullptr;
    FSearchIsFilter = true;
    FOwnFilter = kind;
    SearchSlice();
}

void SjisView::EndOwnFilter(OwnFilter kind, const SjisLineSearch& search, bool ran)
{
    if (kind == OwnFilter::Appended) {
        // The kept lines before the new ones, then the new ones kept, or all
        // of them when the filter did not run through.
        std::vector<int64_t> sources = FKept ? FKept->Sources() : std::vector<int64_t>();
        const bool atEnd = FKept && FCaret == FKept->Length();
        if (ran) {
            sources.insert(sources.end(), search.Kept().begin(), search.Kept().end());
        } else {
            const int64_t last = FBuffer->Count() - 1;
            for (int64_t i = FAppendFrom; i <= last; ++i)
                if (i < last || !FBuffer->Bytes(i).empty())
                    sources.push_back(i);
        }
        const auto unchanged = FKept ? FKept->Count() - 1 : int64_t(0);
        FKept = std::make_unique<SjisKeptLines>(*FBuffer, std::move(sources));
        if (atEnd)
            FAnchor = FCaret = FKept->Length();
        FAnchor = std::min<uint64_t>(FAnchor, FKept->Length());
        FCaret = std::min<uint64_t>(FCaret, FKept->Length());
        FLayouts.clear();
        UpdateScrollRange();
        viewport()->update();
        if (atEnd)
            EnsureCaretVisible();
        LinesChanged(std::max<int64_t>(unchanged, 0));
        CaretMoved();
    } else if (ran) {
        const SjisLines& lines = Current();
        const int64_t all = lines.Count() - (lines.Bytes(lines.Count() - 1).empty() ? 1 : 0);
        if (static_cast<int64_t>(search.Kept().size()) != all)
            ShowKept(search.Kept());
    }
    if (!ran) {
        FActiveFilter.reset();
        if (OnFilterDropped)
            OnFilterDropped(FSearchTooComplex);
    }
}

void SjisView::DropSearch()
{
    FSearchTimer.stop();
    if (FWatchingEsc) {
        qApp->removeEventFilter(this);
        FWatchingEsc = false;
    }
    FSearch.reset();
    FSearchDone = nullptr;
    FSearchStopped = nullptr;
    FOwnFilter = OwnFilter::None;
    if (OnProgress)
        OnProgress(QString(), 1.0);
}

// Marks ------------------------------------------------------------------

std::vector<SjisView::MarkedLine> SjisView::MarkedBytes() const
{
    std::vector<MarkedLine> marked;
    if (FMarks.empty())
        return marked;
    Complete();
    for (const int64_t m : FMarks)
        if (m < FBuffer->Count())
            marked.push_back({m, std::string(FBuffer->Bytes(m)),
                              m > 0 ? std::string(FBuffer->Bytes(m - 1)) : std::string()});
    return marked;
}

void SjisView::PutBackMarks(const std::vector<MarkedLine>& marked)
{
    FMarks.clear();
    if (marked.empty())
        return;
    FBuffer->IndexMore();
    const int64_t count = FBuffer->Count();
    // A mark goes to the nearest line that holds its bytes behind the line
    // that came before it (a first line of the new text has none to check:
    // the text may have been cut there), looked for first where the lines
    // before it went (a cut or an insertion moves its neighbours too).
    auto holds = [&](const MarkedLine& line, int64_t j) {
        return j >= 0 && j < count && FBuffer->Bytes(j) == line.Bytes
            && (j == 0 || line.Line == 0 || FBuffer->Bytes(j - 1) == line.Before)
            && !std::binary_search(FMarks.begin(), FMarks.end(), j);
    };
    int64_t shift = 0;
    for (const MarkedLine& line : marked) {
        const int64_t guess = line.Line + shift;
        for (int64_t d = 0; d <= MarkReach && (guess + d < count || guess - d >= 0); ++d) {
            const int64_t hit = holds(line, guess - d) ? guess - d : d > 0 && holds(line, guess + d) ? guess + d : -1;
            if (hit >= 0) {
                FMarks.insert(std::lower_bound(FMarks.begin(), FMarks.end(), hit), hit);
                shift = hit - line.Line;
                break;
            }
        }
    }
}

int64_t SjisView::ViewLineOf(int64_t source) const
{
    if (!FKept)
        return source < FBuffer->Count() ? source : -1;
    const std::vector<int64_t>& kept = FKept->Sources();
    const auto at = std::lower_bound(kept.begin(), kept.end(), source);
    return at != kept.end() && *at == source ? at - kept.begin() : -1;
}

bool SjisView::IsMarked(int64_t i) const
{
    const int64_t source = Current().SourceLine(i);
    return source >= 0 && std::binary_search(FMarks.begin(), FMarks.end(), source);
}

void SjisView::ToggleMark()
{
    Complete();
    const int64_t source = Current().SourceLine(Current().LineAt(FCaret));
    if (source < 0)
        return;
    const auto at = std::lower_bound(FMarks.begin(), FMarks.end(), source);
    if (at != FMarks.end() && *at == source)
        FMarks.erase(at);
    else
        FMarks.insert(at, source);
    viewport()->update();
}

bool SjisView::GoToMark(bool forward)
{
    Complete();
    const SjisLines& lines = Current();
    int64_t here = lines.SourceLine(lines.LineAt(FCaret));
    if (here < 0)
        here = FBuffer->Count();
    auto shown = [&](int64_t m) { return ViewLineOf(m) >= 0; };
    int64_t target = -1;
    if (forward) {
        auto m = std::upper_bound(FMarks.begin(), FMarks.end(), here);
        for (; m != FMarks.end() && target < 0; ++m)
            if (shown(*m))
                target = *m;
        for (m = FMarks.begin(); m != FMarks.end() && target < 0; ++m)
            if (shown(*m))
                target = *m;
    } else {
        auto m = std::lower_bound(FMarks.begin(), FMarks.end(), here);
        for (auto r = std::make_reverse_iterator(m); r != FMarks.rend() && target < 0; ++r)
            if (shown(*r))
                target = *r;
        for (auto r = FMarks.rbegin(); r != FMarks.rend() && target < 0; ++r)
            if (shown(*r))
                target = *r;
    }
    if (target < 0)
        return false;
    FGoalX = -1;
    MoveCaret(lines.Start(ViewLineOf(target)), false);
    return true;
}

bool SjisView::FilterToMarks()
{
    if (FMarks.empty())
        return false;
    ApplyFilterNow(LineFilter::Marks());
    return true;
}

void SjisView::ClearMarks()
{
    FMarks.clear();
    viewport()->update();
}

SjisView::SearchEnd SjisView::FindWait(const std::string& find, const sjis::FindOptions& options)
{
    SearchEnd end = SearchEnd::Stopped;
    bool running = true;
    QEventLoop loop;
    StartFind(find, options, [&](bool found) {
        end = found ? SearchEnd::Found : SearchEnd::NotFound;
        running = false;
        loop.quit();
    });
    if (running) {
        FSearchStopped = [&] {
            running = false;
            loop.quit();
        };
        loop.exec();
    }
    return end;
}

SjisView::SearchEnd SjisView::FilterWait(std::string needle)
{
    return FilterWait(LineFilter::Text(std::move(needle), {.MatchCase = true}));
}

SjisView::SearchEnd SjisView::FilterWait(std::shared_ptr<const LineFilter> rule)
{
    SearchEnd end = SearchEnd::Stopped;
    bool running = true;
    QEventLoop loop;
    StartFilter(std::move(rule), [&](bool changed) {
        end = changed ? SearchEnd::Found : SearchEnd::NotFound;
        running = false;
        loop.quit();
    });
    if (running && !FSearch) {
        // Ended in its first slice without its lines.
        end = FSearchTooComplex ? SearchEnd::TooComplex : SearchEnd::Stopped;
    } else if (running) {
        FSearchStopped = [&] {
            end = FSearchTooComplex ? SearchEnd::TooComplex : SearchEnd::Stopped;
            running = false;
            loop.quit();
        };
        loop.exec();
    }
    return end;
}
