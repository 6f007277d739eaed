// Folder transfers of the main window through the transfer queue: Download and Upload of
// whole trees, Remove of whole remote trees after one confirmation, the queue pane in a
// dock, and the unfinished queue kept over a restart.
#include "app/MainWindow.h"

#include "app/ByteText.h"
#include "app/CommandQueue.h"
#include "app/TransferQueuePane.h"
#include "dialogs/FileExistsForm.h"
#include "platform/UserPlaces.h"
#include "transfer/RemotePath.h"

#include <QCoreApplication>
#include <QDockWidget>
#include <QLabel>
#include <QFile>
#include <QMessageBox>
#include <QTimer>

using namespace transfer;

void TMainWindow::CreateQueuePane()
{
    // Beside the settings: the program's folder when portable, the user's config folder otherwise.
    QueuePath = QString::fromLocal8Bit(platform::SettingsFilePath("OFTPQueue.txt"));
    dockQueue = new QDockWidget(QStringLiteral("Transfer queue"), this);
    dockQueue->setObjectName(QStringLiteral("dockQueue"));
    QueuePane = new TTransferQueuePane(dockQueue);
    dockQueue->setWidget(QueuePane);
    addDockWidget(Qt::BottomDockWidgetArea, dockQueue);
    dockQueue->hide();   // shown with the first queued folder

    TTransferQueue& queue = QueuePane->Queue;
    queue.OnLog = [this](const std::string& Line) { LogDebug(QStringLiteral("Queue: ") + TextFromBytes(Line)); };
    queue.OnExists = [this](const TTransferItem& Item, std::string& NewName) -> int {
        // The documented question, asked per file of the tree; the "all" answers hold for
        // the whole operation (the queue keeps them per batch).
        TFileExistsForm* dialog = FileExistsForm;
        if (!dialog)
            return ecRewrite;
        bool upload = Item.Direction == TDirection::Upload;
        QString target = TextFromBytes(upload ? BaseName(Item.Remote) : Item.Local);
        dialog->SaveAsMode = upload ? samInputDialog : samSaveDialog;
        dialog->TargetFileName = target;
        dialog->lblWarning->setText(target + QStringLiteral(" exists"));
        // Closed without an answer, Choice may still hold an earlier "Rewrite All": skip.
        if (dialog->ShowModal() != QDialog::Accepted)
            return ecSkip;
        if (dialog->Choice == fecSaveAs)
            NewName = BytesFromText(dialog->TargetFileName);
        return dialog->Choice;
    };
    queue.OnIdle = [this] {
        // What the queue changed on the server shows in the remote list.
        if (ControlConnectionOpen()) {
            AppendCommand(qcList);
            RunQueueIfReady();
        }
        RefillLocalList();
    };
    queue.OnBatchWalked = [this](std::uint64_t Batch, int Files, int Folders, int Failed) {
        QString text = QStringLiteral("%1 files and %2 folders will be removed").arg(Files).arg(Folders);
        if (Failed > 0)
            text += QStringLiteral(" (%1 entries cannot be removed)").arg(Failed);
        text += QStringLiteral(". Remove them?");
        // The question comes from the queue's own event: it is asked from the loop, after it.
        QTimer::singleShot(0, this, [this, Batch, text] {
            if (AskQuestion(QStringLiteral("Remove"), text)) {
                QueuePane->Queue.ReleaseBatch(Batch);
                QueuePane->Queue.Start();
            } else {
                QueuePane->Queue.RemoveBatch(Batch);
            }
        });
    };
    QueuePane->OnBeforeStart = [this] {
        if (ControlConnectionOpen())
            ConfigureQueue();
    };
}

