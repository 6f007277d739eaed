// Drives the program for the README's picture: starts a local pyftpdlib with a few sample
// files, connects the main window to it through the connect dialog, selects a file, and
// saves what the screen shows. Run under a virtual display: docs/take-screenshot.sh.
// Usage: app_screenshot OUTPUT.png
#include "app/Application.h"
#include "app/Forms.h"
#include "app/MainWindow.h"
#include "dialogs/ConnectForm.h"
#include "platform/MessageWindow.h"
#include "servers/FtpServers.h"

#include <QCheckBox>
#include <QFileInfo>
#include <QGuiApplication>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QPixmap>
#include <QScreen>
#include <QTemporaryDir>

#include <sys/stat.h>
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

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.png\n", argv[0]);
        return 2;
    }
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

    // A home of its own, so that the local pane shows a tidy desktop and not this machine's.
    const std::string home = testsrv::MakeTempDir("ombrex-shot-home");
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
    for (int row = 0; row < w.lvRemoteDir->Model()->Count(); ++row) {
        if (w.lvRemoteDir->Model()->Item(row).Caption == "notes with blanks.txt") {
            w.lvRemoteDir->SelectionModel()->setCurrentIndex(
                w.lvRemoteDir->Model()->index(row, 0),
                QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
            w.lvRemoteDir->setFocus();
        }
    }
    PumpUntil([] { return false; }, 1000);
    QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(0);
    if (shot.isNull() || shot.width() < 100)
        shot = w.grab();   // a platform without a screen to grab (offscreen)
    if (!shot.save(output, "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(output));
        return 1;
    }
    testsrv::RemoveTree(home);
    std::printf("Wrote %s (%dx%d)\n", argv[1], shot.width(), shot.height());
    return 0;
}
