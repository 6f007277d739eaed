// The local pane in the started program: the folder tree picks the directory, the filter
// the mask, the file rows of lvLocalDir mirror flbLocalFiles (after ".." and the folders)
// with type names and icons, the selection is copied, the size label and the active-pane
// flag follow the user.
#include "AppTestEnvironment.h"

#include "platform/SystemImageList.h"

#include <QApplication>
#include <QComboBox>
#include <QItemSelectionModel>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <QTreeView>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

using foldertree::TFolderTree;

namespace {

// Written with the bytes of the name as they are: a detour through QString would turn a
// name that is no valid text into another one.
void WriteFile(const std::string& path, const std::string& content = {})
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << path;
    EXPECT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    ::close(fd);
}

QString Text(const std::string& s)
{
    return QString::fromLocal8Bit(s.data(), static_cast<qsizetype>(s.size()));
}

// The program started on a folder tree whose root is a temporary folder:
//   root/docs:  a (1 byte), A.TXT (3), b.txt (5), c.dat (333), mystery.qqzz, noext
//   root/pics:  one.png, two.jpg
//   root/empty
class LocalPaneTest : public ProgramTest {
protected:
    void SetUp() override
    {
        char buffer[4096];
        ASSERT_NE(::getcwd(buffer, sizeof buffer), nullptr);
        FOldCwd = buffer;
        ProgramTest::SetUp();
        ASSERT_TRUE(FTemp.isValid());
        Root = QFile::encodeName(FTemp.path()).toStdString();
        Docs = Root + "/docs";
        Pics = Root + "/pics";
        for (const std::string& dir : {Docs, Pics, Root + "/empty"})
            ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
        WriteFile(Docs + "/a", "1");
        WriteFile(Docs + "/A.TXT", "abc");
        WriteFile(Docs + "/b.txt", "hello");
        WriteFile(Docs + "/c.dat", std::string(333, 'x'));
        WriteFile(Docs + "/mystery.qqzz", "?");
        WriteFile(Docs + "/noext", "plain");
        WriteFile(Pics + "/one.png");
        WriteFile(Pics + "/two.jpg");

        // The tree is built at the first turn of the loop: the seams go in before it.
        Tree().SetRootPath(Root);
        Tree().SetDriveLister([] { return std::vector<foldertree::TDriveInfo>{}; });
        QApplication::processEvents();
        ASSERT_NE(Tree().RootNode(), nullptr);
        ASSERT_EQ(Tree().RootNode()->Path, Root);
        Handlers.clear();
    }

    void TearDown() override
    {
        ProgramTest::TearDown();
        EXPECT_EQ(::chdir(FOldCwd.c_str()), 0);
    }

    TFolderTree& Tree() { return *Main().dirLocalDirs; }
    TFileListModel& LocalModel() { return *Main().lvLocalDir->Model(); }

    // Picks a folder in the tree as the user would.
    void ShowFolder(const std::string& path) { ASSERT_TRUE(Tree().SelectPath(path)); }

    // The captions of the file rows (".." and the folder rows come before them).
    QStringList Captions()
    {
        QStringList captions;
        for (int i = 0; i < LocalModel().Count(); ++i)
            if (Main().LocalRowFile(i) >= 0)
                captions << LocalModel().Item(i).Caption;
        return captions;
    }

    // The number of file rows, and the row that shows name i of flbLocalFiles.
    int FileRows() { return static_cast<int>(Captions().size()); }
    int FileRow(int file)
    {
        for (int row = 0; row < LocalModel().Count(); ++row)
            if (Main().LocalRowFile(row) == file)
                return row;
        return -1;
    }

    QString TypeOf(const QString& caption)
    {
        for (int i = 0; i < LocalModel().Count(); ++i)
            if (LocalModel().Item(i).Caption == caption)
                return LocalModel().Item(i).SubItems.value(0);
        return QStringLiteral("<missing>");
    }

