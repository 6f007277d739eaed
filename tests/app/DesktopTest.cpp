// The window as a desktop program, driven offscreen: the local list's folder rows, hidden
// files, sorting, path fields, the keys of both lists, drag and drop between the panes and
// from a file manager, following the shown folder on disk, and the remembered state.
#include "AppTestUtil.h"

#include "app/ByteText.h"
#include "app/DesktopIntegration.h"
#include "dialogs/FileExistsForm.h"
#include "dialogs/InputDialog.h"
#include "platform/PrivateProfile.h"
#include "servers/FtpServers.h"
#include "servers/PeerPolicy.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QSplitter>
#include <QTest>
#include <QTreeView>
#include <QUrl>

#include <sys/stat.h>
#include <unistd.h>

#include <string>

using apptest::PumpUntil;

namespace {

void Put(const QString& path, const QByteArray& bytes = "x")
{
    ASSERT_TRUE(apptest::WriteBytes(path, bytes)) << path.toStdString();
}

// The captions of the local list, in their order.
QStringList LocalCaptions(TMainWindow& w)
{
    QStringList captions;
    for (int row = 0; row < w.lvLocalDir->Model()->Count(); ++row)
        captions << w.lvLocalDir->Model()->Item(row).Caption;
    return captions;
}

// Makes the row with this caption current and the only one selected.
void PickRow(TFileListView* list, const QString& caption)
{
    for (int row = 0; row < list->Model()->Count(); ++row) {
        if (list->Model()->Item(row).Caption == caption) {
            list->SelectionModel()->setCurrentIndex(list->Model()->index(row, 0),
                                                    QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
            return;
        }
    }
    ADD_FAILURE() << "no row " << caption.toStdString();
}

void Key(TFileListView* list, Qt::Key key, Qt::KeyboardModifiers modifiers = {})
{
    QTest::keyClick(list->ReportView(), key, modifiers);
}

// The local pane on a temporary tree (the program's tree rooted there):
//   root/docs/{a.txt (1 byte), big.bin (300), mid.dat (20)}, root/docs/sub/, root/pics/
//   root/.secret/ and root/docs/.hidden.txt
class LocalDesktopTest : public ProgramTest {
protected:
    void SetUp() override
    {
        char cwd[4096];
        ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
        FOldCwd = cwd;
        ProgramTest::SetUp();
        ASSERT_TRUE(Temp.isValid());
        Root = Temp.path();
        for (const char* dir : {"docs", "docs/sub", "pics", ".secret"})
            ASSERT_TRUE(QDir(Root).mkpath(dir));
        Put(Root + "/docs/a.txt", "1");
        Put(Root + "/docs/big.bin", QByteArray(300, 'b'));
        Put(Root + "/docs/mid.dat", QByteArray(20, 'm'));
        Put(Root + "/docs/.hidden.txt");
        Main().dirLocalDirs->SetRootPath(BytesFromText(Root));
        Main().dirLocalDirs->SetDriveLister([] { return std::vector<foldertree::TDriveInfo>{}; });
        QApplication::processEvents();
        Handlers.clear();
    }
    void TearDown() override
    {
        ProgramTest::TearDown();
        EXPECT_EQ(::chdir(FOldCwd.c_str()), 0);
    }

    QString Dir() { return TextFromBytes(Main().flbLocalFiles.Directory()); }

    QTemporaryDir Temp;
    QString Root;
    std::string FOldCwd;
};

} // namespace

// ---- the local list ----

TEST_F(LocalDesktopTest, FoldersAndParentComeFirstAndHiddenNamesAreHidden)
{
    ASSERT_TRUE(Main().GoLocalFolder(Root + "/docs"));
    EXPECT_EQ(LocalCaptions(Main()), (QStringList{"..", "sub", "a.txt", "big.bin", "mid.dat"}));
    EXPECT_EQ(Main().txtLocalPath->text(), Root + "/docs");
    const TFileListItem& big = Main().lvLocalDir->Model()->Item(3);
    EXPECT_EQ(big.SubItems.value(1), "300") << "Size column";
    EXPECT_FALSE(big.SubItems.value(2).isEmpty()) << "Modified column";
    EXPECT_EQ(Main().LocalRowKind(0), TMainWindow::lrParent);
    EXPECT_EQ(Main().LocalRowKind(1), TMainWindow::lrFolder);
    EXPECT_EQ(Main().LocalRowFile(2), 0);
    // The tree hides dot folders too.
    Main().GoLocalFolder(Root);
    QStringList tree;
    for (auto& child : Main().dirLocalDirs->RootNode()->Children)
        tree << child->Label;
    EXPECT_FALSE(tree.contains(".secret"));

    // Ctrl+H shows them (list and tree), as file managers do; again hides them.
    ASSERT_TRUE(QTest::qWaitForWindowActive(&Main()));
    QTest::keyClick(&Main(), Qt::Key_H, Qt::ControlModifier);
    EXPECT_TRUE(Main().ShowHiddenFiles1->isChecked());
    EXPECT_EQ(LocalCaptions(Main()), (QStringList{"..", ".secret", "docs", "pics"}));
    tree.clear();
    for (auto& child : Main().dirLocalDirs->RootNode()->Children)
        tree << child->Label;
    EXPECT_TRUE(tree.contains(".secret"));
    EXPECT_EQ(Dir(), Root) << "the shown folder stays";
    QTest::keyClick(&Main(), Qt::Key_H, Qt::ControlModifier);
    EXPECT_EQ(LocalCaptions(Main()), (QStringList{"..", "docs", "pics"}));
}

TEST_F(LocalDesktopTest, SortingByAColumnBothWaysKeepsFoldersFirst)
{
    Main().GoLocalFolder(Root + "/docs");
    struct Case {
        int column;
        QStringList order;
    };
    const Case cases[] = {
        {2, {"..", "sub", "a.txt", "mid.dat", "big.bin"}},   // size, ascending
        {2, {"..", "sub", "big.bin", "mid.dat", "a.txt"}},   // the same column again: descending
        {0, {"..", "sub", "a.txt", "big.bin", "mid.dat"}},   // name
        {0, {"..", "sub", "mid.dat", "big.bin", "a.txt"}},
        {1, {"..", "sub", "big.bin", "mid.dat", "a.txt"}},   // type: by extension
    };
    PickRow(Main().lvLocalDir, "mid.dat");
    for (const Case& c : cases) {
        QHeaderView* header = Main().lvLocalDir->ReportView()->header();
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                          QPoint(header->sectionViewportPosition(c.column) + 5, header->height() / 2));
        EXPECT_EQ(LocalCaptions(Main()), c.order) << "column " << c.column;
        // The selection follows its file; the file list still has the same file selected.
        EXPECT_EQ(Main().flbLocalFiles.SelectedNames(), std::vector<std::string>{"mid.dat"});
        const int row = static_cast<int>(c.order.indexOf("mid.dat"));
        EXPECT_TRUE(Main().lvLocalDir->IsSelected(row));
        EXPECT_EQ(Main().LocalRowFile(row), Main().flbLocalFiles.IndexOf("mid.dat"));
    }
    // A refill keeps the chosen order.
    Main().RefillLocalList();
    EXPECT_EQ(LocalCaptions(Main()), cases[4].order);
}

