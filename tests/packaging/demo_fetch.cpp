// demo_fetch DIR: the real window on the demo host list DIR/wisplog.ini (with
// NKF32.DLL beside it) presses F5 for the first profile, offscreen, and checks
// that the view shows the demo log and the copy was saved in the current
// directory. Exit status 0 when it does; otherwise 1, with a line saying why.
// Run by test_demo_unprivileged.py as an ordinary user.
#include "app/Form1.h"
#include "app/MessageBox.h"
#include "view/SjisMemo.h"
#include "app/WisplogApplication.h"

#include <QAction>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLineEdit>
#include <QTest>
#include <QTimer>

#include <iostream>

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    WisplogApplication app(argc, argv);
    if (argc != 2) {
        std::cerr << "usage: demo_fetch DIR\n";
        return 2;
    }
    std::string failure;
    SetMessageBoxHook([&](const std::string& text, const std::string&, unsigned) {
        failure = "error report: " + text;
        return 1;
    });
    StartupOptions options;
    options.ExeDir = argv[1];
    TForm1 form(options);
    form.show();
    form.activateWindow();
    if (!QTest::qWaitForWindowActive(&form, 10000)) {
        std::cerr << "the window did not become active\n";
        return 1;
    }
    bool done = false;
    QTimer::singleShot(0, &form, [&] {
        QTest::keyClick(form.Memo1, Qt::Key_F5);
        done = true;
    });
    QElapsedTimer clock;
    clock.start();
    while (!done && clock.elapsed() < 60000)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);

    // "しました" in Shift_JIS: every demo log holds it.
    const std::string expected = "\x82\xB5\x82\xDC\x82\xB5\x82\xBD";
    const std::string shown = form.Memo1->Text();
    const QString name = QFileInfo(form.EdtFile->text()).fileName();
    if (!done)
        failure = "the fetch did not end within 60 s";
    else if (failure.empty() && shown.find(expected) == std::string::npos)
        failure = "the view does not show the demo log (" + std::to_string(shown.size()) + " bytes)";
    else if (failure.empty() && !QFileInfo::exists(name))
        failure = "no local copy " + name.toStdString() + " in the current directory";
    if (!failure.empty()) {
        std::cerr << failure << "\n";
        return 1;
    }
    std::cout << "fetched " << form.EdtFile->text().toStdString() << ", the view shows "
              << shown.size() << " bytes\n";
    return 0;
}
