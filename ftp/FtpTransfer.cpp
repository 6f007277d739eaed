// TCustomFtpCli: the data connection (PORT and PASV), downloads, uploads with their pump,
// the completion check, statistics, progress and the local file.
#include "ftp/CustomFtpCli.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// Bytes read from the data connection per call. The engine hands every read to the file
// and to OnProgress; a large read keeps the system calls per GiB low.
constexpr std::size_t kDownloadChunk = 128 * 1024;
// Bytes read from the local file per pump run of an upload. The block, its copy in the
// socket's queue and the socket's gather buffer stay in the processor's cache at this size
// (measured: larger blocks cost more CPU per GiB, not less).
constexpr std::size_t kUploadChunk = 64 * 1024;
// Bytes of a download kept in memory while the server's 150 has not come; beyond them the
// data connection is not read until it has.
constexpr std::size_t kEarlyDataLimit = 4 * 1024 * 1024;

bool WriteAll(int Fd, const char* Data, std::size_t Len)
{
    while (Len > 0) {
        ssize_t n = ::write(Fd, Data, Len);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        Data += n;
        Len -= std::size_t(n);
    }
    return true;
}

ssize_t ReadSome(int Fd, char* Data, std::size_t Len)
{
    for (;;) {
        ssize_t n = ::read(Fd, Data, Len);
        if (n < 0 && errno == EINTR)
            continue;
        return n;
    }
}

// Parses "d,d,d,d,d,d" (each 0..255) at Text; true with the six values.
bool ParseSixNumbers(const std::string& Text, std::size_t Pos, int (&Values)[6], std::size_t& End)
{
    for (int k = 0; k < 6; ++k) {
        while (Pos < Text.size() && Text[Pos] == ' ')
            ++Pos;
        int value = 0;
        int digits = 0;
        while (Pos < Text.size() && Text[Pos] >= '0' && Text[Pos] <= '9' && digits < 4) {
            value = value * 10 + (Text[Pos] - '0');
            ++Pos;
            ++digits;
        }
        if (digits == 0 || digits > 3 || value > 255)
            return false;
        while (Pos < Text.size() && Text[Pos] == ' ')
            ++Pos;
        Values[k] = value;
        if (k < 5) {
            if (Pos >= Text.size() || Text[Pos] != ',')
                return false;
            ++Pos;
        }
    }
    End = Pos;
    return true;
}

} // namespace

// ---- helpers ----

void TCustomFtpCli::CloseLocalFile()
{
    if (FLocalFile >= 0) {
        ::close(FLocalFile);
        FLocalFile = -1;
    }
}

void TCustomFtpCli::CloseDataSocket()
{
    if (FEarlyHandle != wsock::INVALID_SOCKET) {
        wsock::closesocket(FEarlyHandle);
        FEarlyHandle = wsock::INVALID_SOCKET;
    }
    try {
        if (FDataSocket->State() != wsClosed)
            FDataSocket->Close();
    } catch (...) {
        // The session is over either way.
    }
}

bool TCustomFtpCli::ParsePasvReply(int& PortNumber)
{
    // "227 Entering Passive Mode (h1,h2,h3,h4,p1,p2)". Only the port is used: the data
    // connection goes to the control connection's peer whatever address the reply names,
    // so a hostile reply cannot send us elsewhere.
    std::size_t open = FPasvReply.find('(');
    if (open == std::string::npos)
        return false;
    int values[6];
    std::size_t end = 0;
    if (!ParseSixNumbers(FPasvReply, open + 1, values, end))
        return false;
    if (end >= FPasvReply.size() || FPasvReply[end] != ')')
        return false;
    PortNumber = (values[4] * 256 + values[5]) & 0xFFFF;
    return PortNumber != 0;
}

bool TCustomFtpCli::DataPeerAllowed(wsock::SOCKET Handle, std::string& PeerText)
{
    wsock::sockaddr_storage data{};
    int len = sizeof data;
    if (wsock::getpeername(Handle, reinterpret_cast<wsock::sockaddr*>(&data), &len) != 0)
        return false;
    wsock::sockaddr_storage control{};
    len = sizeof control;
    if (FControlSocket->GetPeerName(control, len) != 0)
        return false;
    if (data.ss_family == wsock::AF_INET6) {
        const auto& d6 = reinterpret_cast<const wsock::sockaddr_in6&>(data);
        char text[64];
        PeerText = wsock::inet_ntop(wsock::AF_INET6, d6.sin6_addr, text, sizeof text) ? text : "?";
        if (control.ss_family != wsock::AF_INET6)
            return false;
        const auto& c6 = reinterpret_cast<const wsock::sockaddr_in6&>(control);
        return std::memcmp(d6.sin6_addr, c6.sin6_addr, 16) == 0;
    }
    const auto& d4 = reinterpret_cast<const wsock::sockaddr_in&>(data);
    PeerText = wsock::inet_ntoa(d4.sin_addr);
    if (control.ss_family != wsock::AF_INET)
        return false;
    return d4.sin_addr.s_addr == reinterpret_cast<const wsock::sockaddr_in&>(control).sin_addr.s_addr;
}

