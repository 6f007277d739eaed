// The local pane's hidden file list on its own: mask matching, name order, what a
// directory reading lists, re-reading, selection and the current item; and the filter
// combo box that sets its mask.
#include "app/LocalFileList.h"
#include "app/LocalFilterComboBox.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

std::string Local(const QString& path)
{
    return QFile::encodeName(path).toStdString();
}

void WriteFile(const std::string& path, const std::string& content = {})
{
    QFile file(QFile::decodeName(path.c_str()));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(content.data(), static_cast<qint64>(content.size()));
}

// A temporary directory; the process's working directory is put back afterwards, since
// the list moves it.
class LocalFileListTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(FTemp.isValid());
        Dir = Local(FTemp.path());
        char buffer[4096];
        ASSERT_NE(::getcwd(buffer, sizeof buffer), nullptr);
        FOldCwd = buffer;
    }
    void TearDown() override { ASSERT_EQ(::chdir(FOldCwd.c_str()), 0); }

    std::string Path(const std::string& name) const { return Dir + "/" + name; }

    std::string Dir;

private:
    QTemporaryDir FTemp;
    std::string FOldCwd;
};

} // namespace

// ---- mask matching ----

struct MaskCase {
    const char* Name;
    const char* Mask;
    bool Matches;
};

TEST(LocalFileMask, Table)
{
    const MaskCase cases[] = {
        // every file
        {"a.txt", "*.*", true},
        {"Makefile", "*.*", true},          // no dot at all
        {".bashrc", "*.*", true},
        {"a.b.c", "*.*", true},
        {"x", "*", true},
        {"anything", "", true},             // an empty mask lists everything
        // one extension, letters without regard to case
        {"notes.txt", "*.txt", true},
        {"NOTES.TXT", "*.txt", true},
        {"notes.Txt", "*.TXT", true},
        {"notes.txt.bak", "*.txt", false},
        {"notes.text", "*.txt", false},
        {"txt", "*.txt", false},
        {".txt", "*.txt", true},
        // pattern lists as the filters hold them, with and without blanks
        {"page.htm", "*.html; *.htm; *.asp", true},
        {"page.html", "*.html; *.htm; *.asp", true},
        {"page.asp", "*.html;*.htm;*.asp", true},
        {"page.php", "*.html; *.htm; *.asp", false},
        {"page.htm", " *.html ;  *.htm ", true},
        {"page.htm", ";;*.htm;", true},
        {"page.html", "*.htm", false},      // no short-name aliases here
        // '?' is exactly one character
        {"a1.log", "a?.log", true},
        {"a.log", "a?.log", false},
        {"a12.log", "a?.log", false},
        // stars in the middle and several stars
        {"report-2024-final.pdf", "report*final*", true},
        {"report-final", "report*final*", true},
        {"report-fina", "report*final*", false},
        {"aaaaaaaaaaaaaaaaaaaab", "*a*a*a*a*a*b", true},
        {"aaaaaaaaaaaaaaaaaaaaa", "*a*a*a*a*a*b", false},
        // a trailing ".*" also means "no extension"
        {"readme", "readme.*", true},
        {"readme.md", "readme.*", true},
        {"readmes", "readme.*", false},
        // 8-bit names: bytes beyond ASCII compare as they are
        {"caf\xc3\xa9.txt", "caf\xc3\xa9.*", true},
        {"caf\xc3\xa9.txt", "CAF\xc3\xa9.TXT", true},
        {"caf\xc3\xa9.txt", "caf\xc3\x89.txt", false},
    };
    for (const MaskCase& c : cases)
        EXPECT_EQ(MatchesFileMask(c.Name, c.Mask), c.Matches)
            << "name \"" << c.Name << "\", mask \"" << c.Mask << "\"";
}

