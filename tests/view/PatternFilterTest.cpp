// A filter pattern's required texts, looked for as Shift_JIS bytes before any
// line is decoded, keep exactly the lines the expression keeps on every
// decoded line; a pattern that backtracks without end on a line stops as
// too complex, by the user's filter and by the view's own (Follow's).
#include "codec/SjisCodec.h"
#include "view/LineFilter.h"
#include "view/PatternLiterals.h"
#include "view/SjisView.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

std::vector<std::string> Texts(std::initializer_list<const char16_t*> texts)
{
    std::vector<std::string> out;
    for (const char16_t* t : texts)
        out.push_back(SjisCodec::Encode(QStringView(t)));
    std::sort(out.begin(), out.end());
    return out;
}

// Log lines of dates, levels, Japanese words of both widths, pairs whose
// trail bytes are ASCII letters, and the code that also reads as a tilde.
std::string LogLines(std::mt19937& rng, int lines)
{
    static const std::vector<QString> parts = {u"2026-01-02 10:00:00 "_qs,
                                               u"ERROR"_qs,
                                               u"error"_qs,
                                               u"Warn"_qs,
                                               u"WARN"_qs,
                                               u"接続"_qs,
                                               u"失敗"_qs,
                                               u"接続に失敗"_qs,
                                               u"timeout"_qs,
                                               u"TimeOut"_qs,
                                               u"ｱｸｾｽ"_qs,
                                               u"ﾛｸﾞ"_qs,
                                               u"警告"_qs,
                                               u" "_qs,
                                               u"."_qs,
                                               u"colour"_qs,
                                               u"color"_qs,
                                               u"ソ"_qs,
                                               u"表"_qs,
                                               u"x~y"_qs,
                                               u"Ｅｒｒｏｒ"_qs,
                                               u"[INFO]"_qs,
                                               u"-"_qs,
                                               u"12"_qs};
    std::string out;
    for (int i = 0; i < lines; ++i) {
        QString line;
        for (int k = int(rng() % 8); k > 0; --k)
            line += parts[rng() % parts.size()];
        out += SjisCodec::Encode(line) + (rng() % 3 == 0 ? "\r\n" : "\n");
        if (rng() % 50 == 0)
            out += "x\x81\xB0y\n";
    }
    return out;
}

std::vector<QString> KeptByExpression(const std::string& text, const QString& pattern,
                                      const FilterOptions& options)
{
    const QRegularExpression re(pattern,
                                QRegularExpression::UseUnicodePropertiesOption |
                                    (options.MatchCase ? QRegularExpression::NoPatternOption
                                                       : QRegularExpression::CaseInsensitiveOption));
    std::vector<QString> kept;
    QStringList lines = SjisCodec::Decode(text).split(QRegularExpression(u"\r?\n"_qs));
    if (!lines.isEmpty() && lines.back().isEmpty())
        lines.pop_back();
    for (const QString& line : lines)
        if (re.match(line).hasMatch() != options.Exclude)
            kept.push_back(line);
    return kept;
}

std::vector<QString> Shown(SjisView& view)
{
    std::vector<QString> out;
    const SjisLines& lines = view.Lines();
    for (int64_t i = 0; i < lines.Count(); ++i)
        if (!(lines.Bytes(i).empty() && i + 1 == lines.Count()))
            out.push_back(SjisCodec::Decode(lines.Bytes(i)));
    return out;
}

