// Main window: layout of toolbar, log and panes, the menus, the two logs, the view
// toggles, and the binding of every control to its handler.
#include "app/MainWindow.h"

#include "app/DesktopIntegration.h"
#include "app/LocalFilterComboBox.h"
#include "dialogs/AboutBox.h"
#include "platform/UserPlaces.h"
#include "dialogs/LogForm.h"
#include "platform/MessageWindow.h"
#include "platform/SystemImageList.h"
#include "platform/UserPlaces.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QFontDatabase>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QTabBar>
#include <QTabWidget>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QToolButton>
#include <QTreeView>
#include <QVBoxLayout>

#include <algorithm>

namespace {

constexpr int kButtonSize = 22;
constexpr int kUserLogMaxLines = 101;
constexpr int kDebugLogMaxLines = 201;

// Filters of the local pane: display name, then its pattern list.
constexpr const char* kLocalFilters =
    "All files (*.*)|*.*|Web pages|*.html; *.htm; *.asp; *.xml; *.xsl|Text|*.txt|"
    "Images|*.bmp; *.gif; *.jpg; *.jpeg; *.png|Archives\\EXE|*.zip; *.rar; *.arj; *.exe";

QString LogPrefix(TLogKind kind)
{
    switch (kind) {
    case lkStatus:
        return QStringLiteral(" STATUS: ");
    case lkError:
        return QStringLiteral("!ERROR: ");
    case lkWarning:
        return QStringLiteral("!WARNING: ");
    case lkFtp:
        return QStringLiteral(" FTP: ");
    case lkNone:
        break;
    }
    return {};
}

// Drops the first line of a text box; only the first block is touched, so the cost does
// not grow with the length of the log.
void RemoveFirstLine(QPlainTextEdit* box)
{
    QTextCursor cursor(box->document()->firstBlock());
    if (!cursor.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor))
        cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
}

// A read-only log box in the style of both logs: no border, navy monospace text.
void StyleLogBox(QPlainTextEdit* box, bool buttonFace)
{
    box->setReadOnly(true);
    box->setUndoRedoEnabled(false);
    box->setFrameShape(QFrame::NoFrame);
    box->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    box->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    QPalette palette = box->palette();
    if (buttonFace)
        palette.setColor(QPalette::Base, palette.color(QPalette::Button));
    palette.setColor(QPalette::Text, QColor(0, 0, 128));
    box->setPalette(palette);
}

QIcon ThemeIcon(const char* name)
{
    QString plain = QString::fromLatin1(name);
    return QIcon::fromTheme(plain, QIcon::fromTheme(plain + QStringLiteral("-symbolic")));
}

QLabel* NewLabel(const QString& text, QWidget* parent, const char* name = nullptr)
{
    auto* label = new QLabel(text, parent);
    if (name)
        label->setObjectName(QLatin1String(name));
    return label;
}

} // namespace

TMainWindow::TMainWindow(QWidget* parent) : QMainWindow(parent)
{
    FLink = std::make_shared<TWindowLink>();
    FLink->Window = this;
    setObjectName(QStringLiteral("MainWindow"));
    setWindowTitle(QStringLiteral("Ombrex FTP"));
    resize(605, 448);
    platform::EnsureIconTheme();

    // Beside the program for portable use; a private file per process when installed.
    ListTempPath = DefaultListTempPath();
    AscModExPath = QString::fromLocal8Bit(platform::AsciiExtensionsPath().c_str());
    TrustedCertificatesPath = QString::fromLocal8Bit(platform::TrustedCertificatesPath());
    CreateFtpClient();

    FRemoteModel = new TFileListModel(&ImageListForFTPFiles, this);
    FRemoteModel->SetColumns({
        {QStringLiteral("Name"), 200, Qt::AlignLeft | Qt::AlignVCenter},
        {QStringLiteral("Size"), 40, Qt::AlignRight | Qt::AlignVCenter},
        {QStringLiteral("Type"), 70, Qt::AlignLeft | Qt::AlignVCenter},
        {QStringLiteral("Attributes"), 70, Qt::AlignLeft | Qt::AlignVCenter},
        {QStringLiteral("Modified"), 125, Qt::AlignLeft | Qt::AlignVCenter},
    });
    FLocalModel = new TFileListModel(&ImageListForFTPFiles, this);
    FLocalModel->SetColumns({
        {QStringLiteral("Name"), 120, Qt::AlignLeft | Qt::AlignVCenter},
        {QStringLiteral("Type"), 70, Qt::AlignLeft | Qt::AlignVCenter},
    });

    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    setCentralWidget(central);

    CreateToolbar();
    CreateUserLog();
    auto* panes = new QWidget(central);
    auto* panesLayout = new QHBoxLayout(panes);
    panesLayout->setContentsMargins(0, 0, 0, 0);
    panesLayout->setSpacing(3);
    CreateLocalPane(panes);
    CreateRemotePane(panes);
    panesLayout->addWidget(panLocal);
    panesLayout->addWidget(panRemote, 1);

    layout->addWidget(pcToolbar);
    layout->addWidget(txtUserLog);
    layout->addWidget(panes, 1);

    CreateMenu();
    BindHandlers();
    CreateQueuePane();
    FormCreate();
    InstallDesktopIntegration();
}

