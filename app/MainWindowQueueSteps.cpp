// The queue steps that transfers and remote file operations supply, in the form they take
// until those areas fill them in: each honours the dispatcher's contract and starts nothing.
#include "app/MainWindow.h"

#include "app/CommandQueue.h"

bool TMainWindow::TransferStep(bool upload)
{
    // The entry (code and its three arguments) stays for the dispatcher to remove.
    LogDebug(QStringLiteral("From Ombrex: ") + (upload ? QStringLiteral("upload of ") : QStringLiteral("download of "))
             + QueueHeadArg(CommandQueue, 1) + QStringLiteral(" skipped"));
    UpdateControls();
    return true;
}

bool TMainWindow::ExpandRemove()
{
    // No entries to put in: the own entry becomes the placeholder the dispatcher removes.
    CommandQueue[0] = QString::number(qcNone);
    return true;
}
