// Transfers and remote file operations of the started program against a scripted FTP
// server: the file-exists answers of the transfer step, the transfer type of each file,
// the removal of directories when a change of directory around it fails, names from the
// server that are no plain names, and the per cent of the transfer status window.
#include "FakeServerSession.h"

#include "app/CommandQueue.h"
#include "dialogs/FileExistsForm.h"
#include "dialogs/InputDialog.h"
#include "dialogs/TransferStatusForm.h"
#include "ftp/FakeFtpServer.h"
#include "platform/MessageWindow.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include <unistd.h>

#include <deque>

using ftptest::FakeFtpServer;
using namespace apptest;

namespace {

using Transcript = std::vector<std::string>;

std::string FileLine(const std::string& name, const std::string& size)
{
    // A file without a size column is listed with the column left out.
    return "-rw-r--r-- 1 u g " + (size.empty() ? std::string() : size + " ") + "Jan 10 2000 " + name + "\r\n";
}

std::string DirLine(const std::string& name)
{
    return "drwxr-xr-x 2 u g 4096 Jan 10 2000 " + name + "\r\n";
}

FakeFtpServer& Type(FakeFtpServer& s, char type)
{
    return s.Expect(std::string("TYPE ") + type).Reply(std::string("200 Type set to ") + type);
}

FakeFtpServer& Retr(FakeFtpServer& s, const std::string& name, const std::string& data)
{
    return s.Expect("PASV").PasvReply().Expect("RETR " + name).DataAccept().Reply("150 Opening")
        .DataSend(data).DataClose().Reply("226 Transfer complete");
}

// A download whose data stops half-way for a while: the test looks at the window then.
FakeFtpServer& SlowRetr(FakeFtpServer& s, const std::string& name)
{
    return s.Expect("TYPE I").Reply("200 Type set to I").Expect("PASV").PasvReply().Expect("RETR " + name)
        .DataAccept().Reply("150 Opening").DataSend("x").Delay(400).DataClose().Reply("226 Transfer complete");
}

const std::size_t kSessionCommands = 10;   // USER PASS FEAT CWD PWD PASV LIST PWD PASV LIST

} // namespace

class TransferTest : public FakeServerProgramTest {
protected:
    // What the file-exists dialog was asked.
    struct TAsked {
        QString Warning;
        std::int32_t SaveAsMode;
        QString Target;
        bool operator==(const TAsked&) const = default;
    };

    void SetUp() override
    {
        FakeServerProgramTest::SetUp();
        Main().AscModExPath = Temp.filePath("AscModEx.txt");
        ASSERT_TRUE(WriteBytes(Main().AscModExPath, "txt\nhtm\n"));
        Local = MakeLocalFolder();

        TFtpClient& client = *Main().FtpClient1;
        auto done = client.OnRequestDone;   // the fixture's, which records Done
        client.OnRequestDone = [this, done](TCustomFtpCli* c, TFtpRequest kind, std::uint16_t error) {
            if (kind == rqGet || kind == rqResumeGet || kind == rqPut)
                SaveDirs << Forms->TransferStatusForm->lblSaveDir->text();
            done(c, kind, error);
        };
        auto progress = client.OnProgress;
        client.OnProgress = [this, progress](TCustomFtpCli* c, std::int64_t count, bool& abort) {
            ++EngineReports;
            progress(c, count, abort);
        };
        Main().OnShellOpen = [this](const QString& path) { Opened << path; };
        Forms->FileExistsForm->OnShowModal = [this] { return AnswerFileExists(); };
    }

    // The commands after the session's own.
    static Transcript After(const FakeFtpServer& s)
    {
        Transcript all = s.Transcript();
        return all.size() < kSessionCommands ? Transcript{} : Transcript(all.begin() + kSessionCommands, all.end());
    }

    QString LocalPath(const QString& name) const { return Local + "/" + name; }

    // ---- the file-exists dialog, answered from a script ----

    int AnswerFileExists()
    {
        TFileExistsForm& form = *Forms->FileExistsForm;
        Asked.push_back({form.lblWarning->text(), form.SaveAsMode, form.TargetFileName});
        if (Answers.empty()) {
            ADD_FAILURE() << "unexpected question: " << form.lblWarning->text().toStdString();
            return QDialog::Rejected;
        }
        auto answer = std::move(Answers.front());
        Answers.pop_front();
        form.setResult(QDialog::Rejected);
        form.show();
        answer(form);
        return form.result();
    }

