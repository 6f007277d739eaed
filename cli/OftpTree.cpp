// oftp's folder commands: the transfer queue with --parallel engines, failed items listed on
// stderr, and a progress line while stderr is a terminal.
#include "cli/OftpTree.h"

#include "ftp/FtpClient.h"
#include "platform/MessageWindow.h"
#include "platform/TrustedCertificates.h"
#include "platform/UserPlaces.h"
#include "transfer/RemotePath.h"
#include "transfer/TransferQueue.h"

#include <QCoreApplication>
#include <QTimer>

#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

using namespace transfer;

void ConfigureOftpEngine(TFtpClient& Ftp, const TOftpOptions& Opt)
{
    Ftp.SetTimeout(0);
    // "[::1]:2121", "host:2121", "::1" and "[::1]" are all hosts as typed.
    std::string host, port;
    if (!SplitHostPort(Opt.Host, host, port))
        host = Opt.Host;   // left as typed: the lookup will say what is wrong with it
    Ftp.SetHostName(host);
    Ftp.SetPort(port.empty() ? Opt.Port : port);
    Ftp.SetAddressFamily(Opt.Family == 4 ? wsock::AF_INET : Opt.Family == 6 ? wsock::AF_INET6 : wsock::AF_UNSPEC);
    Ftp.SetUserName(Opt.User);
    Ftp.SetPassWord(Opt.Password);
    if (!Opt.FtpProxy.empty()) {
        Ftp.SetConnectionType(ftpProxy);
        Ftp.SetProxyServer(Opt.FtpProxy);
    }
    if (!Opt.SocksKind.empty()) {
        // Both connections pass through the SOCKS server; data connections are passive.
        std::size_t colon = Opt.SocksServer.rfind(':');
        Ftp.SetConnectionType(Opt.SocksKind == "4" ? ftpSocks4 : Opt.SocksKind == "4A" ? ftpSocks4A : ftpSocks5);
        Ftp.SetSocksServer(Opt.SocksServer.substr(0, colon));
        Ftp.SetSocksPort(Opt.SocksServer.substr(colon + 1));
        Ftp.SetSocksUserCode(Opt.SocksUser);
        Ftp.SetSocksPassword(Opt.SocksPassword);
        if (Opt.SocksUser.empty()) {
            // Without a user name there is no login to offer: a proxy that wants none
            // would refuse a client that offers only the user/password method.
            Ftp.ControlSocket()->SetSocksAuthentication(socksNoAuthentication);
            Ftp.DataSocket()->SetSocksAuthentication(socksNoAuthentication);
        }
    }
    Ftp.SetPassiveMode(Opt.Passive);
    Ftp.SetBinary(Opt.Binary);
    Ftp.SetRequestTimeout(Opt.Timeout);
    Ftp.SetKeepAlive(Opt.KeepAlive);
}

std::string ConfigureOftpTls(TFtpClient& Ftp, const TOftpOptions& Opt)
{
    if (Opt.Tls.empty())
        return {};
    Ftp.SetTlsMode(Opt.Tls == "explicit"   ? ftpTlsRequireExplicit
                   : Opt.Tls == "implicit" ? ftpTlsRequireImplicit
                                           : ftpTlsExplicitIfAvailable);
    std::string error;
    if (!Opt.CaFile.empty() && !Ftp.SslContext()->LoadCaFile(Opt.CaFile, error))
        return error;
    const bool insecure = Opt.Insecure;
    const std::string host = Opt.Host;
    TFtpClient* ftp = &Ftp;
    Ftp.OnCertificateCheck = [ftp, insecure, host](TCustomFtpCli*, const TSslCertificateInfo& Info, bool& Accept) {
        // Certificates the user trusted in the window are trusted here too.
        const std::string port = ftp->ControlSocket()->Port();
        Accept = insecure
                 || platform::LookupTrustedCertificate(platform::TrustedCertificatesPath(), host, port, Info.Fingerprint)
                        == platform::TCertificateTrust::Trusted;
    };
    return {};
}

bool IsOftpQueueCommand(const TOftpOptions& Options)
{
    return Options.Command == "rm" || (Options.Recursive && (Options.Command == "get" || Options.Command == "put"));
}

namespace {

std::string Bytes(double n)
{
    char buf[32];
    if (n >= 1024.0 * 1024 * 1024)
        std::snprintf(buf, sizeof buf, "%.1f GiB", n / (1024.0 * 1024 * 1024));
    else if (n >= 1024.0 * 1024)
        std::snprintf(buf, sizeof buf, "%.1f MiB", n / (1024.0 * 1024));
    else if (n >= 1024.0)
        std::snprintf(buf, sizeof buf, "%.1f KiB", n / 1024.0);
    else
        std::snprintf(buf, sizeof buf, "%.0f B", n);
    return buf;
}

class TOftpQueueRun {
public:
    explicit TOftpQueueRun(const TOftpOptions& Options) : FOpt(Options) {}

