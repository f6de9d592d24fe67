// The find dialog: modeless, with the find text, match case, whole word,
// direction (Down unless chosen otherwise), "Find Next" and "Cancel".
#pragma once

#include "view/SjisDirectedSearch.h"

#include <QDialog>
#include <QRect>
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
    // Execute, then moves the dialog above or below keepClear (global
    // coordinates: the line of the match or caret) when it covers it and the
    // screen has room there. Does not wait.
    void Execute(const QRect& keepClear);
    // Asks the dialog to close; nothing happens when it is not open.
    void CloseDialog();

    // The find text as typed (Unicode; the search converts it).
    QString FindText() const;
    void SetFindText(const QString& text);
    bool MatchCase() const;
    void SetMatchCase(bool on);
    // Match case, whole word and direction as the search takes them.
    sjis::FindOptions Options() const;

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
