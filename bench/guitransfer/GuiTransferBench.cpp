// The main window's transfers against oftp's, in one run: the real window (offscreen, its
// own event loop) connected to a local vsftpd serving a file from RAM in passive mode
// downloads it with the download button and uploads it again with the upload button, the
// transfer status window shown and repainted meanwhile; oftp fetches and sends the same
// file right before or after the window (each direction back to back, so that both meet
// the same load of the machine).
// Per run and direction: MB/s (the window's from the button press to the transfer's
// completion, oftp's over its whole run: start, login, transfer, QUIT); CPU seconds per
// GiB (the GUI process's own user + system time across its transfer, oftp's from wait4);
// the ratio GUI/oftp; the longest time the UI thread processed no event while the
// window's transfer ran (seen by a 10 ms timer); how often the status window painted and
// the loop slept in poll; whether every copy has the size and MD5 of the served file. The
// load average is printed before and after: on a busy machine the figures scatter widely.
// Runs alternate which side goes first, after a warm-up round that is not counted (the
// first writes of a fresh machine's memory cost far more than later ones, and would weigh
// on whichever side went first).
// vsftpd runs on the first processor, the window and oftp on the second (--no-pin leaves
// the placement to the scheduler). With --gui-only neither oftp nor the MD5 sums run
// (sizes are still checked): for profiling the window's transfers alone.
// With --tls both speak explicit FTP over TLS (control and data, PROT P) to a vsftpd that
// refuses plain FTP and requires session reuse on data connections; oftp trusts the test
// CA (--ca-file), the window the server's certificate through a trusted-certificates file
// made for the run (as "Trust always" would have stored it), so no dialog interrupts it.
//
//   bench_guitransfer [MiB [runs]] [--gui-only] [--no-pin] [--tls]     (defaults 1024, 3)
#include "app/Application.h"
#include "app/ByteText.h"
#include "app/CommandQueue.h"
#include "app/Forms.h"
#include "app/MainWindow.h"
#include "dialogs/ConnectForm.h"
#include "dialogs/TransferStatusForm.h"
#include "platform/MessageWindow.h"
#include "platform/TrustedCertificates.h"
#include "servers/FtpServers.h"
#include "servers/TestCertificates.h"

#include <QAbstractEventDispatcher>
#include <QCheckBox>
#include <QCryptographicHash>
#include <QEvent>
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QTimer>

#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

extern char** environ;

namespace {

constexpr double kGiB = 1024.0 * 1024.0 * 1024.0;

long long NowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

double CpuSeconds(const rusage& ru)
{
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

double SelfCpu()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return CpuSeconds(ru);
}

struct Sample {
    double Wall = 0;   // seconds
    double Cpu = 0;    // seconds
    bool Ok = false;
};

// Runs argv with its standard files on /dev/null; wall time, and the child's CPU time.
Sample Run(const std::vector<std::string>& argv)
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
    Sample s;
    long long start = NowNs();
    pid_t pid;
    int spawned = posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (spawned != 0)
        return s;
    int status = 0;
    rusage ru{};
    wait4(pid, &status, 0, &ru);
    s.Wall = double(NowNs() - start) / 1e9;
    s.Cpu = CpuSeconds(ru);
    s.Ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return s;
}

long long FileSize(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

QByteArray Md5(const std::string& path)
{
    QFile f(QString::fromStdString(path));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QCryptographicHash hash(QCryptographicHash::Md5);
    if (!hash.addData(&f))
        return {};
    return hash.result().toHex();
}

struct Range {
    std::vector<double> Values;
    void Add(double v) { Values.push_back(v); }
    double Min() const { return Values.empty() ? 0 : *std::min_element(Values.begin(), Values.end()); }
    double Max() const { return Values.empty() ? 0 : *std::max_element(Values.begin(), Values.end()); }
    double Median() const
    {
        if (Values.empty())
            return 0;
        std::vector<double> v = Values;
        std::sort(v.begin(), v.end());
        return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
    }
};

// Counts the paint events a widget receives.
class TPaintCounter : public QObject {
public:
    int Count = 0;
    bool eventFilter(QObject*, QEvent* e) override
    {
        if (e->type() == QEvent::Paint)
            ++Count;
        return false;
    }
};

} // namespace