// ---- DataPort ----

std::string TCustomFtpCli::ListenForData(bool Ipv6)
{
    TWSocket& data = *FDataSocket;
    std::string cmd;
    data.SetLingerOnOff(wsLingerOn);
    data.SetLingerTimeout(10);
    data.Listen();
    wsock::sockaddr_in sin{};
    int len = sizeof sin;
    if (Ipv6) {
        wsock::sockaddr_storage ss{};
        len = sizeof ss;
        data.GetSockName(ss, len);
        std::memcpy(&sin, &ss, sizeof sin);   // the port sits where IPv4 keeps it
    } else {
        data.GetSockName(sin, len);
    }
    int port = wsock::ntohs(sin.sin_port);
    wsock::sockaddr_in local{};
    len = sizeof local;
    if (Ipv6) {
        wsock::sockaddr_storage ss{};
        len = sizeof ss;
        FControlSocket->GetSockName(ss, len);
        char text[64] = "";
        wsock::inet_ntop(wsock::AF_INET6, reinterpret_cast<const wsock::sockaddr_in6&>(ss).sin6_addr, text,
                         sizeof text);
        cmd = FormatStr("EPRT |2|%s|%d|", text, port);
    } else {
        FControlSocket->GetSockName(local, len);
        if (FControlSocket->Addr() == "127.0.0.1") {
            cmd = FormatStr("PORT 127,0,0,1,%d,%d", (port >> 8) & 0xFF, port & 0xFF);
        } else {
            const auto* b = reinterpret_cast<const unsigned char*>(&local.sin_addr.s_addr);
            cmd = FormatStr("PORT %d,%d,%d,%d,%d,%d", b[0], b[1], b[2], b[3], (port >> 8) & 0xFF,
                            port & 0xFF);
        }
    }
    return cmd;
}

void TCustomFtpCli::DataPort()
{
    CheckCanCommand();
    FPasvReply.clear();   // a stale reply must never name the next data port
    if (FEprtFallback) {
        // The last transfer went active only because EPSV was refused: this one asks again.
        FEprtFallback = false;
        FPassiveMode = true;
    }
    CloseDataSocket();
    TWSocket& data = *FDataSocket;
    // Over IPv6 the data connection is negotiated with RFC 2428's EPSV and EPRT, which
    // carry no IPv4 address; IPv4 keeps PASV and PORT.
    const bool ipv6 = FControlSocket->SocketFamily() == wsock::AF_INET6 && FControlSocket->State() == wsConnected;
    data.SetProto("tcp");
    data.SetAddr(ipv6 ? "::" : "0.0.0.0");
    data.SetPort("0");
    // Some servers connect as soon as they get PORT, before the transfer command: the
    // connection is taken at once and handed to the data step when it starts.
    FDataStep = 0;
    data.OnSessionAvailable = [this](TCustomWSocket*, std::uint16_t e) { DataAccept(e); };
    data.OnSessionClosed = nullptr;
    data.OnDataAvailable = nullptr;
    data.OnSessionConnected = nullptr;
    data.OnDataSent = nullptr;
    PrepareDataTls();

    std::string cmd = FPassiveMode ? (ipv6 ? "EPSV" : "PASV") : ListenForData(ipv6);
    FByteCount = 0;
    FPasvSavedError = FErrorMessage;
    if (FPassiveMode && TakePassivePrefetch())
        return;
    if (ipv6 && FPassiveMode) {
        StartCommand(rqPort, ftpStepDataPort, cmd, {229}, &TCustomFtpCli::EpsvDone);
        return;
    }
    StartCommand(rqPort, ftpStepDataPort, cmd, {200, 227}, FPassiveMode ? &TCustomFtpCli::PasvDone : nullptr);
}

// ---- downloads ----

