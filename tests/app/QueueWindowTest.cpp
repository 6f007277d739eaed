// Folder transfers of the started program through its transfer queue, against pyftpdlib:
// a tree downloaded (and again, with one file-exists answer for the whole tree), uploaded
// from the folder tree and removed after one confirmation that counts it; closing with
// work left asks, and what is unfinished is offered at the next start.
#include "AppTestUtil.h"
#include "servers/PeerPolicy.h"

#include "app/ByteText.h"
#include "app/TransferQueuePane.h"
#include "dialogs/FileExistsForm.h"
#include "servers/FtpServers.h"

#include <QDockWidget>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QToolButton>
#include <QTreeWidget>

#include <sys/stat.h>
#include <unistd.h>

using namespace apptest;
using namespace transfer;

namespace {

bool Exists(const std::string& path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

int DiffBothWays(const std::string& a, const std::string& b)
{
    return std::system(("diff -r '" + a + "' '" + b + "' >/dev/null && diff -r '" + b + "' '" + a + "' >/dev/null").c_str());
}

} // namespace

class QueueWindowTest : public RemoteProgramTest {
protected:
    void SetUp() override
    {
        RemoteProgramTest::SetUp();
        Main().AscModExPath = Temp.filePath("AscModEx.txt");
        ASSERT_TRUE(testsrv::WriteFile(BytesFromText(Main().AscModExPath), "txt\n"));
        Main().QueuePath = Temp.filePath("OFTPQueue.txt");
        Local = BytesFromText(MakeLocalFolder());
        Forms->FileExistsForm->OnShowModal = [this] {
            TFileExistsForm& form = *Forms->FileExistsForm;
            Asked << form.lblWarning->text();
            QPushButton* button = Answer ? Answer : form.btnCancel;
            form.show();
            QTest::mouseClick(button, Qt::LeftButton);
            return form.result();
        };
        Main().OnQuestion = [this](const QString&, const QString& text) {
            Questions << text;
            return Yes;
        };
    }

    TTransferQueue& Queue() { return Main().QueuePane->Queue; }

    // Waits until the queue has nothing left and the window's own session is idle again.
    bool WaitQueue()
    {
        bool ok = PumpUntil([this] { return Queue().Idle() && Queue().ConnectionCount() == 0; }, 120000);
        return ok && WaitIdle();
    }

    int Count(TItemState state)
    {
        int n = 0;
        for (const TTransferItem* i : Queue().Items())
            n += i->State == state;
        return n;
    }