TEST(PatternLiterals, AreTheTextsEveryMatchHoldsAsTheViewsBytes)
{
    using G = std::vector<std::vector<std::string>>;
    struct Case {
        const char16_t* Pattern;
        bool MatchCase;
        G Groups;
    };
    const std::vector<Case> cases = {
        {u"接続.*失敗", true, {Texts({u"接続"}), Texts({u"失敗"})}},
        {u"ERROR.*timeout", false, {Texts({u"timeout"}), Texts({u"error"})}},
        {u"ERROR|WARN", true, {Texts({u"ERROR", u"WARN"})}},
        {u"^\\d{4}-\\d\\d-\\d\\d .*(WARN|ERROR)",
         false,
         {Texts({u"error", u"warn"}), Texts({u"-"}), Texts({u" "})}},
        {u"colou?r", true, {Texts({u"color", u"colour"})}},
        {u"(?:接続)+に?失敗", true, {Texts({u"接続"}), Texts({u"失敗"})}},
        {u"[接失][続敗]|ｱｸｾｽ", true, {}},
        {u"\\bWarn\\b(?=\\s)", true, {Texts({u"Warn"})}},
        {u"x~y", true, {Texts({u"x"}), Texts({u"y"})}}, // one pair also reads as a tilde
        {u"Ｅｒｒｏｒ|警告", false, {}},                // a letter with a case outside ASCII
        {u"Ｅｒｒｏｒ|警告", true, {Texts({u"Ｅｒｒｏｒ", u"警告"})}},
        {u"(?i)接続", true, {}}, // options inside: not followed
        {u"a\\Q.*\\E接続", true, {}},
        {u"(ab)\\1接続", true, {Texts({u"接続"}), Texts({u"ab"})}},
        {u"\\x{63A5}続", true, {Texts({u"続"})}},
        {u"a{2,}接続", true, {Texts({u"接続"}), Texts({u"a"})}},
        {u"a{,2}b", true, {Texts({u"a{,2}b"})}}, // no quantifier: plain braces
    };
    for (const Case& c : cases) {
        const PatternLiterals literals = RequiredLiterals(QStringView(c.Pattern), c.MatchCase);
        EXPECT_EQ(literals.Groups, c.Groups)
            << QString::fromUtf16(c.Pattern).toStdString() << " case " << c.MatchCase;
    }
}

TEST(PatternLiterals, KeepTheSameLinesAsTheExpressionOnEveryDecodedLine)
{
    // Enough lines for several pieces of the scan, in every mode.
    const std::vector<QString> patterns = {u"接続.*失敗"_qs,
                                           u"接続に?失敗|警告"_qs,
                                           u"ERROR.*timeout"_qs,
                                           u"ERROR|WARN"_qs,
                                           u"^\\d{4}-\\d\\d-\\d\\d .*(WARN|ERROR)"_qs,
                                           u"colou?r"_qs,
                                           u"[接失][続敗]"_qs,
                                           u"\\bWarn\\b"_qs,
                                           u"ｱｸｾｽ|ﾛｸﾞ"_qs,
                                           u"x~y"_qs,
                                           u"Error$"_qs,
                                           u"^\\[INFO\\]"_qs,
                                           u"(?:time)+out\\."_qs,
                                           u"ソ表"_qs,
                                           u"Ｅｒｒｏｒ"_qs,
                                           u"(ERROR|Warn) *(接続|ｱｸｾｽ)"_qs};
    std::mt19937 rng(11);
    const std::string text = LogLines(rng, 15000);
    SjisView view;
    for (const QString& pattern : patterns) {
        for (int mode = 0; mode < 4; ++mode) {
            const FilterOptions options{
                .Exclude = (mode & 1) != 0, .Regex = true, .MatchCase = (mode & 2) != 0};
            SCOPED_TRACE(pattern.toStdString() + " mode " + std::to_string(mode));
            view.SetText(text);
            ASSERT_NE(view.FilterWait(LineFilter::Pattern(pattern, options)),
                      SjisView::SearchEnd::TooComplex);
            EXPECT_EQ(Shown(view), KeptByExpression(text, pattern, options));
        }
    }
}

TEST(PatternLiterals, NoCodeReadsAsALetterThatFoldsToASCII)
{
    // Without case, k and s also match the Kelvin sign and the long s: were
    // either a character of the view, lines holding it would be skipped.
    for (int lead = 0x81; lead <= 0xFC; ++lead)
        for (int trail = 0x40; trail <= 0xFC; ++trail) {
            const char pair[2] = {char(lead), char(trail)};
            const QString c = SjisCodec::Decode(std::string_view(pair, 2));
            EXPECT_FALSE(c.contains(QChar(0x212A)) || c.contains(QChar(0x017F))) << lead << " " << trail;
        }
    EXPECT_EQ(RequiredLiterals(u"kas", false).Groups, (std::vector<std::vector<std::string>>{{"kas"}}));
}

// The users' patterns at their worst: lines on which they backtrack without
// end.
const std::vector<std::pair<QString, std::string>> WorstCases = {
    {u"(a+)+$"_qs, "aaaaaaaaaaaaaaaaaaaaaaaaaab"},
    {u"(\\w+\\s?)+$"_qs, "The quick brown fox jumps over the lazy dog again."},
};

