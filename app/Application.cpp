// Application object: exception routing and the terminating flag.
#include "app/Application.h"

#include "platform/MessageWindow.h"

#include <QMessageBox>

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv)
{
    FTitle = QStringLiteral("Ombrex FTP");
    // Exceptions caught by the message windows and by the main window's handlers end up
    // in the same box as those caught here.
    platform::SetExceptionHandler([this](std::exception_ptr error) { ShowException(error); });
    connect(this, &QCoreApplication::aboutToQuit, this,
            [] { platform::SetApplicationTerminating(true); });
}

TApplication::~TApplication()
{
    platform::SetExceptionHandler(nullptr);
}

TApplication* TApplication::Instance()
{
    return dynamic_cast<TApplication*>(QCoreApplication::instance());
}

void TApplication::ShowException(std::exception_ptr error)
{
    QString message = QString::fromLocal8Bit(platform::ExceptionMessage(error).c_str());
    if (OnShowException) {
        OnShowException(FTitle, message);
        return;
    }
    QMessageBox::critical(activeWindow(), FTitle, message);
}

bool TApplication::notify(QObject* receiver, QEvent* event)
{
    if (receiver == this && event->type() == QEvent::Quit)
        platform::SetApplicationTerminating(true);
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        // Nothing may unwind through the event loop: show the error and go on.
        std::exception_ptr error = std::current_exception();
        try {
            ShowException(error);
        } catch (...) {
            // A failing error box must not unwind through the loop either.
        }
        return false;
    }
}
