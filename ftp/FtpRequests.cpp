// TCustomFtpCli: the catalogue of requests: single commands with their accepted codes, and
// the combined requests with their steps.
#include "ftp/CustomFtpCli.h"

#include <sys/stat.h>

// ---- single commands ----

void TCustomFtpCli::User()
{
    if (FUserName.empty())
        throw FtpException("UserName emtpy");
    // An FTP proxy learns the target host from the login name.
    std::string cmd = "USER " + FUserName;
    if (FConnectionType == ftpProxy)
        cmd += "@" + FHostName;
    StartCommand(rqUser, ftpStepUser, cmd, {331, 230}, FTlsActive ? &TCustomFtpCli::ProtectAfterLogin : nullptr);
}

void TCustomFtpCli::Pass()
{
    if (FPassWord.empty())
        throw FtpException("Password emtpy");
    StartCommand(rqPass, ftpStepPass, "PASS " + FPassWord, {230},
                 FTlsActive ? &TCustomFtpCli::ProtectAfterLogin : nullptr);
}

void TCustomFtpCli::Cwd()
{
    if (FHostDirName.empty())
        throw FtpException("HostDirName emtpy");
    StartCommand(rqCwd, ftpStepCwd, "CWD " + FHostDirName, {200, 250, 257});
}

void TCustomFtpCli::Cdup()
{
    StartCommand(rqCdup, ftpStepCdup, "CDUP", {250});
}

void TCustomFtpCli::Pwd()
{
    StartCommand(rqPwd, ftpStepPwd, "PWD", {250, 257});
}

void TCustomFtpCli::Syst()
{
    StartCommand(rqSyst, ftpStepSyst, "SYST", {215});
}

void TCustomFtpCli::Size()
{
    CheckCanCommand();
    FReplySize = 0;
    StartCommand(rqSize, ftpStepSize, "SIZE " + FHostFileName, {213});
}

void TCustomFtpCli::Mkd()
{
    StartCommand(rqMkd, ftpStepMkd, "MKD " + FHostFileName, {257});
}

void TCustomFtpCli::Rmd()
{
    StartCommand(rqRmd, ftpStepRmd, "RMD " + FHostFileName, {250, 257});
}

void TCustomFtpCli::Dele()
{
    StartCommand(rqDele, ftpStepDele, "DELE " + FHostFileName, {250, 257});
}

void TCustomFtpCli::Rnfr()
{
    StartCommand(rqRnfr, ftpStepRnfr, "RNFR " + FHostFileName, {350});
}

void TCustomFtpCli::Rnto()
{
    StartCommand(rqRnto, ftpStepRnto, "RNTO " + FLocalFileName, {200, 250, 257});
}

void TCustomFtpCli::Quote()
{
    StartCommand(rqQuote, ftpStepQuote, FLocalFileName, {});
}

void TCustomFtpCli::SendType()
{
    CheckCanCommand();
    FPendingTypeAscii = !FBinary;
    StartCommand(rqType, ftpStepSendType, FBinary ? "TYPE I" : "TYPE A", {200});
}

void TCustomFtpCli::SendTypeBinary()
{
    FBinary = true;
    SendType();
}

void TCustomFtpCli::SendTypeAscii()
{
    FBinary = false;
    SendType();
}

void TCustomFtpCli::Rest()
{
    CheckCanCommand();
    if (FCurrentRequest != rqResumePut && FCurrentRequest != rqOneShotResumePut
        && !FOptions.Contains(ftpNoAutoResumeAt)) {
        struct stat st {};
        FResumeOffset = ::stat(FLocalFileName.c_str(), &st) == 0 ? static_cast<std::int64_t>(st.st_size) : -1;
    }
    if (FResumeOffset <= 0) {
        // Nothing to restart from: the step succeeds without a command.
        SetRequestKind(rqRest);
        FStepJustRun = ftpStepRest;
        FRequestResult = 0;
        FRequestDone = false;
        FinishRequest(0);
        return;
    }
    StartCommand(rqRest, ftpStepRest, "REST " + std::to_string(FResumeOffset), {});
}

void TCustomFtpCli::Quit()
{
    CheckCanCommand();
    CloseLocalFile();
    StartCommand(rqQuit, ftpStepQuit, "QUIT", {221}, &TCustomFtpCli::QuitPostAction);
}

void TCustomFtpCli::QuitPostAction()
{
    // Whatever the reply, the session ends; the close report finishes the request.
    if (FControlSocket->State() != wsClosed)
        FControlSocket->Close();
    else
        FinishRequest(FRequestResult);
}

// ---- data steps ----

void TCustomFtpCli::Retr()
{
    StartDownload(rqGet, "RETR");
}

void TCustomFtpCli::List()
{
    FLastListCommand = FListVerb;
    StartDownload(rqListDir, FListVerb.c_str());
}

void TCustomFtpCli::Nlst()
{
    StartDownload(rqListNames, "NLST");
}

void TCustomFtpCli::Stor()
{
    StartUpload(false);
}

void TCustomFtpCli::Appe()
{
    StartUpload(true);
}

// ---- combined requests ----

