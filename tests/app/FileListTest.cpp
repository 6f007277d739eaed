// File list model and view: rows and columns, batched filling, stable sorting that keeps
// the selection, large lists, and the icon list's index arrangement.
#include "AppTestEnvironment.h"

#include "app/FileListModel.h"
#include "app/FileListView.h"
#include "app/FtpFileImageList.h"
#include "app/ListingParser.h"
#include "platform/SystemImageList.h"

#include <QListView>
#include <QSignalSpy>
#include <QTest>
#include <QTreeView>

namespace {

std::vector<TFileListColumn> RemoteColumns()
{
    return {{"Name", 200}, {"Size", 40, Qt::AlignRight | Qt::AlignVCenter}, {"Type", 70},
            {"Attributes", 70}};
}

TFileListItem Named(const QString& caption)
{
    return {caption, {}, -1};
}

int ByCaption(const TFileListItem& a, const TFileListItem& b)
{
    return QString::compare(a.Caption, b.Caption, Qt::CaseInsensitive);
}

QStringList Captions(const TFileListModel& model)
{
    QStringList result;
    for (int i = 0; i < model.Count(); ++i)
        result << model.Item(i).Caption;
    return result;
}

// The model's row count as the views see it must always match its own.
void ExpectConsistent(const TFileListModel& model)
{
    EXPECT_EQ(model.rowCount(), model.Count());
    EXPECT_EQ(model.columnCount(), static_cast<int>(model.Columns().size()));
}

class FileListTest : public testing::Test {
protected:
    TFtpFileImageList Images;
    TFileListModel Model{&Images};
    void SetUp() override { Model.SetColumns(RemoteColumns()); }
};

} // namespace

// ---- rows and columns ----

TEST_F(FileListTest, CellsShowCaptionSubItemsIconAndAlignment)
{
    Model.Add({"readme.txt", {"1234", ".txt file", "-rw-r--r--"}, TFtpFileImageList::iiFile});
    Model.Add({"short", {"5"}, -1});
    struct {
        int row, column;
        QVariant display;
    } const cells[] = {
        {0, 0, "readme.txt"}, {0, 1, "1234"}, {0, 2, ".txt file"}, {0, 3, "-rw-r--r--"},
        {1, 0, "short"},      {1, 1, "5"},    {1, 2, QVariant()},  {1, 3, QVariant()},
    };
    for (const auto& cell : cells)
        EXPECT_EQ(Model.data(Model.index(cell.row, cell.column)), cell.display)
            << cell.row << "," << cell.column;
    EXPECT_FALSE(Model.data(Model.index(0, 0), Qt::DecorationRole).value<QIcon>().isNull());
    EXPECT_FALSE(Model.data(Model.index(1, 0), Qt::DecorationRole).isValid());
    EXPECT_FALSE(Model.data(Model.index(0, 1), Qt::DecorationRole).isValid());
    EXPECT_TRUE(Model.data(Model.index(0, 1), Qt::TextAlignmentRole).toInt() & Qt::AlignRight);
    EXPECT_EQ(Model.headerData(3, Qt::Horizontal).toString(), "Attributes");
    EXPECT_FALSE(Model.flags(Model.index(0, 0)) & Qt::ItemIsEditable);
    ExpectConsistent(Model);
}

TEST_F(FileListTest, AddDeleteClearAnnounceTheirRows)
{
    QSignalSpy inserted(&Model, &QAbstractItemModel::rowsInserted);
    QSignalSpy removed(&Model, &QAbstractItemModel::rowsRemoved);
    QSignalSpy reset(&Model, &QAbstractItemModel::modelReset);
    EXPECT_EQ(Model.Add(Named("a")), 0);
    EXPECT_EQ(Model.Add(Named("b")), 1);
    EXPECT_EQ(inserted.count(), 2);
    Model.Delete(0);
    EXPECT_EQ(removed.count(), 1);
    EXPECT_EQ(Captions(Model), QStringList{"b"});
    Model.SetItem(0, Named("c"));
    EXPECT_EQ(Model.Item(0).Caption, "c");
    Model.Clear();
    EXPECT_EQ(reset.count(), 1);
    EXPECT_EQ(Model.Count(), 0);
    ExpectConsistent(Model);
}

