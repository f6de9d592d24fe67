#include "view/SjisMemo.h"

#include "codec/SjisCodec.h"

#include <QApplication>
#include <QClipboard>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMenu>

SjisMemo::SjisMemo(QWidget* parent) : SjisView(parent)
{
    setAttribute(Qt::WA_InputMethodEnabled);
}

void SjisMemo::inputMethodEvent(QInputMethodEvent* event)
{
    if (!event->commitString().isEmpty())
        EditSelection(SjisCodec::Encode(event->commitString()), SjisEditHistory::Kind::Typing);
    event->accept();
}

void SjisMemo::Cut()
{
    if (SelLength() == 0)
        return;
    // Copy puts no more than CopyLimit on the clipboard: the rest would be
    // lost.
    if (static_cast<uint64_t>(SelLength()) > CopyLimit) {
        if (OnNotice)
            OnNotice(QStringLiteral("切り取りは%1MBまでです").arg(CopyLimit >> 20));
        return;
    }
    Copy();
    EditSelection({}, SjisEditHistory::Kind::Other);
}

void SjisMemo::Paste()
{
    QString text = QApplication::clipboard()->text();
    if (text.isEmpty())
        return;
    // Breaks of other programs' texts become this view's.
    text.replace(QChar::ParagraphSeparator, u'\n').replace(QChar::LineSeparator, u'\n');
    EditSelection(SjisCodec::Encode(text), SjisEditHistory::Kind::Other);
}

std::unique_ptr<QMenu> SjisMemo::CreateContextMenu()
{
    auto menu = std::make_unique<QMenu>(this);
    const bool selected = SelLength() != 0;
    auto add = [&](const QString& caption, QKeySequence::StandardKey key, bool enabled, auto run) {
        QAction* action = menu->addAction(caption, this, run);
        if (key != QKeySequence::UnknownKey)
            action->setShortcut(key);
        action->setEnabled(enabled);
    };
    add(QStringLiteral("元に戻す(&U)"), QKeySequence::Undo, CanUndo(), [this] { Undo(); });
    add(QStringLiteral("やり直し(&R)"), QKeySequence::Redo, CanRedo(), [this] { Redo(); });
    menu->addSeparator();
    add(QStringLiteral("Cu&t"), QKeySequence::Cut, selected, [this] { Cut(); });
    add(QStringLiteral("&Copy"), QKeySequence::Copy, selected, [this] { Copy(); });
    add(QStringLiteral("&Paste"), QKeySequence::Paste, !QApplication::clipboard()->text().isEmpty(),
        [this] { Paste(); });
    add(QStringLiteral("Delete"), QKeySequence::UnknownKey, selected,
        [this] { EditSelection({}, SjisEditHistory::Kind::Other); });
    menu->addSeparator();
    add(QStringLiteral("Select &All"), QKeySequence::SelectAll, true, [this] { SelectAll(); });
    return menu;
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
    if (event == QKeySequence::Cut) {
        Cut();
        return;
    }
    if (event == QKeySequence::Paste) {
        Paste();
        return;
    }
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        // Every line break of this view is a CR LF between lines, with Shift
        // or without.
        if (!command) {
            EditSelection("\r\n", SjisEditHistory::Kind::Typing);
            return;
        }
        break;
    case Qt::Key_Backspace:
    case Qt::Key_Delete:
        if (!command) {
            // A selection goes as a step alone; the character before (or
            // behind) the caret is selected and goes with those deleted by
            // the same key just before.
            SjisEditHistory::Kind kind = SjisEditHistory::Kind::Other;
            if (SelLength() == 0) {
                const bool back = event->key() == Qt::Key_Backspace;
                QKeyEvent step(QEvent::KeyPress, back ? Qt::Key_Left : Qt::Key_Right, Qt::ShiftModifier);
                SjisView::keyPressEvent(&step);
                kind = back ? SjisEditHistory::Kind::Backspace : SjisEditHistory::Kind::Delete;
            }
            if (SelLength() != 0)
                EditSelection({}, kind);
            return;
        }
        break;
    default:
        break;
    }
    const QString text = event->text();
    if (!command && !text.isEmpty() && (text.at(0).isPrint() || text.at(0) == u'\t')) {
        EditSelection(SjisCodec::Encode(text), SjisEditHistory::Kind::Typing);
        return;
    }
    SjisView::keyPressEvent(event);
}
