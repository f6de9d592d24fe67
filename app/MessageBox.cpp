#include "app/MessageBox.h"

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
    QMessageBox box(flags & MB_ICONSTOP ? QMessageBox::Critical : QMessageBox::NoIcon,
                    QString::fromStdString(caption), QString::fromStdString(text),
                    QMessageBox::Ok, QApplication::activeWindow());
    return box.exec();
}

void SetMessageBoxHook(MessageBoxHook hook)
{
    Hook() = std::move(hook);
}
