// The question for a log-in's password that the host list leaves empty:
// the profile, user and host, the password masked, and whether to keep it
// in the keyring. Says so when the server refused the last one and when no
// keyring answers (the password is then kept for this run only).
#pragma once

#include "keyring/PasswordSource.h"

#include <QDialog>

#include <string>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

class PasswordDialog : public QDialog {
    Q_OBJECT
public:
    // The dialog for question; OK is the default button (Enter on an empty
    // field gives an empty password). Does not throw.
    explicit PasswordDialog(const PasswordQuestion& question, QWidget* parent = nullptr);
    // Clears the field. Does not throw.
    ~PasswordDialog() override;

    // Shows the dialog modally; true with password (as bytes of the host
    // list's encoding: Shift_JIS when shiftJis) and save set when OK was
    // pressed, false (password empty) when it was cancelled. Waits (a local
    // event loop). Does not throw.
    static bool Ask(const PasswordQuestion& question, bool shiftJis, std::string& password, bool& save,
                    QWidget* parent);

    QLabel* ProfileLabel;
    QLabel* UserLabel;
    QLabel* HostLabel;
    QLabel* NoteLabel; // refused / no keyring; hidden when there is nothing to say
    QLineEdit* PasswordEdit;
    QCheckBox* SaveBox; // キーリングに保存
    QPushButton* OkButton;
    QPushButton* CancelButton;
};