    // The pane's invariant: in the default order, file row i of lvLocalDir shows name i
    // of flbLocalFiles.
    void ExpectMirror()
    {
        const std::vector<std::string>& names = Main().flbLocalFiles.Names();
        ASSERT_EQ(FileRows(), static_cast<int>(names.size()));
        for (size_t i = 0; i < names.size(); ++i)
            EXPECT_EQ(LocalModel().Item(FileRow(static_cast<int>(i))).Caption, Text(names[i])) << i;
    }

    // Clicks a row of the local list, with modifiers (Ctrl adds to the selection).
    void ClickRow(const QString& caption, Qt::KeyboardModifiers modifiers = {})
    {
        int row = FileRow(static_cast<int>(Captions().indexOf(caption)));
        ASSERT_GE(row, 0) << caption.toStdString();
        QTreeView* view = Main().lvLocalDir->ReportView();
        view->scrollTo(LocalModel().index(row, 0));
        QRect cell = view->visualRect(LocalModel().index(row, 0));
        ASSERT_TRUE(cell.isValid());
        QTest::mouseClick(view->viewport(), Qt::LeftButton, modifiers, cell.center());
    }

    std::string Root, Docs, Pics;
    std::string FOldCwd;   // the working directory before the test

private:
    QTemporaryDir FTemp;
};

} // namespace

// ---- the pane at start ----

TEST_F(LocalPaneTest, AtStartTheListShowsTheHomeFolder)
{
    // No folder remembered yet: the user's home, also where the tree cannot reach it.
    const std::string home = QFile::encodeName(QDir::homePath()).toStdString();
    EXPECT_EQ(Main().flbLocalFiles.Directory(), home);
    EXPECT_EQ(Main().txtLocalPath->text(), QDir::homePath());
    EXPECT_EQ(FileRows(), Main().flbLocalFiles.Count());
    EXPECT_EQ(Main().flbLocalFiles.Mask(), "*.*");
    EXPECT_EQ(Main().lblLocalFileSize->text(), "Unknown");
    EXPECT_FALSE(Main().FillingLocalList);
    EXPECT_FALSE(Main().RemotePaneActive);
}

TEST_F(LocalPaneTest, TheFolderTreeTakesItsPlaceInThePane)
{
    EXPECT_EQ(Tree().parentWidget(), Main().panLocal);
    EXPECT_EQ(Tree().height(), 123);
    EXPECT_EQ(Tree().indentation(), 19);
    EXPECT_EQ(Tree().FolderOptions(), 0u);
    EXPECT_TRUE(Tree().isVisible());
    // Root, then the computer node first and the root folder's own folders sorted.
    QStringList labels;
    for (auto& child : Tree().RootNode()->Children)
        labels << child->Label;
    EXPECT_EQ(labels, (QStringList{"Computer", "docs", "empty", "pics"}));
}

// ---- choosing the directory ----

TEST_F(LocalPaneTest, ChoosingAFolderListsItsFilesSortedByName)
{
    ShowFolder(Docs);
    EXPECT_EQ(Handlers, std::vector<std::string>{"dirLocalDirsChange"});
    EXPECT_EQ(Main().flbLocalFiles.Directory(), Docs);
    EXPECT_EQ(Captions(), (QStringList{"a", "A.TXT", "b.txt", "c.dat", "mystery.qqzz", "noext"}));
    ExpectMirror();
    // The list's directory is the process's working directory too.
    char buffer[4096];
    ASSERT_NE(::getcwd(buffer, sizeof buffer), nullptr);
    EXPECT_EQ(std::string(buffer), Docs);
}

TEST_F(LocalPaneTest, ChoosingAnotherFolderChangesTheList)
{
    ShowFolder(Docs);
    ShowFolder(Pics);
    EXPECT_EQ(Main().flbLocalFiles.Directory(), Pics);
    EXPECT_EQ(Captions(), (QStringList{"one.png", "two.jpg"}));
    ExpectMirror();
    ShowFolder(Root + "/empty");
    EXPECT_EQ(FileRows(), 0);
    ExpectMirror();
}

