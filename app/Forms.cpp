// Creation order of the windows and the wiring between them.
#include "app/Forms.h"

#include "app/Application.h"
#include "app/MainWindow.h"
#include "dialogs/AboutBox.h"
#include "dialogs/ConnectForm.h"
#include "dialogs/FileExistsForm.h"
#include "dialogs/InputDialog.h"
#include "dialogs/LogForm.h"
#include "dialogs/TransferStatusForm.h"
#include "platform/MessageWindow.h"
#include "platform/SystemImageList.h"

#include <QGuiApplication>
#include <QScreen>

TForms::TForms()
{
    MainWindow = std::make_unique<TMainWindow>();
    ConnectForm = std::make_unique<TConnectForm>();
    LogForm = std::make_unique<TLogForm>();
    TransferStatusForm = std::make_unique<TTransferStatusForm>();
    FileExistsForm = std::make_unique<TFileExistsForm>();
    InputDialog = std::make_unique<TInputDialog>();
    AboutBox = std::make_unique<TAboutBox>();

    MainWindow->ConnectForm = ConnectForm.get();
    MainWindow->LogForm = LogForm.get();
    MainWindow->TransferStatusForm = TransferStatusForm.get();
    MainWindow->FileExistsForm = FileExistsForm.get();
    MainWindow->InputDialog = InputDialog.get();
    // Both dialogs ask through the one input dialog, created after them.
    ConnectForm->InputDialog = InputDialog.get();
    FileExistsForm->InputDialog = InputDialog.get();
    MainWindow->AboutBox = AboutBox.get();
    // The status window's Cancel is the main window's abort button.
    TMainWindow* main = MainWindow.get();
    // The connect dialog's notes go to the user log.
    ConnectForm->OnUserNote = [main](const QString& text) { main->LogUser(text, lkWarning); };
    TransferStatusForm->OnAbortClick =
        main->Traced("btnAbortClick", [main] { main->btnAbortClick(); });
}

TForms::~TForms()
{
    TransferStatusForm->OnAbortClick = nullptr;
    ConnectForm->OnUserNote = nullptr;
    MainWindow->OnClose = nullptr;
    AboutBox.reset();
    InputDialog.reset();
    FileExistsForm.reset();
    TransferStatusForm.reset();
    LogForm.reset();
    ConnectForm.reset();
    MainWindow.reset();
}

std::vector<QWidget*> TForms::Windows() const
{
    return {MainWindow.get(),         ConnectForm.get(),    LogForm.get(),
            TransferStatusForm.get(), FileExistsForm.get(), InputDialog.get(),
            AboutBox.get()};
}

void TForms::ShowMainForm()
{
    QScreen* screen = QGuiApplication::primaryScreen();
    if (screen) {
        // Centred at its first size for when it is restored ...
        QRect area = screen->availableGeometry();
        QRect first(QPoint(0, 0), MainWindow->size());
        first.moveCenter(area.center());
        MainWindow->setGeometry(first);
        // ... but opened over the whole screen: without a window manager nobody acts on
        // the maximised state.
        if (MainWindow->StartMaximized)
            MainWindow->setGeometry(area);
    }
    // A window the user last left at a size of its own opens at that size.
    if (MainWindow->StartMaximized)
        MainWindow->showMaximized();
    else
        MainWindow->showNormal();
}

std::unique_ptr<TForms> StartProgram(TApplication& app)
{
    app.SetTitle(QStringLiteral("Ombrex FTP"));
    platform::EnsureIconTheme();
    // The installed icon when there is one; the menu entry names the program by its file.
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("ombrex-ftp"),
                                                 QIcon::fromTheme(QStringLiteral("folder-remote"))));
    QGuiApplication::setDesktopFileName(QStringLiteral("ombrex-ftp"));
    // Closing the main window ends the program, whatever other windows are open.
    app.setQuitOnLastWindowClosed(false);
    auto forms = std::make_unique<TForms>();
    forms->MainWindow->OnClose = [&app] {
        platform::SetApplicationTerminating(true);
        // Posted rather than sent: the close is still being handled; the Quit event ends
        // the message loop once it is back there.
        QCoreApplication::postEvent(&app, new QEvent(QEvent::Quit));
    };
    forms->ShowMainForm();
    return forms;
}
