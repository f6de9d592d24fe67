#include "app/TerminationSignals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace {

// The pipe's ends; the write end is all the handler touches.
int SignalPipe[2] = {-1, -1};

extern "C" void WriteSignalByte(int)
{
    const int saved = errno;
    const char byte = 1;
    // A full pipe already holds a wake-up; the byte is not needed then.
    [[maybe_unused]] ssize_t n = ::write(SignalPipe[1], &byte, 1);
    errno = saved;
}

} // namespace

TerminationSignals::TerminationSignals(QWidget* window) : FWindow(window)
{
    if (::pipe2(SignalPipe, O_CLOEXEC | O_NONBLOCK) < 0)
        throw std::runtime_error("Cannot create the signal pipe");
    FNotifier = new QSocketNotifier(SignalPipe[0], QSocketNotifier::Read, this);
    connect(FNotifier, &QSocketNotifier::activated, this, &TerminationSignals::SignalArrived);

    struct sigaction action {};
    action.sa_handler = WriteSignalByte;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, &FOldTerm);
    ::sigaction(SIGINT, &action, &FOldInt);
}

TerminationSignals::~TerminationSignals()
{
    ::sigaction(SIGTERM, &FOldTerm, nullptr);
    ::sigaction(SIGINT, &FOldInt, nullptr);
    delete FNotifier;
    ::close(SignalPipe[0]);
    ::close(SignalPipe[1]);
    SignalPipe[0] = SignalPipe[1] = -1;
}

void TerminationSignals::SignalArrived()
{
    char bytes[64];
    while (::read(SignalPipe[0], bytes, sizeof bytes) > 0) {
    }
    if (FWindow)
        FWindow->close();
}
