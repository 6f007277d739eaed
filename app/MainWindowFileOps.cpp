// Remote file operations of the main window: remove (files, and directories one level
// deep through the remove expansion), new directory, rename, CHMOD, custom command and
// open; and what stops a directory's removal when a change of directory around it fails.
#include "app/MainWindow.h"

#include "app/ByteText.h"
#include "app/CommandQueue.h"
#include "app/ListingParser.h"
#include "dialogs/InputDialog.h"

#include <QLineEdit>

namespace {

// Asks for one line with the shared input dialog; false when the user cancelled.
bool AskLine(TInputDialog* dialog, const QString& prompt, const QString& caption, const QString& initial,
             QString& answer)
{
    if (!dialog)
        return false;
    dialog->Prepare(prompt, caption, initial);
    if (dialog->ShowModal() != QDialog::Accepted)
        return false;
    answer = dialog->txtResult->text();   // unchanged: no trimming, empty allowed
    return true;
}

// The entry at position pos has this code.
bool CodeAt(const QStringList& queue, int pos, int code)
{
    int found = -1;
    return QueueCodeAt(queue, pos, found) && found == code;
}

} // namespace

// ---- remove ----

void TMainWindow::btnRemoveFileClick()
{
    std::vector<std::string> folders;
    if (lvRemoteDir->SelCount() > 0) {
        const TFileListModel& model = *lvRemoteDir->Model();
        for (int row : lvRemoteDir->SelectedRows()) {
            const TFileListItem& item = model.Item(row);
            if (IsParentDirItem(item))
                continue;
            // A name that is no plain name would act outside the directory shown: a
            // directory "a/b" is left by one CDUP into "a", where the later entries would
            // then run.
            if (!IsSafeRemoteName(RemoteItemName(item))) {
                LogUser(RefusedRemoteNameText(item.Caption),
                        lkError);
                continue;
            }
            if (IsRemoteDirectory(item) && QueueFolders) {
                // Whole trees go through the transfer queue after one confirmation.
                folders.push_back(RemoteItemName(item));
            } else if (IsRemoteDirectory(item)) {
                AppendCommand(qcCwd, {item.Caption});
                AppendCommand(qcList);
                AppendCommand(qcExpandRemove);
                AppendCommand(qcCdUp);
                AppendCommand(qcRmd, {item.Caption});
            } else {
                AppendCommand(qcDele, {item.Caption});
            }
        }
    }
    AppendCommand(qcList);
    RunQueueIfReady();
    if (!folders.empty())
        QueueFolderRemoves(folders);
}

bool TMainWindow::ExpandRemove()
{
    const unsigned epoch = QueueEpoch();
    QueueDropHead(CommandQueue);

    // The rows are read first: a box below runs the event loop, and a lost connection
    // there clears the list.
    QStringList files;
    QStringList refused;
    int subdirectories = 0;
    const TFileListModel& model = *lvRemoteDir->Model();
    for (int row = 0; row < model.Count(); ++row) {
        const TFileListItem& item = model.Item(row);
        if (IsParentDirItem(item))
            continue;
        if (IsRemoteDirectory(item))
            ++subdirectories;
        else if (IsSafeRemoteName(RemoteItemName(item)))
            files.append(item.Caption);
        else
            refused.append(item.Caption);   // "../x" would delete outside the directory
    }
    for (const QString& name : refused)
        LogUser(RefusedRemoteNameText(name), lkError);
    for (int i = 0; i < subdirectories; ++i)
        ShowMessageBox(QStringLiteral("There are subdirs in this, directory. They will not removed"),
                       QStringLiteral("FTP Warning"), QMessageBox::Warning);
    if (epoch != QueueEpoch())
        return true;   // the queue went with the connection: nothing to put in front

    // Each file goes in front of the ones before it, so they are deleted in reverse list
    // order; the entries are put in at once, not one insertion per file.
    QStringList front;
    front.reserve(1 + 2 * files.size());
    front.append(QString::number(qcNone));
    for (qsizetype i = files.size() - 1; i >= 0; --i) {
        front.append(QString::number(qcDele));
        front.append(files[i]);
    }
    CommandQueue = front + CommandQueue;
    return true;
}

