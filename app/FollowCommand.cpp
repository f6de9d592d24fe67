#include "app/FollowCommand.h"

#include "app/Form1.h"
#include "fetch/RemoteSource.h"
#include "profiles/HostProfile.h"
#include "codec/HostText.h"
#include "app/RunningFetch.h"
#include "view/SjisMemo.h"
#include "app/Tag.h"
#include "ftp/TKZFTP.h"

#include <QAction>
#include <QComboBox>
#include <QEvent>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QScopeGuard>
#include <QTime>

#include <optional>

namespace {

// The text of the exception being handled.
std::string CurrentFailureText()
{
    try {
        throw;
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "?";
    }
}

} // namespace

FollowCommand::FollowCommand(TForm1& form) : QObject(&form), Form(form)
{
    FAction = new QAction(QStringLiteral("Follow"), &form);
    FAction->setObjectName("mnFollow");
    FAction->setShortcut(QKeySequence(Qt::Key_F6));
    FAction->setCheckable(true);
    // Right behind the two fetch commands it repeats.
    QAction* before = form.N2 ? form.N2->menuAction() : nullptr;
    form.File1->insertAction(before, FAction);
    connect(FAction, &QAction::toggled, this, [this](bool on) {
        if (on)
            Start();
        else
            Stop(QString());
    });
    FTimer.setSingleShot(true);
    connect(&FTimer, &QTimer::timeout, this, &FollowCommand::Refresh);
    form.installEventFilter(this);
    // The window's FTP component goes before this command when the window
    // is destroyed: an FTP session on it is let go, not closed through it.
    connect(form.KZFTP1, &QObject::destroyed, this, [this] {
        if (FSource)
            FSource->Forget();
        FSource.reset();
    });
}

FollowCommand::~FollowCommand() = default;

bool FollowCommand::SessionOpen() const
{
    return FSource && FSource->IsOpen();
}

bool FollowCommand::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == &Form && event->type() == QEvent::Close && FFollowing) {
        // A refresh waiting for the network is stopped by the window's own
        // close; the idle session closes without waiting for the goodbye.
        if (!FRefreshing)
            CloseSession(true);
        Stop();
    }
    return QObject::eventFilter(watched, event);
}

bool FollowCommand::TargetFromForm(int tailSize, Target& target)
{
    const int index = Form.CmbHost->currentIndex();
    if (index == -1)
        return false;
    Form.SplitFields(QStringToHostText(Form.EdtFile->text(), Form.HostListInShiftJis), '/');
    target.Directory.clear();
    for (int i = 0; i + 1 < Form.HostFields.Count(); ++i)
        target.Directory += Form.HostFields[i] + "/";
    target.FileName = Form.HostFields[Form.HostFields.Count() - 1];
    HostProfile profile;
    try {
        profile = Form.SelectedProfile();
    } catch (const std::exception&) {
        return false;   // the fetch itself reports a bad profile
    }
    target.Profile = profile;
    target.TailSize = tailSize;
    return true;
}

void FollowCommand::FetchStarting(QObject* sender)
{
    if (FFollowing)
        Stop(QString());
    if (Form.FetchRunning())
        return;
    Target target;
    FHaveTarget = TargetFromForm(Tag(sender), target);
    FTarget = target;
}

void FollowCommand::Start()
{
    if (FFollowing)
        return;
    if (!FHaveTarget) {
        Target target;
        FHaveTarget = TargetFromForm(Tag(Form.Button1), target);
        FTarget = target;
    }
    if (!FHaveTarget) {
        const QSignalBlocker quiet(FAction);
        FAction->setChecked(false);
        return;
    }
    FFollowing = true;
    {
        const QSignalBlocker quiet(FAction);
        FAction->setChecked(true);
    }
    // What the last session learnt of the copy and the view is not trusted
    // across a pause: the first refresh checks both again.
    FCopy = FollowCopyState{};
    FView = FollowViewState{};
    FFailures = 0;
    FTimer.start(0);
}

void FollowCommand::CloseSession(bool quickly)
{
    if (!SessionOpen())
        return;
    try {
        FSource->Close(quickly);
    } catch (...) {
    }
}

void FollowCommand::EndSession()
{
    if (!SessionOpen())
        return;
    if (Form.FetchRunning()) {
        // A fetch of the user's own holds the FTP component and has closed
        // the session already.
        FSource->Forget();
        return;
    }
    // The goodbye waits for the server: like a fetch, it shows in the
    // controls and the status line, and Esc or a close ends it at once.
    const QString shown = Form.mnStatus->text().replace(QStringLiteral("&&"), QStringLiteral("&"));
    Form.FFetchRunning = true;
    {
        RunningFetch running(Form);
        running.Watch(*FSource);
        Form.ShowStatus(QString::fromUtf8(ClosingText));
        running.Transfer([this] { CloseSession(); });
    }
    Form.FFetchRunning = false;
    Form.ShowStatus(shown);
}