TEST(LocalFileMask, NamesSortWithoutRegardToCaseThenByBytes)
{
    std::vector<std::string> names{"b.txt", "B.txt", "a", "C", "A", "_x", "ab", "a.txt", "Ab"};
    std::sort(names.begin(), names.end(), FileNameLess);
    EXPECT_EQ(names, (std::vector<std::string>{"_x", "A", "a", "a.txt", "Ab", "ab", "B.txt",
                                               "b.txt", "C"}));
    // A strict order: no name before itself, never both ways.
    for (const std::string& a : names) {
        EXPECT_FALSE(FileNameLess(a, a));
        for (const std::string& b : names)
            EXPECT_FALSE(FileNameLess(a, b) && FileNameLess(b, a)) << a << " / " << b;
    }
}

// ---- reading a directory ----

TEST_F(LocalFileListTest, ListsFilesAndLinksToFilesSortedButNoFoldersOrSpecialFiles)
{
    for (const char* name : {"b.txt", "A.TXT", ".hidden", "c", "zeta.png"})
        WriteFile(Path(name));
    QDir(QString::fromStdString(Dir)).mkdir("folder");
    QDir(QString::fromStdString(Dir)).mkdir("folder.txt");
    ASSERT_EQ(::symlink("b.txt", Path("link.txt").c_str()), 0);
    ASSERT_EQ(::symlink("folder", Path("linkdir").c_str()), 0);
    ASSERT_EQ(::symlink("missing", Path("dangling").c_str()), 0);
    ASSERT_EQ(::mkfifo(Path("pipe").c_str(), 0600), 0);

    TLocalFileList list;
    list.SetDirectory(Dir);
    EXPECT_EQ(list.Names(), (std::vector<std::string>{".hidden", "A.TXT", "b.txt", "c", "link.txt",
                                                      "zeta.png"}));
    EXPECT_EQ(list.Count(), 6);
    EXPECT_EQ(list.Name(1), "A.TXT");
    EXPECT_EQ(list.IndexOf("link.txt"), 4);
    EXPECT_EQ(list.IndexOf("folder"), -1);

    list.SetMask("*.txt");
    EXPECT_EQ(list.Names(), (std::vector<std::string>{"A.TXT", "b.txt", "link.txt"}));
    list.SetMask("*.bmp; *.gif; *.jpg; *.jpeg; *.png");
    EXPECT_EQ(list.Names(), (std::vector<std::string>{"zeta.png"}));
}

TEST_F(LocalFileListTest, StartsOnTheWorkingDirectoryWithTheMaskForAllFiles)
{
    WriteFile(Path("here.dat"));
    ASSERT_EQ(::chdir(Dir.c_str()), 0);
    TLocalFileList list;
    EXPECT_EQ(list.Directory(), Dir);
    EXPECT_EQ(list.Mask(), "*.*");
    EXPECT_EQ(list.Names(), std::vector<std::string>{"here.dat"});
}

TEST_F(LocalFileListTest, ChangingTheDirectoryMovesTheWorkingDirectory)
{
    QDir(QString::fromStdString(Dir)).mkdir("sub");
    TLocalFileList list;
    list.SetDirectory(Path("sub"));
    char buffer[4096];
    ASSERT_NE(::getcwd(buffer, sizeof buffer), nullptr);
    EXPECT_EQ(std::string(buffer), Path("sub"));
    EXPECT_EQ(list.Directory(), Path("sub"));
}

TEST_F(LocalFileListTest, UpdateReadsAnewAndClearsTheSelection)
{
    WriteFile(Path("one"));
    WriteFile(Path("two"));
    TLocalFileList list;
    list.SetDirectory(Dir);
    list.SetSelected(1, true);
    list.SetItemIndex(1);
    // The same directory again is no change: the selection stays.
    list.SetDirectory(Dir);
    EXPECT_TRUE(list.Selected(1));
    list.SetMask("*.*");
    EXPECT_TRUE(list.Selected(1));

    WriteFile(Path("three"));
    EXPECT_EQ(list.Count(), 2);   // nothing is read behind the owner's back
    list.Update();
    EXPECT_EQ(list.Names(), (std::vector<std::string>{"one", "three", "two"}));
    EXPECT_EQ(list.SelCount(), 0);
    EXPECT_EQ(list.ItemIndex(), -1);
}