TEST_F(LocalPaneTest, TabbingIntoTheTreeShowsTheFolderOfItsFirstNode)
{
    WriteFile(Root + "/on-the-desktop.txt");
    ASSERT_TRUE(QTest::qWaitForWindowActive(&Main()));
    ASSERT_EQ(Tree().SelectedNode(), nullptr);
    Tree().setFocus(Qt::TabFocusReason);
    EXPECT_EQ(Handlers, (std::vector<std::string>{"dirLocalDirsChange", "dirLocalDirsEnter"}));
    EXPECT_EQ(Main().flbLocalFiles.Directory(), Root);
    EXPECT_EQ(Captions(), QStringList{"on-the-desktop.txt"});
}

TEST_F(LocalPaneTest, ANodeWithoutPathKeepsTheDirectoryButRebuildsTheList)
{
    ShowFolder(Pics);
    WriteFile(Pics + "/three.gif");
    Handlers.clear();
    Tree().SelectNode(Tree().ComputerNode());
    EXPECT_EQ(Handlers, std::vector<std::string>{"dirLocalDirsChange"});
    EXPECT_EQ(Tree().SelectedPath(), "");
    EXPECT_EQ(Main().flbLocalFiles.Directory(), Pics);
    EXPECT_EQ(Captions(), (QStringList{"one.png", "three.gif", "two.jpg"}));
}

TEST_F(LocalPaneTest, AFolderThatCannotBeReadShowsAnEmptyList)
{
    ShowFolder(Docs);
    ASSERT_EQ(FileRows(), 6);
    // Removed behind the tree's back: the folder is gone when the list reads it again.
    QDir(QString::fromStdString(Docs)).removeRecursively();
    Main().RefillLocalList();
    EXPECT_EQ(FileRows(), 0);
    ExpectMirror();
}

// ---- files written later ----

TEST_F(LocalPaneTest, AFileWrittenIntoTheShownFolderAppearsAfterARefill)
{
    ShowFolder(Docs);
    WriteFile(Docs + "/downloaded.bin", "data");
    EXPECT_FALSE(Captions().contains("downloaded.bin"));   // no reading behind the scenes
    Main().RefillLocalList();
    EXPECT_TRUE(Captions().contains("downloaded.bin"));
    EXPECT_EQ(Main().flbLocalFiles.Directory(), Docs);
    ExpectMirror();
}

TEST_F(LocalPaneTest, TheRefreshButtonRefillsTheList)
{
    ShowFolder(Pics);
    WriteFile(Pics + "/new.bmp");
    Handlers.clear();
    QTest::mouseClick(Main().btnRefreshLocal, Qt::LeftButton);
    EXPECT_EQ(Handlers, std::vector<std::string>{"btnRefreshLocalClick"});
    EXPECT_EQ(Captions(), (QStringList{"new.bmp", "one.png", "two.jpg"}));
    ExpectMirror();
}

// ---- filter ----

TEST_F(LocalPaneTest, FilterTextShowsOnlyTextFilesWhateverTheirCase)
{
    ShowFolder(Docs);
    Handlers.clear();
    Main().fcbLocalFilter->setCurrentIndex(Main().fcbLocalFilter->findText("Text"));
    EXPECT_EQ(Handlers, std::vector<std::string>{"fcbLocalFilterChange"});
    EXPECT_EQ(Main().flbLocalFiles.Mask(), "*.txt");
    EXPECT_EQ(Captions(), (QStringList{"A.TXT", "b.txt"}));
    ExpectMirror();

    // The filter stays when the folder changes.
    ShowFolder(Pics);
    EXPECT_EQ(FileRows(), 0);
    Main().fcbLocalFilter->setCurrentIndex(Main().fcbLocalFilter->findText("Images"));
    EXPECT_EQ(Captions(), (QStringList{"one.png", "two.jpg"}));
    Main().fcbLocalFilter->setCurrentIndex(0);
    EXPECT_EQ(Main().flbLocalFiles.Mask(), "*.*");
    EXPECT_EQ(Captions(), (QStringList{"one.png", "two.jpg"}));
}

