// The application object: program title, and the standard error box for exceptions that
// escape a handler while the message loop runs.
#pragma once

#include <QApplication>

#include <exception>
#include <functional>

// The one application object of the program. An exception that escapes an event handler
// is shown in the error box and the loop goes on; asking it to quit marks the application
// as terminating so that nested waiting loops give up.
class TApplication : public QApplication {
public:
    TApplication(int& argc, char** argv);
    ~TApplication() override;

    // The running application object, or null when there is none of this type.
    static TApplication* Instance();

    // The program title, used as the caption of the error box.
    QString Title() const { return FTitle; }
    void SetTitle(const QString& title) { FTitle = title; }

    // Shows the standard error box (critical icon, the title as caption) with the
    // exception's message; returns when the user closed it.
    void ShowException(std::exception_ptr error);

    // Replaces the error box (tests); receives the caption and the message.
    std::function<void(const QString& caption, const QString& message)> OnShowException;

    bool notify(QObject* receiver, QEvent* event) override;

private:
    QString FTitle;
};