TEST_F(LocalFileListTest, ADirectoryThatCannotBeReadListsNothing)
{
    WriteFile(Path("one"));
    TLocalFileList list;
    list.SetDirectory(Dir);
    EXPECT_EQ(list.Count(), 1);
    list.SetDirectory(Path("does-not-exist"));
    EXPECT_EQ(list.Count(), 0);
    EXPECT_TRUE(list.SelectedNames().empty());
    EXPECT_EQ(list.FileName(), "");
    list.SetDirectory("");
    EXPECT_EQ(list.Count(), 0);
}

TEST_F(LocalFileListTest, SelectionAndCurrentItem)
{
    for (const char* name : {"a", "b", "c", "d"})
        WriteFile(Path(name));
    TLocalFileList list;
    list.SetDirectory(Dir);
    list.SetSelected(3, true);
    list.SetSelected(0, true);
    list.SetSelected(2, true);
    list.SetSelected(2, false);
    list.SetSelected(7, true);    // out of range: ignored
    list.SetSelected(-1, true);
    EXPECT_EQ(list.SelCount(), 2);
    EXPECT_EQ(list.SelectedNames(), (std::vector<std::string>{"a", "d"}));
    EXPECT_FALSE(list.Selected(7));

    EXPECT_EQ(list.ItemIndex(), -1);
    list.SetItemIndex(2);
    EXPECT_EQ(list.FileName(), Path("c"));
    list.SetItemIndex(4);
    EXPECT_EQ(list.ItemIndex(), -1);
    list.ClearSelection();
    EXPECT_EQ(list.SelCount(), 0);
}

TEST_F(LocalFileListTest, FullPathsJoinWithOneSeparator)
{
    TLocalFileList list;
    list.SetDirectory("/");
    EXPECT_EQ(list.FullPath("etc"), "/etc");
    list.SetDirectory(Dir);
    EXPECT_EQ(list.FullPath("x y.txt"), Dir + "/x y.txt");
}

TEST_F(LocalFileListTest, ThousandsOfFilesAreAllListed)
{
    // Far more entries than one buffer of the directory reader holds.
    for (int i = 0; i < 5000; ++i)
        WriteFile(Path("f" + std::to_string(i) + (i % 2 ? ".txt" : ".bin")));
    TLocalFileList list;
    list.SetDirectory(Dir);
    ASSERT_EQ(list.Count(), 5000);
    EXPECT_TRUE(std::is_sorted(list.Names().begin(), list.Names().end(), FileNameLess));
    list.SetMask("*.txt");
    EXPECT_EQ(list.Count(), 2500);
}

// ---- filter combo box ----

TEST_F(LocalFileListTest, FilterComboBoxHandsTheChosenPatternsToItsList)
{
    WriteFile(Path("a.txt"));
    WriteFile(Path("b.png"));
    WriteFile(Path("c.gif"));
    TLocalFileList list;
    list.SetDirectory(Dir);
    TLocalFilterComboBox filter;
    int changes = 0;
    filter.OnChange = [&] {
        ++changes;
        EXPECT_EQ(list.Mask(), filter.Mask());   // the list has the mask before the event
    };
    // A name without patterns at the end is dropped; the first filter is chosen.
    filter.SetFilter("All|*.*|Pictures|*.png; *.gif|Dangling");
    EXPECT_EQ(filter.count(), 2);
    EXPECT_EQ(filter.itemText(1), "Pictures");
    EXPECT_EQ(filter.currentIndex(), 0);
    EXPECT_EQ(changes, 0);   // filling is no choice

    filter.SetFileList(&list);
    EXPECT_EQ(list.Mask(), "*.*");
    filter.setCurrentIndex(1);
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(list.Mask(), "*.png; *.gif");
    EXPECT_EQ(list.Names(), (std::vector<std::string>{"b.png", "c.gif"}));

    // New filters take effect at once, without an event.
    filter.SetFilter("Text|*.txt");
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(list.Names(), std::vector<std::string>{"a.txt"});
    filter.SetFilter("");
    EXPECT_EQ(filter.count(), 0);
    EXPECT_EQ(filter.Mask(), "*.*");
    EXPECT_EQ(list.Count(), 3);
}
