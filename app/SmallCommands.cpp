// The encoding menu, "Select &All" and "E&xit".
#include "app/Form1.h"

#include "app/SjisMemo.h"

#include <QAction>

void TForm1::EUC1Click(QAction* Sender)
{
    // The caption is the encoding name; "自動" names none and so selects
    // automatic detection at the next display.
    CurrentEncoding = Sender->text().toStdString();
    // Checking a radio item unchecks the other radio items (the action
    // group does that) and never "自動"; checking "自動" unchecks nothing.
    // A click on a checked "自動" toggled it off: it keeps its mark.
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
