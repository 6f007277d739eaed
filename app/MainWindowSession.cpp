// Session controller of the main window: connect, disconnect, abort, the command queue
// and the FTP client's events. Until the FTP client is part of the window there is no
// control connection, so only the enabling of the controls has work to do.
#include "app/MainWindow.h"

#include <QAction>
#include <QComboBox>
#include <QToolButton>

bool TMainWindow::ControlConnectionOpen() const
{
    return false;   // no FTP client yet: never connected
}

void TMainWindow::UpdateControls()
{
    const bool connected = ControlConnectionOpen();
    for (QWidget* control : std::initializer_list<QWidget*>{
             lvRemoteDir, btnDisconnect, cmbRemoteDirHistory, btnHome, btnUp, btnDownload,
             btnUpload, btnRefresh, btnRemoveFile, btnMKDir, btnRename, btnSendCustomCmd,
             btnCHMOD})
        control->setEnabled(connected);
    Disconnect1->setEnabled(connected);
    btnConnect->setEnabled(!connected);
    Connect1->setEnabled(!connected);
    btnAbort->setEnabled(TransferBusy);
}

void TMainWindow::btnConnectClick()
{
    // Shows the connect dialog and queues the connection once that dialog exists.
}

void TMainWindow::Connect1Click()
{
    btnConnectClick();
}

void TMainWindow::btnDisconnectClick()
{
    // Queues QUIT once the FTP client exists.
}

void TMainWindow::Disconnect1Click()
{
    btnDisconnectClick();
}

void TMainWindow::btnAbortClick()
{
    // Aborts the FTP client's request once the client exists.
}

void TMainWindow::FtpClient1RequestDone(int RqType, std::uint16_t Error)
{
}

void TMainWindow::FtpClient1SessionConnected(std::uint16_t Error)
{
}

void TMainWindow::FtpClient1SessionClosed(std::uint16_t Error)
{
}

void TMainWindow::FtpClient1StateChange()
{
    UpdateControls();
}
