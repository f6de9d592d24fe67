// Stopping a running fetch: Esc in the main window, a click on the status
// item, and closing the window while a fetch runs.
#include "app/Form1.h"

#include "fetch/RemoteSource.h"
#include "keyring/PasswordSource.h"
#include "ftp/TKZFTP.h"

#include <QAction>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QPushButton>

namespace {

// Esc anywhere in the main window while a fetch runs. It is taken before
// the shortcuts are looked up, so it also wins over the Esc of a field in
// the window (the filter field's); the find dialog and open menus are
// windows of their own and keep their Esc. Installed on the application
// only while a fetch runs: otherwise Esc means what it always did.
class StopKeyFilter : public QObject {
public:
    explicit StopKeyFilter(TForm1* form) : QObject(form), FForm(form) {}

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        const QEvent::Type type = event->type();
        if (type != QEvent::ShortcutOverride && type != QEvent::KeyPress)
            return false;
        const auto* key = static_cast<QKeyEvent*>(event);
        const auto* widget = qobject_cast<QWidget*>(watched);
        if (key->key() != Qt::Key_Escape || key->modifiers() != Qt::NoModifier || !widget ||
            widget->window() != FForm)
            return false;
        if (type == QEvent::ShortcutOverride) {
            FForm->StopFetch();
            // Accepted: no shortcut runs; the key press that follows is
            // eaten below.
            event->accept();
        }
        return true;
    }

private:
    TForm1* FForm;
};

} // namespace

void TForm1::BindStopCommand()
{
    StopKeys = new StopKeyFilter(this);
    StopKeys->setObjectName("StopKeys");
    connect(mnStatus, &QAction::triggered, this, &TForm1::StopFetch);
}

void TForm1::StopFetch()
{
    if (!FStopArmed || FFetchStopped)
        return;
    FFetchStopped = true;
    // A keyring the log-in waits for is given up too.
    if (FPasswords)
        FPasswords->Stop();
    // The running source's waits end at once; before the fetch has one (or
    // while only the FTP component is in use) the component is stopped.
    if (FRunningSource != nullptr)
        FRunningSource->Stop();
    else
        KZFTP1->Stop();
}

void TForm1::SetFetchControlsEnabled(bool enabled)
{
    for (QAction* fetch : {mnGet10Ktail, mnGetAll})
        fetch->setEnabled(enabled);
    Button1->setEnabled(enabled);
    CmbHost->setEnabled(enabled);
    if (enabled)
        QCoreApplication::instance()->removeEventFilter(StopKeys);
    else
        QCoreApplication::instance()->installEventFilter(StopKeys);
}

void TForm1::closeEvent(QCloseEvent* event)
{
    // The fetch's waits and a display's reading end at once; it then
    // unwinds without displaying anything, and the event loop ends the
    // program behind it.
    StopFetch();
    if (FStopDisplay)
        FStopDisplay();
    QMainWindow::closeEvent(event);
}
