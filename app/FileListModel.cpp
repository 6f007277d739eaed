// File list rows: storage, change notices, stable sort.
#include "app/FileListModel.h"

#include "app/ByteText.h"
#include "app/FtpFileImageList.h"

#include <algorithm>
#include <limits>
#include <numeric>
#include <stdexcept>

namespace {

// A size text that reads back the same from its number: digits only, no leading zero.
bool PlainNumber(std::string_view text, std::uint64_t& value)
{
    if (text.empty() || text.size() > 18 || (text[0] == '0' && text.size() > 1))
        return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return true;
}

} // namespace

std::uint32_t TCompactFileRows::Share(const QString& text)
{
    if (text.isEmpty())
        return 0;
    const void* data = text.constData();
    TRecentText& recent = FRecent[(reinterpret_cast<std::uintptr_t>(data) >> 4) % std::size(FRecent)];
    if (recent.Data == data && FTexts[recent.Index].size() == text.size())
        return recent.Index;
    auto byData = FTextByData.constFind(data);
    if (byData != FTextByData.constEnd() && FTexts[*byData].size() == text.size()) {
        recent = {data, *byData};
        return *byData;
    }
    auto known = FTextIndex.constFind(text);
    std::uint32_t index;
    if (known != FTextIndex.constEnd()) {
        index = *known;
    } else {
        index = static_cast<std::uint32_t>(FTexts.size());
        FTexts.push_back(text);
        FTextIndex.insert(text, index);
    }
    // Only the kept copy's own buffer is remembered by address: it lives as long as the rows.
    if (FTexts[index].constData() == text.constData())
        FTextByData.insert(text.constData(), index);
    return index;
}

void TCompactFileRows::Append(QStringView caption, std::string_view sizeText, const QString* texts, int textCount,
                              int imageIndex)
{
    TRow row;
    const auto length = static_cast<std::size_t>(caption.size());
    if (FCaptions.size() + length > std::numeric_limits<std::uint32_t>::max())
        throw std::length_error("too many names in one list");
    row.CaptionOffset = static_cast<std::uint32_t>(FCaptions.size());
    row.CaptionLength = static_cast<std::uint32_t>(length);
    const auto* units = reinterpret_cast<const char16_t*>(caption.utf16());
    FCaptions.insert(FCaptions.end(), units, units + length);
    row.SubCount = static_cast<std::uint8_t>(std::clamp(textCount + 1, 1, kMaxSubItems));
    if (!PlainNumber(sizeText, row.Size)) {
        row.SizeIsText = true;
        row.Size = Share(QString::fromLatin1(sizeText.data(), static_cast<qsizetype>(sizeText.size())));
    }
    for (int i = 0; i + 1 < row.SubCount; ++i)
        row.Texts[i] = Share(texts[i]);
    row.Image = static_cast<std::int16_t>(imageIndex);
    FRows.push_back(row);
}

bool TCompactFileRows::Append(const TFileListItem& item)
{
    if (item.SubItems.size() > kMaxSubItems)
        return false;
    TRow row;
    const auto length = static_cast<std::size_t>(item.Caption.size());
    if (FCaptions.size() + length > std::numeric_limits<std::uint32_t>::max())
        throw std::length_error("too many names in one list");
    row.CaptionOffset = static_cast<std::uint32_t>(FCaptions.size());
    row.CaptionLength = static_cast<std::uint32_t>(length);
    const auto* units = reinterpret_cast<const char16_t*>(item.Caption.utf16());
    FCaptions.insert(FCaptions.end(), units, units + length);
    row.SubCount = static_cast<std::uint8_t>(item.SubItems.size());
    if (row.SubCount > 0) {
        const QString& size = item.SubItems[0];
        // Only Latin-1 digits can be a plain number; anything else keeps its text.
        QByteArray latin = size.size() <= 18 ? size.toLatin1() : QByteArray();
        if (latin.isEmpty() || QString::fromLatin1(latin) != size
            || !PlainNumber(std::string_view(latin.constData(), static_cast<std::size_t>(latin.size())), row.Size)) {
            row.SizeIsText = true;
            row.Size = Share(size);
        }
    }
    for (int i = 1; i < row.SubCount; ++i)
        row.Texts[i - 1] = Share(item.SubItems[i]);
    row.Image = static_cast<std::int16_t>(item.ImageIndex);
    FRows.push_back(row);
    return true;
}

