// Ombrex FTP: program start.
#include "app/Application.h"
#include "app/Forms.h"
#include "platform/TerminationSignals.h"

#include <exception>

int main(int argc, char** argv)
{
    TApplication app(argc, argv);
    platform::QuitOnTerminationSignals();
    try {
        std::unique_ptr<TForms> forms = StartProgram(app);
        app.exec();
    } catch (...) {
        app.ShowException(std::current_exception());
    }
    return 0;
}
