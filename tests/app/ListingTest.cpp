// The remote listing without a window: listing lines to rows (names with blanks whole),
// line splitting, the order of the rows, lossless byte text, and the queue's entry helpers.
#include "app/ByteText.h"
#include "app/CommandQueue.h"
#include "app/ListingParser.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QPersistentModelIndex>
#include <QTemporaryDir>

#include <algorithm>
#include <random>
#include <stdexcept>

namespace {

struct ParseRow {
    const char* line;
    bool matches;
    const char* attributes;
    const char* size;
    const char* name;
    bool directory;
    const char* type;
};

TFileListItem Row(const char* line)
{
    TListingParser parser;
    TListingEntry entry;
    EXPECT_TRUE(parser.Parse(line, entry)) << line;
    return RemoteItemFromEntry(entry);
}

} // namespace

// ---- the grammar on the documented lines ----

const ParseRow kDocumented[] = {
    {"drwxr-xr-x 2 user group 4096 Jan 10 12:00 pub", true, "drwxr-xr-x", "4096", "pub", true, "Directory"},
    {"-rw-r--r-- 1 user group 1234 Jan 10 2000 readme.txt", true, "-rw-r--r--", "1234", "readme.txt", false,
     ".txt file"},
    // A missing group column: the size is still found before the date.
    {"-rw-r--r-- 1 owner 1234 Jan 10 2000 notes", true, "-rw-r--r--", "1234", "notes", false, " file"},
    {"total 12", false, "", "", "", false, ""},
    // Links and sticky folders are entries: a link is shown with its target.
    {"lrwxrwxrwx 1 user group 7 Jan 10 2000 link -> target", true, "lrwxrwxrwx", "7", "link", false, "Link -> target"},
    {"drwxrwxrwt 2 user group 512 Jan 10 2000 tmp", true, "drwxrwxrwt", "512", "tmp", true, "Directory"},
    {"DRWXRWXRWX 2 user group 512 Jan 10 2000 LOUD", true, "DRWXRWXRWX", "512", "LOUD", true, "Directory"},
    {"-rw-r--r-- 1 user group 10 Jan 10 2000 a.tar.gz", true, "-rw-r--r--", "10", "a.tar.gz", false, ".gz file"},
    // A directory is one by its attribute string, whatever its name.
    {"drwxr-xr-x 2 user group 4096 Jan 10 12:00 file.txt", true, "drwxr-xr-x", "4096", "file.txt", true,
     "Directory"},
    {"", false, "", "", "", false, ""},
};

TEST(ListingGrammar, DocumentedLines)
{
    TListingParser parser;
    for (const ParseRow& row : kDocumented) {
        SCOPED_TRACE(row.line);
        TListingEntry entry;
        ASSERT_EQ(parser.Parse(row.line, entry), row.matches);
        if (!row.matches)
            continue;
        EXPECT_EQ(entry.Attributes, row.attributes);
        EXPECT_EQ(entry.Size, row.size);
        EXPECT_EQ(entry.Name, row.name);
        TFileListItem item = RemoteItemFromEntry(entry);
        EXPECT_EQ(IsRemoteDirectory(item), row.directory);
        EXPECT_EQ(RemoteItemType(item), row.type);
        EXPECT_EQ(item.ImageIndex, row.directory ? 4 : 1);
        EXPECT_EQ(item.Caption, row.name);
        EXPECT_EQ(RemoteItemSize(item), row.size);
        EXPECT_EQ(RemoteItemAttributes(item), row.attributes);
    }
}

TEST(ListingGrammar, ParentRowIsFixed)
{
    TFileListItem parent = ParentDirItem();
    EXPECT_EQ(parent.Caption, "..");
    EXPECT_EQ(parent.SubItems, (QStringList{"0", "Parent directory", "dr-xr-xr-x"}));
    EXPECT_EQ(parent.ImageIndex, 0);
    EXPECT_TRUE(IsParentDirItem(parent));
    EXPECT_TRUE(IsRemoteDirectory(parent));   // each user of the test excludes ".." by name
}

// ---- names stay whole ----

struct NameRow {
    const char* line;
    const char* name;
};

