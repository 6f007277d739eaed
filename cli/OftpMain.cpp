// oftp: a headless command-line front end of the FTP engine for scripts, tests and
// benchmarks. One session per run: connect, optional CWD, one command, QUIT.
#include "cli/OftpOptions.h"
#include "cli/OftpTree.h"
#include "ftp/FtpClient.h"
#include "listing/ListingParsers.h"
#include "platform/MessageWindow.h"
#include "platform/UserPlaces.h"
#include "platform/TrustedCertificates.h"

#include <QCoreApplication>
#include <QTimer>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <algorithm>
#include <functional>
#include <utility>
#include <string>
#include <vector>

namespace {

// The listing's temporary file, for the signal handler: a fixed buffer, since only
// async-signal-safe calls may touch it there.
char GTempPath[4096];

void RemoveTempAndDie(int Signal)
{
    if (GTempPath[0] != '\0')
        ::unlink(GTempPath);
    std::signal(Signal, SIG_DFL);
    std::raise(Signal);
}

// One request of the session. An optional one may fail without failing the run.
struct TStep {
    TStep(std::function<void()> start, bool optional = false, std::function<void()> done = {})
        : Start(std::move(start)), Optional(optional), Done(std::move(done))
    {
    }
    std::function<void()> Start;
    bool Optional;
    std::function<void()> Done;   // after success
};

class TOftpSession {
public:
    explicit TOftpSession(const TOftpOptions& Options) : FOpt(Options) {}

    // Builds the steps and starts the first one; the event loop does the rest.
    void Start()
    {
        FProgress = isatty(2) == 1;
        ConfigureOftpEngine(FFtp, FOpt);
        if (!SetUpTls())
            return;
        // The data command actually sent, for -v's note on the listing.
        FFtp.OnCommand = [this](TCustomFtpCli*, std::string& Cmd) {
            std::string verb = Cmd.substr(0, Cmd.find(' '));
            if (verb == "PASV" || verb == "PORT" || verb == "EPSV" || verb == "EPRT")
                FDataCommand = verb;
        };
        if (FOpt.Verbose)
            FFtp.OnDisplay = [](TCustomFtpCli*, std::string& Msg) { std::fprintf(stderr, "%s\n", Msg.c_str()); };
        FFtp.OnRequestDone = [this](TCustomFtpCli*, TFtpRequest, std::uint16_t Error) { RequestDone(Error); };
        if (FProgress)
            FFtp.OnProgress = [this](TCustomFtpCli*, std::int64_t Count, bool&) { ShowProgress(Count, false); };

        FSteps.push_back({[this] { FFtp.Connect(); }});
        if (!FOpt.Dir.empty())
            FSteps.push_back({[this] {
                FFtp.SetHostDirName(FOpt.Dir);
                FFtp.Cwd();
            }});
        const std::string& cmd = FOpt.Command;
        if (cmd == "ls" || cmd == "nlst")
            AddListing(cmd == "ls");
        else if (cmd == "list")
            AddParsedListing();
        else if (cmd == "get")
            AddGet();
        else if (cmd == "put")
            AddPut();
        else if (cmd == "quote")
            AddQuote();
        FSteps.push_back({[this] { FFtp.Quit(); }, true});
        RunNext();
    }

    int ExitCode() const { return FExitCode; }

private:
    // FTP over TLS as the options ask; false (after failing the run) when it cannot be.
    bool SetUpTls()
    {
        std::string error = ConfigureOftpTls(FFtp, FOpt);
        if (!error.empty()) {
            Fail(error);
            return false;
        }
        if (FOpt.Insecure)
            std::fprintf(stderr, "oftp: warning: --insecure: the server's certificate is not verified\n");
        return true;
    }

    void AddListing(bool Long)
    {
        // A private file of this process (0600, in the user's runtime folder), never one
        // in a folder that others share.
        FTempFile = platform::CreatePrivateTempFile("oftp-list");
        if (!FTempFile.empty() && FTempFile.size() < sizeof GTempPath) {
            // Interrupted, the run must not leave the listing behind.
            std::memcpy(GTempPath, FTempFile.c_str(), FTempFile.size() + 1);
            std::signal(SIGINT, RemoveTempAndDie);
            std::signal(SIGTERM, RemoveTempAndDie);
        }
        FSteps.push_back({[this, Long] {
                              FFtp.SetHostFileName(FOpt.Args.empty() ? "" : FOpt.Args[0]);
                              FFtp.SetLocalFileName(FTempFile);
                              if (Long)
                                  FFtp.ListDir();
                              else
                                  FFtp.ListNames();
                          },
                          false, [this] { CopyToStdout(FTempFile); }});
    }

