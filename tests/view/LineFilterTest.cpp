// The filter's rules (fixed text or pattern, excluded, case) over the view's
// buffer against a plain model on the decoded lines, with lines appended in
// between as Follow appends them; the pattern's factors; marks through
// appends, filters and new texts; the level read by the highlighting.
#include "codec/SjisCodec.h"
#include "view/LineFilter.h"
#include "view/LogHighlighter.h"
#include "view/SjisView.h"

#include <QRegularExpression>
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

// Random Japanese log lines: kanji, kana of both widths, ASCII words in
// either case, digits.
std::string RandomLines(std::mt19937& rng, int lines)
{
    static const std::vector<QString> parts = {
        u"ERROR"_qs, u"error"_qs, u"Warn"_qs, u"WARN"_qs, u"接続"_qs, u"失敗"_qs, u"エラー"_qs, u"ｱｸｾｽ"_qs, u"ﾛｸﾞ"_qs,
        u"警告"_qs, u" "_qs, u"123"_qs, u"x"_qs, u"表示"_qs, u"Ｅｒｒｏｒ"_qs, u"[INFO]"_qs, u"ｴﾗｰ"_qs};
    std::string out;
    for (int i = 0; i < lines; ++i) {
        QString line;
        for (int k = int(rng() % 7); k > 0; --k)
            line += parts[rng() % parts.size()];
        out += SjisCodec::Encode(line) + (rng() % 4 == 0 ? "\r\n" : "\n");
    }
    return out;
}

// The model: the decoded lines kept by a plain reading of the rule.
std::vector<QString> Model(const std::vector<QString>& lines, const QString& text, const FilterOptions& options)
{
    auto fold = [&](QString s) {
        if (!options.MatchCase)
            for (QChar& c : s)
                if (c >= u'A' && c <= u'Z')
                    c = QChar(c.unicode() | 0x20);
        return s;
    };
    QRegularExpression re(text, QRegularExpression::UseUnicodePropertiesOption
                              | (options.MatchCase ? QRegularExpression::NoPatternOption
                                                   : QRegularExpression::CaseInsensitiveOption));
    std::vector<QString> kept;
    for (const QString& line : lines) {
        const bool match = options.Regex ? re.match(line).hasMatch() : fold(line).contains(fold(text));
        if (match != options.Exclude)
            kept.push_back(line);
    }
    return kept;
}

std::vector<QString> Shown(const SjisView& view)
{
    std::vector<QString> out;
    const SjisLines& lines = view.Lines();
    for (int64_t i = 0; i < lines.Count(); ++i)
        if (lines.SourceLine(i) >= 0 && !(lines.Bytes(i).empty() && i + 1 == lines.Count()))
            out.push_back(SjisCodec::Decode(lines.Bytes(i)));
    return out;
}

std::vector<QString> DecodedLines(const std::string& bytes)
{
    std::vector<QString> out;
    for (const QString& line : SjisCodec::Decode(bytes).split(QRegularExpression(u"\r?\n"_qs)))
        out.push_back(line);
    if (!out.empty() && out.back().isEmpty())
        out.pop_back();
    return out;
}

TEST(LineFilter, EveryModeAgreesWithThePlainModelThroughAppends)
{
    const std::vector<std::pair<QString, bool>> rules = {
        {u"error"_qs, false}, {u"接続"_qs, false}, {u"ｱｸ"_qs, false}, {u"WARN"_qs, false},
        {u"ERROR|WARN"_qs, true}, {u"^\\d+"_qs, true}, {u"接続.*失敗"_qs, true}, {u"[ｱ-ﾝ]+ﾞ"_qs, true},
        {u"\\p{Han}{2}$"_qs, true}, {u"^$"_qs, true}, {u"(?-i)Warn"_qs, true}, {u"err(or)?\\b"_qs, true},
        {u"G|s|Warn"_qs, true}};
    std::mt19937 rng(7);
    for (const auto& [text, regex] : rules) {
        for (int mode = 0; mode < 4; ++mode) {
            const FilterOptions options{.Exclude = (mode & 1) != 0, .Regex = regex, .MatchCase = (mode & 2) != 0};
            SCOPED_TRACE(text.toStdString() + " exclude " + std::to_string(options.Exclude) + " case "
                         + std::to_string(options.MatchCase));
            std::string all = RandomLines(rng, 40);
            SjisView view;
            view.SetText(all);
            const auto rule = regex ? LineFilter::Pattern(text, options)
                                    : LineFilter::Text(SjisCodec::Encode(text), options);
            ASSERT_TRUE(rule->Valid()) << rule->Error().toStdString();
            view.ApplyFilterNow(rule);
            EXPECT_EQ(Shown(view), Model(DecodedLines(all), text, options));
            for (int refresh = 0; refresh < 4; ++refresh) {
                const std::string added = RandomLines(rng, int(rng() % 12));
                all += added;
                view.Append(added);
                EXPECT_EQ(Shown(view), Model(DecodedLines(all), text, options)) << "after refresh " << refresh;
            }
        }
    }
}