TMainWindow::~TMainWindow()
{
    // A listing job posts to this window: it ends before the window does.
    CancelListingJob();
    if (FSortCancel)
        FSortCancel->store(true);
    {
        std::lock_guard<std::mutex> lock(FLink->Lock);
        FLink->Window = nullptr;
    }
    if (FListFileRemover.joinable())
        FListFileRemover.join();
    FDesktop.reset();   // stops watching the local folder, removes a private listing file
    // The client goes first, silenced, so that no event of its reaches a dying window.
    ReleaseFtpClient();
    // The list models show icons of ImageListForFTPFiles, which goes before the widgets
    // do; a view laid out while they go (hiding does that) must find no rows.
    FRemoteModel->Clear();
    FLocalModel->Clear();
    // The widgets outlive the fields (they go with the base class), and the local pane's
    // handlers write into flbLocalFiles: nothing may reach them while the widgets go.
    dirLocalDirs->OnChange = nullptr;
    dirLocalDirs->OnEnter = nullptr;
    fcbLocalFilter->OnChange = nullptr;
    fcbLocalFilter->SetFileList(nullptr);
    lvLocalDir->OnChange = nullptr;
    lvLocalDir->OnEnter = nullptr;
}

QToolButton* TMainWindow::NewToolButton(QWidget* page, const char* name, int left,
                                        const QString& hint, const char* iconName)
{
    auto* button = new QToolButton(page);
    button->setObjectName(QLatin1String(name));
    button->setAutoRaise(true);
    button->setToolTip(hint);
    button->setIcon(ThemeIcon(iconName));
    button->setIconSize(QSize(16, 16));
    button->setGeometry(left, 1, kButtonSize, kButtonSize);
    return button;
}

