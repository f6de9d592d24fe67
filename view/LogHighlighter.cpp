#include "view/LogHighlighter.h"

#include "view/SjisMemo.h"

#include <QColor>

#include <array>

namespace {

const QColor ErrorColour(255, 96, 96);
const QColor WarningColour(255, 215, 90);

} // namespace

LogHighlighter::LogHighlighter(SjisMemo* memo) : QObject(memo)
{
    setObjectName(QStringLiteral("LogHighlighter"));
    memo->SetHighlighting(true);
}

LogHighlighter::Tone LogHighlighter::ToneOf(QStringView line)
{
    static const std::array<QStringView, 5> errors{u"ERROR", u"FATAL", u"CRIT", u"エラー", u"異常"};
    static const std::array<QStringView, 2> warnings{u"WARN", u"警告"};
    for (QStringView word : errors)
        if (line.contains(word))
            return Tone::Error;
    for (QStringView word : warnings)
        if (line.contains(word))
            return Tone::Warning;
    return Tone::None;
}

QColor LogHighlighter::ColourOf(Tone tone)
{
    switch (tone) {
    case Tone::Error:
        return ErrorColour;
    case Tone::Warning:
        return WarningColour;
    case Tone::None:
        break;
    }
    return Qt::white;
}
