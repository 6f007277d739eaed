// Remote listing of the main window: the listing parsed into lvRemoteDir, its order, the
// information labels, and the navigation actions (double-click, parent, home, history,
// refresh).
#include "app/MainWindow.h"

#include "app/ByteText.h"
#include "app/CommandQueue.h"
#include "app/ListingParser.h"
#include "platform/MessageWindow.h"

#include <QComboBox>
#include <QFile>
#include <QHeaderView>
#include <QInputDialog>
#include <QTreeView>
#include <QLabel>

#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace {

// Up to this many rows a re-sort takes a few tens of milliseconds and is done at once.
constexpr int kSortInBackground = 50000;

// Work beside the window gives way to it: on a busy machine the event loop stood still
// for 100 ms and more while a sort or a listing job took the core it wanted.
void YieldToTheWindow()
{
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 10);
}

} // namespace

void TMainWindow::ParseListing(const std::vector<std::string>& lines)
{
    ParseListing(lines, lsList);
}

void TMainWindow::ParseListing(const std::vector<std::string>& lines, TListingSource source)
{
    std::vector<std::string_view> views(lines.begin(), lines.end());
    ShowRemoteListing(BuildRemoteListing(views, source, RemoteSortColumn, RemoteSortDescending));
}

void TMainWindow::ShowRemoteListing(TRemoteListing listing)
{
    TFileListModel* model = lvRemoteDir->Model();
    FillingRemoteList = true;
    if (!listing.Rows)
        listing.Rows = std::make_shared<TCompactFileRows>();
    TFileListModel::TReleased old = model->ReplaceCompact(std::move(listing.Rows));
    FillingRemoteList = false;
    if (old.Count() > 20000) {
        // Letting go of a big list takes a while; it need not hold up the window.
        std::thread([rows = std::move(old)]() mutable {
            YieldToTheWindow();
            rows = {};
            malloc_trim(0);
        }).detach();
    }

    // A listing in another format can have an invalid line for every file; writing them
    // all would only scroll the same last lines into the log, slowly.
    for (const std::string& line : listing.InvalidLines)
        LogUser(QStringLiteral("Invalid line in directory content: ")
                    + QString::fromLocal8Bit(line.data(), static_cast<qsizetype>(line.size())),
                lkError);
}

void TMainWindow::CancelListingJob()
{
    if (FListingCancel)
        FListingCancel->store(true);
    if (FListingThread.joinable())
        FListingThread.join();
    FListingCancel.reset();
}

namespace {

// The whole listing file read and built into rows (any thread).
TRemoteListing ReadAndBuildListing(const std::string& file, TListingSource source, int column, bool descending,
                                   const std::atomic<bool>* cancel)
{
    std::string data;
    QFile in(QString::fromLocal8Bit(file.data(), static_cast<qsizetype>(file.size())));
    if (in.open(QIODevice::ReadOnly)) {
        data.resize(static_cast<std::size_t>(in.size()));
        qint64 n = in.read(data.data(), static_cast<qint64>(data.size()));
        data.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    }
    return BuildRemoteListing(SplitListingData(data), source, column, descending, cancel);
}

// Feeds the complete lines of data to builder, line ends as SplitListingData takes them;
// an unfinished last line waits in pending for the rest.
void AddListingLines(std::string_view data, std::string& pending, TRemoteListingBuilder& builder)
{
    auto add = [&builder](std::string_view line) {
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        builder.Add(line);
    };
    std::size_t pos = 0;
    if (!pending.empty()) {
        std::size_t lf = data.find('\n');
        if (lf == std::string_view::npos) {
            pending.append(data);
            return;
        }
        pending.append(data.substr(0, lf));
        add(pending);
        pending.clear();
        pos = lf + 1;
    }
    while (pos < data.size()) {
        std::size_t lf = data.find('\n', pos);
        if (lf == std::string_view::npos) {
            pending.assign(data.substr(pos));
            return;
        }
        add(data.substr(pos, lf - pos));
        pos = lf + 1;
    }
}

} // namespace

