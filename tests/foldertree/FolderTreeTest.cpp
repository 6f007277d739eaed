// The folder tree on temporary folders: building, lazy filling, the watchers' refreshes,
// drives and media changes, events, and the watchers' lifetime.
#include "TreeTestSupport.h"

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QFileInfo>
#include <QFocusEvent>

#include <sys/mount.h>
#include <unistd.h>

#include <cstdlib>

using namespace treetest;

// The exit tests end the process with std::exit while the application object (on main's
// stack) is still alive, so fontconfig's cache, which Qt frees at its own teardown, is
// still held then. That memory is Qt's, not the tree's.
#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libfontconfig.so\n";
}
#endif

namespace {

bool PathWithinForTest(const std::string& folder, const std::string& path)
{
    return path.compare(0, folder.size(), folder) == 0 && (path.size() == folder.size() || path[folder.size()] == '/');
}

} // namespace

// ---- building ----

using FolderTreeBuild = TreeFixture;

TEST_F(FolderTreeBuild, RootIsDesktopWithComputerFirstThenSortedFolders)
{
    for (const char* d : {"desk/beta", "desk/Alpha", "desk/.hidden", "desk/gamma/deep"})
        Mkdir(d);
    Touch("desk/afile.txt");
    ASSERT_EQ(symlink(Path("driveB").c_str(), Path("desk/linked").c_str()), 0);
    ASSERT_EQ(symlink("/nonexistent/nowhere", Path("desk/dangling").c_str()), 0);

    TFolderTree& tree = MakeTree();
    TFolderNode* root = tree.RootNode();
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->Label.toStdString(), "Desktop");
    EXPECT_EQ(root->NodeKind, nkDesktop);
    EXPECT_FALSE(root->HasParent);
    EXPECT_EQ(root->Path, RootPath);
    EXPECT_EQ(tree.FolderModel()->rowCount(), 1) << "the desktop is the single root";
    EXPECT_TRUE(tree.isExpanded(tree.IndexOf(root)));
    EXPECT_EQ(Labels(root), (std::vector<std::string>{"Computer", ".hidden", "Alpha", "beta", "gamma", "linked"}));
    EXPECT_EQ(tree.ComputerNode(), root->Children[0].get());
    EXPECT_EQ(tree.ComputerNode()->NodeKind, nkDrives);
    EXPECT_EQ(tree.NetworkNode(), nullptr);
    EXPECT_EQ(tree.RecycleBinNode(), nullptr);
    EXPECT_TRUE(Node("desk/linked")->IsLink);
    ExpectConsistent(tree);
}

TEST_F(FolderTreeBuild, OptionalNodesComeAfterTheComputer)
{
    Mkdir("desk/folder");
    TFolderTree& tree = MakeTree(foNetworkNeighborhood | foRecycleBin);
    EXPECT_EQ(Labels(tree.RootNode()), (std::vector<std::string>{"Computer", "Network", "Trash", "folder"}));
    EXPECT_EQ(tree.NetworkNode()->NodeKind, nkNetwork);
    EXPECT_EQ(tree.NetworkNode()->Path, "//");
    EXPECT_EQ(tree.RecycleBinNode()->NodeKind, nkRecycleBin);
    EXPECT_TRUE(tree.RecycleBinNode()->Path.empty());
    // Nothing there to browse: expanding them adds nothing and leaves no button.
    EXPECT_FALSE(Expand(tree.NetworkNode()));
    EXPECT_FALSE(tree.FolderModel()->hasChildren(tree.IndexOf(tree.NetworkNode())));
    ExpectConsistent(tree);
}

TEST_F(FolderTreeBuild, NothingBelowAFolderIsReadBeforeItIsExpanded)
{
    Mkdir("desk/a/b/c");
    Mkdir("desk/a/b2");
    TFolderTree& tree = MakeTree();
    TFolderNode* a = Node("desk/a");
    ASSERT_NE(a, nullptr);
    EXPECT_TRUE(a->Children.empty());
    EXPECT_TRUE(a->HasButton) << "it has sub-folders";
    EXPECT_EQ(a->Watcher, nullptr);
    EXPECT_EQ(Node("desk/a/b"), nullptr);
    EXPECT_EQ(tree.ComputerNode()->Children.size(), 0u);
    EXPECT_EQ(tree.FolderModel()->NodeCount(), 3u);   // desktop, computer, a

    ASSERT_TRUE(Expand(a));
    EXPECT_EQ(Labels(a), (std::vector<std::string>{"b", "b2"}));
    EXPECT_TRUE(Node("desk/a/b")->HasButton);
    EXPECT_FALSE(Node("desk/a/b2")->HasButton) << "no sub-folders, no button";
    EXPECT_TRUE(Node("desk/a/b")->Children.empty());
    ExpectConsistent(tree);
}