TEST_F(LocalDesktopTest, KeysMoveAboutTheLocalList)
{
    Main().GoLocalFolder(Root);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&Main()));
    Main().lvLocalDir->ReportView()->setFocus();
    struct Case {
        const char* pick;   // current row before the key; null: leave it
        Qt::Key key;
        QString folder;     // shown afterwards
        const char* current;   // current row afterwards; null: not checked
    };
    const Case cases[] = {
        {"docs", Qt::Key_Return, Root + "/docs", nullptr},
        {"sub", Qt::Key_Enter, Root + "/docs/sub", nullptr},
        {nullptr, Qt::Key_Backspace, Root + "/docs", "sub"},   // back up, on the folder we left
        {"..", Qt::Key_Return, Root, "docs"},
    };
    for (const Case& c : cases) {
        if (c.pick)
            PickRow(Main().lvLocalDir, c.pick);
        Key(Main().lvLocalDir, c.key);
        EXPECT_EQ(Dir(), c.folder) << c.pick;
        if (c.current) {
            const int row = Main().lvLocalDir->ItemIndex();
            ASSERT_GE(row, 0);
            EXPECT_EQ(Main().lvLocalDir->Model()->Item(row).Caption, c.current);
        }
    }
    // Enter on a file opens it with the desktop's program.
    Main().GoLocalFolder(Root + "/docs");
    QStringList opened;
    Main().OnShellOpen = [&](const QString& path) { opened << path; };
    PickRow(Main().lvLocalDir, "a.txt");
    Key(Main().lvLocalDir, Qt::Key_Return);
    EXPECT_EQ(opened, QStringList{Root + "/docs/a.txt"});

    // F5 reads the folder again.
    Put(Root + "/docs/new.txt");
    Key(Main().lvLocalDir, Qt::Key_F5);
    EXPECT_TRUE(LocalCaptions(Main()).contains("new.txt"));
}

