// The known-hosts side of a libssh session, decided by this program's own
// readers rather than libssh's: which files and hashing apply to the host
// the session is set up for, and the host-key algorithms it asks for.
#pragma once

#include "sftp/SshConfig.h"

#include <libssh/libssh.h>

#include <string>

// The user's home folder: $HOME, else the password database's, else "/".
// Does not throw but bad_alloc.
std::string HomeDir();

// The session's known-hosts files and whether a saved key is hashed, from
// ~/.ssh/config (sshDir/config; "" means $HOME/.ssh) and the system's
// config as ssh reads them, for profileHost and the host, port and user the
// session now has. A non-empty globalKnownHosts replaces the global files.
// Does not throw but bad_alloc.
KnownHostsPlaces SessionKnownHostsPlaces(ssh_session s, const std::string& profileHost,
                                         const std::string& sshDir, const std::string& globalKnownHosts);

// Switches libssh's own reading of the known-hosts files off (it gives up
// on a file at one bad line, and leaks on a marked one) and asks first for
// the host-key algorithms of the keys those files list for the host, as
// ssh does, so a host with several keys offers the known one. A
// HostKeyAlgorithms of the config is left as it is. Call once the host,
// port and user are set. Does not throw but bad_alloc.
void PreferKnownHostKeys(ssh_session s, const std::string& profileHost, const std::string& sshDir,
                         const std::string& globalKnownHosts);
