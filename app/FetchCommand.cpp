// The fetch command: one FTP session for the selected profile's file, then
// the display of the local copy. Every fetch ends with its control
// connection closed and its outcome on the status line.
#include "app/Form1.h"

#include "fetch/ApplyHostProfile.h"
#include "fetch/FetchTrace.h"
#include "app/FollowCommand.h"
#include "profiles/HostProfile.h"
#include "codec/HostText.h"
#include "app/RunningFetch.h"
#include "view/SjisMemo.h"
#include "app/Tag.h"
#include "ftp/TKZFTP.h"
#include "sock/PartFile.h"

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
    ApplyHostProfile(*KZFTP1, profile);

    // A stopped fetch displays nothing: the copy on disk may be partial.
    if (!running.Transfer([&] {
            FtpTransfer("GET", profile.Host, profile.User, profile.Password, directory,
                        profile.PassiveFlag, fileName);
        }))
        return;

    FFetchStep = FetchStep::Display;
    Memo1->Clear();
    const std::string displayFailure = ShowLocalFile(fileName, tailSize);
    if (!displayFailure.empty())
        FFetch.NoteFailure(FetchStep::Display, displayFailure);
    Memo1->setFocus();
}

void TForm1::FtpTransfer(const std::string& direction, const std::string& host,
                         const std::string& user, const std::string& password,
                         const std::string& directory, const std::string& passiveFlag,
                         const std::string& fileName)
{
    // Every fetch is a session of its own, whatever an earlier one left.
    CloseControlConnection();
    KZFTP1->Host = host;
    KZFTP1->UserID = user;
    KZFTP1->Password = password;
    KZFTP1->Passive = passiveFlag == "1";

    FFetchStep = FetchStep::Connect;
    {
        const FetchTrace trace(*KZFTP1);
        try {
            KZFTP1->Connect();
        } catch (...) {
            const std::string thrown = CurrentFailureText();
            FFetch.NoteFailure(trace.LogInStarted() ? FetchStep::LogIn : FetchStep::Connect,
                               trace.FirstFailure().empty() ? thrown : trace.FirstFailure());
        }
    }

    const bool loggedIn = KZFTP1->Connected();
    try {
        bool reached = true;
        if (loggedIn) {
            FFetchStep = FetchStep::ChangeDir;
            try {
                KZFTP1->ChangeWorkingDir(directory);
            } catch (...) {
                // An empty directory asks for the log-in directory, where the
                // file is looked for anyway; any other directory must be
                // reached, or the file of that name elsewhere would be shown
                // as the one asked for.
                if (!directory.empty()) {
                    reached = false;
                    FFetch.NoteFailure(FetchStep::ChangeDir, CurrentFailureText());
                }
            }
        }
        if (reached) {
            // After a failed log-in this throws "Not Connected", the error
            // report's text.
            FFetchStep = FetchStep::TransferType;
            KZFTP1->SetTransferType(2);
            if (direction == "GET" || direction == "PUT") {
                FFetchStep = direction == "GET" ? FetchStep::Download : FetchStep::Upload;
                try {
                    if (direction == "GET")
                        DownloadFile(fileName);
                    else
                        KZFTP1->StoreFile(fileName, "");
                } catch (...) {
                    FFetch.NoteFailure(FFetchStep, CurrentFailureText());
                }
            }
        }
    } catch (...) {
        FFetch.NoteFailure(FFetchStep, CurrentFailureText());
        CloseControlConnection();
        throw;
    }
    FFetchStep = FetchStep::LogOut;
    // Closes the connection even when the log-out fails.
    KZFTP1->Disconnect();
}

void TForm1::DownloadFile(const std::string& fileName)
{
    // The data goes into a file of its own beside the local copy, which is
    // replaced in one rename only once the server has confirmed the end and
    // every announced byte is there: a download that fails or is stopped
    // halfway never costs the older copy, and no half file is shown as the
    // log. The part file goes away on every other path.
    PartFile part(fileName);
    int64_t announced = 0;
    const TNotifyEvent started = KZFTP1->OnTransactionStart;
    KZFTP1->OnTransactionStart = [&](QObject* sender) {
        announced = KZFTP1->TransferSize();
        if (started)
            started(sender);
    };
    const auto restore = qScopeGuard([&] { KZFTP1->OnTransactionStart = started; });
    KZFTP1->RetrieveFile(fileName, part.Path());
    // After the transfer the component's size is the count received.
    const int64_t received = KZFTP1->TransferSize();
    if (announced > 0 && received < announced)
        throw Exception("Transfer ended short (" + std::to_string(received) + " of " +
                        std::to_string(announced) + " bytes)");
    if (KZFTP1->Stopped())
        return;
    part.Commit();
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
