// oftp's folder commands (get -r, put -r, rm) on the transfer queue, and the engine set-up
// that every oftp session shares.
#pragma once

#include "cli/OftpOptions.h"

class TFtpClient;

// Sets up an engine from the command line: server, port, login, proxy or SOCKS, passive
// mode and transfer type.
void ConfigureOftpEngine(TFtpClient& Ftp, const TOftpOptions& Options);

// FTP over TLS as the options ask (mode, extra CA file, the certificate decision: trusted
// in the window, or --insecure). Returns an error text, empty when all is set.
std::string ConfigureOftpTls(TFtpClient& Ftp, const TOftpOptions& Opt);

// True when the command runs on the transfer queue (folders, rm).
bool IsOftpQueueCommand(const TOftpOptions& Options);

// Runs the command on the transfer queue inside the running event loop; ends the loop with
// the exit code (0, or 1 when any item failed, each listed on stderr).
void StartOftpQueueCommand(const TOftpOptions& Options);

// Releases what StartOftpQueueCommand set up; called once the event loop has ended.
void EndOftpQueueCommand();
