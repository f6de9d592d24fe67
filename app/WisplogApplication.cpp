#include "app/WisplogApplication.h"

#include "app/ErrorReport.h"

WisplogApplication::WisplogApplication(int& argc, char** argv) : QApplication(argc, argv)
{
    setApplicationName(ApplicationTitle);
}

bool WisplogApplication::notify(QObject* receiver, QEvent* event)
{
    bool result = false;
    RunReported([&] { result = QApplication::notify(receiver, event); });
    return result;
}
