#include "codec/HostText.h"

#include "codec/SjisCodec.h"

#include <QStringDecoder>

bool IsValidUtf8(const std::string& bytes)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    // decode() is lazy: the conversion runs when its result becomes a QString.
    const QString text = utf8.decode(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
    return !utf8.hasError();
}

QString HostTextToQString(const std::string& bytes)
{
    return HostTextToQString(bytes, !IsValidUtf8(bytes));
}

QString HostTextToQString(const std::string& bytes, bool shiftJis)
{
    if (shiftJis)
        return SjisCodec::Decode(bytes);
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

std::string QStringToHostText(const QString& text, bool shiftJis)
{
    return shiftJis ? SjisCodec::Encode(text) : text.toStdString();
}
