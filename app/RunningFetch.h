// The window while a fetch runs: the commands that would start another
// fetch are disabled, Esc and the status item stop it, and the status line
// follows its progress. One RunningFetch lives for the whole of a fetch.
#pragma once

#include "fetch/FetchProgress.h"

#include <functional>

class RemoteSource;
class TForm1;

class RunningFetch {
public:
    // Disables F5, Ctrl+F5, "&Get" and the Host drop-down, arms the stop
    // keys and shows "FTP... 接続". Does not wait.
    explicit RunningFetch(TForm1& form);
    // Lets go of a watched source, enables the controls again and disarms
    // the stop keys. Does not throw.
    ~RunningFetch();
    RunningFetch(const RunningFetch&) = delete;
    RunningFetch& operator=(const RunningFetch&) = delete;

    // Follows source while it works: its steps become the fetch's step,
    // its progress the status line's ("SFTP..." for an SFTP source), a stop
    // reaches it, and its questions (an unknown host key, a key file's
    // passphrase) are asked in the window's dialogs. Does not wait.
    void Watch(RemoteSource& source);
    // Lets go of the watched source before it goes away: its progress
    // callbacks are cleared and a stop no longer reaches it. Does not throw.
    void Unwatch();

    // Runs the network part of the fetch; waits. Returns true when it ran to
    // its end without a stop. After a stop, whatever it threw is dropped,
    // the connection is closed without QUIT, the fetch's outcome records the
    // stop (its notice "中止") and the answer is false. Failures without a
    // stop are thrown on.
    bool Transfer(const std::function<void()>& body);

private:
    // Ends the stop: the connection closed, the stop recorded.
    void EndStopped();

    TForm1& FForm;
    FetchProgress FProgress;
    RemoteSource* FSource = nullptr;
};
