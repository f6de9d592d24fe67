#include "view/SjisViewAccessible.h"

#include "codec/SjisCodec.h"
#include "view/SjisView.h"

#include <QFontMetrics>

#include <algorithm>
#include <climits>

namespace {

// Most characters an event about changed text carries: a new text of a
// gigabyte is announced by its start; readers ask for the rest.
constexpr int64_t EventChars = 1 << 14;

int Clamp(int64_t n) { return static_cast<int>(std::clamp<int64_t>(n, 0, INT_MAX)); }

QAccessibleInterface* Create(const QString& className, QObject* object)
{
    if (className == QLatin1String("SjisView") && object && object->isWidgetType())
        return new SjisViewAccessible(static_cast<SjisView*>(object));
    return nullptr;
}

} // namespace

void SjisViewAccessible::Install()
{
    static const bool installed = [] {
        QAccessible::installFactory(Create);
        return true;
    }();
    (void)installed;
}

SjisViewAccessible::SjisViewAccessible(SjisView* view)
    : QAccessibleWidget(view, QAccessible::EditableText) { }

SjisView* SjisViewAccessible::View() const { return static_cast<SjisView*>(widget()); }

QAccessible::Role SjisViewAccessible::role() const { return QAccessible::EditableText; }

QAccessible::State SjisViewAccessible::state() const
{
    QAccessible::State s = QAccessibleWidget::state();
    s.multiLine = true;
    s.editable = true;
    s.selectableText = true;
    return s;
}

void* SjisViewAccessible::interface_cast(QAccessible::InterfaceType t)
{
    if (t == QAccessible::TextInterface)
        return static_cast<QAccessibleTextInterface*>(this);
    return QAccessibleWidget::interface_cast(t);
}

int SjisViewAccessible::characterCount() const
{
    SjisView* view = View();
    return Clamp(view->Chars().Count(view->Lines()));
}

QString SjisViewAccessible::text(QAccessible::Text t) const
{
    // The name is the widget's; the value (the whole text) is read through
    // the text interface, never copied here.
    if (t == QAccessible::Value)
        return {};
    return QAccessibleWidget::text(t);
}

QString SjisViewAccessible::text(int startOffset, int endOffset) const
{
    SjisView* view = View();
    return view->Chars().Text(view->Lines(), startOffset, endOffset);
}

int SjisViewAccessible::cursorPosition() const
{
    SjisView* view = View();
    return Clamp(view->Chars().CharOf(view->Lines(), static_cast<uint64_t>(view->CaretPosition())));
}

void SjisViewAccessible::setCursorPosition(int position)
{
    SjisView* view = View();
    view->SetSelStart(static_cast<int64_t>(view->Chars().OffsetOf(view->Lines(), position)));
    view->EnsureCaretVisible();
}

int SjisViewAccessible::selectionCount() const { return View()->SelLength() > 0 ? 1 : 0; }

void SjisViewAccessible::selection(int selectionIndex, int* startOffset, int* endOffset) const
{
    *startOffset = *endOffset = 0;
    SjisView* view = View();
    if (selectionIndex != 0 || view->SelLength() == 0)
        return;
    const SjisLines& lines = view->Lines();
    const auto from = static_cast<uint64_t>(view->SelStart());
    *startOffset = Clamp(view->Chars().CharOf(lines, from));
    *endOffset = Clamp(view->Chars().CharOf(lines, from + static_cast<uint64_t>(view->SelLength())));
}

void SjisViewAccessible::setSelection(int selectionIndex, int startOffset, int endOffset)
{
    if (selectionIndex != 0)
        return;
    SjisView* view = View();
    const SjisLines& lines = view->Lines();
    const auto from = static_cast<int64_t>(view->Chars().OffsetOf(lines, std::min(startOffset, endOffset)));
    const auto to = static_cast<int64_t>(view->Chars().OffsetOf(lines, std::max(startOffset, endOffset)));
    view->SetSelStart(from);
    view->SetSelLength(to - from);
}

void SjisViewAccessible::addSelection(int startOffset, int endOffset)
{
    setSelection(0, startOffset, endOffset);
}

void SjisViewAccessible::removeSelection(int selectionIndex)
{
    if (selectionIndex == 0)
        View()->SetSelStart(View()->CaretPosition());
}

void SjisViewAccessible::SpanAt(int offset, QAccessible::TextBoundaryType boundary, int* start,
                                int* end) const
{
    SjisView* view = View();
    const SjisLines& lines = view->Lines();
    SjisCharOffsets& chars = view->Chars();
    const int64_t count = chars.Count(lines);
    const int64_t at = std::clamp<int64_t>(offset, 0, count);
    if (boundary == QAccessible::NoBoundary) {
        *start = 0;
        *end = Clamp(count);
        return;
    }
    const int64_t line = chars.LineOf(lines, at);
    const int64_t lineStart = chars.LineStart(lines, line);
    const int64_t lineChars =
        SjisCharOffsets::LineChars(lines.Bytes(line), line == 0 && lines.FirstByteStray());
    const int64_t lineEnd = lineStart + lineChars + (line + 1 < lines.Count() ? 1 : 0);
    if (boundary == QAccessible::LineBoundary || boundary == QAccessible::SentenceBoundary ||
        boundary == QAccessible::ParagraphBoundary) {
        *start = Clamp(lineStart);
        *end = Clamp(lineEnd);
        return;
    }
    if (at >= lineStart + lineChars) {
        // The line's break, or the end of the text: a unit of its own.
        *start = Clamp(at);
        *end = Clamp(std::min(at + 1, lineEnd));
        return;
    }
    const uint64_t offsetAt = chars.OffsetOf(lines, at);
    if (boundary == QAccessible::WordBoundary) {
        // Words as a double click takes them: a run of kanji is one word.
        const auto [from, to] = view->WordSpan(static_cast<int64_t>(offsetAt));
        *start = Clamp(chars.CharOf(lines, static_cast<uint64_t>(from)));
        *end = Clamp(chars.CharOf(lines, static_cast<uint64_t>(to)));
        return;
    }
    // One character: its units (two for a pair of surrogates or a code that
    // gives two characters).
    const std::string_view bytes = lines.Bytes(line);
    const std::size_t within = offsetAt - lines.Start(line);
    const bool stray = line == 0 && lines.FirstByteStray() && within == 0;
    *start = Clamp(chars.CharOf(lines, offsetAt));
    *end = Clamp(chars.CharOf(lines, offsetAt + SjisCodec::DecodeAt(bytes, within, stray).Bytes));
}

