// Remote listing of the main window: the listing parsed into lvRemoteDir, its order, the
// information labels, and the navigation actions (double-click, parent, home, history,
// refresh).
#include "app/MainWindow.h"

#include "app/ByteText.h"
#include "app/CommandQueue.h"
#include "app/ListingParser.h"

#include <QComboBox>
#include <QHeaderView>
#include <QInputDialog>
#include <QTreeView>
#include <QLabel>

namespace {

// The user log keeps this many lines; older error lines of one listing would be pushed
// out by the later ones anyway.
constexpr std::size_t kUserLogLines = 101;

// Sorts the remote list by its sort column in the order of lvRemoteDirCompare. The order is
// worked out on keys taken once per row: calling the comparison for every pair reads each
// row's strings again and again, which took most of a second for 100,000 rows.
void SortRemoteList(TFileListModel& model, int column, bool descending)
{
    model.Permute(RemoteSortOrder(model, column, descending));
}

} // namespace

void TMainWindow::ParseListing(const std::vector<std::string>& lines)
{
    ParseListing(lines, lsList);
}

void TMainWindow::ParseListing(const std::vector<std::string>& lines, TListingSource source)
{
    TListingParser parser(source);
    TFileListModel* model = lvRemoteDir->Model();

    // Every line is parsed before a row is made: a link's kind (folder or file) can depend
    // on another entry of the same listing.
    std::vector<TListingEntry> entries;
    entries.reserve(lines.size());
    std::vector<std::size_t> invalid;
    TListingEntry entry;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        TLineResult result = parser.ParseLine(lines[i], entry);
        if (result == lrEntry)
            entries.push_back(std::move(entry));
        else if (result == lrInvalid)
            invalid.push_back(i);
    }
    ResolveLinkTargets(entries);

    // Rows go in without a notice each; the view hears of the new list once, sorted.
    struct TFilling {
        TMainWindow& Window;
        TFileListModel& Model;
        ~TFilling()
        {
            Window.FillingRemoteList = false;
            Model.EndUpdate();
        }
    } filling{*this, *model};
    model->BeginUpdate();
    model->Clear();
    FillingRemoteList = true;
    model->Add(ParentDirItem());
    TRemoteRowBuilder rows;
    for (const TListingEntry& e : entries)
        model->Add(rows.Build(e));
    entries.clear();
    entries.shrink_to_fit();
    FillingRemoteList = false;
    SortRemoteList(*model, RemoteSortColumn, RemoteSortDescending);

    // A listing in another format can have an invalid line for every file; writing them
    // all would only scroll the same last lines into the log, slowly.
    std::size_t first = invalid.size() > kUserLogLines ? invalid.size() - kUserLogLines : 0;
    for (std::size_t k = first; k < invalid.size(); ++k) {
        const std::string& line = lines[invalid[k]];
        LogUser(QStringLiteral("Invalid line in directory content: ")
                    + QString::fromLocal8Bit(line.data(), static_cast<qsizetype>(line.size())),
                lkError);
    }
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
    SortRemoteList(*lvRemoteDir->Model(), RemoteSortColumn, RemoteSortDescending);
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
