// The main window as a desktop program: per-user places, the local pane's start and its
// folder rows, hidden files, path fields, keys and drag and drop of both lists, following
// the shown folder on disk, and the window state remembered per user.
#include "app/DesktopIntegration.h"

#include "app/ByteText.h"
#include "app/CommandQueue.h"
#include "dialogs/InputDialog.h"
#include "platform/MessageWindow.h"
#include "platform/PrivateProfile.h"
#include "platform/UserPlaces.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QDrag>
#include <QFile>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileSystemWatcher>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QSplitter>
#include <QTimer>
#include <QTreeView>
#include <QUrl>
#include <QVBoxLayout>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>

namespace {

// The format that tells a drag of our own lists apart: "local" or "remote", then the
// process id (a drag from another running copy is a foreign one).
const QString kPaneFormat = QStringLiteral("application/x-ombrex-ftp-pane");

// Widths of the local list's columns at first: Name, Type, Size, Modified.
constexpr int kLocalWidths[] = {120, 70, 60, 125};

QString Text(const std::string& bytes)
{
    return TextFromBytes(bytes);
}

std::string JoinLocal(const std::string& dir, const std::string& name)
{
    return (!dir.empty() && dir.back() == '/') ? dir + name : dir + "/" + name;
}

std::string ParentOf(const std::string& dir)
{
    std::size_t slash = dir.find_last_of('/');
    if (slash == std::string::npos || slash == 0)
        return "/";
    return dir.substr(0, slash);
}

bool IsFolder(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Case-free comparison of names, with the exact bytes as the tie-break (as the file list).
int CompareNames(const std::string& a, const std::string& b)
{
    if (FileNameLess(a, b))
        return -1;
    return FileNameLess(b, a) ? 1 : 0;
}

QString IntList(const std::vector<int>& values)
{
    QStringList parts;
    for (int v : values)
        parts << QString::number(v);
    return parts.join(QLatin1Char(','));
}

std::vector<int> ParseIntList(const std::string& text)
{
    std::vector<int> values;
    for (const QString& part : QString::fromStdString(text).split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        bool ok = false;
        int v = part.trimmed().toInt(&ok);
        if (!ok)
            return {};
        values.push_back(v);
    }
    return values;
}

// The four views of the two lists: report and list style of each.
bool IsViewOf(const TFileListView* list, const QObject* object)
{
    return object == list->ReportView() || object == list->ListView();
}

bool IsViewportOf(const TFileListView* list, const QObject* object)
{
    return object == list->ReportView()->viewport() || object == list->ListView()->viewport();
}

} // namespace

// ---- places ----

QString TMainWindow::DefaultListTempPath()
{
    if (platform::IsPortable())
        return QCoreApplication::applicationDirPath() + QStringLiteral("/OFTPTEMP.TMP");
    std::string path = platform::CreatePrivateTempFile("OFTPTEMP");
    // Without a private folder the client reports the failure of the empty name.
    return Text(path);
}

QString TMainWindow::ViewStatePath()
{
    return Text(platform::UserConfigFolder() + "/OFTPView.ini");
}

// ---- set-up ----

void TMainWindow::InstallDesktopIntegration()
{
    FDesktop = std::make_unique<TDesktopIntegration>(*this);
}

TDesktopIntegration::TDesktopIntegration(TMainWindow& window) : QObject(&window), W(window)
{
    if (!platform::IsPortable())
        PrivateListFile = BytesFromText(W.ListTempPath);

    // The two panes share the width through a splitter; the local pane starts at its
    // documented width and keeps it when the window grows.
    QWidget* panes = W.panLocal->parentWidget();
    auto* panesLayout = static_cast<QHBoxLayout*>(panes->layout());
    panesLayout->removeWidget(W.panLocal);
    panesLayout->removeWidget(W.panRemote);
    W.splPanes = new QSplitter(Qt::Horizontal, panes);
    W.splPanes->setObjectName(QStringLiteral("splPanes"));
    W.splPanes->setHandleWidth(3);
    W.splPanes->setChildrenCollapsible(false);
    W.panLocal->setMinimumWidth(120);
    W.panLocal->setMaximumWidth(QWIDGETSIZE_MAX);
    W.splPanes->addWidget(W.panLocal);
    W.splPanes->addWidget(W.panRemote);
    W.splPanes->setStretchFactor(0, 0);
    W.splPanes->setStretchFactor(1, 1);
    W.splPanes->setSizes({193, 412});
    panesLayout->addWidget(W.splPanes, 1);

    // A path field above each list.
    W.txtLocalPath = new QLineEdit(W.panLocal);
    W.txtLocalPath->setObjectName(QStringLiteral("txtLocalPath"));
    W.txtLocalPath->setPlaceholderText(QStringLiteral("Local folder"));
    auto* localLayout = static_cast<QVBoxLayout*>(W.panLocal->layout());
    localLayout->insertWidget(localLayout->indexOf(W.lvLocalDir), W.txtLocalPath);
    W.txtRemotePath = new QLineEdit(W.panRemote);
    W.txtRemotePath->setObjectName(QStringLiteral("txtRemotePath"));
    W.txtRemotePath->setPlaceholderText(QStringLiteral("Remote directory"));
    static_cast<QVBoxLayout*>(W.panRemote->layout())->insertWidget(0, W.txtRemotePath);
    connect(W.txtLocalPath, &QLineEdit::returnPressed, this, [this] {
        W.Traced("txtLocalPathEnter", [this] {
            if (!W.GoLocalFolder(W.txtLocalPath->text()))
                W.LogUser(QStringLiteral("No such folder: ") + W.txtLocalPath->text(), lkError);
        })();
    });
    connect(W.txtRemotePath, &QLineEdit::returnPressed, this, [this] {
        W.Traced("txtRemotePathEnter", [this] {
            const QString dir = W.txtRemotePath->text();
            if (dir.isEmpty() || !W.ControlConnectionOpen())
                return;
            W.AppendCommand(qcCwd, {dir});
            W.RunQueueIfReady();
        })();
    });
    // Every directory a PWD reports goes into the history first: the field follows it.
    connect(W.cmbRemoteDirHistory->model(), &QAbstractItemModel::rowsInserted, this,
            [this] { W.txtRemotePath->setText(W.lblCurrentRemoteDir->text()); });

    // The local list: size and modified columns, sorted by a click on a column header.
    TFileListModel* local = W.lvLocalDir->Model();
    local->SetColumns({
        {QStringLiteral("Name"), kLocalWidths[0], Qt::AlignLeft | Qt::AlignVCenter},
        {QStringLiteral("Type"), kLocalWidths[1], Qt::AlignLeft | Qt::AlignVCenter},
        {QStringLiteral("Size"), kLocalWidths[2], Qt::AlignRight | Qt::AlignVCenter},
        {QStringLiteral("Modified"), kLocalWidths[3], Qt::AlignLeft | Qt::AlignVCenter},
    });
    for (int i = 0; i < 4; ++i)
        W.lvLocalDir->ReportView()->setColumnWidth(i, kLocalWidths[i]);
    W.lvLocalDir->ReportView()->header()->setSortIndicatorShown(true);
    W.lvLocalDir->ReportView()->header()->setSortIndicator(0, Qt::AscendingOrder);
    W.lvLocalDir->OnColumnClick = [this](int column) {
        W.Traced("lvLocalDirColumnClick", [this, column] { SortLocalList(column); })();
    };

    // View menu: hidden files, hidden by default as in file managers.
    W.ShowHiddenFiles1 = new QAction(QStringLiteral("Show hidden files"), &W);
    W.ShowHiddenFiles1->setObjectName(QStringLiteral("ShowHiddenFiles1"));
    W.ShowHiddenFiles1->setCheckable(true);
    W.ShowHiddenFiles1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_H));
    const QList<QAction*> viewItems = W.View1->actions();
    const qsizetype afterLog = viewItems.indexOf(W.ShowLog1) + 1;
    W.View1->insertAction(afterLog < viewItems.size() ? viewItems[afterLog] : nullptr, W.ShowHiddenFiles1);
    W.dirLocalDirs->SetShowHidden(false);
    connect(W.ShowHiddenFiles1, &QAction::triggered, this, [this] {
        W.Traced("ShowHiddenFiles1Click", [this] {
            const bool show = W.ShowHiddenFiles1->isChecked();
            const std::string shown = W.flbLocalFiles.Directory();
            W.dirLocalDirs->SetShowHidden(show);
            // The tree selects the same folder again; the list keeps showing its folder.
            if (W.flbLocalFiles.Directory() != shown)
                W.flbLocalFiles.SetDirectory(shown);
            W.RefillLocalList();
        })();
    });

    // Keys and drag and drop on both lists.
    for (TFileListView* list : {W.lvLocalDir, W.lvRemoteDir}) {
        for (QAbstractItemView* view : {static_cast<QAbstractItemView*>(list->ReportView()),
                                        static_cast<QAbstractItemView*>(list->ListView())}) {
            view->installEventFilter(this);
            view->viewport()->installEventFilter(this);
            view->viewport()->setAcceptDrops(true);
            // Pressing a row of a selection keeps the selection until the button goes up,
            // so that several rows can be dragged at once.
            view->setDragEnabled(true);
            view->setDragDropMode(QAbstractItemView::DragDrop);
        }
    }

    FInitialFolder = W.flbLocalFiles.Directory();
    connect(W.ShowLocalFilesPanel1, &QAction::triggered, this, [this](bool shown) {
        if (shown && FMissedChange)
            FFollowTimer->start();
    });
    FFollowTimer = new QTimer(this);
    FFollowTimer->setSingleShot(true);
    FFollowTimer->setInterval(250);
    connect(FFollowTimer, &QTimer::timeout, this, [this] { FollowDisk(); });

    W.installEventFilter(this);   // the window's close saves its state ...
    // ... and so does the end of the program by a signal of the session (logout).
    connect(qApp, &QCoreApplication::aboutToQuit, this, [this] {
        if (!FSaved)
            W.SaveViewState();
        FSaved = true;
    });
    RestoreViewState();
    QTimer::singleShot(0, this, [this] { StartLocalPane(); });
}

