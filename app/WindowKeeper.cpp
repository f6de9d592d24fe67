#include "app/WindowKeeper.h"

#include "app/Form1.h"
#include "view/SjisMemo.h"

#include <QComboBox>
#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSettings>
#include <QTimer>
#include <QToolButton>

namespace {

// The panel's fixed parts at its layout width of 632: the File field starts
// at 222, the Get button (31 wide) ends 13 short of the right edge, 3 pixels
// between neighbours; the filter field is 76 wide, its button 39.
constexpr int LayoutWidth = 632;
constexpr int FileLeft = 222;
constexpr int RightMargin = 13;
constexpr int Gap = 3;

QSettings UserSettings()
{
    return QSettings(QStringLiteral("wisplog"), QStringLiteral("wisplog"));
}

} // namespace

const char* const WindowKeeper::GeometryKey = "window/geometry";

WindowKeeper::WindowKeeper(TForm1* form, bool rememberGeometry)
    : QObject(form), Form(form), Window(form), Panel(form->Panel1), View(form->Memo1),
      Remember(rememberGeometry)
{
    setObjectName(QStringLiteral("WindowKeeper"));
    // Narrower than the layout width, the panel would cut its fields off.
    form->setMinimumWidth(LayoutWidth);
    form->Panel1->installEventFilter(this);
    form->Memo1->installEventFilter(this);
    form->installEventFilter(this);
    if (Remember)
        form->restoreGeometry(UserSettings().value(QLatin1String(GeometryKey)).toByteArray());
    ArrangePanel();
}

void WindowKeeper::ArrangePanel()
{
    const int width = std::max(Form->Panel1->width(), LayoutWidth);
    QPushButton* get = Form->Button1;
    get->move(width - RightMargin - get->width(), get->y());
    int right = get->x() - Gap;
    if (!Form->CmbGrep->isHidden()) {
        // Right to left: the Grep button, the toggles, the drop-down, and
        // a pattern's error when there is one.
        QPushButton* grep = Form->Button2;
        grep->move(right - grep->width(), grep->y());
        right = grep->x() - Gap;
        for (QWidget* toggle : {static_cast<QWidget*>(Form->BtnMatchCase), static_cast<QWidget*>(Form->BtnRegex),
                                static_cast<QWidget*>(Form->BtnExclude)}) {
            toggle->move(right - toggle->width(), 0);
            right = toggle->x();
        }
        right -= Gap;
        Form->CmbGrep->move(right - Form->CmbGrep->width(), 0);
        right = Form->CmbGrep->x() - Gap;
        QLabel* error = Form->LblGrepError;
        if (!error->isHidden()) {
            const int width = std::min(error->sizeHint().width(), 220);
            error->setGeometry(right - width, error->y(), width, error->height());
            right = error->x() - Gap;
        }
    }
    QLineEdit* file = Form->EdtFile;
    file->setGeometry(FileLeft, file->y(), right - FileLeft, file->height());
}

bool WindowKeeper::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::Resize && watched == Panel) {
        ArrangePanel();
    } else if (event->type() == QEvent::Resize && watched == View) {
        // The view relays its lines out on a resize and keeps its top line,
        // which leaves the end of the text out of sight: when the end was
        // shown, show it again once the new layout is known.
        const QScrollBar* bar = Form->Memo1->verticalScrollBar();
        if (bar->value() == bar->maximum()) {
            QTimer::singleShot(0, Form->Memo1, [memo = Form->Memo1] {
                QScrollBar* scroll = memo->verticalScrollBar();
                scroll->setValue(scroll->maximum());
            });
        }
    } else if (event->type() == QEvent::Close && watched == Window && Remember) {
        UserSettings().setValue(QLatin1String(GeometryKey), Form->saveGeometry());
    }
    return false;
}
