#include "view/SjisFindText.h"

#include "codec/SjisCodec.h"
#include "view/SjisMemo.h"


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
    return memo.Lines().FirstByteStray();
}
