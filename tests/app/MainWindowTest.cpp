// The started program: windows and their order, toolbar, menus, enabling, the two logs,
// view toggles, menu shortcuts over text boxes, and the error box for escaping exceptions.
#include "AppTestEnvironment.h"

#include "dialogs/AboutBox.h"
#include "dialogs/InputDialog.h"
#include "dialogs/LogForm.h"
#include "dialogs/TransferStatusForm.h"
#include "platform/MessageWindow.h"

#include <QAction>
#include <QActionGroup>
#include <QClipboard>
#include <QComboBox>
#include <QEventLoop>
#include <QFrame>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QTest>
#include <QTextBlock>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>

#include <algorithm>
#include <stdexcept>

namespace {

QStringList Lines(const QPlainTextEdit* box)
{
    return box->toPlainText().split(QLatin1Char('\n'));
}

bool Contains(const std::vector<std::string>& names, const std::string& name)
{
    return std::find(names.begin(), names.end(), name) != names.end();
}

} // namespace

// ---- start-up ----

TEST_F(ProgramTest, TitleWindowsInOrderAndOnlyTheMainWindowShown)
{
    EXPECT_EQ(App().Title(), "Ombrex FTP");
    EXPECT_EQ(Main().windowTitle(), "Ombrex FTP");
    QStringList order;
    for (QWidget* window : Forms->Windows())
        order << window->objectName();
    EXPECT_EQ(order, (QStringList{"MainWindow", "ConnectForm", "LogForm", "TransferStatusForm",
                                  "FileExistsForm", "InputDialog", "AboutBox"}));
    EXPECT_TRUE(Main().isVisible());
    EXPECT_TRUE(Main().windowState() & Qt::WindowMaximized);
    for (QWidget* window : Forms->Windows())
        EXPECT_EQ(window->isVisible(), window == &Main()) << window->objectName().toStdString();
    EXPECT_EQ(Main().pcToolbar->currentWidget(), Main().tsMain);
}

TEST_F(ProgramTest, MainWindowFillsTheScreenWithoutAWindowManager)
{
    QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_GE(Main().width(), area.width() - 16);
    EXPECT_GE(Main().height(), area.height() - 64);
}

TEST_F(ProgramTest, StatusWindowCancelAndEscapeRunTheMainWindowAbort)
{
    Forms->TransferStatusForm->show();
    QTest::mouseClick(Forms->TransferStatusForm->btnAbort, Qt::LeftButton);
    EXPECT_EQ(Handlers, std::vector<std::string>{"btnAbortClick"});
    QTest::keyClick(Forms->TransferStatusForm.get(), Qt::Key_Escape);
    EXPECT_EQ(Handlers, (std::vector<std::string>{"btnAbortClick", "btnAbortClick"}));
    EXPECT_TRUE(Forms->TransferStatusForm->isVisible());
}

TEST_F(ProgramTest, FirstTextsOfLabelsAndFields)
{
    EXPECT_EQ(Lines(Main().txtUserLog), QStringList{"Ombrex FTP"});
    EXPECT_EQ(Main().lblCurrentRemoteDir->text(), "Unknown");
    EXPECT_EQ(Main().lblCurrentServer->text(), "Not connected");
    EXPECT_EQ(Main().lblRemoteFileSize->text(), "Unknown");
    EXPECT_EQ(Main().lblRemoteFileAttr->text(), "Unknown");
    EXPECT_EQ(Main().lblLocalFileSize->text(), "Unknown");
    EXPECT_TRUE(Main().DebugLines.isEmpty());
    EXPECT_TRUE(Main().CommandQueue.isEmpty());
    EXPECT_EQ(Main().ExistingFileDecision, -1);
    EXPECT_FALSE(Main().TransferBusy);
    EXPECT_FALSE(Main().ExpectClose);
    EXPECT_TRUE(Main().ListTempPath.endsWith("/OFTPTEMP.TMP"));
    EXPECT_TRUE(Main().ListTempPath.startsWith(QCoreApplication::applicationDirPath()));
}

// ---- toolbar ----

struct ToolButtonRow {
    const char* page;
    const char* name;
    const char* hint;
    int left;
    const char* handler;
};

