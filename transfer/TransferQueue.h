// The transfer queue: files and folders to download, upload or delete, worked off by up to
// N engines of their own (each with its own login), with folder walks, the file-exists
// answers of a whole operation, progress with speed and time left, and failures kept per
// item. Runs on the thread of the event loop; every event is delivered from that loop.
#pragma once

#include "transfer/ProgressMeter.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

class TFtpClient;

namespace transfer {

// What an item does.
enum class TDirection { Download, Upload, Delete };
// A file, or a folder (walked for downloads and deletes, created for uploads).
enum class TItemKind { File, Folder, Link };
// Where an item stands.
enum class TItemState { Pending, Running, Done, Failed, Skipped };

// The answers to "the target exists", numbered as the file-exists dialog numbers them.
enum TExistsChoice {
    ecAsk = -1,
    ecRewrite = 0,
    ecSkip = 1,
    ecRestore = 2,
    ecSaveAs = 3,
    ecRewriteAll = 10,
    ecCancelAll = 11,
};

// One line of the queue.
struct TTransferItem {
    std::uint64_t Id = 0;
    std::uint64_t Batch = 0;       // the operation the item belongs to
    TDirection Direction = TDirection::Download;
    TItemKind Kind = TItemKind::File;
    std::string Local;             // local path ("" for deletes)
    std::string Remote;            // remote path
    std::int64_t Size = -1;        // bytes expected, -1 when not known
    std::int64_t Transferred = 0;  // bytes moved so far, the resumed part included
    TItemState State = TItemState::Pending;
    std::string Reply;             // the server's reply (or the local reason) of a failure
    bool Binary = true;            // transfer type of a file
    bool Resume = false;           // continue a broken transfer instead of starting anew
    std::uint64_t Parent = 0;      // the folder item this one waits for (0: none)
    // Internal bookkeeping of the walk.
    int Phase = 0;                 // folders of a delete: 0 list, 1 remove
    int OpenChildren = 0;          // items below a folder of a delete that are not finished
    int LinkDepth = 0;             // links followed on the way down to this item
    std::string RealRemote;        // the folder's path with followed links resolved
};

// How an operation treats its files.
struct TBatchOptions {
    // Transfer type of a file by its name; empty: every file binary.
    std::function<bool(const std::string& Name)> IsBinary;
    // The answer that holds for existing targets from the start (ecAsk asks OnExists, or
    // rewrites when OnExists is empty).
    int ExistsDecision = ecAsk;
    // Every file continues a broken transfer (as if each had been answered with ecRestore).
    bool Resume = false;
};

// Totals of the queue.
struct TQueueProgress {
    std::int64_t TotalBytes = 0;   // bytes of every file whose size is known
    std::int64_t DoneBytes = 0;    // bytes moved (resumed parts included)
    double Speed = 0;              // smoothed, bytes per second
    std::int64_t SecondsLeft = -1; // -1 while not known
    int Files = 0, FilesDone = 0, Failed = 0, Pending = 0, Running = 0;
};

class TQueueWindow;
struct TConnection;

class TTransferQueue {
public:
    // An empty queue with no connections.
    TTransferQueue();
    // Drops every connection without waiting for the server.
    ~TTransferQueue();
    TTransferQueue(const TTransferQueue&) = delete;
    TTransferQueue& operator=(const TTransferQueue&) = delete;

    // Engines at most (1 to 10; default 2).
    void SetMaxConnections(int Value);
    int MaxConnections() const { return FMaxConnections; }
    // Sets up each new engine (server, port, login, passive, proxy ...) before its login.
    void SetConfigure(std::function<void(TFtpClient&)> Configure) { FConfigure = std::move(Configure); }

    // ---- adding work; each returns the batch id ----

    // The remote folder RemoteDir becomes the local folder LocalDir (created when missing).
    std::uint64_t AddDownloadTree(const std::string& RemoteDir, const std::string& LocalDir, TBatchOptions Options = {});
    // The local folder LocalDir becomes the remote folder RemoteDir (created when missing).
    std::uint64_t AddUploadTree(const std::string& LocalDir, const std::string& RemoteDir, TBatchOptions Options = {});
    // The remote folder and everything below it are deleted; links are deleted, not followed.
    // A held delete only walks the tree: OnBatchWalked then tells how much would go, and
    // nothing is deleted before ReleaseBatch.
    std::uint64_t AddDeleteTree(const std::string& RemoteDir, bool Hold = false);
    // Lets a held batch go on.
    void ReleaseBatch(std::uint64_t Batch);
    // Removes every item of a batch that does not run.
    void RemoveBatch(std::uint64_t Batch);
    // True while a batch has items pending or running.
    bool BatchActive(std::uint64_t Batch) const;
    // One file each; Size -1 when not known.
    std::uint64_t AddDownloadFile(const std::string& Remote, const std::string& Local, std::int64_t Size,
                                  TBatchOptions Options = {});
    std::uint64_t AddUploadFile(const std::string& Local, const std::string& Remote, TBatchOptions Options = {});
    std::uint64_t AddDeleteFile(const std::string& Remote);
    // Adds an item as it was saved (state Pending); the batch id is that of the item.
    void Restore(const TTransferItem& Item);

    // ---- running ----

    // Starts (or continues) working off pending items.
    void Start();
    // Stops taking new items; running ones are aborted and go back to pending.
    void Stop();
    // True while the queue works (started and not stopped, items pending or running).
    bool Active() const { return FStarted && !FStopped; }
    // The reason the queue stopped by itself ("" when it did not).
    const std::string& StopReason() const { return FStopReason; }
    // Connections logged in now.
    int ConnectionCount() const;
    // The largest number of connections the server allowed so far (0 before the first).
    int PeakConnections() const { return FPeakConnections; }

