// How fast the main window shows a remote directory of 100,000 files: the real window
// (offscreen) connected to a local vsftpd (or pyftpdlib) serving such a folder, timed from
// the LIST request to the sorted list painted, then the re-sort by each column, and the
// longest time the event loop stood still meanwhile. Yardsticks in the same run: curl
// fetching the same listing, and std::regex parsing it with the same pattern.
// With --server fake a scripted server in this process serves a generated listing of the
// same kind, which leaves out the real server's own time.
// pyftpdlib (and the scripted server with --mlsd) answer in MLSD, vsftpd in LIST. The
// listing is parsed beside the window: "shown" is when its rows are in and painted.
// Run by hand: bench_listing [runs] [--files N] [--server vsftpd|pyftpdlib|fake] [--mlsd]
// [--port P: an anonymous server already listening on 127.0.0.1:P that serves /big]
#include "app/Application.h"
#include "app/CommandQueue.h"
#include "app/Forms.h"
#include "app/ListingParser.h"
#include "app/MainWindow.h"
#include "dialogs/ConnectForm.h"
#include "ftp/FakeFtpServer.h"
#include "platform/MessageWindow.h"
#include "servers/FtpServers.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeView>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <regex>
#include <string>
#include <vector>

namespace {

long long NowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

double Ms(long long ns)
{
    return static_cast<double>(ns) / 1e6;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// A folder of a download server: files with the usual extensions, some names with blanks,
// sizes from empty to past 4 GiB (sparse), and one directory per hundred files.
void MakeFolder(const std::string& dir, int count)
{
    const char* const stems[] = {"report ", "IMG_", "track-", "Invoice ", "setup_", "notes", "backup "};
    const char* const exts[] = {".txt", ".jpg", ".mp3", ".pdf", ".exe", "", ".tar.gz", ".iso"};
    ::mkdir(dir.c_str(), 0755);
    unsigned seed = 12345;
    for (int i = 0; i < count; ++i) {
        seed = seed * 1103515245u + 12345u;
        std::string name = std::string(stems[seed % 7]) + std::to_string(i) + exts[(seed >> 8) % 8];
        if (i % 100 == 99) {
            ::mkdir((dir + "/dir " + std::to_string(i)).c_str(), 0755);
            continue;
        }
        int fd = ::open((dir + "/" + name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0)
            continue;
        off_t size = (seed >> 4) % 3 == 0 ? static_cast<off_t>(seed % 100000)
                                           : static_cast<off_t>(seed) * ((seed >> 20) % 3 == 0 ? 64 : 1);
        if (size > 0 && ::ftruncate(fd, size) != 0)
            std::fprintf(stderr, "ftruncate failed\n");
        ::close(fd);
    }
}

// The MLSD answer for MakeFolder's folder, as pyftpdlib gives it.
std::string MakeMlsdListing(int count)
{
    const char* const stems[] = {"report ", "IMG_", "track-", "Invoice ", "setup_", "notes", "backup "};
    const char* const exts[] = {".txt", ".jpg", ".mp3", ".pdf", ".exe", "", ".tar.gz", ".iso"};
    std::string listing;
    unsigned seed = 12345;
    char line[320];
    for (int i = 0; i < count; ++i) {
        seed = seed * 1103515245u + 12345u;
        std::string name = std::string(stems[seed % 7]) + std::to_string(i) + exts[(seed >> 8) % 8];
        if (i % 100 == 99) {
            std::snprintf(line, sizeof line,
                          "modify=20240110120000;perm=eldfmMTcp;size=4096;type=dir;unix.gid=0;unix.mode=0o755;"
                          "unix.uid=0; dir %d\r\n",
                          i);
        } else {
            unsigned long long size = (seed >> 4) % 3 == 0 ? seed % 100000
                                                            : 1ULL * seed * ((seed >> 20) % 3 == 0 ? 64 : 1);
            std::snprintf(line, sizeof line,
                          "modify=20240110120000;perm=radfwMT;size=%llu;type=file;unix.gid=0;unix.mode=0o644;"
                          "unix.uid=0; %s\r\n",
                          size, name.c_str());
        }
        listing += line;
    }
    return listing;
}

// The resident memory of this process in MB.
double ResidentMb()
{
    FILE* f = std::fopen("/proc/self/status", "r");
    if (!f)
        return 0;
    char line[256];
    double mb = 0;
    while (std::fgets(line, sizeof line, f))
        if (std::strncmp(line, "VmRSS:", 6) == 0)
            mb = std::atof(line + 6) / 1024.0;
    std::fclose(f);
    return mb;
}

// The listing a Unix server gives for MakeFolder's folder, without touching the disk.
std::string MakeListing(int count)
{
    const char* const stems[] = {"report ", "IMG_", "track-", "Invoice ", "setup_", "notes", "backup "};
    const char* const exts[] = {".txt", ".jpg", ".mp3", ".pdf", ".exe", "", ".tar.gz", ".iso"};
    std::string listing = "total " + std::to_string(count) + "\r\n";
    unsigned seed = 12345;
    char line[256];
    for (int i = 0; i < count; ++i) {
        seed = seed * 1103515245u + 12345u;
        std::string name = std::string(stems[seed % 7]) + std::to_string(i) + exts[(seed >> 8) % 8];
        if (i % 100 == 99) {
            std::snprintf(line, sizeof line, "drwxr-xr-x    2 0        0            4096 Jan 10 12:00 dir %d\r\n", i);
        } else {
            unsigned long long size = (seed >> 4) % 3 == 0 ? seed % 100000
                                                            : 1ULL * seed * ((seed >> 20) % 3 == 0 ? 64 : 1);
            std::snprintf(line, sizeof line, "-rw-r--r--    1 0        0     %12llu Jan 10  2024 %s\r\n", size,
                          name.c_str());
        }
        listing += line;
    }
    return listing;
}

bool PumpUntil(const std::function<bool()>& cond, int timeoutMs)
{
    long long deadline = NowNs() + static_cast<long long>(timeoutMs) * 1000000LL;
    while (!cond()) {
        if (NowNs() > deadline)
            return false;
        platform::PumpMessages();
        platform::Sleep(1);
    }
    return true;
}

// Runs a command and returns its wall time in ms, -1 when it failed.
double TimeCommand(const std::vector<std::string>& argv)
{
    long long start = NowNs();
    pid_t pid = fork();
    if (pid == 0) {
        int devnull = ::open("/dev/null", O_RDWR);
        dup2(devnull, 1);
        dup2(devnull, 2);
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    return Ms(NowNs() - start);
}

} // namespace

int main(int argc, char** argv)
{
    int runs = 5;
    int files = 100000;
    std::string serverKind = "vsftpd";
    bool mlsd = false;
    int existingPort = 0;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--mlsd")) {
            mlsd = true;
            continue;
        }
        if (!std::strcmp(argv[i], "--files") && i + 1 < argc)
            files = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--server") && i + 1 < argc)
            serverKind = argv[++i];
        else if (!std::strcmp(argv[i], "--port") && i + 1 < argc)
            existingPort = std::atoi(argv[++i]);
        else
            runs = std::max(1, std::atoi(argv[i]));
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);

    std::unique_ptr<testsrv::FtpServer> server;
    std::unique_ptr<ftptest::FakeFtpServer> fake;
    std::uint16_t port = 0;
    // The scripted server keeps its copies of the listing in this process; they are not
    // the window's and are left out of the memory figures.
    double serverMb = 0;
    const double startMb = ResidentMb();
    std::string user = "joe";
    std::string password = "pw";
    if (existingPort > 0) {
        port = static_cast<std::uint16_t>(existingPort);
        user = "anonymous";
        password = "tester@example.com";
    } else if (serverKind == "fake") {
        const std::string listing = mlsd ? MakeMlsdListing(files) : MakeListing(files);
        fake = std::make_unique<ftptest::FakeFtpServer>();
        fake->Reply("220 ready").Expect("USER joe").Reply("331 pw").Expect("PASS pw").Reply("230 in");
        if (mlsd)
            fake->Expect("FEAT").Reply("211-Features:").Reply(" MLST type*;size*;modify*;perm*;unix.mode*;").Reply(
                "211 End");
        else
            fake->Expect("FEAT").Reply("500 Unknown command");
        fake->Expect("CWD /big").Reply("250 ok");
        auto list = [&] {
            fake->Expect("PASV").PasvReply().Expect(mlsd ? "MLSD" : "LIST").DataAccept().Reply("150 here")
                .DataSend(listing).DataClose().Reply("226 done");
        };
        for (int i = 0; i < 2; ++i) {
            fake->Expect("PWD").Reply("257 \"/big\"");
            list();
        }
        for (int run = 0; run < runs; ++run)
            list();
        fake->Start();
        port = fake->Port();
        std::printf("scripted server on port %u, listing of %d entries (%zu bytes)\n", unsigned(port), files,
                    listing.size());
    } else {
        server = serverKind == "pyftpdlib" ? testsrv::StartPyftpdlib() : testsrv::StartVsftpd();
        if (!server) {
            std::fprintf(stderr, "%s cannot run here (vsftpd needs root)\n", serverKind.c_str());
            return 1;
        }
        long long made = NowNs();
        MakeFolder(server->Root() + "/big", files);
        port = server->Port();
        user = server->User();
        password = server->Password();
        std::printf("server %s on port %u, folder of %d entries made in %.0f ms\n", server->Name().c_str(),
                    unsigned(port), files, Ms(NowNs() - made));
    }

    if (fake)
        serverMb = ResidentMb() - startMb;
    TApplication app(argc, argv);
    auto forms = StartProgram(app);
    TMainWindow& w = *forms->MainWindow;
    w.OnMessageBox = [](const QString& caption, const QString& text, QMessageBox::Icon) {
        std::fprintf(stderr, "box: %s: %s\n", qPrintable(caption), qPrintable(text));
    };
    QTemporaryDir temp;
    w.ListTempPath = temp.filePath("OFTPTEMP.TMP");
    PumpUntil([] { return false; }, 300);   // the folder tree fills itself first

    // Completion times of the client, taken before and after the window's handler.
    long long doneArrived = 0;
    long long doneHandled = 0;
    auto handler = w.FtpClient1->OnRequestDone;
    w.FtpClient1->OnRequestDone = [&](TCustomFtpCli* sender, TFtpRequest kind, std::uint16_t error) {
        doneArrived = NowNs();
        handler(sender, kind, error);
        doneHandled = NowNs();
    };
    // The event loop's longest standstill, seen by a 5 ms timer.
    long long lastTick = NowNs();
    long long longestStall = 0;
    QTimer ticker;
    ticker.setInterval(5);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        long long now = NowNs();
        longestStall = std::max(longestStall, now - lastTick);
        lastTick = now;
    });

    forms->ConnectForm->OnShowModal = [&] {
        TConnectForm& f = *forms->ConnectForm;
        f.txtServerName->setText("127.0.0.1");
        f.txtPort->setText(QString::number(port));
        f.txtUserName->setText(QString::fromStdString(user));
        f.txtPassWord->setText(QString::fromStdString(password));
        f.txtRemoteDir->setText("/big");
        f.chkPassive->setChecked(true);
        f.cboEncryption->setCurrentIndex(cePlainOnly);   // the listing, not TLS, is measured here
        return static_cast<int>(QDialog::Accepted);
    };
    // Idle across one more pump: the client is ready before its posted completion arrives.
    auto idle = [&] {
        auto still = [&] { return w.IsClientIdle() && w.CommandQueue.isEmpty(); };
        if (!still())
            return false;
        platform::PumpMessages();
        return still();
    };
    w.btnConnectClick();
    if (!PumpUntil([&] { return idle() && w.lvRemoteDir->Model()->Count() > 1; }, 120000)) {
        std::fprintf(stderr, "connecting and the first listing did not finish\n");
        if (fake) {
            for (const std::string& e : fake->Errors())
                std::fprintf(stderr, "scripted server: %s\n", e.c_str());
            for (const std::string& line : fake->Transcript())
                std::fprintf(stderr, "  %s\n", line.c_str());
        }
        return 1;
    }
    QTreeView* view = w.lvRemoteDir->ReportView();
    const int rows = w.lvRemoteDir->Model()->Count();
    std::printf("rows shown: %d (with \"..\"), listing by %s, resident memory %.0f MB\n", rows,
                w.FtpClient1->LastListCommand().c_str(), ResidentMb() - serverMb);

    std::vector<double> total, transfer, handle, paint, stall;
    for (int run = 0; run < runs; ++run) {
        doneArrived = doneHandled = 0;
        PumpUntil([] { return false; }, 50);
        lastTick = NowNs();
        longestStall = 0;
        ticker.start();
        long long start = NowNs();
        w.AppendCommand(qcList);
        w.RunQueue();
        if (!PumpUntil([&] { return doneHandled != 0; }, 60000) || !PumpUntil(idle, 60000)) {
            std::fprintf(stderr, "LIST did not finish\n");
            return 1;
        }
        long long rowsIn = NowNs();
        view->viewport()->repaint();   // the sorted list on the screen
        long long shown = NowNs();
        ticker.stop();
        total.push_back(Ms(shown - start));
        transfer.push_back(Ms(doneArrived - start));
        handle.push_back(Ms(rowsIn - doneArrived));
        paint.push_back(Ms(shown - rowsIn));
        stall.push_back(Ms(longestStall));
    }
    std::printf("\nlisting request to sorted list shown, median of %d runs:\n", runs);
    std::printf("  total                     %8.1f ms\n", Median(total));
    std::printf("  transfer (226 and data)   %8.1f ms\n", Median(transfer));
    std::printf("  read, parse, sort         %8.1f ms\n", Median(handle));
    std::printf("  paint                     %8.1f ms\n", Median(paint));
    std::printf("  longest event-loop stall  %8.1f ms\n", Median(stall));
    std::printf("  resident memory after     %8.0f MB\n", ResidentMb() - serverMb);
    if (serverMb > 0)
        std::printf("    (left out: the scripted server's listings, %.0f MB, as grown before the window)\n",
                    serverMb);

    // The listing a user sees on connecting: a new session each time, timed from the click
    // on Connect (connection and login included) to the sorted list painted first. vsftpd is
    // slower at a second listing in one session (see the curl yardsticks), so this and the
    // refreshes above are told apart.
    // The scripted server knows one session only.
    std::vector<double> connectTotal, connectStall;
    for (int run = 0; run < runs && !fake; ++run) {
        w.btnDisconnectClick();
        auto closed = [&] {
            return !w.FtpClient1->Connected() && w.CommandQueue.isEmpty() && w.lvRemoteDir->Model()->Count() == 0;
        };
        if (!PumpUntil(closed, 30000)) {
            std::fprintf(stderr, "disconnecting did not finish\n");
            return 1;
        }
        PumpUntil([] { return false; }, 200);
        lastTick = NowNs();
        longestStall = 0;
        ticker.start();
        long long start = NowNs();
        w.btnConnectClick();
        // The window lists the folder once after the login and once after changing to it;
        // the first is what the user sees first.
        if (!PumpUntil([&] { return w.lvRemoteDir->Model()->Count() == rows; }, 60000)) {
            std::fprintf(stderr, "connecting and listing did not finish\n");
            return 1;
        }
        view->viewport()->repaint();
        long long shown = NowNs();
        ticker.stop();
        connectTotal.push_back(Ms(shown - start));
        connectStall.push_back(Ms(longestStall));
        if (!PumpUntil(idle, 60000)) {
            std::fprintf(stderr, "the second listing did not finish\n");
            return 1;
        }
    }
    if (!connectTotal.empty()) {
        std::printf("\nlisting on connecting (new session), median of %d runs:\n", runs);
        std::printf("  Connect click to shown    %8.1f ms\n", Median(connectTotal));
        std::printf("  longest event-loop stall  %8.1f ms\n", Median(connectStall));
    }

    // The handler's share, split: reading the file, parsing into rows with one sort.
    std::vector<double> readMs, parseMs;
    std::vector<std::string> lines;
    for (int run = 0; run < runs; ++run) {
        long long t0 = NowNs();
        lines = ReadListingFile(w.ListTempPath);
        long long t1 = NowNs();
        w.ParseListing(lines, w.FtpClient1->LastListCommand() == "MLSD" ? lsMlsd : lsList);
        long long t2 = NowNs();
        readMs.push_back(Ms(t1 - t0));
        parseMs.push_back(Ms(t2 - t1));
    }
    std::printf("  of which read file        %8.1f ms (%zu lines)\n", Median(readMs), lines.size());
    std::printf("  of which ParseListing     %8.1f ms\n", Median(parseMs));

    // A big list is sorted beside the window: the click returns at once and the rows are
    // reordered when the order is ready. Timed: the click itself, the click to the sorted
    // rows painted, and the longest stall of the event loop meanwhile.
    std::printf("\nre-sort by column, median of %d runs:   click      sorted+paint   stall\n", runs);
    const char* const names[] = {"Name", "Size", "Type", "Attributes", "Modified"};
    auto sorted = [&] { return !w.RemoteSortRunning(); };
    for (int column : {1, 2, 3, 4, 0}) {
        std::vector<double> clicks, times, stalls;
        for (int run = 0; run < runs; ++run) {
            w.lvRemoteDirColumnClick(column == 0 ? 1 : 0);   // from another order each time
            PumpUntil(sorted, 60000);
            lastTick = NowNs();
            longestStall = 0;
            ticker.start();
            long long t0 = NowNs();
            w.lvRemoteDirColumnClick(column);   // first click on a column: ascending
            long long t1 = NowNs();
            PumpUntil(sorted, 60000);
            view->viewport()->repaint();
            long long t2 = NowNs();
            ticker.stop();
            clicks.push_back(Ms(t1 - t0));
            times.push_back(Ms(t2 - t0));
            stalls.push_back(Ms(std::max(longestStall, NowNs() - lastTick)));
        }
        std::printf("  %-10s                     %8.1f ms %8.1f ms %8.1f ms\n", names[column], Median(clicks),
                    Median(times), Median(stalls));
    }

    // Yardsticks.
    std::printf("\nyardsticks on the same listing (best of %d):\n", runs);
    {
        const TListingSource source = w.FtpClient1->LastListCommand() == "MLSD" ? lsMlsd : lsList;
        double best = 1e18;
        std::size_t matched = 0;
        for (int run = 0; run < runs; ++run) {
            long long t0 = NowNs();
            TListingParser parser(source);
            TListingEntry entry;
            matched = 0;
            for (const std::string& line : lines)
                matched += parser.Parse(line, entry);
            best = std::min(best, Ms(NowNs() - t0));
        }
        std::printf("  listing parser only       %8.1f ms (%zu matched)\n", best, matched);
        // What the window's listing thread does with the lines: rows, sorted in runs beside.
        for (bool presort : {false, true}) {
            double bestAdd = 1e18, bestFinish = 1e18;
            for (int run = 0; run < runs; ++run) {
                long long t0 = NowNs();
                TRemoteListingBuilder builder(source);
                if (presort)
                    builder.Presort(0, false);
                for (const std::string& line : lines)
                    builder.Add(line);
                const long long added = NowNs();
                const TRemoteListing listing = builder.Finish(0, false);
                bestAdd = std::min(bestAdd, Ms(added - t0));
                bestFinish = std::min(bestFinish, Ms(NowNs() - added));
            }
            std::printf("  rows built%s   %8.1f ms, then sorted in %.1f ms\n",
                        presort ? ", sorted in runs" : " (one thread)   ", bestAdd, bestFinish);
        }
        std::regex re(R"(([dD\-][rR\-][wW\-][xX\-][rR\-][wW\-][xX\-][rR-][wW\-][xX\-])\s*\S*\s*\S*\s*\S*\s*(\d*)\s*\S*\s*\S*\s*\S*\s*(\S*))");
        long long t0 = NowNs();
        matched = 0;
        std::smatch m;
        for (const std::string& line : lines)
            matched += std::regex_search(line, m, re);
        std::printf("  std::regex match only     %8.1f ms (%zu matched)\n", Ms(NowNs() - t0), matched);
    }
    std::string escaped;
    for (char c : password)
        escaped += c == '@' ? std::string("%40") : std::string(1, c);
    std::string url = "ftp://" + user + ":" + escaped + "@127.0.0.1:" + std::to_string(port) + "/big/";
    std::vector<double> curlMs;
    for (int run = 0; run < runs && (server || existingPort > 0); ++run) {
        double t = TimeCommand({"curl", "-s", "--epsv", "-o", "/dev/null", url});
        if (t < 0)
            break;
        curlMs.push_back(t);
    }
    if (curlMs.empty())
        std::printf("  curl LIST to /dev/null     (not run: no real server, or no curl)\n");
    else
        std::printf("  curl LIST to /dev/null    %8.1f ms (new session each, process start included)\n",
                    Median(curlMs));
    // The second of two listings on one connection, as the refreshes above.
    std::vector<double> curlAgainMs;
    for (int run = 0; run < runs && !curlMs.empty(); ++run) {
        const std::string command =
            "curl -s --epsv -o /dev/null -o /dev/null -w '%{time_total}\\n' '" + url + "' '" + url + "'";
        FILE* f = ::popen(command.c_str(), "r");
        double first = 0, second = 0;
        const bool read = f && std::fscanf(f, "%lf %lf", &first, &second) == 2;
        if (f)
            ::pclose(f);
        if (!read)
            break;
        curlAgainMs.push_back(second * 1000);
    }
    if (!curlAgainMs.empty())
        std::printf("  curl, 2nd LIST on one connection %5.1f ms\n", Median(curlAgainMs));
    return 0;
}