    void Answer(QPushButton* TFileExistsForm::*button, std::function<void()> meanwhile = {})
    {
        Answers.push_back([button, meanwhile](TFileExistsForm& form) {
            if (meanwhile)
                meanwhile();
            QTest::mouseClick(form.*button, Qt::LeftButton);
        });
    }

    // "Sa&ve As..." with this name typed into the save dialog or the input dialog.
    void AnswerSaveAs(const QString& name, std::function<void()> meanwhile = {})
    {
        Answers.push_back([name, meanwhile](TFileExistsForm& form) {
            if (meanwhile)
                meanwhile();
            form.OnRunModal = [name](QDialog& box) {
                if (auto* input = dynamic_cast<TInputDialog*>(&box))
                    input->txtResult->setText(name);
                else
                    dynamic_cast<QFileDialog&>(box).selectFile(name);
                return int(QDialog::Accepted);
            };
            QTest::mouseClick(form.btnSaveAs, Qt::LeftButton);
            form.OnRunModal = nullptr;
        });
    }

    QString Local;
    QStringList SaveDirs;   // the status window's file name at each transfer's end
    QStringList Opened;
    int EngineReports = 0;  // the client's own progress reports
    std::vector<TAsked> Asked;
    std::deque<std::function<void(TFileExistsForm&)>> Answers;
};

// ---- the transfer step ----

TEST_F(TransferTest, EachAnswerForOneFile)
{
    FakeFtpServer s;
    std::string listing;
    for (const char* name : {"a.bin", "b.bin", "c.bin", "d.bin", "e.bin"})
        listing += FileLine(name, "8");
    Session(s, listing);
    Retr(Type(s, 'I'), "a.bin", "new a 01");
    Type(s, 'I');   // b.bin: skipped after its type was set
    Retr(Type(s, 'I'), "c.bin", "new c 01");
    Type(s, 'I').Expect("PASV").PasvReply().Expect("REST 4").Reply("350 Restarting at 4").Expect("RETR d.bin")
        .DataAccept().Reply("150 Opening").DataSend("4567").DataClose().Reply("226 Transfer complete");
    Retr(Type(s, 'I'), "e.bin", "new e 01");
    for (const char* name : {"a.bin", "b.bin", "c.bin"})
        ASSERT_TRUE(WriteBytes(LocalPath(name), "old"));
    ASSERT_TRUE(WriteBytes(LocalPath("d.bin"), "0123"));   // broken off after four bytes
    s.Start();
    Connect(s);

    Answer(&TFileExistsForm::btnReplace);
    Answer(&TFileExistsForm::btnCancel);
    AnswerSaveAs(LocalPath("c copy.bin"));
    Answer(&TFileExistsForm::btnRestartBrokenTransfer);
    SelectRemote({"a.bin", "b.bin", "c.bin", "d.bin", "e.bin"});
    QTest::mouseClick(Main().btnDownload, Qt::LeftButton);
    ASSERT_TRUE(WaitIdle());

    EXPECT_TRUE(s.Errors().empty());
    EXPECT_EQ(After(s), (Transcript{"TYPE I", "PASV", "RETR a.bin", "TYPE I", "TYPE I", "PASV", "RETR c.bin",
                                    "TYPE I", "PASV", "REST 4", "RETR d.bin", "TYPE I", "PASV", "RETR e.bin"}));
    EXPECT_EQ(Done, (DoneList{{36, 0}, {10, 0}, {36, 0}, {36, 0}, {10, 0}, {36, 0}, {38, 0}, {36, 0}, {10, 0}}));
    EXPECT_EQ(Asked, (std::vector<TAsked>{{LocalPath("a.bin") + " exists", samSaveDialog, LocalPath("a.bin")},
                                          {LocalPath("b.bin") + " exists", samSaveDialog, LocalPath("b.bin")},
                                          {LocalPath("c.bin") + " exists", samSaveDialog, LocalPath("c.bin")},
                                          {LocalPath("d.bin") + " exists", samSaveDialog, LocalPath("d.bin")}}));
    EXPECT_EQ(ReadBytes(LocalPath("a.bin")), "new a 01");
    EXPECT_EQ(ReadBytes(LocalPath("b.bin")), "old");
    EXPECT_EQ(ReadBytes(LocalPath("c.bin")), "old");
    EXPECT_EQ(ReadBytes(LocalPath("c copy.bin")), "new c 01");
    EXPECT_EQ(ReadBytes(LocalPath("d.bin")), "01234567");
    EXPECT_EQ(ReadBytes(LocalPath("e.bin")), "new e 01");
    // The status window named the file written, the chosen one for Save As.
    EXPECT_EQ(SaveDirs, (QStringList{LocalPath("a.bin"), LocalPath("c copy.bin"), LocalPath("d.bin"),
                                     LocalPath("e.bin")}));
    EXPECT_EQ(UserLogCount(" STATUS: Getting file..."), 3);
    EXPECT_EQ(UserLogCount(" STATUS: Restoring broken transfer..."), 1);
    EXPECT_EQ(UserLogCount(" STATUS: OK. File getted"), 4);
    EXPECT_FALSE(Forms->TransferStatusForm->isVisible());
    EXPECT_EQ(Main().ExistingFileDecision, -1);
    // The local list was read anew after the downloads.
    EXPECT_GE(Main().flbLocalFiles.IndexOf("c copy.bin"), 0);
    EXPECT_TRUE(MessageBoxes.empty());
    EXPECT_TRUE(Boxes.empty());
}

