// File list rows: storage, change notices, stable sort.
#include "app/FileListModel.h"

#include "app/ByteText.h"
#include "app/FtpFileImageList.h"

#include <algorithm>
#include <numeric>

TFileListModel::TFileListModel(const TFtpFileImageList* images, QObject* parent)
    : QAbstractTableModel(parent), FImages(images)
{
}

void TFileListModel::SetColumns(std::vector<TFileListColumn> columns)
{
    beginResetModel();
    FColumns = std::move(columns);
    endResetModel();
}

void TFileListModel::SetItem(int row, TFileListItem item)
{
    FItems[static_cast<size_t>(row)] = std::move(item);
    if (!Updating())
        emit dataChanged(index(row, 0), index(row, columnCount() - 1));
}

int TFileListModel::Add(TFileListItem item)
{
    int row = Count();
    if (Updating()) {
        FItems.push_back(std::move(item));
        return row;
    }
    beginInsertRows({}, row, row);
    FItems.push_back(std::move(item));
    endInsertRows();
    return row;
}

void TFileListModel::Delete(int row)
{
    if (Updating()) {
        FItems.erase(FItems.begin() + row);
        return;
    }
    beginRemoveRows({}, row, row);
    FItems.erase(FItems.begin() + row);
    endRemoveRows();
}

void TFileListModel::Clear()
{
    if (Updating()) {
        FItems.clear();
        return;
    }
    beginResetModel();
    FItems.clear();
    endResetModel();
}

std::vector<TFileListItem> TFileListModel::Replace(std::vector<TFileListItem> items)
{
    if (!Updating())
        beginResetModel();
    FItems.swap(items);
    if (!Updating())
        endResetModel();
    return items;
}

void TFileListModel::BeginUpdate()
{
    // Views must not read rows while they change underneath, so the reset brackets the
    // whole update.
    if (FUpdateDepth++ == 0)
        beginResetModel();
}

void TFileListModel::EndUpdate()
{
    if (FUpdateDepth > 0 && --FUpdateDepth == 0)
        endResetModel();
}

void TFileListModel::Sort(const TCompare& compare)
{
    std::vector<int> order(FItems.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
        return compare(FItems[static_cast<size_t>(a)], FItems[static_cast<size_t>(b)]) < 0;
    });
    Permute(order);
}

void TFileListModel::Permute(const std::vector<int>& order)
{
    std::vector<TFileListItem> sorted;
    sorted.reserve(FItems.size());
    if (Updating()) {
        for (int old : order)
            sorted.push_back(std::move(FItems[static_cast<size_t>(old)]));
        FItems = std::move(sorted);
        return;
    }
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    std::vector<int> newRowOf(order.size());
    for (size_t i = 0; i < order.size(); ++i) {
        newRowOf[static_cast<size_t>(order[i])] = static_cast<int>(i);
        sorted.push_back(std::move(FItems[static_cast<size_t>(order[i])]));
    }
    FItems = std::move(sorted);
    // Only selected and current rows hold persistent indexes, so this stays cheap.
    const QModelIndexList persistent = persistentIndexList();
    QModelIndexList moved;
    moved.reserve(persistent.size());
    for (const QModelIndex& old : persistent)
        moved.append(index(newRowOf[static_cast<size_t>(old.row())], old.column()));
    changePersistentIndexList(persistent, moved);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

int TFileListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : Count();
}

int TFileListModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(FColumns.size());
}

QVariant TFileListModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= Count())
        return {};
    const TFileListItem& item = Item(index.row());
    int column = index.column();
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
        // A name that is no valid UTF-8 keeps its bytes in the row and shows replacement
        // marks where they do not decode.
        if (column == 0)
            return DisplayText(item.Caption);
        if (column - 1 < item.SubItems.size())
            return DisplayText(item.SubItems[column - 1]);
        return {};
    case Qt::DecorationRole:
        if (column == 0 && FImages && item.ImageIndex >= 0)
            return FImages->Icon(item.ImageIndex);
        return {};
    case Qt::TextAlignmentRole:
        if (column < static_cast<int>(FColumns.size()))
            return static_cast<int>(FColumns[static_cast<size_t>(column)].Alignment);
        return {};
    default:
        return {};
    }
}

QVariant TFileListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || section < 0
        || section >= static_cast<int>(FColumns.size()))
        return {};
    if (role == Qt::DisplayRole)
        return FColumns[static_cast<size_t>(section)].Caption;
    if (role == Qt::TextAlignmentRole)
        return static_cast<int>(FColumns[static_cast<size_t>(section)].Alignment);
    return {};
}

Qt::ItemFlags TFileListModel::flags(const QModelIndex& index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}
