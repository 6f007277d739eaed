// Remote listing of the main window: the listing parsed into lvRemoteDir, its order, the
// information labels, and the navigation actions (double-click, parent, home, history,
// refresh).
#include "app/MainWindow.h"

#include "app/ByteText.h"
#include "app/CommandQueue.h"
#include "app/ListingParser.h"

#include <QComboBox>
#include <QLabel>

namespace {

// The user log keeps this many lines; older error lines of one listing would be pushed
// out by the later ones anyway.
constexpr std::size_t kUserLogLines = 101;

// Sorts the remote list by its sort column in the order of lvRemoteDirCompare. The order is
// worked out on keys taken once per row: calling the comparison for every pair reads each
// row's strings again and again, which took most of a second for 100,000 rows.
void SortRemoteList(TFileListModel& model, int column)
{
    model.Permute(RemoteSortOrder(model, column));
}

} // namespace

void TMainWindow::ParseListing(const std::vector<std::string>& lines)
{
    TListingParser parser;   // the pattern is compiled once for the whole listing
    TFileListModel* model = lvRemoteDir->Model();

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

    std::vector<std::size_t> invalid;
    TListingEntry entry;
    TRemoteRowBuilder rows;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (parser.Parse(lines[i], entry))
            model->Add(rows.Build(entry));
        else
            invalid.push_back(i);
    }
    FillingRemoteList = false;
    SortRemoteList(*model, RemoteSortColumn);

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
    } else if (IsRemoteDirectory(item)) {
        AppendCommand(qcCwd, {item.Caption});
        RunQueueIfReady();
    }
}

void TMainWindow::lvRemoteDirColumnClick(int Column)
{
    RemoteSortColumn = Column;
    SortRemoteList(*lvRemoteDir->Model(), RemoteSortColumn);
}

int TMainWindow::lvRemoteDirCompare(const TFileListItem& Item1, const TFileListItem& Item2)
{
    if (FillingRemoteList)
        return 0;   // the one sort at the end of the listing settles the order
    return CompareRemoteItems(Item1, Item2, RemoteSortColumn);
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