TEST_F(FolderTreeBuild, FolderWithoutSubFoldersLosesItsButtonAndGetsNoWatcher)
{
    Mkdir("desk/a/only");
    TFolderTree& tree = MakeTree();
    TFolderNode* a = Node("desk/a");
    ASSERT_TRUE(a->HasButton);
    // The sub-folder goes, a file comes; the root's watcher does not see inside a.
    ASSERT_TRUE(QDir(Abs("desk/a/only")).removeRecursively());
    Touch("desk/a/file.txt");
    EXPECT_FALSE(Expand(a)) << "a node without children must not open";
    EXPECT_FALSE(a->HasButton);
    EXPECT_FALSE(tree.FolderModel()->hasChildren(tree.IndexOf(a)));
    EXPECT_EQ(a->Watcher, nullptr);
    ExpectConsistent(tree);
}

TEST_F(FolderTreeBuild, UnreadableDriveKeepsItsButtonAndDoesNotOpen)
{
    TDriveInfo empty = Drive(Path("cardreader"), "Card");   // no such folder: no medium
    empty.Removable = true;
    empty.Ready = false;
    Drives.push_back(empty);
    TFolderTree& tree = MakeTree();
    ASSERT_TRUE(Expand(tree.ComputerNode()));
    TFolderNode* card = tree.ComputerNode()->Children[2].get();
    ASSERT_EQ(card->Label.toStdString(), "Card");
    EXPECT_TRUE(card->HasButton);
    EXPECT_FALSE(Expand(card));
    EXPECT_TRUE(card->HasButton) << "the failed read keeps the button";
    EXPECT_EQ(card->Serial, -1);
    EXPECT_EQ(card->Watcher, nullptr);
    ExpectConsistent(tree);
}

TEST_F(FolderTreeBuild, DrivesKeepTheSystemsOrderAndGiveTheirPaths)
{
    Drives = {Drive(Path("driveB"), "Zulu"), Drive(Path("driveA"), "Alpha")};
    TFolderTree& tree = MakeTree();
    ASSERT_TRUE(Expand(tree.ComputerNode()));
    EXPECT_EQ(Labels(tree.ComputerNode()), (std::vector<std::string>{"Zulu", "Alpha"}));
    TFolderNode* alpha = tree.ComputerNode()->Children[1].get();
    EXPECT_TRUE(alpha->HasButton);
    EXPECT_FALSE(tree.ComputerNode()->Children[0]->HasButton);
    EXPECT_EQ(tree.ComputerNode()->Watcher, nullptr) << "the computer has no folder to watch";

    tree.SelectNode(tree.ComputerNode());
    EXPECT_EQ(tree.SelectedPath(), "");
    tree.SelectNode(alpha);
    EXPECT_EQ(tree.SelectedPath(), Path("driveA"));
    ASSERT_TRUE(Expand(alpha));
    EXPECT_NE(alpha->Watcher, nullptr);
    ExpectConsistent(tree);
}

TEST_F(FolderTreeBuild, LabelsFollowTheDisplayMode)
{
    Mkdir("desk/MiXed");
    struct {
        TDisplayMode mode;
        const char* label;
    } table[] = {{dmAsis, "MiXed"}, {dmUppercase, "MIXED"}, {dmLowercase, "mixed"}};
    for (auto& row : table) {
        TFolderTree& tree = MakeTree(0, row.mode);
        EXPECT_EQ(Labels(tree.RootNode()), (std::vector<std::string>{"Computer", row.label}));
        EXPECT_EQ(tree.RootNode()->Label.toStdString(), "Desktop");
    }
}

TEST_F(FolderTreeBuild, SortsWithoutRegardToCaseLowerCaseFirstOnATie)
{
    for (const char* d : {"desk/b", "desk/B", "desk/a", "desk/_x", "desk/10", "desk/9", "desk/Ä", "desk/z"})
        Mkdir(d);
    TFolderTree& tree = MakeTree();
    std::vector<std::string> labels = Labels(tree.RootNode());
    labels.erase(labels.begin());
    EXPECT_EQ(labels, (std::vector<std::string>{"10", "9", "_x", "a", "b", "B", "z", "Ä"}));
}

TEST_F(FolderTreeBuild, RebuildTwiceGivesTheSameTreeAndStopsOldWatchers)
{
    Mkdir("desk/a/b");
    TFolderTree& tree = MakeTree();
    ASSERT_TRUE(Expand(Node("desk/a")));
    std::shared_ptr<TThDirChange> old = Node("desk/a")->Watcher;
    ASSERT_NE(old, nullptr);
    tree.Rebuild();
    EXPECT_TRUE(old->Terminated());
    EXPECT_EQ(Labels(tree.RootNode()), (std::vector<std::string>{"Computer", "a"}));
    EXPECT_TRUE(Node("desk/a")->Children.empty());
    ExpectConsistent(tree);
}

TEST_F(FolderTreeBuild, BusyCursorShowsWhileANodeFills)
{
    TFolderTree& tree = MakeTree();
    int seenShape = -1;
    bool filling = false;   // the mount table may also make the tree read its drives
    tree.SetDriveLister([&] {
        if (filling)
            seenShape = QApplication::overrideCursor() ? QApplication::overrideCursor()->shape() : -1;
        return Drives;
    });
    filling = true;
    tree.expand(tree.IndexOf(tree.ComputerNode()));
    filling = false;
    EXPECT_EQ(seenShape, Qt::WaitCursor);
    EXPECT_EQ(tree.ComputerNode()->Children.size(), 2u);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr) << "the cursor must come back";
}

