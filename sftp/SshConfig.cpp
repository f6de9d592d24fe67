#include "sftp/SshConfig.h"

#include "sftp/KnownHostsFile.h" // WildcardMatch, the pattern rule known_hosts uses too

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <utility>

#include <glob.h>

namespace {

// ssh gives up beyond this depth of Include too.
constexpr int DeepestInclude = 16;
// Files read through Include from one file: a config that includes itself twice
// over would otherwise be read 2^16 times on the window's thread.
constexpr int MostIncludedFiles = 256;

std::string Lower(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return out;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

// The words of a config line: blanks separate them, double quotes hold
// blanks in one, a word starting with # ends the line, and the keyword may
// be followed by `=`. False when a quote is not closed.
bool SplitLine(std::string_view line, std::vector<std::string>& words)
{
    words.clear();
    size_t i = 0;
    while (true) {
        while (i < line.size() && IsBlank(line[i]))
            ++i;
        if (words.size() == 1 && i < line.size() && line[i] == '=') {
            ++i;
            while (i < line.size() && IsBlank(line[i]))
                ++i;
        }
        if (i >= line.size() || line[i] == '#')
            return true;
        std::string word;
        while (i < line.size() && !IsBlank(line[i])) {
            if (words.empty() && line[i] == '=')
                break; // "Keyword=value"
            if (line[i] == '"') {
                const size_t close = line.find('"', i + 1);
                if (close == std::string_view::npos)
                    return false;
                word.append(line.substr(i + 1, close - i - 1));
                i = close + 1;
                continue;
            }
            word += line[i++];
        }
        words.push_back(std::move(word));
    }
}

// A comma list of patterns against text: one positive pattern matches and
// no `!` one does.
bool PatternListMatches(std::string_view list, std::string_view text)
{
    bool positive = false;
    while (true) {
        const size_t comma = list.find(',');
        const std::string_view one = list.substr(0, comma);
        const bool negated = !one.empty() && one[0] == '!';
        if (WildcardMatch(negated ? one.substr(1) : one, text)) {
            if (negated)
                return false;
            positive = true;
        }
        if (comma == std::string_view::npos)
            return positive;
        list.remove_prefix(comma + 1);
    }
}

bool ReadWhole(const std::string& path, std::string& text)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream out;
    out << in.rdbuf();
    text = out.str();
    return true;
}

} // namespace

SshConfigReader::SshConfigReader(SshConfigQuery query) : FQuery(std::move(query))
{
    FQuery.Host = Lower(FQuery.Host);
    FQuery.HostName = FQuery.HostName.empty() ? FQuery.Host : Lower(FQuery.HostName);
}

void SshConfigReader::ReadFile(const std::string& path, const std::string& includeDir)
{
    std::string text;
    FIncludedFiles = 0;
    if (ReadWhole(path, text))
        Read(text, path, includeDir, 0);
}

void SshConfigReader::ReadText(std::string_view text, const std::string& source,
                               const std::string& includeDir)
{
    FIncludedFiles = 0;
    Read(text, source, includeDir, 0);
}

bool SshConfigReader::HostLineMatches(const std::vector<std::string>& patterns) const
{
    bool positive = false;
    for (size_t k = 1; k < patterns.size(); ++k) {
        const std::string& one = patterns[k];
        const bool negated = !one.empty() && one[0] == '!';
        if (WildcardMatch(std::string_view(one).substr(negated ? 1 : 0), FQuery.Host)) {
            if (negated)
                return false;
            positive = true;
        }
    }
    return positive;
}

bool SshConfigReader::MatchLineMatches(const std::vector<std::string>& words, const std::string& where)
{
    if (words.size() < 2) {
        FProblems.push_back(where + ": Match without criteria");
        return false;
    }
    bool all = true;
    for (size_t k = 1; k < words.size(); ++k) {
        std::string criterion = Lower(words[k]);
        const bool negated = !criterion.empty() && criterion[0] == '!';
        if (negated)
            criterion.erase(0, 1);
        bool result = false;
        // final: ssh reads the configuration a last time for such blocks.
        if (criterion == "all" || criterion == "final") {
            result = true;
        } else if (criterion == "host" || criterion == "originalhost" || criterion == "user" ||
                   criterion == "localuser") {
            if (k + 1 >= words.size()) {
                FProblems.push_back(where + ": Match " + criterion.append(" without a value"));
                return false;
            }
            const std::string& list = words[++k];
            if (criterion == "host")
                result = PatternListMatches(Lower(list), FQuery.HostName);
            else if (criterion == "originalhost")
                result = PatternListMatches(Lower(list), FQuery.Host);
            else if (criterion == "user")
                result = PatternListMatches(list, FQuery.User);
            else
                result = PatternListMatches(list, FQuery.LocalUser);
        } else {
            // exec (never run here), canonical, localnetwork, tagged and
            // what is not known: the block is not taken.
            FProblems.push_back(where + ": Match " + criterion.append(" is not evaluated"));
            return false;
        }
        all = all && (result != negated);
    }
    return all;
}