    std::string Local;
    std::unique_ptr<testsrv::FtpServer> Server;
    QStringList Asked;
    QStringList Questions;
    QPushButton* Answer = nullptr;
    bool Yes = true;
};

TEST_F(QueueWindowTest, FoldersDownloadUploadAndRemove)
{
    Server = testsrv::StartPyftpdlib();
    if (!Server)
        OMBREX_PEER_MISSING("pyftpdlib");
    std::string tree = Server->LocalPath("/pub/tree");
    for (const char* d : {"/pub", "/pub/tree", "/pub/tree/empty", "/pub/tree/a b", "/pub/tree/a b/c"})
        ASSERT_EQ(::mkdir(Server->LocalPath(d).c_str(), 0755), 0);
    testsrv::WriteFile(tree + "/notes.txt", "one\r\ntwo\r\n");
    for (int i = 0; i < 40; ++i)
        testsrv::WriteFile(tree + "/a b/c/f" + std::to_string(i) + ".bin", std::string(std::size_t(i * 211), char(i)));
    PressConnect(Server->Port(), QString::fromStdString(Server->User()), QString::fromStdString(Server->Password()),
                 "/pub", true);
    ASSERT_TRUE(WaitIdle());

    // Download: the tree arrives whole, empty folder included, over two connections of the
    // queue while the window's own session stays free.
    SelectRemote({"tree"});
    QTest::mouseClick(Main().btnDownload, Qt::LeftButton);
    EXPECT_TRUE(Main().dockQueue->isVisibleTo(&Main()));
    ASSERT_TRUE(WaitQueue());
    EXPECT_EQ(Count(TItemState::Failed), 0);
    EXPECT_EQ(Queue().PeakConnections(), 2);
    EXPECT_TRUE(Exists(Local + "/tree/empty"));
    // notes.txt went as ASCII (the extension list), so its line ends are the local ones.
    EXPECT_EQ(testsrv::ReadFile(Local + "/tree/notes.txt"), "one\ntwo\n");
    ::unlink((Local + "/tree/notes.txt").c_str());
    ::unlink((tree + "/notes.txt").c_str());
    EXPECT_EQ(DiffBothWays(tree, Local + "/tree"), 0);
    EXPECT_NE(Main().QueuePane->ProgressText().indexOf("41 of 41 files"), -1) << Main().QueuePane->ProgressText().toStdString();
    EXPECT_EQ(Main().QueuePane->lvQueue->topLevelItemCount(), int(Queue().Items().size()));

    // Again over the copies: "Rewrite All" at the first answers for the whole tree.
    Answer = Forms->FileExistsForm->btnReplaceAll;
    SelectRemote({"tree"});
    Main().btnDownloadClick();
    ASSERT_TRUE(WaitQueue());
    EXPECT_EQ(Asked.size(), 1);
    // And "Cancel" skips every existing file of the next one.
    Answer = Forms->FileExistsForm->btnCancelAll;
    SelectRemote({"tree"});
    Main().btnDownloadClick();
    ASSERT_TRUE(WaitQueue());
    EXPECT_EQ(Asked.size(), 2);
    EXPECT_EQ(Count(TItemState::Skipped), 40);

    // Upload: the folder picked in the folder tree goes whole into the remote directory.
    std::rename((Local + "/tree").c_str(), (Local + "/tree-up").c_str());
    Main().flbLocalFiles.SetDirectory(Local + "/tree-up");
    Main().LocalTreeActive = true;
    Main().btnUploadClick();
    ASSERT_TRUE(WaitQueue());
    EXPECT_EQ(DiffBothWays(Local + "/tree-up", Server->LocalPath("/pub/tree-up")), 0);
    EXPECT_TRUE(Exists(Server->LocalPath("/pub/tree-up/empty")));

    // Remove: one question that counts what goes; "No" keeps everything.
    PumpUntil([this] { return Captions().contains("tree-up"); });
    Yes = false;
    SelectRemote({"tree-up"});
    Main().btnRemoveFileClick();
    ASSERT_TRUE(PumpUntil([this] { return !Questions.isEmpty(); }, 60000));
    ASSERT_TRUE(WaitQueue());
    EXPECT_EQ(Questions.size(), 1);
    EXPECT_EQ(Questions.value(0).toStdString(), "40 files and 4 folders will be removed. Remove them?");
    EXPECT_TRUE(Exists(Server->LocalPath("/pub/tree-up/a b/c/f1.bin")));
    Yes = true;
    SelectRemote({"tree-up"});
    Main().btnRemoveFileClick();
    ASSERT_TRUE(PumpUntil([this] { return Questions.size() == 2; }, 60000));
    ASSERT_TRUE(PumpUntil([this] { return !Exists(Server->LocalPath("/pub/tree-up")); }, 60000));
    ASSERT_TRUE(WaitQueue());
    EXPECT_TRUE(Exists(tree));
    EXPECT_FALSE(Captions().contains("tree-up"));
}

TEST_F(QueueWindowTest, ClosingWithWorkLeftAsksAndTheQueueComesBack)
{
    // Items that wait (the queue is stopped, so nothing runs).
    Queue().Stop();
    Queue().AddDownloadTree("/far/away", Local + "/away");
    Queue().AddUploadFile(Local + "/x.bin", "/up/x.bin");
    ASSERT_FALSE(Queue().Idle());

    Yes = false;
    Main().show();
    EXPECT_FALSE(Main().close());
    EXPECT_EQ(Questions.size(), 1);
    EXPECT_FALSE(Exists(BytesFromText(Main().QueuePath)));

    Yes = true;
    EXPECT_TRUE(Main().close());
    QString server;
    EXPECT_EQ(TTransferQueuePane::PeekSaved(Main().QueuePath, &server), 2);

    // The next start offers them; taken back, they wait for Start.
    Queue().RemoveBatch(1);
    Queue().RemoveBatch(2);
    ASSERT_TRUE(Queue().Items().empty());
    Main().OfferSavedQueue();
    EXPECT_EQ(Questions.size(), 3);
    ASSERT_EQ(Queue().Items().size(), 2u);
    EXPECT_EQ(Queue().Items()[0]->Remote, "/far/away");
    EXPECT_EQ(Queue().Items()[0]->Kind, TItemKind::Folder);
    EXPECT_EQ(Queue().Items()[1]->Local, Local + "/x.bin");
    EXPECT_FALSE(Queue().Active());
    EXPECT_FALSE(Exists(BytesFromText(Main().QueuePath)));
}

TEST_F(QueueWindowTest, RemovedItemsLeaveTheListAndTheRestKeepTheirOrder)
{
    Queue().Stop();
    for (int i = 0; i < 60; ++i)
        Queue().AddUploadFile(Local + "/f" + std::to_string(i), "/up/f" + std::to_string(i));
    QTreeWidget* list = Main().QueuePane->lvQueue;
    auto rowsMatchTheQueue = [&] {
        std::vector<std::string> rows, items;
        for (int r = 0; r < list->topLevelItemCount(); ++r)
            rows.push_back(list->topLevelItem(r)->text(qcolRemote).toStdString());
        for (const TTransferItem* i : Queue().Items())
            items.push_back(i->Remote);
        EXPECT_EQ(rows, items);
    };
    ASSERT_EQ(list->topLevelItemCount(), 60);
    // Many at once (every item but each third), then a few picked in the list.
    std::vector<std::uint64_t> ids;
    for (const TTransferItem* i : Queue().Items())
        ids.push_back(i->Id);
    for (std::size_t k = 0; k < ids.size(); ++k)
        if (k % 3 != 0)
            Queue().Remove(ids[k]);
    QTest::mouseClick(Main().QueuePane->btnQueueClear, Qt::LeftButton);
    EXPECT_EQ(list->topLevelItemCount(), 20);
    rowsMatchTheQueue();
    list->topLevelItem(1)->setSelected(true);
    list->topLevelItem(7)->setSelected(true);
    Main().QueuePane->RemoveSelected();
    EXPECT_EQ(list->topLevelItemCount(), 18);
    rowsMatchTheQueue();
    EXPECT_EQ(list->topLevelItem(1)->text(qcolRemote), "/up/f6");
}
