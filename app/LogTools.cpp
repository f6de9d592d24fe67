// Working a log: the filter's toggles (exclude, regular expression, match
// case) and its drop-down of recent filters, the marks and their keys, and
// "Save view as…" on the File menu.
#include "app/Form1.h"

#include "view/LineFilter.h"
#include "view/SjisMemo.h"
#include "app/WindowKeeper.h"

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QSettings>
#include <QToolButton>

const char* const TForm1::FilterHistoryKey = "filter/history";

namespace {

QSettings UserSettings()
{
    return QSettings(QStringLiteral("wisplog"), QStringLiteral("wisplog"));
}

} // namespace

void TForm1::BindLogTools(bool rememberSettings)
{
    FRememberSettings = rememberSettings;

    // The filter field becomes the edit of a drop-down of recent filters;
    // the drop-down takes the field's place and visibility.
    CmbGrep = new QComboBox(Panel1);
    CmbGrep->setObjectName("CmbGrep");
    CmbGrep->setAccessibleName(EdtGrep->accessibleName());
    CmbGrep->setEditable(true);
    CmbGrep->setInsertPolicy(QComboBox::NoInsert);
    CmbGrep->setMaxCount(MaxFilterHistory);
    CmbGrep->setLineEdit(EdtGrep);
    CmbGrep->setGeometry(EdtGrep->geometry().x(), 0, 120, 20);
    EdtGrep->setVisible(true);
    CmbGrep->setVisible(false);
    if (FRememberSettings)
        CmbGrep->addItems(UserSettings().value(QLatin1String(FilterHistoryKey)).toStringList().mid(0, MaxFilterHistory));
    CmbGrep->setCurrentIndex(-1);
    EdtGrep->clear();
    // A filter chosen from the list is applied at once.
    connect(CmbGrep, &QComboBox::activated, this, [this] {
        if (!EdtGrep->text().isEmpty())
            Button2Click();
    });

    // A toggle shows a short caption; assistive technology reads its full
    // name, as the tooltip gives it.
    auto toggle = [this](const char* name, const QString& caption, const QString& fullName,
                         const QString& key) {
        auto* button = new QToolButton(Panel1);
        button->setObjectName(name);
        button->setText(caption);
        button->setToolTip(QStringLiteral("%1 (%2)").arg(fullName, key));
        button->setAccessibleName(fullName);
        button->setCheckable(true);
        button->setAutoRaise(false);
        button->setFocusPolicy(Qt::NoFocus);
        button->setGeometry(0, 0, button->sizeHint().width(), 19);
        button->setVisible(false);
        return button;
    };
    BtnExclude =
        toggle("BtnExclude", QStringLiteral("除外"), QStringLiteral("除外"), QStringLiteral("Alt+X"));
    BtnRegex = toggle("BtnRegex", QStringLiteral(".*"), QStringLiteral("正規表現"), QStringLiteral("Alt+R"));
    BtnMatchCase = toggle("BtnMatchCase", QStringLiteral("Aa"), QStringLiteral("大文字小文字を区別"),
                          QStringLiteral("Alt+C"));

    LblGrepError = new QLabel(Panel1);
    LblGrepError->setObjectName("LblGrepError");
    QPalette red = LblGrepError->palette();
    red.setColor(QPalette::WindowText, QColor(200, 0, 0));
    LblGrepError->setPalette(red);
    LblGrepError->setGeometry(0, 3, 0, 14);
    LblGrepError->setVisible(false);
    connect(EdtGrep, &QLineEdit::textEdited, this, [this] {
        if (!LblGrepError->isHidden()) {
            LblGrepError->clear();
            LblGrepError->setVisible(false);
            if (auto* keeper = findChild<WindowKeeper*>())
                keeper->ArrangePanel();
        }
    });

    // The menu items the toggles mirror, with their keys.
    auto menuToggle = [this](const char* name, const QString& caption, QKeyCombination key, QToolButton* button) {
        QAction* action = Edit1->addAction(caption);
        action->setObjectName(name);
        action->setShortcut(QKeySequence(key));
        action->setCheckable(true);
        connect(action, &QAction::toggled, button, &QToolButton::setChecked);
        connect(button, &QToolButton::toggled, action, &QAction::setChecked);
        connect(button, &QToolButton::toggled, this, [this] { FilterOptionChanged(); });
        return action;
    };
    ExcludeFilter1 = menuToggle("ExcludeFilter1", QStringLiteral("除外"), Qt::ALT | Qt::Key_X, BtnExclude);
    RegexFilter1 = menuToggle("RegexFilter1", QStringLiteral("正規表現"), Qt::ALT | Qt::Key_R, BtnRegex);
    MatchCaseFilter1 = menuToggle("MatchCaseFilter1", QStringLiteral("大文字小文字を区別"), Qt::ALT | Qt::Key_C,
                                  BtnMatchCase);

    Edit1->addSeparator();
    auto item = [this](const char* name, const QString& caption, QKeyCombination key) {
        QAction* action = Edit1->addAction(caption);
        action->setObjectName(name);
        action->setShortcut(QKeySequence(key));
        return action;
    };
    ToggleMark1 = item("ToggleMark1", QStringLiteral("Toggle &mark"), Qt::CTRL | Qt::Key_F2);
    NextMark1 = item("NextMark1", QStringLiteral("Next mar&k"), QKeyCombination(Qt::Key_F2));
    PreviousMark1 = item("PreviousMark1", QStringLiteral("Pre&vious mark"), Qt::SHIFT | Qt::Key_F2);
    FilterMarked1 = item("FilterMarked1", QStringLiteral("Filter to marked lines"), Qt::CTRL | Qt::SHIFT | Qt::Key_F2);
    connect(ToggleMark1, &QAction::triggered, this, [this] { Memo1->ToggleMark(); });
    connect(NextMark1, &QAction::triggered, this, [this] {
        if (!Memo1->GoToMark(true))
            ShowStatus(QStringLiteral("マークなし"));
    });
    connect(PreviousMark1, &QAction::triggered, this, [this] {
        if (!Memo1->GoToMark(false))
            ShowStatus(QStringLiteral("マークなし"));
    });
    connect(FilterMarked1, &QAction::triggered, this, &TForm1::FilterMarked1Click);

    SaveViewAs1 = new QAction(QStringLiteral("&Save view as…"), File1);
    SaveViewAs1->setObjectName("SaveViewAs1");
    SaveViewAs1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    File1->insertAction(inifile1, SaveViewAs1);
    connect(SaveViewAs1, &QAction::triggered, this, &TForm1::SaveViewAs1Click);
}

