// Parsing of the oftp command line.
#include "cli/OftpOptions.h"

const char* OftpUsage()
{
    return "usage: oftp [options] HOST ls [DIR]\n"
           "       oftp [options] HOST nlst [DIR]\n"
           "       oftp [options] HOST get REMOTE LOCAL\n"
           "       oftp [options] HOST put LOCAL REMOTE\n"
           "       oftp [options] HOST quote LINE\n"
           "options: --port P  --user U  --password P  --passive | --active  --binary | --ascii\n"
           "         --resume  --dir D  --socks4 H:P | --socks4a H:P | --socks5 H:P\n"
           "         --socks-user U  --socks-password P  --ftp-proxy HOST  -v\n";
}

std::string ParseOftpOptions(const std::vector<std::string>& Argv, TOftpOptions& Out)
{
    std::vector<std::string> positional;
    for (std::size_t i = 0; i < Argv.size(); ++i) {
        const std::string& a = Argv[i];
        auto value = [&](std::string& target) -> bool {
            if (i + 1 >= Argv.size())
                return false;
            target = Argv[++i];
            return true;
        };
        if (a == "--") {
            // Everything after "--" is HOST, the command or its arguments, dashes or not.
            positional.insert(positional.end(), Argv.begin() + std::ptrdiff_t(i) + 1, Argv.end());
            break;
        }
        if (a == "--port") {
            if (!value(Out.Port) || Out.Port.empty())
                return "--port needs a value";
        } else if (a == "--user") {
            if (!value(Out.User))
                return "--user needs a value";
        } else if (a == "--password") {
            if (!value(Out.Password))
                return "--password needs a value";
        } else if (a == "--passive") {
            Out.Passive = true;
        } else if (a == "--active") {
            Out.Passive = false;
        } else if (a == "--binary") {
            Out.Binary = true;
        } else if (a == "--ascii") {
            Out.Binary = false;
        } else if (a == "--resume") {
            Out.Resume = true;
        } else if (a == "--dir") {
            if (!value(Out.Dir) || Out.Dir.empty())
                return "--dir needs a value";
        } else if (a == "--socks4" || a == "--socks4a" || a == "--socks5") {
            Out.SocksKind = a == "--socks4" ? "4" : a == "--socks4a" ? "4A" : "5";
            if (!value(Out.SocksServer) || Out.SocksServer.find(':') == std::string::npos)
                return a + " needs HOST:PORT";
        } else if (a == "--socks-user") {
            if (!value(Out.SocksUser))
                return "--socks-user needs a value";
        } else if (a == "--socks-password") {
            if (!value(Out.SocksPassword))
                return "--socks-password needs a value";
        } else if (a == "--ftp-proxy") {
            if (!value(Out.FtpProxy) || Out.FtpProxy.empty())
                return "--ftp-proxy needs a value";
        } else if (a == "-v") {
            Out.Verbose = true;
        } else if (a.size() > 1 && a[0] == '-') {
            return "unknown option " + a;
        } else {
            positional.push_back(a);
        }
    }
    if (positional.size() < 2)
        return "HOST and a command are needed";
    Out.Host = positional[0];
    Out.Command = positional[1];
    Out.Args.assign(positional.begin() + 2, positional.end());
    std::size_t n = Out.Args.size();
    if (Out.Command == "ls" || Out.Command == "nlst") {
        if (n > 1)
            return Out.Command + " takes at most one directory";
    } else if (Out.Command == "get" || Out.Command == "put") {
        if (n != 2)
            return Out.Command + " needs two file names";
    } else if (Out.Command == "quote") {
        if (n != 1 || Out.Args[0].empty())
            return "quote needs one command line";
    } else {
        return "unknown command " + Out.Command;
    }
    if (!Out.SocksKind.empty() && !Out.FtpProxy.empty())
        return "--ftp-proxy and a SOCKS server exclude each other";
    return "";
}
