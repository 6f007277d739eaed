// The folder tree control: building, lazy filling, refreshing on the watchers' requests,
// drives and media changes from the mount table.
#include "foldertree/FolderTree.h"

#include "platform/SystemImageList.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QStandardPaths>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>

namespace foldertree {

using platform::SystemImageList;

namespace {

// The hourglass while a node is filled.
class TBusyCursor {
public:
    TBusyCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~TBusyCursor() { QApplication::restoreOverrideCursor(); }
    TBusyCursor(const TBusyCursor&) = delete;
    TBusyCursor& operator=(const TBusyCursor&) = delete;
};

std::string JoinPath(const std::string& dir, const char* name)
{
    return (!dir.empty() && dir.back() == '/') ? dir + name : dir + "/" + name;
}

// A path without trailing slashes, except the root itself.
std::string TrimSlashes(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

// True when path is inside folder (or is folder), comparing whole path components.
bool PathWithin(const std::string& folder, const std::string& path)
{
    if (folder.empty() || path.compare(0, folder.size(), folder) != 0)
        return false;
    return path.size() == folder.size() || folder.back() == '/' || path[folder.size()] == '/';
}

bool IsDotOrDotDot(const char* n)
{
    return n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0));
}

// Whether a folder (dirFd/name, or path when dirFd is AT_FDCWD) has a sub-folder.
// A directory's link count is 2 plus its sub-directories on the usual Unix file systems,
// which answers without reading the folder; file systems that report less than 2
// ("unknown") are asked by reading until the first sub-folder.
bool HasSubFolders(int dirFd, const char* name, nlink_t links)
{
    if (links >= 3)
        return true;
    // Two links: no real sub-folder, but a symbolic link to a folder counts as one and the
    // link count does not show it, so only links are looked at then.
    const bool linksOnly = links == 2;
    int fd = ::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return true;   // unreadable: keep the button, the fill will tell
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return true;
    }
    bool found = false;
    while (!found) {
        dirent* e = ::readdir(dir);
        if (!e)
            break;
        if (IsDotOrDotDot(e->d_name))
            continue;
        if (e->d_type == DT_DIR) {
            found = !linksOnly;
        } else if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) {
            struct stat st {};
            found = ::fstatat(fd, e->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode)
                    && (!linksOnly || (::fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)));
        }
    }
    ::closedir(dir);
    return found;
}

bool PathHasSubFolders(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return true;
    return HasSubFolders(AT_FDCWD, path.c_str(), st.st_nlink);
}