int main(int argc, char** argv)
{
    long long mib = 1024;
    int runs = 3;
    bool guiOnly = false;
    bool pin = true;
    bool tls = false;
    int position = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--gui-only")
            guiOnly = true;
        else if (std::string(argv[i]) == "--no-pin")
            pin = false;
        else if (std::string(argv[i]) == "--tls")
            tls = true;
        else if (position++ == 0)
            mib = std::atoll(argv[i]);
        else
            runs = std::atoi(argv[i]);
    }
    if (mib <= 0 || runs <= 0) {
        std::fprintf(stderr, "usage: bench_guitransfer [MiB [runs]] [--gui-only] [--no-pin] [--tls]\n");
        return 2;
    }
    const testsrv::TestCertificates* certs = tls ? testsrv::Certificates() : nullptr;
    if (tls && !certs) {
        std::fprintf(stderr, "the openssl command could not make the certificates\n");
        return 1;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // Served and received files live in RAM, so the disk measures nothing.
    setenv("TMPDIR", "/dev/shm", 1);
    // The server on one processor, the clients (the window, oftp) on another, as if they
    // were two machines. Left to the scheduler, server and client sometimes share one
    // processor and sometimes not, and the same transfer takes twice as long in the one
    // case as in the other, whichever the client.
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    sched_getaffinity(0, sizeof allowed, &allowed);
    std::vector<int> cpus;
    for (int c = 0; c < CPU_SETSIZE; ++c)
        if (CPU_ISSET(c, &allowed))
            cpus.push_back(c);
    pin = pin && cpus.size() >= 2;
    auto pinTo = [](int cpu) {
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(cpu, &set);
        return sched_setaffinity(0, sizeof set, &set) == 0;
    };
    if (pin && !pinTo(cpus[0]))
        pin = false;
    // Inherits the first processor.
    auto server = tls ? testsrv::StartVsftpd(testsrv::VsftpdTlsConfig(certs->ServerBoth)) : testsrv::StartVsftpd();
    if (pin && !pinTo(cpus[1]))
        pin = false;
    if (!pin)
        sched_setaffinity(0, sizeof allowed, &allowed);
    if (!server) {
        std::fprintf(stderr, "vsftpd cannot run here (it needs root and the package)\n");
        return 1;
    }
    if (pin)
        std::printf("vsftpd on processor %d, the window and oftp on processor %d\n", cpus[0], cpus[1]);
    else
        std::printf("processors not pinned\n");
    const long long bytes = mib * 1024 * 1024;
    const std::string served = server->LocalPath("/bench.bin");
    {
        std::vector<char> block(1 << 20);
        for (std::size_t i = 0; i < block.size(); ++i)
            block[i] = char((i * 2654435761u) >> 13);
        FILE* f = std::fopen(served.c_str(), "wb");
        for (long long left = bytes; left > 0; left -= static_cast<long long>(block.size())) {
            block[0] = char(left >> 20);   // no two MiB alike: a misplaced block changes the sum
            std::fwrite(block.data(), 1, std::size_t(std::min<long long>(left, static_cast<long long>(block.size()))), f);
        }
        std::fclose(f);
    }
    const QByteArray servedMd5 = guiOnly ? QByteArray("-") : Md5(served);
    const std::string work = testsrv::MakeTempDir("ombrex-guibench");
    const std::string guiLocal = work + "/bench.bin";          // the window's download, then its upload
    const std::string oftpLocal = work + "/oftp-down.bin";
    const std::string guiRemote = server->LocalPath("/upload/bench.bin");
    const std::string oftpRemote = server->LocalPath("/upload/oftp-up.bin");
    const std::string port = std::to_string(server->Port());
    auto loadAverage = [] {
        std::string text = testsrv::ReadFile("/proc/loadavg");
        return text.substr(0, text.find(' ', text.find(' ', text.find(' ') + 1) + 1));
    };
    std::printf("load average (1, 5, 15 min): %s\n", loadAverage().c_str());
    // The certificate names localhost: over TLS both clients connect by that name.
    const std::string host = tls ? "localhost" : "127.0.0.1";
    std::printf("vsftpd on %s:%s%s, %lld MiB served from %s, MD5 %s\n", host.c_str(), port.c_str(),
                tls ? " (explicit FTPS, session reuse required)" : "", mib, served.c_str(), servedMd5.constData());
    std::vector<std::string> oftpArgs = {OFTP_BINARY, "--port", port, "--passive"};
    if (tls)
        oftpArgs.insert(oftpArgs.end(), {"--tls", "--ca-file", certs->CaCert});
    oftpArgs.push_back(host);

    // A copy is right when it has the served file's size and MD5.
    auto verify = [&](const std::string& path) {
        return FileSize(path) == bytes && (guiOnly || Md5(path) == servedMd5);
    };

    TApplication app(argc, argv);
    auto forms = StartProgram(app);
    TMainWindow& w = *forms->MainWindow;
    TTransferStatusForm& status = *forms->TransferStatusForm;
    bool boxShown = false;
    w.OnMessageBox = [&](const QString& caption, const QString& text, QMessageBox::Icon) {
        std::fprintf(stderr, "box: %s: %s\n", qPrintable(caption), qPrintable(text));
        boxShown = true;
    };
    w.ListTempPath = QString::fromStdString(work + "/OFTPTEMP.TMP");
    if (tls) {
        w.TrustedCertificatesPath = QString::fromStdString(work + "/OFTPCERT.txt");
        std::string error;
        const std::string fingerprint = testsrv::OpensslFingerprint(certs->ServerCert);
        if (fingerprint.empty()
            || !platform::StoreTrustedCertificate(work + "/OFTPCERT.txt", host, port, fingerprint, error)) {
            std::fprintf(stderr, "cannot prepare the trusted-certificates file: %s\n", error.c_str());
            return 1;
        }
    }
    w.show();

    // The event loop of the program, run until cond holds (checked by a 10 ms timer that
    // also records when it actually fired).
    std::vector<long long> ticks;
    bool recording = false;
    auto runUntil = [&](const std::function<bool()>& cond, int timeoutMs) {
        QEventLoop loop;
        QTimer ticker;
        ticker.setTimerType(Qt::PreciseTimer);
        ticker.setInterval(10);
        long long deadline = NowNs() + static_cast<long long>(timeoutMs) * 1000000LL;
        bool met = false;
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            if (recording)
                ticks.push_back(NowNs());
            if (cond()) {
                met = true;
                loop.quit();
            } else if (NowNs() > deadline) {
                loop.quit();
            }
        });
        ticker.start();
        loop.exec();
        return met;
    };
    auto idle = [&] { return w.IsClientIdle() && w.CommandQueue.isEmpty(); };
    auto settled = [&] {
        // Idle across one more pass of the loop: a posted completion may still be on its way.
        return runUntil([&] { return idle(); }, 60000) && runUntil([&] { return idle(); }, 60000);
    };

    runUntil([] { return false; }, 300);   // the folder tree fills itself first
    w.dirLocalDirs->SelectPath(work);
    runUntil([] { return false; }, 200);
    if (w.flbLocalFiles.Directory() != work)
        w.flbLocalFiles.SetDirectory(work);

    forms->ConnectForm->OnShowModal = [&] {
        TConnectForm& f = *forms->ConnectForm;
        f.txtServerName->setText(QString::fromStdString(host));
        f.txtPort->setText(QString::fromStdString(port));
        f.txtUserName->setText(QString::fromStdString(server->User()));
        f.txtPassWord->setText(QString::fromStdString(server->Password()));
        f.txtRemoteDir->setText("/");
        f.chkPassive->setChecked(true);
        if (tls)
            f.cboEncryption->setCurrentIndex(ceRequireExplicit);
        return static_cast<int>(QDialog::Accepted);
    };
    w.btnConnectClick();
    if (!settled() || w.lvRemoteDir->Model()->Count() < 2) {
        std::fprintf(stderr, "connecting and the first listing did not finish\n");
        return 1;
    }
    if (tls && !w.lblCurrentServer->text().contains("TLS")) {
        std::fprintf(stderr, "the window's session is not encrypted: %s\n", qPrintable(w.lblCurrentServer->text()));
        return 1;
    }
    std::printf("window: %s\n", qPrintable(w.lblCurrentServer->text()));

    // The completion of the window's transfer, taken as it arrives.
    long long transferDone = 0;
    int transferError = -1;
    auto handler = w.FtpClient1->OnRequestDone;
    w.FtpClient1->OnRequestDone = [&](TCustomFtpCli* sender, TFtpRequest kind, std::uint16_t error) {
        if (kind == rqGet || kind == rqPut) {
            transferDone = NowNs();
            transferError = error;
        }
        handler(sender, kind, error);
    };
    TPaintCounter paints;
    status.lblLoaded->installEventFilter(&paints);
    int visibleTicks = 0;
    int tickCount = 0;
    // How often the loop went to sleep in the system's poll while the transfer ran.
    long long blocks = 0;
    QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock,
                     [&] { blocks += recording; });

    struct GuiResult {
        Sample S;
        double LongestGapMs = 0;
        int Paints = 0;
        double VisibleShare = 0;
        long long Blocks = 0;
    };
    // One transfer through the window: start it, run the loop until its completion has
    // arrived and the queue behind it is done.
    auto guiTransfer = [&](const std::function<void()>& start) {
        GuiResult r;
        transferDone = 0;
        transferError = -1;
        boxShown = false;
        paints.Count = 0;
        blocks = 0;
        visibleTicks = tickCount = 0;
        ticks.clear();
        double cpu0 = SelfCpu();
        long long t0 = NowNs();
        recording = true;
        ticks.push_back(t0);
        start();
        bool finished = runUntil(
            [&] {
                if (transferDone == 0) {
                    ++tickCount;
                    visibleTicks += status.isVisible();
                }
                return transferDone != 0;
            },
            600000);
        recording = false;
        ticks.push_back(transferDone ? transferDone : NowNs());
        double cpu1 = SelfCpu();
        finished = finished && settled();
        r.S.Wall = double(transferDone - t0) / 1e9;
        r.S.Cpu = cpu1 - cpu0;
        r.S.Ok = finished && transferError == 0 && !boxShown;
        for (std::size_t i = 1; i < ticks.size(); ++i)
            r.LongestGapMs = std::max(r.LongestGapMs, double(ticks[i] - ticks[i - 1]) / 1e6);
        r.Paints = paints.Count;
        r.Blocks = blocks;
        r.VisibleShare = tickCount ? double(visibleTicks) / tickCount : 0;
        return r;
    };
    auto selectRemote = [&](const QString& caption) {
        TFileListView& view = *w.lvRemoteDir;
        view.SelectionModel()->clearSelection();
        for (int i = 0; i < view.Model()->Count(); ++i)
            if (view.Model()->Item(i).Caption == caption) {
                view.SetSelected(i, true);
                return true;
            }
        return false;
    };
    auto selectLocal = [&](const std::string& name) {
        w.flbLocalFiles.Update();
        w.flbLocalFiles.ClearSelection();
        int index = w.flbLocalFiles.IndexOf(name);
        if (index >= 0)
            w.flbLocalFiles.SetSelected(index, true);
        return index >= 0;
    };
    auto changeDir = [&](const QString& dir) {
        w.AppendCommand(qcCwd, {dir});
        w.RunQueueIfReady();
        return settled() && w.CurrentRemoteDir == dir;
    };

    Range guiRate[2], guiCpu[2], oftpRate[2], oftpCpu[2], ratio[2], gap[2], paintCount[2];
    int failures = 0;
    const char* const dirNames[2] = {"download", "upload"};
    for (int run = -1; run < runs; ++run) {
        GuiResult gui[2];
        Sample oftp[2];
        bool guiOk[2] = {false, false}, oftpOk[2] = {false, false};
        // Each direction runs the window and oftp back to back, so that both meet the same
        // load of the machine; which goes first alternates from run to run.
        const bool guiFirst = run % 2 != 0;
        ::unlink(guiLocal.c_str());
        ::unlink(oftpLocal.c_str());
        ::unlink(guiRemote.c_str());
        ::unlink(oftpRemote.c_str());
        for (int d = 0; d < 2; ++d) {
            auto runGui = [&] {
                if (d == 0) {
                    if (!changeDir("/") || !selectRemote("bench.bin")) {
                        std::fprintf(stderr, "the served file is not listed\n");
                        return;
                    }
                    gui[0] = guiTransfer([&] { w.btnDownloadClick(); });
                } else {
                    if (!changeDir("/upload") || !selectLocal("bench.bin")) {
                        std::fprintf(stderr, "cannot prepare the upload\n");
                        return;
                    }
                    gui[1] = guiTransfer([&] { w.btnUploadClick(); });
                }
            };
            auto runOftp = [&] {
                if (guiOnly) {
                    oftp[d].Wall = 1;
                    oftp[d].Ok = true;
                } else if (d == 0) {
                    std::vector<std::string> args = oftpArgs;
                    args.insert(args.end(), {"get", "/bench.bin", oftpLocal});
                    oftp[0] = Run(args);
                } else {
                    std::vector<std::string> args = oftpArgs;
                    args.insert(args.end(), {"put", oftpLocal, "/upload/oftp-up.bin"});
                    oftp[1] = Run(args);
                }
            };
            if (guiFirst) {
                runGui();
                runOftp();
            } else {
                runOftp();
                runGui();
            }
            guiOk[d] = gui[d].S.Ok && verify(d == 0 ? guiLocal : guiRemote);
            oftpOk[d] = oftp[d].Ok && (guiOnly || verify(d == 0 ? oftpLocal : oftpRemote));
        }
        ::unlink(guiLocal.c_str());
        ::unlink(oftpLocal.c_str());
        ::unlink(guiRemote.c_str());
        ::unlink(oftpRemote.c_str());
        for (int d = 0; d < 2; ++d) {
            double gr = double(bytes) / gui[d].S.Wall / 1e6, orate = double(bytes) / oftp[d].Wall / 1e6;
            double gc = gui[d].S.Cpu / (double(bytes) / kGiB), oc = oftp[d].Cpu / (double(bytes) / kGiB);
            std::printf("%s %d %-8s GUI %7.1f MB/s %6.3f CPU s/GiB gap %6.1f ms paints %4d visible %3.0f%% "
                        "sleeps %6lld %s",
                        run < 0 ? "warm-up" : "run", run + 1, dirNames[d], gr, gc, gui[d].LongestGapMs, gui[d].Paints,
                        gui[d].VisibleShare * 100, gui[d].Blocks, guiOk[d] ? "ok" : "FAILED");
            if (guiOnly)
                std::printf("\n");
            else
                std::printf(" | oftp %7.1f MB/s %6.3f CPU s/GiB %s | GUI/oftp %.2f\n", orate, oc,
                            oftpOk[d] ? "ok" : "FAILED", gr / orate);
            if (!guiOk[d] || !oftpOk[d]) {
                ++failures;
                continue;
            }
            if (run < 0)
                continue;
            guiRate[d].Add(gr);
            guiCpu[d].Add(gc);
            oftpRate[d].Add(orate);
            oftpCpu[d].Add(oc);
            ratio[d].Add(gr / orate);
            gap[d].Add(gui[d].LongestGapMs);
            paintCount[d].Add(gui[d].Paints);
        }
    }

    std::printf("\n%lld MiB, vsftpd on %s from RAM, passive%s, %d runs; min-max (median)\n", mib, host.c_str(),
                tls ? ", explicit FTPS" : "", runs);
    std::printf("%-9s %-4s %26s %26s\n", "direction", "tool", "MB/s", "CPU s per GiB");
    for (int d = 0; d < 2; ++d) {
        std::printf("%-9s GUI  %12.1f-%-7.1f (%6.1f) %12.3f-%-6.3f (%6.3f)\n", dirNames[d], guiRate[d].Min(),
                    guiRate[d].Max(), guiRate[d].Median(), guiCpu[d].Min(), guiCpu[d].Max(), guiCpu[d].Median());
        if (!guiOnly) {
            std::printf("%-9s oftp %12.1f-%-7.1f (%6.1f) %12.3f-%-6.3f (%6.3f)\n", dirNames[d], oftpRate[d].Min(),
                        oftpRate[d].Max(), oftpRate[d].Median(), oftpCpu[d].Min(), oftpCpu[d].Max(),
                        oftpCpu[d].Median());
            std::printf("%-9s GUI/oftp throughput %.2f-%.2f (%.2f), goal >= 0.90\n", dirNames[d], ratio[d].Min(),
                        ratio[d].Max(), ratio[d].Median());
        }
        std::printf("%-9s longest UI-thread gap %.1f-%.1f ms (goal <= 100), status window paints %.0f-%.0f\n",
                    dirNames[d], gap[d].Min(), gap[d].Max(), paintCount[d].Min(), paintCount[d].Max());
    }
    // What one repaint of the status window with new figures costs, the window alone.
    {
        status.show();
        runUntil([] { return false; }, 100);   // shown and exposed
        const int repaints = 200;
        long long t0 = NowNs();
        for (int i = 0; i < repaints; ++i) {
            status.lblLoaded->setText(QString::number(123456789LL + i * 1000003LL) + QStringLiteral(" bytes"));
            status.lblLoadedProcents->setText(QString::number(i % 100) + QStringLiteral("%"));
            status.pbProgress->setValue(i % 100);
            status.repaint();
        }
        std::printf("status window repaint with new figures: %.3f ms each\n",
                    double(NowNs() - t0) / 1e6 / repaints);
        status.hide();
    }
    std::printf("copies verified (size%s): %s\n", guiOnly ? " only" : " + MD5", failures ? "NO, see FAILED above" : "all");
    std::printf("load average (1, 5, 15 min): %s\n", loadAverage().c_str());
    ::unlink(served.c_str());
    testsrv::RemoveTree(work);
    return failures ? 1 : 0;
}