void TMainWindow::CreateToolbar()
{
    pcToolbar = new QTabWidget(centralWidget());
    pcToolbar->setObjectName(QStringLiteral("pcToolbar"));
    tsMain = new QWidget;
    tsMain->setObjectName(QStringLiteral("tsMain"));
    tsNavigation = new QWidget;
    tsNavigation->setObjectName(QStringLiteral("tsNavigation"));
    tsAdditional = new QWidget;
    tsAdditional->setObjectName(QStringLiteral("tsAdditional"));
    pcToolbar->addTab(tsMain, QStringLiteral("Standard"));
    pcToolbar->addTab(tsNavigation, QStringLiteral("Navigation"));
    pcToolbar->addTab(tsAdditional, QStringLiteral("Additional"));

    btnConnect = NewToolButton(tsMain, "btnConnect", 0, QStringLiteral("Connect..."),
                               "network-transmit-receive");
    btnDisconnect = NewToolButton(tsMain, "btnDisconnect", 23, QStringLiteral("Disconnect"),
                                  "network-offline");
    btnAbort = NewToolButton(tsMain, "btnAbort", 50, QStringLiteral("Cancel"), "process-stop");
    btnAbort->setEnabled(false);
    btnRefresh = NewToolButton(tsMain, "btnRefresh", 72, QStringLiteral("Refresh"),
                               "view-refresh");
    // The arrows point the way the files travel between the two panes.
    btnDownload = NewToolButton(tsMain, "btnDownload", 99, QStringLiteral("Download"),
                                "go-previous");
    btnUpload = NewToolButton(tsMain, "btnUpload", 121, QStringLiteral("Upload"), "go-next");
    btnExecFile = NewToolButton(tsMain, "btnExecFile", 148, QStringLiteral("Open"),
                                "document-open");
    btnRemoveFile = NewToolButton(tsMain, "btnRemoveFile", 170, QStringLiteral("Remove"),
                                  "edit-delete");
    btnMKDir = NewToolButton(tsMain, "btnMKDir", 192, QStringLiteral("New directory"),
                             "folder-new");
    btnRename = NewToolButton(tsMain, "btnRename", 214, QStringLiteral("Rename"),
                              "insert-text");
    btnSendCustomCmd = NewToolButton(tsMain, "btnSendCustomCmd", 236,
                                     QStringLiteral("Send command"), "utilities-terminal");

    btnHome = NewToolButton(tsNavigation, "btnHome", 0, QStringLiteral("Go to home directory"),
                            "go-home");
    btnUp = NewToolButton(tsNavigation, "btnUp", 23, QStringLiteral("Parent directory"), "go-up");
    cmbRemoteDirHistory = new QComboBox(tsNavigation);
    cmbRemoteDirHistory->setObjectName(QStringLiteral("cmbRemoteDirHistory"));
    cmbRemoteDirHistory->setEditable(false);
    cmbRemoteDirHistory->setMaxVisibleItems(15);
    cmbRemoteDirHistory->addItem(QStringLiteral("/"));
    cmbRemoteDirHistory->setEnabled(false);
    lblHistory = NewLabel(QStringLiteral("History"), tsNavigation, "lblHistory");
    int labelWidth = lblHistory->sizeHint().width();
    // The combo box starts at 96 unless the label is wider in today's fonts.
    int comboLeft = std::max(96, 56 + labelWidth + 4);
    int comboHeight = std::max(kButtonSize, cmbRemoteDirHistory->sizeHint().height());
    int rowHeight = comboHeight + 2;
    cmbRemoteDirHistory->setGeometry(comboLeft, (rowHeight - comboHeight) / 2, 281, comboHeight);
    lblHistory->setGeometry(56, 0, labelWidth, rowHeight);
    lblHistory->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    lblHistory->setBuddy(cmbRemoteDirHistory);

    btnCHMOD = new QToolButton(tsAdditional);
    btnCHMOD->setObjectName(QStringLiteral("btnCHMOD"));
    btnCHMOD->setText(QStringLiteral("CHMOD"));
    btnCHMOD->setToolTip(QStringLiteral("Change file attributes"));
    btnCHMOD->setAutoRaise(true);
    btnCHMOD->setGeometry(0, 1, 65, kButtonSize);

    // The bar is as high as its tab row plus one row of buttons; that is 50 pixels with the
    // classic fonts and a little more with the larger fonts of today's desktops.
    pcToolbar->setCurrentIndex(0);
    int frame = pcToolbar->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, pcToolbar);
    int height = pcToolbar->tabBar()->sizeHint().height() + rowHeight + 2 * frame + 2;
    pcToolbar->setFixedHeight(std::max(50, height));
}

void TMainWindow::CreateUserLog()
{
    txtUserLog = new QPlainTextEdit(centralWidget());
    txtUserLog->setObjectName(QStringLiteral("txtUserLog"));
    StyleLogBox(txtUserLog, true);
    txtUserLog->setFixedHeight(55);
    txtUserLog->setPlainText(QStringLiteral("Ombrex FTP"));
}