    void Start()
    {
        FTerminal = isatty(2) == 1;
        if (!FOpt.Tls.empty()) {
            // Each connection loads the options on its own: a bad --ca-file ends the run here.
            TFtpClient probe;
            std::string error = ConfigureOftpTls(probe, FOpt);
            if (!error.empty()) {
                std::fprintf(stderr, "oftp: %s\n", error.c_str());
                QCoreApplication::exit(1);
                return;
            }
            if (FOpt.Insecure)
                std::fprintf(stderr, "oftp: warning: --insecure: the server's certificate is not verified\n");
        }
        FQueue.SetMaxConnections(FOpt.Parallel);
        FQueue.SetConfigure([this](TFtpClient& Ftp) {
            ConfigureOftpEngine(Ftp, FOpt);
            ConfigureOftpTls(Ftp, FOpt);   // a bad --ca-file ended the run in Start
            if (FOpt.Verbose)
                Ftp.OnDisplay = [](TCustomFtpCli*, std::string& Msg) { std::fprintf(stderr, "%s\n", Msg.c_str()); };
        });
        if (FOpt.Verbose)
            FQueue.OnLog = [](const std::string& Line) { std::fprintf(stderr, "! %s\n", Line.c_str()); };
        if (FTerminal)
            FQueue.OnProgress = [this] { ShowProgress(); };
        FQueue.OnIdle = [this] { Finish(); };
        TBatchOptions batch;
        batch.Resume = FOpt.Resume;
        bool binary = FOpt.Binary;
        batch.IsBinary = [binary](const std::string&) { return binary; };
        batch.ExistsDecision = ecRewriteAll;
        if (FOpt.Command == "get")
            FQueue.AddDownloadTree(Remote(FOpt.Args[0]), FOpt.Args[1], batch);
        else if (FOpt.Command == "put")
            FQueue.AddUploadTree(FOpt.Args[0], Remote(FOpt.Args[1]), batch);
        else if (FOpt.Recursive)
            FQueue.AddDeleteTree(Remote(FOpt.Args[0]));
        else
            FQueue.AddDeleteFile(Remote(FOpt.Args[0]));
        FQueue.Start();
    }

private:
    std::string Remote(const std::string& Path) const
    {
        if (FOpt.Dir.empty() || (!Path.empty() && Path[0] == '/'))
            return Path;
        return JoinRemote(FOpt.Dir, Path);
    }

    void ShowProgress()
    {
        TQueueProgress p = FQueue.Progress();
        std::string left = p.SecondsLeft < 0 ? "--:--"
                                             : std::to_string(p.SecondsLeft / 60) + ":"
                                                   + (p.SecondsLeft % 60 < 10 ? "0" : "") + std::to_string(p.SecondsLeft % 60);
        std::fprintf(stderr, "\r%s of %s  %s/s  %s left  %d/%d files   ", Bytes(double(p.DoneBytes)).c_str(),
                     Bytes(double(p.TotalBytes)).c_str(), Bytes(p.Speed).c_str(), left.c_str(), p.FilesDone, p.Files);
        FShown = true;
    }

    void Finish()
    {
        if (FFinished)
            return;
        FFinished = true;
        if (FTerminal && FShown) {
            ShowProgress();
            std::fprintf(stderr, "\n");
        }
        int failed = 0;
        for (const TTransferItem* item : FQueue.Items()) {
            if (item->State != TItemState::Failed && item->State != TItemState::Pending)
                continue;
            ++failed;
            std::fprintf(stderr, "failed: %s %s%s%s: %s\n", DirectionName(item->Direction), item->Remote.c_str(),
                         item->Local.empty() ? "" : " -> ", item->Local.c_str(),
                         item->Reply.empty() ? "not transferred" : item->Reply.c_str());
        }
        if (!FQueue.StopReason().empty())
            std::fprintf(stderr, "%s\n", FQueue.StopReason().c_str());
        FCode = failed > 0 || !FQueue.StopReason().empty() ? 1 : 0;
        FEnd = platform::GetTickCount64() + 3000;
        WaitForQuit();
    }

    // The loop ends once the connections have said QUIT (or after three seconds).
    void WaitForQuit()
    {
        if (FQueue.ConnectionCount() == 0 || platform::GetTickCount64() > FEnd) {
            QCoreApplication::exit(FCode);
            return;
        }
        QTimer::singleShot(10, [this] { WaitForQuit(); });
    }

    TOftpOptions FOpt;
    TTransferQueue FQueue;
    bool FTerminal = false;
    bool FShown = false;
    bool FFinished = false;
    int FCode = 0;
    std::uint64_t FEnd = 0;
};

std::unique_ptr<TOftpQueueRun> GRun;

} // namespace

void StartOftpQueueCommand(const TOftpOptions& Options)
{
    GRun = std::make_unique<TOftpQueueRun>(Options);
    GRun->Start();
}

void EndOftpQueueCommand()
{
    GRun.reset();
}
