// Pipelined passive command for downloads in a row. The server answers commands in the
// order they came, so a PASV sent once a download's data has all come is answered right
// after that transfer's final reply: the next transfer finds its data port already known
// instead of spending a round trip to ask for it.
#include "ftp/CustomFtpCli.h"

void TCustomFtpCli::SendPassivePrefetch()
{
    if (!FPassivePrefetch || !FPassiveMode || FPrefetch != pfNone || FPassiveVerb.empty()
        || FControlSocket->State() != wsConnected)
        return;
    auto alive = FAlive;
    std::string verb = FPassiveVerb;
    SendCommand(verb);
    if (!*alive)
        return;
    FPrefetch = pfBeforeFinal;
    FPrefetchOwnerOpen = true;
    FPrefetchWanted = false;
    FPrefetchStale = false;
    FPrefetchVerb = verb;
}

void TCustomFtpCli::PrefetchAfterDownload()
{
    // Only once the server has closed the data connection of a clean download: a server
    // that reads commands while it sends (some do) would otherwise take PASV as the end of
    // the running transfer. Uploads never pipeline, since their end is ours, not the server's.
    if (FCloseError == 0 && !FLocalWriteFailed && FDownloadAccepted && FState == fcsWaitingReply)
        SendPassivePrefetch();
}

bool TCustomFtpCli::PrefetchTakesReply(const std::string& Line, int Code, bool Final)
{
    switch (FPrefetch) {
    case pfBeforeFinal:
        if (!Final || Code < 200)
            return false;   // the running transfer's own lines
        if (Code == 227 || Code == 229) {
            // A server that answers while the transfer runs: the reply is ours, the
            // transfer's final reply is still to come.
            FPrefetchReply = Line;
            FPrefetchCode = Code;
            FPrefetch = pfAnswered;
            return true;
        }
        FPrefetch = pfNext;
        if (!FPrefetchOwnerOpen) {
            // The transfer ended without waiting for its verdict (a local failure): the
            // verdict only goes to the log.
            NotifyDisplay("< " + Line);
            return true;
        }
        return false;
    case pfNext:
        if (!Final) {
            NotifyDisplay("< " + Line);
            return true;
        }
        if (FPrefetchWanted && !FPrefetchStale) {
            FPrefetch = pfNone;
            FPrefetchWanted = false;
            if (Code == (FPrefetchVerb == "EPSV" ? 229 : 227))
                return false;   // the DataPort waiting for it takes it as its own answer
            // Refused: the port is asked for again the ordinary way, the DataPort waits on.
            NotifyDisplay("< " + Line);
            SendCommand(FPrefetchVerb);
            return true;
        }
        if (FPrefetchStale) {
            FPrefetch = pfNone;
            FPrefetchStale = false;
            NotifyDisplay("< " + Line);
            return true;
        }
        FPrefetchReply = Line;
        FPrefetchCode = Code;
        FPrefetch = pfAnswered;
        return true;
    default:
        return false;
    }
}

void TCustomFtpCli::DropPassivePrefetch()
{
    bool answered = FPrefetch == pfAnswered;
    FPrefetch = pfNone;
    FPrefetchWanted = false;
    FPrefetchStale = false;
    if (answered)
        NotifyDisplay("< " + FPrefetchReply);   // kept out of the log until now; nobody uses it
}

bool TCustomFtpCli::TakePassivePrefetch()
{
    if (!FPassiveMode || FPrefetchStale || FPrefetchVerb != FPassiveVerb
        || (FPrefetch != pfNext && FPrefetch != pfAnswered))
        return false;
    const bool epsv = FPrefetchVerb == "EPSV";
    if (FPrefetch == pfAnswered && FPrefetchCode != (epsv ? 229 : 227)) {
        DropPassivePrefetch();   // refused: the port is asked for the ordinary way
        return false;
    }
    SetRequestKind(rqPort);
    FStepJustRun = ftpStepDataPort;
    FOkCodes.assign(1, epsv ? 229 : 227);
    if (!epsv)
        FOkCodes.insert(FOkCodes.begin(), 200);
    FRequestDone = false;
    FRequestResult = 0;
    FNext = &TCustomFtpCli::CommandReply;
    FPostAction = epsv ? &TCustomFtpCli::EpsvDone : &TCustomFtpCli::PasvDone;
    SetState(fcsWaitingReply);
    if (FPrefetch == pfNext)
        FPrefetchWanted = true;
    else
        FWindow->PostMessage(WM_FTP_PREFETCHED);   // answered as if it had just arrived
    return true;
}

void TCustomFtpCli::UsePrefetchedReply()
{
    if (FPrefetch != pfAnswered || FState != fcsWaitingReply || FStepJustRun != ftpStepDataPort
        || FNext != &TCustomFtpCli::CommandReply)
        return;
    FPrefetch = pfNone;
    FLastReply = FPrefetchReply;
    FReplyCode = FPrefetchCode;
    Touch();
    CommandReply();
}

void TCustomFtpCli::ResetPassivePrefetch()
{
    FPrefetch = pfNone;
    FPrefetchWanted = false;
    FPrefetchStale = false;
    FPrefetchOwnerOpen = false;
}