TEST_F(FileListTest, RowsAddedDuringAnUpdateAreAnnouncedOnceAtTheEnd)
{
    Model.Add(Named("old"));
    QSignalSpy inserted(&Model, &QAbstractItemModel::rowsInserted);
    QSignalSpy reset(&Model, &QAbstractItemModel::modelReset);
    Model.BeginUpdate();
    Model.Clear();
    Model.BeginUpdate();   // nested
    for (int i = 0; i < 10; ++i)
        Model.Add(Named(QString::number(i)));
    Model.EndUpdate();
    EXPECT_EQ(reset.count(), 0);
    EXPECT_TRUE(Model.Updating());
    Model.Sort([](const TFileListItem& a, const TFileListItem& b) {
        return b.Caption.toInt() - a.Caption.toInt();
    });
    Model.EndUpdate();
    EXPECT_EQ(reset.count(), 1);
    EXPECT_EQ(inserted.count(), 0);
    EXPECT_FALSE(Model.Updating());
    EXPECT_EQ(Model.Item(0).Caption, "9");
    EXPECT_EQ(Model.Count(), 10);
    ExpectConsistent(Model);
}

// ---- sorting ----

TEST_F(FileListTest, SortIsStableAndSelectionAndCurrentRowFollowTheirRows)
{
    TFileListView view(&Model);
    for (const char* name : {"b", "A", "c", "a", "B"})
        Model.Add(Named(name));
    view.SetSelected(2, true);   // "c"
    view.SetSelected(4, true);   // "B"
    view.SetItemIndex(1);        // "A"
    Model.Sort(ByCaption);
    EXPECT_EQ(Captions(Model), (QStringList{"A", "a", "b", "B", "c"}));
    std::vector<int> selected = view.SelectedRows();
    QStringList selectedNames;
    for (int row : selected)
        selectedNames << Model.Item(row).Caption;
    EXPECT_EQ(selectedNames, (QStringList{"B", "c"}));
    EXPECT_EQ(Model.Item(view.ItemIndex()).Caption, "A");
}

TEST_F(FileListTest, SortOfAnEmptyOrSingleListIsHarmless)
{
    Model.Sort(ByCaption);
    Model.Add(Named("only"));
    Model.Sort(ByCaption);
    EXPECT_EQ(Captions(Model), QStringList{"only"});
}

// ---- the view ----

TEST_F(FileListTest, SelectionHelpers)
{
    TFileListView view(&Model);
    for (int i = 0; i < 5; ++i)
        Model.Add(Named(QString::number(i)));
    EXPECT_EQ(view.SelCount(), 0);
    EXPECT_EQ(view.ItemIndex(), -1);
    view.SetSelected(3, true);
    view.SetSelected(1, true);
    EXPECT_EQ(view.SelCount(), 2);
    EXPECT_EQ(view.SelectedRows(), (std::vector<int>{1, 3}));
    EXPECT_TRUE(view.IsSelected(3));
    EXPECT_FALSE(view.IsSelected(2));
    view.SetSelected(3, false);
    EXPECT_EQ(view.SelectedRows(), std::vector<int>{1});
    view.SetSelected(99, true);   // out of range: ignored
    EXPECT_EQ(view.SelCount(), 1);
    view.ClearSelection();
    EXPECT_EQ(view.SelCount(), 0);
}

TEST_F(FileListTest, SelectingInListStyleSelectsWholeRows)
{
    TFileListView view(&Model);
    Model.Add({"a", {"1", " file", "-rw-r--r--"}, -1});
    Model.Add({"b", {"2", " file", "-rw-r--r--"}, -1});
    view.SetViewStyle(vsList);
    view.resize(300, 200);
    view.show();
    QListView* list = view.ListView();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    QRect rect = list->visualRect(Model.index(1, 0));
    ASSERT_TRUE(rect.isValid());
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, rect.center());
    EXPECT_EQ(view.SelectedRows(), std::vector<int>{1});
    EXPECT_EQ(view.SelCount(), 1);
}

