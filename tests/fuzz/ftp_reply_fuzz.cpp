// Fuzzes the FTP engine's reply reader: a loopback peer plays arbitrary bytes as the server's
// control connection (in fuzz-chosen pieces, in step with the commands it gets) while a
// TFtpClient logs in and runs a fuzz-chosen list of requests. Every request must end with
// exactly one OnRequestDone, and the close of the connection must end whatever runs.
//
// Input (FuzzedDataProvider): from the end, one switch byte and up to eight request
// selectors; from the front, the server's pieces (ConsumeRandomLengthString each).
// Data connections are active only: a passive reply would name any local port, and the
// fuzzer must not connect to other programs' listeners (the PASV parser has its own target).
#include "FuzzLoopback.h"

#include "ftp/FtpClient.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void Check(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "ftp_reply_fuzz: %s\n", what);
        std::abort();
    }
}

std::string UploadFile()
{
    static std::string path;
    if (path.empty()) {
        char name[] = "/tmp/ombrex-fuzz-upload-XXXXXX";
        int fd = ::mkstemp(name);
        Check(fd >= 0, "cannot create the upload file");
        const char text[] = "line one\nline two\n";
        Check(::write(fd, text, sizeof text - 1) == ssize_t(sizeof text - 1), "cannot write the upload file");
        ::close(fd);
        path = name;
    }
    return path;
}

// Starts request number Which; false when the engine refused it (FtpException).
bool StartRequest(TFtpClient& c, unsigned Which)
{
    try {
        switch (Which % 22) {
        case 0: c.Pwd(); break;
        case 1: c.SetHostDirName("/pub/dir"); c.Cwd(); break;
        case 2: c.Cdup(); break;
        case 3: c.Syst(); break;
        case 4: c.SetHostFileName("file.bin"); c.Size(); break;
        case 5: c.SetHostFileName("new dir"); c.Mkd(); break;
        case 6: c.SetHostFileName("old"); c.Rmd(); break;
        case 7: c.SetHostFileName("gone.txt"); c.Dele(); break;
        case 8: c.SetHostFileName("a"); c.SetLocalFileName("b"); c.Rename(); break;
        case 9: c.SetLocalFileName("NOOP"); c.Quote(); break;
        case 10: c.SendTypeBinary(); break;
        case 11: c.SendTypeAscii(); break;
        case 12: c.SetResumeOffset(4096); c.Rest(); break;
        case 13: c.SetDisplayFileFlag(true); c.SetLocalFileName(""); c.SetHostFileName(""); c.ListDir(); break;
        case 14: c.SetDisplayFileFlag(true); c.SetLocalFileName(""); c.ListNames(); break;
        case 15: c.SetDisplayFileFlag(true); c.SetHostFileName("f.txt"); c.Get(); break;
        case 16: c.SetLocalFileName(UploadFile()); c.SetHostFileName("up.txt"); c.Put(); break;
        case 17: c.SetLocalFileName(UploadFile()); c.SetHostFileName("up.txt"); c.Append(); break;
        case 18: c.User(); break;
        case 19: c.Pass(); break;
        case 20: c.DataPort(); break;
        default: c.Quit(); break;
        }
        return true;
    } catch (const FtpException&) {
        return false;
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzloop::EnsureApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static fuzzloop::LoopbackPeer peer;
    FuzzedDataProvider input(data, size);
    const std::uint8_t switches = input.ConsumeIntegral<std::uint8_t>();
    std::vector<std::uint8_t> plan;
    for (int i = 0; i < 8 && input.remaining_bytes() > 0; ++i)
        plan.push_back(input.ConsumeIntegral<std::uint8_t>());
    const std::vector<std::string> chunks = fuzzloop::ReadChunks(input, 24, 600);

    int started = 0;
    int done = 0;
    int connectedEvents = 0;
    std::size_t next = 0;
    {
        TFtpClient c;
        c.SetHostName("127.0.0.1");
        c.SetPort(std::to_string(peer.Port()));
        c.SetUserName("fuzz");
        c.SetPassWord("secret");
        c.SetPassiveMode(false);
        TFtpOptions options;
        if (switches & 1)
            options.Include(ftpAcceptLF);
        if (switches & 2)
            options.Include(ftpNoAutoResumeAt);
        c.SetOptions(options);
        // FUZZ_VERBOSE=1 shows the session, to check what a seed does.
        static const bool verbose = std::getenv("FUZZ_VERBOSE") != nullptr;
        c.OnDisplay = [](TCustomFtpCli*, std::string& m) {
            if (verbose)
                std::fprintf(stderr, "%s\n", m.c_str());
        };
        c.OnDisplayFile = [](TCustomFtpCli*, std::string& m) { volatile std::size_t n = m.size(); (void)n; };
        c.OnSessionConnected = [&](TCustomFtpCli*, std::uint16_t) { ++connectedEvents; };
        c.OnRequestDone = [&](TCustomFtpCli* s, TFtpRequest k, std::uint16_t e) {
            ++done;
            if (verbose)
                std::fprintf(stderr, "done %d: %d\n", int(k), int(e));
            Check(done <= started, "more completions than requests");
            Check(s->State() == fcsReady || s->State() == fcsStepReady || s->State() == fcsNotConnected,
                  "completion in a busy state");
            auto* client = static_cast<TFtpClient*>(s);
            while (next < plan.size() && client->Connected()) {
                ++started;
                if (StartRequest(*client, plan[next++]))
                    return;
                --started;
            }
        };

        try {
            ++started;
            if (switches & 4)
                c.Open();
            else
                c.Connect();
        } catch (const FtpException&) {
            Check(false, "the first request was refused");
        }
        auto finished = [&] { return done == started && (next >= plan.size() || !c.Connected()); };
        const bool ended = peer.Play(chunks, finished);
        if (!ended) {
            std::fprintf(stderr, "state %s, started %d, done %d, connected %d, peer closed %d\n",
                         FtpStateName(c.State()), started, done, int(c.Connected()), int(peer.ClientClosed()));
            Check(false, "a request never ended after the server closed the connection");
        }
        Check(connectedEvents <= 1, "OnSessionConnected more than once");
        c.OnRequestDone = nullptr;
        c.Abort();
        fuzzloop::PumpOnce();
    }
    peer.Reset();
    fuzzloop::PumpOnce();
    return 0;
}
