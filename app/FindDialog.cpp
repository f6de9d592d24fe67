#include "app/FindDialog.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QVBoxLayout>

FindDialog::FindDialog(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Find"));
    setModal(false);

    FindEdit = new QLineEdit(this);
    FindEdit->setAccessibleName(QStringLiteral("Find what"));
    MatchCaseBox = new QCheckBox(QStringLiteral("Match &case"), this);
    WholeWordBox = new QCheckBox(QStringLiteral("Match &whole word only"), this);
    UpButton = new QRadioButton(QStringLiteral("&Up"), this);
    DownButton = new QRadioButton(QStringLiteral("&Down"), this);
    DownButton->setChecked(true);
    FindNextButton = new QPushButton(QStringLiteral("&Find Next"), this);
    FindNextButton->setDefault(true);
    CancelButton = new QPushButton(QStringLiteral("Cancel"), this);

    auto* findLabel = new QLabel(QStringLiteral("Fi&nd what:"), this);
    findLabel->setBuddy(FindEdit);
    auto* direction = new QGroupBox(QStringLiteral("Direction"), this);
    auto* directionLayout = new QHBoxLayout(direction);
    directionLayout->addWidget(UpButton);
    directionLayout->addWidget(DownButton);

    auto* grid = new QGridLayout(this);
    grid->addWidget(findLabel, 0, 0);
    grid->addWidget(FindEdit, 0, 1);
    grid->addWidget(FindNextButton, 0, 2);
    grid->addWidget(WholeWordBox, 1, 0, 1, 2);
    grid->addWidget(CancelButton, 1, 2);
    grid->addWidget(MatchCaseBox, 2, 0);
    grid->addWidget(direction, 2, 1);

    connect(FindNextButton, &QPushButton::clicked, this, &FindDialog::Find);
    connect(CancelButton, &QPushButton::clicked, this, &QDialog::close);
    connect(FindEdit, &QLineEdit::textChanged, this,
            [this](const QString& text) { FindNextButton->setEnabled(!text.isEmpty()); });
    // Like the standard find dialog: nothing to find, nothing to press (Enter
    // in the find text presses the default button only when it is enabled).
    FindNextButton->setEnabled(false);
}

void FindDialog::Execute()
{
    FindEdit->selectAll();
    FindEdit->setFocus();
    show();
    raise();
    activateWindow();
}

void FindDialog::CloseDialog()
{
    if (isVisible())
        close();
}

QString FindDialog::FindText() const
{
    return FindEdit->text();
}

void FindDialog::SetFindText(const QString& text)
{
    FindEdit->setText(text);
}

bool FindDialog::MatchCase() const
{
    return MatchCaseBox->isChecked();
}

void FindDialog::SetMatchCase(bool on)
{
    MatchCaseBox->setChecked(on);
}

sjis::FindOptions FindDialog::Options() const
{
    sjis::FindOptions options;
    options.MatchCase = MatchCaseBox->isChecked();
    options.WholeWord = WholeWordBox->isChecked();
    options.Up = UpButton->isChecked();
    return options;
}

void FindDialog::Execute(const QRect& keepClear)
{
    Execute();
    const QRect frame = frameGeometry();
    if (keepClear.isEmpty() || !frame.intersects(keepClear))
        return;
    const QScreen* shown = screen();
    const QRect room = shown ? shown->availableGeometry() : QRect();
    // The frame's offset from the client area, so that move() puts the
    // frame where it is measured.
    const QPoint inset = geometry().topLeft() - frame.topLeft();
    const int below = keepClear.bottom() + 1;
    const int above = keepClear.top() - frame.height();
    if (room.isEmpty() || below + frame.height() <= room.bottom() + 1)
        move(QPoint(frame.x(), below) + inset);
    else if (above >= room.top())
        move(QPoint(frame.x(), above) + inset);
}
