// Passwords the host list leaves empty: the window's answers to a log-in's
// question (this run's memory, the keyring, else the dialog) and File →
// "パスワードをキーリングへ移す…".
#include "app/Form1.h"

#include "app/MessageBox.h"
#include "app/PasswordDialog.h"
#include "fetch/RemoteSource.h"
#include "keyring/KeychainPasswordStore.h"
#include "keyring/MovePasswords.h"
#include "keyring/PasswordSource.h"

#include <QAction>
#include <QFile>

void TForm1::BindPasswordCommands()
{
    FKeyring = std::make_unique<KeychainPasswordStore>();
    FPasswords = std::make_unique<PasswordSource>(*FKeyring);
    FPasswords->OnAsk = [this](const PasswordQuestion& question, std::string& password, bool& save) {
        return PasswordDialog::Ask(question, HostListInShiftJis, password, save, this);
    };
    connect(MovePasswords1, &QAction::triggered, this, &TForm1::MovePasswords1Click);
}

void TForm1::AnswerPasswords(RemoteSource& source)
{
    source.OnPasswordNeeded = [this](const HostProfile& profile, bool refused, std::string& password) {
        if (FPasswords->Password(MakePasswordRequest(profile, HostListInShiftJis), refused, password))
            return true;
        // Cancelled: the fetch ends as a stop ends it.
        StopFetch();
        return false;
    };
    source.OnPasswordAccepted = [this](const HostProfile& profile) {
        FPasswords->Accepted(MakePasswordRequest(profile, HostListInShiftJis));
    };
}

void TForm1::MovePasswords1Click()
{
    const MoveOutcome outcome = MovePasswordsToStore(IniPath, *FKeyring);
    if (!outcome.NotStored.empty()) {
        std::string names;
        for (const std::string& label : outcome.NotStored)
            names += (names.empty() ? "" : ", ") + label;
        ShowMessageBox("キーリングに保存できません: " + names + "\nファイルは変更していません", "wisplog",
                       MB_ICONSTOP);
        return;
    }
    if (outcome.Moved == 0) {
        ShowMessageBox("移すパスワードはありません", "wisplog", 0);
        return;
    }
    // The window goes on with the list as it now is: no password in memory
    // that the file no longer holds.
    QFile file(QString::fromStdString(IniPath));
    if (file.open(QIODevice::ReadOnly)) {
        QByteArray bytes = file.readAll();
        HostList.SetText(std::string(bytes.constData(), static_cast<std::size_t>(bytes.size())));
    }
    ShowMessageBox("パスワードをキーリングへ移しました: " + std::to_string(outcome.Moved) + " 件", "wisplog",
                   0);
}
