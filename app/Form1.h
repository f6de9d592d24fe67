// The main window: the layout's components, the menus, the host profiles
// and the program-wide state of the viewer.
#pragma once

#include "fetch/FetchOutcome.h"
#include "profiles/TextList.h"

#include <QMainWindow>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class FindDialog;
class FollowCommand;
class PasswordSource;
class PasswordStore;
class QAction;
class QActionGroup;
class QCloseEvent;
class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QToolButton;
class QWidget;
class RemoteSource;
class RunningFetch;
class SjisMemo;
class TKZFTP;
namespace sjis {
struct FindOptions;
}
struct HostProfile;
struct FilterOptions;

// Where start-up looks for its files. The defaults are the program's own:
// the executable's directory and the library's file name; tests point them
// elsewhere.
struct StartupOptions {
    std::string ExeDir;                        // empty: the executable's directory
    std::string LibraryName = "NKF32.DLL";
    // Restore and save the window's size and position in the per-user
    // settings; tests turn it off so that runs do not affect one another.
    bool RememberGeometry = true;
    // Started from the desktop entry: downloads go to the user's data
    // directory instead of the current directory.
    bool DesktopStart = false;
};

class TForm1 : public QMainWindow {
    Q_OBJECT
public:
    // Builds the layout, then binds the library and reads the host list.
    // Throws when the host list cannot be opened (or the user's own cannot be
    // made) or profile 0 is short; when the library is missing it asks the
    // application to quit and returns.
    explicit TForm1(const StartupOptions& options = {}, QWidget* parent = nullptr);
    ~TForm1() override;

    // True when construction stopped because the library could not be loaded.
    bool TerminationRequested() const { return FTerminationRequested; }

    // Splits a text at every separator into HostFields (n separators give
    // n + 1 fields, empty ones included). With ':' (a profile line), a field
    // that begins with '[' keeps the colons up to its first ']'.
    void SplitFields(const std::string& text, char separator);
    // Puts field 5 of the selected profile into EdtFile; throws the list
    // index error for a short profile.
    void SetDefaultFile();
    // Shows a local file in Memo1: converted by CurrentEncoding (or by
    // detection), its last tailSize bytes (0: all) scrolled to the end; any
    // failure shows the box "失敗" instead. Returns the failure's text, empty
    // when the file is shown. The file is read aside while the window
    // answers (its status says "変換中" and how far); Esc or closing the
    // window stops that, showing nothing, with the status "中止" and no box
    // (DisplayWasStopped). Never throws.
    std::string ShowLocalFile(const std::string& fileName, int32_t tailSize);
    // True while ShowLocalFile reads a file, and when the last one was
    // stopped.
    bool DisplayRunning() const { return FDisplayRunning; }
    bool DisplayWasStopped() const { return FDisplayStopped; }
    // Opens the host-list file in the desktop's editor without waiting; an
    // opener that cannot start or ends with a failure is reported, naming
    // the file, when that becomes known.
    void inifile1Click();

    // Sets the menu bar's status line to text, always shown as plain text.
    // The one place every status notice goes through. Does not wait.
    void ShowStatus(const QString& text);

    // The editor command for a file: program and its arguments (the file's
    // full path as one argument).
    static QStringList EditorCommand(const std::string& path);

    // The layout.
    QWidget* Panel1 = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLineEdit* EdtGrep = nullptr;
    QLineEdit* EdtFile = nullptr;
    QComboBox* CmbHost = nullptr;
    QPushButton* Button1 = nullptr;
    QPushButton* Button2 = nullptr;
    // The filter field's drop-down of recent filters (EdtGrep is its edit),
    // the filter's toggles and the place its pattern errors are shown.
    QComboBox* CmbGrep = nullptr;
    QToolButton* BtnExclude = nullptr;
    QToolButton* BtnRegex = nullptr;
    QToolButton* BtnMatchCase = nullptr;
    QLabel* LblGrepError = nullptr;
    SjisMemo* Memo1 = nullptr;
    FindDialog* FindDialog1 = nullptr;
    TKZFTP* KZFTP1 = nullptr;

