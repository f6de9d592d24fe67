// The questions an SSH log-in may put to the user, as dialogs of the window:
// a host key that no known-hosts file lists (trust and save it, trust it this
// time only, or cancel), and the passphrase of an encrypted key file.
#pragma once

#include "sftp/SftpSession.h"

#include <QDialog>

#include <string>

class QLabel;
class QLineEdit;
class QPushButton;

class HostKeyDialog : public QDialog {
    Q_OBJECT
public:
    // Names key's host, port, type and "SHA256:" fingerprint, shows the
    // profile value that would pin it and the known-hosts lines that could
    // not be read (one may have been this host's entry). Cancel is the default button. Does
    // not throw.
    explicit HostKeyDialog(const HostKeyInfo& key, QWidget* parent = nullptr);

    // The button that closed the dialog; Cancel until one did, and after
    // Esc or the close box.
    HostKeyDecision Decision() const { return FDecision; }

    // Shows the dialog modally and returns the choice. Waits (a local event
    // loop). Does not throw.
    static HostKeyDecision Ask(const HostKeyInfo& key, QWidget* parent);

    QLabel* HostLabel;
    QLabel* KeyTypeLabel;
    QLineEdit* FingerprintEdit;   // read-only, so it can be copied
    QLineEdit* PinEdit;           // read-only: "sftp=..." for field 7
    QLabel* UnreadableLabel;      // known-hosts lines skipped; shown only when there are some
    QPushButton* SaveButton;      // 保存して信頼
    QPushButton* OnceButton;      // 今回のみ信頼
    QPushButton* CancelButton;    // キャンセル

private:
    void Choose(HostKeyDecision decision);

    HostKeyDecision FDecision = HostKeyDecision::Cancel;
};

class PassphraseDialog : public QDialog {
    Q_OBJECT
public:
    // Asks for keyFile's passphrase in a field that shows no characters.
    // Does not throw.
    explicit PassphraseDialog(const std::string& keyFile, QWidget* parent = nullptr);
    // Clears the field. Does not throw.
    ~PassphraseDialog() override;

    // Shows the dialog modally; true with passphrase set when OK was
    // pressed, false (passphrase empty) when it was cancelled, which skips
    // the key. The dialog keeps nothing of what was typed. Waits (a local
    // event loop). Does not throw.
    static bool Ask(const std::string& keyFile, std::string& passphrase, QWidget* parent);

    QLabel* KeyFileLabel;
    QLineEdit* PassphraseEdit;
    QPushButton* OkButton;
    QPushButton* CancelButton;
};
