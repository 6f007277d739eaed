// soak_gui: drives the real main window (offscreen) through many connect / list / download /
// upload / disconnect cycles against a local pyftpdlib, the way a user's clicks would, and
// samples the process's open descriptors, threads and resident memory every few cycles.
// Fails when a cycle fails, a file arrives changed, or a resource keeps growing in the
// second half of the run.
//
//   soak_gui [CYCLES] [--every N]      (default 200 cycles, a sample every 20)
#include "app/Application.h"
#include "app/Forms.h"
#include "app/MainWindow.h"
#include "dialogs/ConnectForm.h"
#include "dialogs/FileExistsForm.h"
#include "dialogs/InputDialog.h"
#include "platform/MessageWindow.h"
#include "servers/FtpServers.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QtGlobal>
#include <QTemporaryDir>

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace {

struct TSample {
    int Cycle;
    int Fds;
    int Threads;
    long RssKb;
};

int CountEntries(const char* folder)
{
    int n = 0;
    if (DIR* d = ::opendir(folder)) {
        while (dirent* e = ::readdir(d))
            if (e->d_name[0] != '.')
                ++n;
        ::closedir(d);
    }
    return n;
}

long RssKb()
{
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

TSample Sample(int cycle)
{
    // One descriptor of the count is the listing of /proc/self/fd itself.
    return {cycle, CountEntries("/proc/self/fd") - 1, CountEntries("/proc/self/task"), RssKb()};
}

bool PumpUntil(const std::function<bool()>& cond, std::uint32_t timeoutMs)
{
    const std::uint64_t deadline = platform::GetTickCount64() + timeoutMs;
    while (!cond()) {
        if (platform::GetTickCount64() > deadline)
            return false;
        platform::PumpMessages();
        platform::Sleep(1);
    }
    return true;
}

// Bytes with line ends and every byte value in turn: a file sent in the wrong type or cut
// short does not compare equal.
std::string Payload(std::size_t size, unsigned seed)
{
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        s[i] = static_cast<char>((i * 131 + seed) & 0xFF);
    return s;
}

int RemoteRow(TMainWindow& w, const QString& name)
{
    const TFileListModel& model = *w.lvRemoteDir->Model();
    for (int row = 0; row < model.Count(); ++row)
        if (model.Item(row).Caption == name)
            return row;
    return -1;
}

// The offscreen platform warns each time the transfer status window is shown; the soak's
// output is its figures, so that one warning is dropped and every other goes through.
void QuietMessages(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (text.contains(QLatin1String("propagateSizeHints")))
        return;
    std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, text)));
}

} // namespace