TEST_F(LocalDesktopTest, DeleteAsksFirstAndF2Renames)
{
    Main().GoLocalFolder(Root + "/docs");
    QStringList questions;
    bool answer = false;
    Main().OnConfirm = [&](const QString& q) {
        questions << q;
        return answer;
    };
    struct Case {
        const char* pick;
        bool yes;
        bool gone;
    };
    const Case cases[] = {
        {"a.txt", false, false},
        {"a.txt", true, true},
        {"sub", true, true},    // a folder with what it holds
        {"..", true, false},    // never the parent: nothing is asked
    };
    Put(Root + "/docs/sub/inner.txt");
    int asked = 0;
    for (const Case& c : cases) {
        PickRow(Main().lvLocalDir, c.pick);
        answer = c.yes;
        Key(Main().lvLocalDir, Qt::Key_Delete);
        if (QString(c.pick) != "..")
            ++asked;
        EXPECT_EQ(questions.size(), asked) << c.pick;
        const QString path = Root + "/docs/" + c.pick;
        EXPECT_EQ(QFileInfo::exists(path), !c.gone) << c.pick;
        EXPECT_EQ(LocalCaptions(Main()).contains(c.pick), !c.gone) << c.pick;
    }
    EXPECT_EQ(questions.value(0), "Delete \"a.txt\" from the disk?");

    // F2: the input dialog with the old name; a name that exists is refused.
    QString asked2;
    QString typed = "renamed.dat";
    Forms->InputDialog->OnShowModal = [&] {
        asked2 = Forms->InputDialog->txtResult->text();
        Forms->InputDialog->txtResult->setText(typed);
        return static_cast<int>(QDialog::Accepted);
    };
    PickRow(Main().lvLocalDir, "mid.dat");
    Key(Main().lvLocalDir, Qt::Key_F2);
    EXPECT_EQ(asked2, "mid.dat");
    EXPECT_TRUE(QFileInfo::exists(Root + "/docs/renamed.dat"));
    EXPECT_TRUE(LocalCaptions(Main()).contains("renamed.dat"));
    typed = "big.bin";
    PickRow(Main().lvLocalDir, "renamed.dat");
    Key(Main().lvLocalDir, Qt::Key_F2);
    EXPECT_TRUE(QFileInfo::exists(Root + "/docs/renamed.dat")) << "no file is lost by a rename";
    EXPECT_EQ(QFile(Root + "/docs/big.bin").size(), 300);
}

TEST_F(LocalDesktopTest, ThePathFieldGoesWhereTyped)
{
    struct Case {
        QString typed;
        QString folder;   // shown afterwards
        bool error;
    };
    const Case cases[] = {
        {Root + "/pics", Root + "/pics", false},
        {"../docs/sub", Root + "/docs/sub", false},   // relative to the shown folder
        {Root + "/no such folder", Root + "/docs/sub", true},
        {Root + "/.secret", Root + "/.secret", false},  // a hidden folder the tree does not show
        {"~", QDir::homePath(), false},
    };
    Main().GoLocalFolder(Root);
    for (const Case& c : cases) {
        Main().txtLocalPath->setText(c.typed);
        QTest::keyClick(Main().txtLocalPath, Qt::Key_Return);
        EXPECT_EQ(Dir(), c.folder) << c.typed.toStdString();
        EXPECT_EQ(apptest::Lines(Main().txtUserLog).contains("!ERROR: No such folder: " + c.typed), c.error);
    }
}

TEST_F(LocalDesktopTest, TheListFollowsTheFolderOnDiskAndKeepsTheSelection)
{
    Main().GoLocalFolder(Root + "/docs");
    PickRow(Main().lvLocalDir, "big.bin");
    Main().RemotePaneActive = true;
    Put(Root + "/docs/arrived.txt");
    ASSERT_TRUE(PumpUntil([&] { return LocalCaptions(Main()).contains("arrived.txt"); }, 15000));
    EXPECT_EQ(Main().flbLocalFiles.SelectedNames(), std::vector<std::string>{"big.bin"});
    EXPECT_TRUE(Main().RemotePaneActive) << "following the disk is no work in the local pane";
    ASSERT_EQ(::unlink(BytesFromText(Root + "/docs/arrived.txt").c_str()), 0);
    EXPECT_TRUE(PumpUntil([&] { return !LocalCaptions(Main()).contains("arrived.txt"); }, 15000));

    // A change while the pane is hidden shows once the pane is back.
    Main().ShowLocalFilesPanel1->trigger();
    ASSERT_FALSE(Main().panLocal->isVisible());
    Put(Root + "/docs/while-hidden.txt");
    apptest::PumpFor(600);
    EXPECT_FALSE(LocalCaptions(Main()).contains("while-hidden.txt")) << "no work for a hidden pane";
    Main().ShowLocalFilesPanel1->trigger();
    EXPECT_TRUE(PumpUntil([&] { return LocalCaptions(Main()).contains("while-hidden.txt"); }, 15000));
}