const ToolButtonRow kToolButtons[] = {
    {"tsMain", "btnConnect", "Connect...", 0, "btnConnectClick"},
    {"tsMain", "btnDisconnect", "Disconnect", 23, "btnDisconnectClick"},
    {"tsMain", "btnAbort", "Cancel", 50, "btnAbortClick"},
    {"tsMain", "btnRefresh", "Refresh", 72, "btnRefreshClick"},
    {"tsMain", "btnDownload", "Download", 99, "btnDownloadClick"},
    {"tsMain", "btnUpload", "Upload", 121, "btnUploadClick"},
    {"tsMain", "btnExecFile", "Open", 148, "btnExecFileClick"},
    {"tsMain", "btnRemoveFile", "Remove", 170, "btnRemoveFileClick"},
    {"tsMain", "btnMKDir", "New directory", 192, "btnMKDirClick"},
    {"tsMain", "btnRename", "Rename", 214, "btnRenameClick"},
    {"tsMain", "btnSendCustomCmd", "Send command", 236, "btnSendCustomCmdClick"},
    {"tsNavigation", "btnHome", "Go to home directory", 0, "btnHomeClick"},
    {"tsNavigation", "btnUp", "Parent directory", 23, "btnUpClick"},
    {"panLocalToolbar", "btnRefreshLocal", "Refresh", 0, "btnRefreshLocalClick"},
};

TEST_F(ProgramTest, ToolButtonsStandWhereTheyBelongWithHintsIconsAndHandlers)
{
    for (const ToolButtonRow& row : kToolButtons) {
        SCOPED_TRACE(row.name);
        auto* page = Main().findChild<QWidget*>(row.page);
        ASSERT_NE(page, nullptr);
        auto* button = page->findChild<QToolButton*>(row.name);
        ASSERT_NE(button, nullptr);
        EXPECT_EQ(button->toolTip(), row.hint);
        EXPECT_EQ(button->geometry().left(), row.left);
        EXPECT_EQ(button->size(), QSize(22, 22));
        EXPECT_TRUE(button->autoRaise());
        EXPECT_FALSE(button->icon().isNull());
        // The pages that are not shown have not been laid out; show each in turn.
        if (auto* tabs = qobject_cast<QTabWidget*>(page->parentWidget()->parentWidget()))
            tabs->setCurrentWidget(page);
        button->setEnabled(true);
        Handlers.clear();
        QTest::mouseClick(button, Qt::LeftButton);
        EXPECT_EQ(Handlers, std::vector<std::string>{row.handler});
    }
}

TEST_F(ProgramTest, ToolbarPagesHistoryAndChmod)
{
    QTabWidget* tabs = Main().pcToolbar;
    ASSERT_EQ(tabs->count(), 3);
    EXPECT_EQ(tabs->tabText(0), "Standard");
    EXPECT_EQ(tabs->tabText(1), "Navigation");
    EXPECT_EQ(tabs->tabText(2), "Additional");
    EXPECT_EQ(tabs->widget(0), Main().tsMain);
    EXPECT_EQ(tabs->widget(1), Main().tsNavigation);
    EXPECT_EQ(tabs->widget(2), Main().tsAdditional);
    EXPECT_GE(tabs->height(), 50);

    QComboBox* history = Main().cmbRemoteDirHistory;
    EXPECT_EQ(history->parentWidget(), Main().tsNavigation);
    EXPECT_FALSE(history->isEditable());
    EXPECT_EQ(history->maxVisibleItems(), 15);
    ASSERT_EQ(history->count(), 1);
    EXPECT_EQ(history->itemText(0), "/");
    EXPECT_FALSE(history->isEnabled());
    EXPECT_GE(history->geometry().left(), 96);
    EXPECT_EQ(history->width(), 281);
    EXPECT_EQ(Main().lblHistory->text(), "History");
    EXPECT_EQ(Main().lblHistory->geometry().left(), 56);
    // The whole caption shows: the label ends before the combo box begins.
    EXPECT_GE(Main().lblHistory->width(), Main().lblHistory->sizeHint().width());
    EXPECT_LE(Main().lblHistory->geometry().right(), history->geometry().left());

    QToolButton* chmod = Main().btnCHMOD;
    EXPECT_EQ(chmod->parentWidget(), Main().tsAdditional);
    EXPECT_EQ(chmod->text(), "CHMOD");
    EXPECT_EQ(chmod->toolTip(), "Change file attributes");
    EXPECT_EQ(chmod->size(), QSize(65, 22));
    tabs->setCurrentWidget(Main().tsAdditional);
    chmod->setEnabled(true);
    QTest::mouseClick(chmod, Qt::LeftButton);
    EXPECT_EQ(Handlers, std::vector<std::string>{"btnCHMODClick"});

    tabs->setCurrentWidget(Main().tsNavigation);
    history->setEnabled(true);
    history->addItem("/pub");
    Handlers.clear();
    emit history->activated(1);   // what a choice in the drop-down list sends
    EXPECT_EQ(Handlers, std::vector<std::string>{"cmbRemoteDirHistoryChange"});
}

