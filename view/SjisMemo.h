// The window's text view (Memo1): the on-demand SjisView, which holds the
// Shift_JIS text once and lays out only the lines on screen, with what the
// window adds to it: typing (as Shift_JIS bytes, line breaks as CR LF), cut
// and paste, each an edit step Ctrl+Z undoes, and Tab leaving the view.
// Every position of its interface (caret, selection) is a byte offset into
// the text with CR LF line breaks.
#pragma once

#include "view/SjisView.h"

class SjisMemo : public SjisView {
    Q_OBJECT
public:
    explicit SjisMemo(QWidget* parent = nullptr);

    // Tab moves the focus on (true) or is typed as a character (false).
    void setTabChangesFocus(bool on) { FTabChangesFocus = on; }
    // Scrolls the caret into sight.
    void ensureCursorVisible() { EnsureCaretVisible(); }
    // Puts the selection on the clipboard and deletes it, as one edit step;
    // a selection beyond CopyLimit stays (said through OnNotice). Does not
    // wait; throws std::bad_alloc.
    void Cut();
    // Replaces the selection by the clipboard's text as Shift_JIS bytes, as
    // one edit step. Does not wait; throws std::bad_alloc.
    void Paste();
    // Undo and redo, cut, copy, paste, delete and select all, each enabled
    // when it would do something.
    std::unique_ptr<QMenu> CreateContextMenu() override;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    // Text an input method commits is typed like keys.
    void inputMethodEvent(QInputMethodEvent* event) override;
    bool focusNextPrevChild(bool next) override;

private:
    bool FTabChangesFocus = false;
};
