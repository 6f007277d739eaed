// TCustomFtpCli: construction, properties, the state machine, the reply reader, one command,
// request completion, combined requests, the control connection's events and Abort.
#include "ftp/CustomFtpCli.h"

#include <cctype>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <typeinfo>

namespace {

// The sharing flags of a file open, as the desktop file API numbers them.
constexpr int kShareCompat = 0x00;
constexpr int kShareExclusive = 0x10;
constexpr int kShareDenyWrite = 0x20;
constexpr int kShareDenyRead = 0x30;
constexpr int kShareDenyNone = 0x40;

// Reads the number at the start of Text after optional blanks and an optional sign; End is
// set to the index after its last digit. Digits beyond nine are read but do not overflow.
int LeadingNumber(const std::string& Text, std::size_t& End)
{
    std::size_t i = 0;
    while (i < Text.size() && (Text[i] == ' ' || Text[i] == '\t' || Text[i] == '\r' || Text[i] == '\n'))
        ++i;
    bool negative = false;
    if (i < Text.size() && (Text[i] == '+' || Text[i] == '-')) {
        negative = Text[i] == '-';
        ++i;
    }
    long long value = 0;
    while (i < Text.size() && std::isdigit(static_cast<unsigned char>(Text[i]))) {
        if (value < 100000000)
            value = value * 10 + (Text[i] - '0');
        ++i;
    }
    End = i;
    return static_cast<int>(negative ? -value : value);
}

// The text with every CR and LF replaced by a blank (a log line is one line).
std::string OneLine(std::string Text)
{
    for (char& c : Text)
        if (c == '\r' || c == '\n')
            c = ' ';
    return Text;
}

// The requests that move a file (their failure must not leave a restart offset behind).
bool IsTransferRequest(TFtpRequest Kind)
{
    switch (Kind) {
    case rqGet:
    case rqResumeGet:
    case rqPut:
    case rqResumePut:
    case rqAppend:
    case rqRest:
    case rqOneShotGet:
    case rqOneShotResumeGet:
    case rqOneShotPut:
    case rqOneShotResumePut:
        return true;
    default:
        return false;
    }
}

std::string WinsockErrorText(std::uint16_t Error)
{
    return SocketErrorText(Error) + " (Winsock error #" + std::to_string(Error) + ")";
}

} // namespace

const char* FtpStateName(TFtpClientState State)
{
    switch (State) {
    case fcsNotConnected:
        return "fcsNotConnected";
    case fcsReady:
        return "fcsReady";
    case fcsStepReady:
        return "fcsStepReady";
    case fcsDnsLookup:
        return "fcsDnsLookup";
    case fcsConnected:
        return "fcsConnected";
    case fcsAborting:
        return "fcsAborting";
    case fcsConnecting:
        return "fcsConnecting";
    case fcsWaitingReply:
        return "fcsWaitingReply";
    }
    return "?";
}

// ---- construction ----

TCustomFtpCli::TCustomFtpCli()
{
    FShareFlags = kShareExclusive;
    FControlSocket = std::make_unique<TWSocket>();
    FDataSocket = std::make_unique<TWSocket>();
    FControlSocket->OnSessionConnected = [this](TCustomWSocket*, std::uint16_t e) { ControlSessionConnected(e); };
    FControlSocket->OnDataAvailable = [this](TCustomWSocket*, std::uint16_t e) { ControlDataAvailable(e); };
    FControlSocket->OnSessionClosed = [this](TCustomWSocket*, std::uint16_t e) { ControlSessionClosed(e); };
    FControlSocket->OnDnsLookupDone = [this](TCustomWSocket*, std::uint16_t e) { ControlDnsLookupDone(e); };
    FControlSocket->OnAddressTry = [this](TCustomWSocket*, const std::string& a) { NotifyDisplay("! Trying " + a); };
    FWindow = std::make_unique<TFtpCliWindow>(this);
}

TCustomFtpCli::~TCustomFtpCli()
{
    *FAlive = false;
    FWindow->FOwner = nullptr;
    FWindow.reset();   // undelivered completions go with it
    CloseLocalFile();
    if (FEarlyHandle != wsock::INVALID_SOCKET)
        wsock::closesocket(FEarlyHandle);
    for (TWSocket* s : {FControlSocket.get(), FDataSocket.get()}) {
        s->OnSessionConnected = nullptr;
        s->OnDataAvailable = nullptr;
        s->OnSessionClosed = nullptr;
        s->OnDnsLookupDone = nullptr;
        s->OnAddressTry = nullptr;
        s->OnSessionAvailable = nullptr;
        s->OnDataSent = nullptr;
    }
    FDataSocket.reset();
    FControlSocket.reset();
}

