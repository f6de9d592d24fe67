// Fuzz target for emptying a host list's password fields: only the bytes of
// the passwords it reports go, lines keep their count, and a second pass
// finds nothing and changes nothing, whichever encoding the list is read in.
#include "fuzz/FuzzCommon.h"
#include "keyring/MovePasswords.h"
#include "profiles/TextList.h"

#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string in(reinterpret_cast<const char*>(data), size);
    for (const bool shiftJis : {false, true}) {
        std::vector<HostListPassword> found;
        const std::string out = HostListWithoutPasswords(in, shiftJis, found);
        size_t removed = 0;
        int lastLine = -1;
        for (const HostListPassword& entry : found) {
            FUZZ_CHECK(!entry.Profile.Password.empty());
            FUZZ_CHECK(entry.Line > lastLine);
            lastLine = entry.Line;
            removed += entry.Profile.Password.size();
        }
        FUZZ_CHECK(out.size() + removed == in.size());
        TextList before, after;
        before.SetText(in);
        after.SetText(out);
        FUZZ_CHECK(before.Count() == after.Count());
        FUZZ_CHECK(lastLine < before.Count());
        std::vector<HostListPassword> again;
        FUZZ_CHECK(HostListWithoutPasswords(out, shiftJis, again) == out);
        FUZZ_CHECK(again.empty());
    }
    return 0;
}