int main(int argc, char** argv)
{
    int cycles = 200;
    int every = 20;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--every" && i + 1 < argc)
            every = std::max(1, std::atoi(argv[++i]));
        else if (!a.empty() && a.find_first_not_of("0123456789") == std::string::npos)
            cycles = std::atoi(a.c_str());
        else {
            std::fprintf(stderr, "usage: soak_gui [CYCLES] [--every N]\n");
            return 2;
        }
    }
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);

    auto server = testsrv::StartPyftpdlib();
    if (!server) {
        std::fprintf(stderr, "soak_gui: pyftpdlib cannot run here\n");
        return 2;
    }
    const std::string getName = "soak-get.bin";
    const std::string putName = "soak-put.bin";
    const std::string getData = Payload(256 * 1024 + 17, 7);
    const std::string putData = Payload(192 * 1024 + 5, 3);
    if (!testsrv::WriteFile(server->Root() + "/" + getName, getData)) {
        std::fprintf(stderr, "soak_gui: cannot write the server's file\n");
        return 2;
    }
    // The local pane's folder: the upload's source and where downloads land.
    const std::string local = testsrv::MakeTempDir("ombrex-soak-gui");
    testsrv::WriteFile(local + "/" + putName, putData);

    qInstallMessageHandler(QuietMessages);
    TApplication app(argc, argv);
    auto forms = StartProgram(app);
    TMainWindow& w = *forms->MainWindow;
    QTemporaryDir temp;
    w.ListTempPath = temp.filePath("OFTPTEMP.TMP");
    int errorBoxes = 0;
    w.OnMessageBox = [&](const QString& caption, const QString& text, QMessageBox::Icon) {
        ++errorBoxes;
        std::fprintf(stderr, "soak_gui: box \"%s\": %s\n", qPrintable(caption), qPrintable(text));
    };
    app.OnShowException = [&](const QString& caption, const QString& message) {
        ++errorBoxes;
        std::fprintf(stderr, "soak_gui: error box \"%s\": %s\n", qPrintable(caption), qPrintable(message));
    };
    // Nothing in a cycle should ask about an existing file: each cycle removes what it made.
    forms->FileExistsForm->OnShowModal = [&] {
        ++errorBoxes;
        std::fprintf(stderr, "soak_gui: unexpected file-exists question\n");
        return static_cast<int>(QDialog::Rejected);
    };
    forms->InputDialog->OnShowModal = [] { return static_cast<int>(QDialog::Rejected); };
    bool passive = false;
    bool byName = false;
    forms->ConnectForm->OnShowModal = [&] {
        TConnectForm& f = *forms->ConnectForm;
        // Every other pair of cycles names the server, so that its lookup thread runs too.
        f.txtServerName->setText(byName ? QStringLiteral("localhost") : QStringLiteral("127.0.0.1"));
        f.txtPort->setText(QString::number(server->Port()));
        f.txtUserName->setText(QString::fromStdString(server->User()));
        f.txtPassWord->setText(QString::fromStdString(server->Password()));
        f.txtRemoteDir->setText(QStringLiteral("/"));
        f.chkPassive->setChecked(passive);
        return static_cast<int>(QDialog::Accepted);
    };

    // The folder tree fills itself and starts its watchers before the first sample.
    PumpUntil([] { return false; }, 500);
    if (!w.dirLocalDirs->SelectPath(local)) {
        std::fprintf(stderr, "soak_gui: the folder tree cannot show %s\n", local.c_str());
        return 2;
    }
    PumpUntil([] { return false; }, 200);

    auto idle = [&] { return w.IsClientIdle() && w.CommandQueue.isEmpty(); };
    auto settled = [&] { return idle() && (platform::PumpMessages(), idle()); };
    auto closed = [&] { return !w.ControlConnectionOpen() && w.CommandQueue.isEmpty(); };

    std::vector<TSample> samples{Sample(0)};
    int failures = 0;
    std::printf("%8s %6s %8s %10s\n", "cycle", "fds", "threads", "rss_kb");
    std::printf("%8d %6d %8d %10ld\n", 0, samples[0].Fds, samples[0].Threads, samples[0].RssKb);
    std::fflush(stdout);
    const std::uint64_t start = platform::GetTickCount64();
    for (int cycle = 1; cycle <= cycles; ++cycle) {
        passive = cycle % 2 == 0;
        byName = cycle % 4 >= 2;
        std::string failed;
        const int boxesBefore = errorBoxes;
        w.btnConnectClick();
        if (!PumpUntil([&] { return settled() && RemoteRow(w, QString::fromStdString(getName)) >= 0; }, 20000)) {
            failed = "connect and list";
        } else {
            // Download: the row selected as a click would, then the button.
            w.lvRemoteDir->ClearSelection();
            w.lvRemoteDir->SetSelected(RemoteRow(w, QString::fromStdString(getName)), true);
            w.btnDownloadClick();
            bool ok = false;
            if (!PumpUntil(settled, 20000))
                failed = "download";
            else if (testsrv::ReadFile(local + "/" + getName, &ok) != getData || !ok)
                failed = "download content";
        }
        if (failed.empty()) {
            // Upload: the local file selected in the local pane, then the button; the
            // queue lists the directory again afterwards.
            w.flbLocalFiles.Update();
            w.RefillLocalList();
            const int row = w.flbLocalFiles.IndexOf(putName);
            if (row < 0) {
                failed = "local pane shows no upload file";
            } else {
                // ".." and the folders come before the file rows.
                for (int r = 0; r < w.lvLocalDir->Model()->Count(); ++r)
                    if (w.LocalRowFile(r) == row)
                        w.lvLocalDir->SetSelected(r, true);
                w.flbLocalFiles.SetSelected(row, true);
                w.btnUploadClick();
                bool ok = false;
                if (!PumpUntil([&] { return settled() && RemoteRow(w, QString::fromStdString(putName)) >= 0; },
                               20000))
                    failed = "upload";
                else if (testsrv::ReadFile(server->Root() + "/" + putName, &ok) != putData || !ok)
                    failed = "upload content";
            }
        }
        if (w.ControlConnectionOpen())
            w.btnDisconnectClick();
        if (!PumpUntil(closed, 20000)) {
            if (failed.empty())
                failed = "disconnect";
            w.btnAbortClick();
            PumpUntil(closed, 5000);
            w.CommandQueue.clear();
        }
        if (failed.empty() && errorBoxes != boxesBefore)
            failed = "a message box";
        ::unlink((local + "/" + getName).c_str());
        ::unlink((server->Root() + "/" + putName).c_str());
        if (!failed.empty()) {
            ++failures;
            std::fprintf(stderr, "cycle %d (%s, %s): %s failed\n", cycle, passive ? "passive" : "active",
                         byName ? "localhost" : "127.0.0.1", failed.c_str());
            if (failures > 10)
                break;
        }
        if (cycle % every == 0 || cycle == cycles) {
            // Let posted completions, deferred deletes and closing threads settle first.
            PumpUntil([] { return false; }, 30);
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            TSample s = Sample(cycle);
            samples.push_back(s);
            std::printf("%8d %6d %8d %10ld\n", s.Cycle, s.Fds, s.Threads, s.RssKb);
            std::fflush(stdout);
        }
    }
    const std::uint64_t elapsed = platform::GetTickCount64() - start;

    auto maxOf = [&](auto field) {
        return (*std::max_element(samples.begin(), samples.end(),
                                  [&](const TSample& a, const TSample& b) { return a.*field < b.*field; })).*field;
    };
    const TSample& first = samples.front();
    const TSample& last = samples.back();
    // Whatever warms up (icon and font caches, allocator arenas, the lookup thread) has
    // done so by the middle of the run; after it nothing may keep growing.
    const TSample& middle = samples[samples.size() / 2];
    std::printf("fds     first %d last %d max %d\n", first.Fds, last.Fds, maxOf(&TSample::Fds));
    std::printf("threads first %d last %d max %d\n", first.Threads, last.Threads, maxOf(&TSample::Threads));
    std::printf("rss_kb  first %ld last %ld max %ld\n", first.RssKb, last.RssKb, maxOf(&TSample::RssKb));
    std::printf("failures %d of %d cycles in %.1f s\n", failures, cycles, elapsed / 1000.0);
    const bool grew = last.Fds > middle.Fds + 1 || last.Threads > middle.Threads + 1
                      || last.RssKb > middle.RssKb + 8192;
    if (grew)
        std::printf("soak_gui: a resource kept growing after cycle %d\n", middle.Cycle);
    forms.reset();
    testsrv::RemoveTree(local);
    return failures == 0 && !grew ? 0 : 1;
}