TEST(LineFilter, PatternFactorsAreTextsEveryMatchHolds)
{
    using F = std::vector<std::string>;
    EXPECT_EQ(PatternFactors(u"ERROR|WARN"_qs), (F{"error", "warn"}));
    EXPECT_EQ(PatternFactors(u"time(out)? after \\d+ s"_qs), (F{" after "}));
    EXPECT_EQ(PatternFactors(u"colou?r"_qs), (F{"colo"}));
    EXPECT_EQ(PatternFactors(u"ab+c"_qs), (F{"ab"}));
    EXPECT_EQ(PatternFactors(u"a\\.b[xyz]cd"_qs), (F{"a.b"}));
    EXPECT_EQ(PatternFactors(u"[]|]ab|cd"_qs), (F{"ab", "cd"})) << "a bar inside a class is no branch";
    // Nothing to look for: every line is decoded and matched.
    EXPECT_TRUE(PatternFactors(u"ERROR|W"_qs).empty());
    EXPECT_TRUE(PatternFactors(u"(?x)ERR OR"_qs).empty()) << "an option can change what the letters mean";
    EXPECT_TRUE(PatternFactors(u"接続"_qs).empty());
    EXPECT_EQ(PatternFactors(u"\\bab\\B"_qs), (F{"ab"}));
    EXPECT_TRUE(PatternFactors(u"\\x41\\x42"_qs).empty()) << "no digits of a code taken for text";
    EXPECT_TRUE(PatternFactors(u"(ab)\\1cd"_qs).empty());
}

// Only texts of characters that read the same in the bytes and decoded are
// looked for on the bytes; anything else is left to the expression.
TEST(LineFilter, PlainAlternativesAreOnlyTextsTheBytesShowAsDecoded)
{
    using Texts = std::vector<std::string>;
    EXPECT_EQ(PlainAlternatives(u"ERROR|WARN"_qs), (Texts{"ERROR", "WARN"}));
    EXPECT_EQ(PlainAlternatives(u"time out|a-b: c=d"_qs), (Texts{"time out", "a-b: c=d"}));
    for (const QString& p : {u"a||b"_qs, u"|a"_qs, u"a|"_qs, u"a.b"_qs, u"a\\|b"_qs, u"(a|b)"_qs, u"a~b"_qs,
                             u"接続|x"_qs, u"1st|x"_qs, u"x| y"_qs, u"a+"_qs, u"^a"_qs, u""_qs})
        EXPECT_TRUE(PlainAlternatives(p).empty()) << p.toStdString();
    EXPECT_EQ(LineFilter::Pattern(u"Error|WARN"_qs, {.Regex = true})->Alternatives(),
              (Texts{"error", "warn"}));
    EXPECT_EQ(LineFilter::Pattern(u"Error|WARN"_qs, {.Regex = true, .MatchCase = true})->Alternatives(),
              (Texts{"Error", "WARN"}));
    // A line matched one at a time as Follow's appends are.
    const auto rule = LineFilter::Pattern(u"warn|rror"_qs, {.Regex = true});
    EXPECT_TRUE(rule->Matches("x ERROR", false));
    EXPECT_FALSE(rule->Matches("\x83\x77arn", false)); // a trail byte 'w' is no letter of its own
    EXPECT_TRUE(rule->Matches("\x83\x77 Warn", false));
}

TEST(LineFilter, FactorsHoldNoAsciiCharacterADoubleByteCodeReadsAs)
{
    // The factors are looked for in the bytes: that holds only for ASCII
    // characters no pair decodes (or folds) to. One pair reads as a tilde.
    QString reached;
    for (int lead = 0x81; lead <= 0xFC; ++lead) {
        for (int trail = 0x40; trail <= 0xFC; ++trail) {
            if (!SjisCodec::IsLeadByte(uint8_t(lead)) || !SjisCodec::IsTrailByte(uint8_t(trail)))
                continue;
            const char pair[2] = {char(lead), char(trail)};
            for (QChar c : SjisCodec::Decode(std::string_view(pair, 2)))
                if (c.unicode() < 0x80 || c.toCaseFolded().unicode() < 0x80)
                    reached += c;
        }
    }
    EXPECT_EQ(reached, u"~"_qs);
    EXPECT_EQ(PatternFactors(u"ab~cde"_qs), (std::vector<std::string>{"cde"}));
    SjisView view;
    view.SetText("x\x81\xB0y\r\nx~y\r\nxy\r\n");
    view.ApplyFilterNow(LineFilter::Pattern(u"x~y"_qs, {.Regex = true}));
    EXPECT_EQ(view.Text(), "x\x81\xB0y\r\nx~y\r\n");
}