TEST_F(FileListTest, ChangeEventFollowsTheSelection)
{
    TFileListView view(&Model);
    Model.Add(Named("a"));
    int changes = 0;
    view.OnChange = [&] { ++changes; };
    view.SetSelected(0, true);
    EXPECT_EQ(changes, 1);
    view.OnChange = nullptr;   // an empty event is skipped
    view.SetSelected(0, false);
    EXPECT_EQ(changes, 1);
}

TEST_F(FileListTest, HundredThousandRowsFillInOneUpdateAndSelectAll)
{
    TFileListView view(&Model);
    view.resize(600, 400);
    view.show();
    Model.BeginUpdate();
    Model.Clear();
    for (int i = 0; i < 100000; ++i)
        Model.Add({QStringLiteral("file%1.dat").arg(i), {QString::number(i), ".dat file",
                                                         "-rw-r--r--"},
                   TFtpFileImageList::iiFile});
    Model.EndUpdate();
    EXPECT_EQ(view.ReportView()->model()->rowCount(), 100000);
    EXPECT_TRUE(view.ReportView()->uniformRowHeights());
    EXPECT_TRUE(view.ListView()->uniformItemSizes());
    view.ReportView()->selectAll();
    EXPECT_EQ(view.SelCount(), 100000);
    view.SetViewStyle(vsList);
    QApplication::processEvents();
    EXPECT_EQ(view.SelCount(), 100000);
    ExpectConsistent(Model);
}

// ---- icon list ----

TEST(FtpFileImageList, OwnIconFirstThenSystemIconsOnePlaceFurther)
{
    auto& system = platform::SystemImageList::Instance();
    TFtpFileImageList images;
    EXPECT_EQ(images.Count(), system.Count() + 1);
    EXPECT_FALSE(images.Icon(TFtpFileImageList::iiParentDir).isNull());
    for (int i = 0; i < system.Count(); ++i)
        EXPECT_EQ(images.Icon(i + 1).cacheKey(), system.Icon(i).cacheKey()) << i;
    EXPECT_EQ(images.Icon(TFtpFileImageList::iiFile).cacheKey(),
              system.Icon(platform::SystemImageList::iiFile).cacheKey());
    EXPECT_EQ(images.Icon(TFtpFileImageList::iiFolder).cacheKey(),
              system.Icon(platform::SystemImageList::iiFolder).cacheKey());
    EXPECT_TRUE(images.Icon(images.Count()).isNull());
}

TEST(FtpFileImageList, FollowsTheSystemListAsItGrows)
{
    auto& system = platform::SystemImageList::Instance();
    TFtpFileImageList images;
    int before = images.Count();
    // A type the list has not met yet appends its icon to the system list.
    int index = system.FileInfoByName("slides.odp", false).IconIndex;
    index = std::max(index, system.IndexOfThemeIcon("audio-x-generic"));
    EXPECT_EQ(images.Count(), system.Count() + 1);
    EXPECT_GE(images.Count(), before);
    EXPECT_EQ(images.Icon(index + 1).cacheKey(), system.Icon(index).cacheKey());
}

// ---- compact rows (big remote listings) ----

