// Helpers for the folder tree tests: a temporary folder tree on disk, waiting with the
// message pump, and a full consistency check of the tree's model against the disk.
#pragma once

#include "foldertree/FolderTree.h"
#include "platform/MessageWindow.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <functional>
#include <set>
#include <string>
#include <vector>

namespace treetest {

using namespace foldertree;

// How long a test waits for an event it needs: long, so that a loaded machine (a parallel
// build, sanitizers) only makes a test slower, never fail; waits that hold return at once.
constexpr int kGenerousMs = 20000;

// Pumps messages until pred holds or ms pass; returns whether it held.
inline bool WaitFor(const std::function<bool()>& pred, int ms = 2000)
{
    const auto deadline = platform::GetTickCount64() + static_cast<std::uint64_t>(ms);
    for (;;) {
        platform::PumpMessages();
        if (pred())
            return true;
        if (platform::GetTickCount64() >= deadline)
            return false;
        platform::Sleep(2);
    }
}

// Pumps messages for ms.
inline void PumpFor(int ms)
{
    WaitFor([] { return false; }, ms);
}

// The names of a node's children, in the tree's order.
inline std::vector<std::string> Labels(const TFolderNode* node)
{
    std::vector<std::string> out;
    for (auto& c : node->Children)
        out.push_back(c->Label.toStdString());
    return out;
}

// The sub-folders of a folder on disk (hidden ones and links to folders included).
inline std::set<std::string> DiskSubFolders(const std::string& path)
{
    std::set<std::string> out;
    QDir dir(QString::fromStdString(path));
    for (const QString& name : dir.entryList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot))
        out.insert(name.toStdString());
    return out;
}

// Walks the whole model and checks that it agrees with itself and with the disk:
// indexes and parents, rows, ids, sorting, children against the folder's sub-folders,
// expand buttons and watchers. compareDisk: false after nodes were deleted on purpose.
inline void ExpectConsistent(TFolderTree& tree, const char* where = "", bool compareDisk = true)
{
    SCOPED_TRACE(where);
    TFolderModel* model = tree.FolderModel();
    std::set<std::uint64_t> ids;
    std::size_t count = 0;
    std::function<void(TFolderNode*, const QModelIndex&)> walk = [&](TFolderNode* node, const QModelIndex& index) {
        ASSERT_EQ(model->rowCount(index), static_cast<int>(node->Children.size()));
        ASSERT_EQ(model->hasChildren(index), !node->Children.empty() || node->HasButton);
        for (int row = 0; row < static_cast<int>(node->Children.size()); ++row) {
            TFolderNode* child = node->Children[static_cast<size_t>(row)].get();
            ++count;
            QModelIndex ci = model->index(row, 0, index);
            ASSERT_TRUE(ci.isValid());
            ASSERT_EQ(model->NodeOf(ci), child);
            ASSERT_EQ(model->parent(ci), index);
            ASSERT_EQ(child->Row, row);
            ASSERT_EQ(child->Parent, node == model->Holder() ? model->Holder() : node);
            ASSERT_TRUE(ids.insert(child->Id).second) << "duplicate id";
            ASSERT_EQ(tree.NodeById(child->Id), child);
            ASSERT_EQ(child->HasParent, node != model->Holder());
            if (child->Watcher) {
                EXPECT_FALSE(child->Watcher->Terminated());
                EXPECT_EQ(child->Watcher->Path(), tree.NodePath(child));
                EXPECT_EQ(child->Watcher->Node(), child->Id);
                EXPECT_EQ(child->Watcher->Window(), tree.WindowHandle());
            } else if (!child->Children.empty()) {
                EXPECT_TRUE(tree.NodePath(child).empty()) << child->Path << " is filled but not watched";
            }
            walk(child, ci);
        }
        // A filled folder shows exactly its sub-folders, sorted without regard to case.
        if (node != model->Holder() && (node->NodeKind == nkFolder || node->NodeKind == nkDesktop)
            && !node->Children.empty() && node->Parent->NodeKind != nkDrives
            && tree.DisplayMode() == dmAsis) {
            std::set<std::string> shown;
            QString previous;
            for (auto& c : node->Children) {
                if (c->NodeKind != nkFolder)
                    continue;
                EXPECT_EQ(c->Path, (node->Path == "/" ? "/" : node->Path + "/") + c->Label.toStdString());
                if (!previous.isNull()) {
                    EXPECT_LE(previous.compare(c->Label, Qt::CaseInsensitive), 0) << "not sorted";
                }
                previous = c->Label;
                shown.insert(c->Label.toStdString());
            }
            if (compareDisk) {
                EXPECT_EQ(shown, DiskSubFolders(node->Path)) << "children of " << node->Path;
            }
        }
    };
    walk(model->Holder(), QModelIndex());
    EXPECT_EQ(count, model->NodeCount());
}

// Sets up folders below a temporary directory and a tree rooted there, with fake drives
// (temporary folders) in place of the machine's mounts.
class TreeFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(FTemp.isValid());
        FBase = FTemp.path().toStdString();
        RootPath = FBase + "/desk";
        Mkdir("desk");
        Mkdir("driveA/inA");
        Mkdir("driveB");
        Drives = {Drive(FBase + "/driveA", "Disk A"), Drive(FBase + "/driveB", "Disk B")};
        FLiveBefore = TThDirChange::LiveCount();
    }

    void TearDown() override
    {
        Tree.reset();
        // Whatever a case did, no watcher may outlive its tree for long.
        EXPECT_TRUE(WaitFor([this] { return TThDirChange::LiveCount() <= FLiveBefore; }, kGenerousMs))
            << TThDirChange::LiveCount() << " watchers still running";
    }

    static TDriveInfo Drive(const std::string& path, const std::string& label)
    {
        TDriveInfo d;
        d.Path = path;
        d.Label = label;
        d.Device = "/dev/fake" + label;
        return d;
    }

    // Creates the folder (and its parents) below the temporary base.
    void Mkdir(const std::string& rel) { ASSERT_TRUE(QDir().mkpath(Abs(rel))); }
    void Touch(const std::string& rel)
    {
        QFile f(Abs(rel));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    QString Abs(const std::string& rel) const { return QString::fromStdString(FBase + "/" + rel); }
    std::string Path(const std::string& rel) const { return FBase + "/" + rel; }

    // Creates the tree and lets it build itself.
    TFolderTree& MakeTree(TFolderOptions options = 0, TDisplayMode mode = dmAsis)
    {
        Tree = std::make_unique<TFolderTree>();
        Tree->SetRootPath(RootPath);
        Tree->SetDriveLister([this] { return Drives; });
        Tree->SetFolderOptions(options);
        Tree->SetDisplayMode(mode);
        Tree->resize(300, 400);
        platform::PumpMessages();
        return *Tree;
    }

    // The node of a folder below the base, or null.
    TFolderNode* Node(const std::string& rel) const { return Tree->FindNode(Path(rel)); }

    // Expands the node through the view, as a click on its button does.
    bool Expand(TFolderNode* node)
    {
        Tree->expand(Tree->IndexOf(node));
        platform::PumpMessages();
        return Tree->isExpanded(Tree->IndexOf(node));
    }

    QTemporaryDir FTemp;
    std::string FBase;
    std::string RootPath;
    std::vector<TDriveInfo> Drives;
    std::unique_ptr<TFolderTree> Tree;
    int FLiveBefore = 0;
};

} // namespace treetest