// ---- properties ----

TFtpShareMode TCustomFtpCli::ShareMode() const
{
    switch (FShareFlags) {
    case kShareCompat:
        return ftpShareCompat;
    case kShareDenyWrite:
        return ftpShareDenyWrite;
    case kShareDenyRead:
        return ftpShareDenyRead;
    case kShareDenyNone:
        return ftpShareDenyNone;
    default:
        return ftpShareExclusive;
    }
}

void TCustomFtpCli::SetShareMode(TFtpShareMode Value)
{
    switch (Value) {
    case ftpShareCompat:
        FShareFlags = kShareCompat;
        break;
    case ftpShareDenyWrite:
        FShareFlags = kShareDenyWrite;
        break;
    case ftpShareDenyRead:
        FShareFlags = kShareDenyRead;
        break;
    case ftpShareDenyNone:
        FShareFlags = kShareDenyNone;
        break;
    default:
        FShareFlags = kShareExclusive;
        break;
    }
}

TFtpConnectionType TCustomFtpCli::ConnectionType() const
{
    switch (FConnectionType) {
    case ftpDirect:
    case ftpProxy:
    case ftpSocks4:
    case ftpSocks4A:
    case ftpSocks5:
        return FConnectionType;
    }
    return ftpDirect;
}

void TCustomFtpCli::SetConnectionType(TFtpConnectionType Value)
{
    if (FControlOpen)
        throw FtpException("FTP component connected");
    TSocksAuthentication auth = socksNoAuthentication;
    switch (Value) {
    case ftpSocks4:
    case ftpSocks4A:
    case ftpSocks5:
        for (TWSocket* s : {FControlSocket.get(), FDataSocket.get()})
            s->SetSocksLevel(Value == ftpSocks4 ? "4" : Value == ftpSocks4A ? "4A" : "5");
        auth = socksAuthenticateUsercode;
        [[fallthrough]];
    case ftpProxy:
        // Behind a proxy or a SOCKS server the server cannot connect back to us.
        FConnectionType = Value;
        FPassiveMode = true;
        FEprtFallback = false;
        break;
    default:
        FConnectionType = ftpDirect;
        break;
    }
    for (TWSocket* s : {FControlSocket.get(), FDataSocket.get()})
        s->SetSocksAuthentication(auth);
}

void TCustomFtpCli::SetSocksServer(const std::string& Value)
{
    FControlSocket->SetSocksServer(Value);
    FDataSocket->SetSocksServer(Value);
}

void TCustomFtpCli::SetSocksPort(const std::string& Value)
{
    FControlSocket->SetSocksPort(Value);
    FDataSocket->SetSocksPort(Value);
}

void TCustomFtpCli::SetSocksUserCode(const std::string& Value)
{
    FControlSocket->SetSocksUsercode(Value);
    FDataSocket->SetSocksUsercode(Value);
}

void TCustomFtpCli::SetSocksPassword(const std::string& Value)
{
    FControlSocket->SetSocksPassword(Value);
    FDataSocket->SetSocksPassword(Value);
}

void TCustomFtpCli::SetPassiveMode(bool Value)
{
    FPassiveMode = ConnectionType() == ftpDirect ? Value : true;
    FEprtFallback = false;
}

bool TCustomFtpCli::Connected() const
{
    return FControlSocket->State() != wsClosed;
}

// ---- the state machine ----

void TCustomFtpCli::SetState(TFtpClientState NewState)
{
    if (NewState == FState)
        return;
    FState = NewState;
    if (OnStateChange)
        OnStateChange(this);
}

void TCustomFtpCli::RequireReady()
{
    if (FState != fcsReady && FState != fcsStepReady)
        throw FtpException("FTP component not ready");
}

void TCustomFtpCli::SetRequestKind(TFtpRequest Kind)
{
    if (!FCombined)
        FCurrentRequest = Kind;
}

void TCustomFtpCli::KeepErrorMessage()
{
    if (FErrorMessage.empty())
        FErrorMessage = FLastReply;
}

