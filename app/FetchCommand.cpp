// The fetch command: one session (FTP or SFTP, as the profile says) for the
// selected profile's file, then the display of the local copy. Every fetch
// ends with its connection closed and its outcome on the status line.
#include "app/Form1.h"

#include "app/FollowCommand.h"
#include "profiles/HostProfile.h"
#include "codec/HostText.h"
#include "app/RunningFetch.h"
#include "view/SjisMemo.h"
#include "app/Tag.h"
#include "fetch/RemoteSource.h"
#include "ftp/TKZFTP.h"

#include <QAction>
#include <QComboBox>
#include <QLineEdit>
#include <QScopeGuard>

#include <exception>

namespace {

// The text of the exception being handled.
std::string CurrentFailureText()
{
    try {
        throw;
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "?";
    }
}

} // namespace

void TForm1::mnGetAllClick(QObject* sender)
{
    // A fetch of the user's own ends following and becomes what it repeats.
    Follow1->FetchStarting(sender);
    // The window stays live while the network is awaited; a second fetch
    // would share the one FTP component and the view, so it is refused.
    if (FFetchRunning)
        return;
    FFetchRunning = true;
    FFetch = {};
    FFetchStep = FetchStep::Profile;
    // Busy controls, the stop keys and the progress texts ("FTP... 接続" first).
    RunningFetch running(*this);
    try {
        FetchAndShow(Tag(sender), running);
    } catch (...) {
        // The failure goes on to the error report; the fetch ends first, so
        // no connection and no "FTP..." outlive it.
        FFetch.NoteFailure(FFetchStep, CurrentFailureText());
        CloseControlConnection();
        EndFetch();
        throw;
    }
    EndFetch();
}

void TForm1::FetchAndShow(int32_t tailSize, RunningFetch& running)
{
    const int index = CmbHost->currentIndex();
    if (index == -1) {
        FFetch.NoteFailure(FetchStep::Profile, "ホストがありません");
        return;
    }

    SplitFields(QStringToHostText(EdtFile->text(), HostListInShiftJis), '/');
    std::string directory;
    for (int i = 0; i + 1 < HostFields.Count(); ++i)
        directory += HostFields[i] + "/";
    const std::string fileName = HostFields[HostFields.Count() - 1];

    // A profile with a bad field is refused here, before anything is dialled.
    const HostProfile profile = SelectedProfile();
    SelectProfileEncoding(profile);

    // The profile's protocol picks the source; everything below is the
    // same for each.
    const std::unique_ptr<RemoteSource> source = MakeRemoteSource(profile, *KZFTP1);
    running.Watch(*source);
    const auto unwatch = qScopeGuard([&] { running.Unwatch(); });

    // A stopped fetch displays nothing: the copy on disk may be partial.
    if (!running.Transfer([&] { FtpTransfer(*source, profile, directory, fileName); }))
        return;

    FFetchStep = FetchStep::Display;
    Memo1->Clear();
    const std::string displayFailure = ShowLocalFile(fileName, tailSize);
    if (DisplayWasStopped())
        FFetch.NoteStopped();
    else if (!displayFailure.empty())
        FFetch.NoteFailure(FetchStep::Display, displayFailure);
    Memo1->setFocus();
}

void TForm1::FtpTransfer(RemoteSource& source, const HostProfile& profile, const std::string& directory,
                         const std::string& fileName)
{
    // Every fetch is a session of its own, whatever an earlier one left on
    // the window's FTP component.
    CloseControlConnection();

    try {
        source.Open(profile);
    } catch (...) {
        FFetch.NoteFailure(source.Step(), CurrentFailureText());
    }

    try {
        try {
            // After a failed log-in the FTP source throws "Not Connected" in
            // the transfer-type step, which goes on to the error report.
            source.Download(directory, fileName, fileName);
        } catch (...) {
            // A refused transfer type (or the "Not Connected" above) ends
            // the fetch with the error report; a directory that cannot be
            // reached or a failed download is the fetch's outcome, and the
            // session still logs out.
            if (source.Step() == FetchStep::TransferType)
                throw;
            FFetch.NoteFailure(source.Step(), CurrentFailureText());
        }
    } catch (...) {
        FFetch.NoteFailure(source.Step(), CurrentFailureText());
        try {
            source.Close(false);
        } catch (...) {
        }
        throw;
    }
    // Closes the connection even when the log-out fails; a failed log-out
    // goes on to the error report.
    source.Close(false);
}

void TForm1::CloseControlConnection()
{
    if (!KZFTP1->Connected())
        return;
    try {
        // Logs out when the connection is in step, else only closes it; the
        // socket is closed in either case.
        KZFTP1->Disconnect();
    } catch (...) {
    }
}

void TForm1::EndFetch()
{
    FLastFetch = FFetch;
    FFetchRunning = false;
    ShowStatus(FLastFetch.Notice());
}

void TForm1::CmbHostChange()
{
    FProfileEncodingPending = true;
    try {
        SetDefaultFile();
    } catch (...) {
        // A profile too short to name its file ends the command like a
        // refused profile in a fetch: the error report, and a notice in
        // place of what the previous fetch left on the status line.
        FetchOutcome refused;
        refused.NoteFailure(FetchStep::Profile, CurrentFailureText());
        FLastFetch = refused;
        ShowStatus(FLastFetch.Notice());
        throw;
    }
    mnGetAllClick(CmbHost);
}
