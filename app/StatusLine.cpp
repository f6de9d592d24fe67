// TForm1::ShowStatus: the menu bar's status line.
#include "app/Form1.h"

#include "fetch/ServerText.h"

#include <QAction>

void TForm1::ShowStatus(const QString& text)
{
    // A menu caption reads '&' as a mnemonic mark and a tab as the start of
    // a shortcut text; the status shows every character as itself.
    QString caption;
    caption.reserve(text.size());
    for (const QChar c : text) {
        if (c == u'&')
            caption += QStringLiteral("&&");
        else
            caption += VisibleControl(c);
    }
    mnStatus->setText(caption);
}
