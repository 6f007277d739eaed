// TFolderNode, the record behind every node of the folder tree, and TFolderModel, the
// item model that holds the nodes and shows them to the tree view.
#pragma once

#include "foldertree/ThDirChange.h"

#include <QAbstractItemModel>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace foldertree {

// What a node stands for.
enum TNodeKind : std::uint8_t {
    nkFolder = 0,         // a drive or folder found by enumeration
    nkNetwork = 1,        // the network node
    nkRecycleBin = 2,     // the trash
    nkDrives = 3,         // the computer node holding the drives
    nkDesktop = 4,        // the root
    nkNetworkChild = 5    // a node directly under the network node
};

// One node. Nodes are owned by the model and identified by an Id that is never reused,
// so a message naming a node that was deleted meanwhile cannot reach freed memory.
struct TFolderNode {
    // The item's file-system path; empty for the computer node and the trash, "//" for
    // the network node, the desktop's path for the root.
    std::string Path;
    // False for the root only.
    bool HasParent = false;
    // The node's watcher thread, or null.
    std::shared_ptr<TThDirChange> Watcher;
    // Drive state for noticing media changes (see TFolderTree::DriveSerial); 1 at creation.
    std::int32_t Serial = 1;
    TNodeKind NodeKind = nkFolder;

    // The never-reused identity of the node.
    std::uint64_t Id = 0;
    // The parent node (the model's invisible holder for the root).
    TFolderNode* Parent = nullptr;
    // Position among the parent's children.
    int Row = 0;
    std::vector<std::unique_ptr<TFolderNode>> Children;
    QString Label;
    int ImageIndex = 0;
    int SelectedIndex = 0;
    // The expand button: shown while the node may have children it has not read yet.
    bool HasButton = false;
    // The item is a symbolic link to a folder.
    bool IsLink = false;
};

// The tree's item model: one column, nodes read lazily through fetchMore. Only the tree
// changes it, on the user-interface thread; every change is one batch of signals.
class TFolderModel : public QAbstractItemModel {
    Q_OBJECT
public:
    explicit TFolderModel(QObject* parent = nullptr);
    ~TFolderModel() override;

    // Called when the view wants the children of a node that has none yet.
    std::function<void(TFolderNode*)> OnFetch;
    // Called for every node about to be deleted, children before their parent.
    std::function<void(TFolderNode*)> OnDeleteNode;

    // The node with this id, or null when it does not exist (any more).
    TFolderNode* NodeById(std::uint64_t id) const;
    // The node behind an index (null for the invisible root).
    TFolderNode* NodeOf(const QModelIndex& index) const;
    // The index of a node (invalid for null or the invisible root).
    QModelIndex IndexOf(const TFolderNode* node) const;
    // The invisible holder whose children are the top-level nodes.
    TFolderNode* Holder() const { return FHolder.get(); }
    // Number of nodes in the model, the holder excluded.
    std::size_t NodeCount() const { return FById.size(); }

    // A fresh node with its id; it belongs to the caller until inserted.
    std::unique_ptr<TFolderNode> NewNode();
    // Inserts nodes (without children) as one batch at row of parent (null: top level).
    void InsertChildren(TFolderNode* parent, int row, std::vector<std::unique_ptr<TFolderNode>> nodes);
    // Deletes rows first..last of parent with all their descendants, as one batch.
    void RemoveChildren(TFolderNode* parent, int first, int last);
    // Deletes every child of parent that pred selects, in runs of adjacent rows.
    void RemoveChildrenIf(TFolderNode* parent, const std::function<bool(const TFolderNode&)>& pred);
    // Tells the views that the label or icon of a node changed.
    void NodeChanged(TFolderNode* node);

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    bool hasChildren(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    bool canFetchMore(const QModelIndex& parent) const override;
    void fetchMore(const QModelIndex& parent) override;

private:
    void Forget(TFolderNode* node);
    // Set while a batch of changes is being announced: the model must not be re-entered
    // then (a checker or view asking for more rows from inside a change signal).
    int FInChange = 0;

    std::unique_ptr<TFolderNode> FHolder;
    std::unordered_map<std::uint64_t, TFolderNode*> FById;
    std::uint64_t FNextId = 1;
};

} // namespace foldertree
