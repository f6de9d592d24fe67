// Find with the dialog's options (direction, whole word), "Find &Previous",
// and where the find dialog must keep clear of.
#include "app/Form1.h"

#include "app/FindDialog.h"
#include "app/FindOptionsCommands.h"
#include "app/MessageBox.h"
#include "view/SjisDirectedSearch.h"
#include "view/SjisFindText.h"
#include "view/SjisMemo.h"
#include "view/SjisText.h"


QRect MatchArea(const SjisMemo& memo)
{
    // The whole width of the lines from the selection's start to its end (or
    // of the caret's line): the text around a match is read with it.
    const QRect first = memo.CaretRect(memo.SelStart());
    const QRect last = memo.CaretRect(memo.SelStart() + memo.SelLength());
    const QWidget* viewport = memo.viewport();
    QRect lines(0, first.top(), viewport->width(), last.bottom() - first.top() + 1);
    lines = lines.intersected(viewport->rect());
    if (lines.isEmpty())
        return {};
    return QRect(viewport->mapToGlobal(lines.topLeft()), lines.size());
}

bool TForm1::SearchMemoWith(const QString& findText, const sjis::FindOptions& options)
{
    int64_t start = Memo1->SelStart();
    const int64_t length = Memo1->SelLength();
    if (!options.Up) {
        // The caret at the very end, as a fetch leaves it, has nothing to
        // search behind it: the search begins with what is on screen.
        if (length == 0 && start == Memo1->TextLength())
            start = Memo1->FirstShownLineStart();
        else
            start += length;
    }
    Memo1->SetSelStart(start);
    Memo1->SetSelLength(0);

    const auto find = ExactSjisBytes(findText);
    if (!find)
        return false;
    return Memo1->FindWait(*find, options) == SjisView::SearchEnd::Found;
}

void TForm1::FindPrevious1Click()
{
    if (FindDialog1->FindText().isEmpty()) {
        FindDialog1->Execute(MatchArea(*Memo1));
        return;
    }
    if (FindDialog1->isVisible()) {
        // As Find Next: the keys go back to the window.
        FindDialog1->CloseDialog();
        activateWindow();
    }
    sjis::FindOptions options = FindDialog1->Options();
    options.Up = true;
    if (!SearchMemoWith(FindDialog1->FindText(), options) && !Memo1->SearchWasStopped())
        ShowMessageBox("なし", "検索", 0);
}
