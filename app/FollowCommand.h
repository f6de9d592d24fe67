// File → "Follow" (F6): repeats the last fetch (same profile, path and tail
// mode) every IntervalMs until it is unchecked. Each refresh fetches only the
// bytes the log gained (IncrementalFetch) and shows them keeping the user's
// place (FollowDisplay); the status line says when the last refresh ran and
// what it added. A user fetch, another profile or closing the window ends
// following; so does a stopped refresh and FailureLimit failed ones in a row.
#pragma once

#include "app/FollowDisplay.h"
#include "profiles/HostProfile.h"
#include "ftp/IncrementalFetch.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <memory>
#include <string>

class QAction;
class RemoteSource;
class TForm1;

class FollowCommand : public QObject {
    Q_OBJECT
public:
    static constexpr int DefaultIntervalMs = 10000;
    static constexpr int FailureLimit = 5;
    // Status texts.
    static constexpr const char* FollowingText = "追跡中";
    static constexpr const char* GaveUpText = "追跡停止: 5回続けて失敗";
    static constexpr const char* StoppedText = "追跡停止";
    // While the session kept between refreshes logs out.
    static constexpr const char* ClosingText = "FTP... 切断";

    // Adds the checkable "Follow" item to the form's File menu. Does not throw.
    explicit FollowCommand(TForm1& form);
    ~FollowCommand() override;

    QAction* Action() const { return FAction; }
    bool Following() const { return FFollowing; }
    // Time between the end of one refresh and the start of the next.
    int IntervalMs = DefaultIntervalMs;

    // Starts following the last fetch (or, before any, the selected profile
    // and path with the "&Get" button's tail mode); the first refresh runs
    // from the event loop at once. Does not wait.
    void Start();
    // Ends following; status replaces the status line unless it is null.
    // Waits (stoppable, the controls busy) while an idle session logs out;
    // a refresh that runs goes on to its end.
    void Stop(const QString& status = QString());
    // A user fetch is starting (sender's tag is its tail size): following
    // ends, and unless another fetch is still running its profile, path and
    // tail mode become the ones a later Follow repeats. Does not wait.
    void FetchStarting(QObject* sender);
    // One refresh now: a session (FTP or SFTP, as the profile says) that
    // brings the local copy up to date, then the display. Waits for the network with the window live;
    // does nothing while a fetch runs. Never throws.
    void Refresh();

    // "+2.1 KB": the bytes a refresh added, for the status line.
    static QString AddedText(int64_t bytes);
    // Bytes of the last refresh over the network, and whether its display
    // converted only the new bytes (for tests and the benchmark).
    int64_t LastBytesReceived() const { return FLastBytesReceived; }
    bool LastDisplayIncremental() const { return FLastDisplayIncremental; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // What a refresh repeats: the whole profile (every connection field,
    // its security included), the path and the tail mode.
    struct Target {
        HostProfile Profile;
        std::string Directory, FileName;
        int TailSize = 0;
    };
    bool TargetFromForm(int tailSize, Target& target);
    void Failed(const QString& notice);
    // Logs out of the session kept between refreshes, if one is open;
    // quickly: closes it without waiting for the server.
    void CloseSession(bool quickly = false);
    // CloseSession with the window busy as during a fetch, stoppable; the
    // status line shows what it showed before once it is done. Waits.
    void EndSession();
    void SetStatus(const QString& text);

    TForm1& Form;
    QAction* FAction = nullptr;
    QTimer FTimer;
    bool FFollowing = false;
    bool FRefreshing = false;
    // The session of the last refresh is kept open while following, so a
    // refresh costs no log-in; made for the target's protocol when none
    // stands.
    std::unique_ptr<RemoteSource> FSource;
    bool SessionOpen() const;
    bool FHaveTarget = false;
    Target FTarget;
    FollowCopyState FCopy;
    FollowViewState FView;
    int FFailures = 0;
    int64_t FLastBytesReceived = 0;
    bool FLastDisplayIncremental = false;
};
