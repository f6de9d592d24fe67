#include "app/RunningFetch.h"

#include "app/Form1.h"
#include "ftp/TKZFTP.h"

#include <QAction>
#include <QComboBox>
#include <QPushButton>

RunningFetch::RunningFetch(TForm1& form)
    : FForm(form),
      FProgress([&form](const std::string& text) { form.ShowStatus(QString::fromStdString(text)); })
{
    FForm.FFetchStopped = false;
    FForm.SetFetchControlsEnabled(false);
    FProgress.Connecting();

    TKZFTP* ftp = FForm.KZFTP1;
    ftp->OnTransactionStart = [this, ftp](QObject*) { FProgress.TransferStarted(ftp->TransferSize()); };
    // Called by the data connection after every chunk it has written.
    ftp->OnPacketRecvd = [this](QObject* sender) {
        FProgress.Received(static_cast<TKZSock*>(sender)->BytesRecvd());
    };
}

RunningFetch::~RunningFetch()
{
    FForm.KZFTP1->OnTransactionStart = nullptr;
    FForm.KZFTP1->OnPacketRecvd = nullptr;
    FForm.SetFetchControlsEnabled(true);
}

bool RunningFetch::Transfer(const std::function<void()>& body)
{
    // Only the network part can be stopped: the display after it does not
    // wait, and a stop then would be recorded for a fetch that completed.
    FForm.FStopArmed = true;
    try {
        body();
    } catch (...) {
        FForm.FStopArmed = false;
        if (!FForm.FFetchStopped)
            throw;
    }
    FForm.FStopArmed = false;
    if (!FForm.FFetchStopped)
        return true;
    EndStopped();
    return false;
}

void RunningFetch::EndStopped()
{
    // A stopped session is out of step: it is closed without QUIT.
    FForm.CloseControlConnection();
    FForm.FFetch.NoteStopped();
}