bool TCustomFtpCli::CheckDownloadFile()
{
    // Nothing is created or truncated here: the server may still refuse the transfer, and
    // a refused download must leave the file the user had as it was. An existing file is
    // opened for writing without truncation (so a file we may not write fails now, before
    // the command goes out); a new one is made once the server has accepted.
    CloseLocalFile();
    FDownloadAccepted = false;
    FEarlyData.clear();
    FReadPaused = false;
    struct stat st {};
    if (::stat(FLocalFileName.c_str(), &st) == 0) {
        int fd = ::open(FLocalFileName.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0)
            return false;
        FLocalFile = fd;
        return true;
    }
    if (FResumeOffset > 0)
        return false;   // nothing to continue
    std::string folder = FLocalFileName;
    std::size_t slash = folder.rfind('/');
    folder = slash == std::string::npos ? "." : slash == 0 ? "/" : folder.substr(0, slash);
    return ::access(folder.c_str(), W_OK | X_OK) == 0;
}

bool TCustomFtpCli::OpenDownloadFile()
{
    int fd = FLocalFile;
    if (fd < 0) {
        fd = ::open(FLocalFileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd < 0)
            return false;
        FLocalFile = fd;
    }
    // From the restart point on (or from the start), the old bytes go: bytes past the
    // restart point would stay behind the new data and corrupt the file.
    std::int64_t from = FResumeOffset > 0 ? FResumeOffset : 0;
    struct stat st {};
    if ((::fstat(fd, &st) == 0 && st.st_size > from && ::ftruncate(fd, from) != 0)
        || ::lseek(fd, from, SEEK_SET) != from) {
        CloseLocalFile();
        return false;
    }
    return true;
}

void TCustomFtpCli::AcceptDownload()
{
    FDownloadAccepted = true;
    if (FDisplayFileFlag)
        return;
    auto alive = FAlive;
    bool opened = OpenDownloadFile();
    if (opened && !FEarlyData.empty()) {
        std::vector<char> early;
        early.swap(FEarlyData);
        try {
            WriteDownload(early.data(), std::int64_t(early.size()));
        } catch (const std::exception&) {
            FLocalWriteFailed = true;
        }
    }
    if (!opened || FLocalWriteFailed) {
        // As with a failed write: the server's answer to our shutdown ends the request.
        FLocalOpenFailed = !opened;
        FLocalWriteFailed = true;
        FEarlyData.clear();
        CloseLocalFile();
        NotifyDisplay(opened ? "! Error writing local file" : "! Unable to open local file " + FLocalFileName);
        if (!*alive)
            return;
        if (FDataSocket->State() == wsConnected)
            FDataSocket->Shutdown(2);
        if (FReadPaused) {
            // Read on (and drop) what waits, or the close would never be seen.
            FReadPaused = false;
            DownloadData(0);
        }
        return;
    }
    if (FDownloadClosed) {
        // The data connection ended before the server's answer: the file is complete.
        if (FPendingCR && FLocalFile >= 0) {
            FPendingCR = false;
            WriteAll(FLocalFile, "\r", 1);
        }
        CloseLocalFile();
    } else if (FReadPaused) {
        FReadPaused = false;
        DownloadData(0);
    }
}