QString SjisViewAccessible::textAtOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                                         int* startOffset, int* endOffset) const
{
    SpanAt(offset, boundaryType, startOffset, endOffset);
    return text(*startOffset, *endOffset);
}

QString SjisViewAccessible::textBeforeOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                                             int* startOffset, int* endOffset) const
{
    int start = 0;
    int end = 0;
    SpanAt(offset, boundaryType, &start, &end);
    if (start <= 0) {
        *startOffset = *endOffset = 0;
        return {};
    }
    SpanAt(start - 1, boundaryType, startOffset, endOffset);
    return text(*startOffset, *endOffset);
}

QString SjisViewAccessible::textAfterOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                                            int* startOffset, int* endOffset) const
{
    int start = 0;
    int end = 0;
    SpanAt(offset, boundaryType, &start, &end);
    const int count = characterCount();
    if (end >= count || end <= start) {
        *startOffset = *endOffset = count;
        return {};
    }
    SpanAt(end, boundaryType, startOffset, endOffset);
    return text(*startOffset, *endOffset);
}

QRect SjisViewAccessible::characterRect(int offset) const
{
    SjisView* view = View();
    const SjisLines& lines = view->Lines();
    const auto at = static_cast<int64_t>(view->Chars().OffsetOf(lines, offset));
    QRect rect = view->CaretRect(at);
    const QRect next = view->CaretRect(static_cast<int64_t>(view->Chars().OffsetOf(lines, offset + 1)));
    rect.setWidth(next.top() == rect.top() && next.left() > rect.left()
                      ? next.left() - rect.left()
                      : QFontMetrics(view->font()).averageCharWidth());
    return QRect(view->viewport()->mapToGlobal(rect.topLeft()), rect.size());
}

int SjisViewAccessible::offsetAtPoint(const QPoint& point) const
{
    SjisView* view = View();
    const QPoint local = view->viewport()->mapFromGlobal(point);
    if (!view->viewport()->rect().contains(local))
        return -1;
    return Clamp(view->Chars().CharOf(view->Lines(), static_cast<uint64_t>(view->OffsetAtPoint(local))));
}

void SjisViewAccessible::scrollToSubstring(int startIndex, int) { setCursorPosition(startIndex); }

QString SjisViewAccessible::attributes(int offset, int* startOffset, int* endOffset) const
{
    // One look for the whole text.
    *startOffset = 0;
    *endOffset = std::max(offset, characterCount());
    return {};
}

// The view's side: what it tells readers when its lines or caret change.

void SjisView::LinesChanged(int64_t from, bool appended)
{
    const int64_t oldCount = appended ? FChars.KnownCount() : -1;
    FChars.Forget(from);
    if (!QAccessible::isActive())
        return;
    const SjisLines& lines = Current();
    // Appending keeps every character before the old end.
    const int64_t at = oldCount >= 0 ? oldCount : FChars.LineStart(lines, from);
    const QString inserted = FChars.Text(lines, at, at + EventChars);
    if (appended) {
        QAccessibleTextInsertEvent event(this, Clamp(at), inserted);
        QAccessible::updateAccessibility(&event);
    } else {
        QAccessibleTextUpdateEvent event(this, Clamp(at), QString(), inserted);
        QAccessible::updateAccessibility(&event);
    }
    FSaidCaret = FCaret;
    FSaidAnchor = FAnchor;
}

void SjisView::CaretMoved()
{
    if (FCaret == FSaidCaret && FAnchor == FSaidAnchor)
        return;
    const bool selectionChanged = FAnchor != FSaidAnchor || FAnchor != FCaret;
    FSaidCaret = FCaret;
    FSaidAnchor = FAnchor;
    if (!QAccessible::isActive())
        return;
    const SjisLines& lines = Current();
    const int caret = Clamp(FChars.CharOf(lines, FCaret));
    QAccessibleTextCursorEvent moved(this, caret);
    QAccessible::updateAccessibility(&moved);
    if (selectionChanged) {
        QAccessibleTextSelectionEvent selected(this, Clamp(FChars.CharOf(lines, std::min(FAnchor, FCaret))),
                                               Clamp(FChars.CharOf(lines, std::max(FAnchor, FCaret))));
        selected.setCursorPosition(caret);
        QAccessible::updateAccessibility(&selected);
    }
}
