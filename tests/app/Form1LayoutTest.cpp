// The window as the user meets it: components, menus, shortcuts, check marks
// and the host profiles read at start-up.
#include "StartupFixture.h"

#include "app/FindDialog.h"
#include "app/FollowCommand.h"
#include "app/Gra.h"
#include "view/SjisMemo.h"
#include "app/Tag.h"
#include "ftp/TKZFTP.h"

#include <QAction>
#include <QActionGroup>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>

namespace {

using Form1Layout = StartupFixture;

const char* const TwoProfiles =
    "本番サーバ:ftp.example.jp:taro:secret:1:/var/log/app/server.log:extra:more\r\n"
    "staging:10.0.0.5:hanako:pw:0:logs/today.log\r\n";

QStringList Captions(const QMenu* menu)
{
    QStringList out;
    for (const QAction* action : menu->actions())
        out << (action->isSeparator() ? QStringLiteral("-") : action->text());
    return out;
}

// The widget that Tab moves to from w: the next visible widget in the focus
// chain that takes focus by Tab and is not part of w itself.
QWidget* NextTabStop(QWidget* w)
{
    for (QWidget* next = w->nextInFocusChain(); next != w; next = next->nextInFocusChain())
        if ((next->focusPolicy() & Qt::TabFocus) && next->isVisible() && !w->isAncestorOf(next))
            return next;
    return w;
}

TEST_F(Form1Layout, MenuBarHoldsFileEditAndTheEmptyStatusItem)
{
    auto form = MakeForm(TwoProfiles);
    const QList<QAction*> top = form->menuBar()->actions();
    ASSERT_EQ(top.size(), 3);
    EXPECT_EQ(top[0]->text(), "&File");
    EXPECT_EQ(top[1]->text(), "&Edit");
    EXPECT_EQ(top[2], form->mnStatus);
    EXPECT_TRUE(form->mnStatus->text().isEmpty());
    EXPECT_EQ(form->mnStatus->menu(), nullptr);

    EXPECT_EQ(Captions(form->File1),
              (QStringList{"&Get 10k tail", "Get &all", "Follow", "漢字ｺｰﾄﾞ", "&Save view as…", "&ini file",
                           "パスワードをキーリングへ移す…", "-", "E&xit"}));
    EXPECT_EQ(Captions(form->N2), (QStringList{"JIS", "EUC", "UTF8", "Unicode", "SJIS", "自動"}));
    // Undo and Redo, then the design's three items; then Find Previous, the
    // filter with its toggles, and the marks.
    EXPECT_EQ(Captions(form->Edit1),
              (QStringList{"&Undo", "&Redo", "-", "Select &All", "&Find", "Find &Next", "Find &Previous", "-",
                           "Filter lines…", "除外", "正規表現", "大文字小文字を区別", "-", "Toggle &mark",
                           "Next mar&k", "Pre&vious mark", "Filter to marked lines"}));
}

TEST_F(Form1Layout, ShortcutsAndTagsOfTheCommands)
{
    auto form = MakeForm(TwoProfiles);
    EXPECT_EQ(form->mnGet10Ktail->shortcut(), QKeySequence(Qt::Key_F5));
    EXPECT_EQ(form->mnGetAll->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_F5));
    EXPECT_EQ(form->Follow1->Action()->shortcut(), QKeySequence(Qt::Key_F6));
    EXPECT_TRUE(form->Follow1->Action()->isCheckable());
    EXPECT_EQ(form->SelectAll1->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_A));
    EXPECT_EQ(form->Find1->shortcut(), QKeySequence(Qt::ALT | Qt::Key_S));
    EXPECT_EQ(form->FindNext1->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_L));
    for (QAction* none : {form->inifile1, form->Exit1, form->JIS1, form->N3})
        EXPECT_TRUE(none->shortcut().isEmpty()) << none->objectName().toStdString();

    EXPECT_EQ(Tag(form->mnGet10Ktail), 10000);
    EXPECT_EQ(Tag(form->mnGetAll), 0);
    EXPECT_EQ(Tag(form->Button1), 10000);
    EXPECT_EQ(Tag(form->CmbHost), 0);
}

TEST_F(Form1Layout, EncodingItemsFormOneRadioGroupWithAutomaticOutside)
{
    auto form = MakeForm(TwoProfiles);
    QAction* radios[] = {form->JIS1, form->EUC1, form->UTF81, form->Unicode1, form->SJIS1};
    for (QAction* radio : radios) {
        EXPECT_EQ(radio->actionGroup(), form->EncodingGroup);
        EXPECT_EQ(radio->isChecked(), radio == form->EUC1) << radio->text().toStdString();
    }
    EXPECT_EQ(form->N3->actionGroup(), nullptr);
    EXPECT_FALSE(form->N3->isChecked());
    EXPECT_EQ(form->CurrentEncoding, "EUC");

    // Checking "自動" leaves the radio item checked; a radio item unchecks
    // its group but not "自動".
    form->N3->setChecked(true);
    EXPECT_TRUE(form->EUC1->isChecked());
    form->JIS1->setChecked(true);
    EXPECT_TRUE(form->JIS1->isChecked());
    EXPECT_FALSE(form->EUC1->isChecked());
    EXPECT_TRUE(form->N3->isChecked());
}

