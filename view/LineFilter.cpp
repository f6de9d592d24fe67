#include "view/LineFilter.h"

#include "codec/SjisCodec.h"
#include "view/PatternMatcher.h"
#include "view/SjisText.h"

#include <algorithm>

namespace {

// Characters with a meaning of their own outside a class.
bool IsSpecial(QChar c)
{
    return QStringView(u".^$*+?{}|").contains(c);
}

} // namespace

std::vector<std::string> PatternFactors(const QString& p)
{
    // Options set inside the pattern ((?x) ignores spaces, and the like) and
    // verbs change what its characters mean: no factors then.
    if (p.contains(QLatin1String("(?")) || p.contains(QLatin1String("(*")))
        return {};
    // Escapes that take an argument (\x41, \p{Han}, \Q…\E, references):
    // the characters behind them are no literals of their own.
    for (qsizetype i = 0; i + 1 < p.size(); ++i) {
        if (p[i] != u'\\')
            continue;
        if (QStringView(u"xopPNgkcQE").contains(p[i + 1]) || p[i + 1].isDigit())
            return {};
        ++i;
    }
    std::vector<std::string> factors;
    std::string best;
    std::string run;
    int depth = 0;
    bool inClass = false;
    auto endRun = [&] {
        if (run.size() > best.size())
            best = run;
        run.clear();
    };
    const qsizetype n = p.size();
    for (qsizetype i = 0; i <= n; ++i) {
        if (i == n || (p[i] == u'|' && depth == 0 && !inClass)) {
            // Each branch must give a factor of two bytes at least, or lines
            // without any would still have to be decoded.
            endRun();
            if (best.size() < 2)
                return {};
            factors.push_back(best);
            best.clear();
            continue;
        }
        const QChar c = p[i];
        if (inClass) {
            if (c == u'\\')
                ++i;
            else if (c == u']')
                inClass = false;
            continue;
        }
        char literal = 0;
        qsizetype next = i + 1;
        if (c == u'\\') {
            // An escaped punctuation character stands for itself; a letter or
            // digit after the backslash is a class, an anchor, a reference or
            // a code, which ends the run.
            if (next < n && p[next].unicode() < 128 && !p[next].isLetterOrNumber() && p[next] >= u' ') {
                literal = p[next].toLatin1();
                next = i + 2;
            } else {
                endRun();
                ++i;
                continue;
            }
        } else if (c == u'[') {
            endRun();
            inClass = true;
            if (next < n && p[next] == u'^')
                ++i, ++next;
            if (next < n && p[next] == u']')
                ++i;   // a ']' first in a class is one of its characters
            continue;
        } else if (c == u'(' || c == u')') {
            endRun();
            depth += c == u'(' ? 1 : -1;
            continue;
        } else if (IsSpecial(c) || c.unicode() >= 128 || c < u' ') {
            endRun();
            continue;
        } else {
            literal = c.toLatin1();
        }
        i = next - 1;
        if (depth > 0)
            continue;
        // A tilde is also what one double-byte code (0x81 0xB0) reads as:
        // not a byte every match holds.
        if (literal == '~') {
            endRun();
            continue;
        }
        // A character that a quantifier allows to be missing is not required.
        if (next < n && (p[next] == u'?' || p[next] == u'*' || p[next] == u'{')) {
            endRun();
            continue;
        }
        run += literal >= 'A' && literal <= 'Z' ? static_cast<char>(literal | 0x20) : literal;
        if (next < n && p[next] == u'+')
            endRun();
    }
    return factors;
}

