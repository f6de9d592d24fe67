// SIGTERM and SIGINT close the main window, as File → Exit does, so a
// running fetch is stopped and the program ends in order. The handler only
// writes a byte into a pipe; the event loop reads it (QSocketNotifier) and
// does the closing, so no Qt call runs inside the signal handler.
#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>

#include <csignal>

class QSocketNotifier;

class TerminationSignals : public QObject {
public:
    // Installs the handlers for SIGTERM and SIGINT; a signal then closes
    // window from the event loop. One instance at a time. Throws
    // std::runtime_error when the pipe cannot be made.
    explicit TerminationSignals(QWidget* window);
    // Puts the earlier handlers back and closes the pipe. Does not throw.
    ~TerminationSignals() override;

private:
    void SignalArrived();

    QPointer<QWidget> FWindow;
    QSocketNotifier* FNotifier = nullptr;
    struct sigaction FOldTerm {};
    struct sigaction FOldInt {};
};
