// The main window's desktop side: the local list's folder rows and sorting, the path
// fields, keys and drag and drop of both lists, following the local folder on disk, and
// the window state remembered per user.
#pragma once

#include "app/LocalFileList.h"
#include "app/MainWindow.h"

#include <QObject>
#include <QPoint>

#include <string>
#include <vector>

class QFileSystemWatcher;
class QTimer;

// Owned by the main window; built at the end of its constructor.
class TDesktopIntegration : public QObject {
public:
    explicit TDesktopIntegration(TMainWindow& window);
    ~TDesktopIntegration() override;

    // One row of the local list.
    struct TLocalRow {
        TMainWindow::TLocalRowKind Kind = TMainWindow::lrFile;
        int File = -1;            // index into flbLocalFiles for a file row
        TLocalEntry Entry;        // name, size, modification time
    };
    // The rows in the order the list shows them.
    std::vector<TLocalRow> Rows;
    // Column the local list is sorted by, and the direction.
    int SortColumn = 0;
    bool Descending = false;
    // The listing file when it is a private one of this process (removed with us).
    std::string PrivateListFile;

    // Orders rows: ".." first, folders before files, then by the sort column.
    void SortRows(std::vector<TLocalRow>& rows) const;
    // Sorts the shown list by column: the same column again turns the direction.
    void SortLocalList(int column);
    // Watches the shown local folder (while the local pane is visible).
    void WatchFolder();
    // Start of the local pane: the remembered folder, else the home folder.
    void StartLocalPane();
    // Reads the view-state file into the window (sizes, widths, hidden files).
    void RestoreViewState();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool ListKey(bool remote, int key, Qt::KeyboardModifiers modifiers);
    void FollowDisk();

    TMainWindow& W;
    QFileSystemWatcher* FWatcher = nullptr;
    QTimer* FFollowTimer = nullptr;
    std::string FWatched;
    std::string FStartFolder;
    std::string FInitialFolder;   // the list's folder when the window was made
    QPoint FPressPos;
    QObject* FPressView = nullptr;
    int FStartTries = 0;
    bool FSaved = false;
    bool FMissedChange = false;   // the folder changed while the pane was hidden   // the state was written at the window's close
};
