#include "sock/TThreadTimer.h"

#include "sock/Exception.h"

#include <QAbstractEventDispatcher>

#include <climits>

TThreadTimer::TThreadTimer(QObject* owner) : QObject(owner), FTimer(this)
{
    FTimer.setSingleShot(true);
    // A time-out must not end a wait early: no coarse timer slack.
    FTimer.setTimerType(Qt::PreciseTimer);
    connect(&FTimer, &QTimer::timeout, this, &TThreadTimer::Tick);
}

TThreadTimer::~TThreadTimer()
{
    FEnabled = false;
    FTimer.stop();
}

void TThreadTimer::SetEnabled(bool value)
{
    if (value != FEnabled) {
        FEnabled = value;
        UpdateTimer();
    }
}

void TThreadTimer::SetInterval(unsigned value)
{
    if (value != FInterval) {
        FInterval = value;
        UpdateTimer();
    }
}

void TThreadTimer::SetOnTimer(TNotifyEvent value)
{
    FOnTimer = std::move(value);
    UpdateTimer();
}

void TThreadTimer::Timer()
{
    if (FOnTimer)
        FOnTimer(this);
}

void TThreadTimer::UpdateTimer()
{
    FTimer.stop();
    if (FInterval != 0 && FEnabled && FOnTimer) {
        // A thread without an event dispatcher can run no timer.
        if (!QAbstractEventDispatcher::instance(thread()))
            throw Exception("No Timer");
        FTimer.start(static_cast<int>(FInterval > INT_MAX ? INT_MAX : FInterval));
        if (!FTimer.isActive())
            throw Exception("No Timer");
    }
}

void TThreadTimer::Tick()
{
    // The Qt timer is one-shot; re-arm it first so that a handler that throws
    // does not stop the ticks (a handler may also stop them itself).
    if (FInterval != 0 && FEnabled && FOnTimer)
        FTimer.start(static_cast<int>(FInterval > INT_MAX ? INT_MAX : FInterval));
    Timer();
}
