#include "keyring/MovePasswords.h"

#include "codec/HostText.h"
#include "keyring/PasswordSource.h"
#include "profiles/TextList.h"
#include "sock/SecretText.h"

#include <QFile>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Where each ':'-separated field of a profile line begins and ends, by the
// rule the window splits it: a field that begins with '[' runs to its ']'.
std::vector<std::pair<std::size_t, std::size_t>> FieldSpans(std::string_view line)
{
    std::vector<std::pair<std::size_t, std::size_t>> spans;
    std::size_t start = 0;
    for (;;) {
        std::size_t from = start;
        if (start < line.size() && line[start] == '[') {
            const std::size_t close = line.find(']', start);
            if (close != std::string_view::npos)
                from = close;
        }
        const std::size_t at = line.find(':', from);
        if (at == std::string_view::npos)
            break;
        spans.emplace_back(start, at);
        start = at + 1;
    }
    spans.emplace_back(start, line.size());
    return spans;
}

// The line's new bytes when it holds a password to move, else nothing.
bool EmptyPassword(std::string_view line, bool shiftJis, HostProfile& profile, std::string& rewritten)
{
    const auto spans = FieldSpans(line);
    TextList fields;
    for (const auto& [begin, end] : spans)
        fields.Add(std::string(line.substr(begin, end - begin)));
    try {
        profile = ReadHostProfile(fields, shiftJis);
    } catch (const Exception&) {
        return false;
    }
    if (profile.Password.empty() || IsAnonymousLogin(profile))
        return false;
    rewritten = std::string(line.substr(0, spans[3].first)) + std::string(line.substr(spans[3].second));
    return true;
}

} // namespace

std::string HostListWithoutPasswords(const std::string& bytes, bool shiftJis,
                                     std::vector<HostListPassword>& found)
{
    found.clear();
    // Lines end as the host list reads them (CR LF, LF, CR); a NUL ends
    // the data, and whatever follows it is kept as it is.
    const std::size_t dataEnd = std::min(bytes.find('\0'), bytes.size());
    const std::string_view data(bytes.data(), dataEnd);
    std::string out;
    out.reserve(bytes.size());
    std::size_t pos = 0;
    for (int line = 0; pos < data.size(); ++line) {
        std::size_t end = data.find_first_of("\r\n", pos);
        if (end == std::string_view::npos)
            end = data.size();
        std::size_t next = end;
        if (next < data.size())
            next += data[next] == '\r' && next + 1 < data.size() && data[next + 1] == '\n' ? 2 : 1;
        HostListPassword entry;
        entry.Line = line;
        std::string rewritten;
        if (EmptyPassword(data.substr(pos, end - pos), shiftJis, entry.Profile, rewritten)) {
            out += rewritten;
            found.push_back(std::move(entry));
        } else {
            out += data.substr(pos, end - pos);
        }
        out += data.substr(end, next - end);
        pos = next;
    }
    out += bytes.substr(dataEnd);
    return out;
}

MoveOutcome MovePasswordsToStore(const std::string& path, PasswordStore& store)
{
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly))
        throw EFOpenError(path);
    QByteArray raw = file.readAll();
    file.close();
    std::string bytes(raw.constData(), static_cast<std::size_t>(raw.size()));
    raw.fill('\0');
    const bool shiftJis = !IsValidUtf8(bytes);

    std::vector<HostListPassword> found;
    std::string rewritten = HostListWithoutPasswords(bytes, shiftJis, found);
    WipeSecret(bytes);
    MoveOutcome outcome;
    for (HostListPassword& entry : found) {
        if (store.Write(PasswordEntryName(entry.Profile, shiftJis), entry.Profile.Password) !=
            StoreAnswer::Done)
            outcome.NotStored.push_back(HostTextToQString(entry.Profile.Label, shiftJis).toStdString());
        WipeSecret(entry.Profile.Password);
    }
    if (found.empty() || !outcome.NotStored.empty())
        return outcome;
    ReplaceFileKeepingMode(path, rewritten);
    outcome.Moved = static_cast<int>(found.size());
    return outcome;
}

void ReplaceFileKeepingMode(const std::string& path, const std::string& bytes)
{
    // The link's target is what gets replaced, so a linked host list stays linked.
    char resolved[PATH_MAX];
    const std::string target = ::realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
    struct stat old { };
    if (::stat(target.c_str(), &old) != 0)
        throw Exception("Cannot create file " + path);
    const std::size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    std::string temp = dir + "." + name + ".XXXXXX";
    // mkstemp: a fresh name opened O_EXCL, mode 0600 until the old mode is given.
    const int fd = ::mkstemp(temp.data());
    if (fd < 0)
        throw Exception("Cannot create file " + path);
    bool ok = ::fchmod(fd, old.st_mode & 07777) == 0;
    for (std::size_t done = 0; ok && done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        if (ok)
            done += static_cast<std::size_t>(n);
    }
    ok = ok && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(temp.c_str(), target.c_str()) != 0) {
        ::unlink(temp.c_str());
        throw Exception("Cannot create file " + path);
    }
}