std::string SshConfigReader::Expand(const std::string& value) const
{
    std::string text = value;
    if (text == "~" || text.rfind("~/", 0) == 0)
        text = FQuery.HomeDir + text.substr(1);
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '$' && i + 1 < text.size() && text[i + 1] == '{') {
            const size_t close = text.find('}', i + 2);
            if (close != std::string::npos) {
                const char* env = std::getenv(text.substr(i + 2, close - i - 2).c_str());
                out += env != nullptr ? env : "";
                i = close;
                continue;
            }
        }
        if (c != '%' || i + 1 >= text.size()) {
            out += c;
            continue;
        }
        switch (text[++i]) {
        case '%': out += '%'; break;
        case 'd': out += FQuery.HomeDir; break;
        case 'h': out += FQuery.HostName; break;
        case 'n': out += FQuery.Host; break;
        case 'p': out += std::to_string(FQuery.Port); break;
        case 'r': out += FQuery.User; break;
        case 'u': out += FQuery.LocalUser; break;
        default: out += '%'; out += text[i];
        }
    }
    return out;
}

void SshConfigReader::Read(std::string_view text, const std::string& source, const std::string& includeDir,
                           int depth)
{
    // Lines before the first Host or Match apply to every host.
    bool active = true;
    int number = 0;
    std::vector<std::string> words;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        ++number;
        const std::string where = source + ":" + std::to_string(number);
        if (!SplitLine(line, words)) {
            FProblems.push_back(where + ": unclosed quote");
            continue;
        }
        if (words.empty())
            continue;
        const std::string keyword = Lower(words[0]);
        if (keyword == "host") {
            active = HostLineMatches(words);
            continue;
        }
        if (keyword == "match") {
            active = MatchLineMatches(words, where);
            continue;
        }
        if (!active)
            continue;
        if (words.size() < 2) {
            FProblems.push_back(where + ": " + words[0] + " without a value");
            continue;
        }
        if (keyword == "include") {
            if (depth + 1 >= DeepestInclude) {
                FProblems.push_back(where + ": Include nested too deep");
                continue;
            }
            for (size_t k = 1; k < words.size() && FollowIncludes; ++k) {
                std::string pattern = Expand(words[k]);
                if (pattern.empty() || pattern[0] != '/')
                    pattern.insert(0, includeDir + "/");
                glob_t found{};
                if (::glob(pattern.c_str(), 0, nullptr, &found) == 0) {
                    for (size_t n = 0; n < found.gl_pathc; ++n) {
                        if (++FIncludedFiles > MostIncludedFiles) {
                            FProblems.push_back(where + ": too many files included");
                            break;
                        }
                        std::string included;
                        if (ReadWhole(found.gl_pathv[n], included))
                            Read(included, found.gl_pathv[n], includeDir, depth + 1);
                    }
                }
                ::globfree(&found);
            }
        } else if (keyword == "userknownhostsfile" || keyword == "globalknownhostsfile") {
            auto& files = keyword[0] == 'u' ? FSettings.UserKnownHostsFiles : FSettings.GlobalKnownHostsFiles;
            if (files)
                continue;
            files.emplace();
            if (words.size() == 2 && Lower(words[1]) == "none")
                continue;
            for (size_t k = 1; k < words.size(); ++k)
                files->push_back(Expand(words[k]));
        } else if (keyword == "hostkeyalgorithms") {
            FSettings.HostKeyAlgorithmsSet = true;
        } else if (keyword == "hashknownhosts") {
            const std::string value = Lower(words[1]);
            if (value != "yes" && value != "no" && value != "true" && value != "false")
                FProblems.push_back(where + ": HashKnownHosts " + words[1]);
            else if (!FSettings.HashKnownHosts)
                FSettings.HashKnownHosts = value == "yes" || value == "true";
        }
    }
}

KnownHostsPlaces FindKnownHostsPlaces(const SshConfigQuery& query, const std::string& sshDir,
                                      const std::string& systemConfig)
{
    SshConfigReader reader(query);
    reader.ReadFile(sshDir + "/config", sshDir);
    const size_t slash = systemConfig.rfind('/');
    reader.ReadFile(systemConfig, slash == std::string::npos ? "." : systemConfig.substr(0, slash));
    const SshConfigSettings& settings = reader.Settings();
    KnownHostsPlaces places;
    places.UserFiles = settings.UserKnownHostsFiles.value_or(
        std::vector<std::string>{sshDir + "/known_hosts", sshDir + "/known_hosts2"});
    places.GlobalFiles = settings.GlobalKnownHostsFiles.value_or(
        std::vector<std::string>{"/etc/ssh/ssh_known_hosts", "/etc/ssh/ssh_known_hosts2"});
    places.Hash = settings.HashKnownHosts.value_or(false);
    places.HostKeyAlgorithmsSet = settings.HostKeyAlgorithmsSet;
    return places;
}