void TCustomFtpCli::StartDownload(TFtpRequest Kind, const char* Command)
{
    if (!FControlOpen)
        throw FtpException(std::string(Command) + ": not connected");
    if (FLocalFileName.empty() && !FDisplayFileFlag)
        throw FtpException("LocalFileName empty");
    CheckCommandText(FHostFileName);
    SetRequestKind(Kind);
    FDataCommand = Command;
    FFinalReply = false;
    FDownloadClosed = false;
    FRequestDone = false;
    FRequestResult = 0;
    FByteCount = 0;
    FCloseError = 0;
    FPendingCR = false;
    FLocalWriteFailed = false;
    FLocalOpenFailed = false;
    FListingCut = false;
    FListingLines = 0;
    FTransferAscii = FAsciiType && FDataCommand == "RETR";
    FDataStep = 1;
    BeginDataPath(false);

    int port = 0;
    if (FPassiveMode && !ParsePasvReply(port)) {
        // Checked before the local file is touched: a failed data connection must not
        // truncate it.
        FLastReply = "Unable to establish data connection, invalid passive mode reply";
        FReplyCode = 550;
        KeepErrorMessage();
        CloseDataSocket();
        FRequestResult = 550;
        FinishRequest(550);
        return;
    }
    if (!FDisplayFileFlag && !CheckDownloadFile()) {
        FLastReply = "Unable to open local file " + FLocalFileName;
        FReplyCode = 550;
        KeepErrorMessage();
        CloseDataSocket();
        FRequestResult = 550;
        FinishRequest(550);
        return;
    }
    if (FPassiveMode) {
        TWSocket& data = *FDataSocket;
        try {
            CloseDataSocket();
            data.SetPort(std::to_string(port));
            data.SetAddr(FControlSocket->Addr());
            data.OnSessionConnected = [this](TCustomWSocket*, std::uint16_t e) { DownloadConnected(e); };
            data.SetLingerOnOff(wsLingerOff);
            data.SetLingerTimeout(0);
            data.Connect();
        } catch (const std::exception&) {
            int e = FDataSocket->LastError();
            CloseLocalFile();
            CloseDataSocket();
            FLastReply = "Unable to establish data connection, error #" + std::to_string(e);
            FReplyCode = 550;
            KeepErrorMessage();
            FRequestResult = 550;
            FinishRequest(550);
            return;
        }
        // The command goes out once the connection is up, as an upload's does: sent before,
        // a connection that fails would leave the server's answer to it on its way, to be
        // taken for the answer to whatever command comes next.
        SetState(fcsWaitingReply);
        FNext = &TCustomFtpCli::StrayReply;
        return;
    }
    if (FEarlyHandle != wsock::INVALID_SOCKET) {
        wsock::SOCKET handle = FEarlyHandle;
        FEarlyHandle = wsock::INVALID_SOCKET;
        DownloadAdopt(handle);
    }
    SendDownloadCommand();
}

void TCustomFtpCli::SendDownloadCommand()
{
    SetState(fcsWaitingReply);
    FNext = &TCustomFtpCli::FirstDataReply;
    SendCommand(FHostFileName.empty() ? FDataCommand : FDataCommand + " " + FHostFileName);
}

void TCustomFtpCli::DataAccept(std::uint16_t Error)
{
    wsock::SOCKET handle = FDataSocket->Accept();
    if (handle == wsock::INVALID_SOCKET)
        return;
    std::string peer;
    if (!DataPeerAllowed(handle, peer)) {
        // PORT told the server where to connect; anybody else is refused, and the
        // listener goes on waiting for the server.
        wsock::closesocket(handle);
        NotifyDisplay("! Data connection from " + peer + " refused");
        return;
    }
    FDataSocket->Close();   // the listener: one connection per transfer
    if (FDataStep == 1)
        DownloadAdopt(handle);
    else if (FDataStep == 2)
        UploadAdopt(handle);
    else
        FEarlyHandle = handle;
}

void TCustomFtpCli::DownloadAdopt(wsock::SOCKET Handle)
{
    TWSocket& data = *FDataSocket;
    data.Close();
    data.OnSessionClosed = [this](TCustomWSocket*, std::uint16_t e) { DownloadClosed(e); };
    data.OnDataAvailable = [this](TCustomWSocket*, std::uint16_t e) { DownloadData(e); };
    data.OnDataSent = nullptr;
    data.Dup(Handle);
    FStartTime = platform::GetTickCount64();
    MaybeStartDataTls();
}

void TCustomFtpCli::DownloadConnected(std::uint16_t Error)
{
    if (FRequestDone)
        return;   // the request ended while we connected: no command may go out for it
    TWSocket& data = *FDataSocket;
    data.OnSessionClosed = [this](TCustomWSocket*, std::uint16_t e) { DownloadClosed(e); };
    data.OnDataAvailable = [this](TCustomWSocket*, std::uint16_t e) { DownloadData(e); };
    FStartTime = platform::GetTickCount64();
    if (Error != 0) {
        FLastReply = "Unable to establish data connection, error #" + std::to_string(Error);
        FReplyCode = 550;
        KeepErrorMessage();
        CloseDataSocket();
        FRequestResult = 550;
        FinishRequest(550);
        return;
    }
    SendDownloadCommand();
}

void TCustomFtpCli::WriteDownload(const char* Data, std::int64_t Len)
{
    const char* out = Data;
    std::size_t outLen = std::size_t(Len);
    if (FTransferAscii) {
        // TYPE A sends CR LF line ends; this system's text files end lines with LF alone.
        FConvertBuffer.resize(std::size_t(Len) + 1);
        char* w = FConvertBuffer.data();
        for (std::int64_t i = 0; i < Len; ++i) {
            char c = Data[i];
            if (FPendingCR) {
                FPendingCR = false;
                if (c != '\n')
                    *w++ = '\r';
            }
            if (c == '\r') {
                FPendingCR = true;
                continue;
            }
            *w++ = c;
        }
        out = FConvertBuffer.data();
        outLen = std::size_t(w - out);
    }
    if (!WriteAll(FLocalFile, out, outLen))
        throw std::runtime_error("write");
}

