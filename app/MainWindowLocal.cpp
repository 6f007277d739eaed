// Local pane of the main window: folder tree, filter and local list events, and which
// pane the user worked in last. The list refill comes with the folder tree.
#include "app/MainWindow.h"

void TMainWindow::dirLocalDirsChange()
{
}

void TMainWindow::dirLocalDirsEnter()
{
    RemotePaneActive = false;
}

void TMainWindow::fcbLocalFilterChange()
{
}

void TMainWindow::lvLocalDirChange()
{
}

void TMainWindow::lvLocalDirEnter()
{
    RemotePaneActive = false;
}

void TMainWindow::btnRefreshLocalClick()
{
}
