// The main window (offscreen) downloads a tree of many small files (default 2,000 files of
// 8 KiB in 20 folders) from a local vsftpd through its transfer queue with 4 connections,
// through the latency relay (default 20 ms round trip); oftp get -r --parallel 4 fetches the
// same tree through the same relay right after. Prints both times and their ratio (goal:
// the window within 1.2x of oftp), the longest time the UI thread handled no event while the
// queue ran (seen by a 10 ms timer; goal below 100 ms) and the window's resident memory
// after a quarter, half and all of the files (goal: flat). With OMBREX_STALL_TRACE set, every
// event that kept the UI thread over 30 ms is listed (its type and receiver, and the
// monotonic clock of its start, to find it in a `perf record -k CLOCK_MONOTONIC` profile).
//
//   bench_folderwindow [files [folders [rtt_ms]]]
#include "app/Application.h"
#include "app/Forms.h"
#include "app/MainWindow.h"
#include "app/TransferQueuePane.h"
#include "dialogs/ConnectForm.h"
#include "servers/FtpServers.h"

#include <QCheckBox>
#include <QEventLoop>
#include <QLineEdit>
#include <QSpinBox>
#include <QTimer>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

extern char** environ;

namespace {

double Now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

long RssKiB()
{
    std::string status = testsrv::ReadFile("/proc/self/status");
    std::size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : std::atol(status.c_str() + at + 6);
}

double RunOftp(const std::vector<std::string>& argv)
{
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    double start = Now();
    pid_t pid;
    if (posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ) != 0)
        return -1;
    posix_spawn_file_actions_destroy(&fa);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? Now() - start : -1;
}

bool Same(const std::string& a, const std::string& b)
{
    return std::system(("diff -r '" + a + "' '" + b + "' >/dev/null").c_str()) == 0;
}

// Which event the UI thread was handling when it stalled: the gap between the start of one
// event and the start of the next is charged to the first (the bench's 10 ms timer keeps
// events coming, so idle waits do not count).
class TStallTrace : public QObject {
public:
    bool Recording = false;
    struct TStall {
        double At, Ms;
        std::string What;
    };
    std::vector<TStall> Stalls;
    double Start = 0;
    bool eventFilter(QObject* Receiver, QEvent* Event) override
    {
        if (!Recording)
            return false;
        double now = Now();
        if (FLast > 0 && now - FLast > 0.03)
            Stalls.push_back({FLast - Start, (now - FLast) * 1000, FWhat});
        FLast = now;
        FWhat = std::to_string(int(Event->type())) + " to " + Receiver->metaObject()->className() + " "
                + Receiver->objectName().toStdString();
        return false;
    }

private:
    double FLast = 0;
    std::string FWhat;
};

} // namespace