void FollowCommand::Stop(const QString& status)
{
    FTimer.stop();
    // A refresh that runs closes its session itself when it ends.
    if (!FRefreshing)
        EndSession();
    if (FFollowing) {
        FFollowing = false;
        const QSignalBlocker quiet(FAction);
        FAction->setChecked(false);
    }
    if (!status.isNull())
        SetStatus(status);
}

void FollowCommand::SetStatus(const QString& text)
{
    Form.ShowStatus(text);
}

QString FollowCommand::AddedText(int64_t bytes)
{
    if (bytes < 1024)
        return QStringLiteral("+%1 B").arg(bytes);
    if (bytes < 1024 * 1024)
        return QStringLiteral("+%1 KB").arg(double(bytes) / 1024, 0, 'f', 1);
    return QStringLiteral("+%1 MB").arg(double(bytes) / (1024 * 1024), 0, 'f', 1);
}

void FollowCommand::Failed(const QString& notice)
{
    ++FFailures;
    if (FFailures >= FailureLimit) {
        Stop(QString::fromUtf8(GaveUpText));
        return;
    }
    SetStatus(notice);
}

void FollowCommand::Refresh()
{
    if (!FFollowing || FRefreshing)
        return;
    // A fetch of the user's own holds the one FTP component, and a display
    // reads the copy: try again later.
    if (Form.FetchRunning() || Form.DisplayRunning()) {
        FTimer.start(IntervalMs);
        return;
    }
    FRefreshing = true;
    Form.FFetchRunning = true;
    const auto ended = qScopeGuard([this] {
        Form.FFetchRunning = false;
        FRefreshing = false;
        if (FFollowing)
            FTimer.start(IntervalMs);
    });
    // Controls of a running fetch, Esc and the progress texts, as for a fetch.
    std::optional<RunningFetch> running;
    running.emplace(Form);

    // A new source when no session stands, so a profile changed since the
    // last one gets its own protocol.
    if (!SessionOpen())
        FSource = MakeRemoteSource(FTarget.Profile, *Form.KZFTP1);
    RemoteSource& source = *FSource;
    running->Watch(source);

    RefreshResult result;
    bool stopped = false;
    FetchOutcome outcome;
    // The session of the last refresh is used again while it stands; a
    // failure on it (the server may have dropped an idle connection) gets
    // one more try on a fresh one.
    running->Transfer([&] {
        for (const bool fresh : {!source.IsOpen(), true}) {
            outcome = {};
            try {
                if (fresh) {
                    CloseSession();
                    source.Open(FTarget.Profile);
                }
                result = source.Refresh(FTarget.Directory, FTarget.FileName, FTarget.FileName, FCopy);
            } catch (...) {
                outcome.NoteFailure(source.Step(), CurrentFailureText());
            }
            stopped = Form.FFetchStopped;
            if (!outcome.Failed || stopped || fresh)
                break;
        }
        // Ending the session belongs to the refresh: the wait for the
        // server's goodbye runs with the controls busy and ends at Esc or a
        // close.
        if (!stopped && (outcome.Failed || !FFollowing))
            CloseSession();
    });
    stopped = Form.FFetchStopped;
    // A stopped session has been closed without a goodbye.
    running.reset();
    FLastBytesReceived = result.BytesReceived;

    FLastDisplayIncremental = false;
    if (!outcome.Failed && result.Kind != RefreshKind::Unchanged) {
        try {
            const FollowDisplayCounts counts =
                ShowFollowedFile(*Form.Memo1, FView, FTarget.FileName, FTarget.TailSize, Form.CurrentEncoding,
                                 Form.AppliedFilter, result.Kind == RefreshKind::Whole, result.OldSize);
            FLastDisplayIncremental = counts.Incremental;
        } catch (...) {
            FView = FollowViewState{};
            outcome.NoteFailure(FetchStep::Display, CurrentFailureText());
        }
    }
    // A refresh is a fetch: its outcome is the last fetch's.
    Form.FLastFetch = outcome;

    if (stopped) {
        Stop(QString::fromUtf8(StoppedText));
        return;
    }
    if (outcome.Failed) {
        if (FFollowing)
            Failed(outcome.Notice());
        else
            SetStatus(outcome.Notice());
        return;
    }
    FFailures = 0;
    if (!FFollowing) {
        SetStatus(QString());
        return;
    }
    const QString time = QTime::currentTime().toString(QStringLiteral("HH:mm:ss"));
    const QString change = result.Kind == RefreshKind::Whole
        ? QStringLiteral("再取得 ") + AddedText(result.NewSize).mid(1)
        : AddedText(result.NewSize - result.OldSize);
    SetStatus(QString::fromUtf8(FollowingText) + ' ' + time + ' ' + change);
}