TDesktopIntegration::~TDesktopIntegration()
{
    platform::RemovePrivateTempFile(PrivateListFile);
}

// ---- the local pane's start ----

void TDesktopIntegration::StartLocalPane()
{
    // The tree fills itself at the first turn of the loop; wait for it a little.
    if (!W.dirLocalDirs->RootNode() && ++FStartTries < 100) {
        QTimer::singleShot(10, this, [this] { StartLocalPane(); });
        return;
    }
    // A folder chosen before the loop first ran (by a caller of the window) stays.
    if (W.flbLocalFiles.Directory() != FInitialFolder || W.dirLocalDirs->SelectedNode())
        return;
    std::string folder = FStartFolder;
    if (folder.empty() || !IsFolder(folder))
        folder = BytesFromText(QDir::homePath());
    // Not a user action: no handler trace.
    auto trace = std::move(W.OnHandlerTrace);
    W.OnHandlerTrace = nullptr;
    const bool active = W.RemotePaneActive;
    W.GoLocalFolder(Text(folder));
    W.RemotePaneActive = active;
    W.OnHandlerTrace = std::move(trace);
}

bool TMainWindow::GoLocalFolder(const QString& where)
{
    QString path = where.trimmed();
    if (path == QLatin1String("~") || path.startsWith(QLatin1String("~/")))
        path = QDir::homePath() + path.mid(1);
    if (path.isEmpty())
        return false;
    if (QDir::isRelativePath(path))
        path = Text(flbLocalFiles.Directory()) + QLatin1Char('/') + path;
    path = QDir::cleanPath(path);
    const std::string dir = BytesFromText(path);
    if (!IsFolder(dir))
        return false;
    // The tree shows the folder when it can reach it (its change handler then lists it);
    // a folder it cannot reach, such as a hidden one, is listed all the same.
    dirLocalDirs->SelectPath(dir);
    if (flbLocalFiles.Directory() != dir || dirLocalDirs->SelectedPath() != dir) {
        flbLocalFiles.SetDirectory(dir);
        RefillLocalList();
    }
    return true;
}

