// Drives the program for the README's pictures: starts a local pyftpdlib with a few sample
// files, connects the main window to it through the connect dialog and saves what the
// screen shows. Mode "main" (the default) selects a small file; mode "transfer" downloads
// a large one and takes the picture while it runs, the transfer status window showing.
// The screen is taken with ImageMagick's import when it is there, else through Qt.
// Run under a virtual display: docs/take-screenshot.sh.
// Usage: app_screenshot OUTPUT.png [main|transfer]
#include "app/Application.h"
#include "app/Forms.h"
#include "app/MainWindow.h"
#include "dialogs/ConnectForm.h"
#include "dialogs/TransferStatusForm.h"
#include "platform/MessageWindow.h"
#include "servers/FtpServers.h"

#include <QCheckBox>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QPixmap>
#include <QScreen>
#include <QSplitter>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

bool PumpUntil(const std::function<bool()>& cond, std::uint32_t timeoutMs)
{
    std::uint64_t deadline = platform::GetTickCount64() + timeoutMs;
    while (!cond()) {
        if (platform::GetTickCount64() > deadline)
            return false;
        platform::PumpMessages();
        platform::Sleep(5);
    }
    return true;
}

void Put(const std::string& path, const std::string& text)
{
    testsrv::WriteFile(path, text);
}

// A file of size bytes that takes no room (its bytes read as zeros).
bool PutSparse(const std::string& path, off_t size)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool ok = ::ftruncate(fd, size) == 0;
    ::close(fd);
    return ok;
}