TEST_F(FolderTreeBuild, SelectPathReadsDownToTheFolder)
{
    Mkdir("desk/a/b/c");
    Mkdir("driveA/x/y");
    TFolderTree& tree = MakeTree();
    EXPECT_TRUE(tree.SelectPath(Path("desk/a/b/c/")));
    EXPECT_EQ(tree.SelectedPath(), Path("desk/a/b/c"));
    EXPECT_TRUE(tree.isExpanded(tree.IndexOf(Node("desk/a/b"))));
    EXPECT_TRUE(tree.SelectPath(Path("driveA/x/y")));
    EXPECT_EQ(tree.SelectedPath(), Path("driveA/x/y"));
    EXPECT_TRUE(tree.isExpanded(tree.IndexOf(tree.ComputerNode())));
    EXPECT_FALSE(tree.SelectPath(Path("driveA/x/nothing")));
    EXPECT_EQ(tree.SelectedPath(), Path("driveA/x"));
    ExpectConsistent(tree);
}

// ---- watchers ----

using FolderTreeWatch = TreeFixture;

TEST_F(FolderTreeWatch, ExpandedFolderIsWatchedAndReExpandingKeepsItsWatcher)
{
    Mkdir("desk/a/x");
    TFolderTree& tree = MakeTree();
    TFolderNode* a = Node("desk/a");
    ASSERT_TRUE(Expand(a));
    std::shared_ptr<TThDirChange> watcher = a->Watcher;
    ASSERT_NE(watcher, nullptr);
    EXPECT_EQ(watcher->Path(), Path("desk/a"));
    const int live = TThDirChange::LiveCount();
    tree.collapse(tree.IndexOf(a));
    ASSERT_TRUE(Expand(a));
    EXPECT_EQ(a->Watcher, watcher);
    EXPECT_EQ(TThDirChange::LiveCount(), live);
    ExpectConsistent(tree);
}

TEST_F(FolderTreeWatch, SubFolderChangesOnDiskShowUpWhileTheNodeStaysExpanded)
{
    Mkdir("desk/a/x");
    Mkdir("desk/a/y");
    TFolderTree& tree = MakeTree();
    ASSERT_TRUE(Expand(Node("desk/a")));
    PumpFor(50);   // let the watcher open its watch

    struct {
        const char* what;
        std::function<void()> change;
        std::vector<std::string> expected;
    } steps[] = {
        {"created", [&] { Mkdir("desk/a/new"); }, {"new", "x", "y"}},
        {"renamed", [&] { ASSERT_TRUE(QDir().rename(Abs("desk/a/new"), Abs("desk/a/Renamed"))); }, {"Renamed", "x", "y"}},
        {"removed", [&] { ASSERT_TRUE(QDir().rmdir(Abs("desk/a/x"))); }, {"Renamed", "y"}},
        {"moved in", [&] { ASSERT_TRUE(QDir().rename(Abs("driveB"), Abs("desk/a/in"))); }, {"in", "Renamed", "y"}},
    };
    for (auto& step : steps) {
        SCOPED_TRACE(step.what);
        step.change();
        EXPECT_TRUE(WaitFor([&] { TFolderNode* a = Node("desk/a"); return a && Labels(a) == step.expected; }, kGenerousMs));
        TFolderNode* a = Node("desk/a");
        ASSERT_NE(a, nullptr);
        EXPECT_TRUE(tree.isExpanded(tree.IndexOf(a)));
        ExpectConsistent(tree, step.what);
    }
}

TEST_F(FolderTreeWatch, CreatingAFileChangesNothing)
{
    Mkdir("desk/a/x");
    TFolderTree& tree = MakeTree();
    TFolderNode* a = Node("desk/a");
    ASSERT_TRUE(Expand(a));
    PumpFor(50);
    const std::uint64_t childId = a->Children[0]->Id;
    const long notifications = TThDirChange::NotificationCount();
    Touch("desk/a/file.txt");
    Touch("desk/a/x/inner.txt");
    ASSERT_TRUE(QFile::rename(Abs("desk/a/file.txt"), Abs("desk/a/file2.txt")));
    ASSERT_TRUE(QFile::remove(Abs("desk/a/file2.txt")));
    PumpFor(300);
    EXPECT_EQ(TThDirChange::NotificationCount(), notifications);
    ASSERT_EQ(a->Children.size(), 1u);
    EXPECT_EQ(a->Children[0]->Id, childId) << "the node was re-read";
    ExpectConsistent(tree);
}

TEST_F(FolderTreeWatch, DeletingANodeEndsItsWatcherWithinACycle)
{
    Mkdir("desk/a/x");
    TFolderTree& tree = MakeTree();
    TFolderNode* a = Node("desk/a");
    ASSERT_TRUE(Expand(a));
    PumpFor(50);
    std::shared_ptr<TThDirChange> watcher = a->Watcher;
    ASSERT_NE(watcher, nullptr);
    const int live = TThDirChange::LiveCount();
    tree.DeleteNode(a);
    EXPECT_TRUE(watcher->Terminated());
    // It ends at the end of its cycle, not at the folder's next change (nothing changes
    // here). How fast that is (one 20 ms cycle) is measured by the folder-tree benchmark.
    EXPECT_TRUE(WaitFor([&] { return watcher->Finished(); }, kGenerousMs));
    EXPECT_TRUE(WaitFor([&] { return TThDirChange::LiveCount() == live - 1; }, kGenerousMs));
    ExpectConsistent(tree, "", false);
}

