// TCustomFtpCli: the FTP engine (control connection, reply reader, requests, combined
// requests, data connection and transfers) with its types, events and exception.
#pragma once

#include "platform/MessageWindow.h"
#include "platform/ZeroCopy.h"
#include "socket/WSocket.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

// The engine's exception: a refusal of a request, with a fixed message.
class FtpException : public std::runtime_error {
public:
    // An exception with the given message.
    explicit FtpException(const std::string& Msg) : std::runtime_error(Msg) {}
};

// Behaviour switches of the engine.
enum TFtpOption {
    ftpAcceptLF = 0,        // a bare LF ends a reply line
    ftpNoAutoResumeAt = 1,  // REST does not take its offset from the local file size
};

// A set of TFtpOption values.
class TFtpOptions {
public:
    TFtpOptions() = default;
    TFtpOptions(std::initializer_list<TFtpOption> options)
    {
        for (TFtpOption o : options)
            Include(o);
    }
    // True when the option is in the set.
    bool Contains(TFtpOption option) const { return (FBits >> unsigned(option)) & 1u; }
    // Adds the option.
    void Include(TFtpOption option) { FBits |= 1u << unsigned(option); }
    // Removes the option.
    void Exclude(TFtpOption option) { FBits &= ~(1u << unsigned(option)); }
    bool operator==(const TFtpOptions&) const = default;

private:
    std::uint32_t FBits = 0;
};

// Sharing mode of the local file of a transfer (kept as a value; no locks on this system).
// The underlying type is fixed so that any int converts to it without undefined
// behaviour: the setter refuses unknown values itself.
enum TFtpShareMode : int {
    ftpShareCompat,
    ftpShareExclusive,
    ftpShareDenyWrite,
    ftpShareDenyRead,
    ftpShareDenyNone,
};

// How the engine reaches its server (fixed underlying type, as above).
enum TFtpConnectionType : int {
    ftpDirect,
    ftpProxy,
    ftpSocks4,
    ftpSocks4A,
    ftpSocks5,
};

// How a session is protected (FTP over TLS, RFC 4217). Plain is the engine's default.
enum TFtpTlsMode : int {
    ftpTlsPlainOnly = 0,            // no TLS: every command and file in clear text
    ftpTlsExplicitIfAvailable = 1,  // AUTH TLS; plain only when the server refuses it with 5xx
    ftpTlsRequireExplicit = 2,      // AUTH TLS or no session
    ftpTlsRequireImplicit = 3,      // TLS from the first byte (port 990 unless another is set)
};

// The request kinds reported with every completion; the numbers are fixed (19 and 20 unused).
enum TFtpRequest {
    rqNone = 0,
    rqOpen = 1,
    rqUser = 2,
    rqPass = 3,
    rqCwd = 4,
    rqConnect = 5,
    rqOneShotGet = 6,
    rqListDir = 7,
    rqListNames = 8,
    rqPort = 9,
    rqGet = 10,
    rqOneShotListDir = 11,
    rqOneShotListNames = 12,
    rqOneShotSyst = 13,
    rqSyst = 14,
    rqQuit = 15,
    rqSize = 16,
    rqPut = 17,
    rqAppend = 18,
    rqMkd = 21,
    rqRmd = 22,
    rqOneShotRename = 23,
    rqDele = 24,
    rqRename = 25,
    rqRnto = 26,
    rqRnfr = 27,
    rqOneShotDele = 28,
    rqOneShotMkd = 29,
    rqOneShotRmd = 30,
    rqPwd = 31,
    rqQuote = 32,
    rqCdup = 33,
    rqOneShotQuote = 34,
    rqOneShotPut = 35,
    rqType = 36,
    rqRest = 37,
    rqResumeGet = 38,
    rqOneShotResumeGet = 39,
    rqResumePut = 40,
    rqOneShotResumePut = 41,
};

// The engine state, in this order.
enum TFtpClientState {
    fcsNotConnected,
    fcsReady,
    fcsStepReady,
    fcsDnsLookup,
    fcsConnected,
    fcsAborting,
    fcsConnecting,
    fcsWaitingReply,
};

// How the data of a transfer travelled between the data connection and the local file.
enum TFtpDataPath {
    ftpPathCopying,     // through the engine's buffer (text mode, listings, or switched off)
    ftpPathZeroCopy,    // splice() into the file, or sendfile() from it
    ftpPathFellBack,    // started zero-copy, refused by the system, finished copying
};

