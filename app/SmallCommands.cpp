// The encoding menu, "Select &All" and "E&xit".
#include "app/Form1.h"

#include "app/SjisMemo.h"

#include <QAction>
#include <QActionGroup>

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

void TForm1::Exit1Click()
{
    close();
}