TEST_F(ProgramTest, NotConnectedOnlyConnectAndLocalControlsAreEnabled)
{
    const std::vector<QWidget*> needConnection = {
        Main().lvRemoteDir, Main().btnDisconnect, Main().cmbRemoteDirHistory, Main().btnHome,
        Main().btnUp, Main().btnDownload, Main().btnUpload, Main().btnRefresh,
        Main().btnRemoveFile, Main().btnMKDir, Main().btnRename, Main().btnSendCustomCmd,
        Main().btnCHMOD};
    for (QWidget* control : needConnection)
        EXPECT_FALSE(control->isEnabled()) << control->objectName().toStdString();
    EXPECT_FALSE(Main().Disconnect1->isEnabled());
    EXPECT_FALSE(Main().btnAbort->isEnabled());
    EXPECT_TRUE(Main().btnConnect->isEnabled());
    EXPECT_TRUE(Main().Connect1->isEnabled());
    EXPECT_TRUE(Main().btnExecFile->isEnabled());
    EXPECT_TRUE(Main().lvLocalDir->isEnabled());
    EXPECT_TRUE(Main().btnRefreshLocal->isEnabled());

    Main().TransferBusy = true;
    Main().UpdateControls();
    EXPECT_TRUE(Main().btnAbort->isEnabled());
    Main().TransferBusy = false;
    Main().FtpClient1StateChange();
    EXPECT_FALSE(Main().btnAbort->isEnabled());
}

// ---- menus ----

struct MenuRow {
    const char* menu;
    const char* name;
    const char* text;
    const char* shortcut;
    bool checkable;
    bool checked;
    const char* handler;   // null: checked on its own below
};

const MenuRow kMenuItems[] = {
    {"FTP1", "Connect1", "&Connect", "Ctrl+C", false, false, "Connect1Click"},
    {"FTP1", "Disconnect1", "&Disconnect", "Ctrl+D", false, false, "Disconnect1Click"},
    {"FTP1", "Exit1", "&Exit", "", false, false, nullptr},
    {"View1", "RemoteViewTypeReport1", "View remote files as report", "", true, true,
     "RemoteViewTypeReport1Click"},
    {"View1", "RemoteViewTypeList1", "View remote files as list", "", true, false,
     "RemoteViewTypeList1Click"},
    {"View1", "ShowLocalFilesPanel1", "Show local files", "", true, true,
     "ShowLocalFilesPanel1Click"},
    {"View1", "ShowLog1", "Show log", "", true, true, "ShowLog1Click"},
    {"View1", "ShowHiddenFiles1", "Show hidden files", "Ctrl+H", true, false, "ShowHiddenFiles1Click"},
    {"View1", "Log1", "Debug log", "", false, false, "Log1Click"},
    {"TransferType1", "TransfertTypeAuto1", "Auto &detect", "", true, true,
     "TransfertTypeAuto1Click"},
    {"TransferType1", "TransfertTypeBinary1", "&Binary", "", true, false,
     "TransfertTypeBinary1Click"},
    {"TransferType1", "TransfertTypeAscii1", "&Ascii", "", true, false,
     "TransfertTypeAscii1Click"},
    {"Help1", "About1", "About", "", false, false, nullptr},
};

TEST_F(ProgramTest, MenuBarTitlesInOrder)
{
    QStringList titles;
    for (QAction* action : Main().MainMenu1->actions())
        titles << action->text();
    EXPECT_EQ(titles, (QStringList{"&FTP", "&View", "&Options", "&?"}));
    ASSERT_EQ(Main().Options1->actions().size(), 3);
    EXPECT_EQ(Main().Options1->actions()[0]->text(), "&Transfer type");
    EXPECT_EQ(Main().Options1->actions()[0]->menu(), Main().TransferType1);
    EXPECT_EQ(Main().Options1->actions()[1]->text(), "Request &timeout...");
    EXPECT_EQ(Main().Options1->actions()[2]->text(), "&Keep-alive interval...");
    // The defaults: 30 s of silence end a request, an idle session says NOOP every 60 s.
    EXPECT_EQ(Main().FtpClient1->RequestTimeout(), 30);
    EXPECT_EQ(Main().FtpClient1->KeepAlive(), 60);
}