    QMenu* File1 = nullptr;
    QAction* mnGet10Ktail = nullptr;
    QAction* mnGetAll = nullptr;
    QMenu* N2 = nullptr;
    QActionGroup* EncodingGroup = nullptr;
    QAction* JIS1 = nullptr;
    QAction* EUC1 = nullptr;
    QAction* UTF81 = nullptr;
    QAction* Unicode1 = nullptr;
    QAction* SJIS1 = nullptr;
    QAction* N3 = nullptr;
    QAction* inifile1 = nullptr;
    QAction* MovePasswords1 = nullptr; // パスワードをキーリングへ移す…
    QAction* N1 = nullptr;
    QAction* Exit1 = nullptr;
    QMenu* Edit1 = nullptr;
    QAction* SelectAll1 = nullptr;
    QAction* Find1 = nullptr;
    QAction* FindNext1 = nullptr;
    QAction* FindPrevious1 = nullptr;
    QAction* Undo1 = nullptr;
    QAction* Redo1 = nullptr;
    QAction* FilterLines1 = nullptr;
    QAction* ExcludeFilter1 = nullptr;
    QAction* RegexFilter1 = nullptr;
    QAction* MatchCaseFilter1 = nullptr;
    QAction* ToggleMark1 = nullptr;
    QAction* NextMark1 = nullptr;
    QAction* PreviousMark1 = nullptr;
    QAction* FilterMarked1 = nullptr;
    QAction* SaveViewAs1 = nullptr;
    QAction* mnStatus = nullptr;
    QObject* StopKeys = nullptr; // takes Esc while a fetch runs

    // Program-wide state of the viewer.
    TextList HostList;
    TextList HostFields;
    std::string IniPath;
    // The host list is Shift_JIS rather than UTF-8; paths go back to the
    // server in the same encoding.
    bool HostListInShiftJis = false;
    std::string CurrentEncoding;
    std::string LastFile;
    int32_t LastTag = 0;
    // The Shift_JIS text of the line filter while one is applied to the view
    // (set by "&Grep", cleared by every new display).
    std::optional<std::string> AppliedFilter;
    // File → "Follow" (FollowCommand.cpp).
    FollowCommand* Follow1 = nullptr;

    // --- The fetch command (FetchCommand.cpp) ---

    // The fetch behind F5, Ctrl+F5, "&Get" and a change of profile:
    // downloads the selected profile's file and shows it with the tail size
    // of sender's tag; waits for the network with the window live. A fetch
    // asked for while one runs is refused quietly.
    void mnGetAllClick(QObject* sender);
    // One session with source (over KZFTP1 for an FTP profile): open (connect
    // and log in), download into the local copy (replaced only by a complete
    // file), close (log out); waits. The first failure is recorded for the
    // fetch's outcome. A failed log-in, an unreachable directory and a
    // failed download go no further; the session then still logs out. A
    // failure in the transfer-type step (a refused TYPE I, or "Not
    // Connected" after a failed FTP log-in) and a failed log-out are thrown
    // on. The connection is closed when it returns or throws.
    void FtpTransfer(RemoteSource& source, const HostProfile& profile, const std::string& directory,
                     const std::string& fileName);
    // The user chose another profile: its default file, then a fetch.
    void CmbHostChange();
    // True while a fetch runs.
    bool FetchRunning() const { return FFetchRunning; }
    // How the last ended fetch went (a running one is not in it yet).
    const FetchOutcome& LastFetch() const { return FLastFetch; }

    // --- Stopping a fetch (StopCommand.cpp, RunningFetch.cpp) ---

    // Esc and a click on mnStatus: ends the running fetch's wait at once;
    // the fetch then ends with nothing displayed and the status "中止".
    // Nothing when no fetch runs. Does not wait, does not throw.
    void StopFetch();
    // True when the last fetch was ended by StopFetch (false again when
    // the next fetch starts); LastFetch().Stopped says the same once the
    // fetch has ended.
    bool FetchWasStopped() const { return FFetchStopped; }

