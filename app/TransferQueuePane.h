// The transfer queue pane of the main window: the list of queued downloads, uploads and
// deletes with their state, the total progress with speed and time left, and the buttons
// that remove, retry and start items. The queue itself lives in transfer/ (shared with oftp).
#pragma once

#include "transfer/TransferQueue.h"

#include <QHash>
#include <QString>
#include <QWidget>

#include <cstdint>
#include <functional>

class QLabel;
class QProgressBar;
class QPushButton;
class QSpinBox;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;

// Columns of lvQueue.
enum TQueueColumn { qcolDirection = 0, qcolLocal, qcolRemote, qcolSize, qcolState, qcolReply };

class TTransferQueuePane : public QWidget {
public:
    // An empty pane over an empty queue (two connections).
    explicit TTransferQueuePane(QWidget* parent = nullptr);
    ~TTransferQueuePane() override;

    // The queue the pane shows.
    transfer::TTransferQueue Queue;

    QTreeWidget* lvQueue;
    QLabel* lblQueueProgress;     // total: bytes, per cent, speed, time left, files
    QLabel* lblQueueFile;         // the files that run now, with their per cent
    QProgressBar* pbQueue;
    QPushButton* btnQueueStart;   // "Start" / "Stop"
    QPushButton* btnQueueRemove;
    QPushButton* btnQueueRetry;
    QPushButton* btnQueueClear;
    QSpinBox* spnConnections;     // 1 to 10

    // Runs before Start and Retry start the queue (the window sets up the logins there).
    std::function<void()> OnBeforeStart;

    // The text of the total progress line (also for tests).
    QString ProgressText() const;
    // Removes the selected items that do not run.
    void RemoveSelected();
    // Saves the pending, running and failed items to Path (nothing is written, and an old
    // file is removed, when there are none); false when it cannot be written.
    bool SaveUnfinished(const QString& Path, const QString& Server) const;
    // Reads what SaveUnfinished wrote: the number of items and the server, without adding.
    static int PeekSaved(const QString& Path, QString* Server);
    // Adds the items saved in Path to the queue (pending, not started); their count.
    int LoadSaved(const QString& Path);

private:
    void ItemChanged(const transfer::TTransferItem& Item);
    void Refresh();
    void UpdateButtons();
    QHash<quint64, QTreeWidgetItem*> FRows;
    QTimer* FTimer;
};

// "12.5 MiB" style sizes of the queue pane.
QString QueueSizeText(double Bytes);