TEST_F(TransferTest, RewriteAllAnswersOnceForTheBatchAndTheNextBatchAsksAgain)
{
    FakeFtpServer s;
    Session(s, FileLine("a.bin", "3") + FileLine("b.bin", "3") + FileLine("c.bin", "3"));
    Retr(Type(s, 'I'), "a.bin", "AAA");
    Retr(Type(s, 'I'), "b.bin", "BBB");
    Retr(Type(s, 'I'), "c.bin", "CCC");
    Type(s, 'I');   // the next batch: asked, skipped
    for (const char* name : {"a.bin", "b.bin", "c.bin"})
        ASSERT_TRUE(WriteBytes(LocalPath(name), "old"));
    s.Start();
    Connect(s);

    Answer(&TFileExistsForm::btnReplaceAll);
    SelectRemote({"a.bin", "b.bin", "c.bin"});
    Main().btnDownloadClick();
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Asked.size(), 1u);
    for (auto [name, bytes] : {std::pair{"a.bin", "AAA"}, std::pair{"b.bin", "BBB"}, std::pair{"c.bin", "CCC"}})
        EXPECT_EQ(ReadBytes(LocalPath(name)), bytes) << name;
    EXPECT_EQ(Main().ExistingFileDecision, -1);

    Answer(&TFileExistsForm::btnCancel);
    SelectRemote({"a.bin"});
    Main().btnDownloadClick();
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Asked.size(), 2u);
    EXPECT_EQ(ReadBytes(LocalPath("a.bin")), "AAA");
    EXPECT_EQ(After(s), (Transcript{"TYPE I", "PASV", "RETR a.bin", "TYPE I", "PASV", "RETR b.bin", "TYPE I", "PASV",
                                    "RETR c.bin", "TYPE I"}));
    EXPECT_TRUE(s.Errors().empty());
}

TEST_F(TransferTest, CancelSkipsEveryConflictOfTheBatchButNotNewFiles)
{
    FakeFtpServer s;
    Session(s, FileLine("a.bin", "3") + FileLine("b.bin", "3") + FileLine("c.bin", "3"));
    Type(s, 'I');
    Retr(Type(s, 'I'), "b.bin", "BBB");
    Type(s, 'I');
    ASSERT_TRUE(WriteBytes(LocalPath("a.bin"), "old a"));
    ASSERT_TRUE(WriteBytes(LocalPath("c.bin"), "old c"));
    s.Start();
    Connect(s);

    Answer(&TFileExistsForm::btnCancelAll);
    SelectRemote({"a.bin", "b.bin", "c.bin"});
    Main().btnDownloadClick();
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Asked.size(), 1u);
    EXPECT_EQ(ReadBytes(LocalPath("a.bin")), "old a");
    EXPECT_EQ(ReadBytes(LocalPath("b.bin")), "BBB");
    EXPECT_EQ(ReadBytes(LocalPath("c.bin")), "old c");
    EXPECT_EQ(After(s), (Transcript{"TYPE I", "TYPE I", "PASV", "RETR b.bin", "TYPE I"}));
    EXPECT_EQ(Main().ExistingFileDecision, -1);
}

