// The main window: toolbar pages, user log, local and remote panes, menus, the two logs,
// and the handlers behind every control. The handlers of each area live in their own
// source file (MainWindowSession.cpp, MainWindowListing.cpp, MainWindowTransfers.cpp,
// MainWindowFileOps.cpp, MainWindowLocal.cpp); layout, logs and view toggles in
// MainWindow.cpp.
#pragma once

#include "app/FileListModel.h"
#include "app/FileListView.h"
#include "app/FtpFileImageList.h"
#include "app/ListingParser.h"
#include "app/LocalFileList.h"
#include "app/LocalFilterComboBox.h"
#include "app/TransferRules.h"
#include "foldertree/FolderTree.h"
#include "ftp/FtpClient.h"
#include "listing/ListingParsers.h"

#include <QMainWindow>
#include <QMessageBox>
#include <QPointer>
#include <QStringList>

#include <cstdint>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class QAction;
class QActionGroup;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QMimeData;
class QSplitter;
class QMenu;
class QMenuBar;
class QPlainTextEdit;
class QTabWidget;
class QTimer;
class QToolButton;
class QTreeView;
class QWidget;
class TAboutBox;
class TCertificateForm;
struct TSslCertificateInfo;
class TConnectForm;
class TFileExistsForm;
class TInputDialog;
class TLogForm;
class TTransferStatusForm;
class TDesktopIntegration;
class TTransferQueuePane;
class QDockWidget;

// Kind of a user-log line; selects the prefix written in front of the text.
enum TLogKind {
    lkNone,     // no prefix
    lkStatus,   // " STATUS: "
    lkError,    // "!ERROR: "
    lkWarning,  // "!WARNING: "
    lkFtp       // " FTP: "
};

// The program's main window. Components and fields are public, like the published part
// of a form, so that every area's handlers and the tests reach them by their names.
class TMainWindow : public QMainWindow {
public:
    // Builds the whole layout, the fields with their first values, then runs FormCreate.
    explicit TMainWindow(QWidget* parent = nullptr);
    ~TMainWindow() override;

    // ---- The other windows: set by start-up right after they are created. ----
    QPointer<TConnectForm> ConnectForm;
    QPointer<TLogForm> LogForm;
    QPointer<TTransferStatusForm> TransferStatusForm;
    QPointer<TFileExistsForm> FileExistsForm;
    QPointer<TInputDialog> InputDialog;
    QPointer<TAboutBox> AboutBox;

    // ---- Toolbar pages ----
    QTabWidget* pcToolbar;
    QWidget* tsMain;          // "Standard"
    QWidget* tsNavigation;    // "Navigation"
    QWidget* tsAdditional;    // "Additional"
    QToolButton* btnConnect;
    QToolButton* btnDisconnect;
    QToolButton* btnAbort;
    QToolButton* btnRefresh;
    QToolButton* btnDownload;
    QToolButton* btnUpload;
    QToolButton* btnExecFile;
    QToolButton* btnRemoveFile;
    QToolButton* btnMKDir;
    QToolButton* btnRename;
    QToolButton* btnSendCustomCmd;
    QToolButton* btnHome;
    QToolButton* btnUp;
    QLabel* lblHistory;
    QComboBox* cmbRemoteDirHistory;   // drop-down list, newest directory first
    QToolButton* btnCHMOD;

    // ---- User log ----
    QPlainTextEdit* txtUserLog;

    // ---- Local pane ----
    QFrame* panLocal;
    QFrame* panLocalToolbar;
    QToolButton* btnRefreshLocal;
    foldertree::TFolderTree* dirLocalDirs;   // picks the local pane's directory
    TFileListView* lvLocalDir;        // columns "Name", "Type"
    QFrame* panLocalFileInfo;
    QLabel* lblLocalFileSize;
    TLocalFilterComboBox* fcbLocalFilter;   // display names; the pattern list is the item data
    // The hidden file list: the local pane's directory, its names under the filter and
    // the local selection (lvLocalDir mirrors it row for row).
    TLocalFileList flbLocalFiles;

    // ---- Remote pane ----
    QFrame* panRemote;
    TFileListView* lvRemoteDir;       // columns "Name", "Size", "Type", "Attributes"
    QFrame* panRemoteFileInfo;
    QLabel* lblCurrentRemoteDir;
    QLabel* lblCurrentServer;
    QLabel* lblRemoteFileSize;
    QLabel* lblRemoteFileAttr;