void TMainWindow::CreateLocalPane(QWidget* parent)
{
    panLocal = new QFrame(parent);
    panLocal->setObjectName(QStringLiteral("panLocal"));
    panLocal->setFixedWidth(193);
    auto* layout = new QVBoxLayout(panLocal);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);

    panLocalToolbar = new QFrame(panLocal);
    panLocalToolbar->setObjectName(QStringLiteral("panLocalToolbar"));
    panLocalToolbar->setFixedHeight(24);
    btnRefreshLocal = NewToolButton(panLocalToolbar, "btnRefreshLocal", 0,
                                    QStringLiteral("Refresh"), "view-refresh");

    // The folder tree fills itself at the first turn of the event loop.
    dirLocalDirs = new foldertree::TFolderTree(panLocal);
    dirLocalDirs->setObjectName(QStringLiteral("dirLocalDirs"));
    dirLocalDirs->SetFolderOptions(0);
    dirLocalDirs->setIndentation(19);
    dirLocalDirs->setFixedHeight(123);

    lvLocalDir = new TFileListView(FLocalModel, panLocal);
    lvLocalDir->setObjectName(QStringLiteral("lvLocalDir"));

    panLocalFileInfo = new QFrame(panLocal);
    panLocalFileInfo->setObjectName(QStringLiteral("panLocalFileInfo"));
    panLocalFileInfo->setFixedHeight(53);
    auto* info = new QGridLayout(panLocalFileInfo);
    info->setContentsMargins(2, 2, 2, 2);
    info->setVerticalSpacing(2);
    lblLocalFileSize = NewLabel(QStringLiteral("Unknown"), panLocalFileInfo, "lblLocalFileSize");
    fcbLocalFilter = new TLocalFilterComboBox(panLocalFileInfo);
    fcbLocalFilter->setObjectName(QStringLiteral("fcbLocalFilter"));
    fcbLocalFilter->SetFilter(QString::fromLatin1(kLocalFilters));
    fcbLocalFilter->SetFileList(&flbLocalFiles);
    info->addWidget(NewLabel(QStringLiteral("File size"), panLocalFileInfo), 0, 0);
    info->addWidget(lblLocalFileSize, 0, 1);
    info->addWidget(NewLabel(QStringLiteral("Filter"), panLocalFileInfo), 1, 0);
    info->addWidget(fcbLocalFilter, 1, 1);
    info->setColumnStretch(1, 1);

    layout->addWidget(panLocalToolbar);
    layout->addWidget(dirLocalDirs);
    layout->addWidget(lvLocalDir, 1);
    layout->addWidget(panLocalFileInfo);
}

void TMainWindow::CreateRemotePane(QWidget* parent)
{
    panRemote = new QFrame(parent);
    panRemote->setObjectName(QStringLiteral("panRemote"));
    auto* layout = new QVBoxLayout(panRemote);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);

    lvRemoteDir = new TFileListView(FRemoteModel, panRemote);
    lvRemoteDir->setObjectName(QStringLiteral("lvRemoteDir"));

    panRemoteFileInfo = new QFrame(panRemote);
    panRemoteFileInfo->setObjectName(QStringLiteral("panRemoteFileInfo"));
    panRemoteFileInfo->setFixedHeight(53);
    auto* info = new QHBoxLayout(panRemoteFileInfo);
    info->setContentsMargins(4, 2, 4, 2);

    auto* where = new QGridLayout;
    where->setVerticalSpacing(2);
    lblCurrentRemoteDir = NewLabel(QStringLiteral("Unknown"), panRemoteFileInfo,
                                   "lblCurrentRemoteDir");
    lblCurrentServer = NewLabel(QStringLiteral("Not connected"), panRemoteFileInfo,
                                "lblCurrentServer");
    where->addWidget(NewLabel(QStringLiteral("Current directory:"), panRemoteFileInfo), 0, 0);
    where->addWidget(lblCurrentRemoteDir, 0, 1);
    where->addWidget(NewLabel(QStringLiteral("Current server:"), panRemoteFileInfo), 1, 0);
    where->addWidget(lblCurrentServer, 1, 1);
    where->setColumnStretch(1, 1);

    auto* divider = new QFrame(panRemoteFileInfo);
    divider->setFrameShape(QFrame::VLine);
    divider->setFrameShadow(QFrame::Sunken);

    auto* what = new QGridLayout;
    what->setVerticalSpacing(2);
    lblRemoteFileSize = NewLabel(QStringLiteral("Unknown"), panRemoteFileInfo,
                                 "lblRemoteFileSize");
    lblRemoteFileAttr = NewLabel(QStringLiteral("Unknown"), panRemoteFileInfo,
                                 "lblRemoteFileAttr");
    what->addWidget(NewLabel(QStringLiteral("File size:"), panRemoteFileInfo), 0, 0);
    what->addWidget(lblRemoteFileSize, 0, 1);
    what->addWidget(NewLabel(QStringLiteral("File attributes:"), panRemoteFileInfo), 1, 0);
    what->addWidget(lblRemoteFileAttr, 1, 1);
    what->setColumnStretch(1, 1);

    info->addLayout(where, 1);
    info->addWidget(divider);
    info->addLayout(what, 1);

    layout->addWidget(lvRemoteDir, 1);
    layout->addWidget(panRemoteFileInfo);
}

