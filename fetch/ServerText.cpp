#include "fetch/ServerText.h"

#include "codec/HostText.h"

namespace {

QString MarkControls(const QString& text, bool keepLineBreaks)
{
    QString shown;
    shown.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (keepLineBreaks && c == u'\n') {
            shown += c;
        } else if (keepLineBreaks && c == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') {
            // CR LF is one line break, shown by its LF.
        } else {
            shown += VisibleControl(c);
        }
    }
    return shown;
}

} // namespace

QChar VisibleControl(QChar c)
{
    if (c.unicode() < 0x20)
        return QChar(char16_t(0x2400 + c.unicode()));
    if (c.unicode() == 0x7F)
        return QChar(char16_t(0x2421));
    // C1 controls have no pictures; some of them (CSI, NEL) still act on
    // terminals and layouts, so they show as the replacement character.
    if (c.unicode() >= 0x80 && c.unicode() <= 0x9F)
        return QChar(char16_t(0xFFFD));
    // Bidirectional embeddings, overrides, isolates and marks are invisible
    // and reorder what follows them, so a server could make a message read
    // backwards: they show as the same mark.
    const char16_t u = c.unicode();
    if ((u >= 0x202A && u <= 0x202E) || (u >= 0x2066 && u <= 0x2069) || u == 0x200E || u == 0x200F
        || u == 0x061C)
        return QChar(char16_t(0xFFFD));
    return c;
}

QString ServerLineToQString(const std::string& bytes)
{
    std::size_t end = bytes.size();
    while (end > 0 && (bytes[end - 1] == '\r' || bytes[end - 1] == '\n'))
        --end;
    return MarkControls(HostTextToQString(bytes.substr(0, end)), false);
}

QString ServerTextToQString(const std::string& bytes)
{
    return MarkControls(HostTextToQString(bytes), true);
}
