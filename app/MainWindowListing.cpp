// Remote listing of the main window: the remote list's events, sorting and the
// navigation buttons. Filled in together with the listing parser.
#include "app/MainWindow.h"

void TMainWindow::lvRemoteDirChange()
{
}

void TMainWindow::lvRemoteDirDblClick()
{
}

void TMainWindow::lvRemoteDirColumnClick(int Column)
{
}

int TMainWindow::lvRemoteDirCompare(const TFileListItem& Item1, const TFileListItem& Item2)
{
    return 0;
}

void TMainWindow::lvRemoteDirEnter()
{
    RemotePaneActive = true;
}

void TMainWindow::btnHomeClick()
{
}

void TMainWindow::btnUpClick()
{
}

void TMainWindow::cmbRemoteDirHistoryChange()
{
}

void TMainWindow::btnRefreshClick()
{
}