// The sub-folders of a folder: folders only, hidden ones included, links to folders
// too. False when the folder cannot be read.
bool ReadSubFolders(const std::string& path, const std::string& home, bool showHidden,
                    std::vector<TFolderItem>& items)
{
    if (path.empty())
        return false;
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return false;
    }
    while (dirent* e = ::readdir(dir)) {
        const char* name = e->d_name;
        if (IsDotOrDotDot(name) || (!showHidden && name[0] == '.'))
            continue;
        struct stat st {};
        bool isLink = false;
        if (e->d_type == DT_DIR) {
            if (::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                continue;   // gone meanwhile
        } else if (e->d_type == DT_LNK || e->d_type == DT_UNKNOWN) {
            struct stat lst {};
            if (::fstatat(fd, name, &lst, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            isLink = S_ISLNK(lst.st_mode);
            if (isLink ? ::fstatat(fd, name, &st, 0) != 0 : (st = lst, false))
                continue;   // a dangling link
        } else {
            continue;
        }
        if (!S_ISDIR(st.st_mode))
            continue;
        TFolderItem item;
        item.ParsingName = JoinPath(path, name);
        item.InFolderName = QFile::decodeName(name);
        item.NormalName = item.InFolderName;
        item.FileSystem = true;
        item.IsLink = isLink;
        item.HasSubFolders = HasSubFolders(fd, name, st.st_nlink);
        bool isHome = item.ParsingName == home;
        item.ImageIndex = isHome ? SystemImageList::iiHome : SystemImageList::iiFolder;
        item.SelectedIndex = isHome ? SystemImageList::iiHome : SystemImageList::iiFolderOpen;
        items.push_back(std::move(item));
    }
    ::closedir(dir);
    return true;
}

// The desktop's sort order: letters without regard to case, lower case first on a tie.
bool LabelLess(const std::unique_ptr<TFolderNode>& a, const std::unique_ptr<TFolderNode>& b)
{
    int c = a->Label.compare(b->Label, Qt::CaseInsensitive);
    if (c != 0)
        return c < 0;
    return a->Label.compare(b->Label, Qt::CaseSensitive) > 0;
}

std::string DesktopFolder()
{
    QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    if (desktop.isEmpty() || !QFileInfo(desktop).isDir())
        desktop = QDir::homePath();
    return TrimSlashes(QFile::encodeName(desktop).toStdString());
}

std::string HomeFolder()
{
    return TrimSlashes(QFile::encodeName(QDir::homePath()).toStdString());
}

} // namespace

// The tree's hidden window: its messages go to TreeWndProc.
class TFolderTree::TTreeWindow : public platform::MessageWindow {
public:
    explicit TTreeWindow(TFolderTree* tree) : FTree(tree) {}

protected:
    void WndProc(platform::TMessage& msg) override { FTree->TreeWndProc(msg); }

private:
    TFolderTree* FTree;
};

// One begin/end update of the tree: nested batches repaint once at the end.
class TFolderTree::TUpdateGuard {
public:
    explicit TUpdateGuard(TFolderTree* tree) : FTree(tree)
    {
        if (FTree->FUpdateDepth++ == 0)
            FTree->viewport()->setUpdatesEnabled(false);
    }
    ~TUpdateGuard()
    {
        if (--FTree->FUpdateDepth == 0)
            FTree->viewport()->setUpdatesEnabled(true);
    }
    TUpdateGuard(const TUpdateGuard&) = delete;
    TUpdateGuard& operator=(const TUpdateGuard&) = delete;

private:
    TFolderTree* FTree;
};

TFolderTree::TFolderTree(QWidget* parent) : QTreeView(parent)
{
    FModel = new TFolderModel(this);
    FModel->OnFetch = [this](TFolderNode* node) { DoExpanding(node); };
    FModel->OnDeleteNode = [this](TFolderNode* node) { ReleaseNode(node); };
    setModel(FModel);
    setHeaderHidden(true);
    setUniformRowHeights(true);   // keeps folders with thousands of sub-folders fast
    setEditTriggers(NoEditTriggers);
    setSelectionMode(SingleSelection);
    setAnimated(false);
    setIconSize(QSize(16, 16));
    connect(selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& current, const QModelIndex&) { CurrentChanged(current); });
    connect(this, &QTreeView::expanded, this, [this](const QModelIndex& index) { AfterExpanded(index); });
    connect(this, &QAbstractItemView::clicked, this,
            [this](const QModelIndex& index) { CheckMediaOnClick(NodeOf(index)); });

    FWindow = std::make_unique<TTreeWindow>(this);
    WatchMountTable();
    // Built once the event loop runs, so that the owner can set options first.
    FWindow->PostMessage(WM_REBUILD);
}

TFolderTree::~TFolderTree()
{
    FDestroying = true;
    // First the window: its queued messages are dropped, and a watcher blocked in a
    // refresh request is released at once.
    FWindow.reset();
    delete FMountNotifier;
    FMountNotifier = nullptr;
    if (FMountFd >= 0)
        ::close(FMountFd);
    // Then the nodes, which tells every watcher to end; nobody waits for them.
    DeleteAllNodes();
}

platform::HWND TFolderTree::WindowHandle() const
{
    return FWindow ? FWindow->Handle() : 0;
}

void TFolderTree::SetDriveLister(std::function<std::vector<TDriveInfo>()> lister)
{
    FDriveLister = std::move(lister);
    FDrivesRead = false;
}

void TFolderTree::ReadDrives()
{
    FDrives = FDriveLister ? FDriveLister() : ListSystemDrives();
    FDrivesRead = true;
}

const std::vector<TDriveInfo>& TFolderTree::Drives()
{
    if (!FDrivesRead)
        ReadDrives();
    return FDrives;
}

std::int32_t TFolderTree::DriveSerial(const std::string& path)
{
    if (path.empty())
        return -1;
    return DriveSerialOf(Drives(), path);
}

void TFolderTree::TreeWndProc(platform::TMessage& msg)
{
    switch (msg.Msg) {
    case WM_REFRESHNODE:
        RefreshNode(static_cast<std::uint64_t>(msg.LParam));
        break;
    case WM_REBUILD:
        Rebuild();
        break;
    case WM_DEVICECHANGE:
        DeviceChange(msg.WParam);
        break;
    default:
        msg.Result = 0;
        break;
    }
}

