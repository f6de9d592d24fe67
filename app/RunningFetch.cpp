#include "app/RunningFetch.h"

#include "app/Form1.h"
#include "app/HostKeyDialog.h"
#include "fetch/RemoteSource.h"
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
}

RunningFetch::~RunningFetch()
{
    Unwatch();
    FForm.SetFetchControlsEnabled(true);
}

void RunningFetch::Watch(RemoteSource& source)
{
    Unwatch();
    FSource = &source;
    FForm.FRunningSource = &source;
    if (FProgress.Label() != source.Name()) {
        FProgress.SetLabel(source.Name());
        FProgress.Connecting();
    }
    source.OnStep = [this](FetchStep step) { FForm.FFetchStep = step; };
    source.OnTransferStarted = [this](int64_t size) { FProgress.TransferStarted(size); };
    source.OnReceived = [this](int64_t bytes) { FProgress.Received(bytes); };
    TForm1* form = &FForm;
    source.OnUnknownHostKey = [form](const HostKeyInfo& key) { return HostKeyDialog::Ask(key, form); };
    source.OnPassphrase = [form](const std::string& keyFile, std::string& passphrase) {
        return PassphraseDialog::Ask(keyFile, passphrase, form);
    };
    FForm.AnswerPasswords(source);
}

void RunningFetch::Unwatch()
{
    if (FSource == nullptr)
        return;
    FSource->OnStep = nullptr;
    FSource->OnTransferStarted = nullptr;
    FSource->OnReceived = nullptr;
    if (FForm.FRunningSource == FSource)
        FForm.FRunningSource = nullptr;
    FSource = nullptr;
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
    // A stopped session is out of step: it is closed without a goodbye.
    if (FSource != nullptr)
        FSource->Close(true);
    FForm.CloseControlConnection();
    FForm.FFetch.NoteStopped();
}
