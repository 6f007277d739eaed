// Transfers of the main window: the transfer type (menu and extension list), download and
// upload actions, the transfer step the queue runs for each file with the file-exists
// question, and the transfer status window fed by the client's progress.
#include "app/MainWindow.h"

#include "app/ByteText.h"
#include "app/CommandQueue.h"
#include "app/ListingParser.h"
#include "dialogs/FileExistsForm.h"
#include "dialogs/TransferStatusForm.h"
#include "platform/MessageWindow.h"

#include <QAction>
#include <QLabel>
#include <QProgressBar>
#include <QTimer>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace {

// How long a progress report may wait for the status window while the per cent stays.
constexpr int kProgressIntervalMs = 50;

bool IsTransferRequest(TFtpRequest request)
{
    return request == rqGet || request == rqPut || request == rqResumeGet || request == rqResumePut;
}

// True when something stands at path, a dangling symbolic link included: writing there
// would replace or follow it.
bool LocalNameTaken(const std::string& path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// Creates path as a new empty file, never over something that stands there (a symbolic
// link included). Claiming the name before the request starts means a file that appears
// after the look for a conflict is asked about, not truncated by the download.
enum TClaim { clClaimed, clTaken, clFailed };
TClaim ClaimLocalFile(const std::string& path)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) {
        ::close(fd);
        return clClaimed;
    }
    return errno == EEXIST ? clTaken : clFailed;
}

// The size of a file opened for reading as an upload will read it; throws the system's
// open error (the action then queues nothing).
std::int64_t UploadFileSize(const std::string& path)
{
    // Not blocking: a named pipe among the selection must not hang the window.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        int error = errno;
        throw std::runtime_error("Cannot open file \"" + path + "\". " + std::strerror(error));
    }
    struct stat st {};
    std::int64_t size = ::fstat(fd, &st) == 0 ? static_cast<std::int64_t>(st.st_size) : 0;
    ::close(fd);
    return size;
}

} // namespace

// ---- transfer type ----

bool TMainWindow::DetectTransferType(const QString& fileName)
{
    TTransferTypeDecision decision =
        DecideTransferType(TransferTypeMode, BytesFromText(fileName), BytesFromText(AscModExPath));
    if (!decision.Warning.isEmpty())
        LogUser(decision.Warning, lkWarning);
    return decision.Binary;
}

void TMainWindow::TransfertTypeAuto1Click()
{
    TransferTypeMode = ttmAuto;
    TransfertTypeAuto1->setChecked(true);
    TransfertTypeBinary1->setChecked(false);
    TransfertTypeAscii1->setChecked(false);
}

void TMainWindow::TransfertTypeBinary1Click()
{
    TransferTypeMode = ttmBinary;
    TransfertTypeAuto1->setChecked(false);
    TransfertTypeBinary1->setChecked(true);
    TransfertTypeAscii1->setChecked(false);
}

void TMainWindow::TransfertTypeAscii1Click()
{
    TransferTypeMode = ttmAscii;
    TransfertTypeAuto1->setChecked(false);
    TransfertTypeBinary1->setChecked(false);
    TransfertTypeAscii1->setChecked(true);
}

// ---- actions ----

void TMainWindow::btnDownloadClick()
{
    std::vector<std::string> folders;
    if (lvRemoteDir->SelCount() > 0) {
        const TFileListModel& model = *lvRemoteDir->Model();
        for (int row : lvRemoteDir->SelectedRows()) {
            const TFileListItem& item = model.Item(row);
            if (IsRemoteDirectory(item) && !IsParentDirItem(item) && IsSafeRemoteName(RemoteItemName(item)))
                folders.push_back(RemoteItemName(item));   // whole trees go through the transfer queue
            if (IsRemoteDirectory(item) || IsParentDirItem(item))
                continue;
            const std::string name = RemoteItemName(item);
            if (!IsSafeRemoteName(name)) {
                LogUser(RefusedRemoteNameText(item.Caption), lkError);
                continue;
            }
            const QString local = TextFromBytes(flbLocalFiles.FullPath(name));
            const bool binary = DetectTransferType(item.Caption);
            AppendCommand(qcType, {QueueTypeArg(binary)});
            AppendCommand(qcGet, {item.Caption, local, RemoteItemSize(item)});
        }
    }
    AppendCommand(qcSetFlag, {QStringLiteral("0"), QStringLiteral("-1")});
    RunQueueIfReady();
    if (QueueFolders && !folders.empty())
        QueueFolderDownloads(folders);
}

