#include "app/Form1.h"

#include "app/FindDialog.h"
#include "app/ErrorReport.h"
#include "app/FollowCommand.h"
#include "view/Fonts.h"
#include "app/Gra.h"
#include "codec/HostText.h"
#include "profiles/InstalledUse.h"
#include "view/SjisMemo.h"
#include "app/Tag.h"
#include "ftp/TKZFTP.h"
#include "keyring/PasswordSource.h"

#include <QAction>
#include <QActionGroup>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QProcess>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

// Reads a whole file while holding a shared lock, so writers are kept out.
// Throws EFOpenError naming the path when it cannot be opened.
std::string ReadWholeFile(const std::string& path)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw EFOpenError(path);
    ::flock(fd, LOCK_SH | LOCK_NB);
    std::string data;
    char chunk[65536];
    for (;;) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ::close(fd);
            throw EFOpenError(path);
        }
        if (n == 0)
            break;
        data.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return data;
}

void SetFieldColours(QWidget* field)
{
    QPalette pal = field->palette();
    pal.setColor(QPalette::Base, Qt::black);
    pal.setColor(QPalette::Window, Qt::black);
    pal.setColor(QPalette::Button, Qt::black);
    pal.setColor(QPalette::Text, Qt::white);
    pal.setColor(QPalette::WindowText, Qt::white);
    pal.setColor(QPalette::ButtonText, Qt::white);
    field->setPalette(pal);
    field->setAutoFillBackground(true);
}

} // namespace

TForm1::TForm1(const StartupOptions& options, QWidget* parent) : QMainWindow(parent)
{
    BuildLayout();
    BuildMenu();
    BindDailyUse(options);

    std::string dir = options.ExeDir.empty()
        ? QCoreApplication::applicationDirPath().toStdString()
        : options.ExeDir;
    if (!dir.empty() && dir.back() != '/')
        dir += '/';

    Gra& gra = TheGra();
    if (!gra.Load(options.LibraryName, dir)) {
        FTerminationRequested = true;
        QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit,
                                  Qt::QueuedConnection);
        return;
    }
    gra.ResolveEntryPoints();

    HostList.Clear();
    HostFields.Clear();
    IniPath = HostListPath(dir);
    const std::string hostListBytes = ReadWholeFile(IniPath);
    HostListInShiftJis = !IsValidUtf8(hostListBytes);
    HostList.SetText(hostListBytes);

    CmbHost->clear();
    for (int i = 0; i < HostList.Count(); ++i) {
        SplitFields(HostList[i], ':');
        CmbHost->addItem(HostTextToQString(HostFields[0], HostListInShiftJis));
    }
    {
        // A selection made by the program is not the user's: no fetch.
        const QSignalBlocker quiet(CmbHost);
        CmbHost->setCurrentIndex(0);
    }
    SetDefaultFile();
    CurrentEncoding = "EUC";
    SelectStartProfileEncoding();
}

TForm1::~TForm1() = default;