    // --- Passwords the host list leaves empty (PasswordCommands.cpp) ---

    // "パスワードをキーリングへ移す…": stores each password of the host list
    // in the keyring, then rewrites the file with those fields empty (or
    // leaves it untouched when any could not be stored) and reads it again;
    // a message box says what happened. Waits for the keyring. Throws
    // Exception when the file cannot be read or replaced.
    void MovePasswords1Click();

    // --- Profile settings (ProfileSettings.cpp) ---

    // The selected profile, read and checked; splits into HostFields. Throws
    // EListError for a short profile, EProfileError for a bad optional field.
    HostProfile SelectedProfile();
    // Selects the profile's encoding in the encoding menu when it names one,
    // at the first fetch after the profile was chosen.
    void SelectProfileEncoding(const HostProfile& profile);
    // Selects the encoding of the profile selected at start, when it is a
    // valid one. Never throws.
    void SelectStartProfileEncoding();

    // --- Find, find next, the line filter, the encoding menu and the small
    // commands (SearchCommands.cpp, FilterCommand.cpp, SmallCommands.cpp) ---

    // Searches Memo1 forward from behind its selection (or from the caret)
    // for findText, case-folded unless matchCase; selects the first match
    // and scrolls it into sight. Returns false when there is none, the caret
    // then standing where the search began. Does not wait.
    bool SearchMemo(const QString& findText, bool matchCase);
    // Closes the find dialog and searches with its text and match case;
    // shows "なし" when nothing is found. Waits only while that box is open.
    void FindNextMatch();
    // "&Find": opens the find dialog, or brings it to the top.
    void Find1Click();
    // "Find &Next": the dialog when its find text is empty, else FindNextMatch.
    void FindNext1Click();
    // The find dialog's "Find Next".
    void FindDialog1Find();
    // "&Grep": keeps the lines of Memo1 holding the text of EdtGrep; an empty
    // text shows LastFile again with LastTag and the encoding chosen now.
    void Button2Click();
    // The encoding items: CurrentEncoding becomes the item's caption and the
    // item is checked (a radio item unchecks the other radio items only).
    void EUC1Click(QAction* Sender);
    // "Select &All": selects the whole text of Memo1.
    void SelectAll1Click();
    // "E&xit": closes the main window, which ends the program.
    void Exit1Click();

    // --- Daily-use aids (FindOptionsCommands.cpp, FilterBar.cpp,
    // WindowTitle.cpp, WindowKeeping.cpp) ---

    // Searches Memo1 with the find dialog's options: Down from behind the
    // selection, Up from before it (the match then ends at or before that
    // point). A Down search from the very end of the text, where nothing can
    // follow, starts at the first line shown instead. Selects and scrolls to
    // the match; false when there is none. Does not wait.
    bool SearchMemoWith(const QString& findText, const sjis::FindOptions& options);
    // "Find &Previous" (Shift+F3): "Find &Next" upward whatever the dialog's
    // direction. Waits only while the "なし" box is open.
    void FindPrevious1Click();
    // "Filter lines…": shows the filter field and its button with the focus
    // in the field, or hides them again (the view keeps what it shows).
    void FilterLines1Click();
    // Shows ShownLabel, ShownPath and the encoding used (none: left out) in
    // the window title.
    void ShowWindowTitle(const std::string& encodingUsed);
    // ShowWindowTitle with the profile's label and the File field as they
    // are now: what a display just read.
    void TitleAfterDisplay(const std::string& encodingUsed);
    QString ShownLabel;
    QString ShownPath;
    std::string ShownEncoding;

    // --- Working a log (LogTools.cpp, SaveView.cpp) ---