TEST_F(ProgramTest, MenuItemsTextsShortcutsChecksAndHandlers)
{
    for (const MenuRow& row : kMenuItems) {
        SCOPED_TRACE(row.name);
        auto* menu = Main().findChild<QMenu*>(row.menu);
        ASSERT_NE(menu, nullptr);
        auto* action = Main().findChild<QAction*>(row.name);
        ASSERT_NE(action, nullptr);
        EXPECT_TRUE(menu->actions().contains(action));
        EXPECT_EQ(action->text(), row.text);
        EXPECT_EQ(action->shortcut(), QKeySequence(QString::fromLatin1(row.shortcut)));
        EXPECT_EQ(action->isCheckable(), row.checkable);
        EXPECT_EQ(action->isChecked(), row.checked);
        if (!row.handler)
            continue;
        action->setEnabled(true);
        Handlers.clear();
        action->trigger();
        EXPECT_EQ(Handlers, std::vector<std::string>{row.handler});
    }
}

TEST_F(ProgramTest, SeparatorsStandWhereTheMenusHaveThem)
{
    auto shape = [](QMenu* menu) {
        QString s;
        for (QAction* a : menu->actions())
            s += a->isSeparator() ? QLatin1Char('-') : QLatin1Char('x');
        return s;
    };
    EXPECT_EQ(shape(Main().FTP1), "xx-x");
    EXPECT_EQ(shape(Main().View1), "xx-xxx-x");
    EXPECT_EQ(shape(Main().TransferType1), "x-xx");
}

TEST_F(ProgramTest, TransferTypeItemsAreOneRadioGroup)
{
    Main().TransfertTypeAscii1->trigger();
    EXPECT_EQ(Main().TransferTypeMode, 2);
    EXPECT_TRUE(Main().TransfertTypeAscii1->isChecked());
    EXPECT_FALSE(Main().TransfertTypeAuto1->isChecked());
    Main().TransfertTypeBinary1->trigger();
    EXPECT_EQ(Main().TransferTypeMode, 1);
    EXPECT_FALSE(Main().TransfertTypeAscii1->isChecked());
    Main().TransfertTypeAuto1Click();
    EXPECT_EQ(Main().TransferTypeMode, 0);
    EXPECT_TRUE(Main().TransfertTypeAuto1->isChecked());
    EXPECT_FALSE(Main().TransfertTypeBinary1->isChecked());
}