TEST_F(TransferTest, UploadSaveAsAndAFileThatVanishedWhileQueued)
{
    FakeFtpServer s;
    Session(s, FileLine("x.txt", "5"));
    Type(s, 'A').Expect("PASV").PasvReply().Expect("STOR y.txt").DataAccept().Reply("150 Send it")
        .DataReceiveAll().Reply("226 Stored");
    Type(s, 'I');   // z.bin, gone by its turn
    List(s, FileLine("x.txt", "5") + FileLine("y.txt", "8"));
    ASSERT_TRUE(WriteBytes(LocalPath("x.txt"), "upload x"));
    ASSERT_TRUE(WriteBytes(LocalPath("z.bin"), "zzz"));
    s.Start();
    Connect(s);

    AnswerSaveAs("y.txt", [this] { QFile::remove(LocalPath("z.bin")); });
    Main().flbLocalFiles.Update();
    for (const char* name : {"x.txt", "z.bin"})
        Main().flbLocalFiles.SetSelected(Main().flbLocalFiles.IndexOf(name), true);
    Main().btnUploadClick();
    ASSERT_TRUE(WaitIdle());

    EXPECT_TRUE(s.Errors().empty());
    EXPECT_EQ(After(s), (Transcript{"TYPE A", "PASV", "STOR y.txt", "TYPE I", "PASV", "LIST"}));
    EXPECT_EQ(s.DataReceived(), "upload x");
    EXPECT_EQ(Asked, (std::vector<TAsked>{{"x.txt exists", samInputDialog, "x.txt"}}));
    EXPECT_EQ(MessageBoxes, (BoxList{{"FTP error", "Can't upload " + LocalPath("z.bin") + " : Local file don't exist"}}));
    EXPECT_EQ(Done, (DoneList{{36, 0}, {17, 0}, {36, 0}, {7, 0}}));
    EXPECT_TRUE(UserLogHas(" STATUS: Sending file..."));
    EXPECT_TRUE(UserLogHas(" STATUS: OK. File sended"));
    EXPECT_TRUE(Main().RemoteNameExists("y.txt"));
}

TEST_F(TransferTest, OpenAfterSaveAsOpensTheCopy)
{
    FakeFtpServer s;
    Session(s, FileLine("doc.txt", "3"));
    Retr(Type(s, 'A'), "doc.txt", "new");
    ASSERT_TRUE(WriteBytes(LocalPath("doc.txt"), "old"));
    s.Start();
    Connect(s);
    AnswerSaveAs(LocalPath("doc 2.txt"));
    SelectRemote({"doc.txt"});
    Main().RemotePaneActive = true;
    Main().btnExecFileClick();
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Opened, QStringList{LocalPath("doc 2.txt")});
    EXPECT_EQ(ReadBytes(LocalPath("doc 2.txt")), "new");
    EXPECT_EQ(ReadBytes(LocalPath("doc.txt")), "old");
}

TEST_F(TransferTest, EachFileIsSentWithItsOwnType)
{
    FakeFtpServer s;
    Session(s, FileLine("a.txt", "3") + FileLine("b.zip", "3"));
    Retr(Type(s, 'A'), "a.txt", "aaa");
    Retr(Type(s, 'I'), "b.zip", "bbb");
    s.Start();
    Connect(s);
    SelectRemote({"a.txt", "b.zip"});
    Main().btnDownloadClick();
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(After(s), (Transcript{"TYPE A", "PASV", "RETR a.txt", "TYPE I", "PASV", "RETR b.zip"}));
    EXPECT_TRUE(s.Errors().empty());
    EXPECT_EQ(ReadBytes(LocalPath("b.zip")), "bbb");
    EXPECT_TRUE(Lines(Main().txtUserLog).filter("!WARNING:").isEmpty());
}

// ---- removing ----