// ---- rows and sorting ----

void TDesktopIntegration::SortRows(std::vector<TLocalRow>& rows) const
{
    auto rank = [](TMainWindow::TLocalRowKind kind) {
        return kind == TMainWindow::lrParent ? 0 : kind == TMainWindow::lrFolder ? 1 : 2;
    };
    const int column = SortColumn;
    const bool descending = Descending;
    std::stable_sort(rows.begin(), rows.end(), [&](const TLocalRow& a, const TLocalRow& b) {
        if (rank(a.Kind) != rank(b.Kind))
            return rank(a.Kind) < rank(b.Kind);
        int c = 0;
        switch (column) {
        case 2:
            c = a.Entry.Size < b.Entry.Size ? -1 : a.Entry.Size > b.Entry.Size ? 1 : 0;
            break;
        case 3:
            c = a.Entry.Modified < b.Entry.Modified ? -1 : a.Entry.Modified > b.Entry.Modified ? 1 : 0;
            break;
        case 1: {
            // By extension, the way the type names group files.
            auto ext = [](const std::string& n) {
                std::size_t dot = n.rfind('.');
                return dot == std::string::npos ? std::string() : n.substr(dot + 1);
            };
            c = CompareNames(ext(a.Entry.Name), ext(b.Entry.Name));
            break;
        }
        default:
            break;
        }
        if (c == 0)
            c = CompareNames(a.Entry.Name, b.Entry.Name);
        return descending ? c > 0 : c < 0;
    });
}

