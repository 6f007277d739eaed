// Ombrex FTP: program start.
#include "app/Application.h"
#include "app/Forms.h"
#include "platform/TerminationSignals.h"
#include "app/MainWindow.h"

#include <QTimer>

#include <exception>

int main(int argc, char** argv)
{
    TApplication app(argc, argv);
    platform::QuitOnTerminationSignals();
    try {
        std::unique_ptr<TForms> forms = StartProgram(app);
        // The queue a closed run left unfinished is offered once the window is up.
        TMainWindow* window = forms->MainWindow.get();
        QTimer::singleShot(0, window, [window] { window->OfferSavedQueue(); });
        app.exec();
    } catch (...) {
        app.ShowException(std::current_exception());
    }
    return 0;
}