void TCustomFtpCli::DownloadData(std::uint16_t Error)
{
    auto alive = FAlive;
    const bool early = !FDownloadAccepted && !FDisplayFileFlag;
    if (early && FEarlyData.size() >= kEarlyDataLimit) {
        // Read again once the server has answered; the data waits in the system meanwhile.
        FReadPaused = true;
        return;
    }
    if (NotifyProgress())
        return;
    if (!*alive)
        return;
    // Only once the server has accepted: before that an existing file may be open (to learn
    // early that it is writable) but is not ours to change.
    if (FZeroCopy && !early && FLocalFile >= 0 && ZeroCopyDownloadData())
        return;
    if (FDataBuffer.size() < kDownloadChunk)
        FDataBuffer.resize(kDownloadChunk);
    TWSocket& data = *FDataSocket;
    std::int64_t n = data.Receive(FDataBuffer.data(), std::int64_t(FDataBuffer.size()));
    if (FListingCut)
        return;   // past the bound: nothing more is kept
    if (n > 0) {
        n = BoundListing(FDataBuffer.data(), n);
        FByteCount += n;
        if (early) {
            // Data before the server's 150: the file is not ours to change yet.
            FEarlyData.insert(FEarlyData.end(), FDataBuffer.data(), FDataBuffer.data() + n);
        } else if (FLocalFile >= 0) {
            try {
                WriteDownload(FDataBuffer.data(), n);
            } catch (const std::exception&) {
                FLocalWriteFailed = true;
                NotifyDisplay("! Error writing local file");
                if (!*alive)
                    return;
                AbandonDownloadData();
                return;
            }
        }
        if (FDisplayFileFlag) {
            const char* p = FDataBuffer.data();
            std::int64_t i = 0;
            while (i < n) {
                std::int64_t j = i;
                while (j < n && p[j] != '\r' && p[j] != '\n')
                    ++j;
                NotifyDisplayFile(std::string(p + i, std::size_t(j - i)));
                if (!*alive)
                    return;
                while (j < n && (p[j] == '\r' || p[j] == '\n'))
                    ++j;
                i = j;
            }
        }
        if (FListingCut) {
            // What came so far is kept; the server's answer to the close ends the request.
            NotifyDisplay("! Listing cut: more than " + std::to_string(FListingMaxEntries) + " entries or "
                          + std::to_string(FListingMaxBytes) + " bytes");
            if (!*alive)
                return;
            CloseLocalFile();
            data.Close();
            return;
        }
    } else if (n < 0) {
        if (data.State() == wsConnected && data.LastError() != wsock::WSAEWOULDBLOCK) {
            NotifyDisplay("! Data: Receive error " + std::to_string(data.LastError()));
            data.Shutdown(2);
        }
    }
}

void TCustomFtpCli::DownloadClosed(std::uint16_t Error)
{
    if (!FDownloadAccepted && !FDisplayFileFlag) {
        // Closed before the server's answer: what came stays in memory until it accepts.
        FDownloadClosed = true;
        FCloseError = Error;
        return;
    }
    if (FPendingCR && FLocalFile >= 0) {
        FPendingCR = false;
        WriteAll(FLocalFile, "\r", 1);   // a lone CR at the very end is data
    }
    CloseLocalFile();
    FDownloadClosed = true;
    FCloseError = DataCloseError(Error);
    auto alive = FAlive;
    if (!FFinalReply)
        PrefetchAfterDownload();
    if (!*alive)
        return;
    CheckTransferDone(FDownloadClosed);
}

void TCustomFtpCli::FirstDataReply()
{
    auto alive = FAlive;
    NotifyDisplay("< " + FLastReply);
    if (!*alive)
        return;
    if (FReplyCode != 150 && FReplyCode != 125) {
        KeepErrorMessage();
        FNext = nullptr;
        CloseDataSocket();
        CloseLocalFile();
        FResumeOffset = 0;
        FEarlyData.clear();
        FRequestResult = FReplyCode;
        FinishRequest(FReplyCode);
        return;
    }
    FNext = &TCustomFtpCli::FinalDataReply;
    AcceptDownload();
    if (!*alive)
        return;
    MaybeStartDataTls();
    if (*alive && FDownloadClosed && !FRequestDone)
        PrefetchAfterDownload();
}

