// The window's text view (Memo1): the on-demand SjisView, which holds the
// Shift_JIS text once and lays out only the lines on screen, with what the
// window adds to it: typing (as Shift_JIS bytes, line breaks as CR LF) and
// Tab leaving the view. Every position of its interface (caret, selection)
// is a byte offset into the text with CR LF line breaks.
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

protected:
    void keyPressEvent(QKeyEvent* event) override;
    // Text an input method commits is typed like keys.
    void inputMethodEvent(QInputMethodEvent* event) override;
    bool focusNextPrevChild(bool next) override;

private:
    bool FTabChangesFocus = false;
};