void TCustomFtpCli::Connect()
{
    // FEAT and the OPTS run only when FeatAfterLogin is set and the server offers UTF8.
    StartSequence(rqConnect, {ftpStepOpen, ftpStepUser, ftpStepPass, ftpStepFeat, ftpStepOptsUtf8, ftpStepOptsMlst});
}

void TCustomFtpCli::Get()
{
    StartSequence(rqGet, {ftpStepDataPort, ftpStepRetr});
}

void TCustomFtpCli::ResumeGet()
{
    StartSequence(rqResumeGet, {ftpStepDataPort, ftpStepRest, ftpStepRetr});
}

void TCustomFtpCli::Put()
{
    StartSequence(rqPut, {ftpStepDataPort, ftpStepStor});
}

void TCustomFtpCli::ResumePut()
{
    StartSequence(rqResumePut, {ftpStepDataPort, ftpStepRest, ftpStepStor});
}

void TCustomFtpCli::Append()
{
    StartSequence(rqAppend, {ftpStepDataPort, ftpStepAppe});
}

void TCustomFtpCli::ListDir()
{
    StartSequence(rqListDir, {ftpStepDataPort, ftpStepList});
}

void TCustomFtpCli::ListNames()
{
    StartSequence(rqListNames, {ftpStepDataPort, ftpStepNlst});
}

void TCustomFtpCli::Rename()
{
    StartSequence(rqRename, {ftpStepRnfr, ftpStepRnto});
}

void TCustomFtpCli::OneShotGet()
{
    StartSequence(rqOneShotGet, {ftpStepOpen, ftpStepUser, ftpStepPass, ftpStepCwd, ftpStepSendType,
                                 ftpStepDataPort, ftpStepRetr, ftpStepQuit});
}

void TCustomFtpCli::OneShotResumeGet()
{
    StartSequence(rqOneShotResumeGet, {ftpStepOpen, ftpStepUser, ftpStepPass, ftpStepCwd, ftpStepSendType,
                                       ftpStepDataPort, ftpStepRest, ftpStepRetr, ftpStepQuit});
}

void TCustomFtpCli::OneShotPut()
{
    StartSequence(rqOneShotPut, {ftpStepOpen, ftpStepUser, ftpStepPass, ftpStepCwd, ftpStepSendType,
                                 ftpStepDataPort, ftpStepStor, ftpStepQuit});
}

void TCustomFtpCli::OneShotResumePut()
{
    StartSequence(rqOneShotResumePut, {ftpStepOpen, ftpStepUser, ftpStepPass, ftpStepCwd, ftpStepSendType,
                                       ftpStepDataPort, ftpStepRest, ftpStepStor, ftpStepQuit});
}

void TCustomFtpCli::OneShotAppend()
{
    StartSequence(rqOneShotPut, {ftpStepOpen, ftpStepUser, ftpStepPass, ftpStepCwd, ftpStepSendType,
                                 ftpStepDataPort, ftpStepAppe, ftpStepQuit});
}

void TCustomFtpCli::OneShotListDir()
{
    StartSequence(rqOneShotListDir,
                  {ftpStepOpen, ftpStepUser, ftpStepPass, ftpStepCwd, ftpStepDataPort, ftpStepList, ftpStepQuit});
}

void TCustomFtpCli::OneShotListNames()
{
    StartSequence(rqOneShotListNames,
                  {ftpStepOpen, ftpStepUser, ftpStepPass, ftpStepCwd, ftpStepDataPort, ftpStepNlst, ftpStepQuit});
}

void TCustomFtpCli::OneShotSyst()
{
    StartSequence(rqOneShotSyst, {ftpStepOpen, ftpStepUser, ftpStepPass, ftpStepSyst, ftpStepQuit});
}

void TCustomFtpCli::OneShotSize()
{
    StartSequence(rqSize, {ftpStepOpen, ftpStepUser, ftpStepPass, ftpStepCwd, ftpStepSize, ftpStepQuit});
}

void TCustomFtpCli::OneShotMkd()
{
    StartSequence(rqOneShotMkd, {ftpStepOpen, ftpStepUser, ftpStepPass, ftpStepCwd, ftpStepMkd, ftpStepQuit});
}

void TCustomFtpCli::OneShotRmd()
{
    StartSequence(rqOneShotRmd, {ftpStepOpen, ftpStepUser, ftpStepPass, ftpStepCwd, ftpStepRmd, ftpStepQuit});
}

void TCustomFtpCli::OneShotDele()
{
    StartSequence(rqOneShotDele, {ftpStepOpen, ftpStepUser, ftpStepPass, ftpStepCwd, ftpStepDele, ftpStepQuit});
}

void TCustomFtpCli::OneShotRename()
{
    StartSequence(rqOneShotRename,
                  {ftpStepOpen, ftpStepUser, ftpStepPass, ftpStepCwd, ftpStepRnfr, ftpStepRnto, ftpStepQuit});
}

void TCustomFtpCli::OneShotQuote()
{
    StartSequence(rqOneShotQuote, {ftpStepOpen, ftpStepUser, ftpStepPass, ftpStepCwd, ftpStepQuote, ftpStepQuit});
}