// The steps a combined request chains, in the order they run.
enum TFtpStep {
    ftpStepNone = -1,
    ftpStepOpen = 0,
    ftpStepUser,
    ftpStepPass,
    ftpStepFeat,       // FEAT after login, when FeatAfterLogin is set
    ftpStepOptsUtf8,   // OPTS UTF8 ON, when FEAT offered UTF8
    ftpStepOptsMlst,   // OPTS MLST with the facts listings use, when some are offered but off
    ftpStepCwd,
    ftpStepCdup,
    ftpStepSendType,
    ftpStepDataPort,
    ftpStepRest,
    ftpStepRetr,
    ftpStepStor,
    ftpStepAppe,
    ftpStepList,
    ftpStepNlst,
    ftpStepSyst,
    ftpStepMkd,
    ftpStepRmd,
    ftpStepRnfr,
    ftpStepRnto,
    ftpStepSize,
    ftpStepDele,
    ftpStepPwd,
    ftpStepQuote,
    ftpStepQuit,
    ftpStepCount,
};

class TCustomFtpCli;

// Events of the engine (the socket layer's TNotifyEvent has a socket sender, hence TFtpNotify).
using TFtpDisplay = std::function<void(TCustomFtpCli* Sender, std::string& Msg)>;
using TFtpCommand = std::function<void(TCustomFtpCli* Sender, std::string& Cmd)>;
using TFtpNotify = std::function<void(TCustomFtpCli* Sender)>;
using TFtpProgress = std::function<void(TCustomFtpCli* Sender, std::int64_t Count, bool& Abort)>;
using TFtpSessionEvent = std::function<void(TCustomFtpCli* Sender, std::uint16_t Error)>;
using TFtpRequestDone = std::function<void(TCustomFtpCli* Sender, TFtpRequest RqType, std::uint16_t Error)>;
using TFtpReadyToTransmit = std::function<void(TCustomFtpCli* Sender, bool& bCancel)>;
// A server certificate failed verification: Accept (false on entry) lets the session go on.
using TFtpCertificateCheck = std::function<void(TCustomFtpCli* Sender, const TSslCertificateInfo& Info, bool& Accept)>;
using TFtpBgExceptionEvent = std::function<void(TCustomFtpCli* Sender, const std::exception& E, bool& CanClose)>;

// Private messages of the engine's hidden window.
constexpr std::uint32_t WM_FTP_REQUEST_DONE = platform::WM_USER + 1;
constexpr std::uint32_t WM_FTP_SENDDATA = platform::WM_USER + 2;
constexpr std::uint32_t WM_FTP_TLS_CHECK = platform::WM_USER + 3;
constexpr std::uint32_t WM_FTP_PREFETCHED = platform::WM_USER + 4;

// Size of the reply buffer of the control connection.
constexpr int FtpReplyBufferSize = 4096;

class TFtpCliWindow;

// What the server's FEAT answer offered (RFC 2389), kept for the session.
struct TFtpFeatures {
    bool Known = false;               // FEAT was asked and answered with 211
    std::vector<std::string> Lines;   // the feature lines, without their leading blank
    bool Mlst = false;                // MLST: listings by MLSD (RFC 3659)
    bool Utf8 = false;                // UTF8: OPTS UTF8 ON (RFC 2640)
    bool Epsv = false;                // EPSV, EPRT (RFC 2428)
    bool Size = false;
    bool Mdtm = false;
    bool Rest = false;                // REST STREAM
    std::string MlstOpts;             // "OPTS MLST ..." that turns on the facts we read, or ""

    // True when a feature line begins with Name (any case), followed by a blank or its end.
    bool Has(const std::string& Name) const;
};

// The FTP engine. Every request returns at once and ends with exactly one OnRequestDone,
// posted from the event loop; misuse raises FtpException at once. Runs on the thread that
// created it.
class TCustomFtpCli {
public:
    // Creates the engine with its two sockets and its hidden window; State is fcsReady.
    TCustomFtpCli();
    // Closes the local file; the sockets and the window go without raising events.
    virtual ~TCustomFtpCli();
    TCustomFtpCli(const TCustomFtpCli&) = delete;
    TCustomFtpCli& operator=(const TCustomFtpCli&) = delete;

    // ---- properties ----

