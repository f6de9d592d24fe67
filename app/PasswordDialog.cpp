#include "app/PasswordDialog.h"

#include "codec/HostText.h"
#include "view/Fonts.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

// The texts come from the host list and are never read as markup.
QLabel* PlainLabel(const std::string& text, QWidget* parent)
{
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setText(QString::fromStdString(text));
    return label;
}

} // namespace

PasswordDialog::PasswordDialog(const PasswordQuestion& question, QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("パスワード"));
    setModal(true);
    setFont(WindowFont());

    ProfileLabel = PlainLabel(question.Request.Profile, this);
    UserLabel = PlainLabel(question.Request.User, this);
    HostLabel = PlainLabel(question.Request.Host, this);
    PasswordEdit = new QLineEdit(this);
    PasswordEdit->setEchoMode(QLineEdit::Password);
    // Kept out of the clipboard and of input-method histories.
    PasswordEdit->setInputMethodHints(Qt::ImhHiddenText | Qt::ImhSensitiveData | Qt::ImhNoPredictiveText);
    PasswordEdit->setContextMenuPolicy(Qt::NoContextMenu);
    PasswordEdit->setMinimumWidth(QFontMetrics(font()).horizontalAdvance(QString(30, QChar('M'))));

    QString note;
    if (question.Refused)
        note = QStringLiteral("パスワードが拒否されました");
    if (!question.Keyring) {
        if (!note.isEmpty())
            note += '\n';
        note += QStringLiteral("キーリングがありません: この実行の間だけ覚えます");
    }
    NoteLabel = new QLabel(note, this);
    NoteLabel->setTextFormat(Qt::PlainText);
    NoteLabel->setVisible(!note.isEmpty());

    SaveBox = new QCheckBox(QStringLiteral("キーリングに保存"), this);
    SaveBox->setChecked(question.Keyring);
    SaveBox->setEnabled(question.Keyring);

    OkButton = new QPushButton(QStringLiteral("OK"), this);
    OkButton->setDefault(true);
    CancelButton = new QPushButton(QStringLiteral("キャンセル"), this);
    auto* buttons = new QDialogButtonBox(this);
    buttons->addButton(OkButton, QDialogButtonBox::AcceptRole);
    buttons->addButton(CancelButton, QDialogButtonBox::RejectRole);

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("プロファイル:"), ProfileLabel);
    form->addRow(QStringLiteral("ユーザー:"), UserLabel);
    form->addRow(QStringLiteral("ホスト:"), HostLabel);
    form->addRow(QStringLiteral("パスワード:"), PasswordEdit);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(NoteLabel);
    layout->addLayout(form);
    layout->addWidget(SaveBox);
    layout->addWidget(buttons);

    connect(OkButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(CancelButton, &QPushButton::clicked, this, &QDialog::reject);
    PasswordEdit->setFocus();
}

PasswordDialog::~PasswordDialog() { PasswordEdit->clear(); }

bool PasswordDialog::Ask(const PasswordQuestion& question, bool shiftJis, std::string& password, bool& save,
                         QWidget* parent)
{
    password.clear();
    PasswordDialog dialog(question, parent);
    const bool given = dialog.exec() == QDialog::Accepted;
    if (given) {
        password = QStringToHostText(dialog.PasswordEdit->text(), shiftJis);
        save = dialog.SaveBox->isChecked();
    }
    dialog.PasswordEdit->clear();
    return given;
}