// The whole X screen through ImageMagick's import; false when it is not installed or fails.
bool ImportRootWindow(const QString& output)
{
    const char* import = "/usr/bin/import";
    if (::access(import, X_OK) != 0)
        return false;
    const std::string out = output.toStdString();
    pid_t pid = ::fork();
    if (pid == 0) {
        ::execl(import, import, "-window", "root", out.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void SelectRemote(TMainWindow& w, const QString& caption)
{
    for (int row = 0; row < w.lvRemoteDir->Model()->Count(); ++row) {
        if (w.lvRemoteDir->Model()->Item(row).Caption == caption) {
            w.lvRemoteDir->SelectionModel()->setCurrentIndex(
                w.lvRemoteDir->Model()->index(row, 0),
                QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
            w.lvRemoteDir->setFocus();
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 2 ? argv[2] : "main";
    if (argc < 2 || (mode != "main" && mode != "transfer")) {
        std::fprintf(stderr, "usage: %s OUTPUT.png [main|transfer]\n", argv[0]);
        return 2;
    }
    const bool transfer = mode == "transfer";
    // Made absolute now: the local pane changes the working directory as it follows folders.
    const QString output = QFileInfo(QString::fromLocal8Bit(argv[1])).absoluteFilePath();
    auto server = testsrv::StartPyftpdlib();
    if (!server) {
        std::fprintf(stderr, "pyftpdlib cannot run here\n");
        return 1;
    }
    const std::string root = server->Root();
    ::mkdir((root + "/docs").c_str(), 0755);
    ::mkdir((root + "/Holiday photos").c_str(), 0755);
    ::mkdir((root + "/pub").c_str(), 0755);
    Put(root + "/readme.txt", "Welcome to the Ombrex FTP demo server.\n");
    Put(root + "/notes with blanks.txt", "A file whose name has blanks in it.\n");
    Put(root + "/changes.html", "<html><body><h1>Changes</h1></body></html>\n");
    Put(root + "/data.bin", std::string(65536, '\x5a'));
    Put(root + "/setup.exe", std::string(1048576, '\x01'));
    Put(root + "/archive.tar.gz", std::string(20480, '\x1f'));
    const QString bigName = QStringLiteral("debian-12-amd64-DVD-1.iso");
    const off_t bigSize = 3994091520;
    if (transfer && !PutSparse(root + "/" + bigName.toStdString(), bigSize)) {
        std::fprintf(stderr, "cannot make the large file\n");
        return 1;
    }

    // A home of its own, so that the local pane shows a tidy desktop and not this machine's.
    const std::string home = testsrv::MakeTempDir("ombrex-shot-home");
    // Removed after the program's objects are gone: they still write below it as they go.
    struct TRemoveAtEnd {
        std::string Path;
        ~TRemoveAtEnd() { testsrv::RemoveTree(Path); }
    } removeHome{home};
    const std::string desktop = home + "/Desktop";
    for (const char* dir : {"", "/Documents", "/Downloads", "/Music", "/Pictures"})
        ::mkdir((desktop + dir).c_str(), 0755);
    Put(desktop + "/budget 2024.ods", std::string(18000, 'b'));
    Put(desktop + "/letter.txt", "Dear server,\n");
    Put(desktop + "/holiday.jpg", std::string(240000, 'j'));
    Put(desktop + "/slides.pdf", std::string(90000, 'p'));
    setenv("HOME", home.c_str(), 1);
    unsetenv("XDG_CONFIG_HOME");
    unsetenv("XDG_DESKTOP_DIR");

    TApplication app(argc, argv);
    auto forms = StartProgram(app);
    TMainWindow& w = *forms->MainWindow;
    QTemporaryDir temp;
    w.ListTempPath = temp.filePath("OFTPTEMP.TMP");
    forms->ConnectForm->OnShowModal = [&] {
        TConnectForm& f = *forms->ConnectForm;
        f.txtServerName->setText("127.0.0.1");
        f.txtPort->setText(QString::number(server->Port()));
        f.txtUserName->setText(QString::fromStdString(server->User()));
        f.txtPassWord->setText(QString::fromStdString(server->Password()));
        f.txtRemoteDir->setText("/");
        f.chkPassive->setChecked(true);
        return static_cast<int>(QDialog::Accepted);
    };
    PumpUntil([] { return false; }, 1000);   // the folder tree fills itself
    w.dirLocalDirs->SelectPath(desktop);
    PumpUntil([] { return false; }, 300);
    w.btnConnectClick();
    auto idle = [&] { return w.IsClientIdle() && w.CommandQueue.isEmpty() && w.lvRemoteDir->Model()->Count() > 1; };
    if (!PumpUntil([&] { return idle() && (platform::PumpMessages(), idle()); }, 20000)) {
        std::fprintf(stderr, "the listing did not arrive\n");
        return 1;
    }
    if (!transfer) {
        SelectRemote(w, QStringLiteral("notes with blanks.txt"));
        // Both panes in use: the local pane wide enough for its size and date columns,
        // the tree folded to the desktop, a local file picked as for an upload.
        w.splPanes->setSizes({470, 810});
        w.dirLocalDirs->collapse(w.dirLocalDirs->IndexOf(w.dirLocalDirs->ComputerNode()));
        for (int row = 0; row < w.lvLocalDir->Model()->Count(); ++row)
            if (w.lvLocalDir->Model()->Item(row).Caption == QLatin1String("letter.txt"))
                w.lvLocalDir->SelectionModel()->setCurrentIndex(
                    w.lvLocalDir->Model()->index(row, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    } else {
        SelectRemote(w, bigName);
        // Past this many bytes every block is held back a while, so that the picture shows
        // the download at a steady point while the window goes on painting.
        const std::int64_t holdAt = bigSize / 100 * 37 + 12345678;
        bool held = false;
        auto progress = w.FtpClient1->OnProgress;
        w.FtpClient1->OnProgress = [&](TCustomFtpCli* sender, std::int64_t count, bool& abort) {
            progress(sender, count, abort);
            if (count >= holdAt) {
                held = true;
                platform::Sleep(40);
            }
        };
        w.btnDownloadClick();
        if (!PumpUntil([&] { return held; }, 60000)) {
            std::fprintf(stderr, "the download did not get going\n");
            return 1;
        }
        // Where a user might drag it: over the remote list, clear of the log.
        TTransferStatusForm& status = *forms->TransferStatusForm;
        status.move(w.geometry().x() + 560, w.geometry().y() + 300);
        status.raise();
    }
    PumpUntil([] { return false; }, 1000);
    int width = 0, height = 0;
    if (ImportRootWindow(output)) {
        QImage image(output);
        width = image.width();
        height = image.height();
    } else {
        QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(0);
        if (shot.isNull() || shot.width() < 100)
            shot = w.grab();   // a platform without a screen to grab (offscreen)
        if (!shot.save(output, "PNG")) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(output));
            return 1;
        }
        width = shot.width();
        height = shot.height();
    }
    std::printf("Wrote %s (%dx%d)\n", argv[1], width, height);
    return 0;
}