void TMainWindow::PostListing(std::shared_ptr<TRemoteListing> result, std::shared_ptr<std::atomic<bool>> cancel,
                              int column, bool descending)
{
    // The listing's text is gone; give its memory back rather than keep it in this
    // thread's arena.
    malloc_trim(0);
    if (cancel->load())
        return;
    // The window joins this thread before it goes, so it is there to receive the call.
    QMetaObject::invokeMethod(
        this,
        [this, result, cancel, column, descending] {
            if (cancel->load())
                return;
            try {
                if (FListingThread.joinable())
                    FListingThread.join();
                FListingCancel.reset();
                ShowRemoteListing(std::move(*result));
                // A header clicked while the listing was read asks for another order.
                if (column != RemoteSortColumn || descending != RemoteSortDescending)
                    SortRemoteList();
                FAwaitingDone = false;
                UpdateControls();
                if (!ClientBusy())
                    RunQueue();
            } catch (...) {
                platform::HandleException(std::current_exception());
            }
        },
        Qt::QueuedConnection);
}

void TMainWindow::StartListingJob(const QString& path, TListingSource source)
{
    CancelListingJob();
    auto cancel = std::make_shared<std::atomic<bool>>(false);
    FListingCancel = cancel;
    FAwaitingDone = true;   // the queue goes on once the rows are shown
    const std::string file = path.toLocal8Bit().toStdString();
    const int column = RemoteSortColumn;
    const bool descending = RemoteSortDescending;
    FListingThread = std::thread([this, file, source, column, descending, cancel] {
        YieldToTheWindow();
        auto result = std::make_shared<TRemoteListing>(
            ReadAndBuildListing(file, source, column, descending, cancel.get()));
        PostListing(result, cancel, column, descending);
    });
}

