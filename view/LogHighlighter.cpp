#include "view/LogHighlighter.h"

#include "view/SjisMemo.h"

#include <QColor>

#include <algorithm>
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

namespace {

// How far into a line its level is looked for: past a time stamp, a thread
// and a logger name, not into a long message.
constexpr qsizetype LevelReach = 160;

bool IsWordChar(QChar c)
{
    return c.unicode() < 128 && (c.isLetterOrNumber() || c == u'_');
}

// The tone of the level word w, or nullopt when w names no level.
std::optional<LogHighlighter::Tone> LevelOf(QStringView w)
{
    using Tone = LogHighlighter::Tone;
    static const std::array<std::pair<QStringView, Tone>, 9> levels{{
        {u"ERROR", Tone::Error}, {u"ERR", Tone::Error}, {u"FATAL", Tone::Error}, {u"CRIT", Tone::Error},
        {u"WARN", Tone::Warning}, {u"WARNING", Tone::Warning},
        {u"INFO", Tone::None}, {u"DEBUG", Tone::None}, {u"TRACE", Tone::None},
    }};
    for (const auto& [name, tone] : levels)
        if (w == name)
            return tone;
    return std::nullopt;
}

} // namespace

std::optional<LogHighlighter::Tone> LogHighlighter::LevelToneOf(QStringView line)
{
    const qsizetype reach = std::min(line.size(), LevelReach);
    for (qsizetype i = 0; i < reach; ++i) {
        const QChar c = line[i];
        if (c < u'A' || c > u'Z' || (i > 0 && IsWordChar(line[i - 1])))
            continue;
        qsizetype end = i + 1;
        while (end < line.size() && IsWordChar(line[end]))
            ++end;
        if (const auto tone = LevelOf(line.mid(i, end - i)))
            return tone;
        i = end;
    }
    return std::nullopt;
}

LogHighlighter::Tone LogHighlighter::ToneOf(QStringView line)
{
    // A line that says its level is coloured by it alone, whatever its
    // message mentions.
    if (const auto level = LevelToneOf(line))
        return *level;
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