void TMainWindow::btnUploadClick()
{
    struct TUpload {
        QString Name;
        QString Path;
        QString Size;
    };
    std::vector<TUpload> uploads;
    if (QueueFolders && LocalTreeActive && flbLocalFiles.SelCount() == 0 && !flbLocalFiles.Directory().empty()) {
        // The folder picked in the folder tree goes whole, through the transfer queue.
        QueueFolderUpload();
        return;
    }
    if (flbLocalFiles.SelCount() > 0) {
        // Every size is read before anything is queued: a file that cannot be opened ends
        // the action with nothing queued.
        for (const std::string& name : flbLocalFiles.SelectedNames()) {
            const std::string path = flbLocalFiles.FullPath(name);
            uploads.push_back({TextFromBytes(name), TextFromBytes(path), QString::number(UploadFileSize(path))});
        }
    }
    for (const TUpload& upload : uploads) {
        const bool binary = DetectTransferType(upload.Path);
        AppendCommand(qcType, {QueueTypeArg(binary)});
        AppendCommand(qcPut, {upload.Name, upload.Path, upload.Size});
    }
    AppendCommand(qcSetFlag, {QStringLiteral("0"), QStringLiteral("-1")});
    AppendCommand(qcList);
    RunQueueIfReady();
}

// ---- the transfer step ----

bool TMainWindow::TransferStep(bool upload)
{
    // However the step ends, the controls follow and an answer for one file is forgotten.
    struct TStepEnd {
        TMainWindow& Window;
        ~TStepEnd()
        {
            Window.UpdateControls();
            if (Window.ExistingFileDecision < fecRewriteAll)
                Window.ExistingFileDecision = -1;
        }
    } stepEnd{*this};

    const unsigned epoch = QueueEpoch();
    QString remote = QueueHeadArg(CommandQueue, 1);
    QString local = QueueHeadArg(CommandQueue, 2);
    const QString sizeText = QueueHeadArg(CommandQueue, 3);
    TFileExistsForm* dialog = FileExistsForm;

    if (dialog) {
        dialog->SaveAsMode = upload ? samInputDialog : samSaveDialog;
        dialog->TargetFileName = upload ? remote : local;
    }

    if (!upload && !IsSafeRemoteName(BytesFromText(remote))) {
        LogUser(RefusedRemoteNameText(remote), lkError);
        return true;
    }
    if (upload && !IsSafeCommandText(BytesFromText(remote))) {
        LogUser(RefusedRemoteNameText(remote), lkError);
        return true;
    }
    if (upload) {
        struct stat st {};
        if (::stat(BytesFromText(local).c_str(), &st) != 0) {
            ShowMessageBox(QStringLiteral("Can't upload ") + local + QStringLiteral(" : Local file don't exist"),
                           QStringLiteral("FTP error"), QMessageBox::Critical);
            return true;
        }
    }

    // A download claims its file when there is none: from then on nothing else can put
    // one there that the download would overwrite unasked.
    bool claimed = false;
    bool conflict;
    if (upload) {
        conflict = RemoteNameExists(BytesFromText(remote));
    } else {
        conflict = LocalNameTaken(BytesFromText(local));
        if (!conflict) {
            TClaim claim = ClaimLocalFile(BytesFromText(local));
            claimed = claim == clClaimed;
            conflict = claim == clTaken;   // a failure is the download's own to report
        }
    }

    std::int32_t decision = fecRewrite;
    if (conflict) {
        decision = ExistingFileDecision;
        if (decision == -1) {
            if (!dialog)
                return true;   // nobody to ask: nothing is overwritten
            dialog->lblWarning->setText((upload ? remote : local) + QStringLiteral(" exists"));
            const bool answered = dialog->ShowModal() == QDialog::Accepted;
            // A lost connection empties the queue while the dialog is open; the entry and
            // its batch are gone then.
            if (epoch != QueueEpoch())
                return true;
            // Every answer closes the dialog with OK. Closed otherwise, Choice still holds
            // the answer to an earlier question, perhaps "Rewrite All": skip this file.
            decision = answered ? dialog->Choice : fecSkip;
            ExistingFileDecision = decision;
        }
    }

    if (decision == fecSaveAs && dialog) {
        if (upload) {
            remote = dialog->TargetFileName;
            CommandQueue[1] = remote;
        } else {
            const QString before = local;
            local = dialog->TargetFileName;
            CommandQueue[2] = local;
            // "Open" queues the file's opening after the end of its batch: it is to open
            // the copy just saved, not the file that was kept.
            int code = 0;
            if (QueueCodeAt(CommandQueue, 4, code) && code == qcSetFlag && QueueCodeAt(CommandQueue, 7, code)
                && code == qcOpenLocal && CommandQueue.value(8) == before)
                CommandQueue[8] = local;
        }
    }

    bool resume = false;
    switch (decision) {
    case fecRewrite:
    case fecRewriteAll:
    case fecSaveAs:
        break;
    case fecRestore:
        resume = true;
        break;
    default:
        return true;   // fecSkip, fecCancelAll: this file is left alone
    }

    TFtpClient& client = *FtpClient1;
    LogUser(resume ? QStringLiteral("Restoring broken transfer...")
                   : upload ? QStringLiteral("Sending file...") : QStringLiteral("Getting file..."),
            lkStatus);
    client.SetHostFileName(BytesFromText(remote));
    client.SetLocalFileName(BytesFromText(local));
    // An offset left by an earlier transfer that failed half-way would make the engine
    // skip the start of this file; a resumed download takes its offset from the local file.
    client.SetResumeOffset(0);
    StartTransferStatus(sizeText, local);
    try {
        if (upload)
            resume ? client.ResumePut() : client.Put();
        else
            resume ? client.ResumeGet() : client.Get();
    } catch (...) {
        if (TransferStatusForm)
            TransferStatusForm->hide();
        if (claimed)
            ::unlink(BytesFromText(local).c_str());
        throw;
    }
    TransferBusy = true;
    FClaimedDownload = claimed ? BytesFromText(local) : std::string();
    return false;
}

