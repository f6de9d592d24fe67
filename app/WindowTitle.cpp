// The window title: what the view shows and in which encoding it was read.
#include "app/Form1.h"

#include <QComboBox>
#include <QLineEdit>

void TForm1::ShowWindowTitle(const std::string& encodingUsed)
{
    ShownEncoding = encodingUsed;
    QString title = QStringLiteral("wisplog - %1 - %2").arg(ShownLabel, ShownPath);
    if (!encodingUsed.empty())
        title += QStringLiteral(" [%1]").arg(QString::fromStdString(encodingUsed));
    setWindowTitle(title);
}

void TForm1::TitleAfterDisplay(const std::string& encodingUsed)
{
    ShownLabel = CmbHost->currentText();
    ShownPath = EdtFile->text();
    ShowWindowTitle(encodingUsed);
}