TEST_F(TransferTest, RemoveExpandsADirectoryAndAFailedChangeIntoOneRemovesNothingAbove)
{
    // The one-level removal of a folder, as it runs when folders do not go through the
    // transfer queue.
    Main().QueueFolders = false;
    FakeFtpServer s;
    const std::string pub = DirLine("gone") + DirLine("sub") + FileLine("f.txt", "1") + FileLine("keep.txt", "1");
    Session(s, pub);
    s.Expect("CWD gone").Reply("550 No such directory").Expect("CWD sub").Reply("250 Directory changed");
    List(s, FileLine("a", "1") + FileLine("b", "1") + FileLine("../up.txt", "1") + DirLine("deeper"));
    s.Expect("DELE b").Reply("250 Deleted").Expect("DELE a").Reply("250 Deleted")
        .Expect("CDUP").Reply("250 Directory changed").Expect("RMD sub").Reply("550 Directory not empty")
        .Expect("DELE f.txt").Reply("250 Deleted");
    List(s, pub);
    List(Pwd(s, "/pub"), pub);
    List(Pwd(s, "/pub"), pub);
    s.Start();
    Connect(s);

    SelectRemote({"gone", "sub", "f.txt"});
    QTest::mouseClick(Main().btnRemoveFile, Qt::LeftButton);
    ASSERT_TRUE(WaitIdle());

    EXPECT_TRUE(s.Errors().empty());
    EXPECT_EQ(After(s), (Transcript{"CWD gone", "CWD sub", "PASV", "LIST", "DELE b", "DELE a", "CDUP", "RMD sub",
                                    "DELE f.txt", "PASV", "LIST", "PWD", "PASV", "LIST", "PWD", "PASV", "LIST"}));
    EXPECT_EQ(MessageBoxes, (BoxList{{"FTP Error", "Can't execute command"},
                                     {"FTP Warning", "There are subdirs in this, directory. They will not removed"},
                                     {"FTP Error", "Can't execute command"}}));
    EXPECT_TRUE(UserLogHas("!ERROR: Refused file name from the server: \"../up.txt\""));
}

TEST_F(TransferTest, AFailedChangeBackOutOfADirectoryStopsTheRemoval)
{
    // The one-level removal of a folder, as it runs when folders do not go through the
    // transfer queue.
    Main().QueueFolders = false;
    FakeFtpServer s;
    const std::string pub = DirLine("sub") + DirLine("the next") + FileLine("f.txt", "1");
    Session(s, pub);
    s.Expect("CWD sub").Reply("250 Directory changed");
    List(s, FileLine("a", "1"));
    s.Expect("DELE a").Reply("250 Deleted").Expect("CDUP").Reply("550 Cannot go up");
    List(Pwd(s, "/pub/sub"), "");
    s.Start();
    Connect(s);

    SelectRemote({"sub", "the next", "f.txt"});
    Main().btnRemoveFileClick();
    ASSERT_TRUE(WaitIdle());
    // Still inside "sub": neither its RMD nor anything else of the action runs there.
    EXPECT_TRUE(s.Errors().empty());
    EXPECT_EQ(After(s), (Transcript{"CWD sub", "PASV", "LIST", "DELE a", "CDUP", "PWD", "PASV", "LIST"}));
    EXPECT_EQ(MessageBoxes, (BoxList{{"FTP Error", "Can't execute command"}}));
    EXPECT_EQ(Main().lblCurrentRemoteDir->text(), "/pub/sub");
}

// ---- names from the server ----

