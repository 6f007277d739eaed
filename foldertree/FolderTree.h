// TFolderTree: a tree view of the local folders (the desktop as the single root, the
// computer with its drives, the desktop's folders) that fills its nodes lazily and keeps
// filled nodes up to date through TThDirChange watcher threads.
#pragma once

#include "foldertree/Drives.h"
#include "foldertree/FolderModel.h"
#include "platform/MessageWindow.h"

#include <QPointer>
#include <QTreeView>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QSocketNotifier;

namespace foldertree {

// Optional nodes below the root.
enum TFolderOption : unsigned {
    foNetworkNeighborhood = 1u << 0,   // the network node
    foRecycleBin = 1u << 1             // the trash node
};
// A set of TFolderOption bits.
using TFolderOptions = unsigned;

// Letter case of the labels of folder nodes.
enum TDisplayMode : std::uint8_t { dmAsis, dmUppercase, dmLowercase };

// One item of a folder as the tree adds it: its names and attributes.
struct TFolderItem {
    std::string ParsingName;    // the file-system path
    QString NormalName;         // the name shown for the item on its own
    QString InFolderName;       // the name inside its folder
    bool FileSystem = true;     // a file-system item (others are added only when forced)
    bool HasSubFolders = false; // decides the expand button
    bool IsLink = false;        // a symbolic link to a folder
    int ImageIndex = 0;
    int SelectedIndex = 0;
};

// The folder tree control. Create it with its parent widget and put it into a layout;
// the tree fills itself at the first turn of the event loop. UI thread only.
class TFolderTree : public QTreeView {
    Q_OBJECT
public:
    // Messages of the tree's hidden window.
    static constexpr std::uint32_t WM_REFRESHNODE = platform::WM_USER;   // lParam: node id
    static constexpr std::uint32_t WM_REBUILD = platform::WM_USER + 1;
    static constexpr std::uint32_t WM_DEVICECHANGE = 537;                // the mount table changed
    static constexpr platform::WPARAM DBT_DEVICEARRIVAL = 0x8000;
    static constexpr platform::WPARAM DBT_DEVICEREMOVECOMPLETE = 0x8004;

    // Creates an empty tree and posts the rebuild to its hidden window.
    explicit TFolderTree(QWidget* parent = nullptr);
    // Deletes all nodes, which tells their watchers to end; never waits for them.
    ~TFolderTree() override;

    // Which optional nodes Rebuild adds (default none).
    TFolderOptions FolderOptions() const { return FFolderOptions; }
    void SetFolderOptions(TFolderOptions options) { FFolderOptions = options; }
    // Letter case of folder labels added from now on (default dmAsis).
    TDisplayMode DisplayMode() const { return FDisplayMode; }
    void SetDisplayMode(TDisplayMode mode) { FDisplayMode = mode; }

    // Whether folders whose names begin with a dot are listed (true at first). Changing it
    // builds the tree anew and selects the same folder again (or the nearest one shown).
    bool ShowHidden() const { return FShowHidden; }
    void SetShowHidden(bool show);

    // The path of the selected node (see NodePath); empty when nothing is selected.
    std::string SelectedPath() const;
    // The file-system path of a folder, drive or root node; empty for the other kinds
    // and for null.
    std::string NodePath(const TFolderNode* node) const;

    // Builds the tree anew: root "Desktop", the computer node, the optional nodes, the
    // desktop's folders; expands the root. Runs by itself at the first turn of the loop.
    void Rebuild();
    // Adds one node for item below parent (null: top level) and returns it; null when
    // the item is no file-system item and forced is false.
    TFolderNode* AddFolderNode(const TFolderItem& item, TFolderNode* parent, bool forced);
    // Reads the sub-folders of node into new children and starts its watcher when it got
    // any; returns 1 when at least one child was added, else 0.
    int FillChildren(TFolderNode* node);
    // The expanding handler: fills a node that has no children yet; true when the node
    // may open.
    bool DoExpanding(TFolderNode* node);
    // Re-reads a node's children, keeping it expanded if it was; ignores unknown ids.
    void RefreshNode(std::uint64_t nodeId);
    // Empties the drive node mounted at drivePath and relabels it after a medium change.
    void RefreshDrive(const std::string& drivePath);
    // -1 for an empty path or a removable drive without medium, 1 for a fixed drive,
    // otherwise the volume serial of the medium in the path's drive.
    std::int32_t DriveSerial(const std::string& path);
    // Re-reads the drive list and brings the computer node's drives up to date (drives
    // added, removed, or with another medium). Runs on every change of the mount table.
    void CheckMounts();
    // The click handler: re-reads a drive (or the root's drive) whose medium changed.
    void CheckMediaOnClick(TFolderNode* node);
    // Deletes a node with its descendants, telling their watchers to end.
    void DeleteNode(TFolderNode* node);