namespace {

// Rows of every shape the compact store must give back unchanged: sizes that are plain
// numbers and sizes that only look like one, names outside Latin-1 and with bytes that are
// no UTF-8, the ".." row with three sub-items, rows with none.
std::vector<TFileListItem> ShapedRows()
{
    const QString badByte = QString(QChar(0xDC80 + 0xE9)) + QStringLiteral("t") + QChar(0xDC80 + 0xE9);
    return {
        {"..", {"0", "Parent directory", "dr-xr-xr-x"}, 0},
        {"a.txt", {"12", ".txt file", "-rw-r--r--", "2024-01-10 12:00"}, 1},
        {"zero", {"0", " file", "-rw-r--r--", ""}, 1},
        {"leading zero", {"007", " file", "-rw-r--r--", ""}, 1},
        {"no size", {"", "Directory", "drwxr-xr-x", "2024-01-10 12:00"}, 4},
        {"dos dir", {"<DIR>", "Directory", "d", ""}, 4},
        {"eighteen", {"123456789012345678", " file", "-rw-r--r--", ""}, 1},
        {"nineteen", {"1234567890123456789", " file", "-rw-r--r--", ""}, 1},
        {"huge", {"99999999999999999999999", " file", "-rw-r--r--", ""}, 1},
        {"signed", {"-5", " file", "-rw-r--r--", ""}, 1},
        {QStringLiteral("名前 ü.txt"), {"5", ".txt file", "-rw-r--r--", ""}, 1},
        {badByte, {"1", " file", "-rw-r--r--", ""}, 1},
        {"  blanks  ", {"3", " file", "-rw-r--r--", ""}, 1},
        {"", {}, -1},
        {"link", {"7", "Link -> target", "lrwxrwxrwx", "2000-01-10 00:00"}, 1},
    };
}

std::shared_ptr<TCompactFileRows> Compacted(const std::vector<TFileListItem>& items)
{
    auto rows = std::make_shared<TCompactFileRows>();
    for (const TFileListItem& item : items)
        EXPECT_TRUE(rows->Append(item));
    return rows;
}

void ExpectSameItem(const TFileListItem& got, const TFileListItem& want)
{
    EXPECT_EQ(got.Caption, want.Caption);
    EXPECT_EQ(got.SubItems, want.SubItems);
    EXPECT_EQ(got.ImageIndex, want.ImageIndex);
}

} // namespace

TEST_F(FileListTest, CompactRowsShowAndGiveBackExactlyTheItemsTheyWereMadeFrom)
{
    const std::vector<TFileListItem> items = ShapedRows();
    TFileListModel plain(&Images);
    plain.SetColumns(RemoteColumns());
    plain.Replace(items);
    Model.ReplaceCompact(Compacted(items));
    ASSERT_EQ(Model.Count(), static_cast<int>(items.size()));
    ExpectConsistent(Model);
    for (int row = 0; row < Model.Count(); ++row) {
        SCOPED_TRACE(items[static_cast<size_t>(row)].Caption.toStdString());
        ExpectSameItem(Model.Item(row), items[static_cast<size_t>(row)]);
        EXPECT_EQ(Model.Caption(row), items[static_cast<size_t>(row)].Caption);
        for (int column = 0; column < Model.columnCount(); ++column)
            for (int role : {int(Qt::DisplayRole), int(Qt::ToolTipRole), int(Qt::TextAlignmentRole)})
                EXPECT_EQ(Model.data(Model.index(row, column), role), plain.data(plain.index(row, column), role))
                    << "column " << column << " role " << role;
        EXPECT_EQ(Model.data(Model.index(row, 0), Qt::DecorationRole).isNull(),
                  plain.data(plain.index(row, 0), Qt::DecorationRole).isNull());
    }
    // More sub-items than the compact rows hold: refused, nothing added.
    TCompactFileRows rows;
    EXPECT_FALSE(rows.Append({"wide", {"1", "2", "3", "4", "5"}, 1}));
    EXPECT_EQ(rows.Count(), 0);
}

