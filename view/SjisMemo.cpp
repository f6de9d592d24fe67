#include "view/SjisMemo.h"

#include "codec/SjisCodec.h"

#include <QInputMethodEvent>
#include <QKeyEvent>

SjisMemo::SjisMemo(QWidget* parent) : SjisView(parent)
{
    setAttribute(Qt::WA_InputMethodEnabled);
}

void SjisMemo::inputMethodEvent(QInputMethodEvent* event)
{
    if (!event->commitString().isEmpty())
        SetSelText(SjisCodec::Encode(event->commitString()));
    event->accept();
}

bool SjisMemo::focusNextPrevChild(bool next)
{
    if (!FTabChangesFocus)
        return false;
    return SjisView::focusNextPrevChild(next);
}

void SjisMemo::keyPressEvent(QKeyEvent* event)
{
    const Qt::KeyboardModifiers mods = event->modifiers();
    const bool command = mods & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        // Every line break of this view is a CR LF between lines, with Shift
        // or without.
        if (!command) {
            SetSelText("\r\n");
            return;
        }
        break;
    case Qt::Key_Backspace:
    case Qt::Key_Delete:
        if (!command) {
            if (SelLength() == 0) {
                // The character before (or behind) the caret is selected and
                // replaced by nothing.
                QKeyEvent step(QEvent::KeyPress, event->key() == Qt::Key_Backspace ? Qt::Key_Left : Qt::Key_Right,
                               Qt::ShiftModifier);
                SjisView::keyPressEvent(&step);
            }
            if (SelLength() != 0)
                SetSelText({});
            return;
        }
        break;
    default:
        break;
    }
    const QString text = event->text();
    if (!command && !text.isEmpty() && (text.at(0).isPrint() || text.at(0) == u'\t')) {
        SetSelText(SjisCodec::Encode(text));
        return;
    }
    SjisView::keyPressEvent(event);
}