void TMainWindow::CreateMenu()
{
    auto named = [](auto* object, const char* name) {
        object->setObjectName(QLatin1String(name));
        return object;
    };
    MainMenu1 = named(menuBar(), "MainMenu1");

    FTP1 = named(MainMenu1->addMenu(QStringLiteral("&FTP")), "FTP1");
    Connect1 = named(FTP1->addAction(QStringLiteral("&Connect")), "Connect1");
    Connect1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_C));
    Disconnect1 = named(FTP1->addAction(QStringLiteral("&Disconnect")), "Disconnect1");
    Disconnect1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_D));
    FTP1->addSeparator();
    Exit1 = named(FTP1->addAction(QStringLiteral("&Exit")), "Exit1");
    // The menu's shortcuts work in every window of the program and beat the copy key of
    // the read-only log boxes (see eventFilter).
    for (QAction* action : {Connect1, Disconnect1}) {
        action->setShortcutContext(Qt::ApplicationShortcut);
        FShortcutActions.push_back(action);
    }

    View1 = named(MainMenu1->addMenu(QStringLiteral("&View")), "View1");
    FRemoteViewGroup = new QActionGroup(this);
    RemoteViewTypeReport1 = named(View1->addAction(QStringLiteral("View remote files as report")),
                                  "RemoteViewTypeReport1");
    RemoteViewTypeList1 = named(View1->addAction(QStringLiteral("View remote files as list")),
                                "RemoteViewTypeList1");
    for (QAction* action : {RemoteViewTypeReport1, RemoteViewTypeList1}) {
        action->setCheckable(true);
        FRemoteViewGroup->addAction(action);
    }
    RemoteViewTypeReport1->setChecked(true);
    View1->addSeparator();
    ShowLocalFilesPanel1 = named(View1->addAction(QStringLiteral("Show local files")),
                                 "ShowLocalFilesPanel1");
    ShowLog1 = named(View1->addAction(QStringLiteral("Show log")), "ShowLog1");
    for (QAction* action : {ShowLocalFilesPanel1, ShowLog1}) {
        action->setCheckable(true);
        action->setChecked(true);
    }
    View1->addSeparator();
    Log1 = named(View1->addAction(QStringLiteral("Debug log")), "Log1");

    Options1 = named(MainMenu1->addMenu(QStringLiteral("&Options")), "Options1");
    TransferType1 = named(Options1->addMenu(QStringLiteral("&Transfer type")), "TransferType1");
    FTransferTypeGroup = new QActionGroup(this);
    TransfertTypeAuto1 = named(TransferType1->addAction(QStringLiteral("Auto &detect")),
                               "TransfertTypeAuto1");
    TransferType1->addSeparator();
    TransfertTypeBinary1 = named(TransferType1->addAction(QStringLiteral("&Binary")),
                                 "TransfertTypeBinary1");
    TransfertTypeAscii1 = named(TransferType1->addAction(QStringLiteral("&Ascii")),
                                "TransfertTypeAscii1");
    for (QAction* action : {TransfertTypeAuto1, TransfertTypeBinary1, TransfertTypeAscii1}) {
        action->setCheckable(true);
        FTransferTypeGroup->addAction(action);
    }
    TransfertTypeAuto1->setChecked(true);
    RequestTimeout1 = named(Options1->addAction(QStringLiteral("Request &timeout...")), "RequestTimeout1");
    KeepAlive1 = named(Options1->addAction(QStringLiteral("&Keep-alive interval...")), "KeepAlive1");

    Help1 = named(MainMenu1->addMenu(QStringLiteral("&?")), "Help1");
    About1 = named(Help1->addAction(QStringLiteral("About")), "About1");
}

std::function<void()> TMainWindow::Traced(const char* name, std::function<void()> handler)
{
    return [this, name, handler = std::move(handler)] {
        try {
            if (OnHandlerTrace)
                OnHandlerTrace(name);
            handler();
        } catch (...) {
            platform::HandleException(std::current_exception());
        }
    };
}

