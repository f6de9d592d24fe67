#include "app/HostText.h"

#include <QStringDecoder>

QString HostTextToQString(const std::string& bytes)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
    if (!utf8.hasError())
        return text;
    QStringDecoder sjis("Shift_JIS");
    if (sjis.isValid())
        return sjis.decode(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
    return text;
}

std::string QStringToHostText(const QString& text)
{
    return text.toStdString();
}