TEST_F(ProgramTest, DebugLogItemShowsTheLogWindowWithoutModality)
{
    Main().Log1->trigger();
    EXPECT_TRUE(Forms->LogForm->isVisible());
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

TEST_F(ProgramTest, AboutItemShowsTheAboutBoxModally)
{
    bool wasModal = false;
    QTimer::singleShot(0, [&] {
        wasModal = QApplication::activeModalWidget() == Forms->AboutBox.get();
        Forms->AboutBox->accept();
    });
    Main().About1->trigger();
    EXPECT_TRUE(wasModal);
    EXPECT_EQ(Handlers, std::vector<std::string>{"About1Click"});
}

TEST_F(ProgramTest, ExitClosesTheMainWindowAndEndsTheProgram)
{
    QuitSwallower quit;
    Main().Exit1->trigger();
    EXPECT_FALSE(Main().isVisible());
    EXPECT_TRUE(platform::ApplicationTerminating());
    QTest::qWait(20);
    EXPECT_EQ(quit.Quits, 1);
}

// ---- logs ----

TEST_F(ProgramTest, UserLogPrefixesByKind)
{
    struct {
        TLogKind kind;
        const char* line;
    } const rows[] = {
        {lkStatus, " STATUS: text"},
        {lkError, "!ERROR: text"},
        {lkWarning, "!WARNING: text"},
        {lkFtp, " FTP: text"},
        {lkNone, "text"},
    };
    for (const auto& row : rows) {
        Main().LogUser("text", row.kind);
        EXPECT_EQ(Lines(Main().txtUserLog).last(), row.line);
    }
}

TEST_F(ProgramTest, The102ndUserLogLineRemovesTheFirst)
{
    for (int i = 1; i <= 100; ++i)
        Main().LogUser(QString::number(i));
    EXPECT_EQ(Main().txtUserLog->blockCount(), 101);
    EXPECT_EQ(Lines(Main().txtUserLog).first(), "Ombrex FTP");
    Main().LogUser("101");
    QStringList lines = Lines(Main().txtUserLog);
    EXPECT_EQ(lines.size(), 101);
    EXPECT_EQ(lines.first(), "1");
    EXPECT_EQ(lines.last(), "101");
    for (int i = 102; i <= 500; ++i)
        Main().LogUser(QString::number(i));
    lines = Lines(Main().txtUserLog);
    EXPECT_EQ(lines.size(), 101);
    EXPECT_EQ(lines.first(), "400");
}

TEST_F(ProgramTest, DebugLogAndDebugWindowDropTheirOldestLineTogether)
{
    QPlainTextEdit* window = Forms->LogForm->txtLog;
    for (int i = 1; i <= 201; ++i)
        Main().LogDebug(QString::number(i));
    EXPECT_EQ(Main().DebugLines.size(), 201);
    EXPECT_EQ(Lines(window).size(), 202);   // its own first line "Ombrex FTP" is still there
    EXPECT_EQ(Lines(window).first(), "Ombrex FTP");
    Main().LogDebug("202");
    EXPECT_EQ(Main().DebugLines.size(), 201);
    EXPECT_EQ(Main().DebugLines.first(), "2");
    EXPECT_EQ(Lines(window).size(), 202);
    EXPECT_EQ(Lines(window).first(), "1");
    EXPECT_EQ(Lines(window).last(), "202");
    for (int i = 203; i <= 1000; ++i)
        Main().LogDebug(QString::number(i));
    EXPECT_EQ(Main().DebugLines.first(), "800");
    EXPECT_EQ(Main().DebugLines.last(), "1000");
    EXPECT_EQ(Lines(window).first(), "799");
    EXPECT_EQ(Lines(window).size(), 202);
}

TEST_F(ProgramTest, DebugLogKeepsCollectingWhileItsWindowIsHidden)
{
    ASSERT_FALSE(Forms->LogForm->isVisible());
    Main().LogDebug("while hidden");
    EXPECT_EQ(Lines(Forms->LogForm->txtLog).last(), "while hidden");
}

TEST_F(ProgramTest, FtpClientDisplayIsLoggedTwice)
{
    Main().FtpClient1Display("< 220 Welcome");
    EXPECT_EQ(Main().DebugLines.last(), "From FtpClient1 : < 220 Welcome");
    EXPECT_EQ(Lines(Forms->LogForm->txtLog).last(), "From FtpClient1 : < 220 Welcome");
    EXPECT_EQ(Lines(Main().txtUserLog).last(), " FTP: < 220 Welcome");
}

// ---- view toggles ----

TEST_F(ProgramTest, HidingTheLocalPaneGivesItsWidthToTheRemotePane)
{
    QApplication::processEvents();
    int before = Main().panRemote->width();
    Main().ShowLocalFilesPanel1->trigger();
    QApplication::processEvents();
    EXPECT_FALSE(Main().ShowLocalFilesPanel1->isChecked());
    EXPECT_FALSE(Main().panLocal->isVisible());
    EXPECT_GE(Main().panRemote->width(), before + 193);
    Main().ShowLocalFilesPanel1->trigger();
    QApplication::processEvents();
    EXPECT_TRUE(Main().panLocal->isVisible());
    EXPECT_EQ(Main().panRemote->width(), before);
}

TEST_F(ProgramTest, HidingTheLogGivesItsHeightToThePanes)
{
    QApplication::processEvents();
    int before = Main().panRemote->height();
    Main().ShowLog1->trigger();
    QApplication::processEvents();
    EXPECT_FALSE(Main().txtUserLog->isVisible());
    EXPECT_GE(Main().panRemote->height(), before + 55);
    Main().ShowLog1->trigger();
    QApplication::processEvents();
    EXPECT_TRUE(Main().txtUserLog->isVisible());
    EXPECT_EQ(Main().panRemote->height(), before);
}

TEST_F(ProgramTest, ReportAndListStylesShareRowsAndSelection)
{
    TFileListModel* model = Main().lvRemoteDir->Model();
    model->Add({"..", {"0", "Parent directory", "dr-xr-xr-x"}, TFtpFileImageList::iiParentDir});
    model->Add({"pub", {"4096", "Directory", "drwxr-xr-x"}, TFtpFileImageList::iiFolder});
    model->Add({"readme.txt", {"1234", ".txt file", "-rw-r--r--"}, TFtpFileImageList::iiFile});
    Main().lvRemoteDir->SetSelected(2, true);

    Main().RemoteViewTypeList1->trigger();
    EXPECT_EQ(Main().lvRemoteDir->ViewStyle(), vsList);
    EXPECT_TRUE(Main().RemoteViewTypeList1->isChecked());
    EXPECT_FALSE(Main().RemoteViewTypeReport1->isChecked());
    EXPECT_EQ(Main().lvRemoteDir->ActiveView(), Main().lvRemoteDir->ListView());
    EXPECT_EQ(Main().lvRemoteDir->ListView()->selectionModel(),
              Main().lvRemoteDir->ReportView()->selectionModel());
    EXPECT_EQ(Main().lvRemoteDir->SelectedRows(), std::vector<int>{2});

    Main().lvRemoteDir->SetSelected(1, true);
    Main().RemoteViewTypeReport1->trigger();
    EXPECT_EQ(Main().lvRemoteDir->ViewStyle(), vsReport);
    EXPECT_TRUE(Main().RemoteViewTypeReport1->isChecked());
    EXPECT_FALSE(Main().RemoteViewTypeList1->isChecked());
    EXPECT_EQ(Main().lvRemoteDir->SelectedRows(), (std::vector<int>{1, 2}));
}

TEST_F(ProgramTest, ListColumnsOfBothPanes)
{
    auto captions = [](TFileListView* view) {
        QStringList result;
        for (const TFileListColumn& column : view->Model()->Columns())
            result << column.Caption;
        return result;
    };
    EXPECT_EQ(captions(Main().lvRemoteDir), (QStringList{"Name", "Size", "Type", "Attributes", "Modified"}));
    EXPECT_EQ(captions(Main().lvLocalDir), (QStringList{"Name", "Type", "Size", "Modified"}));
    EXPECT_EQ(Main().lvRemoteDir->ColumnWidth(0), 200);
    EXPECT_EQ(Main().lvRemoteDir->ColumnWidth(1), 40);
    EXPECT_EQ(Main().lvLocalDir->ColumnWidth(0), 120);
    EXPECT_TRUE(Main().lvRemoteDir->Model()->Columns()[1].Alignment & Qt::AlignRight);
    EXPECT_EQ(Main().panLocal->width(), 193);
    EXPECT_EQ(Main().dirLocalDirs->height(), 123);
    EXPECT_EQ(Main().txtUserLog->height(), 55);
}

TEST_F(ProgramTest, LocalFilterOffersTheFiveFiltersWithTheFirstChosen)
{
    QComboBox* filter = Main().fcbLocalFilter;
    QStringList names;
    for (int i = 0; i < filter->count(); ++i)
        names << filter->itemText(i);
    EXPECT_EQ(names, (QStringList{"All files (*.*)", "Web pages", "Text", "Images",
                                  "Archives\\EXE"}));
    EXPECT_EQ(filter->currentIndex(), 0);
    EXPECT_EQ(filter->itemData(2).toString(), "*.txt");
    filter->setCurrentIndex(2);
    EXPECT_EQ(Handlers, std::vector<std::string>{"fcbLocalFilterChange"});
}

TEST_F(ProgramTest, ListEventsReachTheirHandlers)
{
    TFileListModel* model = Main().lvRemoteDir->Model();
    model->Add({"a", {"1", " file", "-rw-r--r--"}, TFtpFileImageList::iiFile});
    Main().lvRemoteDir->setEnabled(true);
    Main().lvRemoteDir->SetSelected(0, true);
    EXPECT_TRUE(Contains(Handlers, "lvRemoteDirChange"));
    Handlers.clear();
    QHeaderView* header = Main().lvRemoteDir->ReportView()->header();
    emit header->sectionClicked(1);
    EXPECT_EQ(Handlers, std::vector<std::string>{"lvRemoteDirColumnClick"});
    Handlers.clear();
    QTreeView* report = Main().lvRemoteDir->ReportView();
    QApplication::processEvents();   // lets the view lay out the new row
    QRect cell = report->visualRect(model->index(0, 0));
    ASSERT_TRUE(cell.isValid());
    // A double click is a click followed by the second press that Qt reports as double.
    QTest::mouseClick(report->viewport(), Qt::LeftButton, {}, cell.center());
    QTest::mouseDClick(report->viewport(), Qt::LeftButton, {}, cell.center());
    EXPECT_TRUE(Contains(Handlers, "lvRemoteDirDblClick"));

    Main().lvLocalDir->Model()->Add({"x.txt", {"Text"}, TFtpFileImageList::iiFile});
    Handlers.clear();
    Main().lvLocalDir->SetSelected(0, true);
    EXPECT_EQ(Handlers, std::vector<std::string>{"lvLocalDirChange"});
}

TEST_F(ProgramTest, EnteringAPaneTellsWhichPaneIsActive)
{
    ASSERT_TRUE(QTest::qWaitForWindowActive(&Main()));
    Main().lvRemoteDir->setEnabled(true);
    Main().lvRemoteDir->ReportView()->setFocus(Qt::MouseFocusReason);
    EXPECT_TRUE(Contains(Handlers, "lvRemoteDirEnter"));
    EXPECT_TRUE(Main().RemotePaneActive);
    Main().lvLocalDir->ReportView()->setFocus(Qt::MouseFocusReason);
    EXPECT_TRUE(Contains(Handlers, "lvLocalDirEnter"));
    EXPECT_FALSE(Main().RemotePaneActive);
    Main().lvRemoteDir->ReportView()->setFocus(Qt::TabFocusReason);
    EXPECT_TRUE(Main().RemotePaneActive);
    Handlers.clear();
    Main().dirLocalDirs->setFocus(Qt::TabFocusReason);
    // One Enter per focus; a tree without a current node also makes its first node
    // current then (dirLocalDirsChange), as keyboard users need one to move from.
    EXPECT_EQ(std::count(Handlers.begin(), Handlers.end(), "dirLocalDirsEnter"), 1);
    EXPECT_FALSE(Main().RemotePaneActive);
}

// ---- shortcuts over text boxes ----

TEST_F(ProgramTest, CtrlCInTheUserLogOpensConnectInsteadOfCopying)
{
    ASSERT_TRUE(QTest::qWaitForWindowActive(&Main()));
    QApplication::clipboard()->setText("before");
    Main().txtUserLog->setFocus();
    Main().txtUserLog->selectAll();
    ASSERT_TRUE(Main().txtUserLog->hasFocus());
    QTest::keyClick(Main().txtUserLog, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(Handlers, std::vector<std::string>{"Connect1Click"});
    EXPECT_EQ(QApplication::clipboard()->text(), "before");
}

TEST_F(ProgramTest, CtrlCBeatsATextBoxThatClaimsTheCopyKeyForItself)
{
    // A line edit claims Ctrl+C before any shortcut is looked at, read-only or not; the
    // menu item must still win while it is enabled.
    auto* edit = new QLineEdit("some text", Main().panRemoteFileInfo);
    edit->setReadOnly(true);
    edit->show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&Main()));
    QApplication::clipboard()->setText("before");
    edit->setFocus();
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(Handlers, std::vector<std::string>{"Connect1Click"});
    EXPECT_EQ(QApplication::clipboard()->text(), "before");
}