TEST_F(FolderTreeWatch, RefreshForADeletedNodeIsIgnored)
{
    Mkdir("desk/a/x");
    TFolderTree& tree = MakeTree();
    TFolderNode* a = Node("desk/a");
    ASSERT_TRUE(Expand(a));
    const std::uint64_t id = a->Id;
    tree.DeleteNode(a);
    const std::size_t nodes = tree.FolderModel()->NodeCount();
    for (std::uint64_t stale : {id, std::uint64_t(999999), std::uint64_t(0)})
        platform::SendMessage(tree.WindowHandle(), TFolderTree::WM_REFRESHNODE, 0, platform::LPARAM(stale));
    EXPECT_EQ(tree.FolderModel()->NodeCount(), nodes);
    ExpectConsistent(tree, "", false);
}

TEST_F(FolderTreeWatch, RefreshQueuedBeforeTheNodeWasDeletedIsIgnored)
{
    Mkdir("desk/a/x");
    TFolderTree& tree = MakeTree();
    TFolderNode* a = Node("desk/a");
    ASSERT_TRUE(Expand(a));
    PumpFor(50);
    std::shared_ptr<TThDirChange> watcher = a->Watcher;
    const long notifications = TThDirChange::NotificationCount();
    Mkdir("desk/a/new");
    // The watcher now blocks in its refresh request, which the UI thread has not seen.
    const auto start = platform::GetTickCount64();
    while (TThDirChange::NotificationCount() == notifications && platform::GetTickCount64() - start < 1000)
        platform::Sleep(1);
    ASSERT_GT(TThDirChange::NotificationCount(), notifications);
    tree.DeleteNode(a);
    platform::PumpMessages();   // delivers the request for the deleted node
    EXPECT_TRUE(WaitFor([&] { return watcher->Finished(); }, kGenerousMs));
    EXPECT_EQ(tree.FindNode(Path("desk/a/new")), nullptr);
    ExpectConsistent(tree, "", false);
}

TEST_F(FolderTreeWatch, NoWatcherIsLeftWhenTheTreeIsDestroyed)
{
    Mkdir("desk/a/x/y");
    Mkdir("desk/b/z");
    TFolderTree& tree = MakeTree();
    ASSERT_TRUE(Expand(Node("desk/a")));
    ASSERT_TRUE(Expand(Node("desk/a/x")));
    ASSERT_TRUE(Expand(Node("desk/b")));
    ASSERT_TRUE(Expand(tree.ComputerNode()));
    ASSERT_TRUE(Expand(tree.ComputerNode()->Children[0].get()));
    EXPECT_GE(TThDirChange::LiveCount(), FLiveBefore + 5);
    std::vector<std::shared_ptr<TThDirChange>> watchers{Node("desk/a")->Watcher, Node("desk/b")->Watcher,
                                                        tree.RootNode()->Watcher};
    Tree.reset();
    for (auto& w : watchers)
        EXPECT_TRUE(w->Terminated());
    EXPECT_TRUE(WaitFor([this] { return TThDirChange::LiveCount() == FLiveBefore; }, kGenerousMs));
}

TEST_F(FolderTreeWatch, TreeDestroyedWhileAWatcherWaitsForItsRefresh)
{
    Mkdir("desk/a/x");
    MakeTree();
    ASSERT_TRUE(Expand(Node("desk/a")));
    PumpFor(50);
    std::shared_ptr<TThDirChange> watcher = Node("desk/a")->Watcher;
    const long notifications = TThDirChange::NotificationCount();
    Mkdir("desk/a/new");
    Mkdir("desk/other");
    while (TThDirChange::NotificationCount() < notifications + 2)
        platform::Sleep(1);
    Tree.reset();   // with two watchers blocked in their requests
    EXPECT_TRUE(WaitFor([&] { return watcher->Finished(); }, kGenerousMs));
    EXPECT_TRUE(WaitFor([this] { return TThDirChange::LiveCount() == FLiveBefore; }, kGenerousMs));
}

TEST_F(FolderTreeWatch, WatchedFolderThatVanishesIsRetriedWithoutSpinning)
{
    Mkdir("desk/x");
    TFolderTree& tree = MakeTree();
    TFolderNode* root = tree.RootNode();
    ASSERT_NE(root->Watcher, nullptr);
    PumpFor(50);
    ASSERT_TRUE(QDir(Abs("desk")).removeRecursively());
    // Three more attempts take at least two pauses: a watcher in a loop would make them at
    // once. (Load only makes the attempts later, never earlier.)
    const long attempts = TThDirChange::OpenAttemptCount();
    const auto start = platform::GetTickCount64();
    ASSERT_TRUE(WaitFor([&] { return TThDirChange::OpenAttemptCount() >= attempts + 3; }, kGenerousMs));
    EXPECT_GE(platform::GetTickCount64() - start, std::uint64_t(TThDirChange::kRetryPauseMs)) << "the watcher must pause between attempts";
    EXPECT_FALSE(root->Watcher->Finished()) << "it keeps trying while its node lives";
    // The folder comes back with other sub-folders: the tree re-reads it.
    Mkdir("desk/back");
    EXPECT_TRUE(WaitFor([&] { return tree.FindNode(Path("desk/back")) != nullptr; }, kGenerousMs));
    EXPECT_EQ(tree.FindNode(Path("desk/x")), nullptr);
    ExpectConsistent(tree);
}