void TCustomFtpCli::FinalDataReply()
{
    auto alive = FAlive;
    NotifyDisplay("< " + FLastReply);
    if (!*alive)
        return;
    if (FReplyCode == 125 || FReplyCode == 226 || FReplyCode == 250 || FListingCut) {
        FFinalReply = true;
        CheckTransferDone(FDownloadClosed);
        return;
    }
    int code = FReplyCode;
    KeepErrorMessage();
    CloseLocalFile();
    CloseDataSocket();
    NotifyDisplay("! RETR/LIST/NLST Failed");
    if (!*alive)
        return;
    if (FLocalWriteFailed) {
        FailLocalWrite();   // the server only answers our shutdown: the cause is ours
        return;
    }
    FRequestResult = code;
    FinishRequest(code);
}

void TCustomFtpCli::AbandonDownloadData()
{
    FDataSocket->Shutdown(2);
    // A shut-down socket still takes the server's data into its buffer until the window
    // closes, and a server blocked on that window never sends its verdict. Closed with
    // data unread, the connection is reset: the server's write fails and it answers.
    CloseDataSocket();
}

void TCustomFtpCli::FailLocalWrite()
{
    FResumeOffset = 0;
    FailRequest(550, (FLocalOpenFailed ? "Unable to open local file " : "Unable to write local file ") + FLocalFileName);
}

void TCustomFtpCli::CheckTransferDone(bool ClosedFlag)
{
    if (!FFinalReply || !ClosedFlag || FRequestDone)
        return;
    auto alive = FAlive;
    ShowTransferStats();
    if (!*alive)
        return;
    if (FLocalWriteFailed) {
        // The server sent everything, but the file does not hold it: no success.
        FailLocalWrite();
        return;
    }
    FResumeOffset = 0;
    FRequestResult = FCloseError;
    FinishRequest(FCloseError);
}

// ---- uploads ----

void TCustomFtpCli::StartUpload(bool AppendMode)
{
    FAppendMode = AppendMode;
    FCurrentRequest = AppendMode ? rqAppend : rqPut;
    if (!FControlOpen)
        throw FtpException("STOR/APPE: not connected");
    if (FLocalFileName.empty())
        throw FtpException("LocalFileName empty");
    CheckCommandText(FHostFileName);
    FFinalReply = false;
    FUploadClosed = false;
    FDataConnected = false;
    FFirstReply = false;
    FRequestDone = false;
    FRequestResult = 0;
    FStartTime = 0;
    FByteCount = 0;
    FCloseError = 0;
    FLocalWriteFailed = false;
    FTransferAscii = FAsciiType;
    BeginDataPath(true);

    auto alive = FAlive;
    if (NotifyReadyToTransmit()) {
        if (!*alive)
            return;
        FErrorMessage = "426 Transmit cancelled by application";
        FReplyCode = 426;
        NotifyDisplay("! " + FErrorMessage);
        if (!*alive)
            return;
        FRequestResult = 426;
        FinishRequest(426);
        return;
    }
    if (!*alive)
        return;
    FDataStep = 2;
    CloseLocalFile();
    FLocalFile = ::open(FLocalFileName.c_str(), O_RDONLY | O_CLOEXEC);
    FEndOfFile = false;
    if (FLocalFile >= 0 && FResumeOffset > 0 && ::lseek(FLocalFile, FResumeOffset, SEEK_SET) != FResumeOffset)
        CloseLocalFile();
    if (FLocalFile < 0) {
        FErrorMessage = "426 Unable to open local file " + FLocalFileName;
        FReplyCode = 426;
        NotifyDisplay("! " + FErrorMessage);
        if (!*alive)
            return;
        CloseDataSocket();
        FRequestResult = 426;
        FinishRequest(426);
        return;
    }
    if (FPassiveMode) {
        int port = 0;
        if (!ParsePasvReply(port)) {
            CloseLocalFile();
            FLastReply = "Unable to establish data connection, invalid passive mode reply";
            FReplyCode = 550;
            KeepErrorMessage();
            CloseDataSocket();
            FRequestResult = 550;
            FinishRequest(550);
            return;
        }
        TWSocket& data = *FDataSocket;
        // The request runs from here on: nobody may start another one while we connect.
        SetState(fcsWaitingReply);
        FNext = &TCustomFtpCli::StrayReply;
        try {
            CloseDataSocket();
            data.SetPort(std::to_string(port));
            data.SetAddr(FControlSocket->Addr());
            data.OnSessionConnected = [this](TCustomWSocket*, std::uint16_t e) { UploadConnected(e); };
            data.SetLingerOnOff(wsLingerOff);
            data.SetLingerTimeout(0);
            data.Connect();
        } catch (const std::exception&) {
            int e = FDataSocket->LastError();
            CloseLocalFile();
            CloseDataSocket();
            FLastReply = "Unable to establish data connection, error #" + std::to_string(e);
            FReplyCode = 550;
            KeepErrorMessage();
            FRequestResult = 550;
            FinishRequest(550);
        }
        return;
    }
    if (FEarlyHandle != wsock::INVALID_SOCKET) {
        wsock::SOCKET handle = FEarlyHandle;
        FEarlyHandle = wsock::INVALID_SOCKET;
        UploadAdopt(handle);
    }
    SetState(fcsWaitingReply);
    FNext = &TCustomFtpCli::FirstUploadReply;
    SendUploadCommand();
}

