// The rows of a file list (remote or local) as a table model: a caption, sub-items for
// the other columns and an icon index into the file icon list.
#pragma once

#include <QAbstractTableModel>
#include <QHash>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <vector>

class TFtpFileImageList;

// One row: the caption shows in column 0, SubItems[k - 1] in column k.
struct TFileListItem {
    QString Caption;
    QStringList SubItems;
    int ImageIndex = -1;   // index into the file icon list; -1 = no icon
};

// Rows kept in a few big blocks instead of three or four strings each: a listing of a
// million entries then takes tens of megabytes, not hundreds, and letting go of it is
// quick. Captions share one buffer; the first sub-item is kept as a number when it is one
// (a size); the other sub-items are texts shared between rows (type, attributes, time).
// Holds rows with at most four sub-items. Threads may read the rows at once; a change
// needs them to itself.
class TCompactFileRows {
public:
    static constexpr int kMaxSubItems = 4;

private:
    struct TRow {
        std::uint64_t Size = 0;            // the number, or the index of its text
        std::uint32_t CaptionOffset = 0;   // in FCaptions
        std::uint32_t CaptionLength = 0;
        std::uint32_t Texts[kMaxSubItems - 1] = {};
        std::int16_t Image = -1;
        std::uint8_t SubCount = 0;
        bool SizeIsText = false;
    };

public:
    // The rows in another order, made apart from the rows (on any thread, while they do not
    // change) and put in place by Reorder at the cost of a swap.
    class TOrder {
        friend class TCompactFileRows;
        std::vector<TRow> FRows;
    };
    TOrder Ordered(const std::vector<int>& order) const;
    void Reorder(TOrder&& order) { FRows.swap(order.FRows); }

    int Count() const { return static_cast<int>(FRows.size()); }
    // Appends a row; false (and nothing added) when it has more than kMaxSubItems sub-items.
    bool Append(const TFileListItem& item);
    // Appends a row from its parts; sizeText must be Latin-1, the texts are shared.
    void Append(QStringView caption, std::string_view sizeText, const QString* texts, int textCount,
                int imageIndex);
    // The row as a list item.
    TFileListItem Item(int row) const;
    QStringView Caption(int row) const;
    int SubItemCount(int row) const { return FRows[static_cast<std::size_t>(row)].SubCount; }
    // Sub-item index (0 = column 1); an empty text beyond the row's sub-items.
    QString SubItem(int row, int index) const;
    // A shared sub-item (index 1 or more) without a copy; empty beyond the row's sub-items.
    const QString& SharedSubItem(int row, int index) const;
    // The first sub-item as a number when it is a plain decimal one, else -1.
    std::int64_t SizeNumber(int row) const;
    // Sets a shared sub-item (index 1 to the row's count - 1).
    void SetSharedSubItem(int row, int index, const QString& text);
    int ImageIndex(int row) const { return FRows[static_cast<std::size_t>(row)].Image; }
    void SetImageIndex(int row, int image) { FRows[static_cast<std::size_t>(row)].Image = static_cast<std::int16_t>(image); }
    // Row i takes what row order[i] held (order is a permutation).
    void Permute(const std::vector<int>& order);
    void Reserve(std::size_t rows, std::size_t captionUnits);
    // Gives back the spare room of the blocks.
    void Squeeze();

private:
    std::uint32_t Share(const QString& text);

    std::vector<TRow> FRows;
    std::vector<char16_t> FCaptions;
    std::vector<QString> FTexts{QString()};   // text 0 is the empty one
    QHash<QString, std::uint32_t> FTextIndex;
    QHash<const void*, std::uint32_t> FTextByData;   // the same shared string again: no hashing
    // The last texts shared, by address: a listing shares a few texts a million times.
    struct TRecentText {
        const void* Data = nullptr;
        std::uint32_t Index = 0;
    };
    TRecentText FRecent[16];
};

// One column of the report style: header text, first width in pixels, text alignment.
struct TFileListColumn {
    QString Caption;
    int Width = 100;
    Qt::Alignment Alignment = Qt::AlignLeft | Qt::AlignVCenter;
};

