#include "view/SjisFindText.h"

#include "codec/SjisCodec.h"
#include "view/SjisMemo.h"

#include <QTextBlock>
#include <QTextDocument>

std::optional<std::string> ExactSjisBytes(const QString& text)
{
    std::string bytes;
    for (qsizetype i = 0; i < text.size();) {
        const SjisCodec::EncodedUnit unit = SjisCodec::EncodeAt(text, i);
        if (unit.Bytes == 1 && unit.Code == '?' && text[i] != u'?')
            return std::nullopt;
        if (unit.Bytes == 2)
            bytes.push_back(static_cast<char>(unit.Code >> 8));
        bytes.push_back(static_cast<char>(unit.Code & 0xFF));
        i += unit.Chars;
    }
    return bytes;
}

bool FirstByteShownAlone(const SjisMemo& memo)
{
    // A byte shown on its own is the private-use character of that byte.
    const QString first = memo.document()->firstBlock().text().left(1);
    if (first.isEmpty())
        return false;
    const char16_t c = first[0].unicode();
    return c >= SjisCodec::StrayBase && c < SjisCodec::StrayBase + 0x100;
}