TEST_F(FileListTest, CompactRowsSortAsItemsDoAndTheSelectionFollowsBothWaysOfReordering)
{
    std::vector<TFileListItem> items = ShapedRows();
    items.erase(items.begin() + 13);   // the row without sub-items has no place in a remote list
    const auto rows = Compacted(items);
    for (int column = 0; column < 5; ++column)
        for (bool descending : {false, true}) {
            SCOPED_TRACE(std::to_string(column) + (descending ? " descending" : " ascending"));
            EXPECT_EQ(RemoteSortOrder(*rows, column, descending), RemoteSortOrder(items, column, descending));
        }

    TFileListView view(&Model);
    const std::vector<int> order = RemoteSortOrder(items, 1, true);
    for (bool madeApart : {false, true}) {
        SCOPED_TRACE(madeApart ? "order made apart" : "Permute");
        Model.ReplaceCompact(Compacted(items));
        view.SetSelected(4, true);   // "no size"
        view.SetItemIndex(10);       // "名前 ü.txt"
        const std::uint64_t changes = Model.Changes();
        if (madeApart) {
            std::vector<int> newRowOf(order.size());
            for (size_t i = 0; i < order.size(); ++i)
                newRowOf[static_cast<size_t>(order[i])] = static_cast<int>(i);
            Model.Permute(newRowOf, Model.Compact()->Ordered(order));
        } else {
            Model.Permute(order);
        }
        EXPECT_GT(Model.Changes(), changes);
        for (size_t i = 0; i < order.size(); ++i)
            ExpectSameItem(Model.Item(static_cast<int>(i)), items[static_cast<size_t>(order[i])]);
        ASSERT_EQ(view.SelectedRows().size(), 1u);
        EXPECT_EQ(Model.Item(view.SelectedRows().front()).Caption, "no size");
        EXPECT_EQ(Model.Item(view.ItemIndex()).Caption, QStringLiteral("名前 ü.txt"));
        view.ClearSelection();
    }
}

TEST_F(FileListTest, CompactRowsStayAsTheyWereForAHolderWhileTheModelChangesThem)
{
    const std::vector<TFileListItem> items = ShapedRows();
    Model.ReplaceCompact(Compacted(items));
    const std::shared_ptr<const TCompactFileRows> held = Model.SharedCompact();
    std::vector<int> reversed(items.size());
    for (size_t i = 0; i < reversed.size(); ++i)
        reversed[i] = static_cast<int>(reversed.size() - 1 - i);
    Model.Permute(reversed);
    EXPECT_EQ(Model.Item(0).Caption, "link");
    EXPECT_EQ(held->Caption(0), QStringLiteral(".."));   // the holder's rows did not move
    EXPECT_NE(Model.Compact(), held.get());
}

TEST_F(FileListTest, ChangingCompactRowsOneByOneWorksAsOnItems)
{
    const std::vector<TFileListItem> items = ShapedRows();
    Model.ReplaceCompact(Compacted(items));
    QSignalSpy inserted(&Model, &QAbstractItemModel::rowsInserted);
    std::uint64_t changes = Model.Changes();
    EXPECT_EQ(Model.Add(Named("new")), static_cast<int>(items.size()));
    EXPECT_EQ(inserted.count(), 1);
    EXPECT_GT(Model.Changes(), changes);
    changes = Model.Changes();
    Model.Delete(0);
    Model.SetItem(0, Named("set"));
    EXPECT_GT(Model.Changes(), changes);
    ASSERT_EQ(Model.Count(), static_cast<int>(items.size()));
    EXPECT_EQ(Model.Item(0).Caption, "set");
    for (size_t i = 2; i < items.size(); ++i)
        ExpectSameItem(Model.Item(static_cast<int>(i - 1)), items[i]);
    EXPECT_EQ(Model.Item(Model.Count() - 1).Caption, "new");
    ExpectConsistent(Model);
    Model.Clear();
    EXPECT_EQ(Model.Count(), 0);
    EXPECT_EQ(Model.Compact(), nullptr);
}

TEST_F(FileListTest, AnItemOfCompactRowsStaysReadableWhileManyOthersAreRead)
{
    // Callers hold a row while they read another (a comparison, a loop over the selection).
    std::vector<TFileListItem> items;
    const int count = static_cast<int>(TFileListModel::kMadeRows) * 3;
    for (int i = 0; i < count; ++i)
        items.push_back({"row " + QString::number(i), {QString::number(i), " file", "-rw-r--r--", ""}, 1});
    Model.ReplaceCompact(Compacted(items));
    const TFileListItem& first = Model.Item(0);
    for (int row = 1; row <= static_cast<int>(TFileListModel::kMadeRows); ++row)
        ASSERT_EQ(Model.Item(row).SubItems.value(0), QString::number(row));
    EXPECT_EQ(first.Caption, "row 0");
    EXPECT_EQ(first.SubItems.value(0), "0");
}