// A flat list of rows, cheap to fill with many thousands of entries. Rows added between
// BeginUpdate and EndUpdate are announced once, as a reset, at the outermost EndUpdate.
class TFileListModel : public QAbstractTableModel {
public:
    // Ordering for Sort: negative, zero or positive as in "a before, equal to, after b".
    using TCompare = std::function<int(const TFileListItem& a, const TFileListItem& b)>;

    explicit TFileListModel(const TFtpFileImageList* images, QObject* parent = nullptr);

    // Sets the columns (resets the model).
    void SetColumns(std::vector<TFileListColumn> columns);
    const std::vector<TFileListColumn>& Columns() const { return FColumns; }

    // Number of rows.
    int Count() const { return FCompact ? FCompact->Count() : static_cast<int>(FItems.size()); }
    // The row at index; index must be in range. Compact rows are made into items on demand
    // and kept a while: the reference stays good until the rows change or at least
    // kMadeRows further calls have been made.
    const TFileListItem& Item(int row) const
    {
        return FCompact ? MadeItem(row) : FItems[static_cast<size_t>(row)];
    }
    static constexpr std::size_t kMadeRows = 4096;
    // The caption of the row at index, without the rest of the row.
    QString Caption(int row) const
    {
        return FCompact ? FCompact->Caption(row).toString() : FItems[static_cast<size_t>(row)].Caption;
    }
    // Counts the changes of the rows (any change, order included): a result worked out
    // elsewhere from rows seen at one count fits them only while the count is the same.
    std::uint64_t Changes() const { return FChanges; }
    // The compact rows when the model holds them (see ReplaceCompact), else null.
    const TCompactFileRows* Compact() const { return FCompact.get(); }
    // The same, shared, for reading on another thread while the model does not change them:
    // the model copies them before its next change while another holder is left.
    std::shared_ptr<const TCompactFileRows> SharedCompact() const { return FCompact; }
    // Replaces the row at index and repaints it.
    void SetItem(int row, TFileListItem item);
    // Appends one row and returns its index.
    int Add(TFileListItem item);
    // Removes the row at index.
    void Delete(int row);
    // Removes every row.
    void Clear();
    // Puts items in place of every row (one reset) and returns the rows it held, so that
    // the caller can let go of a big list where it costs the window nothing.
    std::vector<TFileListItem> Replace(std::vector<TFileListItem> items);
    // The same with compact rows; returns whatever rows it held (the other one empty).
    struct TReleased {
        std::vector<TFileListItem> Items;
        std::shared_ptr<TCompactFileRows> Compact;
        std::size_t Count() const { return Compact ? static_cast<std::size_t>(Compact->Count()) : Items.size(); }
    };
    TReleased ReplaceCompact(std::shared_ptr<TCompactFileRows> rows);

    // Holds back change notices until the matching EndUpdate (calls nest).
    void BeginUpdate();
    void EndUpdate();
    bool Updating() const { return FUpdateDepth > 0; }

    // Reorders the rows by compare (stable); selection and current row follow their rows.
    void Sort(const TCompare& compare);
    // Reorders the rows so that row i holds what row order[i] held; order must be a
    // permutation of 0 .. Count() - 1. Selection and current row follow their rows.
    void Permute(const std::vector<int>& order);
    // The same for compact rows whose new order was made apart (TCompactFileRows::Ordered
    // of the rows held now); newRowOf is the inverse of order.
    void Permute(const std::vector<int>& newRowOf, TCompactFileRows::TOrder&& rows);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    // Compact rows become list items before a change they do not support.
    void Expand();
    // Before the compact rows change: a copy when a reader on another thread still holds them.
    void Unshare();
    const TFileListItem& MadeItem(int row) const;
    // The rows changed: items made from compact rows are stale.
    void Changed();
    // After a reorder (newRowOf[old] = new): selection and current row follow their rows.
    void MovePersistentRows(const std::vector<int>& newRowOf);

    const TFtpFileImageList* FImages;
    std::vector<TFileListColumn> FColumns;
    std::vector<TFileListItem> FItems;
    std::shared_ptr<TCompactFileRows> FCompact;   // set: the rows are here, FItems is empty
    // Items made from compact rows, newer and older half (references into them are handed out).
    mutable std::unordered_map<int, TFileListItem> FMade;
    mutable std::unordered_map<int, TFileListItem> FMadeBefore;
    std::uint64_t FChanges = 0;
    int FUpdateDepth = 0;
};
