// TCustomFtpCli: what newer servers offer beyond the classic command set: FEAT (RFC 2389),
// OPTS UTF8 ON (RFC 2640) and MLSD listings (RFC 3659).
#include "ftp/CustomFtpCli.h"

#include <algorithm>
#include <cctype>

namespace {

std::string Upper(std::string Text)
{
    for (char& c : Text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return Text;
}

// RFC 3659: "MLST type*;size*;modify*;unix.mode;" lists the facts a server knows, a star
// marking those it sends. When a fact the listing reads is known but not sent, the OPTS
// command that asks for every such fact; else "".
std::string MlstOptions(const TFtpFeatures& Features)
{
    static const char* const kWanted[] = {"type", "size", "modify", "perm", "unix.mode", "unix.owner", "unix.group",
                                          "unix.uid", "unix.gid"};
    for (const std::string& line : Features.Lines) {
        if (Upper(line.substr(0, line.find(' '))) != "MLST")
            continue;
        std::size_t space = line.find(' ');
        std::string facts = space == std::string::npos ? "" : line.substr(space + 1);
        std::string wanted;
        bool missing = false;
        std::size_t p = 0;
        while (p < facts.size()) {
            std::size_t semi = facts.find(';', p);
            std::string fact = facts.substr(p, semi == std::string::npos ? std::string::npos : semi - p);
            p = semi == std::string::npos ? facts.size() : semi + 1;
            bool on = !fact.empty() && fact.back() == '*';
            if (on)
                fact.pop_back();
            std::string lower = fact;
            for (char& c : lower)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            for (const char* w : kWanted) {
                if (lower == w) {
                    wanted += fact + ";";
                    missing = missing || !on;
                }
            }
        }
        return missing ? "OPTS MLST " + wanted : "";
    }
    return "";
}

} // namespace

bool TFtpFeatures::Has(const std::string& Name) const
{
    const std::string wanted = Upper(Name);
    for (const std::string& line : Lines) {
        std::string head = Upper(line.substr(0, line.find(' ')));
        if (head == wanted)
            return true;
    }
    return false;
}

void TCustomFtpCli::SaveReplyState()
{
    FQuietSavedReply = FLastReply;
    FQuietSavedCode = FReplyCode;
    FQuietSavedError = FErrorMessage;
}

void TCustomFtpCli::RestoreReplyState()
{
    // FEAT and OPTS are questions the session can do without: whatever the server says, the
    // request goes on with the replies and the error text it had before them.
    FLastReply = FQuietSavedReply;
    FReplyCode = FQuietSavedCode;
    FErrorMessage = FQuietSavedError;
    FRequestResult = 0;
}

void TCustomFtpCli::Feat()
{
    CheckCanCommand();
    FFeatures = TFtpFeatures{};
    FReplyLines.clear();
    SaveReplyState();
    FCollectReply = true;
    StartCommand(rqQuote, ftpStepFeat, "FEAT", {211}, &TCustomFtpCli::FeatDone);
}

void TCustomFtpCli::FeatDone()
{
    FCollectReply = false;
    if (FReplyCode == 211) {
        // "211-Features:", then one feature per line with a leading blank, then "211 End".
        FFeatures.Known = true;
        for (const std::string& raw : FReplyLines) {
            if (raw.empty() || raw[0] != ' ')
                continue;
            std::size_t b = raw.find_first_not_of(' ');
            if (b == std::string::npos)
                continue;
            std::string line = raw.substr(b);
            while (!line.empty() && (line.back() == ' ' || line.back() == '\r'))
                line.pop_back();
            FFeatures.Lines.push_back(line);
        }
        FFeatures.Mlst = FFeatures.Has("MLST");
        FFeatures.Utf8 = FFeatures.Has("UTF8");
        FFeatures.Epsv = FFeatures.Has("EPSV");
        FFeatures.Size = FFeatures.Has("SIZE");
        FFeatures.Mdtm = FFeatures.Has("MDTM");
        FFeatures.Rest = FFeatures.Has("REST");
        FFeatures.MlstOpts = MlstOptions(FFeatures);
    }
    FReplyLines.clear();
    RestoreReplyState();
    FinishRequest(0);
}

void TCustomFtpCli::OptsUtf8()
{
    CheckCanCommand();
    SaveReplyState();
    StartCommand(rqQuote, ftpStepOptsUtf8, "OPTS UTF8 ON", {}, &TCustomFtpCli::OptsDone);
}

void TCustomFtpCli::OptsDone()
{
    FUtf8On = FReplyCode >= 200 && FReplyCode < 300;
    RestoreReplyState();
    FinishRequest(0);
}

void TCustomFtpCli::OptsMlst()
{
    CheckCanCommand();
    SaveReplyState();
    StartCommand(rqQuote, ftpStepOptsMlst, FFeatures.MlstOpts, {}, &TCustomFtpCli::OptsMlstDone);
}

void TCustomFtpCli::OptsMlstDone()
{
    RestoreReplyState();
    FinishRequest(0);
}

std::int64_t TCustomFtpCli::BoundListing(const char* Data, std::int64_t Len)
{
    if (FDataCommand != "LIST" && FDataCommand != "MLSD")
        return Len;
    // A hostile or broken server may send a listing without end: it is kept only up to
    // the bounds, cut after the last whole line within them.
    std::int64_t keep = Len;
    if (FListingMaxBytes > 0 && FByteCount + keep > FListingMaxBytes) {
        keep = FListingMaxBytes - FByteCount;
        FListingCut = true;
    }
    if (FListingMaxEntries > 0 && FListingLines + keep < FListingMaxEntries) {
        // This piece cannot reach the bound (it has no more lines than bytes): only counted.
        FListingLines += std::count(Data, Data + keep, '\n');
    } else if (FListingMaxEntries > 0) {
        for (std::int64_t i = 0; i < keep; ++i) {
            if (Data[i] == '\n' && ++FListingLines >= FListingMaxEntries) {
                keep = i + 1;
                FListingCut = true;
                break;
            }
        }
    }
    return keep < 0 ? 0 : keep;
}

void TCustomFtpCli::PasvDone()
{
    // 500/502: the command is unknown or not implemented (some IPv6-minded servers and
    // firewalls refuse PASV); EPSV asks for a port only, which is all we use anyway. Only a
    // server that announced EPSV is asked: an older one's refusal stays the answer.
    if (FRequestResult != 0 && (FReplyCode == 500 || FReplyCode == 502) && FFeatures.Epsv
        && FControlSocket->State() == wsConnected) {
        FErrorMessage = FPasvSavedError;
        FRequestResult = 0;
        FOkCodes = {229};
        FNext = &TCustomFtpCli::CommandReply;
        FPostAction = &TCustomFtpCli::EpsvDone;
        SendCommand("EPSV");
        return;
    }
    if (FRequestResult == 0)
        FPassiveVerb = "PASV";
    FinishRequest(FRequestResult);
}

void TCustomFtpCli::EpsvDone()
{
    if (FRequestResult != 0 && (FReplyCode == 500 || FReplyCode == 502) && FPassiveMode
        && FConnectionType == ftpDirect && FControlSocket->SocketFamily() == wsock::AF_INET6
        && FControlSocket->State() == wsConnected) {
        // PASV cannot name an IPv6 address: the only way left is to let the server connect
        // to us, for this transfer (the next one asks for EPSV again).
        auto alive = FAlive;
        NotifyDisplay("! EPSV refused: this transfer uses active mode (EPRT)");
        if (!*alive)
            return;
        std::string cmd;
        try {
            cmd = ListenForData(true);
        } catch (const std::exception&) {
            CloseDataSocket();
            FinishRequest(FRequestResult);   // the refusal stays the answer
            return;
        }
        FPassiveMode = false;
        FEprtFallback = true;
        FErrorMessage = FPasvSavedError;
        FRequestResult = 0;
        FOkCodes = {200};
        FNext = &TCustomFtpCli::CommandReply;
        FPostAction = nullptr;
        SendCommand(cmd);
        return;
    }
    if (FRequestResult == 0) {
        // "229 Entering Extended Passive Mode (|||6446|)": the delimiter is the character
        // after "(", repeated; the port sits between the third and the fourth.
        std::size_t open = FLastReply.find('(');
        int port = -1;
        if (open != std::string::npos && open + 1 < FLastReply.size()) {
            char d = FLastReply[open + 1];
            std::size_t p = open + 1;
            int seen = 0;
            while (p < FLastReply.size() && seen < 3) {
                if (FLastReply[p] == d)
                    ++seen;
                ++p;
            }
            int value = 0;
            int digits = 0;
            while (p < FLastReply.size() && std::isdigit(static_cast<unsigned char>(FLastReply[p])) && digits < 6) {
                value = value * 10 + (FLastReply[p] - '0');
                ++p;
                ++digits;
            }
            if (digits > 0 && p < FLastReply.size() && FLastReply[p] == d && value > 0 && value < 65536)
                port = value;
        }
        // The data connection goes to the control connection's peer as for PASV: the reply
        // in PASV's form carries just the port.
        FPasvReply = port > 0 ? "227 Entering Passive Mode (0,0,0,0," + std::to_string(port >> 8) + ","
                                    + std::to_string(port & 0xFF) + ")"
                              : std::string();
        if (port > 0)
            FPassiveVerb = "EPSV";
    }
    FinishRequest(FRequestResult);
}

void TCustomFtpCli::MlsdDir()
{
    FListVerb = "MLSD";
    try {
        StartSequence(rqListDir, {ftpStepDataPort, ftpStepList});
    } catch (...) {
        FListVerb = "LIST";
        throw;
    }
}