    // The root (desktop) node, the computer node and the optional nodes; null when absent.
    TFolderNode* RootNode() const { return FRoot; }
    TFolderNode* ComputerNode() const { return FComputer; }
    TFolderNode* NetworkNode() const { return FNetwork; }
    TFolderNode* RecycleBinNode() const { return FRecycleBin; }
    // The selected node, or null.
    TFolderNode* SelectedNode() const;
    // The node with this id, or null when it does not exist (any more).
    TFolderNode* NodeById(std::uint64_t id) const { return FModel->NodeById(id); }
    // The first node (depth first among those read so far) with this path, or null.
    TFolderNode* FindNode(const std::string& path) const;
    // Model index of a node, and the node behind an index.
    QModelIndex IndexOf(const TFolderNode* node) const { return FModel->IndexOf(node); }
    TFolderNode* NodeOf(const QModelIndex& index) const { return FModel->NodeOf(index); }
    // The tree's own model.
    TFolderModel* FolderModel() const { return FModel; }
    // Selects a node and makes it the current one (fires OnChange when it changes).
    void SelectNode(TFolderNode* node);
    // Reads and expands the nodes down to a folder and selects it (or the deepest node
    // found on the way); true when the folder itself was reached.
    bool SelectPath(const std::string& path);
    // The hidden window that receives the watchers' refresh requests.
    platform::HWND WindowHandle() const;

    // The selection changed (node: the new selected node, may be null).
    std::function<void(TFolderTree* Sender, TFolderNode* Node)> OnChange;
    // The tree got the keyboard focus.
    std::function<void(TFolderTree* Sender)> OnEnter;
    // The tree lost the keyboard focus.
    std::function<void(TFolderTree* Sender)> OnExit;

    // Test seam: the root's path instead of the desktop folder; takes effect at the next
    // Rebuild (set it before the event loop runs for the first one).
    void SetRootPath(const std::string& path) { FRootPathOverride = path; }
    // Test seam: where the computer node's drives come from instead of the mount table.
    void SetDriveLister(std::function<std::vector<TDriveInfo>()> lister);
    // The drive list as last read.
    const std::vector<TDriveInfo>& Drives();

protected:
    // The hidden window's procedure.
    void TreeWndProc(platform::TMessage& msg);
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    class TTreeWindow;
    class TUpdateGuard;

    void StartWatcher(TFolderNode* node);
    void ReleaseNode(TFolderNode* node);
    bool EnumFolders(TFolderNode* node, std::vector<TFolderItem>& items);
    std::vector<std::unique_ptr<TFolderNode>> MakeNodes(const std::vector<TFolderItem>& items,
                                                        TFolderNode* parent);
    std::unique_ptr<TFolderNode> MakeNode(const TFolderItem& item, TFolderNode* parent);
    QString ApplyDisplayMode(const QString& label) const;
    void CollapseSubtree(TFolderNode* node);
    TFolderNode* DescendTo(TFolderNode* from, const std::string& path);
    void RelayoutButtons();
    void DeleteAllNodes();
    void ReadDrives();
    TFolderItem DriveItem(const TDriveInfo& drive) const;
    void DeviceChange(platform::WPARAM event);
    void WatchMountTable();
    void CurrentChanged(const QModelIndex& current);
    void AfterExpanded(const QModelIndex& index);

    TFolderModel* FModel = nullptr;
    std::unique_ptr<TTreeWindow> FWindow;
    QSocketNotifier* FMountNotifier = nullptr;
    int FMountFd = -1;
    TFolderNode* FRoot = nullptr;
    TFolderNode* FComputer = nullptr;
    TFolderNode* FNetwork = nullptr;
    TFolderNode* FRecycleBin = nullptr;
    std::string FDesktopPath;
    std::string FRootPathOverride;
    TFolderOptions FFolderOptions = 0;
    TDisplayMode FDisplayMode = dmAsis;
    bool FShowHidden = true;
    std::function<std::vector<TDriveInfo>()> FDriveLister;
    std::vector<TDriveInfo> FDrives;
    bool FDrivesRead = false;
    bool FDestroying = false;
    int FUpdateDepth = 0;
    int FSuppressChange = 0;
};

} // namespace foldertree