void TCustomFtpCli::SendUploadCommand()
{
    SendCommand((FAppendMode ? "APPE " : "STOR ") + FHostFileName);
}

void TCustomFtpCli::StrayReply()
{
    // A reply before our command went out answers nothing of ours.
    NotifyDisplay("< " + FLastReply);
}

void TCustomFtpCli::DiscardData(std::uint16_t Error)
{
    char discard[2048];
    FDataSocket->Receive(discard, sizeof discard);
}

void TCustomFtpCli::UploadAdopt(wsock::SOCKET Handle)
{
    TWSocket& data = *FDataSocket;
    data.Close();
    data.OnSessionClosed = [this](TCustomWSocket*, std::uint16_t e) { UploadClosed(e); };
    data.OnDataAvailable = [this](TCustomWSocket*, std::uint16_t e) { DiscardData(e); };
    data.OnDataSent = [this](TCustomWSocket*, std::uint16_t e) { UploadPump(e); };
    data.Dup(Handle);
    int size = 0;
    int len = sizeof size;
    if (wsock::getsockopt(data.Handle(), wsock::SOL_SOCKET, wsock::SO_SNDBUF, reinterpret_cast<char*>(&size), &len)
        == wsock::SOCKET_ERROR)
        throw FtpException("winsock.getsockopt(SO_SNDBUF) failed");
    data.SetLingerOnOff(wsLingerOff);
    data.SetLingerTimeout(10);
    data.ApplyLinger();
    FDataConnected = true;
    if (FFirstReply && FStartTime == 0)
        FWindow->PostMessage(WM_FTP_SENDDATA);
    MaybeStartDataTls();
}

void TCustomFtpCli::UploadConnected(std::uint16_t Error)
{
    TWSocket& data = *FDataSocket;
    data.OnSessionClosed = [this](TCustomWSocket*, std::uint16_t e) { UploadClosed(e); };
    data.OnDataAvailable = nullptr;
    data.OnDataSent = nullptr;
    FDataConnected = true;
    FStartTime = platform::GetTickCount64();
    if (Error != 0) {
        FLastReply = "Unable to establish data connection, error #" + std::to_string(Error);
        FReplyCode = 550;
        KeepErrorMessage();
        CloseDataSocket();
        FRequestResult = 550;
        FinishRequest(550);
        return;
    }
    SetState(fcsWaitingReply);
    FNext = &TCustomFtpCli::FirstUploadReply;
    SendUploadCommand();
}

void TCustomFtpCli::FirstUploadReply()
{
    auto alive = FAlive;
    NotifyDisplay("< " + FLastReply);
    if (!*alive)
        return;
    if (FReplyCode == 150 || FReplyCode == 125) {
        FFirstReply = true;
        FNext = &TCustomFtpCli::FinalUploadReply;
        MaybeStartDataTls();
        if (FPassiveMode) {
            FDataSocket->OnDataSent = [this](TCustomWSocket*, std::uint16_t e) { UploadPump(e); };
            UploadPump(0);
        } else if (FDataConnected && FStartTime == 0) {
            FWindow->PostMessage(WM_FTP_SENDDATA);
        }
        return;
    }
    KeepErrorMessage();
    FNext = nullptr;
    CloseDataSocket();
    CloseLocalFile();
    FResumeOffset = 0;
    FRequestResult = FReplyCode;
    FinishRequest(FReplyCode);
}