void TForm1::BuildLayout()
{
    setWindowTitle(QStringLiteral("wisplog"));
    setFont(WindowFont());
    QPalette windowPalette = palette();
    windowPalette.setColor(QPalette::WindowText, Qt::white);
    setPalette(windowPalette);

    auto* client = new QWidget(this);
    client->setObjectName("ClientArea");
    auto* column = new QVBoxLayout(client);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    setCentralWidget(client);

    Memo1 = new SjisMemo(client);
    Memo1->setObjectName("Memo1");
    // Names assistive technology reads for controls without a caption.
    Memo1->setAccessibleName(QStringLiteral("ログ"));

    Panel1 = new QWidget(client);
    Panel1->setObjectName("Panel1");
    Panel1->setFixedHeight(19);
    column->addWidget(Panel1);
    column->addWidget(Memo1, 1);

    const QFont labelFont = WindowFont();
    Label1 = new QLabel(QStringLiteral("Host"), Panel1);
    Label1->setObjectName("Label1");
    Label1->setGeometry(2, 3, 24, 12);
    Label2 = new QLabel(QStringLiteral("File"), Panel1);
    Label2->setObjectName("Label2");
    Label2->setGeometry(198, 3, 19, 12);
    for (QLabel* label : {Label1, Label2}) {
        label->setFont(labelFont);
        QPalette pal = label->palette();
        pal.setColor(QPalette::WindowText, Qt::black);
        label->setPalette(pal);
        // Labels size themselves to their caption, as the design's do.
        label->resize(std::max(label->width(), label->sizeHint().width()), label->height());
    }

    EdtGrep = new QLineEdit(Panel1);
    EdtGrep->setObjectName("EdtGrep");
    EdtGrep->setGeometry(544, 0, 76, 20);
    EdtGrep->setAccessibleName(QStringLiteral("絞込"));
    EdtGrep->setVisible(false);

    EdtFile = new QLineEdit(QStringLiteral("EdtFile"), Panel1);
    EdtFile->setObjectName("EdtFile");
    EdtFile->setGeometry(222, 0, 363, 20);
    EdtFile->setAccessibleName(Label2->text());

    CmbHost = new QComboBox(Panel1);
    CmbHost->setObjectName("CmbHost");
    CmbHost->setEditable(false);
    CmbHost->setGeometry(30, 0, 163, 20);
    CmbHost->setAccessibleName(Label1->text());
    // The captions label their fields for assistive technology too.
    Label1->setBuddy(CmbHost);
    Label2->setBuddy(EdtFile);
    SetTag(CmbHost, 0);

    Button1 = new QPushButton(QStringLiteral("&Get"), Panel1);
    Button1->setObjectName("Button1");
    Button1->setGeometry(588, 0, 31, 19);
    SetTag(Button1, 10000);

    Button2 = new QPushButton(QStringLiteral("&Grep"), Panel1);
    Button2->setObjectName("Button2");
    Button2->setGeometry(622, 0, 39, 19);
    Button2->setVisible(false);

    for (QWidget* field : {static_cast<QWidget*>(EdtGrep), static_cast<QWidget*>(EdtFile),
                           static_cast<QWidget*>(CmbHost)})
        SetFieldColours(field);
    // Fields that would take Ctrl+A for themselves (see eventFilter).
    for (QWidget* field : {static_cast<QWidget*>(EdtGrep), static_cast<QWidget*>(EdtFile)})
        field->installEventFilter(this);

    // Tab leaves the view for the next field, as in a multi-line edit.
    Memo1->setTabChangesFocus(true);
    // Tab order: the view first, then the panel's fields in their order.
    setTabOrder(Memo1, EdtFile);
    setTabOrder(EdtFile, CmbHost);
    setTabOrder(CmbHost, Button1);
    setTabOrder(Button1, EdtGrep);
    setTabOrder(EdtGrep, Button2);

    FindDialog1 = new FindDialog(this);
    FindDialog1->setObjectName("FindDialog1");

    // The FTP component with its design settings; no handler is attached.
    KZFTP1 = new TKZFTP(this);
    KZFTP1->setObjectName("KZFTP1");
    KZFTP1->Port = 21;
    KZFTP1->TimeOut = 10000;
    KZFTP1->ReportLevel = 0;
    KZFTP1->Vendor = 2411;
    KZFTP1->ParseList = false;
    KZFTP1->ProxyPort = 0;
    KZFTP1->Passive = true;
    KZFTP1->FirewallType = FTUser;
    KZFTP1->FWAuthenticate = false;

    connect(Button1, &QPushButton::clicked, this, [this] { mnGetAllClick(Button1); });
    connect(CmbHost, &QComboBox::activated, this, [this] { CmbHostChange(); });

    // Design size: a client area of 632 x 152 below the menu bar.
    resize(632, 152 + menuBar()->sizeHint().height());
}