    // The filter's toggles as they stand.
    FilterOptions CurrentFilterOptions() const;
    // A toggle changed: a filter applied is applied again, from the whole
    // text, with the new options. Waits while it filters.
    void FilterOptionChanged();
    // Says beside the filter field, in red, that the pattern was too
    // complex for a line (the view left as it was).
    void ShowFilterTooComplex();
    // The view's own filter ended without its lines (Esc, or too complex).
    void FilterDropped(bool tooComplex);
    // Puts text first in the filter field's drop-down (at most
    // MaxFilterHistory kept), saved in the settings when the window keeps
    // them.
    void RememberFilter(const QString& text);
    static constexpr int MaxFilterHistory = 20;
    static const char* const FilterHistoryKey;
    // "Filter to marked lines": shows only the marked lines; the status
    // line says so when there are none.
    void FilterMarked1Click();
    // "Save view as…": asks for a name and an encoding, then SaveView.
    // Waits while the dialog is open.
    void SaveViewAs1Click();
    // Writes the lines the view shows (all of them) to path, in UTF-8 or as
    // the view's Shift_JIS bytes, through a temporary file renamed into
    // place; a failure shows an error report naming the path and leaves no
    // file behind. Returns whether it was written. Does not throw.
    bool SaveView(const std::string& path, bool utf8);
    // The name "Save view as…" offers: the local file's name with
    // "-view.log" behind it, in the download directory.
    QString SaveViewDefaultPath() const;

private:
    // Connects the commands above to their menu items, button and dialog.
    void BindSearchCommands();
    // Adds the daily-use menu items, keys, highlighting, panel layout and
    // remembered geometry (DailyUse.cpp).
    void BindDailyUse(const StartupOptions& options);
    // Adds the filter's toggles and drop-down, the marks and "Save view
    // as…" with their menu items (LogTools.cpp).
    void BindLogTools(bool rememberSettings);
    bool FRememberSettings = false;
    // --- end of find, filter and small commands ---

protected:
    // Closing the window stops a running fetch first.
    void closeEvent(QCloseEvent* event) override;

private:
    friend class RunningFetch;
    // Connects Esc (while a fetch runs) and mnStatus to StopFetch.
    void BindStopCommand();
    // Enables or disables the commands that start a fetch (the stop keys
    // the other way round).
    void SetFetchControlsEnabled(bool enabled);

    friend class FollowCommand;   // a refresh runs as a fetch does
    void BindPasswordCommands();
    // Answers source's password questions: this run's memory, the keyring,
    // else the password dialog; a cancel stops the fetch.
    void AnswerPasswords(RemoteSource& source);
    // The keyring and the source of the passwords the host list leaves
    // empty, for the whole run.
    std::unique_ptr<PasswordStore> FKeyring;
    std::unique_ptr<PasswordSource> FPasswords;
    void BuildLayout();
    void BuildMenu();
    // Makes Ctrl+A select the view's text wherever the focus is.
    bool eventFilter(QObject* watched, QEvent* event) override;

    // The fetch's steps after "FTP..." (FetchCommand.cpp); running ends it
    // quietly when the user stops it.
    void FetchAndShow(int32_t tailSize, RunningFetch& running);
    // Ends a fetch: its outcome becomes LastFetch and the status line shows
    // its notice (empty after success).
    void EndFetch();
    // Closes KZFTP1's control connection, logging out when it is in step;
    // never throws.
    void CloseControlConnection();
    bool FTerminationRequested = false;
    bool FDisplayRunning = false;
    bool FDisplayStopped = false;
    // Stops the display that runs; empty when none does.
    std::function<void()> FStopDisplay;
    bool FFetchRunning = false;
    bool FFetchStopped = false;
    // The network part of a fetch runs: a stop can end it.
    bool FStopArmed = false;
    // The remote source the running fetch or refresh talks through, which a
    // stop reaches; null between fetches.
    RemoteSource* FRunningSource = nullptr;
    // The running fetch's outcome so far, and the last ended one's.
    FetchOutcome FFetch;
    FetchOutcome FLastFetch;
    // The step the running fetch is in, for a failure that leaves it.
    FetchStep FFetchStep = FetchStep::Profile;
    // The selected profile's encoding is still to be applied.
    bool FProfileEncodingPending = false;
};
