// The encoding menu, "Select &All" (and its shortcut) and "E&xit".
#include "app/Form1.h"

#include "view/SjisMemo.h"

#include <QAction>
#include <QActionGroup>
#include <QKeyEvent>

void TForm1::EUC1Click(QAction* Sender)
{
    // The caption is the encoding name; "自動" names none and so selects
    // automatic detection at the next display.
    CurrentEncoding = Sender->text().toStdString();
    // One mark for what is in force: the chosen radio item (the action group
    // unchecks the others) without "自動", or "自動" without a radio item.
    // A click on a checked item toggled it off: it keeps its mark.
    if (Sender == N3) {
        if (QAction* radio = EncodingGroup->checkedAction())
            radio->setChecked(false);
    } else {
        N3->setChecked(false);
    }
    Sender->setChecked(true);
}

void TForm1::SelectAll1Click()
{
    Memo1->SelectAll();
}

bool TForm1::eventFilter(QObject* watched, QEvent* event)
{
    // A line edit claims the select-all key for its own text; the menu's
    // shortcut is to win wherever the focus is, so the claim is withdrawn.
    if (event->type() == QEvent::ShortcutOverride) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (QKeySequence(key->keyCombination()) == SelectAll1->shortcut()) {
            event->ignore();
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void TForm1::Exit1Click()
{
    close();
}
