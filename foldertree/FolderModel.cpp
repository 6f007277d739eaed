// The folder tree's item model: nodes by index, batch insertion and deletion, lazy fill.
#include "foldertree/FolderModel.h"

#include "platform/SystemImageList.h"

#include <QFile>

#include <algorithm>

namespace foldertree {

TFolderModel::TFolderModel(QObject* parent) : QAbstractItemModel(parent), FHolder(std::make_unique<TFolderNode>())
{
}

TFolderModel::~TFolderModel()
{
    // The owner deletes the nodes (and so stops their watchers) before; this is a safety
    // net that must not call back into a half-destroyed owner, but still stops watchers.
    OnFetch = nullptr;
    OnDeleteNode = [](TFolderNode* node) {
        if (node->Watcher)
            node->Watcher->Terminate();
    };
    for (auto& child : FHolder->Children)
        Forget(child.get());
}

TFolderNode* TFolderModel::NodeById(std::uint64_t id) const
{
    auto it = FById.find(id);
    return it == FById.end() ? nullptr : it->second;
}

TFolderNode* TFolderModel::NodeOf(const QModelIndex& index) const
{
    if (!index.isValid() || index.model() != this)
        return nullptr;
    return static_cast<TFolderNode*>(index.internalPointer());
}

QModelIndex TFolderModel::IndexOf(const TFolderNode* node) const
{
    if (!node || node == FHolder.get())
        return {};
    return createIndex(node->Row, 0, const_cast<TFolderNode*>(node));
}

std::unique_ptr<TFolderNode> TFolderModel::NewNode()
{
    auto node = std::make_unique<TFolderNode>();
    node->Id = FNextId++;
    return node;
}

void TFolderModel::InsertChildren(TFolderNode* parent, int row, std::vector<std::unique_ptr<TFolderNode>> nodes)
{
    if (!parent)
        parent = FHolder.get();
    if (nodes.empty())
        return;
    row = std::clamp(row, 0, static_cast<int>(parent->Children.size()));
    const int count = static_cast<int>(nodes.size());
    ++FInChange;
    beginInsertRows(IndexOf(parent), row, row + count - 1);
    for (auto& n : nodes) {
        n->Parent = parent;
        FById.emplace(n->Id, n.get());
    }
    parent->Children.insert(parent->Children.begin() + row, std::make_move_iterator(nodes.begin()),
                            std::make_move_iterator(nodes.end()));
    for (int i = row; i < static_cast<int>(parent->Children.size()); ++i)
        parent->Children[static_cast<size_t>(i)]->Row = i;
    endInsertRows();
    --FInChange;
}

void TFolderModel::Forget(TFolderNode* node)
{
    // Depth first: a node's children go before the node itself.
    for (auto& child : node->Children)
        Forget(child.get());
    if (OnDeleteNode)
        OnDeleteNode(node);
    FById.erase(node->Id);
}

void TFolderModel::RemoveChildren(TFolderNode* parent, int first, int last)
{
    if (!parent)
        parent = FHolder.get();
    const int size = static_cast<int>(parent->Children.size());
    first = std::max(first, 0);
    last = std::min(last, size - 1);
    if (first > last)
        return;
    ++FInChange;
    beginRemoveRows(IndexOf(parent), first, last);
    std::vector<std::unique_ptr<TFolderNode>> doomed;
    doomed.reserve(static_cast<size_t>(last - first + 1));
    auto begin = parent->Children.begin() + first;
    auto end = parent->Children.begin() + last + 1;
    for (auto it = begin; it != end; ++it) {
        Forget(it->get());
        doomed.push_back(std::move(*it));
    }
    parent->Children.erase(begin, end);
    for (int i = first; i < static_cast<int>(parent->Children.size()); ++i)
        parent->Children[static_cast<size_t>(i)]->Row = i;
    endRemoveRows();
    --FInChange;
    // The nodes die only after the views have dropped their indexes to them.
}

void TFolderModel::RemoveChildrenIf(TFolderNode* parent, const std::function<bool(const TFolderNode&)>& pred)
{
    if (!parent)
        parent = FHolder.get();
    // From the end, so that the rows still to visit keep their numbers.
    int row = static_cast<int>(parent->Children.size()) - 1;
    while (row >= 0) {
        if (!pred(*parent->Children[static_cast<size_t>(row)])) {
            --row;
            continue;
        }
        int last = row;
        while (row - 1 >= 0 && pred(*parent->Children[static_cast<size_t>(row - 1)]))
            --row;
        RemoveChildren(parent, row, last);
        --row;
    }
}

void TFolderModel::NodeChanged(TFolderNode* node)
{
    QModelIndex index = IndexOf(node);
    if (index.isValid())
        emit dataChanged(index, index);
}

QModelIndex TFolderModel::index(int row, int column, const QModelIndex& parent) const
{
    if (column != 0 || row < 0)
        return {};
    const TFolderNode* p = parent.isValid() ? NodeOf(parent) : FHolder.get();
    if (!p || row >= static_cast<int>(p->Children.size()))
        return {};
    return createIndex(row, 0, p->Children[static_cast<size_t>(row)].get());
}

QModelIndex TFolderModel::parent(const QModelIndex& child) const
{
    const TFolderNode* node = NodeOf(child);
    if (!node || !node->Parent || node->Parent == FHolder.get())
        return {};
    return IndexOf(node->Parent);
}

int TFolderModel::rowCount(const QModelIndex& parent) const
{
    if (parent.isValid() && parent.column() != 0)
        return 0;
    const TFolderNode* p = parent.isValid() ? NodeOf(parent) : FHolder.get();
    return p ? static_cast<int>(p->Children.size()) : 0;
}

int TFolderModel::columnCount(const QModelIndex&) const
{
    return 1;
}

bool TFolderModel::hasChildren(const QModelIndex& parent) const
{
    if (parent.isValid() && parent.column() != 0)
        return false;
    const TFolderNode* p = parent.isValid() ? NodeOf(parent) : FHolder.get();
    return p && (!p->Children.empty() || p->HasButton);
}

QVariant TFolderModel::data(const QModelIndex& index, int role) const
{
    const TFolderNode* node = NodeOf(index);
    if (!node)
        return {};
    switch (role) {
    case Qt::DisplayRole:
        return node->Label;
    case Qt::DecorationRole:
        return platform::SystemImageList::Instance().Icon(node->ImageIndex);
    case Qt::ToolTipRole:
        return node->Path.empty() ? node->Label : QFile::decodeName(QByteArray::fromStdString(node->Path));
    default:
        return {};
    }
}

Qt::ItemFlags TFolderModel::flags(const QModelIndex& index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    // Labels cannot be edited.
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}

bool TFolderModel::canFetchMore(const QModelIndex& parent) const
{
    const TFolderNode* p = NodeOf(parent);
    return FInChange == 0 && p && p->Children.empty() && p->HasButton;
}

void TFolderModel::fetchMore(const QModelIndex& parent)
{
    TFolderNode* p = NodeOf(parent);
    if (FInChange == 0 && p && p->Children.empty() && p->HasButton && OnFetch)
        OnFetch(p);
}

} // namespace foldertree
