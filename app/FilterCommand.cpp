// The line filter ("&Grep"): keeps the lines of the view that hold a text, or
// shows the last file again when the text is empty.
#include "app/Form1.h"

#include "view/SjisFindText.h"
#include "view/SjisMemo.h"

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
    // The view keeps the lines that hold it as a view over the same bytes;
    // the caret moves with the text around it. A filter stopped with Esc
    // leaves everything as it was.
    const SjisView::SearchEnd end = Memo1->FilterWait(g);
    if (end != SjisView::SearchEnd::Stopped)
        AppliedFilter = g;
}
