// "Filter lines…": shows or hides the filter field and its button in the top
// panel, with the filter's toggles.
#include "app/Form1.h"

#include "view/SjisMemo.h"
#include "app/WindowKeeper.h"

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QToolButton>
#include <QLineEdit>
#include <QPushButton>

void TForm1::FilterLines1Click()
{
    const bool show = CmbGrep->isHidden();
    for (QWidget* part : {static_cast<QWidget*>(CmbGrep), static_cast<QWidget*>(Button2),
                          static_cast<QWidget*>(BtnExclude), static_cast<QWidget*>(BtnRegex),
                          static_cast<QWidget*>(BtnMatchCase)})
        part->setVisible(show);
    if (!show)
        LblGrepError->setVisible(false);
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
