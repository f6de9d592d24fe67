// Shared pieces of the event-loop tests of the socket component.
#pragma once

#include "sock/TKZSock.h"
#include "tests/sock/Loopback.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QElapsedTimer>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

// Cancels the component over and over once limitMs have passed, so a wait
// that fails to end by itself ends the test instead of hanging it.
class Watchdog {
public:
    Watchdog(TKZSock& sock, int limitMs = 8000)
    {
        timer_.setInterval(limitMs);
        QObject::connect(&timer_, &QTimer::timeout, [this, &sock] {
            fired_ = true;
            timer_.setInterval(50);
            sock.Cancel();
        });
        timer_.start();
    }
    bool Fired() const { return fired_; }

private:
    QTimer timer_;
    bool fired_ = false;
};

// Runs the event loop for ms milliseconds.
inline void Pump(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Runs the event loop until done() or ms milliseconds; answers done().
inline bool PumpUntil(const std::function<bool()>& done, int ms = 5000)
{
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms)
        Pump(5);
    return done();
}

// Connects sock to a loopback listener and answers the peer's end.
inline int ConnectPair(TKZSock& sock, loopback::Listener& listener)
{
    sock.Host = "127.0.0.1";
    sock.Port = listener.Port();
    sock.Connect();
    return listener.Accept();
}

// The message of the exception that f raises ("" when none).
template <class E, class F>
std::string ThrownMessage(F&& f)
{
    try {
        f();
    } catch (const E& e) {
        return e.what();
    }
    return "";
}
