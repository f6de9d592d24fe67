// Find and find next over the text view, and the bindings of the commands of
// this group.
#include "app/Form1.h"

#include "app/FindDialog.h"
#include "app/FindOptionsCommands.h"
#include "app/MessageBox.h"
#include "view/SjisDirectedSearch.h"
#include "view/SjisFindText.h"
#include "view/SjisMemo.h"

#include <QAction>
#include <QPushButton>

bool TForm1::SearchMemo(const QString& findText, bool matchCase)
{
    // A search that starts on a selection starts behind it, so repeated
    // searches walk from one match to the next.
    if (Memo1->SelLength() != 0)
        Memo1->SetSelStart(Memo1->SelStart() + Memo1->SelLength());
    Memo1->SetSelLength(0);

    const auto find = ExactSjisBytes(findText);
    if (!find)
        return false;
    // The view scans its own bytes, the match selected when found; a big
    // text is scanned with the window answering and Esc stopping.
    return Memo1->FindWait(*find, sjis::FindOptions{matchCase, false, false}) == SjisView::SearchEnd::Found;
}

void TForm1::FindNextMatch()
{
    if (FindDialog1->isVisible()) {
        // The keys go back to the window, so F3 goes on from the match.
        FindDialog1->CloseDialog();
        activateWindow();
    }
    if (!SearchMemoWith(FindDialog1->FindText(), FindDialog1->Options()) && !Memo1->SearchWasStopped())
        ShowMessageBox("なし", "検索", 0);
}

void TForm1::Find1Click()
{
    FindDialog1->Execute(MatchArea(*Memo1));
}

void TForm1::FindNext1Click()
{
    if (FindDialog1->FindText().isEmpty())
        FindDialog1->Execute(MatchArea(*Memo1));
    else
        FindNextMatch();
}

void TForm1::FindDialog1Find()
{
    FindNextMatch();
}

void TForm1::BindSearchCommands()
{
    connect(Find1, &QAction::triggered, this, &TForm1::Find1Click);
    connect(FindNext1, &QAction::triggered, this, &TForm1::FindNext1Click);
    connect(FindDialog1, &FindDialog::Find, this, &TForm1::FindDialog1Find);
    connect(SelectAll1, &QAction::triggered, this, &TForm1::SelectAll1Click);
    connect(Exit1, &QAction::triggered, this, &TForm1::Exit1Click);
    connect(Button2, &QPushButton::clicked, this, &TForm1::Button2Click);
    // The view's long scans (index, find, filter) report in the status; the
    // status is emptied when they end.
    Memo1->OnProgress = [this](const QString& what, double share) {
        ShowStatus(what.isEmpty() ? QString() : QStringLiteral("%1 %2%").arg(what).arg(static_cast<int>(share * 100)));
    };
    Memo1->OnNotice = [this](const QString& text) { ShowStatus(text); };
    Memo1->OnFilterDropped = [this](bool tooComplex) { FilterDropped(tooComplex); };
    for (QAction* item : {JIS1, EUC1, UTF81, Unicode1, SJIS1, N3})
        connect(item, &QAction::triggered, this, [this, item] { EUC1Click(item); });
}
