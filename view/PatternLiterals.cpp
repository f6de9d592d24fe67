#include "view/PatternLiterals.h"

#include "codec/SjisCodec.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <set>

namespace {

// Where each character of the view's text is read from: the one byte code it
// always comes from, or none when it comes from several, or is a part of a
// character of two units.
class CharSources {
public:
    static const CharSources& Get()
    {
        static const CharSources table;
        return table;
    }
    // The bytes of c, or an empty string when c is not read from one code.
    std::string_view BytesOf(char16_t c) const
    {
        const Entry& e = FEntries[c];
        return e.State == Single ? std::string_view(e.Bytes.data(), e.Length) : std::string_view();
    }
    bool Produced(char16_t c) const { return FEntries[c].State != Never; }

private:
    enum Source : uint8_t { Never, Single, Many };
    struct Entry {
        Source State = Never;
        uint8_t Length = 0;
        std::array<char, 2> Bytes{};
    };

    CharSources()
    {
        auto add = [&](const std::string& bytes, const SjisCodec::Unit& unit) {
            if (unit.Chars != 1) {
                for (int k = 0; k < unit.Chars; ++k)
                    FEntries[unit.U[k]].State = Many;
                return;
            }
            Entry& e = FEntries[unit.U[0]];
            const std::string_view own(bytes.data(), unit.Bytes);
            if (e.State == Never) {
                e.State = Single;
                e.Length = unit.Bytes;
                std::copy(own.begin(), own.end(), e.Bytes.begin());
            } else if (e.State == Single && std::string_view(e.Bytes.data(), e.Length) != own) {
                e.State = Many;
            }
        };
        for (int b = 0; b < 256; ++b) {
            const std::string one(1, static_cast<char>(b));
            add(one, SjisCodec::DecodeAt(one, 0));
            add(one, SjisCodec::DecodeAt(one, 0, true));
            if (!SjisCodec::IsLeadByte(static_cast<uint8_t>(b)))
                continue;
            for (int t = 0; t < 256; ++t) {
                const std::string two{static_cast<char>(b), static_cast<char>(t)};
                add(two, SjisCodec::DecodeAt(two, 0));
            }
        }
    }

    std::vector<Entry> FEntries = std::vector<Entry>(0x10000);
};

// What is known of the texts a part of a pattern matches: all of them
// (Exact, a few), or texts each match must hold (Required).
struct Info {
    bool Exact = false;
    std::vector<std::u16string> Texts;
    std::vector<std::vector<std::u16string>> Required;
};

constexpr std::size_t MaxTexts = 16;

Info Any() { return {}; }
Info Empty() { return {true, {u""}, {}}; }
Info Char(char16_t c) { return {true, {std::u16string(1, c)}, {}}; }

// The length a text has in the view's bytes, near enough to rank texts.
std::size_t Weight(const std::u16string& text)
{
    std::size_t n = 0;
    for (const char16_t c : text)
        n += c < 0x80 ? 1 : 2;
    return n;
}

std::size_t GroupWeight(const std::vector<std::u16string>& group)
{
    std::size_t least = SIZE_MAX;
    for (const auto& text : group)
        least = std::min(least, Weight(text));
    return least;
}

// Whether a group ranks before another to be looked for first.
bool Better(const std::vector<std::u16string>& a, const std::vector<std::u16string>& b)
{
    const std::size_t wa = GroupWeight(a);
    const std::size_t wb = GroupWeight(b);
    return wa != wb ? wa > wb : a.size() < b.size();
}

std::vector<std::vector<std::u16string>> RequiredOf(const Info& info)
{
    std::vector<std::vector<std::u16string>> out = info.Required;
    if (info.Exact && !info.Texts.empty() &&
        std::none_of(info.Texts.begin(), info.Texts.end(), [](const auto& t) { return t.empty(); }))
        out.push_back(info.Texts);
    return out;
}

Info Concat(const Info& a, const Info& b)
{
    if (a.Exact && b.Exact && a.Texts.size() * b.Texts.size() <= MaxTexts) {
        Info out{true, {}, a.Required};
        out.Required.insert(out.Required.end(), b.Required.begin(), b.Required.end());
        std::set<std::u16string> texts;
        for (const auto& x : a.Texts)
            for (const auto& y : b.Texts)
                texts.insert(x + y);
        out.Texts.assign(texts.begin(), texts.end());
        return out;
    }
    Info out;
    out.Required = RequiredOf(a);
    for (auto& group : RequiredOf(b))
        out.Required.push_back(std::move(group));
    return out;
}

Info Alternation(const std::vector<Info>& branches)
{
    if (branches.size() == 1)
        return branches.front();
    std::set<std::u16string> texts;
    bool exact = true;
    for (const Info& b : branches) {
        exact = exact && b.Exact && b.Required.empty();
        if (exact)
            texts.insert(b.Texts.begin(), b.Texts.end());
    }
    if (exact && texts.size() <= MaxTexts)
        return {true, {texts.begin(), texts.end()}, {}};
    // Each branch's best group; a line holds one of their texts at least.
    std::set<std::u16string> either;
    for (const Info& b : branches) {
        const auto required = RequiredOf(b);
        if (required.empty())
            return Any();
        const auto best = std::min_element(required.begin(), required.end(), Better);
        either.insert(best->begin(), best->end());
    }
    if (either.size() > MaxTexts)
        return Any();
    return {false, {}, {{either.begin(), either.end()}}};
}

// A pattern this reading does not follow.
struct Unfollowed { };

class Reader {
public:
    Reader(QStringView pattern, bool matchCase) : P(pattern), MatchCase(matchCase) { }

