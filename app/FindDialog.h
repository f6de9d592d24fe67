// The find dialog: modeless, with the find text, match case, whole word,
// direction, "Find Next" and "Cancel". Only the find text and match case
// affect the search; whole word and direction are offered but not used.
#pragma once

#include <QDialog>
#include <QString>

class QCheckBox;
class QLineEdit;
class QPushButton;
class QRadioButton;

class FindDialog : public QDialog {
    Q_OBJECT
public:
    explicit FindDialog(QWidget* parent = nullptr);

    // Shows the dialog without blocking; brings it to the top when it is
    // already open. Does not wait.
    void Execute();
    // Asks the dialog to close; nothing happens when it is not open.
    void CloseDialog();

    // The find text as typed (Unicode; the search converts it).
    QString FindText() const;
    void SetFindText(const QString& text);
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
    // "Find Next" pressed (or Enter in the find text) with a find text.
    void Find();
};
