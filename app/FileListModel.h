// The rows of a file list (remote or local) as a table model: a caption, sub-items for
// the other columns and an icon index into the file icon list.
#pragma once

#include <QAbstractTableModel>
#include <QStringList>

#include <functional>
#include <vector>

class TFtpFileImageList;

// One row: the caption shows in column 0, SubItems[k - 1] in column k.
struct TFileListItem {
    QString Caption;
    QStringList SubItems;
    int ImageIndex = -1;   // index into the file icon list; -1 = no icon
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
    int Count() const { return static_cast<int>(FItems.size()); }
    // The row at index; index must be in range.
    const TFileListItem& Item(int row) const { return FItems[static_cast<size_t>(row)]; }
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

    // Holds back change notices until the matching EndUpdate (calls nest).
    void BeginUpdate();
    void EndUpdate();
    bool Updating() const { return FUpdateDepth > 0; }

    // Reorders the rows by compare (stable); selection and current row follow their rows.
    void Sort(const TCompare& compare);
    // Reorders the rows so that row i holds what row order[i] held; order must be a
    // permutation of 0 .. Count() - 1. Selection and current row follow their rows.
    void Permute(const std::vector<int>& order);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    const TFtpFileImageList* FImages;
    std::vector<TFileListColumn> FColumns;
    std::vector<TFileListItem> FItems;
    int FUpdateDepth = 0;
};
