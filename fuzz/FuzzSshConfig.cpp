// Fuzz target for the ssh config reader (Include not followed): any text
// is read without fault, and reading it twice gives what reading it once
// does (the first value obtained wins).
#include "fuzz/FuzzCommon.h"
#include "sftp/SshConfig.h"

#include <string_view>

namespace {

SshConfigSettings Read(std::string_view text, int times)
{
    SshConfigQuery query;
    query.Host = "logs";
    query.HostName = "192.0.2.7";
    query.User = "alice";
    query.LocalUser = "bob";
    query.HomeDir = "/home/bob";
    SshConfigReader reader(query);
    reader.FollowIncludes = false;
    for (int k = 0; k < times; ++k)
        reader.ReadText(text, "config", "/nowhere");
    return reader.Settings();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const SshConfigSettings once = Read(text, 1);
    const SshConfigSettings twice = Read(text, 2);
    FUZZ_CHECK(once.UserKnownHostsFiles == twice.UserKnownHostsFiles);
    FUZZ_CHECK(once.GlobalKnownHostsFiles == twice.GlobalKnownHostsFiles);
    FUZZ_CHECK(once.HashKnownHosts == twice.HashKnownHosts);
    FUZZ_CHECK(once.HostKeyAlgorithmsSet == twice.HostKeyAlgorithmsSet);
    return 0;
}