TEST_F(LocalPaneTest, ChoosingAFilterWithTheMouseFiltersToo)
{
    ShowFolder(Docs);
    QComboBox* filter = Main().fcbLocalFilter;
    ASSERT_TRUE(QTest::qWaitForWindowActive(&Main()));
    filter->setFocus();
    // Down arrow on a closed combo box moves to the next filter, like a choice from
    // the drop-down: "All files" -> "Web pages" -> "Text".
    QTest::keyClick(filter, Qt::Key_Down);
    QTest::keyClick(filter, Qt::Key_Down);
    EXPECT_EQ(filter->currentText(), "Text");
    EXPECT_EQ(Captions(), (QStringList{"A.TXT", "b.txt"}));
}

// ---- type names and icons ----

TEST_F(LocalPaneTest, TypeAndIconOfEveryRowComeFromTheSystemList)
{
    ShowFolder(Docs);
    platform::SystemImageList& system = platform::SystemImageList::Instance();
    for (int i = 0; i < Main().flbLocalFiles.Count(); ++i) {
        const TFileListItem& item = LocalModel().Item(FileRow(i));
        platform::TShFileInfo info =
            system.FileInfo(Main().flbLocalFiles.FullPath(Main().flbLocalFiles.Name(i)));
        EXPECT_EQ(item.SubItems.value(0), info.TypeName.empty() ? "File" : Text(info.TypeName))
            << item.Caption.toStdString();
        // The file lists' icons keep the system icons one place further on.
        EXPECT_EQ(item.ImageIndex, info.IconIndex + 1) << item.Caption.toStdString();
    }
    // Text files have a type the desktop knows, shared regardless of the name's case.
    EXPECT_NE(TypeOf("b.txt"), "File");
    EXPECT_EQ(TypeOf("A.TXT"), TypeOf("b.txt"));
}

TEST_F(LocalPaneTest, FilesWithoutAKnownTypeAreOfTypeFile)
{
    ShowFolder(Docs);
    EXPECT_EQ(TypeOf("mystery.qqzz"), "File");
    EXPECT_EQ(TypeOf("noext"), "File");
    EXPECT_EQ(TypeOf("a"), "File");
    int row = FileRow(static_cast<int>(Captions().indexOf("mystery.qqzz")));
    EXPECT_EQ(LocalModel().Item(row).ImageIndex, TFtpFileImageList::iiFile);
}

TEST_F(LocalPaneTest, NamesBeyondAsciiRoundTripBetweenListAndDisk)
{
    const std::string name = "caf\xc3\xa9 \xe2\x82\xac.txt";   // "café €.txt" in UTF-8
    WriteFile(Docs + "/" + name, "12");
    ShowFolder(Docs);
    ExpectMirror();
    ClickRow(QString::fromUtf8("caf\xc3\xa9 \xe2\x82\xac.txt"));
    EXPECT_EQ(Main().flbLocalFiles.SelectedNames(), std::vector<std::string>{name});
    EXPECT_EQ(Main().lblLocalFileSize->text(), "2");
}