    // Server name or dotted address.
    // The address family the server name is looked up for: wsock::AF_UNSPEC (both, the
    // system's order; default), wsock::AF_INET or wsock::AF_INET6.
    int AddressFamily() const { return FAddressFamily; }
    void SetAddressFamily(int Value) { FAddressFamily = Value; }
    const std::string& HostName() const { return FHostName; }
    void SetHostName(const std::string& Value) { FHostName = Value; }
    // Control port, service name or number ("ftp").
    const std::string& Port() const { return FPort; }
    void SetPort(const std::string& Value) { FPort = Value; }
    // Login name.
    const std::string& UserName() const { return FUserName; }
    void SetUserName(const std::string& Value) { FUserName = Value; }
    // Login password (never displayed).
    const std::string& PassWord() const { return FPassWord; }
    void SetPassWord(const std::string& Value) { FPassWord = Value; }
    // Remote directory of Cwd and of the combined requests.
    const std::string& HostDirName() const { return FHostDirName; }
    void SetHostDirName(const std::string& Value) { FHostDirName = Value; }
    // Remote file or directory of SIZE, MKD, RMD, DELE, RNFR, RETR, STOR, APPE, LIST, NLST.
    const std::string& HostFileName() const { return FHostFileName; }
    void SetHostFileName(const std::string& Value) { FHostFileName = Value; }
    // Local file of a transfer; also the raw command of Quote and the new name of Rnto.
    const std::string& LocalFileName() const { return FLocalFileName; }
    void SetLocalFileName(const std::string& Value) { FLocalFileName = Value; }
    // A download goes line by line to OnDisplayFile instead of into a file.
    bool DisplayFileFlag() const { return FDisplayFileFlag; }
    void SetDisplayFileFlag(bool Value) { FDisplayFileFlag = Value; }
    // Transfer type of the next SendType: true "I", false "A".
    bool Binary() const { return FBinary; }
    void SetBinary(bool Value) { FBinary = Value; }
    // Sharing mode of the local file (stored as the file-open sharing flags).
    TFtpShareMode ShareMode() const;
    void SetShareMode(TFtpShareMode Value);
    // Reply line end and restart behaviour ([ftpAcceptLF]).
    TFtpOptions Options() const { return FOptions; }
    void SetOptions(TFtpOptions Value) { FOptions = Value; }
    // How the server is reached; refused with "FTP component connected" while connected.
    TFtpConnectionType ConnectionType() const;
    void SetConnectionType(TFtpConnectionType Value);
    // The FTP proxy of ftpProxy, reached on Port.
    const std::string& ProxyServer() const { return FProxyServer; }
    void SetProxyServer(const std::string& Value) { FProxyServer = Value; }
    // The SOCKS server, its port, user and password: written to both sockets, read from the
    // control socket (the sockets negotiate; the engine only passes the settings on).
    const std::string& SocksServer() const { return FControlSocket->SocksServer(); }
    void SetSocksServer(const std::string& Value);
    const std::string& SocksPort() const { return FControlSocket->SocksPort(); }
    void SetSocksPort(const std::string& Value);
    const std::string& SocksUserCode() const { return FControlSocket->SocksUsercode(); }
    void SetSocksUserCode(const std::string& Value);
    const std::string& SocksPassword() const { return FControlSocket->SocksPassword(); }
    void SetSocksPassword(const std::string& Value);
    // PASV instead of PORT; forced true by every connection type but ftpDirect.
    bool PassiveMode() const { return FPassiveMode || FEprtFallback; }
    void SetPassiveMode(bool Value);
    // Ask FEAT after login (Connect) and use what the server offers (OPTS UTF8 ON, MLSD);
    // off by default, which keeps the classic login sequence.
    bool FeatAfterLogin() const { return FFeatAfterLogin; }
    void SetFeatAfterLogin(bool Value) { FFeatAfterLogin = Value; }
    // Passive downloads ask for the next transfer's data port as soon as the server has
    // closed this one's data connection: the answer comes right after the transfer's final
    // reply and saves a round trip per file. For callers that move many files in a row (the
    // transfer queue); off by default, which keeps the classic command sequence.
    bool PassivePrefetch() const { return FPassivePrefetch; }
    void SetPassivePrefetch(bool Value) { FPassivePrefetch = Value; }
    // Seconds a running request may go without any reply or data before it ends with a
    // timeout and the session is closed; 0 = never (the default). Transfers measure
    // silence, not length.
    int RequestTimeout() const { return FRequestTimeout; }
    void SetRequestTimeout(int Seconds);
    // Seconds an idle connected session waits before it sends NOOP, so that firewalls and
    // servers keep it; 0 = never (the default).
    int KeepAlive() const { return FKeepAlive; }
    void SetKeepAlive(int Seconds);
    // Bounds of one listing (LIST, MLSD): past this many lines or bytes the transfer is
    // stopped and what came so far is kept; ListingCut() tells. 0 = no bound.
    std::int64_t ListingMaxEntries() const { return FListingMaxEntries; }
    void SetListingMaxEntries(std::int64_t Value) { FListingMaxEntries = Value; }
    std::int64_t ListingMaxBytes() const { return FListingMaxBytes; }
    void SetListingMaxBytes(std::int64_t Value) { FListingMaxBytes = Value; }
    // True when the last listing was cut at one of the bounds.
    bool ListingCut() const { return FListingCut; }
    // The features of the current session (cleared by Open).
    const TFtpFeatures& Features() const { return FFeatures; }
    // True once the server accepted OPTS UTF8 ON in this session.
    bool Utf8On() const { return FUtf8On; }
    // Restart offset for REST and for positioning the local file (64-bit).
    std::int64_t ResumeOffset() const { return FResumeOffset; }
    void SetResumeOffset(std::int64_t Value) { FResumeOffset = Value; }