TEST(LineFilter, AnInvalidPatternSaysWhereAndMatchesNothing)
{
    const auto rule = LineFilter::Pattern(u"ERROR(|"_qs, {});
    EXPECT_FALSE(rule->Valid());
    EXPECT_FALSE(rule->Error().isEmpty());
    EXPECT_FALSE(rule->Matches("ERROR", false));
}

TEST(Marks, StayOnTheirLinesThroughAppendsFiltersAndNewTexts)
{
    SjisView view;
    view.SetText("a ERROR\r\nb ok\r\nc ERROR\r\nd ok\r\n");
    view.SetSelStart(int64_t(view.Lines().Start(1)));
    view.ToggleMark();
    view.SetSelStart(int64_t(view.Lines().Start(2)));
    view.ToggleMark();
    ASSERT_EQ(view.MarkCount(), 2u);

    view.ApplyFilterNow(LineFilter::Text("ERROR", {}));
    EXPECT_EQ(view.Text(), "a ERROR\r\nc ERROR\r\n");
    EXPECT_FALSE(view.IsMarked(0));
    EXPECT_TRUE(view.IsMarked(1));
    view.Append("e ERROR\r\n");
    EXPECT_TRUE(view.IsMarked(1));
    EXPECT_FALSE(view.IsMarked(2));

    // The whole text again (the filter reset), then a cut of its start as a
    // tail refresh makes: the marks move with their lines.
    view.SetText("a ERROR\r\nb ok\r\nc ERROR\r\nd ok\r\ne ERROR\r\n");
    EXPECT_TRUE(view.IsMarked(1));
    EXPECT_TRUE(view.IsMarked(2));
    view.SetText("c ERROR\r\nd ok\r\ne ERROR\r\nb ok\r\n");
    EXPECT_TRUE(view.IsMarked(0)) << "c kept its mark";
    EXPECT_FALSE(view.IsMarked(3)) << "b went with the cut; a later b is another line";
    EXPECT_EQ(view.MarkCount(), 1u);

    // F2 goes round; only the marked lines.
    view.SetSelStart(int64_t(view.Lines().Start(2)));
    view.ToggleMark();
    view.SetSelStart(0);
    EXPECT_TRUE(view.GoToMark(true));
    EXPECT_EQ(view.SelStart(), int64_t(view.Lines().Start(2)));
    EXPECT_TRUE(view.GoToMark(true));
    EXPECT_EQ(view.SelStart(), 0);
    EXPECT_TRUE(view.GoToMark(false));
    EXPECT_EQ(view.SelStart(), int64_t(view.Lines().Start(2)));
    EXPECT_TRUE(view.FilterToMarks());
    EXPECT_EQ(view.Text(), "c ERROR\r\ne ERROR\r\n");
    view.Append("f ERROR\r\n");
    EXPECT_EQ(view.Text(), "c ERROR\r\ne ERROR\r\n") << "a line added later carries no mark";

    view.Clear();
    EXPECT_EQ(view.MarkCount(), 0u);
    EXPECT_FALSE(view.GoToMark(true));
}

TEST(LogHighlighter, ALineThatSaysItsLevelIsColouredByItAlone)
{
    using Tone = LogHighlighter::Tone;
    const std::vector<std::pair<const char16_t*, Tone>> cases = {
        {u"2026-01-02 10:00:00 [INFO] 接続エラー 再試行", Tone::None},
        {u"10:00 INFO 容量警告", Tone::None},
        {u"DEBUG: ERROR count=0", Tone::None},
        {u"[ERR] disk", Tone::Error},
        {u"10:00 <CRIT> 温度", Tone::Error},
        {u"10:00 FATAL", Tone::Error},
        {u"10:00 [WARNING] エラー率 1%", Tone::Warning},
        {u"TRACE 異常なし", Tone::None},
        // No level word: the keywords, as before.
        {u"10:00 接続エラー", Tone::Error},
        {u"INFORMATION 警告", Tone::Warning},
        {u"ERRORS 3", Tone::Error},
        {u"plain", Tone::None},
    };
    for (const auto& [line, tone] : cases)
        EXPECT_EQ(LogHighlighter::ToneOf(QStringView(line)), tone) << QString::fromUtf16(line).toStdString();
}

} // namespace