TEST_F(ProgramTest, CtrlDInTheUserLogDisconnectsWhenDisconnectIsEnabled)
{
    ASSERT_TRUE(QTest::qWaitForWindowActive(&Main()));
    Main().Disconnect1->setEnabled(true);
    Main().txtUserLog->setFocus();
    QTest::keyClick(Main().txtUserLog, Qt::Key_D, Qt::ControlModifier);
    EXPECT_EQ(Handlers, std::vector<std::string>{"Disconnect1Click"});
}

TEST_F(ProgramTest, CtrlCCopiesFromTheLogWhileConnectIsDisabled)
{
    ASSERT_TRUE(QTest::qWaitForWindowActive(&Main()));
    Main().Connect1->setEnabled(false);
    QApplication::clipboard()->setText("before");
    Main().txtUserLog->setFocus();
    Main().txtUserLog->selectAll();
    QTest::keyClick(Main().txtUserLog, Qt::Key_C, Qt::ControlModifier);
    EXPECT_TRUE(Handlers.empty());
    EXPECT_EQ(QApplication::clipboard()->text(), "Ombrex FTP");
}

TEST_F(ProgramTest, CtrlCInTheDebugWindowOpensConnectToo)
{
    Main().Log1->trigger();
    ASSERT_TRUE(QTest::qWaitForWindowActive(Forms->LogForm.get()));
    Forms->LogForm->txtLog->setFocus();
    Handlers.clear();
    QTest::keyClick(Forms->LogForm->txtLog, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(Handlers, std::vector<std::string>{"Connect1Click"});
}

// ---- errors that escape handlers ----

TEST_F(ProgramTest, HandlerExceptionIsShownInTheErrorBoxAndTheLoopGoesOn)
{
    Main().OnHandlerTrace = [this](const char* name) {
        Handlers.emplace_back(name);
        if (std::string(name) == "btnRefreshLocalClick")
            throw std::runtime_error("Disk not ready");
    };
    bool later = false;
    QEventLoop loop;
    QTimer::singleShot(0, [&] { QTest::mouseClick(Main().btnRefreshLocal, Qt::LeftButton); });
    QTimer::singleShot(0, [&] { QTest::mouseClick(Main().btnRefreshLocal, Qt::LeftButton); });
    QTimer::singleShot(10, [&] {
        later = true;
        loop.quit();
    });
    loop.exec();
    EXPECT_TRUE(later);
    ASSERT_EQ(Boxes.size(), 2u);
    EXPECT_EQ(Boxes[0].first, "Ombrex FTP");
    EXPECT_EQ(Boxes[0].second, "Disk not ready");
    EXPECT_TRUE(Main().isVisible());
}

namespace {

// An object whose event handler throws, straight under the application's notify().
class ThrowingObject : public QObject {
public:
    int Handled = 0;
    bool event(QEvent* e) override
    {
        if (e->type() == QEvent::User)
            throw std::runtime_error("thrown from an event");
        if (e->type() == QEvent::Type(QEvent::User + 1)) {
            ++Handled;
            return true;
        }
        return QObject::event(e);
    }
};

class ThrowingWindow : public platform::MessageWindow {
protected:
    void WndProc(platform::TMessage& msg) override
    {
        if (msg.Msg == platform::WM_USER)
            throw std::logic_error("thrown from a message");
    }
};

} // namespace

TEST_F(ProgramTest, ExceptionEscapingAnEventIsCaughtByNotify)
{
    ThrowingObject object;
    QCoreApplication::postEvent(&object, new QEvent(QEvent::User));
    QCoreApplication::postEvent(&object, new QEvent(QEvent::Type(QEvent::User + 1)));
    QEventLoop loop;
    QTimer::singleShot(10, &loop, &QEventLoop::quit);
    loop.exec();
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0], (std::pair<QString, QString>{"Ombrex FTP", "thrown from an event"}));
    EXPECT_EQ(object.Handled, 1);
}

