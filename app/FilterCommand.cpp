// The line filter ("&Grep"): keeps the lines of the view that hold a text or
// match a pattern (or, excluding, those that do not), or shows the last file
// again when the text is empty.
#include "app/Form1.h"

#include "view/LineFilter.h"
#include "view/SjisFindText.h"
#include "view/SjisMemo.h"
#include "app/WindowKeeper.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>

void TForm1::Button2Click()
{
    const QString filter = EdtGrep->text();
    LblGrepError->clear();
    LblGrepError->setVisible(false);
    auto arrange = [this] {
        if (auto* keeper = findChild<WindowKeeper*>())
            keeper->ArrangePanel();
    };
    if (filter.isEmpty()) {
        arrange();
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
    const FilterOptions options = CurrentFilterOptions();
    std::shared_ptr<const LineFilter> rule;
    if (options.Regex) {
        rule = LineFilter::Pattern(filter, options);
        if (!rule->Valid()) {
            // A pattern that does not compile changes nothing.
            LblGrepError->setText(rule->Error());
            LblGrepError->setToolTip(rule->Error());
            LblGrepError->setVisible(true);
            arrange();
            return;
        }
    } else {
        // A text with a character the view cannot hold is in no line.
        rule = LineFilter::Text(ExactSjisBytes(filter).value_or(std::string()), options);
    }
    arrange();
    RememberFilter(filter);
    // The view keeps the lines as a view over the same bytes; the caret
    // moves with the text around it. A filter stopped with Esc leaves
    // everything as it was.
    const SjisView::SearchEnd end = Memo1->FilterWait(rule);
    if (end == SjisView::SearchEnd::TooComplex) {
        ShowFilterTooComplex();
        return;
    }
    if (end != SjisView::SearchEnd::Stopped)
        AppliedFilter = options.Regex ? std::string() : rule->Needle();
}

void TForm1::ShowFilterTooComplex()
{
    // Beside the field, in red, as a pattern that does not compile.
    const QString text = QStringLiteral("パターンが複雑すぎます");
    LblGrepError->setText(text);
    LblGrepError->setToolTip(text);
    LblGrepError->setVisible(true);
    if (auto* keeper = findChild<WindowKeeper*>())
        keeper->ArrangePanel();
}

void TForm1::FilterDropped(bool tooComplex)
{
    // The view's own filter (Follow's new lines, a text shown again) ended
    // without its lines: no filter is in force any more.
    AppliedFilter.reset();
    if (tooComplex)
        ShowFilterTooComplex();
}