    // ---- Menu ----
    QMenuBar* MainMenu1;
    QMenu* FTP1;
    QAction* Connect1;                // Ctrl+C
    QAction* Disconnect1;             // Ctrl+D
    QAction* Exit1;
    QMenu* View1;
    QAction* RemoteViewTypeReport1;   // radio, checked
    QAction* RemoteViewTypeList1;     // radio
    QAction* ShowLocalFilesPanel1;    // check, checked
    QAction* ShowLog1;                // check, checked
    QAction* Log1;
    QMenu* Options1;
    QMenu* TransferType1;
    QAction* TransfertTypeAuto1;      // radio, checked
    QAction* TransfertTypeBinary1;    // radio
    QAction* TransfertTypeAscii1;     // radio
    QAction* RequestTimeout1;         // seconds of silence that end a request (0 = never)
    QAction* KeepAlive1;              // seconds of idleness before a NOOP (0 = never)
    QMenu* Help1;
    QAction* About1;

    // ---- FTP client ----
    // The window's FTP engine: Timeout 15, Port "ftp", Binary, ftpShareExclusive,
    // [ftpAcceptLF], ftpDirect; its events run the FtpClient1... handlers.
    std::unique_ptr<TFtpClient> FtpClient1;

    // ---- Fields ----
    QStringList DebugLines;                   // the debug log, at most 201 lines
    TFtpFileImageList ImageListForFTPFiles;   // icons of both file lists

    QStringList CommandQueue;          // pending commands: code, then its arguments
    QString ListTempPath;              // beside the program: "/OFTPTEMP.TMP"
    QString AscModExPath;              // beside the program: "/AscModEx.txt", the ASCII extensions
    QString TrustedCertificatesPath;   // beside the settings file: certificates the user trusts
    QString CurrentRemoteDir;          // last directory a PWD reported
    bool ExpectClose = false;          // the next close of the control connection is expected
    bool TransferBusy = false;         // a download or upload runs; enables btnAbort
    std::int32_t ExistingFileDecision = -1;   // -1 ask, else a file-exists choice code
    std::int32_t RemoteSortColumn = 0; // column the remote list is sorted by
    bool RemoteSortDescending = false; // a second click on the same header reverses the order
    TListingSource RemoteListingSource = lsList;   // what the last listing request asked for
    bool FillingRemoteList = false;    // the remote list is being filled
    std::int32_t TransferTypeMode = 0; // 0 automatic, 1 binary, 2 ASCII
    bool FillingLocalList = false;     // the local list is being filled
    bool RemotePaneActive = false;     // the remote list was entered last

    // Called with the handler's name before any handler bound to a control runs (tests).
    std::function<void(const char* handler)> OnHandlerTrace;
    // Called after the window accepted a close; start-up ends the program there.
    std::function<void()> OnClose;
    // Replaces the modal message box of ShowMessageBox (tests); receives caption, text, icon.
    std::function<void(const QString& caption, const QString& text, QMessageBox::Icon icon)>
        OnMessageBox;
    // Replaces the desktop's "open" of ShellOpen (tests); receives the local path.
    std::function<void(const QString& path)> OnShellOpen;

    // Wraps a handler for binding to a control or another window: traces its name, and
    // hands an escaping exception to the application's error box instead of letting it
    // unwind through the toolkit.
    std::function<void()> Traced(const char* name, std::function<void()> handler);

    // ---- Logs ----
    // Appends text with the prefix of kind to txtUserLog, dropping the oldest line so
    // that at most 101 lines stay.
    void LogUser(const QString& text, TLogKind kind = lkNone);
    // Appends text to DebugLines and to the debug window, both dropping their oldest line
    // once DebugLines holds more than 200.
    void LogDebug(const QString& text);

    // ---- Start-up, logs and view (MainWindow.cpp) ----
    void FormCreate();
    void FtpClient1Display(const std::string& Msg);
    void Exit1Click();
    void Log1Click();
    void About1Click();
    void RemoteViewTypeReport1Click();
    void RemoteViewTypeList1Click();
    // The check items run after the menu inverted their check mark.
    void ShowLocalFilesPanel1Click();
    void ShowLog1Click();