    // ---- the list ----

    // The items, in the order they were added.
    std::vector<const TTransferItem*> Items() const;
    const TTransferItem* Find(std::uint64_t Id) const;
    // Removes an item that does not run (a folder together with what lies below it).
    bool Remove(std::uint64_t Id);
    // Removes every finished (done or skipped) item.
    void RemoveFinished();
    // Puts a failed item back to pending; Resume continues where it broke.
    bool Retry(std::uint64_t Id, bool Resume = false);
    // Puts every failed item back to pending.
    void RetryFailed(bool Resume = false);
    // True when no item is pending or running.
    bool Idle() const;
    // Pending, running and failed items, for saving the queue.
    std::vector<TTransferItem> Unfinished() const;
    // Totals, speed and time left.
    TQueueProgress Progress() const;

    // ---- events (empty ones are skipped) ----

    // An item changed state (or was added).
    std::function<void(const TTransferItem&)> OnItemChanged;
    // Bytes moved; at most every 100 ms and at the end of each file.
    std::function<void()> OnProgress;
    // A log line about the queue's connections and items.
    std::function<void(const std::string&)> OnLog;
    // Nothing is left to do (or the queue stopped); see StopReason.
    std::function<void()> OnIdle;
    // The target of Item exists and its batch has no answer yet: returns an TExistsChoice;
    // for ecSaveAs, NewName holds the new target (a local path or a remote path).
    std::function<int(const TTransferItem& Item, std::string& NewName)> OnExists;

    // A held batch has been walked: Files files and Folders folders (the top one included)
    // would go; Failed entries could not be listed or are refused.
    std::function<void(std::uint64_t Batch, int Files, int Folders, int Failed)> OnBatchWalked;

    // Tests: a local path counts as a full disk when this returns true (default: statvfs).
    std::function<bool(const std::string& Path)> DiskFull;

private:
    friend class TQueueWindow;
    friend struct TConnection;
    struct TBatch {
        TBatchOptions Options;
        int Decision = ecAsk;
        std::string LocalRoot;     // downloads: nothing is written outside it
        std::string RemoteRoot;
        std::set<std::string> FollowedLinks;
        bool Hold = false;
    };
    void CheckHeldBatches();

    TTransferItem& NewItem(std::uint64_t Batch, TDirection Direction, TItemKind Kind);
    std::uint64_t NewBatch(TBatchOptions Options);
    TTransferItem* Get(std::uint64_t Id);
    void Changed(TTransferItem& Item);
    void SetState(TTransferItem& Item, TItemState State, const std::string& Reply = "");
    void Log(const std::string& Line);
    void PostSchedule();
    // Frees the connection without a transfer (Skipped, when given, is marked skipped with
    // Reason) and lets the queue go on.
    void ReleaseConnection(TConnection* Conn, TTransferItem* Skipped, const std::string& Reason);
    void Schedule();
    bool Eligible(const TTransferItem& Item) const;
    TTransferItem* NextItem();
    void OpenConnections(int Wanted);
    void ConnectionReady(TConnection* Conn);
    void ConnectionFailed(TConnection* Conn, int Code, const std::string& Reply);
    void Dispatch(TConnection* Conn, TTransferItem& Item);
    void ItemFinished(TConnection* Conn, TTransferItem& Item, bool Ok, const std::string& Reply);
    void FinishChild(TTransferItem& Item);
    void CheckIdle();
    void StopWith(const std::string& Reason);
    void Progressed(TTransferItem& Item, std::int64_t Count);
    bool LocalTargetAllowed(const TTransferItem& Item, std::string& Why) const;
    int ExistsAnswer(TTransferItem& Item);
    // Work of one item on a connection (TransferQueueWork.cpp).
    void StartDownload(TConnection* Conn, TTransferItem& Item);
    void StartUpload(TConnection* Conn, TTransferItem& Item);
    void StartUploadAfterSize(TConnection* Conn, std::uint64_t Id, bool Exists, std::int64_t RemoteSize);
    void StartDelete(TConnection* Conn, TTransferItem& Item);
    void StartFolder(TConnection* Conn, TTransferItem& Item);
    void ListFolder(TConnection* Conn, std::uint64_t Id);
    void FolderListed(TConnection* Conn, std::uint64_t Id, const std::string& Data);
    void FinishTransfer(TConnection* Conn, std::uint64_t Id, std::function<void(std::uint16_t)> Start);

    int FMaxConnections = 2;
    int FAllowed = 10;               // lowered when the server refuses more logins
    int FPeakConnections = 0;
    std::function<void(TFtpClient&)> FConfigure;
    std::vector<std::unique_ptr<TTransferItem>> FItems;
    std::map<std::uint64_t, TTransferItem*> FById;
    std::map<std::uint64_t, TBatch> FBatches;
    std::vector<std::unique_ptr<TConnection>> FConnections;
    std::uint64_t FNextId = 1;
    std::uint64_t FNextBatch = 1;
    bool FStarted = false;
    bool FStopped = false;
    bool FIdleReported = true;
    std::string FStopReason;
    bool FSchedulePosted = false;
    bool FInSchedule = false;
    bool FScheduleAgain = false;   // a schedule came while a question was open
    bool FAsking = false;
    int FLoginFailures = 0;
    std::unique_ptr<TQueueWindow> FWindow;
    TProgressMeter FMeter;
    std::int64_t FDoneBytes = 0;
    std::uint64_t FLastProgress = 0;
    std::shared_ptr<bool> FAlive = std::make_shared<bool>(true);
};

// The text of a state ("Pending", "Running", "Done", "Failed", "Skipped").
const char* ItemStateName(TItemState State);
// The text of a direction ("Download", "Upload", "Delete").
const char* DirectionName(TDirection Direction);

} // namespace transfer