    Info Whole()
    {
        Info info = Alternatives();
        if (I < P.size())
            throw Unfollowed(); // a ')' without its '('
        return info;
    }

private:
    bool AtEnd() const { return I >= P.size(); }
    char16_t Peek(qsizetype k = 0) const { return I + k < P.size() ? P[I + k].unicode() : u'\0'; }

    Info Alternatives()
    {
        std::vector<Info> branches{Sequence()};
        while (!AtEnd() && Peek() == u'|') {
            ++I;
            branches.push_back(Sequence());
        }
        return Alternation(branches);
    }

    Info Sequence()
    {
        // The exact run being read, and what the parts before it require: a
        // part that is not exact ends the run, and the next run starts
        // behind it.
        Info run = Empty();
        std::vector<std::vector<std::u16string>> required;
        while (!AtEnd() && Peek() != u'|' && Peek() != u')') {
            Info part = Quantified(Atom());
            if (part.Exact && part.Required.empty() && run.Texts.size() * part.Texts.size() <= MaxTexts) {
                run = Concat(run, part);
                continue;
            }
            for (auto& group : RequiredOf(run))
                required.push_back(std::move(group));
            run = Empty();
            if (part.Exact && part.Required.empty()) {
                run = std::move(part);
                continue;
            }
            for (auto& group : RequiredOf(part))
                required.push_back(std::move(group));
        }
        if (required.empty())
            return run;
        Info out;
        out.Required = std::move(required);
        for (auto& group : RequiredOf(run))
            out.Required.push_back(std::move(group));
        return out;
    }