TEST_F(TransferTest, NamesThatAreNoPlainNamesAreRefusedAndTheRestGoesOn)
{
    FakeFtpServer s;
    Session(s, FileLine(".", "2") + FileLine("..", "2") + FileLine("../evil.txt", "2") + FileLine("sub/file.txt", "2") + DirLine("a/b")
                   + DirLine(".") + FileLine("ok.bin", "2"));
    Retr(Type(s, 'I'), "ok.bin", "ok");
    List(s, FileLine("ok.bin", "2"));
    s.Start();
    Connect(s);

    // A listed ".." is the parent entry, left out without a word.
    SelectRemote({".", "..", "../evil.txt", "sub/file.txt", "a/b", "ok.bin"});
    Main().btnDownloadClick();
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(After(s), (Transcript{"TYPE I", "PASV", "RETR ok.bin"}));
    for (const char* name : {".", "../evil.txt", "sub/file.txt"})
        EXPECT_EQ(UserLogCount(QStringLiteral("!ERROR: Refused file name from the server: \"%1\"").arg(name)), 1) << name;

    // Removing them: refused too (a directory "." would be emptied), only the listing runs.
    SelectRemote({".", "../evil.txt", "sub/file.txt", "a/b"});
    Main().btnRemoveFileClick();
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(After(s), (Transcript{"TYPE I", "PASV", "RETR ok.bin", "PASV", "LIST"}));
    EXPECT_EQ(UserLogCount("!ERROR: Refused file name from the server: \"a/b\""), 1);

    // Entries that reach the step with no name or the parent's.
    Main().AppendCommand(qcGet, {"", Local + "/", "0"});
    Main().AppendCommand(qcGet, {"..", Local + "/..", "0"});
    Main().RunQueueIfReady();
    EXPECT_TRUE(UserLogHas("!ERROR: Refused file name from the server: \"\""));
    EXPECT_TRUE(UserLogHas("!ERROR: Refused file name from the server: \"..\""));
    EXPECT_TRUE(Main().CommandQueue.isEmpty());
    EXPECT_TRUE(Asked.empty());

    EXPECT_TRUE(s.Errors().empty());
    const auto entries = QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden;
    EXPECT_EQ(QDir(Local).entryList(entries), QStringList{"ok.bin"});
    EXPECT_EQ(QDir(Temp.path()).entryList(entries, QDir::Name), (QStringList{"AscModEx.txt", "OFTPTEMP.TMP", "local"}));
    EXPECT_TRUE(MessageBoxes.empty());
}

// ---- the transfer status window ----

TEST_F(TransferTest, PerCentPastTwoGibibytesAndForSizesWithoutOne)
{
    FakeFtpServer s;
    Session(s, FileLine("big.iso", "5368709120") + FileLine("tiny.txt", "50") + FileLine("nosize.bin", "")
                   + FileLine("grown.txt", "150"));
    for (const char* name : {"big.iso", "tiny.txt", "nosize.bin", "grown.txt"})
        SlowRetr(s, name);
    s.Start();
    Connect(s);
    Main().TransfertTypeBinary1Click();
    TTransferStatusForm& form = *Forms->TransferStatusForm;

    struct Row {
        const char* name;
        std::int64_t count;
        const char* loaded;
        const char* percent;   // what the window shows after the report
        int bar;
    };
    const Row rows[] = {
        {"big.iso", 2684354560LL, "2684354560 bytes", "50%", 50},
        {"big.iso", 5368709000LL, "5368709000 bytes", "99%", 99},   // truncated
        {"big.iso", 5368709120LL, "5368709120 bytes", "100%", 100},
        {"tiny.txt", 40, "40 bytes", "Unknown", 0},
        {"nosize.bin", 77, "77 bytes", "Unknown", 0},
        {"grown.txt", 151, "151 bytes", "151%", 100},
    };
    QString current;
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.name) + " " + std::to_string(row.count));
        if (current != row.name) {
            ASSERT_TRUE(WaitIdle());
            current = row.name;
            EngineReports = 0;
            SelectRemote({current});
            Main().btnDownloadClick();
            ASSERT_TRUE(PumpUntil([&] {
                return Main().FtpClient1->CurrentRequest() == rqGet && form.isVisible() && Main().TransferBusy
                       && EngineReports > 0;
            }));
        }
        bool abort = false;
        Main().FtpClient1Progress(row.count, abort);
        EXPECT_FALSE(abort);
        // A report within the repaint interval with the same per cent is shown a moment later.
        EXPECT_TRUE(PumpUntil([&] { return form.lblLoaded->text() == row.loaded; }, 2000))
            << form.lblLoaded->text().toStdString();
        EXPECT_EQ(form.lblLoadedProcents->text(), row.percent);
        EXPECT_EQ(form.pbProgress->value(), row.bar);
    }
    ASSERT_TRUE(WaitIdle());
    EXPECT_TRUE(s.Errors().empty());
    EXPECT_TRUE(Boxes.empty());
}

// ---- former bugs ----