std::vector<std::string> PlainAlternatives(const QString& p)
{
    // Characters that stand for themselves in a pattern and in the bytes
    // alike. Others are left to the expression: metacharacters, escapes, '~'
    // (a double-byte code also reads as it) and anything outside ASCII.
    auto plain = [](QChar c) {
        return c.isDigit() || (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
            QStringView(u" !\"#%&',-/:;<=>@_").contains(c);
    };
    // An alternative begins with a byte that is a trail byte too: after a
    // lead byte it is then read as part of a pair both by the byte search and
    // by the decoder, which shows a lead byte before a digit or punctuation
    // mark on its own.
    auto start = [](QChar c) {
        return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || c == u'_' || c == u'@';
    };
    std::vector<std::string> texts;
    for (const QStringView text : QStringView(p).split(u'|')) {
        if (text.isEmpty() || !start(text[0]) || !std::all_of(text.begin(), text.end(), plain))
            return {};
        texts.push_back(text.toLatin1().toStdString());
    }
    return texts;
}

std::shared_ptr<const LineFilter> LineFilter::Text(std::string needle, FilterOptions options)
{
    auto filter = std::shared_ptr<LineFilter>(new LineFilter);
    filter->FKind = Kind::Text;
    options.Regex = false;
    filter->FOptions = options;
    if (!options.MatchCase)
        sjis::LowerInPlace(needle);
    filter->FNeedle = std::move(needle);
    return filter;
}

std::shared_ptr<const LineFilter> LineFilter::Pattern(const QString& pattern, FilterOptions options)
{
    auto filter = std::shared_ptr<LineFilter>(new LineFilter);
    filter->FKind = Kind::Pattern;
    options.Regex = true;
    filter->FOptions = options;
    QRegularExpression::PatternOptions flags = QRegularExpression::UseUnicodePropertiesOption;
    if (!options.MatchCase)
        flags |= QRegularExpression::CaseInsensitiveOption;
    // The expression gives the message for a pattern that does not compile;
    // lines are matched by a PatternMatcher of the same pattern.
    const QRegularExpression expression(pattern, flags);
    if (!expression.isValid()) {
        filter->FError = QStringLiteral("%1 (%2 文字目)")
                             .arg(expression.errorString())
                             .arg(expression.patternErrorOffset() + 1);
        return filter;
    }
    filter->FPattern = pattern;
    filter->FLiterals = RequiredLiterals(pattern, options.MatchCase);
    filter->FFactors = PatternFactors(pattern);
    filter->FAlternatives = PlainAlternatives(pattern);
    if (!options.MatchCase)
        for (std::string& text : filter->FAlternatives)
            sjis::LowerInPlace(text);
    return filter;
}

std::shared_ptr<const LineFilter> LineFilter::Marks()
{
    auto filter = std::shared_ptr<LineFilter>(new LineFilter);
    filter->FKind = Kind::Marks;
    return filter;
}

bool LineFilter::MatchesDecoded(QStringView line) const
{
    return Valid() &&
        PatternMatcher(FPattern, FOptions.MatchCase).Match(line) == PatternMatcher::Result::Match;
}

bool LineFilter::Matches(std::string_view line, bool firstByteStray) const
{
    switch (FKind) {
    case Kind::Marks:
        return false;
    case Kind::Pattern:
        if (!FAlternatives.empty()) {
            std::string lowered;
            if (!FOptions.MatchCase) {
                lowered.assign(line);
                sjis::LowerInPlace(lowered, firstByteStray);
                line = lowered;
            }
            return std::any_of(FAlternatives.begin(), FAlternatives.end(), [&](const std::string& text) {
                return sjis::FindOnCharBoundary(line, text, 0, firstByteStray) != sjis::npos;
            });
        }
        return Valid() && MatchesDecoded(SjisCodec::Decode(line, firstByteStray));
    case Kind::Text:
        break;
    }
    if (FNeedle.empty() || FNeedle.find_first_of("\r\n") != std::string::npos)
        return false;
    if (FOptions.MatchCase)
        return sjis::FindOnCharBoundary(line, FNeedle, 0, firstByteStray) != sjis::npos;
    std::string lowered(line);
    sjis::LowerInPlace(lowered, firstByteStray);
    return sjis::FindOnCharBoundary(lowered, FNeedle, 0, firstByteStray) != sjis::npos;
}