    // A quantifier behind an atom, if there is one.
    Info Quantified(Info atom)
    {
        int least = 1;
        bool many = false;
        if (Peek() == u'?' || Peek() == u'*' || Peek() == u'+') {
            least = Peek() == u'+' ? 1 : 0;
            many = Peek() != u'?';
            ++I;
        } else if (Peek() == u'{') {
            // {n}, {n,} or {n,m}; anything else is a literal brace.
            qsizetype k = I + 1;
            auto digits = [&] {
                const qsizetype from = k;
                while (k < P.size() && P[k].isDigit() && P[k].unicode() < 128)
                    ++k;
                return P.mid(from, k - from);
            };
            const QStringView low = digits();
            bool comma = false;
            QStringView high;
            if (k < P.size() && P[k] == u',') {
                comma = true;
                ++k;
                high = digits();
            }
            if (low.isEmpty() || k >= P.size() || P[k] != u'}')
                return atom;
            I = k + 1;
            least = low.size() > 6 ? 1000000 : low.toInt();
            many = comma ? high.isEmpty() || high.toInt() > 1 : least > 1;
        } else {
            return atom;
        }
        if (Peek() == u'?' || Peek() == u'+')
            ++I; // lazy or possessive: the same texts
        if (least == 0) {
            if (many || !atom.Exact || atom.Texts.size() + 1 > MaxTexts)
                return Any();
            atom.Texts.push_back(u"");
            return atom;
        }
        if (!many)
            return atom;
        Info out;
        out.Required = RequiredOf(atom);
        return out;
    }

    Info Literal(char16_t c)
    {
        if (c < 0x20 || (c >= 0xD800 && c <= 0xDFFF))
            return Any();
        if (!MatchCase) {
            if (c >= u'A' && c <= u'Z')
                c = static_cast<char16_t>(c | 0x20);
            const QChar q(c);
            if (c >= 0x80 && (q.toLower() != q || q.toUpper() != q || q.toCaseFolded() != q))
                return Any();
            // Letters that fold together with a character outside ASCII.
            const CharSources& sources = CharSources::Get();
            if ((c == u'k' && sources.Produced(u'\u212A')) || (c == u's' && sources.Produced(u'\u017F')))
                return Any();
        }
        if (CharSources::Get().BytesOf(c).empty())
            return Any();
        return Char(c);
    }

    Info Atom()
    {
        const char16_t c = Peek();
        ++I;
        switch (c) {
        case u'.': return Any();
        case u'^':
        case u'$': return Empty();
        case u'[': SkipClass(); return Any();
        case u'(': return Group();
        case u'\\': return Escape();
        case u'*':
        case u'+':
        case u'?': throw Unfollowed(); // a quantifier with nothing before it
        default:
            if (c >= 0xD800 && c <= 0xDBFF && I < P.size())
                ++I; // the other half of a character beyond 16 bits
            return Literal(c);
        }
    }

    Info Group()
    {
        bool look = false;
        if (Peek() == u'*')
            throw Unfollowed();
        if (Peek() == u'?') {
            const char16_t k = Peek(1);
            if (k == u':' || k == u'>' || k == u'|') {
                I += 2;
            } else if (k == u'=' || k == u'!') {
                I += 2;
                look = true;
            } else if (k == u'<' && (Peek(2) == u'=' || Peek(2) == u'!')) {
                I += 3;
                look = true;
            } else if (k == u'#') {
                while (!AtEnd() && Peek() != u')')
                    ++I;
                if (AtEnd())
                    throw Unfollowed();
                ++I;
                return Empty();
            } else if (k == u'<' || k == u'\'' || (k == u'P' && Peek(2) == u'<')) {
                const char16_t close = k == u'\'' ? u'\'' : u'>';
                while (!AtEnd() && Peek() != close)
                    ++I;
                if (AtEnd())
                    throw Unfollowed();
                ++I;
            } else {
                throw Unfollowed(); // options, conditions, recursion, callouts
            }
        }
        Info inner = Alternatives();
        if (AtEnd() || Peek() != u')')
            throw Unfollowed();
        ++I;
        // What a look-around sees is no part of the match.
        return look ? Empty() : inner;
    }

    void SkipClass()
    {
        if (Peek() == u'^')
            ++I;
        if (Peek() == u']')
            ++I;
        while (!AtEnd() && Peek() != u']') {
            if (Peek() == u'\\')
                ++I;
            else if (Peek() == u'[' && Peek(1) == u':') {
                const qsizetype end = P.indexOf(QLatin1String(":]"), I + 2);
                if (end >= 0)
                    I = end + 1;
            }
            ++I;
        }
        if (AtEnd())
            throw Unfollowed();
        ++I;
    }