QStringView TCompactFileRows::Caption(int row) const
{
    const TRow& r = FRows[static_cast<std::size_t>(row)];
    return QStringView(FCaptions.data() + r.CaptionOffset, static_cast<qsizetype>(r.CaptionLength));
}

QString TCompactFileRows::SubItem(int row, int index) const
{
    const TRow& r = FRows[static_cast<std::size_t>(row)];
    if (index < 0 || index >= r.SubCount)
        return {};
    if (index > 0)
        return FTexts[r.Texts[index - 1]];
    return r.SizeIsText ? FTexts[static_cast<std::size_t>(r.Size)] : QString::number(r.Size);
}

const QString& TCompactFileRows::SharedSubItem(int row, int index) const
{
    const TRow& r = FRows[static_cast<std::size_t>(row)];
    if (index < 1 || index >= r.SubCount)
        return FTexts[0];
    return FTexts[r.Texts[index - 1]];
}

std::int64_t TCompactFileRows::SizeNumber(int row) const
{
    const TRow& r = FRows[static_cast<std::size_t>(row)];
    return r.SubCount == 0 || r.SizeIsText ? -1 : static_cast<std::int64_t>(r.Size);
}

void TCompactFileRows::SetSharedSubItem(int row, int index, const QString& text)
{
    TRow& r = FRows[static_cast<std::size_t>(row)];
    if (index >= 1 && index < r.SubCount)
        r.Texts[index - 1] = Share(text);
}

TFileListItem TCompactFileRows::Item(int row) const
{
    const TRow& r = FRows[static_cast<std::size_t>(row)];
    TFileListItem item;
    item.Caption = Caption(row).toString();
    item.SubItems.reserve(r.SubCount);
    for (int i = 0; i < r.SubCount; ++i)
        item.SubItems.append(SubItem(row, i));
    item.ImageIndex = r.Image;
    return item;
}

TCompactFileRows::TOrder TCompactFileRows::Ordered(const std::vector<int>& order) const
{
    TOrder result;
    result.FRows.reserve(order.size());
    for (int old : order)
        result.FRows.push_back(FRows[static_cast<std::size_t>(old)]);
    return result;
}

void TCompactFileRows::Permute(const std::vector<int>& order)
{
    std::vector<TRow> rows;
    rows.reserve(order.size());
    for (int old : order)
        rows.push_back(FRows[static_cast<std::size_t>(old)]);
    FRows.swap(rows);
}

void TCompactFileRows::Reserve(std::size_t rows, std::size_t captionUnits)
{
    FRows.reserve(rows);
    FCaptions.reserve(captionUnits);
}

void TCompactFileRows::Squeeze()
{
    FRows.shrink_to_fit();
    FCaptions.shrink_to_fit();
}

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

const TFileListItem& TFileListModel::MadeItem(int row) const
{
    auto found = FMade.find(row);
    if (found != FMade.end())
        return found->second;
    found = FMadeBefore.find(row);
    if (found != FMadeBefore.end())
        return found->second;
    if (FMade.size() >= kMadeRows) {
        // Rows made in the last kMadeRows calls stay where they are.
        FMadeBefore.clear();
        FMadeBefore.swap(FMade);
    }
    return FMade.emplace(row, FCompact->Item(row)).first->second;
}

void TFileListModel::Changed()
{
    ++FChanges;
    FMade.clear();
    FMadeBefore.clear();
}

void TFileListModel::Expand()
{
    if (!FCompact)
        return;
    Changed();
    std::vector<TFileListItem> items;
    items.reserve(static_cast<std::size_t>(FCompact->Count()));
    for (int row = 0; row < FCompact->Count(); ++row)
        items.push_back(FCompact->Item(row));
    FCompact.reset();
    FItems = std::move(items);
}

