// The SSH questions as the user meets them: each button of the host-key
// dialog gives its own answer, keys that might trust by accident do not, the
// passphrase is neither shown nor kept.
#include "app/HostKeyDialog.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>

namespace {

HostKeyInfo Key()
{
    HostKeyInfo key;
    key.Host = "logs.example";
    key.Port = 2222;
    key.KeyType = "ssh-ed25519";
    key.Fingerprint = "SHA256:nThbg6kXUpJWGl7E1IGOCspRomTxdCARLviKw6E5SY8";
    key.PinValue = "sftp=nThbg6kXUpJWGl7E1IGOCspRomTxdCARLviKw6E5SY8";
    return key;
}

// Runs act on the modal dialog once it is up (bounded: 5 s).
void WhenModal(std::function<void(QWidget*)> act)
{
    auto* timer = new QTimer;
    auto tries = std::make_shared<int>(0);
    QObject::connect(timer, &QTimer::timeout, [timer, tries, act] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal || ++*tries > 500) {
            timer->stop();
            timer->deleteLater();
            if (modal)
                act(modal);
        }
    });
    timer->start(10);
}

TEST(HostKeyDialog, EachButtonGivesItsAnswerAndEverythingElseCancels)
{
    {
        HostKeyDialog dialog(Key());
        EXPECT_EQ(dialog.HostLabel->text(), "logs.example:2222") << "a port other than 22 is named";
        EXPECT_EQ(dialog.FingerprintEdit->text().toStdString(), Key().Fingerprint);
        EXPECT_EQ(dialog.PinEdit->text().toStdString(), Key().PinValue);
    }
    const std::pair<QPushButton* HostKeyDialog::*, HostKeyDecision> buttons[] = {
        {&HostKeyDialog::SaveButton, HostKeyDecision::TrustAndSave},
        {&HostKeyDialog::OnceButton, HostKeyDecision::TrustOnce},
        {&HostKeyDialog::CancelButton, HostKeyDecision::Cancel},
    };
    for (const auto& [button, decision] : buttons) {
        WhenModal([button](QWidget* w) { (static_cast<HostKeyDialog*>(w)->*button)->click(); });
        EXPECT_EQ(HostKeyDialog::Ask(Key(), nullptr), decision);
    }
    // Enter, Esc and the close box never trust the key.
    for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Escape}) {
        WhenModal([key](QWidget* w) { QTest::keyClick(w, key); });
        EXPECT_EQ(HostKeyDialog::Ask(Key(), nullptr), HostKeyDecision::Cancel) << key;
    }
    WhenModal([](QWidget* w) { w->close(); });
    EXPECT_EQ(HostKeyDialog::Ask(Key(), nullptr), HostKeyDecision::Cancel);
}

TEST(HostKeyDialog, UnreadableKnownHostsLinesAreNamedOnlyWhenThereAreSome)
{
    HostKeyDialog plain(Key());
    EXPECT_FALSE(plain.UnreadableLabel->isVisibleTo(&plain));
    HostKeyInfo key = Key();
    key.Unreadable = {"/home/u/.ssh/known_hosts:3", "/etc/ssh/ssh_known_hosts"};
    HostKeyDialog dialog(key);
    EXPECT_TRUE(dialog.UnreadableLabel->isVisibleTo(&dialog));
    EXPECT_TRUE(
        dialog.UnreadableLabel->text().endsWith("/home/u/.ssh/known_hosts:3, /etc/ssh/ssh_known_hosts"))
        << dialog.UnreadableLabel->text().toStdString();
}

TEST(HostKeyDialog, HostNameIsShownAsTextNotMarkup)
{
    HostKeyInfo key = Key();
    key.Host = "<b>evil</b>";
    key.Port = 22;
    HostKeyDialog dialog(key);
    EXPECT_EQ(dialog.HostLabel->text(), "<b>evil</b>");
    EXPECT_EQ(dialog.HostLabel->textFormat(), Qt::PlainText);
}

TEST(PassphraseDialog, OkGivesThePassphraseCancelSkipsTheKey)
{
    {
        PassphraseDialog dialog("/home/u/.ssh/id_ed25519");
        EXPECT_EQ(dialog.PassphraseEdit->echoMode(), QLineEdit::Password);
        EXPECT_EQ(dialog.KeyFileLabel->text(), "/home/u/.ssh/id_ed25519");
    }
    std::string passphrase = "stale";
    WhenModal([](QWidget* w) {
        QLineEdit* edit = static_cast<PassphraseDialog*>(w)->PassphraseEdit;
        QTest::keyClicks(edit, "s3cret pass");
        QTest::keyClick(edit, Qt::Key_Return);
    });
    EXPECT_TRUE(PassphraseDialog::Ask("/k", passphrase, nullptr));
    EXPECT_EQ(passphrase, "s3cret pass");

    WhenModal([](QWidget* w) {
        auto* dialog = static_cast<PassphraseDialog*>(w);
        QTest::keyClicks(dialog->PassphraseEdit, "typed then cancelled");
        dialog->CancelButton->click();
    });
    EXPECT_FALSE(PassphraseDialog::Ask("/k", passphrase, nullptr));
    EXPECT_EQ(passphrase, "") << "a cancelled question hands nothing on";
}

} // namespace

// Every field and button of the SSH questions has a name assistive
// technology reads (the main window's controls: tests/app/test_atspi_view.py).
TEST(HostKeyDialog, EveryControlHasAnAccessibleName)
{
    HostKeyDialog hostKey(Key());
    PassphraseDialog passphrase("/home/u/.ssh/id_ed25519");
    for (QWidget* dialog : {static_cast<QWidget*>(&hostKey), static_cast<QWidget*>(&passphrase)}) {
        const auto controls = dialog->findChildren<QWidget*>();
        int checked = 0;
        for (QWidget* control : controls) {
            if (!qobject_cast<QLineEdit*>(control) && !qobject_cast<QAbstractButton*>(control))
                continue;
            QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(control);
            ASSERT_NE(iface, nullptr);
            EXPECT_FALSE(iface->text(QAccessible::Name).isEmpty())
                << dialog->windowTitle().toStdString() << ": " << control->metaObject()->className();
            ++checked;
        }
        EXPECT_GE(checked, 3);
    }
}
