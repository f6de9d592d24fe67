// Runs a long piece of work on a thread of its own while the window keeps
// answering: it paints, its timers run, and Esc asks the work to stop. The
// window's other keys and clicks are held off meanwhile, so nothing the user
// does can start a command on top of the work.
#pragma once

#include <functional>

class QWidget;

// Runs work on another thread and returns when it has ended, the events of
// the program handled meanwhile. Esc in window calls stop (once; work is to
// notice it and end soon). tick is called about ten times a second while the
// work runs. work must not throw and must not touch widgets.
void RunAside(QWidget& window, const std::function<void()>& work, const std::function<void()>& stop,
              const std::function<void()>& tick);