    // ---- Session controller (MainWindowSession.cpp) ----
    void btnConnectClick();
    void Connect1Click();
    void btnDisconnectClick();
    void Disconnect1Click();
    void btnAbortClick();
    void FtpClient1RequestDone(int RqType, std::uint16_t Error);
    void FtpClient1SessionConnected(std::uint16_t Error);
    // A server certificate failed verification: the trusted-certificates file, else the
    // certificate dialog, decides whether the session goes on.
    void FtpClient1CertificateCheck(const TSslCertificateInfo& Info, bool& Accept);
    // The certificate dialog (made on first use, owned by this window).
    TCertificateForm& CertificateDialog();
    // The server label: the host, and the protocol and cipher while the session is encrypted.
    void ShowServerLabel();
    void FtpClient1SessionClosed(std::uint16_t Error);
    void FtpClient1StateChange();
    // Enables what needs an open control connection only while it is open.
    void UpdateControls();
    // True while the control connection is open.
    bool ControlConnectionOpen() const;
    // True when the client is in its ready state, the control connection is open and no
    // completion of a request the queue started is still on its way.
    bool IsClientIdle() const;
    // Runs queue entries from the head until one starts a request (or the queue is empty).
    // Every entry leaves the queue whole, code and arguments together. While a request is
    // in progress nothing runs and "FTP component not ready" is raised; an entry the
    // client refuses otherwise is dropped, the queue goes on, and the first refusal is
    // raised at the end.
    void RunQueue();
    // Appends one entry (code and exactly its arguments) at the end of CommandQueue.
    void AppendCommand(int code, const QStringList& args = {});
    // RunQueue when the client is in its ready state; otherwise the entries wait for the
    // next completion.
    void RunQueueIfReady();
    // Counts the times CommandQueue was emptied or had a recovery put in front: a step that
    // showed a dialog compares it to know whether its entry is still at the head.
    unsigned QueueEpoch() const { return FQueueEpoch; }
    // Logs and shows a failure of the FTP client by its error number.
    void ReportFtpError(int code);
    // A modal box with one OK button (or OnMessageBox when set).
    void ShowMessageBox(const QString& text, const QString& caption, QMessageBox::Icon icon);
    // Opens a local file with the desktop's associated program (or OnShellOpen when set).
    void ShellOpen(const QString& path);

    // ---- Steps the dispatcher runs for the transfer and remove entries ----
    // qcGet (upload false) and qcPut (upload true), with the entry at the head of the
    // queue: code at 0, remote name at 1, local path at 2, size text at 3. Reads and may
    // rewrite the arguments, may start a request, and returns true when it started none
    // (the dispatcher goes on at once). It leaves the entry in place: the dispatcher
    // removes it whole afterwards, also when the step throws.
    bool TransferStep(bool upload);
    // qcExpandRemove, with its entry at the head: removes that entry, inserts new entries
    // at the head, leaves one qcNone in front for the dispatcher to remove, and returns
    // true (continue at once).
    bool ExpandRemove();

    // ---- Remote listing (MainWindowListing.cpp) ----
    // Rebuilds lvRemoteDir from the lines of a listing: "..", then one row per matching
    // line (others are logged as errors), then one sort.
    void ParseListing(const std::vector<std::string>& lines);
    // The same for lines of a given source (LIST or MLSD).
    void ParseListing(const std::vector<std::string>& lines, TListingSource source);
    // Options: asks for the request timeout / keep-alive interval in seconds and sets it.
    void RequestTimeout1Click();
    void KeepAlive1Click();
    // Shows a listing built by BuildRemoteListing: its rows replace the list, its invalid
    // lines go to the user log.
    void ShowRemoteListing(TRemoteListing listing);
    // Reads and parses a big listing file on a thread of its own; the queue waits until its
    // rows are shown (the window stays responsive meanwhile).
    void StartListingJob(const QString& path, TListingSource source);
    // Reads the listing file as the client writes it, and builds its rows meanwhile, on a
    // thread of its own (started with the request; the text of a big listing is then mostly
    // parsed by the time the transfer ends).
    void StartListingTail(const QString& path, TListingSource source);
    // The listing request ended well: a tail job of this source finishes the rows and
    // shows them, the queue waiting for them (true), or there is none (false).
    bool FinishListingTail(TListingSource source);
    // Stops a running listing job (a tail too) and waits for its thread.
    void CancelListingJob();
    // Sorts lvRemoteDir by RemoteSortColumn and RemoteSortDescending: at once when the list
    // is short, else on a thread of its own, the rows reordered when it is done (unless
    // they changed meanwhile). The window stays responsive meanwhile.
    void SortRemoteList();
    // True while a sort of the remote list runs beside the window.
    bool RemoteSortRunning() const { return FSortCancel != nullptr; }
    // Writes what the server's FEAT answer offered to the debug log.
    void LogServerFeatures();
    // True when a row of lvRemoteDir has exactly this name (bytes, case-sensitive).
    bool RemoteNameExists(const std::string& name) const;
    void lvRemoteDirChange();
    void lvRemoteDirDblClick();
    void lvRemoteDirColumnClick(int Column);
    int lvRemoteDirCompare(const TFileListItem& Item1, const TFileListItem& Item2);
    void lvRemoteDirEnter();
    void btnHomeClick();
    void btnUpClick();
    void cmbRemoteDirHistoryChange();
    void btnRefreshClick();