    // FTP over TLS: the mode of the next Open. Refused while connected.
    TFtpTlsMode TlsMode() const { return FTlsMode; }
    void SetTlsMode(TFtpTlsMode Value);
    // The TLS settings shared by the control and the data connections (made on first use):
    // extra trusted certificates go here.
    const std::shared_ptr<TSslContext>& SslContext();

    // ---- read-only state ----

    // True once the control connection is encrypted and its certificate accepted.
    bool TlsActive() const { return FTlsActive; }
    // True while data connections are encrypted (PROT P accepted).
    bool DataProtected() const { return FProtP; }
    // "TLS 1.3, TLS_AES_256_GCM_SHA384" while the control connection is encrypted, else "".
    std::string TlsDescription() const;
    // The control connection's certificate (valid once its handshake ended).
    const TSslCertificateInfo& TlsCertificate() const { return FTlsCertificate; }

    // The engine state.
    TFtpClientState State() const { return FState; }
    // True while the control socket is not closed.
    bool Connected() const;
    // True once the control TCP connection is up, until it closes or Abort.
    bool ControlOpen() const { return FControlOpen; }
    // The kind reported by the next OnRequestDone.
    TFtpRequest CurrentRequest() const { return FCurrentRequest; }
    // The last line received on the control connection, without line end.
    const std::string& LastReply() const { return FLastReply; }
    // The number of the last digit-led reply line, or a code set locally.
    int ReplyCode() const { return FReplyCode; }
    // The double-quoted directory of the last CWD, CDUP, PWD or MKD reply.
    const std::string& ReplyDirectory() const { return FReplyDirectory; }
    // The size of the last SIZE reply.
    std::int64_t ReplySize() const { return FReplySize; }
    // The first failing reply line of the request.
    const std::string& ErrorMessage() const { return FErrorMessage; }
    // The result code of the request (0 = success).
    int RequestResult() const { return FRequestResult; }
    // Bytes moved by the current (or last) transfer, without the offset.
    std::int64_t ByteCount() const { return FByteCount; }
    // The path the data of the last (or running) transfer took.
    TFtpDataPath DataPath() const { return FDataPath; }
    // The control and the data socket (owned by the engine).
    TWSocket* ControlSocket() const { return FControlSocket.get(); }
    TWSocket* DataSocket() const { return FDataSocket.get(); }

    // ---- events (empty ones are skipped) ----

    TFtpDisplay OnDisplay;                // "> " command, "< " reply, "! " note
    TFtpDisplay OnDisplayFile;            // each text line of a download with DisplayFileFlag
    TFtpCommand OnCommand;                // before each command is displayed and sent
    TFtpNotify OnResponse;                // each complete line received, before it is interpreted
    TFtpProgress OnProgress;              // per data chunk of a transfer
    TFtpSessionEvent OnSessionConnected;  // the greeting 220 arrived
    TFtpSessionEvent OnSessionClosed;     // the established control connection closed
    TFtpRequestDone OnRequestDone;        // once per request, from the event loop
    TFtpNotify OnStateChange;             // State took a different value
    TFtpReadyToTransmit OnReadyToTransmit;  // before an upload opens its file
    TFtpBgExceptionEvent OnBgException;   // an exception escaped a handler run by the hidden window
    TFtpCertificateCheck OnCertificateCheck;  // the server's certificate failed verification

    // ---- requests (each returns at once and ends with OnRequestDone) ----

