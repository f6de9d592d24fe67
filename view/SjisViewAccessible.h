// The view as assistive technology reads it: an accessible multi-line text.
// Offsets are UTF-16 units of the decoded text as a reader reads it, each
// line break one LF; the view's byte offsets are turned into them through
// its SjisCharOffsets, so a question about a big text decodes only the
// lines it asks for. Lines and words are taken within the log's lines.
#pragma once

#include <QAccessibleWidget>

class SjisView;

class SjisViewAccessible : public QAccessibleWidget, public QAccessibleTextInterface {
public:
    explicit SjisViewAccessible(SjisView* view);

    // Makes Qt give this interface for every SjisView; once per process.
    static void Install();

    QAccessible::Role role() const override;
    QAccessible::State state() const override;
    void* interface_cast(QAccessible::InterfaceType t) override;

    void selection(int selectionIndex, int* startOffset, int* endOffset) const override;
    int selectionCount() const override;
    void addSelection(int startOffset, int endOffset) override;
    void removeSelection(int selectionIndex) override;
    void setSelection(int selectionIndex, int startOffset, int endOffset) override;
    int cursorPosition() const override;
    void setCursorPosition(int position) override;
    QString text(QAccessible::Text t) const override;
    QString text(int startOffset, int endOffset) const override;
    QString textBeforeOffset(int offset, QAccessible::TextBoundaryType boundaryType, int* startOffset,
                             int* endOffset) const override;
    QString textAfterOffset(int offset, QAccessible::TextBoundaryType boundaryType, int* startOffset,
                            int* endOffset) const override;
    QString textAtOffset(int offset, QAccessible::TextBoundaryType boundaryType, int* startOffset,
                         int* endOffset) const override;
    int characterCount() const override;
    QRect characterRect(int offset) const override;
    int offsetAtPoint(const QPoint& point) const override;
    void scrollToSubstring(int startIndex, int endIndex) override;
    QString attributes(int offset, int* startOffset, int* endOffset) const override;

private:
    SjisView* View() const;
    // The span [start, end) of the unit of kind boundary that holds offset.
    void SpanAt(int offset, QAccessible::TextBoundaryType boundary, int* start, int* end) const;
};