void TForm1::BuildMenu()
{
    QMenuBar* bar = menuBar();
    bar->setObjectName("MainMenu1");

    auto item = [this](QMenu* menu, const char* name, const QString& caption,
                       const QKeySequence& shortcut = {}, int tag = 0) {
        QAction* action = menu->addAction(caption);
        action->setObjectName(name);
        action->setShortcut(shortcut);
        SetTag(action, tag);
        return action;
    };

    File1 = bar->addMenu(QStringLiteral("&File"));
    File1->setObjectName("File1");
    mnGet10Ktail = item(File1, "mnGet10Ktail", QStringLiteral("&Get 10k tail"),
                        QKeySequence(Qt::Key_F5), 10000);
    mnGetAll = item(File1, "mnGetAll", QStringLiteral("Get &all"),
                    QKeySequence(Qt::CTRL | Qt::Key_F5), 0);
    for (QAction* fetch : {mnGet10Ktail, mnGetAll})
        connect(fetch, &QAction::triggered, this, [this, fetch] { mnGetAllClick(fetch); });

    N2 = File1->addMenu(QStringLiteral("漢字ｺｰﾄﾞ"));
    N2->setObjectName("N2");
    EncodingGroup = new QActionGroup(this);
    EncodingGroup->setExclusive(true);
    JIS1 = item(N2, "JIS1", QStringLiteral("JIS"));
    EUC1 = item(N2, "EUC1", QStringLiteral("EUC"));
    UTF81 = item(N2, "UTF81", QStringLiteral("UTF8"));
    Unicode1 = item(N2, "Unicode1", QStringLiteral("Unicode"));
    SJIS1 = item(N2, "SJIS1", QStringLiteral("SJIS"));
    for (QAction* radio : {JIS1, EUC1, UTF81, Unicode1, SJIS1}) {
        radio->setCheckable(true);
        EncodingGroup->addAction(radio);
    }
    EUC1->setChecked(true);
    N3 = item(N2, "N3", QStringLiteral("自動"));
    N3->setCheckable(true);

    inifile1 = item(File1, "inifile1", QStringLiteral("&ini file"));
    connect(inifile1, &QAction::triggered, this, &TForm1::inifile1Click);
    MovePasswords1 = item(File1, "MovePasswords1", QStringLiteral("パスワードをキーリングへ移す…"));
    N1 = File1->addSeparator();
    N1->setObjectName("N1");
    Exit1 = item(File1, "Exit1", QStringLiteral("E&xit"));

    Edit1 = bar->addMenu(QStringLiteral("&Edit"));
    Edit1->setObjectName("Edit1");
    SelectAll1 = item(Edit1, "SelectAll1", QStringLiteral("Select &All"),
                      QKeySequence(Qt::CTRL | Qt::Key_A));
    Find1 = item(Edit1, "Find1", QStringLiteral("&Find"), QKeySequence(Qt::ALT | Qt::Key_S));
    FindNext1 = item(Edit1, "FindNext1", QStringLiteral("Find &Next"),
                     QKeySequence(Qt::CTRL | Qt::Key_L));

    // An empty top-level item whose caption serves as the status line.
    mnStatus = bar->addAction(QString());
    mnStatus->setObjectName("mnStatus");

    BindSearchCommands();
    BindStopCommand();
    BindPasswordCommands();
    Follow1 = new FollowCommand(*this);
}

void TForm1::SplitFields(const std::string& text, char separator)
{
    HostFields.Clear();
    std::size_t start = 0;
    for (;;) {
        // In a profile line a field that begins with '[' (an IPv6 address)
        // runs to its ']', colons included. Without a ']' the field ends at
        // the next colon as any other; the profile check then refuses it.
        std::size_t from = start;
        if (separator == ':' && start < text.size() && text[start] == '[') {
            const std::size_t close = text.find(']', start);
            if (close != std::string::npos)
                from = close;
        }
        const std::size_t at = text.find(separator, from);
        if (at == std::string::npos)
            break;
        HostFields.Add(text.substr(start, at - start));
        start = at + 1;
    }
    HostFields.Add(text.substr(start));
}

void TForm1::SetDefaultFile()
{
    const int index = CmbHost->currentIndex();
    if (index == -1)
        return;
    SplitFields(HostList[index], ':');
    EdtFile->setText(HostTextToQString(HostFields[5], HostListInShiftJis));
}

QStringList TForm1::EditorCommand(const std::string& path)
{
    return {QStringLiteral("xdg-open"), QString::fromStdString(path)};
}

void TForm1::inifile1Click()
{
    const QStringList command = EditorCommand(IniPath);
    // Owned by the application, not the window: an opener still running
    // when the window closes is not ended with it. Freed when it ends.
    auto* opener = new QProcess(QCoreApplication::instance());
    opener->setProcessChannelMode(QProcess::ForwardedChannels);
    const std::string failure = "ファイル " + IniPath + " を開けません (" + command.front().toStdString();
    connect(opener, &QProcess::errorOccurred, this, [opener, failure](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        opener->deleteLater();
        ShowErrorReport(failure + " を起動できません)");
    });
    connect(opener, &QProcess::finished, this, [opener, failure](int code, QProcess::ExitStatus how) {
        opener->deleteLater();
        if (how == QProcess::CrashExit)
            ShowErrorReport(failure + " が異常終了しました)");
        else if (code != 0)
            ShowErrorReport(failure + " が終了コード " + std::to_string(code) + " で終わりました)");
    });
    opener->start(command.front(), command.mid(1));
}