    // ---- Transfers (MainWindowTransfers.cpp) ----
    // The transfer type of a file by TransferTypeMode and, in automatic mode, by the
    // extension list AscModExPath (read anew each time): true binary, false ASCII. Writes
    // the mode's warning, if any, to the user log.
    bool DetectTransferType(const QString& fileName);
    void btnDownloadClick();
    void btnUploadClick();
    void FtpClient1Progress(std::int64_t Count, bool& Abort);
    void TransfertTypeAuto1Click();
    void TransfertTypeBinary1Click();
    void TransfertTypeAscii1Click();

    // ---- Remote file operations (MainWindowFileOps.cpp) ----
    void btnRemoveFileClick();
    void btnMKDirClick();
    void btnRenameClick();
    void btnSendCustomCmdClick();
    void btnCHMODClick();
    void btnExecFileClick();
    // Called by the completion with every failed request: when it was a step of removing a
    // directory (the change into it, its listing, the change back out), drops the entries
    // that would otherwise act in the wrong directory.
    void RemoveStepFailed(int RqType);

    // ---- Folder transfers through the transfer queue (MainWindowQueue.cpp) ----
    // The queue pane (in a dock below the panes) and the queue it shows; the queue's
    // connections log in on their own, so the browsing connection stays free.
    TTransferQueuePane* QueuePane = nullptr;
    QDockWidget* dockQueue = nullptr;
    // Selected folders go through the queue (Download, Upload from the folder tree, Remove);
    // off, they are handled one level deep as before the queue existed.
    bool QueueFolders = true;
    // The local folder tree was entered last: Upload with no file selected sends its folder.
    bool LocalTreeActive = false;
    // Beside the program: "/OFTPQueue.txt", the unfinished queue of the last run.
    QString QueuePath;
    // Replaces the modal yes/no question of AskQuestion (tests); true for yes.
    std::function<bool(const QString& caption, const QString& text)> OnQuestion;
    // A yes/no question box (or OnQuestion when set).
    bool AskQuestion(const QString& caption, const QString& text);
    // Queues the remote folders (names in the current remote directory) for download into
    // the local pane's directory; true when any was queued.
    bool QueueFolderDownloads(const std::vector<std::string>& names);
    // Queues the local pane's directory for upload into the current remote directory.
    void QueueFolderUpload();
    // Walks the remote folders, asks once how many files and folders will go, then deletes
    // them through the queue and lists the directory again.
    void QueueFolderRemoves(const std::vector<std::string>& names);
    // Closing: asks when the queue still works; saves what is unfinished. False keeps the
    // window open.
    bool CloseTransferQueue();
    // Offers the queue saved by the last run (the program's start calls it once the window
    // is up).
    void OfferSavedQueue();

    // ---- Local pane (MainWindowLocal.cpp) ----
    void dirLocalDirsChange();
    void dirLocalDirsEnter();
    void fcbLocalFilterChange();
    void lvLocalDirChange();
    void lvLocalDirEnter();
    void btnRefreshLocalClick();
    // Clears RemotePaneActive and shows the size of the current local file, if it exists.
    void flbLocalFilesChange();
    // Reads the local directory anew and rebuilds lvLocalDir from flbLocalFiles: name,
    // type name ("File" when the desktop knows none) and icon per file; the selection of
    // both is cleared.
    void RefillLocalList();