void TMainWindow::RemoveStepFailed(int RqType)
{
    QStringList& queue = CommandQueue;
    switch (RqType) {
    case rqCwd:
        // The change into a directory being removed failed: its listing, expansion, CDUP
        // and RMD would act on the directory above. They go, up to its RMD.
        if (CodeAt(queue, 0, qcList) && CodeAt(queue, 1, qcExpandRemove)) {
            while (!queue.isEmpty()) {
                const bool last = CodeAt(queue, 0, qcRmd);
                QueueDropHead(queue);
                if (last)
                    break;
            }
            LogDebug(QStringLiteral("From Ombrex: directory not entered, its removal dropped"));
        }
        break;
    case rqListDir:
        // The list still shows the directory above: nothing of it may be expanded.
        if (CodeAt(queue, 0, qcExpandRemove))
            QueueDropHead(queue);
        break;
    case rqCdup:
        // Still inside the removed directory: the rest of the removal would run there. The
        // RMD goes, then the later entries of the same action (deletes, and directories with
        // their five entries), then its closing listing.
        if (!CodeAt(queue, 0, qcRmd))
            break;
        QueueDropHead(queue);
        for (;;) {
            if (CodeAt(queue, 0, qcDele)) {
                QueueDropHead(queue);
            } else if (CodeAt(queue, 0, qcCwd) && CodeAt(queue, 2, qcList) && CodeAt(queue, 3, qcExpandRemove)) {
                for (int i = 0; i < 5 && !queue.isEmpty(); ++i)
                    QueueDropHead(queue);
            } else {
                break;
            }
        }
        if (CodeAt(queue, 0, qcList))
            QueueDropHead(queue);
        LogDebug(QStringLiteral("From Ombrex: parent directory not reached, removal stopped"));
        break;
    default:
        break;
    }
}

// ---- new directory, rename, command, attributes ----

void TMainWindow::btnMKDirClick()
{
    QString name;
    if (!AskLine(InputDialog, QStringLiteral("Enter new directory name:"), QStringLiteral("New directory..."),
                 QString(), name))
        return;
    AppendCommand(qcMkd, {name});
    RunQueueIfReady();
}

void TMainWindow::btnRenameClick()
{
    if (lvRemoteDir->SelCount() != 1)
        return;
    const QString old = lvRemoteDir->Model()->Item(lvRemoteDir->SelectedRows().front()).Caption;
    QString name;
    if (!AskLine(InputDialog, QStringLiteral("Enter new file name:"), QStringLiteral("Rename..."), old, name))
        return;
    AppendCommand(qcRename, {old, name});
    RunQueueIfReady();
}

void TMainWindow::btnSendCustomCmdClick()
{
    QString line;
    if (!AskLine(InputDialog, QStringLiteral("Enter ftp command:"), QStringLiteral("Custom command"), QString(), line))
        return;
    AppendCommand(qcRaw, {line});
    RunQueueIfReady();
}

void TMainWindow::btnCHMODClick()
{
    if (lvRemoteDir->SelCount() != 1)
        return;
    const QString name = lvRemoteDir->Model()->Item(lvRemoteDir->SelectedRows().front()).Caption;
    QString mode;
    if (!AskLine(InputDialog, QStringLiteral("Enter file attributes:"), QStringLiteral("CHMOD"),
                 QStringLiteral("644"), mode))
        return;
    AppendCommand(qcRaw, {QStringLiteral("SITE CHMOD ") + mode + QStringLiteral(" ") + name});
    AppendCommand(qcList);
    RunQueueIfReady();
}

// ---- open ----

void TMainWindow::btnExecFileClick()
{
    if (!RemotePaneActive) {
        if (flbLocalFiles.ItemIndex() >= 0)
            ShellOpen(TextFromBytes(flbLocalFiles.FileName()));
        return;
    }
    if (lvRemoteDir->SelCount() != 1)
        return;
    const TFileListItem& item = lvRemoteDir->Model()->Item(lvRemoteDir->SelectedRows().front());
    if (IsRemoteDirectory(item))
        return;
    const std::string name = RemoteItemName(item);
    if (!IsSafeRemoteName(name)) {
        // Opening "directory/.." would hand the folder above to the desktop.
        LogUser(RefusedRemoteNameText(item.Caption),
                lkError);
        return;
    }
    const QString local = TextFromBytes(flbLocalFiles.FullPath(name));
    const bool binary = DetectTransferType(item.Caption);
    AppendCommand(qcType, {QueueTypeArg(binary)});
    AppendCommand(qcGet, {item.Caption, local, RemoteItemSize(item)});
    AppendCommand(qcSetFlag, {QStringLiteral("0"), QStringLiteral("-1")});
    AppendCommand(qcOpenLocal, {local});
    RunQueueIfReady();
}
