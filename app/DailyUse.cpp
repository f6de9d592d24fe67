// The daily-use aids of the window: the further find keys, "Filter lines…",
// Enter in the File field, the single mark of the encoding menu, the
// highlighting and the window keeping (layout, end of text, geometry).
#include "app/Form1.h"

#include "app/FindDialog.h"

#include "view/LogHighlighter.h"
#include "view/SjisMemo.h"
#include "app/WindowKeeper.h"

#include <QAction>
#include <QActionGroup>
#include <QComboBox>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QShortcut>

void TForm1::BindDailyUse(const StartupOptions& options)
{
    Find1->setShortcuts({QKeySequence(Qt::ALT | Qt::Key_S), QKeySequence(Qt::CTRL | Qt::Key_F)});
    FindNext1->setShortcuts({QKeySequence(Qt::CTRL | Qt::Key_L), QKeySequence(Qt::Key_F3)});
    FindPrevious1 = Edit1->addAction(QStringLiteral("Find &Previous"));
    FindPrevious1->setObjectName("FindPrevious1");
    FindPrevious1->setShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F3));
    connect(FindPrevious1, &QAction::triggered, this, &TForm1::FindPrevious1Click);
    // The find keys work from the find dialog as well: it is a window of its
    // own, where the main window's shortcuts do not reach.
    FindDialog1->addActions({FindNext1, FindPrevious1});

    // Undo and Redo of the view's edits, first in the menu as editors have
    // them. A field with the focus keeps its own undo: a line edit claims
    // these keys before the menu sees them.
    Undo1 = new QAction(QStringLiteral("&Undo"), Edit1);
    Undo1->setObjectName("Undo1");
    Undo1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Z));
    Redo1 = new QAction(QStringLiteral("&Redo"), Edit1);
    Redo1->setObjectName("Redo1");
    Redo1->setShortcuts({QKeySequence(Qt::CTRL | Qt::Key_Y), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z)});
    Edit1->insertActions(SelectAll1, {Undo1, Redo1});
    Edit1->insertSeparator(SelectAll1);
    connect(Undo1, &QAction::triggered, this, [this] { Memo1->Undo(); });
    connect(Redo1, &QAction::triggered, this, [this] { Memo1->Redo(); });
    // Greyed while there is nothing to take back; the keys stay live, since
    // the history changes without the menu being opened.
    connect(Edit1, &QMenu::aboutToShow, this, [this] {
        Undo1->setEnabled(Memo1->CanUndo());
        Redo1->setEnabled(Memo1->CanRedo());
    });
    connect(Edit1, &QMenu::aboutToHide, this, [this] {
        Undo1->setEnabled(true);
        Redo1->setEnabled(true);
    });

    Edit1->addSeparator();
    FilterLines1 = Edit1->addAction(QStringLiteral("Filter lines…"));
    FilterLines1->setObjectName("FilterLines1");
    FilterLines1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_G));
    FilterLines1->setCheckable(true);
    connect(FilterLines1, &QAction::triggered, this, &TForm1::FilterLines1Click);
    connect(EdtGrep, &QLineEdit::returnPressed, this, &TForm1::Button2Click);

    connect(EdtFile, &QLineEdit::returnPressed, this, [this] { mnGetAllClick(Button1); });

    // One mark for the encoding in force: "自動" or one radio item. The group
    // must be allowed to have none checked while "自動" is.
    EncodingGroup->setExclusionPolicy(QActionGroup::ExclusionPolicy::ExclusiveOptional);

    new LogHighlighter(Memo1);
    BindLogTools(options.RememberGeometry);
    // Esc in the filter field (the drop-down around it takes the focus).
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), CmbGrep, nullptr, nullptr, Qt::WidgetWithChildrenShortcut);
    connect(escape, &QShortcut::activated, this, [this] {
        EdtGrep->clear();
        // Nothing shown yet: nothing to show again (and no failure box).
        if (!LastFile.empty())
            Button2Click();
    });
    new WindowKeeper(this, options.RememberGeometry);
}