TEST_F(FolderTreeWatch, PollingWatchersSeeTheSameChanges)
{
    TThDirChange::SetForcePolling(true);
    Mkdir("desk/a/x");
    TFolderTree& tree = MakeTree();
    ASSERT_TRUE(Expand(Node("desk/a")));
    EXPECT_TRUE(WaitFor([&] { return Node("desk/a")->Watcher->Polling(); }, kGenerousMs));
    PumpFor(50);
    const long notifications = TThDirChange::NotificationCount();
    Touch("desk/a/file.txt");
    PumpFor(500);
    EXPECT_EQ(TThDirChange::NotificationCount(), notifications) << "a file is no sub-folder";
    Mkdir("desk/a/new");
    EXPECT_TRUE(WaitFor([&] { return Labels(Node("desk/a")) == std::vector<std::string>{"new", "x"}; }, kGenerousMs));
    ASSERT_TRUE(QDir().rename(Abs("desk/a/new"), Abs("desk/a/old")));
    EXPECT_TRUE(WaitFor([&] { return Labels(Node("desk/a")) == std::vector<std::string>{"old", "x"}; }, kGenerousMs));
    ExpectConsistent(tree);
    TThDirChange::SetForcePolling(false);
}

// ---- drives and media ----

using FolderTreeMedia = TreeFixture;

TEST_F(FolderTreeMedia, DriveSerialTable)
{
    TDriveInfo fixed = Drive("/", "Root");
    TDriveInfo stick = Drive("/media/usb", "Stick");
    stick.Removable = true;
    stick.VolumeSerial = 0x1234;
    TDriveInfo reader = Drive("/media/card", "Card");
    reader.Removable = true;
    reader.Ready = false;
    TDriveInfo media = Drive("/media", "Media");
    std::vector<TDriveInfo> drives{fixed, stick, reader, media};
    struct {
        const char* path;
        std::int32_t serial;
    } table[] = {
        {"", -1},
        {"/", 1},
        {"/home/user", 1},
        {"/media/usb", 0x1234},
        {"/media/usb/photos/2024", 0x1234},
        {"/media/usbx", 1},   // another folder beside the stick, on "/media"
        {"/media/card", -1},
        {"/media/card/dcim", -1},
        {"relative/path", 1},
    };
    for (auto& row : table)
        EXPECT_EQ(DriveSerialOf(drives, row.path), row.serial) << row.path;
    EXPECT_EQ(DriveOfPath(drives, "/media/usb/a")->Label, "Stick");
    EXPECT_EQ(DriveOfPath(drives, "/media/x")->Label, "Media");
    EXPECT_EQ(DriveOfPath({}, "/x"), nullptr);
}

TEST_F(FolderTreeMedia, NewMediumRelabelsAndEmptiesTheDrive)
{
    Mkdir("driveA/inA/deeper");
    Drives[0].Removable = true;
    Drives[0].VolumeSerial = 111;
    TFolderTree& tree = MakeTree();
    ASSERT_TRUE(Expand(tree.ComputerNode()));
    TFolderNode* drive = tree.ComputerNode()->Children[0].get();
    ASSERT_TRUE(Expand(drive));
    EXPECT_EQ(drive->Serial, 111);
    ASSERT_TRUE(Expand(Node("driveA/inA")));
    std::shared_ptr<TThDirChange> inner = Node("driveA/inA")->Watcher;
    ASSERT_NE(inner, nullptr);

    Drives[0].VolumeSerial = 222;
    Drives[0].Label = "NEWDISK";
    platform::PostMessage(tree.WindowHandle(), TFolderTree::WM_DEVICECHANGE, TFolderTree::DBT_DEVICEARRIVAL, 0);
    platform::PumpMessages();
    EXPECT_EQ(drive->Label.toStdString(), "NEWDISK");
    EXPECT_TRUE(drive->Children.empty());
    EXPECT_TRUE(drive->HasButton);
    EXPECT_FALSE(tree.isExpanded(tree.IndexOf(drive)));
    EXPECT_TRUE(inner->Terminated());
    EXPECT_EQ(drive->Path, Path("driveA")) << "the path stays";
    // Ready to be read on the next expansion, with the new medium's serial.
    ASSERT_TRUE(Expand(drive));
    EXPECT_EQ(drive->Serial, 222);
    ExpectConsistent(tree);
}