FilterOptions TForm1::CurrentFilterOptions() const
{
    return {.Exclude = BtnExclude->isChecked(), .Regex = BtnRegex->isChecked(),
            .MatchCase = BtnMatchCase->isChecked()};
}

void TForm1::FilterOptionChanged()
{
    // Only a filter in force is applied again; otherwise the toggles wait
    // for the next one.
    if (!Memo1->ActiveFilter() || Memo1->ActiveFilter()->Which() == LineFilter::Kind::Marks
        || EdtGrep->text().isEmpty() || LastFile.empty())
        return;
    const QString text = EdtGrep->text();
    EdtGrep->clear();
    Button2Click();
    EdtGrep->setText(text);
    Button2Click();
}

void TForm1::RememberFilter(const QString& text)
{
    QStringList history;
    history.push_back(text);
    for (int i = 0; i < CmbGrep->count(); ++i)
        if (CmbGrep->itemText(i) != text && history.size() < MaxFilterHistory)
            history.push_back(CmbGrep->itemText(i));
    {
        const QSignalBlocker quiet(CmbGrep);
        CmbGrep->clear();
        CmbGrep->addItems(history);
        CmbGrep->setCurrentIndex(0);
    }
    if (FRememberSettings)
        UserSettings().setValue(QLatin1String(FilterHistoryKey), history);
}

void TForm1::FilterMarked1Click()
{
    if (!Memo1->FilterToMarks())
        ShowStatus(QStringLiteral("マークなし"));
}