void TCustomFtpCli::UploadPump(std::uint16_t Error)
{
    if (FLocalFile < 0)
        return;
    auto alive = FAlive;
    if (NotifyProgress())
        return;
    if (!*alive || FLocalFile < 0)
        return;
    if (Error != 0) {
        NotifyDisplay("! Error #" + std::to_string(Error) + " sending data");
        CloseDataSocket();
        return;
    }
    if (FEndOfFile || !FFirstReply || !FDataConnected)
        return;
    TWSocket& data = *FDataSocket;
    if (FProtP && data.SslState() != sslEstablished)
        return;   // the data connection's handshake ends with the next pump
    // One block at a time: the next is read when the socket reports this one sent, so
    // the end of file never closes the connection with bytes still queued.
    if (!data.AllSent() || data.State() != wsConnected)
        return;
    if (FZeroCopy && ZeroCopyUploadPump())
        return;
    if (FDataBuffer.size() < kUploadChunk)
        FDataBuffer.resize(kUploadChunk);
    std::size_t want = FTransferAscii ? kUploadChunk / 2 : kUploadChunk;
    ssize_t n = ReadSome(FLocalFile, FDataBuffer.data(), want);
    if (n < 0) {
        NotifyDisplay("! Error reading file");
        CloseDataSocket();
        return;
    }
    if (n == 0) {
        FEndOfFile = true;
        if (data.SslState() == sslEstablished) {
            // close_notify and the half-close; the server's close ends the upload.
            data.SslShutdown();
            return;
        }
        CloseDataSocket();
        return;
    }
    FByteCount += n;
    const char* out = FDataBuffer.data();
    std::size_t outLen = std::size_t(n);
    if (FTransferAscii) {
        // TYPE A wants CR LF line ends on the wire.
        FConvertBuffer.resize(std::size_t(n) * 2);
        char* w = FConvertBuffer.data();
        for (ssize_t i = 0; i < n; ++i) {
            if (FDataBuffer[std::size_t(i)] == '\n')
                *w++ = '\r';
            *w++ = FDataBuffer[std::size_t(i)];
        }
        out = FConvertBuffer.data();
        outLen = std::size_t(w - out);
    }
    data.Send(out, std::int64_t(outLen));
}

void TCustomFtpCli::UploadClosed(std::uint16_t Error)
{
    CloseLocalFile();
    FUploadClosed = true;
    FCloseError = DataCloseError(Error);
    CheckTransferDone(FUploadClosed);
}

void TCustomFtpCli::FinalUploadReply()
{
    auto alive = FAlive;
    NotifyDisplay("< " + FLastReply);
    if (!*alive)
        return;
    if (FReplyCode == 226 || FReplyCode == 250) {
        FFinalReply = true;
        // The server has everything; a TLS data connection waiting for the server's close
        // after our close_notify may go now.
        if (FEndOfFile && !FUploadClosed && FDataSocket->SslState() == sslEstablished)
            CloseDataSocket();
        CheckTransferDone(FUploadClosed);
        return;
    }
    int code = FReplyCode;
    KeepErrorMessage();
    CloseLocalFile();
    CloseDataSocket();
    NotifyDisplay("! STOR Failed");
    if (!*alive)
        return;
    FRequestResult = code;
    FinishRequest(code);
}

// ---- progress and statistics ----

bool TCustomFtpCli::NotifyProgress()
{
    if (!OnProgress)
        return false;
    bool abort = false;
    auto alive = FAlive;
    OnProgress(this, FByteCount + FResumeOffset, abort);
    if (!*alive || !abort)
        return !*alive;
    NotifyDisplay("! Abort requested");
    if (!*alive)
        return true;
    CloseDataSocket();
    return true;
}

void TCustomFtpCli::ShowTransferStats()
{
    FStopTime = platform::GetTickCount64();
    std::int64_t ms = static_cast<std::int64_t>(FStopTime - FStartTime);
    std::string text = std::to_string(FByteCount) + " bytes received/sent in " + std::to_string(ms / 1000) + " seconds";
    if (ms != 0) {
        std::int64_t rate = FByteCount <= 32767 ? FByteCount * 1000 / ms : (FByteCount / ms) * 1000;
        text += " (" + std::to_string(rate) + " Bytes/sec)";
    }
    NotifyDisplay("! " + text);
}
