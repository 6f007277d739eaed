// Transfers of the main window: download, upload, progress and the transfer type menu.
// Download, upload and progress are filled in together with the transfer step.
#include "app/MainWindow.h"

#include <QAction>

void TMainWindow::btnDownloadClick()
{
}

void TMainWindow::btnUploadClick()
{
}

void TMainWindow::FtpClient1Progress(std::int64_t Count, bool& Abort)
{
}

void TMainWindow::TransfertTypeAuto1Click()
{
    TransferTypeMode = 0;
    TransfertTypeAuto1->setChecked(true);
    TransfertTypeBinary1->setChecked(false);
    TransfertTypeAscii1->setChecked(false);
}

void TMainWindow::TransfertTypeBinary1Click()
{
    TransferTypeMode = 1;
    TransfertTypeAuto1->setChecked(false);
    TransfertTypeBinary1->setChecked(true);
    TransfertTypeAscii1->setChecked(false);
}

void TMainWindow::TransfertTypeAscii1Click()
{
    TransferTypeMode = 2;
    TransfertTypeAuto1->setChecked(false);
    TransfertTypeBinary1->setChecked(false);
    TransfertTypeAscii1->setChecked(true);
}
