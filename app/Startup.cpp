#include "app/Startup.h"

#include "app/ErrorReport.h"
#include "app/TerminationSignals.h"

#include <QApplication>
#include <memory>

int RunMainWindow(const StartupOptions& options)
{
    RunReported([&] {
        auto form = std::make_unique<TForm1>(options);
        // Declared after the window: the handlers go before the window does.
        TerminationSignals terminationSignals(form.get());
        form->show();
        QApplication::exec();
    });
    return 0;
}