TEST_F(LocalDesktopTest, WindowStateIsRememberedPerUser)
{
    Main().GoLocalFolder(Root + "/docs");
    Main().ShowHiddenFiles1->trigger();
    Main().lvLocalDir->ReportView()->setColumnWidth(0, 150);
    Main().lvRemoteDir->ReportView()->setColumnWidth(2, 90);
    Main().splPanes->setSizes({260, 300});
    const int local = Main().splPanes->sizes().value(0);
    Main().close();
    const QString state = TMainWindow::ViewStatePath();
    EXPECT_TRUE(state.startsWith(QString::fromLocal8Bit(qgetenv("XDG_CONFIG_HOME")) + "/ombrex-ftp/"));
    struct stat st {};
    ASSERT_EQ(::stat(BytesFromText(state).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // The next start.
    Forms.reset();
    Forms = StartProgram(App());
    PumpUntil([] { return false; }, 200);
    EXPECT_EQ(Dir(), Root + "/docs");
    EXPECT_TRUE(Main().ShowHiddenFiles1->isChecked());
    EXPECT_EQ(Main().lvLocalDir->ColumnWidth(0), 150);
    EXPECT_EQ(Main().lvRemoteDir->ColumnWidth(2), 90);
    EXPECT_EQ(Main().splPanes->sizes().value(0), local);
    QFile::remove(state);   // the other tests start as new
}

// ---- the remote list and drag and drop, against pyftpdlib ----

namespace {

class RemoteDesktopTest : public RemoteProgramTest {
protected:
    void SetUp() override
    {
        RemoteProgramTest::SetUp();
        Server = testsrv::StartPyftpdlib();
        if (!Server) {
            OMBREX_PEER_MISSING("pyftpdlib");
        }
        const std::string root = Server->Root();
        ASSERT_EQ(::mkdir((root + "/pub").c_str(), 0755), 0);
        ASSERT_TRUE(testsrv::WriteFile(root + "/remote.txt", "remote\n"));
        ASSERT_TRUE(testsrv::WriteFile(root + "/pub/inner.txt", "inner\n"));
        Local = MakeLocalFolder();
        Put(Local + "/up.txt", "upload me\n");
        Main().GoLocalFolder(Local);
        Main().AscModExPath = Temp.filePath("AscModEx.txt");   // missing: every file binary
        Forms->FileExistsForm->OnShowModal = [] { return static_cast<int>(QDialog::Rejected); };
        PressConnect(Server->Port(), QString::fromStdString(Server->User()),
                     QString::fromStdString(Server->Password()), "/", true);
        ASSERT_TRUE(WaitIdle());
        ASSERT_TRUE(Captions().contains("remote.txt"));
    }

    bool ServerHas(const std::string& path) { return ::access(Server->LocalPath(path).c_str(), F_OK) == 0; }

    // Sends a drop of data onto a list's viewport, as the desktop delivers one.
    bool Drop(TFileListView* list, QMimeData* data)
    {
        QWidget* viewport = list->ReportView()->viewport();
        const QPoint at(10, 10);
        QDragEnterEvent enter(at, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(viewport, &enter);
        if (!enter.isAccepted()) {
            delete data;
            return false;
        }
        QDropEvent drop(at, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(viewport, &drop);
        delete data;
        return drop.isAccepted();
    }

    std::unique_ptr<testsrv::FtpServer> Server;
    QString Local;
};

} // namespace

TEST_F(RemoteDesktopTest, KeysOfTheRemoteList)
{
    QStringList questions;
    Main().OnConfirm = [&](const QString& q) {
        questions << q;
        return true;
    };
    Forms->InputDialog->OnShowModal = [&] {
        Forms->InputDialog->txtResult->setText("renamed.txt");
        return static_cast<int>(QDialog::Accepted);
    };
    struct Case {
        const char* pick;
        Qt::Key key;
        QString dir;          // the remote directory afterwards
        const char* row;      // a row that must be there afterwards, or null
    };
    const Case cases[] = {
        {"pub", Qt::Key_Return, "/pub", "inner.txt"},
        {nullptr, Qt::Key_Backspace, "/", "pub"},
        {"remote.txt", Qt::Key_F2, "/", "renamed.txt"},
        {nullptr, Qt::Key_F5, "/", "renamed.txt"},
    };
    for (const Case& c : cases) {
        if (c.pick)
            PickRow(Main().lvRemoteDir, c.pick);
        Key(Main().lvRemoteDir, c.key);
        ASSERT_TRUE(WaitIdle());
        EXPECT_EQ(Main().lblCurrentRemoteDir->text(), c.dir) << c.pick;
        EXPECT_EQ(Main().txtRemotePath->text(), c.dir) << "the path field follows";
        if (c.row) {
            EXPECT_TRUE(Captions().contains(c.row)) << c.row;
        }
    }
    EXPECT_TRUE(ServerHas("/renamed.txt"));
    // Delete asks, then removes.
    PickRow(Main().lvRemoteDir, "renamed.txt");
    Key(Main().lvRemoteDir, Qt::Key_Delete);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(questions, QStringList{"Remove \"renamed.txt\" from the server?"});
    EXPECT_FALSE(ServerHas("/renamed.txt"));
    EXPECT_FALSE(Captions().contains("renamed.txt"));

    // The path field changes the directory.
    Main().txtRemotePath->setText("/pub");
    QTest::keyClick(Main().txtRemotePath, Qt::Key_Return);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Main().lblCurrentRemoteDir->text(), "/pub");
}

TEST_F(RemoteDesktopTest, DragAndDropTransfersBetweenThePanes)
{
    // Local to remote: an upload of the local selection.
    PickRow(Main().lvLocalDir, "up.txt");
    QMimeData* local = Main().DragData(false);
    EXPECT_EQ(local->urls(), QList<QUrl>{QUrl::fromLocalFile(Local + "/up.txt")}) << "other programs get the files";
    ASSERT_TRUE(Drop(Main().lvRemoteDir, local));
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(testsrv::ReadFile(Server->LocalPath("/up.txt")), "upload me\n");

    // Remote to local: a download of the remote selection.
    SelectRemote({"remote.txt"});
    ASSERT_TRUE(Drop(Main().lvLocalDir, Main().DragData(true)));
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(apptest::ReadBytes(Local + "/remote.txt"), "remote\n");
    EXPECT_TRUE(LocalCaptions(Main()).contains("remote.txt"));

    // A pane's own drag dropped back onto itself does nothing.
    EXPECT_FALSE(Drop(Main().lvLocalDir, Main().DragData(false)));

    // From a file manager: files of another folder are uploaded; folders are not.
    const QString elsewhere = Temp.filePath("elsewhere");
    ASSERT_TRUE(QDir().mkpath(elsewhere + "/folder"));
    Put(elsewhere + "/fm one.txt", "one\n");
    Put(elsewhere + "/fm-two.bin", "two\n");
    auto* fromDesktop = new QMimeData;
    fromDesktop->setUrls({QUrl::fromLocalFile(elsewhere + "/fm one.txt"), QUrl::fromLocalFile(elsewhere + "/fm-two.bin"),
                          QUrl::fromLocalFile(elsewhere + "/folder")});
    ASSERT_TRUE(Drop(Main().lvRemoteDir, fromDesktop));
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(testsrv::ReadFile(Server->LocalPath("/fm one.txt")), "one\n");
    EXPECT_EQ(testsrv::ReadFile(Server->LocalPath("/fm-two.bin")), "two\n");
    EXPECT_FALSE(ServerHas("/folder"));
    EXPECT_TRUE(UserLogHas("!WARNING: Only files are uploaded: " + elsewhere + "/folder"));
    EXPECT_EQ(TextFromBytes(Main().flbLocalFiles.Directory()), elsewhere) << "the local pane shows where they came from";

    // Not connected: nothing is accepted.
    Main().btnDisconnectClick();
    ASSERT_TRUE(PumpUntil([&] { return !Main().ControlConnectionOpen(); }));
    auto* late = new QMimeData;
    late->setUrls({QUrl::fromLocalFile(elsewhere + "/fm one.txt")});
    EXPECT_FALSE(Drop(Main().lvRemoteDir, late));
}
