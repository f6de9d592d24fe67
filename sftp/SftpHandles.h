// Owners of libssh's handles: each frees its handle on every path, in the
// order libssh needs (a file before its SFTP session, that before the SSH
// session).
#pragma once

#include <libssh/libssh.h>
#include <libssh/sftp.h>

#include <memory>

struct SshSessionFree {
    void operator()(ssh_session s) const
    {
        if (ssh_is_connected(s))
            ssh_disconnect(s);
        ssh_free(s);
    }
};
struct SftpSessionFree {
    void operator()(sftp_session s) const { sftp_free(s); }
};
struct SftpFileFree {
    void operator()(sftp_file f) const { sftp_close(f); }
};
struct SshKeyFree {
    void operator()(ssh_key k) const { ssh_key_free(k); }
};
struct SftpAttributesFree {
    void operator()(sftp_attributes a) const { sftp_attributes_free(a); }
};
struct SshKnownHostsEntryFree {
    void operator()(ssh_knownhosts_entry* e) const { ssh_knownhosts_entry_free(e); }
};

using SshSessionHolder = std::unique_ptr<ssh_session_struct, SshSessionFree>;
using SftpSessionHolder = std::unique_ptr<sftp_session_struct, SftpSessionFree>;
using SftpFileHolder = std::unique_ptr<sftp_file_struct, SftpFileFree>;
using SshKeyHolder = std::unique_ptr<ssh_key_struct, SshKeyFree>;
using SftpAttributesHolder = std::unique_ptr<sftp_attributes_struct, SftpAttributesFree>;
using SshKnownHostsEntryHolder = std::unique_ptr<ssh_knownhosts_entry, SshKnownHostsEntryFree>;
