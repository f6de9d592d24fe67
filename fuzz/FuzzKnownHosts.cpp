// Fuzz target for the known-hosts reader: the first line of the input is
// the host name, the rest a known-hosts file. Every entry found holds a
// whole key of its type, lines are named in order within the text, and a
// line written for an entry (hashed) is read back as that entry.
#include "fuzz/FuzzCommon.h"
#include "sftp/KnownHostsFile.h"

#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const size_t newline = input.find('\n');
    const std::string_view name = input.substr(0, newline == std::string_view::npos ? 0 : newline);
    const std::string_view text = newline == std::string_view::npos ? input : input.substr(newline + 1);
    int lines = 0;
    for (char c : text)
        lines += c == '\n';
    lines += !text.empty() && text.back() != '\n';

    const KnownHostsLookup found = LookUpKnownHosts(text, name);
    int last = 0;
    for (const KnownHostsEntry& entry : found.Entries) {
        FUZZ_CHECK(entry.Line > last && entry.Line <= lines);
        last = entry.Line;
        FUZZ_CHECK(!entry.KeyType.empty() && !entry.Blob.empty());
        std::string again;
        FUZZ_CHECK(Base64Decode(Base64Encode(entry.Blob), again) && again == entry.Blob);
        FUZZ_CHECK(KeyBlobFingerprint(entry.Blob).size() == 7 + 43);
        const std::string line = KnownHostsEntryLine(name, entry.KeyType, entry.Blob, true);
        const KnownHostsLookup back = LookUpKnownHosts(line, name);
        FUZZ_CHECK(back.Entries.size() == 1 && back.Unreadable.empty());
        FUZZ_CHECK(back.Entries[0].Blob == entry.Blob && back.Entries[0].KeyType == entry.KeyType);
    }
    for (size_t k = 0; k < found.Unreadable.size(); ++k)
        FUZZ_CHECK(found.Unreadable[k] >= 1 && found.Unreadable[k] <= lines &&
                   (k == 0 || found.Unreadable[k] > found.Unreadable[k - 1]));
    // The host name's own patterns: a name matches itself unless it holds
    // pattern characters of its own.
    if (name.find_first_of(",!*?|") == std::string_view::npos)
        FUZZ_CHECK(KnownHostsPatternsMatch(name, name));
    return 0;
}