void TFolderTree::WatchMountTable()
{
    // The kernel marks /proc/self/mounts as exceptional (POLLPRI) whenever a file
    // system is mounted or unmounted: that is the medium-change notification here.
    FMountFd = ::open("/proc/self/mounts", O_RDONLY | O_CLOEXEC);
    if (FMountFd < 0)
        return;
    FMountNotifier = new QSocketNotifier(FMountFd, QSocketNotifier::Exception, this);
    connect(FMountNotifier, &QSocketNotifier::activated, this, [this]() {
        if (FWindow)
            FWindow->PostMessage(WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 0);
    });
}

void TFolderTree::DeviceChange(platform::WPARAM event)
{
    if (event == DBT_DEVICEARRIVAL || event == DBT_DEVICEREMOVECOMPLETE)
        CheckMounts();
}

std::string TFolderTree::NodePath(const TFolderNode* node) const
{
    if (!node || (node->NodeKind != nkFolder && node->NodeKind != nkDesktop))
        return {};
    return node->Path;
}

TFolderNode* TFolderTree::SelectedNode() const
{
    return NodeOf(currentIndex());
}

std::string TFolderTree::SelectedPath() const
{
    return NodePath(SelectedNode());
}

void TFolderTree::SelectNode(TFolderNode* node)
{
    QModelIndex index = IndexOf(node);
    if (index.isValid())
        selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect);
}

TFolderNode* TFolderTree::FindNode(const std::string& path) const
{
    std::vector<TFolderNode*> stack{FModel->Holder()};
    while (!stack.empty()) {
        TFolderNode* n = stack.back();
        stack.pop_back();
        if (n != FModel->Holder() && n->Path == path)
            return n;
        for (auto it = n->Children.rbegin(); it != n->Children.rend(); ++it)
            stack.push_back(it->get());
    }
    return nullptr;
}

bool TFolderTree::SelectPath(const std::string& wanted)
{
    std::string path = TrimSlashes(wanted);
    if (!FRoot || path.empty())
        return false;
    TFolderNode* start = nullptr;
    if (PathWithin(FRoot->Path, path)) {
        start = FRoot;
    } else if (FComputer && DoExpanding(FComputer)) {
        expand(IndexOf(FComputer));
        // The drive holding the path: the child with the longest mount point around it.
        for (auto& drive : FComputer->Children)
            if (PathWithin(drive->Path, path) && (!start || drive->Path.size() > start->Path.size()))
                start = drive.get();
    }
    if (!start)
        return false;
    TFolderNode* found = DescendTo(start, path);
    SelectNode(found);
    return found && found->Path == path;
}

TFolderNode* TFolderTree::DescendTo(TFolderNode* from, const std::string& path)
{
    TFolderNode* current = from;
    while (current->Path != path) {
        if (!DoExpanding(current))
            break;
        expand(IndexOf(current));
        TFolderNode* next = nullptr;
        for (auto& child : current->Children) {
            if (child->NodeKind == nkFolder && PathWithin(child->Path, path)) {
                next = child.get();
                break;
            }
        }
        if (!next)
            break;
        current = next;
    }
    return current;
}

QString TFolderTree::ApplyDisplayMode(const QString& label) const
{
    switch (FDisplayMode) {
    case dmUppercase:
        return label.toUpper();
    case dmLowercase:
        return label.toLower();
    default:
        return label;
    }
}

std::unique_ptr<TFolderNode> TFolderTree::MakeNode(const TFolderItem& item, TFolderNode* parent)
{
    auto node = FModel->NewNode();
    node->Path = item.ParsingName;
    node->HasParent = parent != nullptr;
    node->Serial = 1;
    node->NodeKind = nkFolder;
    if (parent && parent->NodeKind == nkNetwork) {
        node->NodeKind = nkNetworkChild;
        node->Path = "//" + item.InFolderName.toLocal8Bit().toStdString();
    }
    node->Label = ApplyDisplayMode(item.InFolderName);
    node->ImageIndex = item.ImageIndex;
    node->SelectedIndex = item.SelectedIndex;
    node->HasButton = item.HasSubFolders;
    node->IsLink = item.IsLink;
    return node;
}

TFolderNode* TFolderTree::AddFolderNode(const TFolderItem& item, TFolderNode* parent, bool forced)
{
    bool fileSystem = item.FileSystem
                      || (parent && (parent->NodeKind == nkNetwork || parent->NodeKind == nkNetworkChild));
    if (!forced && !fileSystem)
        return nullptr;
    auto node = MakeNode(item, parent);
    TFolderNode* added = node.get();
    // File-system items go last, the others (the special nodes) first.
    int row = (parent && fileSystem) ? static_cast<int>(parent->Children.size()) : 0;
    std::vector<std::unique_ptr<TFolderNode>> batch;
    batch.push_back(std::move(node));
    FModel->InsertChildren(parent, row, std::move(batch));
    return added;
}