bool TMainWindow::AskQuestion(const QString& caption, const QString& text)
{
    if (OnQuestion)
        return OnQuestion(caption, text);
    return QMessageBox::question(this, caption, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
           == QMessageBox::Yes;
}

void TMainWindow::ConfigureQueue()
{
    // Each queue connection logs in like the browsing one, with its own engine.
    const std::string host = FtpClient1->HostName(), port = FtpClient1->Port(), user = FtpClient1->UserName(),
                      password = FtpClient1->PassWord(), proxy = FtpClient1->ProxyServer(),
                      socks = FtpClient1->SocksServer(), socksPort = FtpClient1->SocksPort(),
                      socksUser = FtpClient1->SocksUserCode(), socksPassword = FtpClient1->SocksPassword();
    const bool passive = FtpClient1->PassiveMode();
    const TFtpConnectionType type = FtpClient1->ConnectionType();
    const TFtpOptions engineOptions = FtpClient1->Options();
    const TFtpTlsMode tlsMode = FtpClient1->TlsMode();
    // The certificate the browsing session accepted (verified, or trusted by the user);
    // the queue's connections accept that one and no other without asking again.
    const std::string acceptedFingerprint = FtpClient1->TlsCertificate().Fingerprint;
    QueuePane->Queue.SetConfigure([=](TFtpClient& Ftp) {
        Ftp.SetTlsMode(tlsMode);
        Ftp.OnCertificateCheck = [acceptedFingerprint](TCustomFtpCli*, const TSslCertificateInfo& Info, bool& Accept) {
            Accept = !acceptedFingerprint.empty() && Info.Fingerprint == acceptedFingerprint;
        };
        Ftp.SetHostName(host);
        Ftp.SetPort(port);
        Ftp.SetUserName(user);
        Ftp.SetPassWord(password);
        Ftp.SetConnectionType(type);
        Ftp.SetProxyServer(proxy);
        if (!socks.empty()) {
            Ftp.SetSocksServer(socks);
            Ftp.SetSocksPort(socksPort);
            Ftp.SetSocksUserCode(socksUser);
            Ftp.SetSocksPassword(socksPassword);
        }
        Ftp.SetPassiveMode(passive);
        Ftp.SetOptions(engineOptions);
    });
}

std::string TMainWindow::QueueRemotePath(const std::string& name) const
{
    std::string dir = BytesFromText(CurrentRemoteDir);
    return dir.empty() ? name : JoinRemote(dir, name);
}

bool TMainWindow::QueueFolderDownloads(const std::vector<std::string>& names)
{
    if (!ControlConnectionOpen() || names.empty())
        return false;
    ConfigureQueue();
    TBatchOptions options;
    options.IsBinary = [this](const std::string& Name) { return DetectTransferType(TextFromBytes(Name)); };
    for (const std::string& name : names) {
        std::string local = flbLocalFiles.FullPath(name);
        QueuePane->Queue.AddDownloadTree(QueueRemotePath(name), local, options);
        LogUser(QStringLiteral("Folder ") + TextFromBytes(name) + QStringLiteral(" queued for download"), lkStatus);
    }
    dockQueue->show();
    QueuePane->Queue.Start();
    return true;
}

void TMainWindow::QueueFolderUpload()
{
    if (!ControlConnectionOpen())
        return;
    ConfigureQueue();
    std::string local = flbLocalFiles.Directory();
    while (local.size() > 1 && local.back() == '/')
        local.pop_back();
    std::string name = BaseName(local);
    if (!IsPlainName(name))
        return;
    TBatchOptions options;
    options.IsBinary = [this](const std::string& Name) { return DetectTransferType(TextFromBytes(Name)); };
    QueuePane->Queue.AddUploadTree(local, QueueRemotePath(name), options);
    LogUser(QStringLiteral("Folder ") + TextFromBytes(local) + QStringLiteral(" queued for upload"), lkStatus);
    dockQueue->show();
    QueuePane->Queue.Start();
}

void TMainWindow::QueueFolderRemoves(const std::vector<std::string>& names)
{
    if (!ControlConnectionOpen())
        return;
    ConfigureQueue();
    for (const std::string& name : names)
        QueuePane->Queue.AddDeleteTree(QueueRemotePath(name), true);
    dockQueue->show();
    QueuePane->Queue.Start();
}

bool TMainWindow::CloseTransferQueue()
{
    if (!QueuePane)
        return true;
    TTransferQueue& queue = QueuePane->Queue;
    if (!queue.Idle()
        && !AskQuestion(QStringLiteral("Transfer queue"),
                        QStringLiteral("The transfer queue is not finished. Quit anyway? The unfinished items are "
                                       "kept and offered at the next start.")))
        return false;
    QString server = TextFromBytes(FtpClient1->UserName() + "@" + FtpClient1->HostName() + ":" + FtpClient1->Port());
    queue.OnIdle = nullptr;   // nothing is listed again on the way out
    queue.Stop();
    QueuePane->SaveUnfinished(QueuePath, server);
    return true;
}

void TMainWindow::OfferSavedQueue()
{
    QString server;
    int n = TTransferQueuePane::PeekSaved(QueuePath, &server);
    if (n <= 0)
        return;
    if (AskQuestion(QStringLiteral("Transfer queue"),
                    QStringLiteral("%1 unfinished transfers of %2 were kept from the last run. Put them back into "
                                   "the queue? They start with Start once you are connected.")
                        .arg(n)
                        .arg(server))) {
        QueuePane->LoadSaved(QueuePath);
        QueuePane->Queue.Stop();
        dockQueue->show();
    }
    QFile::remove(QueuePath);
}
