// SjisView: keys and mouse, words, and the context menu.
#include "view/SjisView.h"
#include "view/SjisViewInternal.h"

#include "codec/SjisCodec.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTextLayout>

#include <algorithm>
#include <utility>

using SjisViewInternal::Margin;

namespace {

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
    const int row =
        std::clamp((point.y() - y) / std::max(1, spacing), 0, std::max(0, layout.lineCount() - 1));
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
            FGoalX = static_cast<int>(
                here.lineForTextPosition(CharOf(line, FCaret)).cursorToX(CharOf(line, FCaret)));
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
    case Qt::Key_Up: vertical(line - 1); return;
    case Qt::Key_Down: vertical(line + 1); return;
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
    default: break;
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
