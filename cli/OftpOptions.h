// The command line of oftp: options, the command and its arguments, parsed into one record.
#pragma once

#include <string>
#include <vector>

// What the command line asks for.
struct TOftpOptions {
    std::string Host;
    std::string Port = "ftp";
    std::string User = "anonymous";
    std::string Password = "oftp@example.com";
    bool Passive = true;
    bool Binary = true;
    bool Resume = false;
    std::string Dir;
    std::string SocksKind;        // "", "4", "4A" or "5"
    std::string SocksServer;      // host:port
    std::string SocksUser;
    std::string SocksPassword;
    std::string FtpProxy;
    bool Verbose = false;
    bool Recursive = false;       // -r: get, put and rm act on whole folders
    int Parallel = 1;             // --parallel N: connections of a folder transfer (1 to 10)
    std::string Tls;              // "", "explicit", "if-available" or "implicit"
    std::string CaFile;           // extra trusted certificates (PEM)
    bool Insecure = false;        // no certificate verification
    int Family = 0;               // 0 any, 4 or 6 (-4, -6)
    int Timeout = 30;             // --timeout S: seconds of silence that end a request (0 = never)
    int KeepAlive = 60;           // --keepalive S: seconds of idleness before a NOOP (0 = never)
    std::string Command;          // ls, list, nlst, get, put, rm, quote
    std::vector<std::string> Args;
};

// Parses argv (without the program name). Returns "" on success, else the reason of a
// usage error (the caller prints it with the usage text and exits with 2).
std::string ParseOftpOptions(const std::vector<std::string>& Argv, TOftpOptions& Out);

// The usage text.
const char* OftpUsage();