int main(int argc, char** argv)
{
    int files = argc > 1 ? std::atoi(argv[1]) : 2000;
    int folders = argc > 2 ? std::atoi(argv[2]) : 20;
    double rtt = argc > 3 ? std::atof(argv[3]) : 20.0;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    auto server = testsrv::StartVsftpd();
    if (!server) {
        std::fprintf(stderr, "vsftpd cannot run here\n");
        return 1;
    }
    std::string tree = server->Root() + "/bench";
    mkdir(tree.c_str(), 0755);
    std::string block(8192, 'x');
    for (int f = 0; f < folders; ++f) {
        std::string dir = tree + "/d" + std::to_string(f);
        mkdir(dir.c_str(), 0755);
        for (int i = f; i < files; i += folders) {
            block[0] = char(i);
            block[1] = char(i >> 8);
            testsrv::WriteFile(dir + "/f" + std::to_string(i) + ".bin", block);
        }
    }
    int relayPid = -1;
    std::uint16_t relayPort = 0;
    if (!testsrv::StartLatencyRelay(RELAY_SCRIPT, server->Port(), rtt / 2, relayPid, relayPort)) {
        std::fprintf(stderr, "the latency relay did not start\n");
        return 1;
    }
    const std::string work = testsrv::MakeTempDir("ombrex-folderwindow");
    std::printf("%d files of 8 KiB in %d folders from vsftpd through a %g ms round trip\n", files, folders, rtt);

    TApplication app(argc, argv);
    auto forms = StartProgram(app);
    TMainWindow& w = *forms->MainWindow;
    w.OnMessageBox = [](const QString& caption, const QString& text, QMessageBox::Icon) {
        std::fprintf(stderr, "box: %s: %s\n", qPrintable(caption), qPrintable(text));
    };
    w.OnQuestion = [](const QString&, const QString&) { return false; };
    w.ListTempPath = QString::fromStdString(work + "/OFTPTEMP.TMP");
    w.QueuePath = QString::fromStdString(work + "/OFTPQueue.txt");
    w.show();

    TStallTrace trace;
    app.installEventFilter(&trace);
    std::vector<double> ticks;
    bool recording = false;
    auto runUntil = [&](const std::function<bool()>& cond, double seconds) {
        QEventLoop loop;
        QTimer ticker;
        ticker.setTimerType(Qt::PreciseTimer);
        ticker.setInterval(10);
        double deadline = Now() + seconds;
        bool met = false;
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            if (recording)
                ticks.push_back(Now());
            if (cond()) {
                met = true;
                loop.quit();
            } else if (Now() > deadline) {
                loop.quit();
            }
        });
        ticker.start();
        loop.exec();
        return met;
    };
    runUntil([] { return false; }, 0.3);
    w.flbLocalFiles.SetDirectory(work);
    forms->ConnectForm->OnShowModal = [&] {
        TConnectForm& f = *forms->ConnectForm;
        f.txtServerName->setText("127.0.0.1");
        f.txtPort->setText(QString::number(relayPort));
        f.txtUserName->setText(QString::fromStdString(server->User()));
        f.txtPassWord->setText(QString::fromStdString(server->Password()));
        f.txtRemoteDir->setText("/");
        f.chkPassive->setChecked(true);
        return static_cast<int>(QDialog::Accepted);
    };
    w.btnConnectClick();
    auto idle = [&] { return w.IsClientIdle() && w.CommandQueue.isEmpty(); };
    if (!runUntil(idle, 60) || !runUntil(idle, 60)) {
        std::fprintf(stderr, "connecting did not finish\n");
        return 1;
    }
    TFileListView& view = *w.lvRemoteDir;
    for (int i = 0; i < view.Model()->Count(); ++i)
        if (view.Model()->Item(i).Caption == "bench")
            view.SetSelected(i, true);
    w.QueuePane->spnConnections->setValue(4);
    transfer::TTransferQueue& queue = w.QueuePane->Queue;

    long rssStart = RssKiB();
    std::vector<long> rss;   // after a quarter, half, three quarters and all of the files
    recording = true;
    double start = Now();
    trace.Start = start;
    trace.Recording = std::getenv("OMBREX_STALL_TRACE") != nullptr;
    w.btnDownloadClick();
    bool done = runUntil(
        [&] {
            transfer::TQueueProgress p = queue.Progress();
            while (rss.size() < 4 && p.Files >= files && p.FilesDone >= files * int(rss.size() + 1) / 4)
                rss.push_back(RssKiB());
            return queue.Idle() && p.FilesDone >= files;
        },
        1800);
    double gui = Now() - start;
    recording = false;
    trace.Recording = false;
    for (const auto& s : trace.Stalls)
        std::printf("stall of %.0f ms at %.2f s (clock %.6f) in event %s\n", s.Ms, s.At, s.At + trace.Start, s.What.c_str());
    double longest = 0, longestAt = 0;
    for (std::size_t i = 1; i < ticks.size(); ++i)
        if (ticks[i] - ticks[i - 1] > longest) {
            longest = ticks[i] - ticks[i - 1];
            longestAt = ticks[i - 1] - start;
        }
    bool guiSame = done && Same(tree, work + "/bench");

    double oftp = RunOftp({OFTP_BINARY, "--port", std::to_string(relayPort), "--user", server->User(), "--password",
                           server->Password(), "--parallel", "4", "127.0.0.1", "get", "-r", "/bench",
                           work + "/oftp-copy"});
    bool oftpSame = oftp > 0 && Same(tree, work + "/oftp-copy");

    std::printf("window, queue with 4 connections   %8.2f s%s\n", gui, guiSame ? "" : "  (COPY DIFFERS)");
    std::printf("oftp get -r --parallel 4           %8.2f s%s\n", oftp, oftpSame ? "" : "  (COPY DIFFERS)");
    if (gui > 0 && oftp > 0)
        std::printf("window / oftp: %.2fx (goal <= 1.2x)\n", gui / oftp);
    std::printf("longest UI stall while the queue ran: %.0f ms, %.1f s after the start (goal < 100 ms)\n",
                longest * 1000, longestAt);
    int over = 0;
    for (std::size_t i = 1; i < ticks.size(); ++i)
        over += ticks[i] - ticks[i - 1] > 0.1;
    std::string load = testsrv::ReadFile("/proc/loadavg");
    std::printf("UI stalls over 100 ms: %d; load average: %s", over, load.c_str());
    std::printf("window RSS: %ld KiB before", rssStart);
    const char* marks[] = {"a quarter", "half", "three quarters", "all"};
    for (std::size_t i = 0; i < rss.size(); ++i)
        std::printf(", %ld KiB after %s", rss[i], marks[i]);
    std::printf("\n");
    kill(relayPid, SIGTERM);
    waitpid(relayPid, nullptr, 0);
    testsrv::RemoveTree(work);
    return 0;
}
