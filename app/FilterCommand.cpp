// The line filter ("&Grep"): keeps the lines of the view that hold a text, or
// shows the last file again when the text is empty.
#include "app/Form1.h"

#include "view/SjisFindText.h"
#include "view/SjisMemo.h"
#include "view/SjisText.h"

#include <QLineEdit>

void TForm1::Button2Click()
{
    const QString filter = EdtGrep->text();
    if (filter.isEmpty()) {
        // Read from the local disk again, not fetched again, and converted
        // with the encoding chosen now; still the file the title names.
        const QString label = ShownLabel;
        const QString path = ShownPath;
        ShowLocalFile(LastFile, LastTag);
        ShownLabel = label;
        ShownPath = path;
        ShowWindowTitle(ShownEncoding);
        return;
    }
    // A text with a character the view cannot hold is in no line.
    const std::string g = ExactSjisBytes(filter).value_or(std::string());
    // The same lines go as if each were deleted from the view in turn, but
    // the view gets the kept text in one piece: deleting lines one by one
    // costs seconds on a large text.
    const bool firstByteAlone = FirstByteShownAlone(*Memo1);
    const sjis::FilterResult kept =
        sjis::FilterLines(Memo1->Text(), g, static_cast<std::size_t>(Memo1->SelStart()), firstByteAlone);
    AppliedFilter = g;
    if (kept.Dropped == 0)
        return;
    Memo1->SetText(kept.Text, firstByteAlone && kept.FirstLineKept);
    Memo1->SetSelStart(static_cast<int64_t>(kept.Caret));
    Memo1->SetSelLength(0);
}
