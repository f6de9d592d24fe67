// SjisView: edits of the text, whole or in place, and their undo and redo.
#include "view/SjisView.h"

#include <QScrollBar>
#include <QTextLayout>

#include <algorithm>
#include <utility>

namespace {

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

} // namespace

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
        step = {start, BytesBetween(start, end), {}, FAnchor, FCaret, strayBefore, false, kind, {}};
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