void TFolderTree::SetShowHidden(bool show)
{
    if (show == FShowHidden)
        return;
    FShowHidden = show;
    if (!FRoot)
        return;   // the first Rebuild reads with the new setting
    const std::string selected = SelectedPath();
    Rebuild();
    if (!selected.empty())
        SelectPath(selected);
}

void TFolderTree::Rebuild()
{
    if (FDestroying)
        return;
    TUpdateGuard update(this);
    DeleteAllNodes();
    FDesktopPath = FRootPathOverride.empty() ? DesktopFolder() : TrimSlashes(FRootPathOverride);

    TFolderItem desktop;
    desktop.ParsingName = FDesktopPath;
    desktop.NormalName = desktop.InFolderName = QStringLiteral("Desktop");
    desktop.ImageIndex = desktop.SelectedIndex = SystemImageList::iiDesktop;
    desktop.HasSubFolders = true;
    FRoot = AddFolderNode(desktop, nullptr, true);
    FRoot->Label = desktop.NormalName;
    FRoot->Path = FDesktopPath;
    FRoot->NodeKind = nkDesktop;
    FillChildren(FRoot);

    auto addSpecial = [this](const QString& name, int icon, bool hasSubFolders, TNodeKind kind,
                             const std::string& path) {
        TFolderItem item;
        item.NormalName = item.InFolderName = name;
        item.FileSystem = false;
        item.HasSubFolders = hasSubFolders;
        item.ImageIndex = item.SelectedIndex = icon;
        TFolderNode* node = AddFolderNode(item, FRoot, true);
        node->Label = name;
        node->Path = path;
        node->NodeKind = kind;
        return node;
    };
    // Each goes in as the first child: computer, network, trash, then the folders.
    if (FFolderOptions & foRecycleBin)
        FRecycleBin = addSpecial(QStringLiteral("Trash"), SystemImageList::iiTrash, false, nkRecycleBin, "");
    if (FFolderOptions & foNetworkNeighborhood)
        FNetwork = addSpecial(QStringLiteral("Network"), SystemImageList::iiNetwork, false, nkNetwork, "//");
    FComputer = addSpecial(QStringLiteral("Computer"), SystemImageList::iiComputer, true, nkDrives, "");
    // The root always has children now, so it is watched even while the desktop holds
    // no folder: the first one created there must show up too.
    StartWatcher(FRoot);

    expand(IndexOf(FRoot));
    RelayoutButtons();
}

bool TFolderTree::EnumFolders(TFolderNode* node, std::vector<TFolderItem>& items)
{
    switch (node->NodeKind) {
    case nkDrives:
        ReadDrives();
        for (const TDriveInfo& drive : FDrives)
            items.push_back(DriveItem(drive));
        return true;
    case nkNetwork:
    case nkNetworkChild:
    case nkRecycleBin:
        return true;   // nothing on this system lists folders there
    default:
        return ReadSubFolders(NodePath(node), HomeFolder(), FShowHidden, items);
    }
}

TFolderItem TFolderTree::DriveItem(const TDriveInfo& drive) const
{
    TFolderItem item;
    item.ParsingName = drive.Path;
    item.NormalName = item.InFolderName = QString::fromLocal8Bit(drive.Label.c_str());
    item.FileSystem = true;
    // A drive without medium keeps its button: expanding it will tell.
    item.HasSubFolders = !drive.Ready || PathHasSubFolders(drive.Path);
    item.ImageIndex = item.SelectedIndex = drive.ImageIndex;
    return item;
}