TEST(PatternFilter, ALineTooComplexStopsTheFilterAndLeavesTheView)
{
    for (const auto& [pattern, line] : WorstCases) {
        for (const bool exclude : {false, true}) {
            SCOPED_TRACE(pattern.toStdString());
            std::string text = "ok\r\n";
            for (int i = 0; i < 2000; ++i)
                text += line + "\r\n";
            SjisView view;
            view.SetText(text);
            QElapsedTimer clock;
            clock.start();
            EXPECT_EQ(view.FilterWait(LineFilter::Pattern(pattern, {.Exclude = exclude, .Regex = true})),
                      SjisView::SearchEnd::TooComplex);
            EXPECT_LT(clock.elapsed(), 1000);
            EXPECT_EQ(view.Text(), text);
            EXPECT_EQ(view.ActiveFilter(), nullptr);
        }
    }
}

TEST(PatternFilter, FollowsNewLinesTooComplexDropTheFilterAndShowThemWhole)
{
    for (const auto& [pattern, line] : WorstCases) {
        SCOPED_TRACE(pattern.toStdString());
        SjisView view;
        int dropped = 0;
        view.OnFilterDropped = [&](bool tooComplex) { dropped += tooComplex ? 1 : 100; };
        view.SetText("c\r\n-\r\n");
        view.ApplyFilterNow(
            LineFilter::Pattern(u"^(c|"_qs + pattern + u")"_qs, {.Regex = true, .MatchCase = true}));
        EXPECT_EQ(view.Text(), "c\r\n");
        view.Append("c\r\n" + line + "\r\nc\r\n");
        EXPECT_EQ(dropped, 1);
        EXPECT_EQ(view.ActiveFilter(), nullptr);
        EXPECT_EQ(view.Text(), "c\r\nc\r\n" + line + "\r\nc\r\n")
            << "the lines kept before, then all new ones";

        // A text shown again whole after a refresh, filtered again.
        dropped = 0;
        view.SetText("a\r\n" + line + "\r\n");
        view.ApplyFilterNow(LineFilter::Pattern(pattern, {.Regex = true}));
        EXPECT_EQ(dropped, 1);
        EXPECT_EQ(view.Text(), "a\r\n" + line + "\r\n");
    }
}

TEST(PatternFilter, TheViewsOwnFilterGoesOnThroughAppendsAndAStopShowsTheLinesWhole)
{
    // Lines the pattern takes most of a millisecond on: a filter of a few
    // hundred of them runs on past its first slice.
    std::string slow;
    for (int i = 0; i < 300; ++i)
        slow += std::string(16, 'a') + "b\r\n";
    SjisView view;
    int dropped = -1;
    view.OnFilterDropped = [&](bool tooComplex) { dropped = tooComplex ? 1 : 0; };
    auto settle = [&] {
        QElapsedTimer clock;
        clock.start();
        while (view.Searching() && clock.elapsed() < 20000)
            QCoreApplication::processEvents();
        return !view.Searching();
    };
    view.SetText(slow + "aaa\r\n");
    view.ApplyFilterNow(LineFilter::Pattern(u"(a+)+$"_qs, {.Regex = true, .MatchCase = true}));
    ASSERT_TRUE(view.Searching());
    view.Append("aaaa\r\n" + slow); // while the text is filtered again
    ASSERT_TRUE(settle());
    EXPECT_EQ(view.Text(), "aaa\r\naaaa\r\n");

    view.Append(slow + "aa\r\n");
    ASSERT_TRUE(view.Searching());
    EXPECT_EQ(view.Text(), "aaa\r\naaaa\r\n") << "the lines kept stay while the new ones are filtered";
    view.Append("a\r\n"); // while those are filtered
    ASSERT_TRUE(settle());
    EXPECT_EQ(view.Text(), "aaa\r\naaaa\r\naa\r\na\r\n");
    EXPECT_EQ(dropped, -1);

    // A new text ends the filter without a word; the rule is put in force
    // again by whoever wants it.
    view.Append(slow);
    ASSERT_TRUE(view.Searching());
    view.SetText(slow);
    EXPECT_FALSE(view.Searching());
    EXPECT_EQ(dropped, -1);
    view.ApplyFilterNow(LineFilter::Pattern(u"(a+)+$"_qs, {.Regex = true, .MatchCase = true}));
    view.Append("aaa\r\naaaa\r\naa\r\na\r\n" + slow);
    ASSERT_TRUE(view.Searching());
    view.StopSearch();
    EXPECT_EQ(dropped, 0);
    EXPECT_EQ(view.ActiveFilter(), nullptr);
    EXPECT_EQ(view.Text(), slow + "aaa\r\naaaa\r\naa\r\na\r\n" + slow) << "the text as it is, whole";
}

} // namespace