    // Skips a braced argument ({…}) if one follows.
    void SkipBraces()
    {
        if (Peek() != u'{')
            return;
        const qsizetype end = P.indexOf(u'}', I);
        if (end < 0)
            throw Unfollowed();
        I = end + 1;
    }

    Info Escape()
    {
        if (AtEnd())
            throw Unfollowed();
        const char16_t c = Peek();
        ++I;
        if (c >= 0x80)
            return Literal(c);
        if (c >= u'0' && c <= u'9') {
            while (Peek() >= u'0' && Peek() <= u'9')
                ++I;
            return Any(); // a reference or a code
        }
        switch (c) {
        case u'b':
        case u'B':
        case u'A':
        case u'z':
        case u'Z':
        case u'G':
        case u'K':
        case u'E': return Empty();
        case u'd':
        case u'D':
        case u'w':
        case u'W':
        case u's':
        case u'S':
        case u'h':
        case u'H':
        case u'v':
        case u'V':
        case u'R':
        case u'N':
        case u'X':
        case u'C':
        case u'a':
        case u'e':
        case u'f':
        case u'n':
        case u'r':
        case u't': return Any();
        case u'p':
        case u'P':
        case u'x':
        case u'o':
            if (Peek() == u'{')
                SkipBraces();
            else if (c == u'x')
                for (int k = 0; k < 2 && QChar(Peek()).isLetterOrNumber() && Peek() < 0x80; ++k)
                    ++I;
            else if (c != u'o')
                ++I;
            return Any();
        case u'c': ++I; return Any();
        default:
            if ((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'))
                throw Unfollowed(); // \g, \k, \Q, \L and the like
            return Literal(c);
        }
    }

    QStringView P;
    bool MatchCase;
    qsizetype I = 0;
};

std::string BytesOf(const std::u16string& text)
{
    std::string out;
    for (const char16_t c : text)
        out += CharSources::Get().BytesOf(c);
    return out;
}

// The first place in hay where key stands; folded as the line is when fold.
bool Holds(std::string_view hay, std::string_view key, bool fold)
{
    if (!fold)
        return hay.find(key) != std::string_view::npos;
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c | 0x20) : c; };
    return std::search(hay.begin(), hay.end(), key.begin(), key.end(),
                       [&](char a, char b) { return lower(a) == lower(b); }) != hay.end();
}

} // namespace

PatternLiterals RequiredLiterals(QStringView pattern, bool matchCase)
{
    std::vector<std::vector<std::u16string>> groups;
    try {
        groups = RequiredOf(Reader(pattern, matchCase).Whole());
    } catch (const Unfollowed&) {
        return {};
    }
    std::stable_sort(groups.begin(), groups.end(), Better);
    PatternLiterals out;
    for (const auto& group : groups) {
        std::vector<std::string> texts;
        texts.reserve(group.size());
        for (const auto& text : group)
            texts.push_back(BytesOf(text));
        std::sort(texts.begin(), texts.end());
        texts.erase(std::unique(texts.begin(), texts.end()), texts.end());
        // A text that holds another of its group adds no line.
        std::vector<std::string> shortest;
        for (const std::string& t : texts)
            if (std::none_of(texts.begin(), texts.end(),
                             [&](const std::string& u) { return u != t && t.find(u) != std::string::npos; }))
                shortest.push_back(t);
        texts = std::move(shortest);
        if (std::find(out.Groups.begin(), out.Groups.end(), texts) == out.Groups.end())
            out.Groups.push_back(std::move(texts));
    }
    return out;
}

bool HoldsLiterals(std::string_view line, const PatternLiterals& literals, bool matchCase, std::size_t first)
{
    for (std::size_t g = first; g < literals.Groups.size(); ++g) {
        const auto& group = literals.Groups[g];
        if (std::none_of(group.begin(), group.end(),
                         [&](const std::string& text) { return Holds(line, text, !matchCase); }))
            return false;
    }
    return true;
}
