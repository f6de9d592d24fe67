#include "app/HostKeyDialog.h"

#include "view/Fonts.h"

#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <cstring>

namespace {

// A label that shows its text as it is: a host name comes from the host
// list and is never read as markup.
QLabel* PlainLabel(const QString& text, QWidget* parent)
{
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    return label;
}

// A read-only field in a fixed-pitch font: a fingerprint is compared
// character by character and copied into the host list.
QLineEdit* CopyableField(const QString& text, QWidget* parent)
{
    auto* field = new QLineEdit(text, parent);
    field->setReadOnly(true);
    QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    fixed.setPixelSize(ViewFont().pixelSize());
    field->setFont(fixed);
    field->setCursorPosition(0);
    // Wide enough for "SHA256:" and the 43 characters without scrolling.
    field->setMinimumWidth(QFontMetrics(fixed).horizontalAdvance(QString(52, QChar('M'))));
    return field;
}

QString HostText(const HostKeyInfo& key)
{
    const QString host = QString::fromStdString(key.Host);
    return key.Port == 22 ? host : host + ':' + QString::number(key.Port);
}

} // namespace

HostKeyDialog::HostKeyDialog(const HostKeyInfo& key, QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("ホスト鍵の確認"));
    setModal(true);
    setFont(WindowFont());

    auto* intro = PlainLabel(QStringLiteral("このホストの鍵は known_hosts にありません。\n"
                                            "指紋がサーバー管理者から聞いたものと同じか確かめてください。"),
                             this);
    HostLabel = PlainLabel(HostText(key), this);
    HostLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    KeyTypeLabel = PlainLabel(QString::fromStdString(key.KeyType), this);
    FingerprintEdit = CopyableField(QString::fromStdString(key.Fingerprint), this);
    PinEdit = CopyableField(QString::fromStdString(key.PinValue), this);
    // The captions beside the fields are what assistive technology reads.
    FingerprintEdit->setAccessibleName(QStringLiteral("指紋"));
    PinEdit->setAccessibleName(QStringLiteral("固定する値"));

    auto* fields = new QGridLayout;
    fields->addWidget(PlainLabel(QStringLiteral("ホスト:"), this), 0, 0);
    fields->addWidget(HostLabel, 0, 1);
    fields->addWidget(PlainLabel(QStringLiteral("鍵の種類:"), this), 1, 0);
    fields->addWidget(KeyTypeLabel, 1, 1);
    fields->addWidget(PlainLabel(QStringLiteral("指紋:"), this), 2, 0);
    fields->addWidget(FingerprintEdit, 2, 1);
    fields->addWidget(PlainLabel(QStringLiteral("固定する値:"), this), 3, 0);
    fields->addWidget(PinEdit, 3, 1);
    fields->setColumnStretch(1, 1);
    auto* pinHint = PlainLabel(QStringLiteral("ホスト一覧の第 8 欄にこの値を書くと、この鍵だけを信頼します。"), this);
    QString skipped;
    for (const std::string& line : key.Unreadable)
        skipped += (skipped.isEmpty() ? QString() : QStringLiteral(", ")) + QString::fromStdString(line);
    UnreadableLabel = PlainLabel(QStringLiteral("読めない行を飛ばしました: ") + skipped, this);
    UnreadableLabel->setWordWrap(true);
    UnreadableLabel->setVisible(!key.Unreadable.empty());

    SaveButton = new QPushButton(QStringLiteral("保存して信頼"), this);
    OnceButton = new QPushButton(QStringLiteral("今回のみ信頼"), this);
    CancelButton = new QPushButton(QStringLiteral("キャンセル"), this);
    // Enter never trusts a key by accident.
    for (QPushButton* button : {SaveButton, OnceButton})
        button->setAutoDefault(false);
    CancelButton->setDefault(true);
    auto* buttons = new QDialogButtonBox(this);
    buttons->addButton(SaveButton, QDialogButtonBox::AcceptRole);
    buttons->addButton(OnceButton, QDialogButtonBox::AcceptRole);
    buttons->addButton(CancelButton, QDialogButtonBox::RejectRole);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(intro);
    layout->addLayout(fields);
    layout->addWidget(pinHint);
    layout->addWidget(UnreadableLabel);
    layout->addWidget(buttons);

    connect(SaveButton, &QPushButton::clicked, this, [this] { Choose(HostKeyDecision::TrustAndSave); });
    connect(OnceButton, &QPushButton::clicked, this, [this] { Choose(HostKeyDecision::TrustOnce); });
    connect(CancelButton, &QPushButton::clicked, this, [this] { Choose(HostKeyDecision::Cancel); });
    CancelButton->setFocus();
}