    // ---- Desktop integration (MainWindowDesktop.cpp): per-user places, the local pane's
    // start, hidden files, keyboard, drag and drop, the remembered window state. ----
    QSplitter* splPanes = nullptr;        // local pane | remote pane
    QLineEdit* txtLocalPath = nullptr;    // path field above the local list: Enter goes there
    QLineEdit* txtRemotePath = nullptr;   // path field above the remote list: Enter changes to it
    QAction* ShowHiddenFiles1 = nullptr;  // View menu "Show hidden files", Ctrl+H, unchecked
    bool StartMaximized = true;           // how start-up shows the window (remembered state)
    // Replaces the yes/no question of the Delete key (tests); receives the question.
    std::function<bool(const QString& question)> OnConfirm;
    // The listing file: "/OFTPTEMP.TMP" beside the program for portable use, otherwise a
    // private file of this process (0600, removed at exit).
    static QString DefaultListTempPath();
    // The local pane's rows besides the files: ".." and the sub-folders first. Row kinds
    // and the index of a file row into flbLocalFiles (-1 for the others).
    enum TLocalRowKind { lrParent, lrFolder, lrFile };
    TLocalRowKind LocalRowKind(int row) const;
    int LocalRowFile(int row) const;
    // Shows a local folder in the tree (when it can reach it) and in the list; false when
    // path is no folder.
    bool GoLocalFolder(const QString& path);
    // Key actions of the two lists (Enter, Backspace, F5, Delete, F2).
    void LocalOpenCurrent();
    void LocalParent();
    void LocalDeleteSelected();
    void LocalRenameCurrent();
    void RemoteOpenCurrent();
    void RemoteDeleteSelected();
    // What a drag from a list carries: the pane it came from and, for local files, their
    // addresses (text/uri-list) for other programs.
    QMimeData* DragData(bool fromRemote) const;
    // Handles a drop onto a list; true when it queued a transfer.
    bool DropOnList(bool ontoRemote, const QMimeData& data);
    // Writes the window's state (size, pane sizes, column widths, last local folder,
    // hidden files) to the user's view-state file; read back at the next start.
    void SaveViewState();
    // The view-state file: "OFTPView.ini" in the user's configuration folder.
    static QString ViewStatePath();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    TCertificateForm* FCertificateForm = nullptr;
    void CreateFtpClient();
    void ReleaseFtpClient();
    bool ClientBusy() const;
    bool DispatchHead(int code);
    void PrepareListFile();
    void CreateToolbar();
    void CreateUserLog();
    void CreateLocalPane(QWidget* parent);
    void CreateRemotePane(QWidget* parent);
    void CreateMenu();
    void BindHandlers();
    void CreateQueuePane();
    void ConfigureQueue();
    std::string QueueRemotePath(const std::string& name) const;
    QToolButton* NewToolButton(QWidget* page, const char* name, int left, const QString& hint,
                               const char* iconName);

    TFileListModel* FRemoteModel;
    TFileListModel* FLocalModel;
    QActionGroup* FRemoteViewGroup;
    QActionGroup* FTransferTypeGroup;
    std::vector<QAction*> FShortcutActions;   // menu items whose shortcut beats text boxes
    unsigned FQueueEpoch = 0;
    bool FAwaitingDone = false;   // a request the queue started has not completed yet
    bool FAbortRequested = false; // Abort was pressed while a request ran: its completion is no success
    std::string FClaimedDownload; // the empty file the running download claimed, to go if it fails
    std::thread FListingThread;                        // the running listing job, if any
    std::shared_ptr<std::atomic<bool>> FListingCancel;   // set to drop its result
    struct TListingTail {
        TListingSource Source = lsList;
        std::atomic<bool> Done{false};   // the request ended: the file is complete
        std::shared_ptr<std::atomic<bool>> Cancel;
    };
    std::shared_ptr<TListingTail> FListingTail;   // the tail job of the running listing request
    void PostListing(std::shared_ptr<TRemoteListing> result, std::shared_ptr<std::atomic<bool>> cancel, int column,
                     bool descending);
    std::thread FListFileRemover;   // removes the last big listing file, renamed out of the way
    // Sorts run on threads that are not waited for (a sort cannot stop half-way); they
    // reach the window through this, which the window clears when it goes.
    struct TWindowLink {
        std::mutex Lock;
        TMainWindow* Window;
    };
    std::shared_ptr<TWindowLink> FLink;
    std::shared_ptr<std::atomic<bool>> FSortCancel;   // the running sort's: set to drop its result

    // Transfers: the status window is repainted through a throttle; a report held back
    // is shown by FProgressTimer, so the last count always reaches the window.
    void StartTransferStatus(const QString& sizeText, const QString& localName);
    void ShowTransferProgress();
    TProgressThrottle FProgressThrottle;
    QTimer* FProgressTimer = nullptr;

    // Desktop integration: set up at the end of the constructor.
    friend class TDesktopIntegration;
    void InstallDesktopIntegration();
    std::unique_ptr<TDesktopIntegration> FDesktop;
};
