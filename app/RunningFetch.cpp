#include "app/RunningFetch.h"

#include "app/Form1.h"
#include "ftp/TKZFTP.h"

#include <QAction>
#include <QComboBox>
#include <QPushButton>
#include <QShortcut>

RunningFetch::RunningFetch(TForm1& form)
    : FForm(form), FProgress([&form](const std::string& text) { form.ShowFetchStatus(text); })
{
    FForm.FFetchRunning = true;
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
    FForm.FFetchRunning = false;
    FForm.SetFetchControlsEnabled(true);
}

bool RunningFetch::Transfer(const std::function<void()>& body)
{
    try {
        body();
    } catch (...) {
        if (!FForm.FFetchStopped)
            throw;
    }
    if (!FForm.FFetchStopped)
        return true;
    EndStopped();
    return false;
}

void RunningFetch::EndStopped()
{
    // A stopped session is out of step: Disconnect closes it without QUIT.
    try {
        FForm.KZFTP1->Disconnect();
    } catch (...) {
    }
    FForm.ShowFetchStatus("中止");
}
