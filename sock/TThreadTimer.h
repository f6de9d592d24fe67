// The time-out timer of a socket component: a one-shot Qt timer on the
// thread that created it, re-armed after each tick while it stays enabled.
#pragma once

#include <QObject>
#include <QTimer>

#include <functional>

using TNotifyEvent = std::function<void(QObject* Sender)>;

class TThreadTimer : public QObject {
    Q_OBJECT
public:
    // Enabled, Interval 1000 ms, no OnTimer: no tick until OnTimer is set.
    explicit TThreadTimer(QObject* owner = nullptr);
    ~TThreadTimer() override;

    bool Enabled() const { return FEnabled; }
    unsigned Interval() const { return FInterval; }
    const TNotifyEvent& OnTimer() const { return FOnTimer; }

    // Store the value; only a different value restarts or stops the timer.
    // Throws Exception "No Timer" when the thread has no event loop to run it.
    void SetEnabled(bool value);
    void SetInterval(unsigned value);
    // Store the handler and always restart or stop the timer accordingly.
    void SetOnTimer(TNotifyEvent value);
    // Start the countdown afresh when the timer is wanted (kill, then start).
    void Restart() { UpdateTimer(); }
    // True while a countdown runs.
    bool Running() const { return FTimer.isActive(); }

    // One tick: fires OnTimer(this) when assigned. Runs from the event loop.
    virtual void Timer();

protected:
    void UpdateTimer();

private:
    void Tick();

    unsigned FInterval = 1000;
    TNotifyEvent FOnTimer;
    bool FEnabled = true;
    QTimer FTimer;
};
