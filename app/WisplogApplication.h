// The application object: every failure that escapes an event handler ends
// here and is shown by the standard error report, once, in one place.
#pragma once

#include <QApplication>

class WisplogApplication : public QApplication {
public:
    WisplogApplication(int& argc, char** argv);

    // Delivers an event; a failure thrown by its handler is reported (a
    // silent abort is not) and the event loop goes on.
    bool notify(QObject* receiver, QEvent* event) override;
};