const NameRow kNames[] = {
    {"-rw-r--r-- 1 user group 99 Jan 10 2000 my file.txt", "my file.txt"},
    {"-rw-r--r-- 1 user group 99 Jan 10 2000 two  blanks   here.txt", "two  blanks   here.txt"},
    {"-rw-r--r-- 1 user group 99 Jan 10 12:00 trailing blank ", "trailing blank "},
    {"-rw-r--r-- 1 user group 99 Jan 10 12:00 tab\there", "tab\there"},
    {"-rw-r--r-- 1 user group 99 Jan 10 12:00 crlf ended\r\n", "crlf ended"},
    {"-rw-r--r-- 1 user group 99 Jan 10 12:00 cr ended\r", "cr ended"},
    {"drwxr-xr-x 2 user group 4096 Jan 10 12:00 Holiday photos", "Holiday photos"},
    // A file called "a -> b" is a file: only link lines ("l...") carry a target.
    {"-rw-r--r-- 1 user group 5 Jan 10 2000 a -> b", "a -> b"},
    {"-rw-r--r-- 1 user group 5 Jan 10 2000 1999 report", "1999 report"},
    {"-rw-r--r-- 1 user group 5 Jan 10 2000 caf\xc3\xa9 cr\xc3\xa8me.txt", "caf\xc3\xa9 cr\xc3\xa8me.txt"},
};

TEST(ListingNames, TheNameIsTheRestOfTheLine)
{
    TListingParser parser;
    for (const NameRow& row : kNames) {
        SCOPED_TRACE(row.line);
        TListingEntry entry;
        ASSERT_TRUE(parser.Parse(row.line, entry));
        EXPECT_EQ(entry.Name, row.name);
        // Size and attributes stay as the pattern gives them.
        EXPECT_EQ(entry.Attributes.size(), 10u);
        EXPECT_EQ(RemoteItemName(RemoteItemFromEntry(entry)), row.name);
    }
}

TEST(ListingNames, ExtensionOfANameWithBlanksComesFromItsLastDot)
{
    EXPECT_EQ(RemoteItemType(Row("-rw-r--r-- 1 u g 9 Jan 10 2000 my file.tar.gz")), ".gz file");
    EXPECT_EQ(RemoteItemType(Row("-rw-r--r-- 1 u g 9 Jan 10 2000 no dot here")), " file");
}

TEST(ListingNames, ANameThatIsNoValidTextKeepsItsBytes)
{
    const std::string name = "caf\xe9 menu.txt";   // Latin-1 on a UTF-8 desktop
    TFileListItem item = Row(("-rw-r--r-- 1 u g 9 Jan 10 2000 " + name).c_str());
    EXPECT_EQ(RemoteItemName(item), name);
    EXPECT_EQ(RemoteItemType(item), ".txt file");
}

TEST(ListingNames, ALineEndsAtANul)
{
    TListingParser parser;
    TListingEntry entry;
    std::string line = "-rw-r--r-- 1 u g 9 Jan 10 2000 name";
    line += '\0';
    line += "garbage";
    ASSERT_TRUE(parser.Parse(line, entry));
    EXPECT_EQ(entry.Name, "name");
}

// ---- lines of the listing file ----