TEST_F(Form1Layout, PanelFieldsInPlaceAndFilterControlsHidden)
{
    auto form = MakeForm(TwoProfiles);
    form->show();
    EXPECT_EQ(form->windowTitle(), "wisplog");
    EXPECT_EQ(form->EdtFile->geometry(), QRect(222, 0, 363, 20));
    EXPECT_EQ(form->CmbHost->geometry(), QRect(30, 0, 163, 20));
    EXPECT_EQ(form->Button1->geometry(), QRect(588, 0, 31, 19));
    EXPECT_EQ(form->Button1->text(), "&Get");
    EXPECT_EQ(form->Panel1->height(), 19);
    EXPECT_FALSE(form->CmbHost->isEditable());
    EXPECT_FALSE(form->EdtGrep->isVisible());
    EXPECT_FALSE(form->Button2->isVisible());
    EXPECT_TRUE(form->Memo1->isVisible());
    EXPECT_EQ(form->Memo1->y(), form->Panel1->height());
    EXPECT_EQ(form->Memo1->palette().color(QPalette::Base), QColor(Qt::black));
    EXPECT_EQ(form->Memo1->palette().color(QPalette::Text), QColor(Qt::white));
    EXPECT_EQ(form->Memo1->font().pixelSize(), 13);
    EXPECT_EQ(form->Label1->text(), "Host");
    EXPECT_EQ(form->Label2->text(), "File");
    EXPECT_FALSE(form->FindDialog1->isModal());

    // The view comes first in the tab order, then the panel's fields.
    EXPECT_EQ(NextTabStop(form->Memo1), form->EdtFile);
    EXPECT_EQ(NextTabStop(form->EdtFile), form->CmbHost);
    EXPECT_EQ(NextTabStop(form->CmbHost), form->Button1);
    EXPECT_EQ(NextTabStop(form->Button1), form->Memo1);

    EXPECT_EQ(form->KZFTP1->Port, 21);
    EXPECT_EQ(form->KZFTP1->TimeOut, 10000);
    EXPECT_EQ(form->KZFTP1->ReportLevel, 0);
    EXPECT_EQ(form->KZFTP1->Vendor, 2411);
    EXPECT_EQ(form->KZFTP1->ProxyPort, 0);
    EXPECT_TRUE(form->KZFTP1->Passive);
    EXPECT_EQ(form->KZFTP1->FirewallType, FTUser);
    EXPECT_FALSE(form->KZFTP1->FWAuthenticate);
    EXPECT_FALSE(form->KZFTP1->ParseList);
}

TEST_F(Form1Layout, ProfilesFillTheDropDownAndTheFirstDefaultFile)
{
    auto form = MakeForm(TwoProfiles);
    ASSERT_EQ(form->CmbHost->count(), 2);
    EXPECT_EQ(form->CmbHost->itemText(0), "本番サーバ");
    EXPECT_EQ(form->CmbHost->itemText(1), "staging");
    EXPECT_EQ(form->CmbHost->currentIndex(), 0);
    EXPECT_EQ(form->EdtFile->text(), "/var/log/app/server.log");
    EXPECT_EQ(form->IniPath, IniFullPath());
    EXPECT_EQ(form->HostList.Count(), 2);
    EXPECT_TRUE(Boxes.empty());
}

TEST_F(Form1Layout, ShiftJisHostListReadsCorrectly)
{
    // "本番" and "ログ" in Shift_JIS, as a Japanese Windows editor writes them.
    auto form = MakeForm("\x96\x7b\x94\xd4:h:u:p:1:/\x83\x8d\x83\x4f/a.log\r\n");
    EXPECT_EQ(form->CmbHost->itemText(0), "本番");
    EXPECT_EQ(form->EdtFile->text(), "/ログ/a.log");
}

TEST_F(Form1Layout, EmptyHostListLeavesNothingSelected)
{
    auto form = MakeForm("");
    EXPECT_EQ(form->CmbHost->count(), 0);
    EXPECT_EQ(form->CmbHost->currentIndex(), -1);
    EXPECT_EQ(form->EdtFile->text(), "EdtFile");
}