// Binds a control's signal to the handler of the same name, traced and guarded.
#define OMBREX_BIND(sender, signal, handler) \
    connect(sender, signal, this, Traced(#handler, [this] { handler(); }))

void TMainWindow::BindHandlers()
{
    OMBREX_BIND(btnConnect, &QToolButton::clicked, btnConnectClick);
    OMBREX_BIND(btnDisconnect, &QToolButton::clicked, btnDisconnectClick);
    OMBREX_BIND(btnAbort, &QToolButton::clicked, btnAbortClick);
    OMBREX_BIND(btnRefresh, &QToolButton::clicked, btnRefreshClick);
    OMBREX_BIND(btnDownload, &QToolButton::clicked, btnDownloadClick);
    OMBREX_BIND(btnUpload, &QToolButton::clicked, btnUploadClick);
    OMBREX_BIND(btnExecFile, &QToolButton::clicked, btnExecFileClick);
    OMBREX_BIND(btnRemoveFile, &QToolButton::clicked, btnRemoveFileClick);
    OMBREX_BIND(btnMKDir, &QToolButton::clicked, btnMKDirClick);
    OMBREX_BIND(btnRename, &QToolButton::clicked, btnRenameClick);
    OMBREX_BIND(btnSendCustomCmd, &QToolButton::clicked, btnSendCustomCmdClick);
    OMBREX_BIND(btnHome, &QToolButton::clicked, btnHomeClick);
    OMBREX_BIND(btnUp, &QToolButton::clicked, btnUpClick);
    // activated: only a choice of the user, not the items that a PWD puts in.
    OMBREX_BIND(cmbRemoteDirHistory, &QComboBox::activated, cmbRemoteDirHistoryChange);
    OMBREX_BIND(btnCHMOD, &QToolButton::clicked, btnCHMODClick);

    OMBREX_BIND(btnRefreshLocal, &QToolButton::clicked, btnRefreshLocalClick);
    dirLocalDirs->OnChange = [change = Traced("dirLocalDirsChange", [this] { dirLocalDirsChange(); })](
                                 foldertree::TFolderTree*, foldertree::TFolderNode*) { change(); };
    dirLocalDirs->OnEnter = [enter = Traced("dirLocalDirsEnter", [this] { dirLocalDirsEnter(); })](
                                foldertree::TFolderTree*) { enter(); };
    // The combo box has handed the chosen mask to flbLocalFiles before this runs.
    fcbLocalFilter->OnChange = Traced("fcbLocalFilterChange", [this] { fcbLocalFilterChange(); });
    lvLocalDir->OnChange = Traced("lvLocalDirChange", [this] { lvLocalDirChange(); });
    lvLocalDir->OnEnter = Traced("lvLocalDirEnter", [this] { lvLocalDirEnter(); });

    lvRemoteDir->OnChange = Traced("lvRemoteDirChange", [this] { lvRemoteDirChange(); });
    lvRemoteDir->OnDblClick = Traced("lvRemoteDirDblClick", [this] { lvRemoteDirDblClick(); });
    lvRemoteDir->OnEnter = Traced("lvRemoteDirEnter", [this] { lvRemoteDirEnter(); });
    lvRemoteDir->OnColumnClick = [this](int column) {
        Traced("lvRemoteDirColumnClick", [this, column] { lvRemoteDirColumnClick(column); })();
    };

    OMBREX_BIND(Connect1, &QAction::triggered, Connect1Click);
    OMBREX_BIND(Disconnect1, &QAction::triggered, Disconnect1Click);
    OMBREX_BIND(Exit1, &QAction::triggered, Exit1Click);
    OMBREX_BIND(RemoteViewTypeReport1, &QAction::triggered, RemoteViewTypeReport1Click);
    OMBREX_BIND(RemoteViewTypeList1, &QAction::triggered, RemoteViewTypeList1Click);
    OMBREX_BIND(ShowLocalFilesPanel1, &QAction::triggered, ShowLocalFilesPanel1Click);
    OMBREX_BIND(ShowLog1, &QAction::triggered, ShowLog1Click);
    OMBREX_BIND(Log1, &QAction::triggered, Log1Click);
    OMBREX_BIND(TransfertTypeAuto1, &QAction::triggered, TransfertTypeAuto1Click);
    OMBREX_BIND(TransfertTypeBinary1, &QAction::triggered, TransfertTypeBinary1Click);
    OMBREX_BIND(TransfertTypeAscii1, &QAction::triggered, TransfertTypeAscii1Click);
    OMBREX_BIND(RequestTimeout1, &QAction::triggered, RequestTimeout1Click);
    OMBREX_BIND(KeepAlive1, &QAction::triggered, KeepAlive1Click);
    OMBREX_BIND(About1, &QAction::triggered, About1Click);

    qApp->installEventFilter(this);   // ShortcutOverride: see eventFilter
}

#undef OMBREX_BIND

void TMainWindow::FormCreate()
{
    // ImageListForFTPFiles maps its indexes onto the system icon list as they are asked
    // for (own icon at 0, system icon i at i + 1), and both list models already show it.
    UpdateControls();
}

bool TMainWindow::eventFilter(QObject* watched, QEvent* event)
{
    switch (event->type()) {
    case QEvent::ShortcutOverride: {
        // Text boxes (line edits even when read-only) claim Ctrl+C for copying before any
        // shortcut is looked at. Declining the override for the menu's keys lets the menu
        // item run instead, unless a modal dialog blocks the main window anyway.
        auto* key = static_cast<QKeyEvent*>(event);
        if (QApplication::activeModalWidget())
            break;
        for (QAction* action : FShortcutActions) {
            const QKeySequence& shortcut = action->shortcut();
            if (action->isEnabled() && shortcut.count() == 1
                && shortcut[0] == key->keyCombination()) {
                key->ignore();
                return true;
            }
        }
        break;
    }
    default:
        break;
    }
    return QMainWindow::eventFilter(watched, event);
}

void TMainWindow::closeEvent(QCloseEvent* event)
{
    if (!CloseTransferQueue()) {
        event->ignore();
        return;
    }
    QMainWindow::closeEvent(event);
    if (event->isAccepted() && OnClose)
        OnClose();
}

void TMainWindow::LogUser(const QString& text, TLogKind kind)
{
    if (txtUserLog->blockCount() > kUserLogMaxLines - 1)
        RemoveFirstLine(txtUserLog);
    txtUserLog->appendPlainText(LogPrefix(kind) + text);
    // A text with line breaks of its own adds several lines at once.
    while (txtUserLog->blockCount() > kUserLogMaxLines)
        RemoveFirstLine(txtUserLog);
}

void TMainWindow::LogDebug(const QString& text)
{
    if (DebugLines.size() > kDebugLogMaxLines - 1) {
        DebugLines.removeFirst();
        if (LogForm)
            RemoveFirstLine(LogForm->txtLog);
    }
    DebugLines.append(text);
    if (LogForm)
        LogForm->txtLog->appendPlainText(text);
}

void TMainWindow::FtpClient1Display(const std::string& Msg)
{
    QString message = QString::fromLocal8Bit(Msg.data(), static_cast<qsizetype>(Msg.size()));
    LogDebug(QStringLiteral("From FtpClient1 : ") + message);
    LogUser(message, lkFtp);
}

void TMainWindow::Exit1Click()
{
    close();
}

void TMainWindow::Log1Click()
{
    if (!LogForm)
        return;
    LogForm->show();
    LogForm->raise();
    LogForm->activateWindow();
}

void TMainWindow::About1Click()
{
    if (AboutBox)
        AboutBox->exec();
}

void TMainWindow::RemoteViewTypeReport1Click()
{
    lvRemoteDir->SetViewStyle(vsReport);
    RemoteViewTypeReport1->setChecked(true);
    RemoteViewTypeList1->setChecked(false);
}

void TMainWindow::RemoteViewTypeList1Click()
{
    lvRemoteDir->SetViewStyle(vsList);
    RemoteViewTypeList1->setChecked(true);
    RemoteViewTypeReport1->setChecked(false);
}

void TMainWindow::ShowLocalFilesPanel1Click()
{
    panLocal->setVisible(ShowLocalFilesPanel1->isChecked());
}

void TMainWindow::ShowLog1Click()
{
    txtUserLog->setVisible(ShowLog1->isChecked());
}
