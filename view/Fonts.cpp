#include "view/Fonts.h"

#include <QStringList>

QFont WindowFont()
{
    QFont font;
    font.setFamilies({QStringLiteral("ＭＳ Ｐゴシック"), QStringLiteral("IPAPGothic"),
                      QStringLiteral("IPAGothic")});
    font.setPixelSize(12);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

QFont ViewFont()
{
    QFont font;
    font.setFamilies({QStringLiteral("Terminal"), QStringLiteral("IPAGothic"),
                      QStringLiteral("Noto Sans Mono CJK JP")});
    font.setPixelSize(13);
    font.setFixedPitch(true);
    font.setStyleHint(QFont::Monospace);
    return font;
}