    // Resolves HostName (or ProxyServer), connects and reads the greeting.
    virtual void Open();
    // USER; accepts 331 and 230.
    virtual void User();
    // PASS; accepts 230.
    virtual void Pass();
    // Open, User, Pass.
    virtual void Connect();
    // QUIT, then closes the control connection whatever the reply.
    virtual void Quit();
    // Ends whatever runs, closes both connections; raises nothing.
    virtual void Abort();
    // DataPort, Retr.
    virtual void Get();
    // RETR into LocalFileName.
    virtual void Retr();
    // Login, SendType, DataPort, Retr, Quit.
    virtual void OneShotGet();
    // DataPort, Stor.
    virtual void Put();
    // STOR of LocalFileName.
    virtual void Stor();
    // Login, SendType, DataPort, Stor, Quit.
    virtual void OneShotPut();
    // DataPort, Appe.
    virtual void Append();
    // APPE of LocalFileName.
    virtual void Appe();
    // Login, SendType, DataPort, Appe, Quit.
    virtual void OneShotAppend();
    // LIST into LocalFileName.
    virtual void List();
    // DataPort, List.
    virtual void ListDir();
    // NLST into LocalFileName.
    virtual void Nlst();
    // DataPort, Nlst.
    virtual void ListNames();
    // TYPE I or A after Binary.
    virtual void SendType();
    // Binary := true, then SendType.
    virtual void SendTypeBinary();
    // Binary := false, then SendType.
    virtual void SendTypeAscii();
    // PWD.
    virtual void Pwd();
    // CWD HostDirName.
    virtual void Cwd();
    // CDUP.
    virtual void Cdup();
    // Login, DataPort, List, Quit.
    virtual void OneShotListDir();
    // Login, DataPort, Nlst, Quit.
    virtual void OneShotListNames();
    // SYST.
    virtual void Syst();
    // Open, User, Pass, Syst, Quit.
    virtual void OneShotSyst();
    // SIZE HostFileName.
    virtual void Size();
    // Login, Size, Quit.
    virtual void OneShotSize();
    // MKD HostFileName.
    virtual void Mkd();
    // Login, Mkd, Quit.
    virtual void OneShotMkd();
    // RMD HostFileName.
    virtual void Rmd();
    // Login, Rmd, Quit.
    virtual void OneShotRmd();
    // DELE HostFileName.
    virtual void Dele();
    // Login, Dele, Quit.
    virtual void OneShotDele();
    // RNFR HostFileName.
    virtual void Rnfr();
    // RNTO LocalFileName.
    virtual void Rnto();
    // Rnfr, Rnto.
    virtual void Rename();
    // Login, Rnfr, Rnto, Quit.
    virtual void OneShotRename();
    // LocalFileName sent unchanged; codes below 500 succeed.
    virtual void Quote();
    // Login, Quote, Quit.
    virtual void OneShotQuote();
    // REST ResumeOffset (nothing sent for an offset of 0 or less).
    virtual void Rest();
    // DataPort, Rest, Retr.
    virtual void ResumeGet();
    // Login, SendType, DataPort, Rest, Retr, Quit.
    virtual void OneShotResumeGet();
    // DataPort, Rest, Stor.
    virtual void ResumePut();
    // Login, SendType, DataPort, Rest, Stor, Quit.
    virtual void OneShotResumePut();
    // PORT or PASV.
    virtual void DataPort();
    // FEAT; the answer goes to Features(). A refusal is no failure.
    virtual void Feat();
    // OPTS UTF8 ON. A refusal is no failure.
    virtual void OptsUtf8();
    // Features().MlstOpts. A refusal is no failure.
    virtual void OptsMlst();
    // DataPort, then MLSD into LocalFileName; reported as rqListDir (a listing like ListDir's,
    // in MLSD's format).
    virtual void MlsdDir();
    // The data command of the last listing request ("LIST" or "MLSD").
    const std::string& LastListCommand() const { return FLastListCommand; }

protected:
    friend class TFtpCliWindow;
    using TReplyHandler = void (TCustomFtpCli::*)();

    // Fires OnCommand, displays "> " + Cmd (a password masked) and sends Cmd + CR LF.
    virtual void SendCommand(std::string Cmd);
    // Fires OnDisplay with Msg.
    virtual void NotifyDisplay(const std::string& Msg);
    // Fires OnReadyToTransmit; true when the handler cancelled.
    virtual bool NotifyReadyToTransmit();
    // Fires OnDisplayFile with one line.
    virtual void NotifyDisplayFile(const std::string& Msg);
    // Fires OnProgress with the bytes so far; true (after closing the data socket) when aborted.
    virtual bool NotifyProgress();
    // Displays the transfer statistics line.
    virtual void ShowTransferStats();
    // The hidden window's dispatcher.
    virtual void WndProc(platform::TMessage& Msg);
    // An exception escaped a handler run by the hidden window.
    virtual void ReportBackgroundException(const std::exception& E);