TEST_F(ProgramTest, ExceptionOfAMessageWindowGoesToTheSameBox)
{
    ThrowingWindow window;
    window.PostMessage(platform::WM_USER);
    platform::PumpMessages();
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].second, "thrown from a message");
}

TEST_F(ProgramTest, QuitRequestMarksTheApplicationTerminating)
{
    QuitSwallower quit;
    ASSERT_FALSE(platform::ApplicationTerminating());
    QEvent request(QEvent::Quit);
    QCoreApplication::sendEvent(qApp, &request);
    EXPECT_EQ(quit.Quits, 1);
    EXPECT_TRUE(platform::ApplicationTerminating());
}

// ---- former bugs ----

TEST_F(ProgramTest, FormerBugLogBoxesKeepNoUndoHistory)
{
    // Every appended and dropped line used to stay in the undo stack of the read-only
    // boxes, so memory grew with every log line for the whole run.
    for (int i = 0; i < 300; ++i) {
        Main().LogUser("line");
        Main().LogDebug("line");
    }
    EXPECT_FALSE(Main().txtUserLog->document()->isUndoAvailable());
    EXPECT_FALSE(Forms->LogForm->txtLog->document()->isUndoAvailable());
}

TEST_F(ProgramTest, FormerBugMultiLineTextKeptTheUserLogWithin101Lines)
{
    for (int i = 0; i < 100; ++i)
        Main().LogUser("x");
    Main().LogUser("first\nsecond\nthird", lkFtp);
    QStringList lines = Lines(Main().txtUserLog);
    EXPECT_EQ(lines.size(), 101);
    EXPECT_EQ(lines.last(), "third");
}