int TFolderTree::FillChildren(TFolderNode* node)
{
    if (!node || FDestroying)
        return 0;
    TBusyCursor busy;
    TUpdateGuard update(this);
    bool hasChildren = true;
    int result = 0;
    const bool isDrive = node->Parent && node->Parent->NodeKind == nkDrives;
    if (isDrive)
        node->Serial = DriveSerial(node->Path);

    std::vector<TFolderItem> items;
    if (EnumFolders(node, items)) {
        hasChildren = false;
        std::vector<std::unique_ptr<TFolderNode>> nodes;
        nodes.reserve(items.size());
        for (const TFolderItem& item : items) {
            auto child = MakeNode(item, node);
            child->Serial = (node->NodeKind == nkDrives || node->NodeKind == nkNetworkChild)
                                ? DriveSerial(child->Path)
                                : node->Serial;
            nodes.push_back(std::move(child));
        }
        if (!nodes.empty()) {
            hasChildren = true;
            result = 1;
        }
        // Drives and network items keep the system's order; folders are sorted.
        if (node->NodeKind != nkNetwork && node->NodeKind != nkDrives)
            std::stable_sort(nodes.begin(), nodes.end(), LabelLess);
        FModel->InsertChildren(node, static_cast<int>(node->Children.size()), std::move(nodes));
    }
    if (node->HasButton != hasChildren) {
        node->HasButton = hasChildren;
        RelayoutButtons();
    }
    if (result == 1 && !node->Watcher)
        StartWatcher(node);
    return result;
}

bool TFolderTree::DoExpanding(TFolderNode* node)
{
    if (!node)
        return false;
    if (!node->Children.empty())
        return true;
    return FillChildren(node) == 1;
}

void TFolderTree::AfterExpanded(const QModelIndex& index)
{
    // The view asks the model to fetch a node's children while expanding it, but not
    // on every path (an expansion during a pending layout only records the state), so
    // the expanding handler runs here too; filling twice is impossible because a filled
    // node no longer asks to be fetched. A node that got no children must not stay open
    // (its button went away, or the folder could not be read).
    TFolderNode* node = NodeOf(index);
    if (node && !DoExpanding(node)) {
        collapse(index);
        RelayoutButtons();
    }
}

void TFolderTree::RelayoutButtons()
{
    // The view caches whether a row has children; a changed button needs a new layout.
    scheduleDelayedItemsLayout();
}

void TFolderTree::StartWatcher(TFolderNode* node)
{
    if (FDestroying || !FWindow || !node || node->Watcher)
        return;
    // Nodes without a folder on disk (the computer, the network) have nothing to watch;
    // the computer's drives follow the mount table instead.
    std::string path = NodePath(node);
    if (path.empty())
        return;
    node->Watcher = TThDirChange::Start(path, FWindow->Handle(), node->Id);
}

void TFolderTree::ReleaseNode(TFolderNode* node)
{
    if (node->Watcher) {
        node->Watcher->Terminate();   // it ends and frees itself; never waited for
        node->Watcher.reset();
    }
    if (node == FRoot)
        FRoot = nullptr;
    if (node == FComputer)
        FComputer = nullptr;
    if (node == FNetwork)
        FNetwork = nullptr;
    if (node == FRecycleBin)
        FRecycleBin = nullptr;
}

void TFolderTree::DeleteNode(TFolderNode* node)
{
    if (!node || !FModel->NodeById(node->Id))
        return;
    FModel->RemoveChildren(node->Parent, node->Row, node->Row);
}

void TFolderTree::DeleteAllNodes()
{
    FModel->RemoveChildren(nullptr, 0, INT_MAX);
}

void TFolderTree::CollapseSubtree(TFolderNode* node)
{
    std::vector<TFolderNode*> stack{node};
    while (!stack.empty()) {
        TFolderNode* n = stack.back();
        stack.pop_back();
        if (n->Children.empty())
            continue;
        collapse(IndexOf(n));
        for (auto& child : n->Children)
            stack.push_back(child.get());
    }
}

void TFolderTree::RefreshNode(std::uint64_t nodeId)
{
    if (FDestroying)
        return;
    TFolderNode* node = NodeById(nodeId);
    if (!node)
        return;   // deleted meanwhile: nothing to re-read
    const bool wasExpanded = isExpanded(IndexOf(node));

    // The selection inside the re-read node would otherwise fall to whatever row the
    // view picks when its node goes away, and the local pane would follow it; the tree
    // brings it back to the same folder and reports a change only when that is gone or
    // the user picked another node meanwhile.
    ++FSuppressChange;
    TFolderNode* selected = SelectedNode();
    const std::uint64_t selectedId = selected ? selected->Id : 0;
    std::string selectedPath;
    for (TFolderNode* s = selected; s; s = s->Parent) {
        if (s->Parent == node) {
            selectedPath = selected->Path;
            break;
        }
    }

    if (wasExpanded) {
        TUpdateGuard update(this);
        CollapseSubtree(node);
    }
    QPointer<TFolderTree> self(this);
    platform::PumpMessages();
    if (!self || FDestroying)
        return;
    node = NodeById(nodeId);   // the pump may have deleted it
    if (node) {
        TUpdateGuard update(this);
        if (node->NodeKind == nkDesktop) {
            // The computer, network and trash nodes are no folders on disk: they stay.
            FModel->RemoveChildrenIf(node, [](const TFolderNode& n) { return n.NodeKind == nkFolder; });
        } else {
            FModel->RemoveChildren(node, 0, INT_MAX);
        }
        FillChildren(node);
        if (wasExpanded && !node->Children.empty())
            expand(IndexOf(node));
        if (!selectedPath.empty() && !NodeById(selectedId))
            SelectNode(DescendTo(node, selectedPath));
    }
    --FSuppressChange;
    TFolderNode* now = SelectedNode();
    const bool restored = !selectedPath.empty() && now && now->Path == selectedPath;
    if ((now ? now->Id : 0) != selectedId && !restored)
        CurrentChanged(currentIndex());
}

