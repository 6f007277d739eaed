// Session controller of the main window: the FTP client and its events, the command queue
// and its dispatcher, connect, disconnect and abort, error reports and the enabling of
// the controls.
#include "app/MainWindow.h"

#include "app/ByteText.h"
#include "app/CommandQueue.h"
#include "app/ListingParser.h"
#include "dialogs/ConnectForm.h"
#include "dialogs/TransferStatusForm.h"
#include "platform/MessageWindow.h"
#include "socket/WSocketResolve.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>
#include <QUrl>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <exception>

namespace {

constexpr int kHistoryMax = 100;
// Listing files above this size are parsed on a thread of their own (about 15,000 lines).
constexpr qint64 kListingInBackground = 1 << 20;

// An exception that escapes a handler of the client is shown in the application's error
// box, as one from a control's handler is; it never reaches the engine.
template <typename F>
void Guarded(F&& handler)
{
    try {
        handler();
    } catch (...) {
        platform::HandleException(std::current_exception());
    }
}

QString Text(const std::string& bytes)
{
    return QString::fromLocal8Bit(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

} // namespace

// ---- the client ----

void TMainWindow::CreateFtpClient()
{
    FtpClient1 = std::make_unique<TFtpClient>();
    TFtpClient& client = *FtpClient1;
    client.SetTimeout(15);
    client.SetMultiThreaded(false);
    client.SetPort("ftp");
    client.SetDisplayFileFlag(false);
    client.SetBinary(true);
    client.SetShareMode(ftpShareExclusive);
    client.SetOptions(TFtpOptions{ftpAcceptLF});
    client.SetConnectionType(ftpDirect);
    // Newer servers say what they offer after login; the listing and names use it.
    client.SetFeatAfterLogin(true);
    // A server that stops answering ends the request after 30 s of silence instead of
    // hanging the window; an idle session says NOOP every 60 s so that firewalls keep it.
    client.SetRequestTimeout(30);
    client.SetKeepAlive(60);

    client.OnDisplay = [this](TCustomFtpCli*, std::string& Msg) {
        Guarded([&] { FtpClient1Display(Msg); });
    };
    client.OnProgress = [this](TCustomFtpCli*, std::int64_t Count, bool& Abort) {
        Guarded([&] { FtpClient1Progress(Count, Abort); });
    };
    client.OnSessionConnected = [this](TCustomFtpCli*, std::uint16_t Error) {
        Guarded([&] { FtpClient1SessionConnected(Error); });
    };
    client.OnSessionClosed = [this](TCustomFtpCli*, std::uint16_t Error) {
        Guarded([&] { FtpClient1SessionClosed(Error); });
    };
    client.OnRequestDone = [this](TCustomFtpCli*, TFtpRequest RqType, std::uint16_t Error) {
        Guarded([&] { FtpClient1RequestDone(static_cast<int>(RqType), Error); });
    };
    client.OnStateChange = [this](TCustomFtpCli*) { Guarded([&] { FtpClient1StateChange(); }); };
    client.OnCertificateCheck = [this](TCustomFtpCli*, const TSslCertificateInfo& Info, bool& Accept) {
        Guarded([&] { FtpClient1CertificateCheck(Info, Accept); });
    };
}

void TMainWindow::ReleaseFtpClient()
{
    if (!FtpClient1)
        return;
    TFtpClient& client = *FtpClient1;
    client.OnDisplay = nullptr;
    client.OnProgress = nullptr;
    client.OnSessionConnected = nullptr;
    client.OnSessionClosed = nullptr;
    client.OnRequestDone = nullptr;
    client.OnStateChange = nullptr;
    client.OnCertificateCheck = nullptr;
    FtpClient1.reset();
}

bool TMainWindow::ControlConnectionOpen() const
{
    return FtpClient1 && FtpClient1->Connected();
}

bool TMainWindow::IsClientIdle() const
{
    return FtpClient1 && FtpClient1->State() == fcsReady && FtpClient1->Connected() && !FAwaitingDone;
}

void TMainWindow::UpdateControls()
{
    const bool connected = ControlConnectionOpen();
    for (QWidget* control : std::initializer_list<QWidget*>{
             lvRemoteDir, btnDisconnect, cmbRemoteDirHistory, btnHome, btnUp, btnDownload,
             btnUpload, btnRefresh, btnRemoveFile, btnMKDir, btnRename, btnSendCustomCmd,
             btnCHMOD})
        control->setEnabled(connected);
    Disconnect1->setEnabled(connected);
    btnConnect->setEnabled(!connected);
    Connect1->setEnabled(!connected);
    // Not only transfers: a login, a listing or a command that a silent server never
    // answers would otherwise leave no way out (Disconnect is refused while busy).
    btnAbort->setEnabled(TransferBusy || (FtpClient1 && ClientBusy()));
}

// ---- the queue ----

void TMainWindow::AppendCommand(int code, const QStringList& args)
{
    QueueAppend(CommandQueue, code, args);
}

bool TMainWindow::ClientBusy() const
{
    TFtpClientState state = FtpClient1->State();
    return (state != fcsReady && state != fcsStepReady) || FAwaitingDone;
}

void TMainWindow::RunQueueIfReady()
{
    if (FtpClient1 && FtpClient1->State() == fcsReady && !FAwaitingDone)
        RunQueue();
}

void TMainWindow::RunQueue()
{
    std::exception_ptr refusal;
    while (!CommandQueue.isEmpty()) {
        int code = -1;
        if (!QueueCodeAt(CommandQueue, 0, code))
            code = -1;   // no number: reported below as an invalid stack command

        // While a request is in progress (or its completion is on its way) the client
        // refuses every start. Nothing is taken from the queue then: the completion runs
        // it. The entries that start nothing wait too, since they belong after the request
        // before them (a listing to expand, a download to open).
        if (ClientBusy()) {
            if (refusal)
                break;
            throw FtpException("FTP component not ready");
        }

        if (!ControlConnectionOpen() && code != qcConnect) {
            LogDebug(QStringLiteral("Error From Ombrex: Invalid FtpClient state for run command: not connected"));
            LogUser(QStringLiteral("CAN'T RUN COMMAND: NOT CONNECTED"), lkError);
            QueueDropHead(CommandQueue);
            break;   // the client is not idle: the next action or completion goes on
        }

        const unsigned epoch = FQueueEpoch;
        bool started = false;
        try {
            started = DispatchHead(code);
        } catch (...) {
            // Refused (an empty name, already connected ...): the entry leaves whole, so
            // no argument of it is ever read as a code, and the queue goes on.
            if (!refusal)
                refusal = std::current_exception();
        }
        if (started)
            FAwaitingDone = true;
        // A handler run meanwhile (a dialog's loop, a lost connection) may have emptied the
        // queue: then the entry is gone already.
        if (epoch == FQueueEpoch)
            QueueDropHead(CommandQueue);
        // A started request holds the queue until its completion; an entry that started
        // nothing is followed at once by the next.
        if (started)
            break;
    }
    if (refusal)
        std::rethrow_exception(refusal);
}

bool TMainWindow::DispatchHead(int code)
{
    TFtpClient& client = *FtpClient1;
    auto arg = [this](int n) { return QueueHeadArg(CommandQueue, n); };
    auto bytes = [&](int n) { return BytesFromText(arg(n)); };
    const QString host = Text(client.HostName());

    // A name that holds a line end would send its rest as a command of its own, whether it
    // came from the server (a listing, the history) or was typed.
    int named = 0;
    switch (code) {
    case qcCwd:
    case qcDele:
    case qcRmd:
    case qcMkd:
    case qcRaw:
        named = 1;
        break;
    case qcRename:
        named = 2;
        break;
    default:
        break;
    }
    for (int n = 1; n <= named; ++n) {
        if (!IsSafeCommandText(bytes(n))) {
            LogUser(RefusedRemoteNameText(arg(n)), lkError);
            return false;
        }
    }

    switch (code) {
    case qcNone:
        return false;
    case qcConnect:
        LogDebug(QStringLiteral("From Ombrex: Connecting Started"));
        LogUser(QStringLiteral("Connecting to ") + host + QStringLiteral("..."), lkStatus);
        client.Connect();
        return true;
    case qcQuit: {
        LogDebug(QStringLiteral("From Ombrex: QuitStarted"));
        LogUser(QStringLiteral("Disconnecting from ") + host + QStringLiteral("..."), lkStatus);
        // Set before QUIT goes out: a close that comes at once is the expected one too.
        bool before = ExpectClose;
        ExpectClose = true;
        try {
            client.Quit();
        } catch (...) {
            ExpectClose = before;
            throw;
        }
        return true;
    }
    case qcList:
        LogUser(QStringLiteral("Getting file list... "), lkStatus);
        PrepareListFile();
        client.SetLocalFileName(BytesFromText(ListTempPath));
        client.SetHostFileName(std::string());
        // MLSD's facts say exactly what an entry is; LIST lines are guessed at.
        if (client.Features().Mlst)
            client.MlsdDir();
        else
            client.ListDir();
        StartListingTail(ListTempPath, client.Features().Mlst ? lsMlsd : lsList);
        return true;
    case qcPwd:
        LogUser(QStringLiteral("Getting current directory... "), lkStatus);
        client.Pwd();
        return true;
    case qcCwd:
        LogUser(QStringLiteral("Setting current directory... "), lkStatus);
        client.SetHostDirName(bytes(1));
        client.Cwd();
        return true;
    case qcCdUp:
        LogUser(QStringLiteral("Setting current directory to parent... "), lkStatus);
        client.Cdup();
        return true;
    case qcGet:
        return !TransferStep(false);   // the step tells whether it started nothing
    case qcPut:
        return !TransferStep(true);
    case qcType:
        client.SetBinary(QueueTypeIsBinary(arg(1)));
        client.SendType();
        return true;
    case qcDele:
        client.SetHostFileName(bytes(1));
        client.Dele();
        return true;
    case qcRmd:
        client.SetHostFileName(bytes(1));
        client.Rmd();
        return true;
    case qcExpandRemove:
        ExpandRemove();   // starts nothing; the placeholder it leaves goes below
        return false;
    case qcMkd:
        client.SetHostFileName(bytes(1));
        client.Mkd();
        return true;
    case qcRename:
        client.SetHostFileName(bytes(1));
        client.SetLocalFileName(bytes(2));
        client.Rename();
        return true;
    case qcRaw:
        client.SetLocalFileName(bytes(1));
        client.Quote();
        return true;
    case qcSetFlag: {
        bool numberOk = false;
        bool valueOk = false;
        int flag = arg(1).toInt(&numberOk, 10);
        int value = arg(2).toInt(&valueOk, 10);
        if (numberOk && valueOk && flag == 0)
            ExistingFileDecision = value;
        LogDebug(QStringLiteral("From Ombrex: Flag ") + arg(1) + QStringLiteral(" <= ") + arg(2));
        return false;
    }
    case qcOpenLocal:
        ShellOpen(arg(1));
        return false;
    default:
        LogDebug(QStringLiteral("Error From Ombrex: Invalid stack command ") + CommandQueue.value(0));
        return false;
    }
}

void TMainWindow::PrepareListFile()
{
    // The listing tells which files a user has on the server: other users of this machine
    // must not read it. The file is made (or made again) mode 0600 before the client opens
    // it, which keeps the mode it finds. A symbolic link in its place is removed first, so
    // that the listing never lands in a file someone else chose.
    const std::string path = BytesFromText(ListTempPath);
    // A big listing of the last time is renamed out of the way and removed beside the
    // window: emptying it in place held the window up for tens of milliseconds (the file
    // system frees the blocks then, and writes the new listing out when it is closed).
    struct stat last {};
    if (::lstat(path.c_str(), &last) == 0 && S_ISREG(last.st_mode) && last.st_size > kListingInBackground) {
        if (FListFileRemover.joinable())
            FListFileRemover.join();
        std::string doomed = path + ".old";
        if (::rename(path.c_str(), doomed.c_str()) == 0)
            FListFileRemover = std::thread([doomed] { ::unlink(doomed.c_str()); });
    }
    // Emptied now: the listing is read while it comes, and nothing of the last one may be
    // taken for it.
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 && errno == ELOOP) {
        ::unlink(path.c_str());
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    }
    if (fd < 0)
        return;   // the client's own open reports the failure
    struct stat st {};
    if (::fstat(fd, &st) == 0 && (st.st_mode & 077) != 0)
        ::fchmod(fd, 0600);
    ::close(fd);
}

// ---- actions ----

void TMainWindow::btnConnectClick()
{
    if (!ConnectForm || ConnectForm->ShowModal() != QDialog::Accepted)
        return;
    TFtpClient& client = *FtpClient1;
    // The server may be typed with its port: "[::1]:2121", "host:2121"; that port wins over
    // the Port field. A bare IPv6 address ("::1") is a host alone.
    std::string host, port;
    const std::string typed = BytesFromText(ConnectForm->txtServerName->text());
    if (!SplitHostPort(typed, host, port))
        host = typed;   // the lookup reports what is wrong with it
    client.SetHostName(host);
    client.SetPort(port.empty() ? BytesFromText(ConnectForm->txtPort->text()) : port);
    client.SetUserName(BytesFromText(ConnectForm->txtUserName->text()));
    client.SetPassWord(BytesFromText(ConnectForm->txtPassWord->text()));
    client.SetPassiveMode(ConnectForm->chkPassive->isChecked());
    static const TFtpTlsMode modes[] = {ftpTlsExplicitIfAvailable, ftpTlsRequireExplicit, ftpTlsRequireImplicit,
                                        ftpTlsPlainOnly};
    const int encryption = ConnectForm->cboEncryption->currentIndex();
    if (!client.ControlOpen())   // the mode of a session that stands cannot change
        client.SetTlsMode(encryption >= 0 && encryption < 4 ? modes[encryption] : ftpTlsExplicitIfAvailable);
    AppendCommand(qcConnect);
    AppendCommand(qcCwd, {ConnectForm->txtRemoteDir->text()});
    RunQueue();
}

void TMainWindow::Connect1Click()
{
    btnConnectClick();
}

void TMainWindow::btnDisconnectClick()
{
    AppendCommand(qcQuit);
    RunQueue();
}

void TMainWindow::Disconnect1Click()
{
    btnDisconnectClick();
}

void TMainWindow::btnAbortClick()
{
    // The request that runs ends because of this: its completion must not count as done.
    FAbortRequested = FtpClient1 && ClientBusy();
    ExpectClose = true;
    LogUser(QStringLiteral("Aborting..."), lkStatus);
    FtpClient1->Abort();
}

// ---- the client's events ----

void TMainWindow::FtpClient1RequestDone(int RqType, std::uint16_t Error)
{
    TFtpClient& client = *FtpClient1;
    FAwaitingDone = false;
    const bool aborted = FAbortRequested;
    FAbortRequested = false;
    LogDebug(QStringLiteral("From Ombrex: TMainWindow::FtpClient1RequestDone:"));
    LogDebug(QStringLiteral("Error=") + QString::number(Error));
    LogDebug(QStringLiteral("LastResponse=") + Text(client.LastReply()));
    unsetCursor();

    if (!FClaimedDownload.empty() && (RqType == rqGet || RqType == rqResumeGet)) {
        // The empty file claimed for a download that got nothing goes again, so the next
        // try does not ask whether to overwrite it.
        struct stat st {};
        if ((Error != 0 || aborted) && ::lstat(FClaimedDownload.c_str(), &st) == 0 && S_ISREG(st.st_mode)
            && st.st_size == 0)
            ::unlink(FClaimedDownload.c_str());
        FClaimedDownload.clear();
    }

    // A listing that failed leaves nothing to show.
    if (RqType == rqListDir && (aborted || Error != 0) && FListingTail) {
        FListingTail.reset();
        CancelListingJob();
    }
    const bool transfer = RqType == rqGet || RqType == rqResumeGet || RqType == rqPut || RqType == rqResumePut;
    if (aborted && !transfer) {
        // Whatever the client reports, an aborted request did not do its work; the session
        // is gone with it. A connect is not tried again: the user stopped it. (An aborted
        // transfer keeps its recovery below: reconnect and return to the directory.)
        if (!ControlConnectionOpen())
            ExpectClose = false;   // a lookup or connect aborted before any connection: no close comes
        LogUser(RqType == rqConnect ? QStringLiteral("Connection aborted") : QStringLiteral("Command aborted"),
                lkStatus);
        if (TransferStatusForm)
            TransferStatusForm->hide();
        CommandQueue.clear();
        ++FQueueEpoch;
        ExistingFileDecision = -1;
        if (!ControlConnectionOpen()) {
            lblCurrentServer->setText(QStringLiteral("Not connected"));
            lvRemoteDir->Model()->Clear();
        }
        TransferBusy = false;
        UpdateControls();
        return;
    }
    if (aborted && !ControlConnectionOpen())
        ExpectClose = false;

    // Some servers answer CDUP with 200 instead of 250; that is a change of directory too.
    const bool ok = Error == 0 || (RqType == rqCdup && client.ReplyCode() == 200);
    if (ok) {
        switch (RqType) {
        case rqCwd:
        case rqCdup:
            LogUser(QStringLiteral("OK. Directory changed"), lkStatus);
            AppendCommand(qcPwd);
            AppendCommand(qcList);
            break;
        case rqConnect:
            ShowServerLabel();
            LogUser(QStringLiteral("OK. Logined"), lkStatus);
            LogServerFeatures();
            AppendCommand(qcPwd);
            AppendCommand(qcList);
            break;
        case rqListDir: {
            const TListingSource source = client.LastListCommand() == "MLSD" ? lsMlsd : lsList;
            if (client.ListingCut())
                LogUser(QStringLiteral("The listing was cut: the server sent more than ")
                            + QString::number(client.ListingMaxEntries()) + QStringLiteral(" entries or ")
                            + QString::number(client.ListingMaxBytes())
                            + QStringLiteral(" bytes; the entries read so far are shown"),
                        lkWarning);
            LogUser(QStringLiteral("OK. File list getted"), lkStatus);
            // A big listing is read and parsed beside the window, which stays responsive;
            // mostly while it came in already.
            if (QFileInfo(ListTempPath).size() <= kListingInBackground) {
                CancelListingJob();
                ParseListing(ReadListingFile(ListTempPath), source);
            } else if (!FinishListingTail(source)) {
                StartListingJob(ListTempPath, source);
            }
            break;
        }
        case rqGet:
        case rqResumeGet:
            LogUser(QStringLiteral("OK. File getted"), lkStatus);
            if (TransferStatusForm)
                TransferStatusForm->hide();
            RefillLocalList();
            break;
        case rqPut:
        case rqResumePut:
            LogUser(QStringLiteral("OK. File sended"), lkStatus);
            if (TransferStatusForm)
                TransferStatusForm->hide();
            break;
        case rqMkd:
            LogUser(QStringLiteral("OK. Directory created"), lkStatus);
            AppendCommand(qcList);
            break;
        case rqRmd:
        case rqDele:
            LogUser(QStringLiteral("OK. Removed"), lkStatus);
            break;
        case rqRename:
            LogUser(QStringLiteral("OK. Renamed"), lkStatus);
            AppendCommand(qcList);
            break;
        case rqPwd: {
            const QString directory = TextFromBytes(client.ReplyDirectory());
            lblCurrentRemoteDir->setText(directory);
            cmbRemoteDirHistory->insertItem(0, directory);
            cmbRemoteDirHistory->setCurrentIndex(0);
            if (cmbRemoteDirHistory->count() > kHistoryMax)
                cmbRemoteDirHistory->removeItem(cmbRemoteDirHistory->count() - 1);
            CurrentRemoteDir = directory;
            break;
        }
        case rqQuote:
            LogUser(QStringLiteral("OK. Executed"), lkStatus);
            break;
        default:
            break;
        }
    } else {
        LogDebug(QStringLiteral("Error From Ombrex: ERROR ") + QString::number(Error) + QStringLiteral(": ")
                 + Text(client.LastReply()));
        RemoveStepFailed(RqType);
        ReportFtpError(Error);
    }
    TransferBusy = false;
    UpdateControls();
    // A request may have started after this completion was sent (an action that ran in
    // between): then that one's completion goes on with the queue.
    if (!ClientBusy())
        RunQueue();
}

void TMainWindow::ReportFtpError(int code)
{
    QString message = QStringLiteral("Unknown error") + QString::number(code);
    switch (code) {
    case 426:
        // Reconnect and go back to the last known directory, before anything that waits.
        // A server's own 426 (a data connection that broke) leaves the control connection
        // up: there is nothing to reconnect, and a connect would only be refused.
        QueuePrepend(CommandQueue, qcCwd, {CurrentRemoteDir});
        if (!ControlConnectionOpen())
            QueuePrepend(CommandQueue, qcConnect);
        ++FQueueEpoch;
        if (TransferStatusForm)
            TransferStatusForm->hide();
        ShowMessageBox(QStringLiteral("Operation aborted."), QStringLiteral("FTP Message"),
                       QMessageBox::Information);
        LogUser(message, lkStatus);
        break;
    case 502:
    case 550:
        ShowMessageBox(QStringLiteral("Can't execute command"), QStringLiteral("FTP Error"),
                       QMessageBox::Critical);
        break;
    case 553:
        message = QStringLiteral("Modification not allowed");
        ShowMessageBox(QStringLiteral("Modifing of server content not allowed"),
                       QStringLiteral("FTP Error"), QMessageBox::Critical);
        if (TransferStatusForm)
            TransferStatusForm->hide();
        LogUser(message, lkError);
        break;
    case 11001:
        message = QStringLiteral("Host not found");
        ShowMessageBox(QStringLiteral("Can't connect with FTP server: Host not found"),
                       QStringLiteral("FTP Error"), QMessageBox::Critical);
        LogUser(message, lkError);
        break;
    default:
        // Reply codes have three digits; socket errors (five digits) go to the debug log only.
        if (QString::number(code).size() == 3) {
            message = QStringLiteral("FTP protocol error reponse: ") + QString::number(code)
                      + QStringLiteral(" :") + Text(FtpClient1->LastReply());
            LogUser(message, lkError);
        }
        break;
    }
}

void TMainWindow::FtpClient1SessionConnected(std::uint16_t Error)
{
    LogDebug(QStringLiteral("From Ombrex: TMainWindow::FtpClient1SessionConnected: ERR=")
             + QString::number(Error));
    LogUser(QStringLiteral("OK, connected. Logining..."), lkStatus);
    lblCurrentServer->setText(Text(FtpClient1->HostName()));
}

void TMainWindow::FtpClient1SessionClosed(std::uint16_t Error)
{
    LogDebug(QStringLiteral("From Ombrex: TMainWindow::FtpClient1SessionClosed: ERR=")
             + QString::number(Error));
    LogUser(QStringLiteral("OK, disconnected"), lkStatus);
    if (!ExpectClose)
        ShowMessageBox(QStringLiteral("Server close control connection."), QStringLiteral("FTP Warning"),
                       QMessageBox::Warning);
    lblCurrentServer->setText(QStringLiteral("Not connected"));
    CancelListingJob();
    lvRemoteDir->Model()->Clear();
    ExpectClose = false;
    CommandQueue.clear();
    ++FQueueEpoch;
    // A "Rewrite All" or "Cancel" answer belongs to its batch, which went with the queue;
    // kept, it would overwrite the files of the next batch unasked.
    ExistingFileDecision = -1;
    // A request cut off by the close still completes; should that completion not come,
    // the next connection must not wait for it.
    FAwaitingDone = false;
    UpdateControls();
}

void TMainWindow::FtpClient1StateChange()
{
    UpdateControls();
}

// ---- boxes and the desktop ----

void TMainWindow::ShowMessageBox(const QString& text, const QString& caption, QMessageBox::Icon icon)
{
    if (OnMessageBox) {
        OnMessageBox(caption, text, icon);
        return;
    }
    QMessageBox box(icon, caption, text, QMessageBox::Ok, this);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

void TMainWindow::ShellOpen(const QString& path)
{
    if (OnShellOpen) {
        OnShellOpen(path);
        return;
    }
    // The result is not looked at: a file without a program to open it just stays closed.
    QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}