    // ---- core ----
    void SetState(TFtpClientState NewState);
    void RequireReady();
    void CheckCanCommand();
    void StartCommand(TFtpRequest Kind, TFtpStep Step, const std::string& Cmd, std::initializer_list<int> OkCodes,
                      TReplyHandler PostAction = nullptr);
    void CommandReply();
    void StrayReply();
    void DiscardData(std::uint16_t Error);
    void FinishRequest(int Error);
    void StartSequence(TFtpRequest Kind, std::initializer_list<TFtpStep> Steps);
    void SequenceStep();
    void RunStep(TFtpStep Step);
    void ExtractValues();
    // A raw "TYPE A" or "TYPE I" that succeeded sets the session's type.
    void NoteQuotedType();
    void KeepErrorMessage();
    // Raises when a command line would hold CR, LF or NUL (it would split into two commands).
    static void CheckCommandText(const std::string& Cmd);
    void SetRequestKind(TFtpRequest Kind);
    void QuitPostAction();
    // FEAT and OPTS answers: recorded, then the session goes on as if they had not been sent.
    void FeatDone();
    void OptsDone();
    void OptsMlstDone();
    // PASV answered: refused by a server that speaks only EPSV (RFC 2428), EPSV is tried.
    void PasvDone();
    // EPSV answered; refused over IPv6 (where PASV cannot work), this one transfer falls back
    // to EPRT when the server can connect back to us.
    void EpsvDone();
    // The pipelined passive command: sent once a download's data has all come, its reply
    // sorted out of the reply stream, used by the next DataPort or dropped when anything
    // else comes first.
    void SendPassivePrefetch();
    void PrefetchAfterDownload();
    bool PrefetchTakesReply(const std::string& Line, int Code, bool Final);
    void DropPassivePrefetch();
    bool TakePassivePrefetch();   // true: the DataPort waits for (or has) the pipelined reply
    void UsePrefetchedReply();
    void ResetPassivePrefetch();
    // Listens on the data socket and returns the PORT or EPRT command that names it.
    std::string ListenForData(bool Ipv6);
    void SaveReplyState();
    void RestoreReplyState();
    // The part of a received block of a listing that stays within the bounds (all of it when
    // the transfer is no listing); sets FListingCut when the bound is reached.
    std::int64_t BoundListing(const char* Data, std::int64_t Len);
    // Timeouts and keep-alive: a once-a-second timer on the hidden window.
    void UpdateTimer();
    void TimerTick();
    void RequestTimedOut();
    // Something came from or went to the server.
    void Touch() { FLastActivity = platform::GetTickCount64(); }
    // Ends the running request with Code, LastReply := Text (kept in ErrorMessage).
    void FailRequest(int Code, const std::string& Text);

    // ---- control socket events ----
    void ControlDnsLookupDone(std::uint16_t Error);
    void ControlSessionConnected(std::uint16_t Error);
    void ControlDataAvailable(std::uint16_t Error);
    void ControlSessionClosed(std::uint16_t Error);
    void HandleReplyLine(std::uint16_t Error);
    void ReplyTooLong();

    // ---- data connection and transfers ----
    void StartDownload(TFtpRequest Kind, const char* Command);
    void StartUpload(bool AppendMode);
    bool ParsePasvReply(int& PortNumber);
    // Checks, before the data command goes out, that the download's file can be written,
    // without creating or changing it.
    bool CheckDownloadFile();
    // Creates or truncates the download's file (from ResumeOffset on): the server accepted.
    bool OpenDownloadFile();
    // The server's 150 or 125 came: the file is prepared and what came before is written.
    void AcceptDownload();
    void ConnectPassiveData();
    void DataAccept(std::uint16_t Error);
    void DownloadAdopt(wsock::SOCKET Handle);
    void DownloadConnected(std::uint16_t Error);
    void SendDownloadCommand();
    // Ends a download whose local file could not be written with 550, whatever the server says.
    void FailLocalWrite();
    // After a failed write: gives up the data connection so that the server answers.
    void AbandonDownloadData();
    void DownloadData(std::uint16_t Error);
    void DownloadClosed(std::uint16_t Error);
    void FirstDataReply();
    void FinalDataReply();
    void UploadAdopt(wsock::SOCKET Handle);
    void UploadConnected(std::uint16_t Error);
    void UploadClosed(std::uint16_t Error);
    void SendUploadCommand();
    void FirstUploadReply();
    void FinalUploadReply();
    void UploadPump(std::uint16_t Error);
    void CheckTransferDone(bool ClosedFlag);
    void CloseLocalFile();
    void CloseDataSocket();
    void WriteDownload(const char* Data, std::int64_t Len);
    // True when the accepted data connection comes from the control connection's peer.
    bool DataPeerAllowed(wsock::SOCKET Handle, std::string& PeerText);

