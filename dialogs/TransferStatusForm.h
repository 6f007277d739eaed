// The transfer status window: file size, bytes and per cent moved, local name, progress
// bar and a cancel button that runs the main window's abort action.
#pragma once

#include <QDialog>

#include <functional>

class QLabel;
class QProgressBar;
class QPushButton;

// Non-modal window shown while a download or upload runs; the main window fills its labels.
class TTransferStatusForm : public QDialog {
public:
    explicit TTransferStatusForm(QWidget* parent = nullptr);

    QLabel* lblFileSize;        // the file's size as text ("Unknown" at first)
    QLabel* lblLoaded;          // bytes moved so far
    QLabel* lblLoadedProcents;  // per cent moved so far
    QLabel* lblSaveDir;         // the local file's name
    QProgressBar* pbProgress;   // per cent moved, 0 to 100
    QPushButton* btnAbort;      // "&Cancel": the same as the main window's abort button

    // Runs the main window's abort handler; empty = the button does nothing.
    std::function<void()> OnAbortClick;

    // The cancel button's handler (also reached by Escape).
    void btnAbortClick();

protected:
    // Escape must cancel the transfer, not hide the window.
    void reject() override;
    void showEvent(QShowEvent* event) override;
};
