#include "app/RunAside.h"

#include <QCoreApplication>
#include <QEvent>
#include <QKeyEvent>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <atomic>
#include <thread>

namespace {

// Takes the keys and clicks meant for the window while the work runs: Esc
// stops it, the rest are dropped. Other windows (a dialog left open) keep
// theirs.
class HeldInput : public QObject {
public:
    HeldInput(QWidget& window, const std::function<void()>& stop) : FWindow(window), FStop(stop) { }

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        switch (event->type()) {
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::ShortcutOverride:
        case QEvent::Shortcut:
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::Wheel:
        case QEvent::ContextMenu:
        case QEvent::Drop: break;
        default: return false;
        }
        const auto* widget = qobject_cast<QWidget*>(watched);
        if (widget == nullptr || widget->window() != &FWindow)
            return false;
        if (event->type() == QEvent::KeyPress) {
            const auto* key = static_cast<QKeyEvent*>(event);
            if (key->key() == Qt::Key_Escape && key->modifiers() == Qt::NoModifier && !FStopped) {
                FStopped = true;
                FStop();
            }
        }
        // A shortcut's override accepted is one no shortcut runs for.
        event->accept();
        return true;
    }

private:
    QWidget& FWindow;
    const std::function<void()>& FStop;
    bool FStopped = false;
};

} // namespace

void RunAside(QWidget& window, const std::function<void()>& work, const std::function<void()>& stop,
              const std::function<void()>& tick)
{
    QCoreApplication* app = QCoreApplication::instance();
    std::atomic<bool> ended{false};
    HeldInput held(window, stop);
    app->installEventFilter(&held);
    QTimer ticks;
    ticks.setInterval(100);
    QObject::connect(&ticks, &QTimer::timeout, [&tick] { tick(); });
    ticks.start();

    std::thread worker([&] {
        work();
        ended = true;
        // Wakes the wait below, which may be blocked for events.
        QMetaObject::invokeMethod(
            app, [] {}, Qt::QueuedConnection);
    });
    while (!ended)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    worker.join();
    ticks.stop();
    app->removeEventFilter(&held);
}