TEST_F(TransferTest, FormerBugADialogClosedWithoutAnAnswerTookTheLastOne)
{
    FakeFtpServer s;
    Session(s, FileLine("a.bin", "3"));
    Type(s, 'I');
    ASSERT_TRUE(WriteBytes(LocalPath("a.bin"), "old"));
    s.Start();
    Connect(s);
    Forms->FileExistsForm->Choice = fecRewriteAll;   // left from an earlier question
    Answers.push_back([](TFileExistsForm& form) { form.done(QDialog::Rejected); });
    SelectRemote({"a.bin"});
    Main().btnDownloadClick();
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(ReadBytes(LocalPath("a.bin")), "old");
    EXPECT_EQ(After(s), Transcript{"TYPE I"});
    EXPECT_EQ(Main().ExistingFileDecision, -1);
}

TEST_F(TransferTest, FormerBugARefusedDownloadDestroyedTheLocalCopy)
{
    // Answered "Rewrite", a download the server then refused left the old copy at 0 bytes;
    // the empty file claimed for a new name stayed and made the next try ask "exists".
    FakeFtpServer s;
    Session(s, FileLine("a.bin", "3") + FileLine("b.bin", "3"));
    Type(s, 'I').Expect("PASV").PasvReply().Expect("RETR a.bin").Reply("550 Permission denied");
    Type(s, 'I').Expect("PASV").PasvReply().Expect("RETR b.bin").Reply("550 Permission denied");
    Retr(Type(s, 'I'), "b.bin", "new");
    ASSERT_TRUE(WriteBytes(LocalPath("a.bin"), "old"));
    s.Start();
    Connect(s);
    Answer(&TFileExistsForm::btnReplace);
    SelectRemote({"a.bin", "b.bin"});
    Main().btnDownloadClick();
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(ReadBytes(LocalPath("a.bin")), "old");
    EXPECT_FALSE(QFile::exists(LocalPath("b.bin")));
    SelectRemote({"b.bin"});
    Main().btnDownloadClick();
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(ReadBytes(LocalPath("b.bin")), "new");
    EXPECT_EQ(Asked.size(), 1u);   // only a.bin was asked about
    EXPECT_TRUE(s.Errors().empty());
}

TEST_F(TransferTest, FormerBugNamesWithLineEndsWentIntoCommands)
{
    // Typed or taken from the history, a name holding CR or LF sent its rest as a command
    // of its own ("x<CR><LF>DELE y").
    FakeFtpServer s;
    Session(s, FileLine("ok.bin", "2"));
    s.Expect("NOOP").Reply("200 ok");
    ASSERT_TRUE(WriteBytes(LocalPath("up.bin"), "up"));
    s.Start();
    Connect(s);
    const QString split = QStringLiteral("x\r\nDELE y");
    struct Row {
        int Code;
        QStringList Args;
    };
    const Row rows[] = {
        {qcCwd, {split}},
        {qcMkd, {QStringLiteral("new\ndir")}},
        {qcRename, {QStringLiteral("ok.bin"), split}},
        {qcRename, {split, QStringLiteral("ok.bin")}},
        {qcRaw, {QStringLiteral("SITE CHMOD 644 ") + split}},
        {qcDele, {QStringLiteral("x\ry")}},
        {qcRmd, {QString::fromLatin1("x\0y", 3)}},
        {qcPut, {split, LocalPath("up.bin"), QStringLiteral("2")}},
    };
    for (const Row& row : rows)
        Main().AppendCommand(row.Code, row.Args);
    Main().AppendCommand(qcRaw, {QStringLiteral("NOOP")});
    Main().RunQueueIfReady();
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(After(s), Transcript{"NOOP"});
    // Each refusal is one line of the log, the line ends shown, not obeyed.
    EXPECT_EQ(UserLogCount(QStringLiteral("!ERROR: Refused file name from the server: \"x\\r\\nDELE y\"")), 4);
    EXPECT_TRUE(UserLogHas(QStringLiteral("!ERROR: Refused file name from the server: \"SITE CHMOD 644 x\\r\\nDELE y\"")));
    EXPECT_TRUE(UserLogHas(QStringLiteral("!ERROR: Refused file name from the server: \"new\\ndir\"")));
    EXPECT_TRUE(UserLogHas(QStringLiteral("!ERROR: Refused file name from the server: \"x\\0y\"")));
    EXPECT_TRUE(UserLogHas(QStringLiteral(" STATUS: OK. Executed")));
    EXPECT_TRUE(Main().CommandQueue.isEmpty());
    EXPECT_TRUE(s.Errors().empty());
}