TEST_F(FolderTreeMedia, OtherDeviceEventsAndUnchangedDrivesLeaveTheTreeAlone)
{
    TFolderTree& tree = MakeTree();
    ASSERT_TRUE(Expand(tree.ComputerNode()));
    TFolderNode* drive = tree.ComputerNode()->Children[0].get();
    ASSERT_TRUE(Expand(drive));
    const std::uint64_t childId = drive->Children[0]->Id;
    for (platform::WPARAM event : {platform::WPARAM(0x0007), TFolderTree::DBT_DEVICEARRIVAL,
                                   TFolderTree::DBT_DEVICEREMOVECOMPLETE})
        platform::SendMessage(tree.WindowHandle(), TFolderTree::WM_DEVICECHANGE, event, 0);
    ASSERT_EQ(drive->Children.size(), 1u);
    EXPECT_EQ(drive->Children[0]->Id, childId);
    EXPECT_TRUE(tree.isExpanded(tree.IndexOf(drive)));
}

TEST_F(FolderTreeMedia, MountedAndUnmountedVolumesComeAndGo)
{
    Mkdir("driveC");
    TFolderTree& tree = MakeTree();
    ASSERT_TRUE(Expand(tree.ComputerNode()));
    TFolderNode* driveA = tree.ComputerNode()->Children[0].get();
    ASSERT_TRUE(Expand(driveA));
    std::shared_ptr<TThDirChange> watcher = driveA->Watcher;

    Drives = {Drive(Path("driveC"), "Disk C"), Drive(Path("driveB"), "Disk B")};
    tree.CheckMounts();
    EXPECT_EQ(Labels(tree.ComputerNode()), (std::vector<std::string>{"Disk C", "Disk B"}));
    EXPECT_TRUE(watcher->Terminated()) << "the unmounted drive's watcher ends with its node";
    ExpectConsistent(tree);

    Drives.push_back(Drive(Path("driveA"), "Disk A"));
    tree.CheckMounts();
    EXPECT_EQ(Labels(tree.ComputerNode()), (std::vector<std::string>{"Disk C", "Disk B", "Disk A"}));
    ExpectConsistent(tree);
}

TEST_F(FolderTreeMedia, ClickOnADriveWithAnotherMediumReReadsIt)
{
    Drives[0].Removable = true;
    Drives[0].VolumeSerial = 5;
    TFolderTree& tree = MakeTree();
    ASSERT_TRUE(Expand(tree.ComputerNode()));
    TFolderNode* drive = tree.ComputerNode()->Children[0].get();
    ASSERT_TRUE(Expand(drive));
    ASSERT_EQ(drive->Serial, 5);

    tree.CheckMediaOnClick(drive);   // same medium: nothing happens
    EXPECT_EQ(drive->Children.size(), 1u);

    Drives[0].VolumeSerial = 6;
    tree.CheckMediaOnClick(drive);
    EXPECT_TRUE(drive->Children.empty());
    EXPECT_EQ(drive->Serial, 6);

    // A drive that had no medium is left to the mount table's notification.
    ASSERT_TRUE(Expand(drive));
    drive->Serial = -1;
    Drives[0].VolumeSerial = 7;
    tree.CheckMediaOnClick(drive);
    EXPECT_EQ(drive->Children.size(), 1u);
    EXPECT_EQ(drive->Serial, 7);
    ExpectConsistent(tree);
}

TEST_F(FolderTreeMedia, MountingAVolumeIsNoticedFromTheMountTable)
{
    int reads = 0;
    TFolderTree& tree = MakeTree();
    tree.SetDriveLister([&] {
        ++reads;
        return Drives;
    });
    ASSERT_TRUE(Expand(tree.ComputerNode()));
    Mkdir("mnt");
    const int before = reads;
    if (::mount("none", Path("mnt").c_str(), "tmpfs", 0, nullptr) != 0)
        GTEST_SKIP() << "mounting is not allowed here";
    const bool mounted = WaitFor([&] { return reads > before; }, kGenerousMs);
    const int afterMount = reads;
    ::umount2(Path("mnt").c_str(), MNT_DETACH);
    EXPECT_TRUE(mounted) << "the mount table's change went unnoticed";
    EXPECT_TRUE(WaitFor([&] { return reads > afterMount; }, kGenerousMs)) << "the unmount went unnoticed";
}

TEST_F(FolderTreeMedia, SystemDriveListStartsWithTheRootFileSystem)
{
    std::vector<TDriveInfo> drives = ListSystemDrives();
    ASSERT_FALSE(drives.empty());
    EXPECT_EQ(drives.front().Path, "/");
    EXPECT_FALSE(drives.front().Label.empty());
    std::set<std::string> seen;
    for (const TDriveInfo& d : drives) {
        EXPECT_TRUE(seen.insert(d.Path).second) << d.Path << " listed twice";
        EXPECT_TRUE(QFileInfo(QString::fromStdString(d.Path)).isDir()) << d.Path;
        for (const char* pseudo : {"/proc", "/sys", "/dev"})
            EXPECT_FALSE(PathWithinForTest(pseudo, d.Path)) << d.Path << " is no drive";
        if (d.Removable && d.Ready) {
            EXPECT_NE(d.VolumeSerial, 1);
            EXPECT_NE(d.VolumeSerial, -1);
        }
    }
}

// ---- events ----

using FolderTreeEvents = TreeFixture;