void TFileListModel::Unshare()
{
    if (FCompact && FCompact.use_count() > 1)
        FCompact = std::make_shared<TCompactFileRows>(*FCompact);
}

void TFileListModel::SetItem(int row, TFileListItem item)
{
    Expand();
    Changed();
    FItems[static_cast<size_t>(row)] = std::move(item);
    if (!Updating())
        emit dataChanged(index(row, 0), index(row, columnCount() - 1));
}

int TFileListModel::Add(TFileListItem item)
{
    Expand();
    Changed();
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
    Expand();
    Changed();
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
        FCompact.reset();
        Changed();
        return;
    }
    beginResetModel();
    FItems.clear();
    FCompact.reset();
    Changed();
    endResetModel();
}

std::vector<TFileListItem> TFileListModel::Replace(std::vector<TFileListItem> items)
{
    if (!Updating())
        beginResetModel();
    FItems.swap(items);
    FCompact.reset();   // nobody asks compact rows back as items
    Changed();
    if (!Updating())
        endResetModel();
    return items;
}

TFileListModel::TReleased TFileListModel::ReplaceCompact(std::shared_ptr<TCompactFileRows> rows)
{
    TReleased old;
    if (!Updating())
        beginResetModel();
    old.Items.swap(FItems);
    old.Compact = std::move(FCompact);
    FCompact = std::move(rows);
    Changed();
    if (!Updating())
        endResetModel();
    return old;
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
    Expand();
    std::vector<int> order(FItems.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
        return compare(FItems[static_cast<size_t>(a)], FItems[static_cast<size_t>(b)]) < 0;
    });
    Permute(order);
}

void TFileListModel::Permute(const std::vector<int>& order)
{
    Unshare();
    Changed();
    std::vector<TFileListItem> sorted;
    sorted.reserve(FItems.size());
    if (Updating()) {
        if (FCompact) {
            FCompact->Permute(order);
            Changed();
            return;
        }
        for (int old : order)
            sorted.push_back(std::move(FItems[static_cast<size_t>(old)]));
        FItems = std::move(sorted);
        return;
    }
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    std::vector<int> newRowOf(order.size());
    for (size_t i = 0; i < order.size(); ++i) {
        newRowOf[static_cast<size_t>(order[i])] = static_cast<int>(i);
        if (!FCompact)
            sorted.push_back(std::move(FItems[static_cast<size_t>(order[i])]));
    }
    if (FCompact) {
        FCompact->Permute(order);
        Changed();
    } else
        FItems = std::move(sorted);
    MovePersistentRows(newRowOf);
}

void TFileListModel::Permute(const std::vector<int>& newRowOf, TCompactFileRows::TOrder&& rows)
{
    Unshare();
    Changed();
    if (Updating()) {
        FCompact->Reorder(std::move(rows));
        return;
    }
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    FCompact->Reorder(std::move(rows));
    MovePersistentRows(newRowOf);
}

void TFileListModel::MovePersistentRows(const std::vector<int>& newRowOf)
{
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
    int column = index.column();
    if (FCompact) {
        const int row = index.row();
        switch (role) {
        case Qt::DisplayRole:
        case Qt::ToolTipRole:
            if (column == 0)
                return DisplayText(FCompact->Caption(row).toString());
            if (column - 1 < FCompact->SubItemCount(row))
                return DisplayText(FCompact->SubItem(row, column - 1));
            return {};
        case Qt::DecorationRole:
            if (column == 0 && FImages && FCompact->ImageIndex(row) >= 0)
                return FImages->Icon(FCompact->ImageIndex(row));
            return {};
        case Qt::TextAlignmentRole:
            if (column < static_cast<int>(FColumns.size()))
                return static_cast<int>(FColumns[static_cast<size_t>(column)].Alignment);
            return {};
        default:
            return {};
        }
    }
    const TFileListItem& item = FItems[static_cast<size_t>(index.row())];
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