    // ---- the zero-copy data path (FtpZeroCopy.cpp) ----
    // The one decision point: may this transfer use the zero-copy path (splice into the
    // file, sendfile from it)? Only when the bytes on the wire are the bytes of the file:
    // binary type, no listing cut into lines, and nothing between the socket and the wire
    // that transforms them. A layer that encrypts the data connection must answer false
    // here unless the kernel carries its encryption (kernel TLS).
    virtual bool ZeroCopyAllowed(bool Upload);
    // Chooses the path of the transfer that starts now (DataPath).
    void BeginDataPath(bool Upload);
    // One chunk of a download socket -> pipe -> file. False when the system refused the
    // path before taking any byte: the copying path handles this event and the rest.
    bool ZeroCopyDownloadData();
    // One chunk of an upload file -> socket. False when the system refused the path: the
    // file position is where the copying path goes on, in this same run.
    bool ZeroCopyUploadPump();
    // Leaves the zero-copy path for the rest of the transfer.
    void FallBackToCopying();
    // ---- FTP over TLS ----
    // The greeting arrived: false when the TLS steps take the Open request over.
    bool TlsAfterGreeting();
    void AuthTlsReply();
    void StartControlTls();
    void ControlTlsDone(std::uint16_t Error);
    void CheckControlCertificate();
    // Ends the Open request (or the session) for a TLS failure, before any login is sent.
    void FailTls(const std::string& Why);
    // The login succeeded: PBSZ 0 and PROT P follow under TLS.
    void ProtectAfterLogin();
    void PbszReply();
    void ProtReply();
    // Sets the data socket up for PROT P (or for clear data).
    void PrepareDataTls();
    // Starts the data connection's handshake once it is up and the 1xx reply came.
    void MaybeStartDataTls();
    void DataTlsDone(std::uint16_t Error);
    // The close error of a data connection, with TLS failures taken into account.
    std::uint16_t DataCloseError(std::uint16_t Error);

    // ---- fields ----
    std::int64_t FListingMaxEntries = 2000000;
    std::int64_t FListingMaxBytes = std::int64_t(1) << 30;
    std::int64_t FListingLines = 0;
    bool FListingCut = false;
    int FRequestTimeout = 0;
    int FKeepAlive = 0;
    std::uint64_t FLastActivity = 0;
    std::int64_t FTickByteCount = 0;
    bool FNoopPending = false;               // a keep-alive NOOP waits for its reply
    // The pipelined PASV/EPSV: none; sent, the transfer's final reply still to come; sent,
    // its own reply next; answered (kept in FPrefetchReply).
    enum TPrefetch { pfNone, pfBeforeFinal, pfNext, pfAnswered };
    bool FPassivePrefetch = false;
    TPrefetch FPrefetch = pfNone;
    bool FPrefetchOwnerOpen = false;   // the transfer that sent it still waits for its final reply
    bool FPrefetchWanted = false;      // a DataPort waits for the reply (pfNext)
    bool FPrefetchStale = false;       // another command went out after it: its reply is dropped
    std::string FPrefetchVerb;         // the command sent: PASV or EPSV
    std::string FPrefetchReply;
    int FPrefetchCode = 0;
    std::string FPassiveVerb;          // the passive command that last worked on this session
    bool FFeatAfterLogin = false;
    TFtpFeatures FFeatures;
    bool FUtf8On = false;
    bool FCollectReply = false;              // keep the lines of a multi-line reply
    std::vector<std::string> FReplyLines;
    std::string FQuietSavedReply;            // LastReply, ReplyCode, ErrorMessage before FEAT/OPTS
    int FQuietSavedCode = 0;
    std::string FQuietSavedError;
    std::string FListVerb = "LIST";          // the data command of List
    std::string FPasvSavedError;             // ErrorMessage before PASV, for the EPSV retry
    bool FProxyResolves = false;             // SOCKS 4A/5: the proxy resolves HostName
    std::string FLastListCommand;
    std::string FHostName;
    std::string FPort = "ftp";
    std::string FUserName;
    std::string FPassWord;
    std::string FHostDirName;
    std::string FHostFileName;
    std::string FLocalFileName;
    bool FDisplayFileFlag = false;
    bool FBinary = true;
    int FShareFlags;
    TFtpOptions FOptions{ftpAcceptLF};
    TFtpConnectionType FConnectionType = ftpDirect;
    int FAddressFamily = wsock::AF_UNSPEC;
    std::string FProxyServer;
    bool FPassiveMode = false;
    bool FEprtFallback = false;   // passive, but this transfer went active: EPSV was refused over IPv6

