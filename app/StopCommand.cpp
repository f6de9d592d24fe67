// Stopping a running fetch: Esc in the main window, a click on the status
// item, and closing the window while a fetch runs.
#include "app/Form1.h"

#include "ftp/TKZFTP.h"

#include <QAction>
#include <QCloseEvent>
#include <QComboBox>
#include <QPushButton>
#include <QShortcut>

void TForm1::BindStopCommand()
{
    // Window-wide, so Esc stops from any control of the main window; the
    // find dialog and open menus are windows of their own and keep Esc.
    // Armed only while a fetch runs: otherwise Esc means what it always did.
    StopShortcut = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    StopShortcut->setObjectName("StopShortcut");
    StopShortcut->setContext(Qt::WindowShortcut);
    StopShortcut->setEnabled(false);
    connect(StopShortcut, &QShortcut::activated, this, &TForm1::StopFetch);
    connect(mnStatus, &QAction::triggered, this, &TForm1::StopFetch);
}

void TForm1::StopFetch()
{
    if (!FStopArmed || FFetchStopped)
        return;
    FFetchStopped = true;
    KZFTP1->Stop();
}

void TForm1::SetFetchControlsEnabled(bool enabled)
{
    for (QAction* fetch : {mnGet10Ktail, mnGetAll})
        fetch->setEnabled(enabled);
    Button1->setEnabled(enabled);
    CmbHost->setEnabled(enabled);
    StopShortcut->setEnabled(!enabled);
}

void TForm1::closeEvent(QCloseEvent* event)
{
    // The fetch's waits end at once; it then unwinds without displaying
    // anything, and the event loop ends the program behind it.
    StopFetch();
    QMainWindow::closeEvent(event);
}
