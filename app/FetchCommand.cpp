// The fetch command: one FTP session for the selected profile's file, then
// the display of the local copy.
#include "app/Form1.h"

#include "app/HostProfile.h"
#include "app/HostText.h"
#include "app/RunningFetch.h"
#include "app/SjisMemo.h"
#include "app/Tag.h"
#include "ftp/TKZFTP.h"

#include <QAction>
#include <QComboBox>
#include <QLineEdit>

namespace {

// The status line's text after a failed download: a few words, then the
// reply or error line without its line end.
std::string TransferFailureStatus(std::string message)
{
    while (!message.empty() && (message.back() == '\r' || message.back() == '\n'))
        message.pop_back();
    return "ダウンロード失敗: " + message;
}

} // namespace

void TForm1::mnGetAllClick(QObject* sender)
{
    // The window stays live while the network is awaited; a second fetch
    // would share the one FTP component and the view, so it is refused.
    if (FFetchRunning)
        return;
    RunningFetch running(*this);

    const int tailSize = Tag(sender);
    const int index = CmbHost->currentIndex();
    if (index == -1)
        return;

    SplitFields(QStringToHostText(EdtFile->text(), HostListInShiftJis), '/');
    std::string directory;
    for (int i = 0; i + 1 < HostFields.Count(); ++i)
        directory += HostFields[i] + "/";
    const std::string fileName = HostFields[HostFields.Count() - 1];

    // A profile with a bad field is refused here, before anything is dialled.
    const HostProfile profile = SelectedProfile();
    SelectProfileEncoding(profile);
    KZFTP1->Port = profile.Port;

    // A stopped fetch displays nothing: the copy on disk may be partial.
    if (!running.Transfer([&] {
            FtpTransfer("GET", profile.Host, profile.User, profile.Password, directory,
                        profile.PassiveFlag, fileName);
        }))
        return;

    Memo1->Clear();
    ShowLocalFile(fileName, tailSize);
    Memo1->setFocus();
    mnStatus->setText(FTransferFailure.empty()
                          ? QString()
                          : HostTextToQString(TransferFailureStatus(FTransferFailure)));
}

void TForm1::FtpTransfer(const std::string& direction, const std::string& host,
                         const std::string& user, const std::string& password,
                         const std::string& directory, const std::string& passiveFlag,
                         const std::string& fileName)
{
    FTransferFailure.clear();
    KZFTP1->Host = host;
    KZFTP1->UserID = user;
    KZFTP1->Password = password;
    KZFTP1->Passive = passiveFlag == "1";
    try {
        KZFTP1->Connect();
    } catch (...) {
    }
    try {
        KZFTP1->ChangeWorkingDir(directory);
    } catch (...) {
    }
    KZFTP1->SetTransferType(2);
    if (direction == "GET" || direction == "PUT") {
        try {
            if (direction == "GET")
                KZFTP1->RetrieveFile(fileName, "");
            else
                KZFTP1->StoreFile(fileName, "");
        } catch (const std::exception& e) {
            FTransferFailure = e.what();
        } catch (...) {
            FTransferFailure = "?";
        }
    }
    KZFTP1->Disconnect();
}

void TForm1::CmbHostChange()
{
    FProfileEncodingPending = true;
    SetDefaultFile();
    mnGetAllClick(CmbHost);
}