void TMainWindow::StartListingTail(const QString& path, TListingSource source)
{
    CancelListingJob();
    auto cancel = std::make_shared<std::atomic<bool>>(false);
    auto tail = std::make_shared<TListingTail>();
    tail->Source = source;
    tail->Cancel = cancel;
    FListingCancel = cancel;
    FListingTail = tail;
    const std::string file = path.toLocal8Bit().toStdString();
    const int column = RemoteSortColumn;
    const bool descending = RemoteSortDescending;
    FListingThread = std::thread([this, file, source, column, descending, cancel, tail] {
        // Not made to give way like the other jobs: these rows are what the user waits for,
        // and while the listing comes the server takes the other processor (niced, this
        // thread got a fraction of one and finished a quarter of a second after the data).
        auto result = std::make_shared<TRemoteListing>();
        bool whole = false;   // read the finished file whole instead
        {
            TRemoteListingBuilder builder(source);
            builder.Presort(column, descending);   // the rows come slower than they sort
            std::string pending;
            std::vector<char> chunk(std::size_t(1) << 20);
            off_t offset = 0;
            const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
            whole = fd < 0;
            while (!whole) {
                if (cancel->load())
                    break;
                // Done is read before the file: once the request is done, an empty read
                // means the end.
                const bool done = tail->Done.load();
                ssize_t n = ::pread(fd, chunk.data(), chunk.size(), offset);
                if (n > 0) {
                    offset += n;
                    AddListingLines(std::string_view(chunk.data(), static_cast<std::size_t>(n)), pending, builder);
                    continue;
                }
                if (n < 0 && errno == EINTR)
                    continue;
                struct stat st {};
                // A failed read or a file made shorter under us (the client starting the
                // download again): the finished file is read whole.
                whole = n < 0 || ::fstat(fd, &st) != 0 || st.st_size < offset;
                if (done || whole)
                    break;
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            if (fd >= 0)
                ::close(fd);
            if (!whole && !cancel->load()) {
                if (!pending.empty())
                    builder.Add(pending);   // a last line without a line end counts
                *result = builder.Finish(column, descending, cancel.get());
            }
        }
        if (whole) {
            while (!tail->Done.load() && !cancel->load())
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            if (!cancel->load())
                *result = ReadAndBuildListing(file, source, column, descending, cancel.get());
        }
        PostListing(result, cancel, column, descending);
    });
}

bool TMainWindow::FinishListingTail(TListingSource source)
{
    std::shared_ptr<TListingTail> tail = std::move(FListingTail);
    FListingTail.reset();
    if (!tail || tail->Source != source || FListingCancel != tail->Cancel || tail->Cancel->load()
        || !FListingThread.joinable())
        return false;
    FAwaitingDone = true;   // the queue goes on once the rows are shown
    tail->Done.store(true);
    return true;
}

void TMainWindow::SortRemoteList()
{
    if (FSortCancel) {
        FSortCancel->store(true);
        FSortCancel.reset();
    }
    TFileListModel& model = *lvRemoteDir->Model();
    const int column = RemoteSortColumn;
    const bool descending = RemoteSortDescending;
    std::shared_ptr<const TCompactFileRows> rows = model.SharedCompact();
    if (!rows || rows->Count() < kSortInBackground) {
        // The order is worked out on keys taken once per row: calling the comparison for
        // every pair reads each row's strings again and again.
        model.Permute(RemoteSortOrder(model, column, descending));
        return;
    }
    // The rows are shared with the thread: the model copies them before it changes them
    // while the thread still reads them.
    auto cancel = std::make_shared<std::atomic<bool>>(false);
    FSortCancel = cancel;
    const std::uint64_t changes = model.Changes();
    std::thread([link = FLink, rows = std::move(rows), column, descending, cancel, changes]() mutable {
        YieldToTheWindow();
        struct TResult {
            std::vector<int> NewRowOf;
            TCompactFileRows::TOrder Rows;
        };
        auto result = std::make_shared<TResult>();
        {
            const std::vector<int> order = RemoteSortOrder(*rows, column, descending, cancel.get());
            if (cancel->load())
                return;
            // The rows are put in their order here too: the window only swaps them in.
            result->Rows = rows->Ordered(order);
            result->NewRowOf.resize(order.size());
            for (std::size_t i = 0; i < order.size(); ++i)
                result->NewRowOf[static_cast<std::size_t>(order[i])] = static_cast<int>(i);
        }
        rows.reset();
        std::lock_guard<std::mutex> lock(link->Lock);
        TMainWindow* window = link->Window;
        if (!window || cancel->load())
            return;
        QMetaObject::invokeMethod(
            window,
            [window, result, cancel, changes] {
                if (cancel->load())
                    return;
                try {
                    window->FSortCancel.reset();
                    TFileListModel& model = *window->lvRemoteDir->Model();
                    if (model.Changes() == changes && model.Compact()
                        && result->NewRowOf.size() == static_cast<std::size_t>(model.Count()))
                        model.Permute(result->NewRowOf, std::move(result->Rows));
                } catch (...) {
                    platform::HandleException(std::current_exception());
                }
            },
            Qt::QueuedConnection);
    }).detach();
}

void TMainWindow::RequestTimeout1Click()
{
    bool ok = false;
    int seconds = QInputDialog::getInt(this, QStringLiteral("Request timeout"),
                                       QStringLiteral("Seconds without an answer before a request ends (0 = never):"),
                                       FtpClient1->RequestTimeout(), 0, 86400, 1, &ok);
    if (ok)
        FtpClient1->SetRequestTimeout(seconds);
}

void TMainWindow::KeepAlive1Click()
{
    bool ok = false;
    int seconds = QInputDialog::getInt(this, QStringLiteral("Keep-alive interval"),
                                       QStringLiteral("Seconds of idleness before a NOOP is sent (0 = never):"),
                                       FtpClient1->KeepAlive(), 0, 86400, 1, &ok);
    if (ok)
        FtpClient1->SetKeepAlive(seconds);
}

void TMainWindow::LogServerFeatures()
{
    const TFtpFeatures& features = FtpClient1->Features();
    if (!features.Known) {
        LogDebug(QStringLiteral("From Ombrex: Server features: none announced"));
        return;
    }
    QString text;
    for (const std::string& line : features.Lines)
        text += (text.isEmpty() ? QString() : QStringLiteral(", ")) + TextFromBytes(line);
    LogDebug(QStringLiteral("From Ombrex: Server features: ") + text
             + (FtpClient1->Utf8On() ? QStringLiteral(" (UTF-8 names on)") : QString()));
}

bool TMainWindow::RemoteNameExists(const std::string& name) const
{
    // The caption stands for its bytes one to one, so comparing texts compares names.
    const QString text = TextFromBytes(name);
    const TFileListModel* model = lvRemoteDir->Model();
    if (const TCompactFileRows* rows = model->Compact()) {
        for (int row = 0; row < rows->Count(); ++row)
            if (rows->Caption(row) == text)
                return true;
        return false;
    }
    for (int row = 0; row < model->Count(); ++row)
        if (model->Item(row).Caption == text)
            return true;
    return false;
}

void TMainWindow::lvRemoteDirChange()
{
    if (lvRemoteDir->SelCount() != 1)
        return;
    const TFileListItem& item = lvRemoteDir->Model()->Item(lvRemoteDir->SelectedRows().front());
    lblRemoteFileSize->setText(RemoteItemSize(item));
    lblRemoteFileAttr->setText(RemoteItemAttributes(item));
}

void TMainWindow::lvRemoteDirDblClick()
{
    if (lvRemoteDir->SelCount() != 1)
        return;
    const TFileListItem& item = lvRemoteDir->Model()->Item(lvRemoteDir->SelectedRows().front());
    if (IsParentDirItem(item)) {
        btnUpClick();
    } else if (RemoteOpensAsFolder(item)) {
        // A link not known to point at a file is tried as a folder: the server knows.
        AppendCommand(qcCwd, {item.Caption});
        RunQueueIfReady();
    }
}

void TMainWindow::lvRemoteDirColumnClick(int Column)
{
    // The same header again reverses the order, as file managers do.
    RemoteSortDescending = Column == RemoteSortColumn ? !RemoteSortDescending : false;
    RemoteSortColumn = Column;
    SortRemoteList();
    QHeaderView* header = lvRemoteDir->ReportView()->header();
    header->setSortIndicatorShown(true);
    header->setSortIndicator(Column, RemoteSortDescending ? Qt::DescendingOrder : Qt::AscendingOrder);
}

int TMainWindow::lvRemoteDirCompare(const TFileListItem& Item1, const TFileListItem& Item2)
{
    if (FillingRemoteList)
        return 0;   // the one sort at the end of the listing settles the order
    if (IsParentDirItem(Item1) || IsParentDirItem(Item2) || !RemoteSortDescending)
        return CompareRemoteItems(Item1, Item2, RemoteSortColumn);
    int order = CompareRemoteItems(Item1, Item2, RemoteSortColumn);
    // Descending keeps the directories first and reverses the order within each group.
    int groups = CompareRemoteItems(Item1, Item2, -1);
    return groups != 0 ? groups : -order;
}

void TMainWindow::lvRemoteDirEnter()
{
    RemotePaneActive = true;
}

void TMainWindow::btnHomeClick()
{
    if (!ControlConnectionOpen())
        return;
    AppendCommand(qcCwd, {QStringLiteral("/")});
    RunQueueIfReady();
}

void TMainWindow::btnUpClick()
{
    if (!ControlConnectionOpen())
        return;
    AppendCommand(qcCdUp);
    RunQueueIfReady();
}

void TMainWindow::cmbRemoteDirHistoryChange()
{
    if (cmbRemoteDirHistory->currentIndex() < 0 || !ControlConnectionOpen())
        return;
    AppendCommand(qcCwd, {cmbRemoteDirHistory->currentText()});
    RunQueueIfReady();
}

void TMainWindow::btnRefreshClick()
{
    AppendCommand(qcPwd);
    AppendCommand(qcList);
    RunQueueIfReady();
}