void HostKeyDialog::Choose(HostKeyDecision decision)
{
    FDecision = decision;
    if (decision == HostKeyDecision::Cancel)
        reject();
    else
        accept();
}

HostKeyDecision HostKeyDialog::Ask(const HostKeyInfo& key, QWidget* parent)
{
    HostKeyDialog dialog(key, parent);
    dialog.exec();
    return dialog.Decision();
}

PassphraseDialog::PassphraseDialog(const std::string& keyFile, QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("パスフレーズ"));
    setModal(true);
    setFont(WindowFont());

    KeyFileLabel = PlainLabel(QString::fromStdString(keyFile), this);
    PassphraseEdit = new QLineEdit(this);
    PassphraseEdit->setEchoMode(QLineEdit::Password);
    PassphraseEdit->setAccessibleName(QStringLiteral("パスフレーズ"));
    // Kept out of the clipboard and of input-method histories.
    PassphraseEdit->setInputMethodHints(Qt::ImhHiddenText | Qt::ImhSensitiveData | Qt::ImhNoPredictiveText);
    PassphraseEdit->setContextMenuPolicy(Qt::NoContextMenu);
    // Room for a long passphrase without the dialog looking cramped.
    PassphraseEdit->setMinimumWidth(QFontMetrics(font()).horizontalAdvance(QString(40, QChar('M'))));

    OkButton = new QPushButton(QStringLiteral("OK"), this);
    OkButton->setDefault(true);
    CancelButton = new QPushButton(QStringLiteral("キャンセル"), this);
    auto* buttons = new QDialogButtonBox(this);
    buttons->addButton(OkButton, QDialogButtonBox::AcceptRole);
    buttons->addButton(CancelButton, QDialogButtonBox::RejectRole);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(PlainLabel(QStringLiteral("鍵ファイルのパスフレーズを入力してください:"), this));
    layout->addWidget(KeyFileLabel);
    layout->addWidget(PassphraseEdit);
    layout->addWidget(PlainLabel(QStringLiteral("キャンセルするとこの鍵を使いません。"), this));
    layout->addWidget(buttons);

    connect(OkButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(CancelButton, &QPushButton::clicked, this, &QDialog::reject);
    PassphraseEdit->setFocus();
}

PassphraseDialog::~PassphraseDialog()
{
    PassphraseEdit->clear();
}

bool PassphraseDialog::Ask(const std::string& keyFile, std::string& passphrase, QWidget* parent)
{
    passphrase.clear();
    PassphraseDialog dialog(keyFile, parent);
    const bool given = dialog.exec() == QDialog::Accepted;
    if (given) {
        // Straight into the caller's string (which its owner wipes), with
        // the UTF-8 copy on the way overwritten. The field's own characters
        // are Qt's: they are shared, possibly read-only, and only cleared.
        QByteArray bytes = dialog.PassphraseEdit->text().toUtf8();
        passphrase.assign(bytes.constData(), size_t(bytes.size()));
        if (!bytes.isEmpty())
            explicit_bzero(bytes.data(), size_t(bytes.size()));
    }
    dialog.PassphraseEdit->clear();
    return given;
}
