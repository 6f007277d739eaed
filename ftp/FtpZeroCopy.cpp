// TCustomFtpCli: the zero-copy data path. Binary downloads go socket -> pipe -> file with
// splice(), binary uploads file -> socket with sendfile(); the bytes never pass through the
// engine's memory. Each chunk keeps the copying path's progress and abort checks, and a
// system that refuses a call sends the transfer back to the copying path where it stands.
#include "ftp/CustomFtpCli.h"

#include <unistd.h>

#include <cerrno>

namespace {

// The pipe of spliced downloads is widened to this (the system's default cap for users):
// one splice pair moves up to this much per data-available event, which is also the most
// that goes between two OnProgress calls.
constexpr std::size_t kSplicePipeBytes = 1 << 20;
// Bytes handed to one sendfile call per pump run of an upload: OnProgress and the abort
// check run at least this often.
constexpr std::int64_t kSendFileChunk = 2 << 20;

} // namespace

bool TCustomFtpCli::ZeroCopyAllowed(bool Upload)
{
    if (FTransferAscii)
        return false;   // line ends are converted on the way
    if (!Upload && FDisplayFileFlag)
        return false;   // the listing is cut into lines for OnDisplayFile
    if (!Upload && FDataCommand != "RETR")
        return false;   // listings are counted against their bound as they come
    if (!platform::ZeroCopyEnabled())
        return false;   // switched off for this process (OMBREX_ZEROCOPY=off)
    if (FProtP) {
        // Encrypted data connections: the bytes on the wire are not the file's. The log
        // says so once the data connection's TLS is up.
        FKernelTlsNote = !FKernelTlsNoted;
        return false;
    }
    if (!Upload && !FSplicePipe.Open(kSplicePipeBytes))
        return false;
    return true;
}

void TCustomFtpCli::BeginDataPath(bool Upload)
{
    FKernelTlsNote = false;
    FZeroCopy = ZeroCopyAllowed(Upload);
    FDataPath = FZeroCopy ? ftpPathZeroCopy : ftpPathCopying;
    FSendOffset = -1;
}

void TCustomFtpCli::FallBackToCopying()
{
    FZeroCopy = false;
    FDataPath = ftpPathFellBack;
}

bool TCustomFtpCli::ZeroCopyDownloadData()
{
    auto alive = FAlive;
    TWSocket& data = *FDataSocket;
    int sysError = 0;
    std::int64_t n = data.ReceiveToPipe(FSplicePipe.WriteEnd(), std::int64_t(FSplicePipe.Capacity()), sysError);
    if (n < 0) {
        if (data.LastError() != wsock::WSAEWOULDBLOCK && platform::ZeroCopyUnsupported(sysError)) {
            // This socket cannot splice: nothing was taken, the copying path reads it.
            FallBackToCopying();
            return false;
        }
        if (data.State() == wsConnected && data.LastError() != wsock::WSAEWOULDBLOCK) {
            NotifyDisplay("! Data: Receive error " + std::to_string(data.LastError()));
            if (!*alive)
                return true;
            data.Shutdown(2);
        }
        return true;
    }
    if (n == 0)
        return true;
    FByteCount += n;
    std::size_t moved = 0;
    int err = FSplicePipe.SpliceToFile(FLocalFile, std::size_t(n), moved);
    if (err == 0)
        return true;
    if (platform::ZeroCopyUnsupported(err)) {
        // The file system takes no splice (or the file is no plain file): the bytes still in
        // the pipe go to the file the copying way, and so does the rest of the transfer.
        FallBackToCopying();
        if (FDataBuffer.size() < FSplicePipe.Capacity())
            FDataBuffer.resize(FSplicePipe.Capacity());
        std::size_t left = std::size_t(n) - moved;
        bool written = true;
        while (left > 0) {
            long got = FSplicePipe.ReadOut(FDataBuffer.data(), left);
            if (got <= 0)
                break;
            left -= std::size_t(got);
            try {
                WriteDownload(FDataBuffer.data(), got);
            } catch (const std::exception&) {
                written = false;
                break;
            }
        }
        if (written && left == 0)
            return true;
    }
    // Disk full, quota, I/O error: as on the copying path, the transfer must not succeed.
    FSplicePipe.Discard();
    FLocalWriteFailed = true;
    NotifyDisplay("! Error writing local file");
    if (!*alive)
        return true;
    AbandonDownloadData();
    return true;
}

bool TCustomFtpCli::ZeroCopyUploadPump()
{
    if (FSendOffset < 0) {
        // Where the file stands now (0, or the resume offset): sendfile takes explicit offsets.
        FSendOffset = ::lseek(FLocalFile, 0, SEEK_CUR);
        if (FSendOffset < 0) {
            FSendOffset = -1;
            FallBackToCopying();
            return false;
        }
    }
    auto alive = FAlive;
    TWSocket& data = *FDataSocket;
    int sysError = 0;
    std::int64_t n = data.SendFromFile(FLocalFile, FSendOffset, kSendFileChunk, sysError);
    if (!*alive)
        return true;
    if (n > 0) {
        FByteCount += n;
        return true;
    }
    if (n == 0) {
        FEndOfFile = true;
        CloseDataSocket();
        return true;
    }
    if (data.LastError() == wsock::WSAEWOULDBLOCK)
        return true;   // OnDataSent brings the next run when the system takes more
    if (data.State() != wsConnected)
        return true;   // the connection is lost; its close ends the transfer
    if (platform::ZeroCopyUnsupported(sysError)) {
        // The file cannot be sent from the file system: read it from where sendfile stopped.
        if (::lseek(FLocalFile, FSendOffset, SEEK_SET) == FSendOffset) {
            FallBackToCopying();
            return false;
        }
    }
    NotifyDisplay("! Error reading file");
    if (!*alive)
        return true;
    CloseDataSocket();
    return true;
}