    TFtpClientState FState = fcsReady;
    bool FControlOpen = false;
    TFtpRequest FCurrentRequest = rqNone;
    std::string FLastReply;
    int FReplyCode = 0;
    std::string FReplyDirectory;
    std::int64_t FReplySize = 0;
    std::string FErrorMessage;
    int FRequestResult = 0;
    bool FRequestDone = true;
    TReplyHandler FNext = nullptr;
    TReplyHandler FPostAction = nullptr;
    std::vector<int> FOkCodes;

    // Combined requests.
    std::uint32_t FPendingSteps = 0;
    TFtpStep FStepJustRun = ftpStepNone;
    int FCombinedResult = 0;
    bool FCombined = false;
    bool FContinuation = false;
    bool FSyncStart = false;
    std::string FSavedLastReply;
    int FSavedReplyCode = -1;
    std::string FDnsResult;

    // Reply buffer.
    char FReceiveBuffer[FtpReplyBufferSize];
    int FReceiveLen = 0;

    // Transfers.
    std::string FDataCommand;
    std::int64_t FResumeOffset = 0;
    std::int64_t FByteCount = 0;
    std::uint64_t FStartTime = 0;
    std::uint64_t FStopTime = 0;
    int FLocalFile = -1;
    std::string FPasvReply;
    std::vector<char> FDataBuffer;
    bool FFinalReply = false;
    bool FDownloadClosed = false;
    bool FLocalWriteFailed = false;   // a write to the download's file failed (disk full ...)
    bool FLocalOpenFailed = false;    // ... because it could not even be opened
    bool FDownloadAccepted = false;   // the server answered the data command with 150 or 125
    bool FReadPaused = false;         // data waits unread until the server's answer
    std::vector<char> FEarlyData;     // download bytes that came before the server's answer
    bool FUploadClosed = false;
    bool FFirstReply = false;
    bool FDataConnected = false;
    bool FEndOfFile = false;
    bool FAppendMode = false;
    int FDataStep = 0;   // what the accepted data connection is for: 0 not known yet, 1 download, 2 upload
    wsock::SOCKET FEarlyHandle = wsock::INVALID_SOCKET;   // accepted before the data step started
    std::uint16_t FCloseError = 0;
    // Line ends are converted (CR LF on the wire, LF locally) while the session's type is A.
    bool FAsciiType = true;
    bool FPendingTypeAscii = false;
    bool FTransferAscii = false;
    bool FPendingCR = false;
    std::vector<char> FConvertBuffer;
    // Zero-copy path: the transfer uses it (FZeroCopy), the path taken, the pipe of spliced
    // downloads (kept for the engine's life) and the file offset of sendfile uploads.
    bool FZeroCopy = false;
    TFtpDataPath FDataPath = ftpPathCopying;
    bool FKernelTlsNote = false;    // this transfer logs why it copies (first of the session)
    bool FKernelTlsNoted = false;
    platform::TSplicePipe FSplicePipe;
    std::int64_t FSendOffset = -1;

    // FTP over TLS.
    TFtpTlsMode FTlsMode = ftpTlsPlainOnly;
    std::shared_ptr<TSslContext> FSslContext;
    bool FTlsActive = false;
    bool FProtP = false;
    bool FTlsHandshaking = false;    // the control handshake or its certificate decision runs
    bool FGreetingHeld = false;      // an implicit session's greeting waits for the decision
    bool FDataTlsStarted = false;
    std::uint16_t FDataTlsError = 0;
    std::string FHeldReply;          // the reply the TLS steps must not replace
    int FHeldReplyCode = 0;
    TSslCertificateInfo FTlsCertificate;

    std::unique_ptr<TWSocket> FControlSocket;
    std::unique_ptr<TWSocket> FDataSocket;
    std::unique_ptr<TFtpCliWindow> FWindow;
    // False once the engine is destroyed, so that no frame touches it after a handler deleted it.
    std::shared_ptr<bool> FAlive = std::make_shared<bool>(true);
};

// The hidden window of an engine: hands its messages to the engine's dispatcher.
class TFtpCliWindow : public platform::MessageWindow {
public:
    // A window that hands its messages to Owner.
    explicit TFtpCliWindow(TCustomFtpCli* Owner) : FOwner(Owner) {}
    TCustomFtpCli* FOwner;

protected:
    void WndProc(platform::TMessage& Msg) override
    {
        if (FOwner)
            FOwner->WndProc(Msg);
    }
};

// The display name of a state ("fcsReady" ...), for logs and tests.
const char* FtpStateName(TFtpClientState State);