TEST_F(Form1Layout, SplitFieldsKeepsEveryEmptyField)
{
    auto form = MakeForm("a:b:c:d:e:f\n");
    auto fields = [&](const std::string& text, char sep) {
        form->SplitFields(text, sep);
        std::vector<std::string> out;
        for (int i = 0; i < form->HostFields.Count(); ++i)
            out.push_back(form->HostFields[i]);
        return out;
    };
    using V = std::vector<std::string>;
    EXPECT_EQ(fields(":a::b:", ':'), (V{"", "a", "", "b", ""}));
    EXPECT_EQ(fields("", '/'), (V{""}));
    EXPECT_EQ(fields("server.log", '/'), (V{"server.log"}));
    EXPECT_EQ(fields("/var/log/x.log", '/'), (V{"", "var", "log", "x.log"}));
    EXPECT_EQ(fields(" h : u ", ':'), (V{" h ", " u "}));
}

TEST_F(Form1Layout, SplitFieldsKeepsABracketedFieldWhole)
{
    auto form = MakeForm("a:b:c:d:e:f\n");
    auto fields = [&](const std::string& text, char sep) {
        form->SplitFields(text, sep);
        std::vector<std::string> out;
        for (int i = 0; i < form->HostFields.Count(); ++i)
            out.push_back(form->HostFields[i]);
        return out;
    };
    using V = std::vector<std::string>;
    // An IPv6 host keeps its colons, wherever the field stands.
    EXPECT_EQ(fields("s:[2001:db8::1]:u:p:1:/a.log", ':'), (V{"s", "[2001:db8::1]", "u", "p", "1", "/a.log"}));
    EXPECT_EQ(fields("[::1]", ':'), (V{"[::1]"}));
    EXPECT_EQ(fields("s:[::1]", ':'), (V{"s", "[::1]"}));
    EXPECT_EQ(fields("s:[::1]:", ':'), (V{"s", "[::1]", ""}));
    // Text after the ']' stays in the field up to the next colon.
    EXPECT_EQ(fields("s:[::1]x:u", ':'), (V{"s", "[::1]x", "u"}));
    // A '[' inside a field, or a ']' alone, changes nothing.
    EXPECT_EQ(fields("s:h:pa[ss:1", ':'), (V{"s", "h", "pa[ss", "1"}));
    EXPECT_EQ(fields("s:h]:u", ':'), (V{"s", "h]", "u"}));
    // Never closed: split as before, so the profile check can name the label.
    EXPECT_EQ(fields("s:[2001:db8::1:u:p", ':'), (V{"s", "[2001", "db8", "", "1", "u", "p"}));
    // Paths are split at every '/', brackets or not.
    EXPECT_EQ(fields("/logs/[a/b]/x.log", '/'), (V{"", "logs", "[a", "b]", "x.log"}));

    // Every line without a '[' at the start of a field splits as a plain
    // split at each colon does.
    const std::vector<std::string> lines = {
        "", ":", "::", "a", "本番:host.example:user:pw:1:/var/log/x.log:2121:tls:UTF8",
        "s:10.0.0.1:u:p:0:", " [a:b] ", "s:h:u:p]:1", "s:h:u:p:1:/a[1].log"};
    for (const std::string& line : lines) {
        V plain;
        std::size_t start = 0;
        for (std::size_t at = line.find(':'); at != std::string::npos; at = line.find(':', start)) {
            plain.push_back(line.substr(start, at - start));
            start = at + 1;
        }
        plain.push_back(line.substr(start));
        EXPECT_EQ(fields(line, ':'), plain) << line;
    }
}

TEST_F(Form1Layout, ShortProfileLaterFailsWithIndexFive)
{
    auto form = MakeForm("good:h:u:p:1:/a.log\r\n\r\nshort:h:u\r\n");
    ASSERT_EQ(form->CmbHost->count(), 3);
    EXPECT_EQ(form->CmbHost->itemText(1), "");
    form->CmbHost->setCurrentIndex(1);
    try {
        form->SetDefaultFile();
        FAIL() << "no error";
    } catch (const EListError& e) {
        EXPECT_STREQ(e.what(), "リストのインデックスが範囲を超えています (5)");
    }
    EXPECT_EQ(form->EdtFile->text(), "/a.log");
}

TEST_F(Form1Layout, EditorGetsTheWholePathAsOneArgument)
{
    const QStringList command = TForm1::EditorCommand("/opt/my apps/wis plog/wisplog.ini");
    ASSERT_EQ(command.size(), 2);
    EXPECT_EQ(command[1], "/opt/my apps/wis plog/wisplog.ini");
}

TEST_F(Form1Layout, TheLibraryStaysBoundWithItsEntryPoints)
{
    auto form = MakeForm(TwoProfiles);
    EXPECT_NE(TheGra().Handle(), nullptr);
    for (std::size_t i = 0; i < Gra::EntryPointNames.size(); ++i)
        EXPECT_NE(TheGra().EntryPoint(i), nullptr) << Gra::EntryPointNames[i];
}

} // namespace