void TFolderTree::RefreshDrive(const std::string& drivePath)
{
    if (FDestroying || !FComputer)
        return;
    TFolderNode* drive = nullptr;
    for (auto& child : FComputer->Children) {
        if (child->Path == drivePath) {
            drive = child.get();
            break;
        }
    }
    if (!drive)
        return;
    TUpdateGuard update(this);
    CollapseSubtree(drive);
    FModel->RemoveChildren(drive, 0, INT_MAX);
    drive->HasButton = true;
    for (const TDriveInfo& info : Drives()) {
        if (info.Path == drivePath) {
            drive->Label = QString::fromLocal8Bit(info.Label.c_str());
            drive->ImageIndex = drive->SelectedIndex = info.ImageIndex;
            break;
        }
    }
    FModel->NodeChanged(drive);
    RelayoutButtons();
}

void TFolderTree::CheckMounts()
{
    if (FDestroying)
        return;
    const std::vector<TDriveInfo> before = FDrives;
    ReadDrives();
    if (!FComputer || FComputer->Children.empty())
        return;   // not read yet: the next expansion reads the new list
    TUpdateGuard update(this);
    auto findIn = [](const std::vector<TDriveInfo>& list, const std::string& path) -> const TDriveInfo* {
        for (const TDriveInfo& d : list)
            if (d.Path == path)
                return &d;
        return nullptr;
    };
    FModel->RemoveChildrenIf(FComputer, [&](const TFolderNode& n) { return !findIn(FDrives, n.Path); });
    for (size_t i = 0; i < FDrives.size() && FComputer; ++i) {
        const TDriveInfo& drive = FDrives[i];
        TFolderNode* existing = nullptr;
        for (auto& child : FComputer->Children)
            if (child->Path == drive.Path)
                existing = child.get();
        if (!existing) {
            auto node = MakeNode(DriveItem(drive), FComputer);
            node->Serial = DriveSerial(drive.Path);
            std::vector<std::unique_ptr<TFolderNode>> batch;
            batch.push_back(std::move(node));
            FModel->InsertChildren(FComputer, static_cast<int>(i), std::move(batch));
            continue;
        }
        const TDriveInfo* old = findIn(before, drive.Path);
        if (!old || old->Device != drive.Device || old->Ready != drive.Ready
            || old->VolumeSerial != drive.VolumeSerial || old->Label != drive.Label)
            RefreshDrive(drive.Path);
    }
    RelayoutButtons();
}

void TFolderTree::CheckMediaOnClick(TFolderNode* node)
{
    if (!node || FDestroying)
        return;
    const bool isDrive = node->Parent && node->Parent->NodeKind == nkDrives;
    if (node->Path.empty() || (!isDrive && node->HasParent))
        return;   // only the root and the drives hold a medium worth checking
    ReadDrives();
    const std::int32_t serial = DriveSerial(node->Path);
    if (serial != node->Serial && node->Serial != -1) {
        if (const TDriveInfo* drive = DriveOfPath(FDrives, node->Path))
            RefreshDrive(drive->Path);
    }
    node->Serial = serial;
}

void TFolderTree::CurrentChanged(const QModelIndex& current)
{
    if (FDestroying || FSuppressChange > 0)
        return;
    if (OnChange)
        OnChange(this, NodeOf(current));
}

void TFolderTree::focusInEvent(QFocusEvent* event)
{
    QTreeView::focusInEvent(event);
    if (OnEnter)
        OnEnter(this);
}

void TFolderTree::focusOutEvent(QFocusEvent* event)
{
    QTreeView::focusOutEvent(event);
    if (OnExit)
        OnExit(this);
}

} // namespace foldertree