TEST_F(FolderTreeEvents, ChangeFiresWithTheNewSelectionAndEnterOnFocus)
{
    Mkdir("desk/a");
    TFolderTree& tree = MakeTree();
    std::vector<std::string> changes;
    int enters = 0, exits = 0;
    tree.OnChange = [&](TFolderTree* sender, TFolderNode* node) {
        EXPECT_EQ(sender, &tree);
        changes.push_back(node ? node->Label.toStdString() : "<none>");
        EXPECT_EQ(tree.SelectedPath(), tree.NodePath(node));
    };
    tree.OnEnter = [&](TFolderTree*) { ++enters; };
    tree.OnExit = [&](TFolderTree*) { ++exits; };
    tree.SelectNode(Node("desk/a"));
    tree.SelectNode(tree.ComputerNode());
    tree.SelectNode(tree.ComputerNode());   // no change, no event
    tree.SelectNode(tree.RootNode());
    EXPECT_EQ(changes, (std::vector<std::string>{"a", "Computer", "Desktop"}));
    EXPECT_EQ(tree.SelectedPath(), RootPath);

    QFocusEvent in(QEvent::FocusIn, Qt::TabFocusReason), out(QEvent::FocusOut, Qt::TabFocusReason);
    QApplication::sendEvent(&tree, &in);
    QApplication::sendEvent(&tree, &out);
    EXPECT_EQ(enters, 1);
    EXPECT_EQ(exits, 1);
}

TEST_F(FolderTreeEvents, EmptyEventsAreSkipped)
{
    Mkdir("desk/a");
    TFolderTree& tree = MakeTree();
    tree.SelectNode(Node("desk/a"));
    QFocusEvent in(QEvent::FocusIn, Qt::TabFocusReason);
    QApplication::sendEvent(&tree, &in);
    EXPECT_EQ(tree.SelectedPath(), Path("desk/a"));
}

// ---- the model under Qt's own checker ----

TEST_F(FolderTreeWatch, ModelSignalsStayConsistentUnderQtsModelTester)
{
    Mkdir("desk/a/x/y");
    Mkdir("desk/b");
    TFolderTree& tree = MakeTree(foNetworkNeighborhood | foRecycleBin);
    // The tester reads every node it can reach, so the whole small tree gets filled.
    QAbstractItemModelTester tester(tree.FolderModel(), QAbstractItemModelTester::FailureReportingMode::Fatal);
    ASSERT_TRUE(Expand(Node("desk/a")));
    PumpFor(50);
    Mkdir("desk/a/new");
    EXPECT_TRUE(WaitFor([&] { return Node("desk/a/new") != nullptr; }, kGenerousMs));
    ASSERT_TRUE(QDir(Abs("desk/a/x")).removeRecursively());
    EXPECT_TRUE(WaitFor([&] { return Node("desk/a/x") == nullptr; }, kGenerousMs));
    Drives.pop_back();
    tree.CheckMounts();
    tree.Rebuild();
    ExpectConsistent(tree);
}

// ---- former bugs ----

using FolderTreeFormerBugs = TreeFixture;

// Re-reading the desktop dropped the computer node: it is no folder on disk.
TEST_F(FolderTreeFormerBugs, RefreshOfTheRootKeepsTheSpecialNodes)
{
    Mkdir("desk/a");
    TFolderTree& tree = MakeTree(foRecycleBin);
    Mkdir("desk/Zed");
    EXPECT_TRUE(WaitFor([&] { return Node("desk/Zed") != nullptr; }, kGenerousMs));
    EXPECT_EQ(Labels(tree.RootNode()), (std::vector<std::string>{"Computer", "Trash", "a", "Zed"}));
    EXPECT_TRUE(tree.isExpanded(tree.IndexOf(tree.RootNode())));
    ExpectConsistent(tree);
}

// A new folder beside the selected one moved the selection (and the local pane) away.
TEST_F(FolderTreeFormerBugs, RefreshKeepsTheSelectedFolder)
{
    Mkdir("desk/a/x/deep");
    TFolderTree& tree = MakeTree();
    ASSERT_TRUE(tree.SelectPath(Path("desk/a/x/deep")));
    PumpFor(50);
    std::vector<std::string> changes;
    tree.OnChange = [&](TFolderTree*, TFolderNode* node) { changes.push_back(tree.NodePath(node)); };
    Mkdir("desk/a/sibling");
    EXPECT_TRUE(WaitFor([&] { return Node("desk/a/sibling") != nullptr; }, kGenerousMs));
    EXPECT_EQ(tree.SelectedPath(), Path("desk/a/x/deep"));
    EXPECT_TRUE(changes.empty()) << "the selection did not really change";
    ExpectConsistent(tree);

    // When the selected folder itself goes, the nearest remaining folder is selected, once.
    // (One folder goes: removing x with it would let a loaded machine show the two steps.)
    PumpFor(50);
    ASSERT_TRUE(QDir().rmdir(Abs("desk/a/x/deep")));
    EXPECT_TRUE(WaitFor([&] { return Node("desk/a/x/deep") == nullptr; }, kGenerousMs));
    EXPECT_EQ(tree.SelectedPath(), Path("desk/a/x"));
    EXPECT_EQ(changes, (std::vector<std::string>{Path("desk/a/x")}));
}