TEST_F(LocalPaneTest, NamesThatAreNoValidTextStillReachTheFileListByteForByte)
{
    // A Latin-1 name on a UTF-8 system shows with a replacement character, but the
    // selection goes by row, so the file list keeps the exact bytes for an upload.
    const std::string name = "caf\xe9.txt";
    WriteFile(Docs + "/" + name, "1234");
    ShowFolder(Docs);
    ExpectMirror();
    int row = FileRow(Main().flbLocalFiles.IndexOf(name));
    ASSERT_GE(row, 0);
    Main().lvLocalDir->SelectionModel()->setCurrentIndex(
        LocalModel().index(row, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    EXPECT_EQ(Main().flbLocalFiles.SelectedNames(), std::vector<std::string>{name});
    EXPECT_EQ(Main().flbLocalFiles.FileName(), Docs + "/" + name);
    EXPECT_EQ(Main().lblLocalFileSize->text(), "4");
}

// ---- selection ----

TEST_F(LocalPaneTest, ThreeSelectedItemsSelectTheSameThreeNames)
{
    ShowFolder(Docs);
    Handlers.clear();
    for (int file : {0, 2, 5})
        Main().lvLocalDir->SetSelected(FileRow(file), true);
    EXPECT_EQ(Handlers, (std::vector<std::string>(3, "lvLocalDirChange")));
    EXPECT_EQ(Main().flbLocalFiles.SelectedNames(), (std::vector<std::string>{"a", "b.txt", "noext"}));
    for (int i = 0; i < Main().flbLocalFiles.Count(); ++i)
        EXPECT_EQ(Main().flbLocalFiles.Selected(i), Main().lvLocalDir->IsSelected(FileRow(i))) << i;

    Main().lvLocalDir->SetSelected(FileRow(2), false);
    EXPECT_EQ(Main().flbLocalFiles.SelectedNames(), (std::vector<std::string>{"a", "noext"}));
}

TEST_F(LocalPaneTest, ClickingThreeRowsSelectsThoseThreeFiles)
{
    ShowFolder(Docs);
    ClickRow("A.TXT");
    ClickRow("c.dat", Qt::ControlModifier);
    ClickRow("mystery.qqzz", Qt::ControlModifier);
    EXPECT_EQ(Main().flbLocalFiles.SelectedNames(),
              (std::vector<std::string>{"A.TXT", "c.dat", "mystery.qqzz"}));
    // Shift extends from the anchor: a range of four.
    ClickRow("a");
    ClickRow("c.dat", Qt::ShiftModifier);
    EXPECT_EQ(Main().flbLocalFiles.SelectedNames(),
              (std::vector<std::string>{"a", "A.TXT", "b.txt", "c.dat"}));
}

TEST_F(LocalPaneTest, ARefillClearsTheSelectionOfBothLists)
{
    ShowFolder(Docs);
    ClickRow("b.txt");
    ASSERT_EQ(Main().flbLocalFiles.SelCount(), 1);
    Main().RefillLocalList();
    EXPECT_EQ(Main().lvLocalDir->SelCount(), 0);
    EXPECT_EQ(Main().flbLocalFiles.SelCount(), 0);
    EXPECT_EQ(Main().flbLocalFiles.FileName(), "");
    EXPECT_FALSE(Main().FillingLocalList);
}

// ---- size label ----

TEST_F(LocalPaneTest, OneSelectedFileShowsItsSize)
{
    ShowFolder(Docs);
    ClickRow("b.txt");
    EXPECT_EQ(Main().lblLocalFileSize->text(), "5");
    ClickRow("c.dat");
    EXPECT_EQ(Main().lblLocalFileSize->text(), "333");
    // Selected by the program, without a focus item: the selected file counts.
    Main().RefillLocalList();
    Main().lvLocalDir->SetSelected(FileRow(1), true);   // A.TXT
    EXPECT_EQ(Main().lblLocalFileSize->text(), "3");
}

TEST_F(LocalPaneTest, WithSeveralSelectedTheFileClickedLastShowsItsSize)
{
    ShowFolder(Docs);
    ClickRow("c.dat");
    ClickRow("A.TXT", Qt::ControlModifier);
    EXPECT_EQ(Main().lblLocalFileSize->text(), "3");
    ClickRow("a", Qt::ControlModifier);
    EXPECT_EQ(Main().lblLocalFileSize->text(), "1");
    // Taking the last one out of the selection leaves the focus, and the label, on it.
    ClickRow("a", Qt::ControlModifier);
    EXPECT_EQ(Main().flbLocalFiles.SelectedNames(), (std::vector<std::string>{"A.TXT", "c.dat"}));
    EXPECT_EQ(Main().lblLocalFileSize->text(), "1");
}

TEST_F(LocalPaneTest, AFileThatVanishedLeavesTheSizeAsItWas)
{
    ShowFolder(Docs);
    ClickRow("b.txt");
    ASSERT_EQ(Main().lblLocalFileSize->text(), "5");
    ASSERT_EQ(::unlink((Docs + "/c.dat").c_str()), 0);
    ClickRow("c.dat");
    EXPECT_EQ(Main().flbLocalFiles.SelectedNames(), std::vector<std::string>{"c.dat"});
    EXPECT_EQ(Main().lblLocalFileSize->text(), "5");
}

TEST_F(LocalPaneTest, NothingSelectedLeavesTheSizeAlone)
{
    ShowFolder(Docs);
    Main().lvLocalDir->SetSelected(FileRow(3), true);
    ASSERT_EQ(Main().lblLocalFileSize->text(), "333");
    Main().lvLocalDir->ClearSelection();
    EXPECT_EQ(Main().flbLocalFiles.SelCount(), 0);
    EXPECT_EQ(Main().lblLocalFileSize->text(), "333");
}

// ---- active pane ----

TEST_F(LocalPaneTest, WorkingInTheLocalPaneMakesItTheActivePane)
{
    ShowFolder(Docs);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&Main()));
    Main().lvRemoteDir->setEnabled(true);

    Main().lvRemoteDir->ReportView()->setFocus(Qt::MouseFocusReason);
    ASSERT_TRUE(Main().RemotePaneActive);
    Handlers.clear();
    Tree().setFocus(Qt::MouseFocusReason);
    EXPECT_EQ(Handlers, std::vector<std::string>{"dirLocalDirsEnter"});
    EXPECT_FALSE(Main().RemotePaneActive);

    Main().lvRemoteDir->ReportView()->setFocus(Qt::MouseFocusReason);
    ASSERT_TRUE(Main().RemotePaneActive);
    Main().lvLocalDir->ReportView()->setFocus(Qt::TabFocusReason);
    EXPECT_FALSE(Main().RemotePaneActive);

    Main().lvRemoteDir->ReportView()->setFocus(Qt::MouseFocusReason);
    ASSERT_TRUE(Main().RemotePaneActive);
    // A selection change in the local list, without entering it.
    Main().lvLocalDir->SetSelected(FileRow(0), true);
    EXPECT_FALSE(Main().RemotePaneActive);
}