void TDesktopIntegration::SortLocalList(int column)
{
    if (column == SortColumn)
        Descending = !Descending;
    else {
        SortColumn = column;
        Descending = false;
    }
    W.lvLocalDir->ReportView()->header()->setSortIndicator(column, Descending ? Qt::DescendingOrder
                                                                              : Qt::AscendingOrder);
    // Reorder rows and model together; selection and current row follow their rows.
    std::vector<int> order(Rows.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = static_cast<int>(i);
    std::vector<TLocalRow> sorted = Rows;
    for (size_t i = 0; i < sorted.size(); ++i)
        sorted[i].File = static_cast<int>(i);   // carries the old row through the sort
    SortRows(sorted);
    for (size_t i = 0; i < sorted.size(); ++i) {
        order[i] = sorted[i].File;
        sorted[i].File = Rows[static_cast<size_t>(order[i])].File;
    }
    if (W.lvLocalDir->Model()->Count() != static_cast<int>(Rows.size()))
        return;   // rows added by hand: leave the list alone
    W.FillingLocalList = true;
    W.lvLocalDir->Model()->Permute(order);
    W.FillingLocalList = false;
    Rows = std::move(sorted);
}

// ---- following the folder on disk ----

void TDesktopIntegration::WatchFolder()
{
    const std::string dir = W.flbLocalFiles.Directory();
    if (dir == FWatched)
        return;
    if (!FWatcher) {
        FWatcher = new QFileSystemWatcher(this);
        connect(FWatcher, &QFileSystemWatcher::directoryChanged, this, [this] {
            if (!FFollowTimer->isActive())
                FFollowTimer->start();
        });
    }
    if (!FWatcher->directories().isEmpty())
        FWatcher->removePaths(FWatcher->directories());
    FWatched = dir;
    if (!dir.empty())
        FWatcher->addPath(Text(dir));
}

void TDesktopIntegration::FollowDisk()
{
    // Only while the pane is shown; a change seen while it was hidden is caught up on
    // when it shows again.
    if (!W.panLocal->isVisible()) {
        FMissedChange = true;
        return;
    }
    if (W.FillingLocalList)
        return;
    FMissedChange = false;
    // Not in the middle of a transfer or a queue: its steps read the local selection.
    if (W.TransferBusy || !W.CommandQueue.isEmpty()) {
        FFollowTimer->start();
        return;
    }
    // The files and the row the user picked stay picked, by name; so does the active pane.
    const std::vector<std::string> picked = W.flbLocalFiles.SelectedNames();
    const int currentRow = W.lvLocalDir->ItemIndex();
    const std::string current = currentRow >= 0 && currentRow < static_cast<int>(Rows.size())
                                    ? Rows[static_cast<size_t>(currentRow)].Entry.Name
                                    : std::string();
    const bool active = W.RemotePaneActive;
    W.RefillLocalList();
    QItemSelectionModel* selection = W.lvLocalDir->SelectionModel();
    for (size_t row = 0; row < Rows.size(); ++row) {
        const TLocalRow& r = Rows[row];
        QModelIndex index = W.lvLocalDir->Model()->index(static_cast<int>(row), 0);
        if (r.Entry.Name == current)
            selection->setCurrentIndex(index, QItemSelectionModel::NoUpdate);
        if (r.File >= 0 && std::find(picked.begin(), picked.end(), r.Entry.Name) != picked.end())
            selection->select(index, QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
    W.RemotePaneActive = active;
}

// ---- keys ----

bool TDesktopIntegration::ListKey(bool remote, int key, Qt::KeyboardModifiers modifiers)
{
    if (modifiers & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))
        return false;
    const char* name = nullptr;
    std::function<void()> action;
    switch (key) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        name = remote ? "RemoteOpenCurrent" : "LocalOpenCurrent";
        action = remote ? std::function<void()>([this] { W.RemoteOpenCurrent(); })
                        : std::function<void()>([this] { W.LocalOpenCurrent(); });
        break;
    case Qt::Key_Backspace:
        name = remote ? "btnUpClick" : "LocalParent";
        action = remote ? std::function<void()>([this] { W.btnUpClick(); })
                        : std::function<void()>([this] { W.LocalParent(); });
        break;
    case Qt::Key_F5:
        name = remote ? "btnRefreshClick" : "btnRefreshLocalClick";
        action = remote ? std::function<void()>([this] {
            if (W.ControlConnectionOpen())
                W.btnRefreshClick();
        })
                        : std::function<void()>([this] { W.btnRefreshLocalClick(); });
        break;
    case Qt::Key_Delete:
        name = remote ? "RemoteDeleteSelected" : "LocalDeleteSelected";
        action = remote ? std::function<void()>([this] { W.RemoteDeleteSelected(); })
                        : std::function<void()>([this] { W.LocalDeleteSelected(); });
        break;
    case Qt::Key_F2:
        name = remote ? "btnRenameClick" : "LocalRenameCurrent";
        action = remote ? std::function<void()>([this] {
            if (W.ControlConnectionOpen())
                W.btnRenameClick();
        })
                        : std::function<void()>([this] { W.LocalRenameCurrent(); });
        break;
    default:
        return false;
    }
    W.Traced(name, std::move(action))();
    return true;
}

namespace {

// The current row of a list, or its first selected row when it has no current one.
int CurrentOrSelected(const TFileListView* list)
{
    int row = list->ItemIndex();
    if (row >= 0 && (list->IsSelected(row) || list->SelCount() == 0))
        return row;
    std::vector<int> rows = list->SelectedRows();
    return rows.empty() ? row : rows.front();
}

} // namespace

void TMainWindow::LocalOpenCurrent()
{
    const int row = CurrentOrSelected(lvLocalDir);
    if (row < 0 || row >= lvLocalDir->Model()->Count())
        return;
    switch (LocalRowKind(row)) {
    case lrParent:
        LocalParent();
        return;
    case lrFolder:
        GoLocalFolder(Text(JoinLocal(flbLocalFiles.Directory(),
                                     BytesFromText(lvLocalDir->Model()->Item(row).Caption))));
        return;
    case lrFile: {
        const int file = LocalRowFile(row);
        if (file >= 0)
            ShellOpen(Text(flbLocalFiles.FullPath(flbLocalFiles.Name(file))));
        return;
    }
    }
}

void TMainWindow::LocalParent()
{
    const std::string dir = flbLocalFiles.Directory();
    if (dir.empty() || dir == "/")
        return;
    const std::string child = dir.substr(dir.find_last_of('/') + 1);
    if (!GoLocalFolder(Text(ParentOf(dir))))
        return;
    // The folder we came from is the current row, as in file managers.
    for (int row = 0; row < lvLocalDir->Model()->Count(); ++row) {
        if (LocalRowKind(row) == lrFolder && BytesFromText(lvLocalDir->Model()->Item(row).Caption) == child) {
            lvLocalDir->SelectionModel()->setCurrentIndex(lvLocalDir->Model()->index(row, 0),
                                                          QItemSelectionModel::ClearAndSelect
                                                              | QItemSelectionModel::Rows);
            break;
        }
    }
}

void TMainWindow::LocalDeleteSelected()
{
    // File rows take their exact bytes from the file list (a name may be no valid text).
    std::vector<std::string> names;
    for (int row : lvLocalDir->SelectedRows()) {
        if (row >= lvLocalDir->Model()->Count() || LocalRowKind(row) == lrParent)
            continue;
        const int file = LocalRowFile(row);
        names.push_back(file >= 0 ? flbLocalFiles.Name(file) : BytesFromText(lvLocalDir->Model()->Item(row).Caption));
    }
    if (names.empty())
        return;
    const QString question = names.size() == 1
                                 ? QStringLiteral("Delete \"%1\" from the disk?").arg(Text(names.front()))
                                 : QStringLiteral("Delete the %1 selected items from the disk?").arg(names.size());
    const bool yes = OnConfirm ? OnConfirm(question)
                               : QMessageBox::question(this, QStringLiteral("Ombrex FTP"), question,
                                                       QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
                                     == QMessageBox::Yes;
    if (!yes)
        return;
    const std::string dir = flbLocalFiles.Directory();
    for (const std::string& name : names) {
        const std::string path = JoinLocal(dir, name);
        struct stat st {};
        bool ok = ::lstat(path.c_str(), &st) == 0;
        if (ok && S_ISDIR(st.st_mode))
            ok = QDir(Text(path)).removeRecursively();
        else if (ok)
            ok = ::unlink(path.c_str()) == 0;
        if (!ok)
            LogUser(QStringLiteral("Cannot delete ") + Text(path), lkError);
    }
    RefillLocalList();
}

void TMainWindow::LocalRenameCurrent()
{
    const int row = CurrentOrSelected(lvLocalDir);
    if (row < 0 || row >= lvLocalDir->Model()->Count() || LocalRowKind(row) == lrParent || !InputDialog)
        return;
    const int file = LocalRowFile(row);
    const std::string old = file >= 0 ? flbLocalFiles.Name(file)
                                      : BytesFromText(lvLocalDir->Model()->Item(row).Caption);
    InputDialog->Prepare(QStringLiteral("Enter new file name:"), QStringLiteral("Rename..."), Text(old));
    if (InputDialog->ShowModal() != QDialog::Accepted)
        return;
    const std::string name = BytesFromText(InputDialog->txtResult->text());
    if (name.empty() || name == old)
        return;
    const std::string dir = flbLocalFiles.Directory();
    const std::string target = JoinLocal(dir, name);
    struct stat st {};
    // A name with a separator would move the file elsewhere; an existing one would be lost.
    if (name.find('/') != std::string::npos || name == "." || name == ".." || ::lstat(target.c_str(), &st) == 0) {
        LogUser(QStringLiteral("Cannot rename ") + Text(old) + QStringLiteral(" to ") + Text(name), lkError);
        return;
    }
    if (::rename(JoinLocal(dir, old).c_str(), target.c_str()) != 0)
        LogUser(QStringLiteral("Cannot rename ") + Text(old) + QStringLiteral(" to ") + Text(name), lkError);
    RefillLocalList();
}

void TMainWindow::RemoteOpenCurrent()
{
    if (!ControlConnectionOpen() || lvRemoteDir->SelCount() != 1)
        return;
    const TFileListItem& item = lvRemoteDir->Model()->Item(lvRemoteDir->SelectedRows().front());
    const bool directory = !item.SubItems.value(2).isEmpty() && item.SubItems.value(2).at(0).toUpper() == QLatin1Char('D');
    if (item.Caption == QLatin1String("..") || directory) {
        lvRemoteDirDblClick();
        return;
    }
    RemotePaneActive = true;
    btnExecFileClick();
}

void TMainWindow::RemoteDeleteSelected()
{
    if (!ControlConnectionOpen())
        return;
    int count = 0;
    QString only;
    for (int row : lvRemoteDir->SelectedRows()) {
        const QString caption = lvRemoteDir->Model()->Item(row).Caption;
        if (caption != QLatin1String("..")) {
            ++count;
            only = caption;
        }
    }
    if (count == 0)
        return;
    const QString question = count == 1 ? QStringLiteral("Remove \"%1\" from the server?").arg(only)
                                        : QStringLiteral("Remove the %1 selected items from the server?").arg(count);
    const bool yes = OnConfirm ? OnConfirm(question)
                               : QMessageBox::question(this, QStringLiteral("Ombrex FTP"), question,
                                                       QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
                                     == QMessageBox::Yes;
    if (yes)
        btnRemoveFileClick();
}

// ---- drag and drop ----

QMimeData* TMainWindow::DragData(bool fromRemote) const
{
    auto* data = new QMimeData;
    data->setData(kPaneFormat, QByteArray(fromRemote ? "remote:" : "local:") + QByteArray::number(::getpid()));
    if (!fromRemote) {
        // Other programs (a file manager) take the files by their addresses.
        QList<QUrl> urls;
        for (const std::string& name : flbLocalFiles.SelectedNames())
            urls << QUrl::fromLocalFile(QFile::decodeName(QByteArray::fromStdString(flbLocalFiles.FullPath(name))));
        data->setUrls(urls);
    }
    return data;
}

bool TMainWindow::DropOnList(bool ontoRemote, const QMimeData& data)
{
    const QByteArray own = data.data(kPaneFormat);
    const QByteArray pid = QByteArray::number(::getpid());
    if (own == "local:" + pid) {
        if (!ontoRemote || !ControlConnectionOpen() || flbLocalFiles.SelCount() == 0)
            return false;
        btnUploadClick();
        return true;
    }
    if (own == "remote:" + pid) {
        if (ontoRemote || !ControlConnectionOpen() || lvRemoteDir->SelCount() == 0)
            return false;
        btnDownloadClick();
        return true;
    }
    if (!ontoRemote || !data.hasUrls() || !ControlConnectionOpen())
        return false;
    // Files from the desktop's file manager: by folder, each shown in the local pane,
    // selected there and uploaded as the upload button would.
    std::map<std::string, std::vector<std::string>> byFolder;
    for (const QUrl& url : data.urls()) {
        if (!url.isLocalFile())
            continue;
        const std::string path = QFile::encodeName(QDir::cleanPath(url.toLocalFile())).toStdString();
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0)
            continue;
        if (!S_ISREG(st.st_mode)) {
            LogUser(QStringLiteral("Only files are uploaded: ") + Text(path), lkWarning);
            continue;
        }
        const std::size_t slash = path.find_last_of('/');
        byFolder[slash == 0 ? "/" : path.substr(0, slash)].push_back(path.substr(slash + 1));
    }
    bool queued = false;
    for (const auto& [folder, names] : byFolder) {
        if (!GoLocalFolder(Text(folder)))
            continue;
        lvLocalDir->ClearSelection();
        for (const std::string& name : names) {
            const int file = flbLocalFiles.IndexOf(name);
            for (int row = 0; file >= 0 && row < lvLocalDir->Model()->Count(); ++row)
                if (LocalRowFile(row) == file)
                    lvLocalDir->SetSelected(row, true);
        }
        if (flbLocalFiles.SelCount() == 0)
            continue;   // all hidden by the filter
        btnUploadClick();
        queued = true;
    }
    return queued;
}

bool TDesktopIntegration::eventFilter(QObject* watched, QEvent* event)
{
    const bool remoteView = IsViewOf(W.lvRemoteDir, watched);
    const bool remotePort = IsViewportOf(W.lvRemoteDir, watched);
    const bool localView = IsViewOf(W.lvLocalDir, watched);
    const bool localPort = IsViewportOf(W.lvLocalDir, watched);
    switch (event->type()) {
    case QEvent::Close:
        if (watched == &W) {
            W.SaveViewState();
            FSaved = true;
        }
        break;
    case QEvent::KeyPress:
        if (remoteView || localView) {
            auto* key = static_cast<QKeyEvent*>(event);
            if (ListKey(remoteView, key->key(), key->modifiers()))
                return true;
        }
        break;
    case QEvent::MouseButtonPress:
        if (remotePort || localPort) {
            auto* mouse = static_cast<QMouseEvent*>(event);
            FPressView = mouse->button() == Qt::LeftButton ? watched : nullptr;
            FPressPos = mouse->position().toPoint();
        }
        break;
    case QEvent::MouseMove:
        if ((remotePort || localPort) && FPressView == watched) {
            auto* mouse = static_cast<QMouseEvent*>(event);
            if (!(mouse->buttons() & Qt::LeftButton)) {
                FPressView = nullptr;
                break;
            }
            if ((mouse->position().toPoint() - FPressPos).manhattanLength() < QApplication::startDragDistance())
                break;
            auto* view = static_cast<QAbstractItemView*>(static_cast<QWidget*>(watched)->parentWidget());
            const QModelIndex pressed = view->indexAt(FPressPos);
            FPressView = nullptr;
            TFileListView* list = remotePort ? W.lvRemoteDir : W.lvLocalDir;
            if (!pressed.isValid() || !list->IsSelected(pressed.row()))
                break;
            // The local selection maps to files only; a drag of folders alone carries nothing.
            if (localPort && W.flbLocalFiles.SelCount() == 0)
                return true;
            auto* drag = new QDrag(view);
            drag->setMimeData(W.DragData(remotePort));
            drag->exec(Qt::CopyAction, Qt::CopyAction);
            return true;
        }
        break;
    case QEvent::DragEnter:
    case QEvent::DragMove:
        if (remotePort || localPort) {
            auto* drag = static_cast<QDropEvent*>(event);
            const QByteArray own = drag->mimeData()->data(kPaneFormat);
            const QByteArray from = remotePort ? "local:" : "remote:";
            const bool fromOtherPane = own == from + QByteArray::number(::getpid());
            // Local files of the desktop's file manager (or of another running copy).
            const bool fromDesktop = remotePort && drag->mimeData()->hasUrls()
                                     && !own.endsWith(":" + QByteArray::number(::getpid()));
            if ((fromOtherPane || fromDesktop) && W.ControlConnectionOpen()) {
                drag->setDropAction(Qt::CopyAction);
                drag->accept();
            } else {
                drag->ignore();
            }
            return true;
        }
        break;
    case QEvent::Drop:
        if (remotePort || localPort) {
            auto* drop = static_cast<QDropEvent*>(event);
            bool queued = false;
            W.Traced(remotePort ? "lvRemoteDirDrop" : "lvLocalDirDrop",
                     [&] { queued = W.DropOnList(remotePort, *drop->mimeData()); })();
            if (queued) {
                drop->setDropAction(Qt::CopyAction);
                drop->accept();
            } else {
                drop->ignore();
            }
            return true;
        }
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

// ---- the remembered window state ----

void TDesktopIntegration::RestoreViewState()
{
    platform::TPrivateProfile ini(BytesFromText(TMainWindow::ViewStatePath()));
    const int width = ini.ReadInteger("Window", "Width", 0);
    const int height = ini.ReadInteger("Window", "Height", 0);
    if (width >= 200 && height >= 150)
        W.resize(width, height);
    W.StartMaximized = ini.ReadInteger("Window", "Maximized", 1) != 0;
    std::vector<int> panes = ParseIntList(ini.ReadString("Window", "Panes", ""));
    if (panes.size() == 2 && panes[0] > 0 && panes[1] > 0)
        W.splPanes->setSizes({panes[0], panes[1]});
    auto widths = [&](const char* key, TFileListView* list) {
        std::vector<int> values = ParseIntList(ini.ReadString("Window", key, ""));
        const int columns = static_cast<int>(list->Model()->Columns().size());
        for (int i = 0; i < columns && i < static_cast<int>(values.size()); ++i)
            if (values[static_cast<size_t>(i)] > 0)
                list->ReportView()->setColumnWidth(i, values[static_cast<size_t>(i)]);
    };
    widths("LocalColumns", W.lvLocalDir);
    widths("RemoteColumns", W.lvRemoteDir);
    SortColumn = std::clamp(ini.ReadInteger("LocalPane", "SortColumn", 0), 0, 3);
    Descending = ini.ReadInteger("LocalPane", "Descending", 0) != 0;
    W.lvLocalDir->ReportView()->header()->setSortIndicator(SortColumn, Descending ? Qt::DescendingOrder
                                                                                  : Qt::AscendingOrder);
    const bool hidden = ini.ReadInteger("LocalPane", "ShowHidden", 0) != 0;
    W.ShowHiddenFiles1->setChecked(hidden);
    W.dirLocalDirs->SetShowHidden(hidden);
    FStartFolder = ini.ReadString("LocalPane", "LastFolder", "");
}

void TMainWindow::SaveViewState()
{
    auto widths = [](TFileListView* list) {
        std::vector<int> values;
        for (size_t i = 0; i < list->Model()->Columns().size(); ++i)
            values.push_back(list->ColumnWidth(static_cast<int>(i)));
        return BytesFromText(IntList(values));
    };
    try {
        platform::TPrivateProfile ini(BytesFromText(ViewStatePath()));
        const QSize size = isMaximized() ? normalGeometry().size() : this->size();
        ini.WriteString("Window", "Width", std::to_string(size.width()));
        ini.WriteString("Window", "Height", std::to_string(size.height()));
        ini.WriteString("Window", "Maximized", isMaximized() ? "1" : "0");
        if (panLocal->isVisible())
            ini.WriteString("Window", "Panes", BytesFromText(IntList({splPanes->sizes().value(0),
                                                                        splPanes->sizes().value(1)})));
        ini.WriteString("Window", "LocalColumns", widths(lvLocalDir));
        ini.WriteString("Window", "RemoteColumns", widths(lvRemoteDir));
        ini.WriteString("LocalPane", "SortColumn", std::to_string(FDesktop ? FDesktop->SortColumn : 0));
        ini.WriteString("LocalPane", "Descending", FDesktop && FDesktop->Descending ? "1" : "0");
        ini.WriteString("LocalPane", "ShowHidden", ShowHiddenFiles1->isChecked() ? "1" : "0");
        ini.WriteString("LocalPane", "LastFolder", flbLocalFiles.Directory());
    } catch (const std::exception& error) {
        // Not being able to remember the window is no reason to keep it from closing.
        LogDebug(QStringLiteral("Error From Ombrex: ") + QString::fromLocal8Bit(error.what()));
    }
}
