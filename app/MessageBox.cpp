#include "app/MessageBox.h"

#include "fetch/ServerText.h"

#include <QApplication>
#include <QMessageBox>
#include <QString>

namespace {
MessageBoxHook& Hook()
{
    static MessageBoxHook hook;
    return hook;
}
} // namespace

int ShowMessageBox(const std::string& text, const std::string& caption, unsigned flags)
{
    if (Hook())
        return Hook()(text, caption, flags);
    // The text may carry a server's reply: shown as plain text, never read as
    // markup, in its own encoding, with control characters made visible.
    QMessageBox box(flags & MB_ICONSTOP ? QMessageBox::Critical : QMessageBox::NoIcon,
                    QString::fromStdString(caption), QString(), QMessageBox::Ok,
                    QApplication::activeWindow());
    box.setTextFormat(Qt::PlainText);
    box.setText(ServerTextToQString(text));
    return box.exec();
}

void SetMessageBoxHook(MessageBoxHook hook)
{
    Hook() = std::move(hook);
}