void TCustomFtpCli::CheckCommandText(const std::string& Cmd)
{
    // A name holding a line end would end the command early and send the rest as a second
    // command of the server's choosing; NUL cuts it short on many servers.
    if (Cmd.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
        throw FtpException("Command holds CR, LF or NUL");
}

void TCustomFtpCli::FailRequest(int Code, const std::string& Text)
{
    FLastReply = Text;
    FReplyCode = Code;
    FRequestResult = Code;
    KeepErrorMessage();
    FRequestDone = false;
    FinishRequest(Code);
}

// ---- display and commands ----

void TCustomFtpCli::NotifyDisplay(const std::string& Msg)
{
    if (!OnDisplay)
        return;
    std::string text = Msg;
    OnDisplay(this, text);
}

void TCustomFtpCli::NotifyDisplayFile(const std::string& Msg)
{
    if (!OnDisplayFile)
        return;
    std::string text = Msg;
    OnDisplayFile(this, text);
}

bool TCustomFtpCli::NotifyReadyToTransmit()
{
    bool cancel = false;
    if (OnReadyToTransmit)
        OnReadyToTransmit(this, cancel);
    return cancel;
}

void TCustomFtpCli::SendCommand(std::string Cmd)
{
    if (OnCommand)
        OnCommand(this, Cmd);
    // The password must never reach a log; the command itself goes out unchanged.
    bool isPass = Cmd.size() >= 5 && std::toupper(static_cast<unsigned char>(Cmd[0])) == 'P'
                  && std::toupper(static_cast<unsigned char>(Cmd[1])) == 'A'
                  && std::toupper(static_cast<unsigned char>(Cmd[2])) == 'S'
                  && std::toupper(static_cast<unsigned char>(Cmd[3])) == 'S' && Cmd[4] == ' ';
    auto alive = FAlive;
    if (Cmd.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
        // The requests refuse such names before they start; this catches the rest (an
        // OnCommand handler, a derived class): the line never goes out, the request fails.
        NotifyDisplay("! Command refused: it holds CR, LF or NUL");
        if (!*alive)
            return;
        FailRequest(500, "500 Command holds CR, LF or NUL");
        return;
    }
    // A pipelined PASV not yet used is of no use once another command has gone out.
    if (FPrefetch == pfAnswered)
        DropPassivePrefetch();
    else if (FPrefetch != pfNone)
        FPrefetchStale = true;
    NotifyDisplay(isPass ? "> PASS ******" : "> " + Cmd);
    if (!*alive)
        return;
    Touch();
    if (FControlSocket->State() == wsConnected)
        FControlSocket->SendStr(Cmd + "\r\n");
}

void TCustomFtpCli::CheckCanCommand()
{
    RequireReady();
    if (!FControlOpen)
        throw FtpException("FTP component not connected");
}

void TCustomFtpCli::StartCommand(TFtpRequest Kind, TFtpStep Step, const std::string& Cmd,
                                 std::initializer_list<int> OkCodes, TReplyHandler PostAction)
{
    CheckCanCommand();
    CheckCommandText(Cmd);
    SetRequestKind(Kind);
    FStepJustRun = Step;
    FOkCodes.clear();
    for (int code : OkCodes) {
        if (code == 0 || FOkCodes.size() >= 16)
            break;
        FOkCodes.push_back(code);
    }
    FRequestDone = false;
    FRequestResult = 0;
    FNext = &TCustomFtpCli::CommandReply;
    FPostAction = PostAction;
    SetState(fcsWaitingReply);
    SendCommand(Cmd);
}

void TCustomFtpCli::CommandReply()
{
    auto alive = FAlive;
    NotifyDisplay("< " + FLastReply);
    if (!*alive)
        return;
    if (!FOkCodes.empty()) {
        FRequestResult = FReplyCode;
        for (int code : FOkCodes) {
            if (code == FReplyCode) {
                FRequestResult = 0;
                break;
            }
        }
        if (FRequestResult != 0)
            KeepErrorMessage();
    } else if (FReplyCode < 500) {
        FRequestResult = 0;
    } else {
        FRequestResult = FReplyCode;
        KeepErrorMessage();
    }
    if (FPassiveMode && FReplyCode == 227)
        FPasvReply = FLastReply;
    if (FStepJustRun == ftpStepSendType && FRequestResult == 0)
        FAsciiType = FPendingTypeAscii;
    if (FStepJustRun == ftpStepQuote && FReplyCode >= 200 && FReplyCode < 300)
        NoteQuotedType();
    ExtractValues();
    if (FPostAction)
        (this->*FPostAction)();
    else
        FinishRequest(FRequestResult);
}

void TCustomFtpCli::NoteQuotedType()
{
    // A TYPE sent as a raw command changes the session's type as SendType does; line ends
    // converted on a binary transfer would corrupt it.
    std::size_t i = 0;
    const std::string& cmd = FLocalFileName;
    while (i < cmd.size() && cmd[i] == ' ')
        ++i;
    if (cmd.size() < i + 6)
        return;
    std::string verb;
    for (std::size_t k = i; k < i + 4; ++k)
        verb += char(std::toupper(static_cast<unsigned char>(cmd[k])));
    if (verb != "TYPE" || cmd[i + 4] != ' ')
        return;
    i += 5;
    while (i < cmd.size() && cmd[i] == ' ')
        ++i;
    if (i >= cmd.size())
        return;
    char type = char(std::toupper(static_cast<unsigned char>(cmd[i])));
    if (type == 'A')
        FAsciiType = true;
    else if (type == 'I' || type == 'L')
        FAsciiType = false;
}

void TCustomFtpCli::ExtractValues()
{
    if (FRequestResult != 0)
        return;
    switch (FStepJustRun) {
    case ftpStepSize: {
        std::size_t end = 0;
        LeadingNumber(FLastReply, end);
        std::size_t i = end;
        while (i < FLastReply.size() && (FLastReply[i] == ' ' || FLastReply[i] == '\t'))
            ++i;
        std::int64_t size = 0;
        while (i < FLastReply.size() && std::isdigit(static_cast<unsigned char>(FLastReply[i]))) {
            if (size < (INT64_MAX - 9) / 10)
                size = size * 10 + (FLastReply[i] - '0');
            ++i;
        }
        FReplySize = size;
        break;
    }
    case ftpStepCwd:
    case ftpStepMkd:
    case ftpStepPwd:
    case ftpStepCdup: {
        std::size_t end = 0;
        LeadingNumber(FLastReply, end);
        std::size_t i = end;
        while (i < FLastReply.size() && (FLastReply[i] == ' ' || FLastReply[i] == '\t'))
            ++i;
        FReplyDirectory.clear();
        if (i < FLastReply.size() && FLastReply[i] == '"') {
            // RFC 959: a double quote inside the name is written as two double quotes.
            ++i;
            while (i < FLastReply.size()) {
                if (FLastReply[i] == '"') {
                    if (i + 1 < FLastReply.size() && FLastReply[i + 1] == '"') {
                        FReplyDirectory += '"';
                        i += 2;
                        continue;
                    }
                    break;
                }
                FReplyDirectory += FLastReply[i++];
            }
        }
        break;
    }
    default:
        break;
    }
}

// ---- completion ----

void TCustomFtpCli::FinishRequest(int Error)
{
    if (FRequestDone)
        return;
    FRequestDone = true;
    if (FPrefetch == pfBeforeFinal)
        FPrefetchOwnerOpen = false;
    if (Error == 0 && FContinuation) {
        if (FState != fcsAborting)
            SetState(fcsStepReady);
        SequenceStep();
        return;
    }
    auto alive = FAlive;
    SetState(fcsReady);
    if (!*alive)
        return;
    FNext = nullptr;
    FContinuation = false;
    FPendingSteps = 0;
    FCollectReply = false;
    FListVerb = "LIST";
    if (Error != 0 && FRequestResult == 0)
        FRequestResult = Error;   // so that WaitForReady sees every failure
    if (Error != 0 && IsTransferRequest(FCurrentRequest))
        FResumeOffset = 0;   // a later plain transfer must never start from this offset
    CloseDataSocket();
    if (FCombined && FSavedReplyCode >= 0) {
        FLastReply = FSavedLastReply;
        FReplyCode = FSavedReplyCode;
    }
    FCombined = false;
    FWindow->PostMessage(WM_FTP_REQUEST_DONE, static_cast<platform::WPARAM>(static_cast<std::uint16_t>(Error)));
}

void TCustomFtpCli::WndProc(platform::TMessage& Msg)
{
    try {
        switch (Msg.Msg) {
        case WM_FTP_REQUEST_DONE:
            if (OnRequestDone)
                OnRequestDone(this, FCurrentRequest, static_cast<std::uint16_t>(Msg.WParam));
            break;
        case platform::WM_TIMER:
            TimerTick();
            break;
        case WM_FTP_SENDDATA:
            FStartTime = platform::GetTickCount64();
            UploadPump(0);
            break;
        case WM_FTP_TLS_CHECK:
            CheckControlCertificate();
            break;
        case WM_FTP_PREFETCHED:
            UsePrefetchedReply();
            break;
        default:
            break;
        }
    } catch (const std::exception& E) {
        if (OnBgException) {
            ReportBackgroundException(E);
        } else {
            // Nobody listens here: the application's handler shows it instead of losing it.
            platform::HandleException(std::current_exception());
        }
    } catch (...) {
        platform::HandleException(std::current_exception());
    }
}

void TCustomFtpCli::ReportBackgroundException(const std::exception& E)
{
    bool CanClose = true;
    try {
        if (OnBgException)
            OnBgException(this, E, CanClose);
    } catch (...) {
        // A failing background handler changes nothing.
    }
}

// ---- combined requests ----

void TCustomFtpCli::StartSequence(TFtpRequest Kind, std::initializer_list<TFtpStep> Steps)
{
    std::uint32_t set = 0;
    for (TFtpStep s : Steps)
        set |= 1u << unsigned(s);
    if (FControlOpen && (set & (1u << ftpStepOpen)))
        throw FtpException("FTP component already connected");
    RequireReady();
    FSavedLastReply = FLastReply;
    FSavedReplyCode = -1;
    FCurrentRequest = Kind;
    FRequestResult = 0;
    FPendingSteps = set;
    FStepJustRun = ftpStepNone;
    FCombinedResult = 0;
    FCombined = true;
    FLastReply.clear();
    FErrorMessage.clear();
    FSyncStart = true;
    try {
        SequenceStep();
    } catch (...) {
        // The first step was refused in the caller's call: nothing runs, the caller sees why.
        FSyncStart = false;
        FCombined = false;
        FContinuation = false;
        FPendingSteps = 0;
        FRequestDone = true;
        if (FState != fcsReady && FState != fcsStepReady && FState != fcsAborting)
            SetState(fcsReady);
        throw;
    }
    FSyncStart = false;
}

void TCustomFtpCli::SequenceStep()
{
    // Only the very first step runs inside the caller's call; its refusal goes to the caller.
    // Every later step runs inside an event, where a refusal must end the request instead.
    bool fromEvent = !FSyncStart;
    FSyncStart = false;
    if (FState == fcsAborting) {
        FPendingSteps = 0;
        FCombinedResult = 426;
        FErrorMessage = "426 Operation aborted.";
    }
    FContinuation = true;
    ExtractValues();
    for (int s = 0; s < ftpStepCount; ++s) {
        if (!(FPendingSteps & (1u << unsigned(s))))
            continue;
        FPendingSteps &= ~(1u << unsigned(s));
        auto step = static_cast<TFtpStep>(s);
        TFtpStep previous = FStepJustRun;
        if (step == ftpStepPass && previous == ftpStepUser && FReplyCode != 331)
            continue;
        if (step == ftpStepCwd && FHostDirName.empty())
            continue;
        if ((step == ftpStepFeat && !FFeatAfterLogin) || (step == ftpStepOptsUtf8 && !FFeatures.Utf8)
            || (step == ftpStepOptsMlst && FFeatures.MlstOpts.empty()))
            continue;
        if (fromEvent && step != ftpStepOpen && !FControlOpen) {
            // The control connection closed between two steps: nothing more can run.
            if (step == ftpStepQuit)
                continue;
            FContinuation = false;
            FPendingSteps = 0;
            FailRequest(421, "421 Control connection closed");
            return;
        }
        if (step == ftpStepRetr && !(previous == ftpStepRest && FResumeOffset >= 0 && FReplyCode == 350))
            FResumeOffset = 0;
        if (step == ftpStepQuit) {
            FSavedLastReply = FLastReply;
            FSavedReplyCode = FReplyCode;
        }
        FStepJustRun = step;
        if (!fromEvent) {
            RunStep(step);
            return;
        }
        auto alive = FAlive;
        try {
            RunStep(step);
        } catch (const std::exception& E) {
            if (!*alive)
                return;
            FContinuation = false;
            FPendingSteps = 0;
            FailRequest(500, "500 " + OneLine(E.what()));
        }
        return;
    }
    FContinuation = false;
    FRequestDone = false;
    FinishRequest(FCombinedResult);
}

void TCustomFtpCli::RunStep(TFtpStep Step)
{
    switch (Step) {
    case ftpStepOpen:
        Open();
        break;
    case ftpStepUser:
        User();
        break;
    case ftpStepPass:
        Pass();
        break;
    case ftpStepFeat:
        Feat();
        break;
    case ftpStepOptsUtf8:
        OptsUtf8();
        break;
    case ftpStepOptsMlst:
        OptsMlst();
        break;
    case ftpStepCwd:
        Cwd();
        break;
    case ftpStepCdup:
        Cdup();
        break;
    case ftpStepSendType:
        SendType();
        break;
    case ftpStepDataPort:
        DataPort();
        break;
    case ftpStepRest:
        Rest();
        break;
    case ftpStepRetr:
        Retr();
        break;
    case ftpStepStor:
        Stor();
        break;
    case ftpStepAppe:
        Appe();
        break;
    case ftpStepList:
        List();
        break;
    case ftpStepNlst:
        Nlst();
        break;
    case ftpStepSyst:
        Syst();
        break;
    case ftpStepMkd:
        Mkd();
        break;
    case ftpStepRmd:
        Rmd();
        break;
    case ftpStepRnfr:
        Rnfr();
        break;
    case ftpStepRnto:
        Rnto();
        break;
    case ftpStepSize:
        Size();
        break;
    case ftpStepDele:
        Dele();
        break;
    case ftpStepPwd:
        Pwd();
        break;
    case ftpStepQuote:
        Quote();
        break;
    case ftpStepQuit:
        Quit();
        break;
    default:
        break;
    }
}

// ---- opening the control connection ----

void TCustomFtpCli::Open()
{
    RequireReady();
    if (FControlOpen)
        throw FtpException("FTP component already connected");
    SetRequestKind(rqOpen);
    FStepJustRun = ftpStepOpen;
    FRequestDone = false;
    FReceiveLen = 0;
    FRequestResult = 0;
    FDnsResult.clear();
    FFeatures = TFtpFeatures{};
    FUtf8On = false;
    FNoopPending = false;
    Touch();
    FProxyResolves = false;
    if (FConnectionType == ftpSocks4 || FConnectionType == ftpSocks4A || FConnectionType == ftpSocks5) {
        // Without a user name there is no login to offer: a proxy that wants none would
        // refuse a client that offers only the user/password method.
        TSocksAuthentication auth = FControlSocket->SocksUsercode().empty() ? socksNoAuthentication
                                                                            : socksAuthenticateUsercode;
        for (TWSocket* s : {FControlSocket.get(), FDataSocket.get()})
            s->SetSocksAuthentication(auth);
    }
    // RFC 959: a session starts in TYPE A until the client sends another type, and servers
    // convert line ends in it, so its line ends are converted back until TYPE I.
    FAsciiType = true;
    // Every session negotiates its own protection.
    FTlsActive = false;
    FProtP = false;
    FKernelTlsNoted = false;
    FTlsHandshaking = false;
    FGreetingHeld = false;
    FTlsCertificate = TSslCertificateInfo{};
    FControlSocket->SetSslContext(nullptr);
    // Only a context that exists can hold a session: a new one is made at the first
    // handshake, as loading the system's certificates takes a while (many times over
    // for the queue's logins).
    if (FTlsMode != ftpTlsPlainOnly && FSslContext)
        FSslContext->ForgetSession();
    SetState(fcsDnsLookup);
    if ((FConnectionType == ftpSocks4A || FConnectionType == ftpSocks5) && !FControlSocket->SocksServer().empty()
        && !FHostName.empty()) {
        // SOCKS 4A and 5 take the name: the proxy resolves it, and may know names we do not.
        FProxyResolves = true;
        ControlDnsLookupDone(0);
        return;
    }
    try {
        FControlSocket->SetAddressFamily(FAddressFamily);
        FControlSocket->DnsLookup(FConnectionType == ftpProxy ? FProxyServer : FHostName);
    } catch (...) {
        // Refused before any lookup started (an empty name): the engine stays usable.
        if (FState == fcsDnsLookup) {
            FRequestDone = true;
            SetState(fcsReady);
        }
        throw;
    }
}

void TCustomFtpCli::ControlDnsLookupDone(std::uint16_t Error)
{
    if (Error != 0) {
        FLastReply = "500 " + WinsockErrorText(Error);
        FReplyCode = 500;
        FRequestResult = 500;
        KeepErrorMessage();
        FinishRequest(Error);
        return;
    }
    FDnsResult = FProxyResolves ? FHostName : FControlSocket->DnsResult();
    // A name with several addresses: each is tried in turn until one answers. Through a
    // SOCKS proxy the socket connects to the proxy, so only its first answer counts.
    std::vector<std::string> addrs;
    if (!FProxyResolves && (FConnectionType == ftpDirect || FConnectionType == ftpProxy)
        && FControlSocket->DnsResultList().size() > 1)
        addrs = FControlSocket->DnsResultList();
    try {
        FControlSocket->SetAddrList(addrs);
        if (!addrs.empty())
            NotifyDisplay("! Trying " + addrs.front());
        FControlSocket->SetAddr(FDnsResult);
        FControlSocket->SetProto("tcp");
        // Implicit FTP over TLS has its own well-known port (990, "ftps").
        FControlSocket->SetPort(FTlsMode == ftpTlsRequireImplicit && FPort == "ftp" ? "990" : FPort);
        SetState(fcsConnecting);
        FControlSocket->Connect();
    } catch (const std::exception& X) {
        const char* cls = dynamic_cast<const ESocketException*>(&X) ? "ESocketException"
                          : dynamic_cast<const FtpException*>(&X) ? "FtpException"
                                                                   : "Exception";
        FLastReply = "500 " + std::string(cls) + ": " + OneLine(X.what());
        FReplyCode = 500;
        FRequestResult = 500;
        KeepErrorMessage();
        // A connect refused at once leaves an opened handle behind; release it, or the
        // next Open could not even set the address.
        auto alive = FAlive;
        if (FControlSocket->State() != wsClosed) {
            try {
                FControlSocket->Close();
            } catch (...) {
            }
        }
        if (!*alive)
            return;
        FinishRequest(500);
        SetState(fcsReady);
    }
}

void TCustomFtpCli::ControlSessionConnected(std::uint16_t Error)
{
    if (Error != 0) {
        FLastReply = "500 " + WinsockErrorText(Error);
        FReplyCode = 500;
        FRequestResult = 500;
        KeepErrorMessage();
        FContinuation = false;
        auto alive = FAlive;
        FinishRequest(Error);
        if (!*alive)
            return;
        if (FControlSocket->State() != wsClosed)
            FControlSocket->Close();
        if (!*alive)
            return;
        SetState(fcsReady);
        return;
    }
    FControlOpen = true;
    if (FTlsMode == ftpTlsRequireImplicit)
        StartControlTls();   // TLS from the first byte; the greeting comes encrypted
}

// ---- the reply reader ----

void TCustomFtpCli::ControlDataAvailable(std::uint16_t Error)
{
    auto alive = FAlive;
    if (FReceiveLen >= FtpReplyBufferSize - 1) {
        ReplyTooLong();
        return;
    }
    std::int64_t n = FControlSocket->Receive(FReceiveBuffer + FReceiveLen, FtpReplyBufferSize - 1 - FReceiveLen);
    if (n == 0) {
        FControlSocket->Close();
        return;
    }
    if (n < 0)
        return;
    Touch();
    FReceiveLen += static_cast<int>(n);
    FReceiveBuffer[FReceiveLen] = '\0';

    while (FReceiveLen > 0) {
        int lineLen = -1;
        int consumed = 0;
        if (FOptions.Contains(ftpAcceptLF)) {
            const void* lf = std::memchr(FReceiveBuffer, '\n', std::size_t(FReceiveLen));
            if (lf) {
                lineLen = static_cast<int>(static_cast<const char*>(lf) - FReceiveBuffer);
                consumed = lineLen + 1;
            }
        } else {
            for (int i = 0; i + 1 < FReceiveLen; ++i) {
                if (FReceiveBuffer[i] == '\r' && FReceiveBuffer[i + 1] == '\n') {
                    lineLen = i;
                    consumed = i + 2;
                    break;
                }
            }
        }
        if (lineLen < 0)
            break;
        std::string line(FReceiveBuffer, std::size_t(lineLen));
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
            line.pop_back();
        FLastReply = line;
        // The rest moves to the front before anything runs that might read more.
        FReceiveLen -= consumed;
        std::memmove(FReceiveBuffer, FReceiveBuffer + consumed, std::size_t(FReceiveLen));
        FReceiveBuffer[FReceiveLen] = '\0';
        if (OnResponse) {
            OnResponse(this);
            if (!*alive)
                return;
        }
        HandleReplyLine(Error);
        if (!*alive)
            return;
        if (FControlSocket->State() == wsClosed) {
            FReceiveLen = 0;
            return;
        }
    }
    if (FReceiveLen >= FtpReplyBufferSize - 1)
        ReplyTooLong();
}

void TCustomFtpCli::HandleReplyLine(std::uint16_t Error)
{
    const std::string& line = FLastReply;
    bool digitLed = !line.empty() && std::isdigit(static_cast<unsigned char>(line[0]));
    std::size_t end = 0;
    int code = LeadingNumber(line, end);
    bool final = digitLed && !(end < line.size() && line[end] == '-');
    // A pipelined PASV was sent before any keep-alive NOOP, so its reply comes first.
    if (FPrefetch != pfNone && FState != fcsConnecting && PrefetchTakesReply(line, code, final))
        return;
    if (FNoopPending && FState != fcsConnecting) {
        // The answer to a keep-alive NOOP comes before the answer to anything sent after it.
        if (final)
            FNoopPending = false;
        NotifyDisplay("< " + FLastReply);
        return;
    }
    if (digitLed && (FState == fcsConnecting || FState == fcsWaitingReply))
        FReplyCode = code;

    auto alive = FAlive;
    switch (FState) {
    case fcsConnecting:
        NotifyDisplay("< " + FLastReply);
        if (!*alive || !final)
            return;
        if (FReplyCode != 220) {
            KeepErrorMessage();
            FRequestResult = FReplyCode;
            FControlSocket->Close();   // the close report ends the request with that code
            return;
        }
        SetState(fcsConnected);
        if (!*alive)
            return;
        if (OnSessionConnected) {
            OnSessionConnected(this, Error);
            if (!*alive)
                return;
        }
        if (!TlsAfterGreeting())
            return;   // AUTH TLS, or the certificate decision, ends the request
        FinishRequest(0);
        break;
    case fcsWaitingReply:
        if (!final) {
            if (FCollectReply && FReplyLines.size() < 1000)
                FReplyLines.push_back(FLastReply);
            return;
        }
        if (!FNext)
            throw FtpException("Program error: FNext is nil");
        (this->*FNext)();
        break;
    default:
        NotifyDisplay("< " + FLastReply);
        break;
    }
}

void TCustomFtpCli::ReplyTooLong()
{
    // 4095 bytes without a line end is no FTP reply: end the session in an orderly way
    // rather than waiting for a line end that may never come.
    FReceiveLen = 0;
    auto alive = FAlive;
    NotifyDisplay("! Reply line too long");
    if (!*alive)
        return;
    FLastReply = "500 Reply line too long";
    FReplyCode = 500;
    if (!FRequestDone) {
        FRequestResult = 500;
        KeepErrorMessage();
    }
    if (FControlSocket->State() != wsClosed)
        FControlSocket->Close();
}

// ---- closing ----

void TCustomFtpCli::ControlSessionClosed(std::uint16_t Error)
{
    auto alive = FAlive;
    // A request still waiting for the server (its reply, its greeting) has failed when the
    // connection goes; only Abort and the close that QUIT asks for are no failure.
    bool lost = !FRequestDone && FRequestResult == 0 && FState != fcsAborting && FStepJustRun != ftpStepQuit
                && (FState == fcsWaitingReply || FState == fcsConnecting);
    FReceiveLen = 0;
    FNoopPending = false;
    ResetPassivePrefetch();
    FPassiveVerb.clear();
    if (FControlOpen) {
        FControlOpen = false;
        if (FState != fcsAborting)
            SetState(fcsNotConnected);
        if (!*alive)
            return;
        if (OnSessionClosed) {
            OnSessionClosed(this, Error);
            if (!*alive)
                return;
        }
    }
    if (FState != fcsAborting)
        SetState(fcsStepReady);
    if (!*alive)
        return;
    if (lost && !FRequestDone) {
        FLastReply = "421 Control connection closed";
        if (Error != 0)
            FLastReply += " (Winsock error #" + std::to_string(Error) + ")";
        FReplyCode = 421;
        FRequestResult = 421;
        KeepErrorMessage();
        FContinuation = false;
    }
    FinishRequest(FRequestResult);
}

void TCustomFtpCli::Abort()
{
    auto alive = FAlive;
    bool lookup = FState == fcsDnsLookup;
    SetState(fcsAborting);
    if (!*alive)
        return;
    CloseLocalFile();
    try {
        if (lookup)
            FControlSocket->CancelDnsLookup();
        if (!*alive)
            return;
        if (FControlSocket->State() != wsClosed)
            FControlSocket->Close();
        if (!*alive)
            return;
        if (FDataSocket->State() != wsClosed)
            CloseDataSocket();
        if (!*alive)
            return;
    } catch (...) {
        // Abort raises nothing.
    }
    CloseLocalFile();
    FControlOpen = false;
    ResetPassivePrefetch();
    FResumeOffset = 0;   // the aborted transfer's offset is no start for the next one
    SetState(fcsReady);
}
