// Remote file operations of the main window: remove, new directory, rename, CHMOD,
// custom command and open. Filled in together with the command queue.
#include "app/MainWindow.h"

void TMainWindow::btnRemoveFileClick()
{
}

void TMainWindow::btnMKDirClick()
{
}

void TMainWindow::btnRenameClick()
{
}

void TMainWindow::btnSendCustomCmdClick()
{
}

void TMainWindow::btnCHMODClick()
{
}

void TMainWindow::btnExecFileClick()
{
}
