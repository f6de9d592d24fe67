// The find dialog: modeless, with the find text, match case, whole word,
// direction, "Find Next" and "Cancel". Only the find text and match case
// affect the search; whole word and direction are offered but not used.
#pragma once

#include <QDialog>
#include <string>

class QCheckBox;
class QLineEdit;
class QPushButton;
class QRadioButton;

class FindDialog : public QDialog {
    Q_OBJECT
public:
    explicit FindDialog(QWidget* parent = nullptr);

    // Shows the dialog without blocking; brings it to the top when it is open.
    void Execute();
    // Asks the dialog to close (it may already be closed).
    void CloseDialog();

    std::string FindText() const;         // UTF-8
    void SetFindText(const std::string& text);
    bool MatchCase() const;
    void SetMatchCase(bool on);

    QLineEdit* FindEdit;
    QCheckBox* MatchCaseBox;
    QCheckBox* WholeWordBox;
    QRadioButton* UpButton;
    QRadioButton* DownButton;
    QPushButton* FindNextButton;
    QPushButton* CancelButton;

signals:
    // "Find Next" pressed.
    void Find();
};
