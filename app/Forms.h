// Program start: the windows created once for the whole run, in their fixed order, and
// the main window shown.
#pragma once

#include <QWidget>

#include <memory>
#include <vector>

class TAboutBox;
class TApplication;
class TConnectForm;
class TFileExistsForm;
class TInputDialog;
class TLogForm;
class TMainWindow;
class TTransferStatusForm;

// The program's windows. Created in this order: MainWindow, ConnectForm, LogForm,
// TransferStatusForm, FileExistsForm, InputDialog, AboutBox; destroyed together, main
// window last. Only the main window is ever shown by start-up.
class TForms {
public:
    // Creates every window in order and hands the main window its companions.
    TForms();
    ~TForms();
    TForms(const TForms&) = delete;
    TForms& operator=(const TForms&) = delete;

    // The windows in creation order.
    std::vector<QWidget*> Windows() const;

    // Shows the main window maximised; it also fills the screen where no window manager
    // honours "maximised".
    void ShowMainForm();

    std::unique_ptr<TMainWindow> MainWindow;
    std::unique_ptr<TConnectForm> ConnectForm;
    std::unique_ptr<TLogForm> LogForm;
    std::unique_ptr<TTransferStatusForm> TransferStatusForm;
    std::unique_ptr<TFileExistsForm> FileExistsForm;
    std::unique_ptr<TInputDialog> InputDialog;
    std::unique_ptr<TAboutBox> AboutBox;
};

// Start-up up to the message loop: sets the title, creates the forms, makes closing the
// main window end the program, and shows the main window.
std::unique_ptr<TForms> StartProgram(TApplication& app);