TEST(ListingLines, SplitAtLfAndCrLf)
{
    EXPECT_EQ(SplitListingLines("a\r\nb\nc"), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(SplitListingLines("a\r\n"), (std::vector<std::string>{"a"}));
    EXPECT_EQ(SplitListingLines("a\n\nb\n"), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_EQ(SplitListingLines("a\rb\n"), (std::vector<std::string>{"a\rb"}));
    EXPECT_TRUE(SplitListingLines("").empty());
}

TEST(ListingLines, ReadInOneGoAndMissingFileGivesNoLines)
{
    QTemporaryDir dir;
    QString path = dir.filePath("OFTPTEMP.TMP");
    EXPECT_TRUE(ReadListingFile(path).empty());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("total 1\r\n-rw-r--r-- 1 u g 3 Jan 10 2000 x y\r\n");
    file.close();
    EXPECT_EQ(ReadListingFile(path),
              (std::vector<std::string>{"total 1", "-rw-r--r-- 1 u g 3 Jan 10 2000 x y"}));
}

// ---- order ----

namespace {

TListingEntry Entry(const std::string& attributes, const std::string& size, const std::string& name)
{
    TListingEntry entry;
    entry.Attributes = attributes;
    entry.Size = size;
    entry.Name = name;
    entry.Type = attributes[0] == 'd' || attributes[0] == 'D' ? letDirectory : letFile;
    return entry;
}

TFileListItem File(const char* name, const char* size, const char* attributes = "-rw-r--r--")
{
    return RemoteItemFromEntry(Entry(attributes, size, name));
}

TFileListItem Dir(const char* name, const char* size = "4096")
{
    return File(name, size, "drwxr-xr-x");
}

} // namespace

TEST(ListingOrder, ParentFirstAndDirectoriesBeforeFilesUnderEveryColumn)
{
    const TFileListItem parent = ParentDirItem();
    const TFileListItem a = Dir("a", "99999");
    const TFileListItem b = File("b", "1");
    for (int column = 0; column < 4; ++column) {
        SCOPED_TRACE(column);
        EXPECT_LT(CompareRemoteItems(parent, a, column), 0);
        EXPECT_GT(CompareRemoteItems(a, parent, column), 0);
        EXPECT_LT(CompareRemoteItems(parent, b, column), 0);
        EXPECT_LT(CompareRemoteItems(a, b, column), 0);
        EXPECT_GT(CompareRemoteItems(b, a, column), 0);
    }
}

struct OrderRow {
    const char* what;
    TFileListItem first;
    TFileListItem second;
    int column;
    int sign;   // of CompareRemoteItems(first, second)
};

TEST(ListingOrder, ByColumn)
{
    const OrderRow rows[] = {
        {"name ignores case", File("apple", "1"), File("BANANA", "1"), 0, -1},
        {"name equal but case", File("Readme", "1"), File("README", "2"), 0, 0},
        {"prefix first", File("abc", "1"), File("abcd", "1"), 0, -1},
        {"other characters by code", File("_x", "1"), File("ax", "1"), 0, 1},
        {"size numerically", File("a", "9"), File("b", "10"), 1, -1},
        {"size beyond 32 bits", File("a", "3000000000"), File("b", "2147483647"), 1, 1},
        {"size beyond 4 GiB", File("a", "5000000000"), File("b", "4294967296"), 1, 1},
        {"empty size as 0", File("a", ""), File("b", "0"), 1, 0},
        {"empty size before 1", File("a", ""), File("b", "1"), 1, -1},
        {"type", File("x.zip", "1"), File("y.c", "1"), 2, 1},
        {"type ignores case", File("x.TXT", "1"), File("y.txt", "1"), 2, 0},
        {"attributes", File("x", "1", "-rwxr-xr-x"), File("y", "1", "-rw-r--r--"), 3, 1},
        {"unknown column keeps the order", File("z", "1"), File("a", "2"), 7, 0},
        {"two parent rows are equal", ParentDirItem(), ParentDirItem(), 0, 0},
    };
    for (const OrderRow& row : rows) {
        SCOPED_TRACE(row.what);
        int result = CompareRemoteItems(row.first, row.second, row.column);
        EXPECT_EQ((result > 0) - (result < 0), row.sign);
        int reverse = CompareRemoteItems(row.second, row.first, row.column);
        EXPECT_EQ((reverse > 0) - (reverse < 0), -row.sign);
    }
}

TEST(ListingOrder, TextComparisonUpperCasesOnlyAsciiLetters)
{
    // '_' (95) comes after 'A'..'Z' (65..90) once a..z are upper-cased, and before 'a'.
    EXPECT_GT(CompareTextNoCase("_", "a"), 0);
    EXPECT_EQ(CompareTextNoCase("abc", "ABC"), 0);
    EXPECT_LT(CompareTextNoCase("", "a"), 0);
    EXPECT_NE(CompareTextNoCase(QString::fromUtf8("\xc3\xa9"), QString::fromUtf8("\xc3\x89")), 0);
}

TEST(ListingOrder, SizeValues)
{
    EXPECT_EQ(RemoteSizeValue(""), 0);
    EXPECT_EQ(RemoteSizeValue("0"), 0);
    EXPECT_EQ(RemoteSizeValue("4294967296"), 4294967296LL);
    EXPECT_EQ(RemoteSizeValue("9223372036854775807"), INT64_MAX);
    EXPECT_EQ(RemoteSizeValue("99999999999999999999999"), INT64_MAX);
    EXPECT_EQ(RemoteSizeValue("12a"), 0);
}

TEST(ListingOrder, TheFastOrderIsTheStableSortByTheComparison)
{
    // Random rows with the ties that matter: equal texts, shared long prefixes, case, empty
    // and huge sizes, several ".." rows, names differing past the eighth character.
    std::mt19937 random(99);
    const char* const stems[] = {"report 2024 part", "REPORT 2024 PART", "a", "", "..", "readme",
                                 "Readme", "abcdefgh", "abcdefghi", "abcdefg", "x\xc3\xa9", "_"};
    const char* const exts[] = {"", ".txt", ".TXT", ".tar.gz", ".c"};
    const char* const sizes[] = {"", "0", "7", "10", "4294967296", "99999999999999999999", "12"};
    const char* const attributes[] = {"-rw-r--r--", "drwxr-xr-x", "-rwxr-xr-x", "DRWXRWXRWX"};
    TFileListModel model(nullptr);
    for (int round = 0; round < 30; ++round) {
        model.Clear();
        int rows = 1 + static_cast<int>(random() % 300);
        for (int i = 0; i < rows; ++i) {
            std::string name = std::string(stems[random() % 12]) + std::to_string(random() % 3) + exts[random() % 5];
            if (random() % 10 == 0)
                name = "..";
            TListingEntry entry = Entry(attributes[random() % 4], sizes[random() % 7], name);
            model.Add(random() % 25 == 0 ? ParentDirItem() : RemoteItemFromEntry(entry));
        }
        for (int column = -1; column <= 4; ++column) {
            SCOPED_TRACE(testing::Message() << "round " << round << " column " << column);
            std::vector<int> expected(static_cast<std::size_t>(model.Count()));
            for (int i = 0; i < model.Count(); ++i)
                expected[static_cast<std::size_t>(i)] = i;
            std::stable_sort(expected.begin(), expected.end(), [&](int a, int b) {
                return CompareRemoteItems(model.Item(a), model.Item(b), column) < 0;
            });
            ASSERT_EQ(RemoteSortOrder(model, column), expected);
        }
    }
}

TEST(ListingOrder, RowsSortedInRunsAsTheyComeEndAsOneSortOfThemAll)
{
    // Lines as a listing thread gets them: ties in every column, names equal but for case,
    // links whose kind is settled only at the end (to a folder, to a file, elsewhere),
    // names that are no valid text, lines not understood.
    std::mt19937 random(7);
    const char* const names[] = {"report", "REPORT", "Report 2", "a b", "x\xff", "readme.TXT", "readme.txt",
                                 "data.tar.gz", "abcdefghij", "abcdefghik", "dir"};
    const char* const dates[] = {"Jan 10 12:00", "Jan 10  2020", "Dec  1 09:15"};
    std::vector<std::string> lines = {"total 42"};
    for (int i = 0; i < 400; ++i) {
        const std::string name = std::string(names[random() % 11]) + std::to_string(random() % 40);
        const std::string size = std::to_string(random() % 4 == 0 ? 0 : random() % 50);
        const std::string date = dates[random() % 3];
        switch (random() % 6) {
        case 0:
            lines.push_back("drwxr-xr-x 2 u g 4096 " + date + " " + name);
            break;
        case 1:
            lines.push_back("lrwxrwxrwx 1 u g 9 " + date + " " + name + " -> "
                            + std::string(names[random() % 11]) + std::to_string(random() % 40));
            break;
        case 2:
            lines.push_back("lrwxrwxrwx 1 u g 9 " + date + " " + name + " -> /elsewhere/" + name);
            break;
        case 3:
            lines.push_back("not a listing line " + name);
            break;
        default:
            lines.push_back((random() % 2 ? "-rw-r--r-- 1 u g " : "-rwsr-xr-x 1 u g ") + size + " " + date + " "
                            + name);
        }
    }
    const std::vector<std::string_view> views(lines.begin(), lines.end());
    auto same = [](const TRemoteListing& got, const TRemoteListing& want) {
        ASSERT_TRUE(got.Rows && want.Rows);
        ASSERT_EQ(got.Rows->Count(), want.Rows->Count());
        for (int row = 0; row < want.Rows->Count(); ++row) {
            const TFileListItem a = got.Rows->Item(row);
            const TFileListItem b = want.Rows->Item(row);
            ASSERT_EQ(a.Caption, b.Caption) << row;
            ASSERT_EQ(a.SubItems, b.SubItems) << row;
            ASSERT_EQ(a.ImageIndex, b.ImageIndex) << row;
        }
        EXPECT_EQ(got.InvalidLines, want.InvalidLines);
        EXPECT_EQ(got.InvalidCount, want.InvalidCount);
    };
    for (int column = 0; column <= 4; ++column) {
        for (bool descending : {false, true}) {
            const TRemoteListing want = BuildRemoteListing(views, lsList, column, descending);
            // Runs of one row up to one run of all; merged in one go and in two halves.
            for (std::size_t run : {1, 3, 64, 100000}) {
                for (std::size_t inTwo : {std::size_t(0), std::size_t(100000)}) {
                SCOPED_TRACE(testing::Message() << "column " << column << " descending " << descending << " runs of "
                                                << run << " in two from " << inTwo);
                TRemoteListingBuilder builder(lsList);
                builder.Presort(column, descending, run, inTwo);
                for (const std::string& line : lines)
                    builder.Add(line);
                same(builder.Finish(column, descending), want);
                }
            }
        }
    }
    // Another order asked for by the end: sorted then, all the same.
    TRemoteListingBuilder other(lsList);
    other.Presort(0, false, 5);
    for (const std::string& line : lines)
        other.Add(line);
    same(other.Finish(1, true), BuildRemoteListing(views, lsList, 1, true));
    // A builder let go of before its end (a cancelled listing) stops its thread.
    for (int i = 0; i < 20; ++i) {
        TRemoteListingBuilder dropped(lsList);
        dropped.Presort(0, false, 2);
        for (const std::string& line : lines)
            dropped.Add(line);
    }
}

TEST(ListingOrder, PermuteKeepsSelectedRowsWithTheirItems)
{
    TFileListModel model(nullptr);
    model.SetColumns({{"Name"}});
    for (const char* name : {"c", "a", "b"})
        model.Add(File(name, "1"));
    QPersistentModelIndex selected(model.index(0, 0));   // "c", as a selection holds it
    model.Permute(RemoteSortOrder(model, 0));
    EXPECT_EQ(model.Item(0).Caption, "a");
    EXPECT_EQ(model.Item(2).Caption, "c");
    EXPECT_EQ(selected.row(), 2);
}

// ---- bytes as text ----

TEST(ByteText, RoundTripsWhatIsNoValidUtf8)
{
    const std::string cases[] = {
        "plain",
        "caf\xc3\xa9",                    // valid two-byte
        "\xf0\x9f\x98\x80 smile",         // valid four-byte
        "caf\xe9",                        // Latin-1
        "\xc0\xaf",                       // overlong slash
        "\xed\xa0\x80",                   // an encoded surrogate
        "\xf4\x90\x80\x80",               // past U+10FFFF
        "\xe2\x82",                       // cut short
        "\xef\xbf\xbd genuine replacement",
        std::string("nul\0inside", 10),
    };
    for (const std::string& bytes : cases) {
        SCOPED_TRACE(bytes);
        EXPECT_EQ(BytesFromText(TextFromBytes(bytes)), bytes);
    }
    EXPECT_EQ(TextFromBytes("caf\xc3\xa9"), QString::fromUtf8("caf\xc3\xa9"));
}

TEST(ByteText, NamesThatAreNoUtf8ShowReplacementMarksAndKeepTheirBytes)
{
    struct Row {
        const char* bytes;
        const char16_t* shown;
    };
    const Row rows[] = {
        {"caf\xe9.txt", u"caf\uFFFD.txt"},
        {"\xff\xfe", u"\uFFFD\uFFFD"},
        {"caf\xc3\xa9", u"caf\u00e9"},
        {"\xf0\x9f\x98\x80 smile", u"\U0001F600 smile"},   // a pair stays a pair
    };
    TFileListModel model(nullptr);
    model.SetColumns({{"Name"}, {"Size"}});
    for (const Row& r : rows) {
        SCOPED_TRACE(r.bytes);
        TFileListItem item = RemoteItemFromEntry(Entry("-rw-r--r--", "1", r.bytes));
        model.Clear();
        model.Add(item);
        EXPECT_EQ(model.data(model.index(0, 0)).toString(), QString::fromStdU16String(r.shown));
        EXPECT_EQ(RemoteItemName(model.Item(0)), r.bytes);   // downloads, renames, deletes use these
    }
}

TEST(ByteText, RandomBytesRoundTrip)
{
    std::mt19937 random(1234);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> length(0, 24);
    for (int i = 0; i < 20000; ++i) {
        std::string bytes(static_cast<std::size_t>(length(random)), '\0');
        for (char& c : bytes)
            c = static_cast<char>(byte(random));
        ASSERT_EQ(BytesFromText(TextFromBytes(bytes)), bytes) << i;
    }
}

TEST(ByteText, DifferentBytesGiveDifferentTexts)
{
    // The remote list compares captions to find a name: that needs one text per name.
    EXPECT_NE(TextFromBytes("caf\xe9"), TextFromBytes("caf\xc3\xa9"));
    EXPECT_NE(TextFromBytes("\xe9"), TextFromBytes("\xef\xbf\xbd"));
}

// ---- queue entries ----

TEST(QueueEntries, ArgumentCountsOfEveryCode)
{
    const std::pair<int, int> counts[] = {
        {qcNone, 0}, {qcConnect, 0}, {qcQuit, 0}, {qcList, 0}, {qcPwd, 0}, {qcCwd, 1},
        {qcCdUp, 0}, {qcGet, 3}, {qcPut, 3}, {qcType, 1}, {qcDele, 1}, {qcRmd, 1},
        {qcExpandRemove, 0}, {qcMkd, 1}, {qcRename, 2}, {qcRaw, 1}, {qcSetFlag, 2},
        {qcOpenLocal, 1}, {4, -1}, {77, -1}, {-1, -1}, {1003, -1}};
    for (auto [code, count] : counts)
        EXPECT_EQ(QueueArgCount(code), count) << code;
}

TEST(QueueEntries, AnEntryIsAddedAndRemovedWhole)
{
    QStringList queue;
    QueueAppend(queue, qcCwd, {"/pub"});
    QueueAppend(queue, qcGet, {"a", "/tmp/a", "5"});
    QueueAppend(queue, qcPwd);
    QueuePrepend(queue, qcRename, {"x", "y"});
    EXPECT_EQ(QueueEntries(queue), (QList<QStringList>{{"15", "x", "y"}, {"6", "/pub"},
                                                       {"8", "a", "/tmp/a", "5"}, {"5"}}));
    EXPECT_EQ(QueueHeadArg(queue, 2), "y");
    EXPECT_EQ(QueueHeadArg(queue, 9), "");
    QueueDropHead(queue);
    QueueDropHead(queue);
    EXPECT_EQ(queue, (QStringList{"8", "a", "/tmp/a", "5", "5"}));
    EXPECT_THROW(QueueAppend(queue, qcCwd), std::logic_error);
    EXPECT_THROW(QueueAppend(queue, qcPwd, {"extra"}), std::logic_error);
    EXPECT_EQ(queue.size(), 5);
}

TEST(QueueEntries, InvalidHeadsLeaveAlone)
{
    QStringList queue{"77", "6", "/x", "abc", "5"};
    QueueDropHead(queue);
    EXPECT_EQ(queue, (QStringList{"6", "/x", "abc", "5"}));
    QueueDropHead(queue);
    QueueDropHead(queue);   // "abc" is no number: removed by itself
    EXPECT_EQ(queue, (QStringList{"5"}));
    QStringList shortQueue{"8", "a"};   // cut short: removes what is there
    QueueDropHead(shortQueue);
    EXPECT_TRUE(shortQueue.isEmpty());
}

// ---- former bugs ----

TEST(ListingFormerBugs, ANameWithABlankWasCutAtIt)
{
    // "my file.txt" was listed as "my": a download, delete or rename of that row would
    // have asked the server for another file.
    TFileListItem item = Row("-rw-r--r-- 1 user group 99 Jan 10 2000 my file.txt");
    EXPECT_EQ(item.Caption, "my file.txt");
    EXPECT_EQ(RemoteItemType(item), ".txt file");
    EXPECT_EQ(RemoteItemSize(item), "99");
}

