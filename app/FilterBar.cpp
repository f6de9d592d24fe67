// "Filter lines…": shows or hides the filter field and its button in the top
// panel.
#include "app/Form1.h"

#include "view/SjisMemo.h"
#include "app/WindowKeeper.h"

#include <QAction>
#include <QLineEdit>
#include <QPushButton>

void TForm1::FilterLines1Click()
{
    const bool show = EdtGrep->isHidden();
    EdtGrep->setVisible(show);
    Button2->setVisible(show);
    FilterLines1->setChecked(show);
    if (auto* keeper = findChild<WindowKeeper*>())
        keeper->ArrangePanel();
    if (show) {
        EdtGrep->setFocus();
        EdtGrep->selectAll();
    } else {
        Memo1->setFocus();
    }
}