// ---- the transfer status window ----

void TMainWindow::StartTransferStatus(const QString& sizeText, const QString& localName)
{
    if (!FProgressTimer) {
        FProgressTimer = new QTimer(this);
        FProgressTimer->setSingleShot(true);
        FProgressTimer->setInterval(kProgressIntervalMs);
        connect(FProgressTimer, &QTimer::timeout, this, [this] {
            if (FProgressThrottle.Pending())
                ShowTransferProgress();
        });
    }
    FProgressTimer->stop();
    FProgressThrottle.Reset();
    if (!TransferStatusForm)
        return;
    TTransferStatusForm& form = *TransferStatusForm;
    form.lblFileSize->setText(sizeText);
    form.lblSaveDir->setText(localName);
    // Nothing of the file before may stand beside the new name.
    form.lblLoaded->setText(QStringLiteral("Unknown"));
    form.lblLoadedProcents->setText(QStringLiteral("Unknown"));
    form.pbProgress->setValue(0);
    form.show();
}

void TMainWindow::FtpClient1Progress(std::int64_t Count, bool& Abort)
{
    // Aborting is the abort button's work; the flag stays as the client set it.
    (void)Abort;
    if (!IsTransferRequest(FtpClient1->CurrentRequest()) || !TransferStatusForm)
        return;
    // A report comes for every block of data: repainting the window for each one would
    // cost more than the transfer. The throttle lets through one report per interval; the
    // timer shows the last one held back.
    if (FProgressThrottle.Report(Count, platform::GetTickCount64()))
        ShowTransferProgress();
    else if (FProgressTimer && !FProgressTimer->isActive())
        FProgressTimer->start();
}

void TMainWindow::ShowTransferProgress()
{
    FProgressThrottle.Shown(platform::GetTickCount64());
    if (!TransferStatusForm)
        return;
    TTransferStatusForm& form = *TransferStatusForm;
    const std::int64_t count = FProgressThrottle.LastCount();
    form.lblLoaded->setText(QString::number(count) + QStringLiteral(" bytes"));
    const int percent = TransferPercent(count, TransferSizeValue(form.lblFileSize->text()));
    if (percent < 0)
        return;   // a size below 100 bytes or no number: no per cent to show
    form.lblLoadedProcents->setText(QString::number(percent) + QStringLiteral("%"));
    // The bar ignores values past its maximum instead of showing it full.
    form.pbProgress->setValue(std::min(percent, form.pbProgress->maximum()));
}