// A sub-folder created while the tree was re-reading the folder was never reported.
TEST_F(FolderTreeFormerBugs, ChangeDuringTheRefreshIsNotLost)
{
    Mkdir("desk/a/x");
    TFolderTree& tree = MakeTree();
    ASSERT_TRUE(Expand(Node("desk/a")));
    PumpFor(50);
    bool made = false;
    QObject::connect(tree.FolderModel(), &QAbstractItemModel::rowsInserted, &tree, [&](const QModelIndex& parent) {
        TFolderNode* p = tree.NodeOf(parent);
        if (!made && p && p->Path == Path("desk/a")) {
            made = true;   // the refresh has read the folder; this comes after
            QDir().mkpath(Abs("desk/a/late"));
        }
    });
    Mkdir("desk/a/first");
    EXPECT_TRUE(WaitFor([&] { return Node("desk/a/late") != nullptr; }, kGenerousMs));
    EXPECT_TRUE(made);
    ExpectConsistent(tree);
}

// A folder whose only sub-folders are symbolic links had no button: its link count says
// it has no sub-folders.
TEST_F(FolderTreeFormerBugs, LinkedSubFoldersGiveAButtonAndOpen)
{
    Mkdir("target/inner");
    Mkdir("desk/a");
    ASSERT_EQ(::symlink(Path("target").c_str(), Path("desk/a/link").c_str()), 0);
    TFolderTree& tree = MakeTree();
    TFolderNode* a = Node("desk/a");
    ASSERT_NE(a, nullptr);
    EXPECT_TRUE(a->HasButton);
    ASSERT_TRUE(Expand(a));
    EXPECT_EQ(Labels(a), std::vector<std::string>{"link"});
    TFolderNode* link = Node("desk/a/link");
    ASSERT_NE(link, nullptr);
    EXPECT_TRUE(link->HasButton);
    ASSERT_TRUE(Expand(link));
    EXPECT_EQ(Labels(link), std::vector<std::string>{"inner"});
    ExpectConsistent(tree);
}

// Deleting or moving away a symbolic link to a folder left its node until another change:
// inotify reports a link as no directory, and a link that is gone cannot be asked.
TEST_F(FolderTreeFormerBugs, ALinkToAFolderThatGoesLeavesTheTree)
{
    Mkdir("target");
    Mkdir("desk/a/x");
    for (bool polling : {false, true}) {
        SCOPED_TRACE(polling ? "polling" : "watching");
        TThDirChange::SetForcePolling(polling);
        ASSERT_EQ(::symlink(Path("target").c_str(), Path("desk/a/link").c_str()), 0);
        TFolderTree& tree = MakeTree();
        ASSERT_TRUE(Expand(Node("desk/a")));
        ASSERT_TRUE(WaitFor([&] { return Node("desk/a")->Watcher && Node("desk/a")->Watcher->Polling() == polling; },
                            10000));
        EXPECT_EQ(Labels(Node("desk/a")), (std::vector<std::string>{"link", "x"}));
        ASSERT_EQ(::unlink(Path("desk/a/link").c_str()), 0);
        EXPECT_TRUE(WaitFor([&] { return Labels(Node("desk/a")) == std::vector<std::string>{"x"}; }, 10000));
        ASSERT_EQ(::symlink(Path("target").c_str(), Path("desk/a/again").c_str()), 0);
        EXPECT_TRUE(WaitFor([&] { return Labels(Node("desk/a")) == std::vector<std::string>{"again", "x"}; }, 10000));
        ASSERT_EQ(::rename(Path("desk/a/again").c_str(), Path("moved-away").c_str()), 0);
        EXPECT_TRUE(WaitFor([&] { return Labels(Node("desk/a")) == std::vector<std::string>{"x"}; }, 10000));
        ASSERT_EQ(::unlink(Path("moved-away").c_str()), 0);
        ExpectConsistent(tree);
    }
    TThDirChange::SetForcePolling(false);
}

// ---- process exit ----

class FolderTreeExit : public TreeFixture {};

TEST_F(FolderTreeExit, ExitWithWatchersInTheirCycleDoesNotCrash)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Mkdir("desk/a/x");
    Mkdir("desk/b/y");
    // The tree is never destroyed: its watchers are in their wait cycle when exit runs
    // the static destructors.
    auto leaveTreeAlive = [this] {
        MakeTree();
        Expand(Node("desk/a"));
        Expand(Node("desk/b"));
        PumpFor(30);
        std::exit(0);
    };
    // The tree goes just before exit, with a watcher blocked in a refresh request that
    // nobody will handle any more.
    auto destroyTreeFirst = [this] {
        MakeTree();
        Expand(Node("desk/a"));
        Expand(Node("desk/b"));
        PumpFor(30);
        const long before = TThDirChange::NotificationCount();
        Mkdir("desk/a/late");
        while (TThDirChange::NotificationCount() == before)
            platform::Sleep(1);
        Tree.reset();
        std::exit(0);
    };
    EXPECT_EXIT(leaveTreeAlive(), ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(destroyTreeFirst(), ::testing::ExitedWithCode(0), "");
}