    // "list": MLSD when the server offers it, else LIST; one parsed entry per line.
    void AddParsedListing()
    {
        FFtp.SetFeatAfterLogin(true);
        char name[] = "/tmp/oftp-list-XXXXXX";
        int fd = mkstemp(name);
        if (fd >= 0)
            ::close(fd);
        FTempFile = name;
        FSteps.push_back({[this] {
                              FFtp.SetHostFileName(FOpt.Args.empty() ? "" : FOpt.Args[0]);
                              FFtp.SetLocalFileName(FTempFile);
                              if (FFtp.Features().Mlst)
                                  FFtp.MlsdDir();
                              else
                                  FFtp.ListDir();
                          },
                          false, [this] { PrintParsedListing(); }});
    }

    void PrintParsedListing()
    {
        const bool mlsd = FFtp.LastListCommand() == "MLSD";
        if (FOpt.Verbose)
            std::fprintf(stderr, "oftp: listing from %s, data connection by %s\n", mlsd ? "MLSD" : "LIST",
                         FDataCommand.empty() ? "-" : FDataCommand.c_str());
        std::string data;
        int fd = ::open(FTempFile.c_str(), O_RDONLY);
        if (fd >= 0) {
            std::vector<char> buf(65536);
            for (;;) {
                ssize_t n = ::read(fd, buf.data(), buf.size());
                if (n <= 0)
                    break;
                data.append(buf.data(), std::size_t(n));
            }
            ::close(fd);
        }
        const std::time_t now = std::time(nullptr);
        std::vector<TListEntry> entries;
        for (std::string_view line : SplitListingData(data)) {
            TListEntry e;
            TLineResult result = ParseListingLine(mlsd ? lsMlsd : lsList, line, e);
            if (result == lrEntry)
                entries.push_back(std::move(e));
            else if (result == lrInvalid && FOpt.Verbose)
                std::fprintf(stderr, "oftp: line not understood: %.*s\n", int(line.size()), line.data());
        }
        for (const TListEntry& e : entries) {
            std::string out(1, static_cast<char>(e.Type));
            out += '\t';
            out += e.Size.empty() ? "-" : e.Size;
            out += '\t';
            out += FormatListTime(e.Modified, now);
            out += '\t';
            out += e.Name;
            if (e.Type == letLink && !e.Target.empty())
                out += "\t-> " + e.Target;
            out += '\n';
            std::fwrite(out.data(), 1, out.size(), stdout);
        }
        std::fflush(stdout);
    }

    void AddType()
    {
        FSteps.push_back({[this] {
            FFtp.SetBinary(FOpt.Binary);
            FFtp.SendType();
        }});
    }

    void AddGet()
    {
        AddType();
        if (FProgress)
            FSteps.push_back({[this] {
                                  FFtp.SetHostFileName(FOpt.Args[0]);
                                  FFtp.Size();
                              },
                              true, [this] { FTotal = FFtp.ReplySize(); }});
        FSteps.push_back({[this] {
                              FFtp.SetHostFileName(FOpt.Args[0]);
                              FFtp.SetLocalFileName(FOpt.Args[1]);
                              struct stat st {};
                              FNewLocalFile = ::lstat(FOpt.Args[1].c_str(), &st) != 0;
                              FGetRunning = true;
                              FTransferStart = platform::GetTickCount64();
                              FFirstCount = -1;
                              if (FOpt.Resume)
                                  FFtp.ResumeGet();
                              else
                                  FFtp.Get();
                          },
                          false, [this] {
                              FGetRunning = false;
                              EndProgress();
                          }});
    }

    void AddPut()
    {
        struct stat st {};
        if (::stat(FOpt.Args[0].c_str(), &st) == 0)
            FTotal = st.st_size;
        AddType();
        if (FOpt.Resume)
            FSteps.push_back({[this] {
                                  FFtp.SetHostFileName(FOpt.Args[1]);
                                  FRemoteSize = 0;
                                  FFtp.Size();
                              },
                              true, [this] { FRemoteSize = FFtp.ReplySize(); }});
        FSteps.push_back({[this] {
                              FFtp.SetLocalFileName(FOpt.Args[0]);
                              FFtp.SetHostFileName(FOpt.Args[1]);
                              FTransferStart = platform::GetTickCount64();
                              FFirstCount = -1;
                              if (FOpt.Resume) {
                                  // The server's copy ends where the upload restarts.
                                  FFtp.SetResumeOffset(FRemoteSize <= FTotal ? FRemoteSize : 0);
                                  FFtp.ResumePut();
                              } else {
                                  FFtp.Put();
                              }
                          },
                          false, [this] { EndProgress(); }});
    }

    void AddQuote()
    {
        FFtp.OnResponse = [this](TCustomFtpCli* Sender) {
            if (FCollect)
                FReplyLines.push_back(Sender->LastReply());
        };
        FSteps.push_back({[this] {
                              FFtp.SetLocalFileName(FOpt.Args[0]);
                              FReplyLines.clear();
                              FCollect = true;
                              FFtp.Quote();
                          },
                          false, [this] { PrintReply(); }});
    }

    void PrintReply()
    {
        FCollect = false;
        for (const auto& line : FReplyLines)
            std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }

    void CopyToStdout(const std::string& Path)
    {
        int fd = ::open(Path.c_str(), O_RDONLY);
        if (fd < 0)
            return;
        std::vector<char> buf(65536);
        for (;;) {
            ssize_t n = ::read(fd, buf.data(), buf.size());
            if (n <= 0)
                break;
            std::fwrite(buf.data(), 1, std::size_t(n), stdout);
        }
        ::close(fd);
        std::fflush(stdout);
    }

    void ShowProgress(std::int64_t Count, bool Final)
    {
        std::uint64_t now = platform::GetTickCount64();
        if (FFirstCount < 0)
            FFirstCount = Count;
        if (!Final && now - FLastShown < 200)
            return;
        FLastShown = now;
        double seconds = double(now - FTransferStart) / 1000.0;
        double speed = seconds > 0 ? double(Count - FFirstCount) / seconds / 1e6 : 0.0;
        // In ASCII mode the wire carries CR LF where the file has LF: more bytes than SIZE
        // said, but never more than all of the file.
        if (FTotal > 0)
            std::fprintf(stderr, "\r%lld bytes (%d%%) %.1f MB/s   ", static_cast<long long>(Count),
                         int(std::min<std::int64_t>(Count * 100 / FTotal, 100)), speed);
        else
            std::fprintf(stderr, "\r%lld bytes %.1f MB/s   ", static_cast<long long>(Count), speed);
        FShownAny = true;
    }

    void EndProgress()
    {
        if (FProgress && FShownAny) {
            ShowProgress(FFtp.ByteCount() + (FFirstCount > 0 ? FFirstCount : 0), true);
            std::fprintf(stderr, "\n");
        }
    }

    void RunNext()
    {
        while (FNextStep < FSteps.size()) {
            TStep& step = FSteps[FNextStep];
            try {
                step.Start();
                return;   // OnRequestDone continues
            } catch (const std::exception& E) {
                if (step.Optional) {
                    ++FNextStep;
                    continue;
                }
                Fail(E.what());
                return;
            }
        }
        Finish();
    }

    void RequestDone(std::uint16_t Error)
    {
        if (FFinishing) {
            Finish();
            return;
        }
        TStep& step = FSteps[FNextStep];
        ++FNextStep;
        if (Error == 0) {
            if (step.Done)
                step.Done();
        } else if (!step.Optional) {
            if (FCollect)
                PrintReply();
            std::string line = FFtp.ErrorMessage().empty() ? FFtp.LastReply() : FFtp.ErrorMessage();
            if (line.empty())
                line = "error " + std::to_string(Error);
            Fail(line);
            return;
        }
        RunNext();
    }

    void Fail(const std::string& Line)
    {
        if (FGetRunning && FNewLocalFile) {
            // A download that failed before any byte leaves no empty file of its name.
            struct stat st {};
            if (::lstat(FOpt.Args[1].c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0)
                ::unlink(FOpt.Args[1].c_str());
        }
        FGetRunning = false;
        if (FProgress && FShownAny)
            std::fprintf(stderr, "\n");
        std::fprintf(stderr, "%s\n", Line.c_str());
        FExitCode = 1;
        // Leave politely when the session still stands.
        if (FFtp.Connected() && FFtp.ControlOpen() && FFtp.State() == fcsReady) {
            try {
                FFinishing = true;
                FFtp.Quit();
                return;
            } catch (...) {
            }
        }
        Finish();
    }

    void Finish()
    {
        GTempPath[0] = '\0';
        platform::RemovePrivateTempFile(FTempFile);
        QCoreApplication::exit(FExitCode);
    }

    TOftpOptions FOpt;
    TFtpClient FFtp;
    std::vector<TStep> FSteps;
    std::size_t FNextStep = 0;
    int FExitCode = 0;
    bool FFinishing = false;
    bool FProgress = false;
    bool FShownAny = false;
    bool FCollect = false;
    bool FGetRunning = false;     // the download step runs
    bool FNewLocalFile = false;   // its local file did not exist before it
    std::vector<std::string> FReplyLines;
    std::string FTempFile;
    std::string FDataCommand;
    std::int64_t FTotal = 0;
    std::int64_t FRemoteSize = 0;
    std::int64_t FFirstCount = -1;
    std::uint64_t FTransferStart = 0;
    std::uint64_t FLastShown = 0;
};

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    TOftpOptions options;
    std::string error = ParseOftpOptions(args, options);
    if (!error.empty()) {
        std::fprintf(stderr, "oftp: %s\n%s", error.c_str(), OftpUsage());
        return 2;
    }
    QCoreApplication app(argc, argv);
    TOftpSession session(options);
    if (IsOftpQueueCommand(options))
        QTimer::singleShot(0, [&options] { StartOftpQueueCommand(options); });
    else
        QTimer::singleShot(0, [&session] { session.Start(); });
    int rc = app.exec();
    EndOftpQueueCommand();
    return rc;
}