TEST_F(LocalPaneTest, RefillingOrFilteringDoesNotChangeTheActivePane)
{
    ShowFolder(Docs);
    Main().lvLocalDir->SetSelected(FileRow(0), true);
    Main().RemotePaneActive = true;
    Main().RefillLocalList();
    EXPECT_TRUE(Main().RemotePaneActive);
    Main().fcbLocalFilter->setCurrentIndex(2);
    EXPECT_TRUE(Main().RemotePaneActive);
    ShowFolder(Pics);
    EXPECT_TRUE(Main().RemotePaneActive);
}

// ---- rows beyond the file list ----

TEST_F(LocalPaneTest, RowsAddedOutsideTheFileListDoNotReachPastItsEnd)
{
    // lvLocalDir may briefly hold more rows than flbLocalFiles (a caller adding rows by
    // hand); the copy of the selection stops at the file list's end.
    ShowFolder(Pics);
    LocalModel().Add({"extra", {"File"}, TFtpFileImageList::iiFile});
    Main().lvLocalDir->SetSelected(LocalModel().Count() - 1, true);
    EXPECT_EQ(Main().flbLocalFiles.SelCount(), 0);
    EXPECT_EQ(Main().flbLocalFiles.FileName(), "");
    EXPECT_EQ(Main().lblLocalFileSize->text(), "Unknown");
}
