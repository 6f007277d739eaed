// Parsing of the oftp command line.
#include "cli/OftpOptions.h"

#include <cstdlib>

namespace {

// The value of the environment variable Name into Target; false when it is unset or empty.
// Passwords can come this way because a command line is readable by every local user
// (ps, /proc/PID/cmdline) while a process's environment is not.
bool FromEnvironment(const std::string& Name, std::string& Target)
{
    const char* value = Name.empty() ? nullptr : std::getenv(Name.c_str());
    if (!value || !*value)
        return false;
    Target = value;
    return true;
}

} // namespace

const char* OftpUsage()
{
    return "usage: oftp [options] HOST ls [DIR]\n"
           "       oftp [options] HOST list [DIR]\n"
           "       oftp [options] HOST nlst [DIR]\n"
           "       oftp [options] HOST get REMOTE LOCAL\n"
           "       oftp [options] HOST put LOCAL REMOTE\n"
           "       oftp [options] HOST get -r REMOTE_DIR LOCAL_DIR\n"
           "       oftp [options] HOST put -r LOCAL_DIR REMOTE_DIR\n"
           "       oftp [options] HOST rm [-r] REMOTE\n"
           "       oftp [options] HOST quote LINE\n"
           "options: --port P  --user U  --password P | --password-env VAR\n"
           "         --passive | --active  --binary | --ascii  --resume  --dir D\n"
           "         --socks4 H:P | --socks4a H:P | --socks5 H:P  --socks-user U\n"
           "         --socks-password P | --socks-password-env VAR  --ftp-proxy HOST  -v\n"
           "         --parallel N (connections of a folder transfer, 1 to 10; default 1)\n"
           "         --tls | --tls-if-available | --tls-implicit  --ca-file FILE  --insecure\n"
           "         -4 | -6  --timeout S (30, 0 = never)  --keepalive S (60, 0 = never)\n"
           "A password on the command line can be read by other users of this machine;\n"
           "--password-env VAR takes it from the environment variable VAR instead.\n";
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
        } else if (a == "--password-env") {
            std::string name;
            if (!value(name) || !FromEnvironment(name, Out.Password))
                return "--password-env needs the name of a variable that holds the password";
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
        } else if (a == "--socks-password-env") {
            std::string name;
            if (!value(name) || !FromEnvironment(name, Out.SocksPassword))
                return "--socks-password-env needs the name of a variable that holds the password";
        } else if (a == "--ftp-proxy") {
            if (!value(Out.FtpProxy) || Out.FtpProxy.empty())
                return "--ftp-proxy needs a value";
        } else if (a == "-r" || a == "--recursive") {
            Out.Recursive = true;
        } else if (a == "--parallel") {
            std::string n;
            if (!value(n) || n.empty() || n.size() > 2 || n.find_first_not_of("0123456789") != std::string::npos
                || std::stoi(n) < 1 || std::stoi(n) > 10)
                return "--parallel needs a number from 1 to 10";
            Out.Parallel = std::stoi(n);
        } else if (a == "--tls" || a == "--tls-if-available" || a == "--tls-implicit") {
            std::string kind = a == "--tls" ? "explicit" : a == "--tls-implicit" ? "implicit" : "if-available";
            if (!Out.Tls.empty() && Out.Tls != kind)
                return "--tls, --tls-if-available and --tls-implicit exclude each other";
            Out.Tls = kind;
        } else if (a == "--ca-file") {
            if (!value(Out.CaFile) || Out.CaFile.empty())
                return "--ca-file needs a value";
        } else if (a == "--insecure") {
            Out.Insecure = true;
        } else if (a == "-v") {
            Out.Verbose = true;
        } else if (a == "-4" || a == "-6") {
            Out.Family = a == "-4" ? 4 : 6;
        } else if (a == "--timeout" || a == "--keepalive") {
            std::string text;
            if (!value(text) || text.empty() || text.size() > 6
                || text.find_first_not_of("0123456789") != std::string::npos)
                return a + " needs a number of seconds";
            (a == "--timeout" ? Out.Timeout : Out.KeepAlive) = std::atoi(text.c_str());
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
    if (Out.Command == "ls" || Out.Command == "nlst" || Out.Command == "list") {
        if (n > 1)
            return Out.Command + " takes at most one directory";
    } else if (Out.Command == "get" || Out.Command == "put") {
        if (n != 2)
            return Out.Command + " needs two file names";
    } else if (Out.Command == "rm") {
        if (n != 1 || Out.Args[0].empty())
            return "rm needs one remote name";
    } else if (Out.Command == "quote") {
        if (n != 1 || Out.Args[0].empty())
            return "quote needs one command line";
    } else {
        return "unknown command " + Out.Command;
    }
    if (Out.Recursive && Out.Command != "get" && Out.Command != "put" && Out.Command != "rm")
        return "-r goes with get, put and rm";
    if (!Out.SocksKind.empty() && !Out.FtpProxy.empty())
        return "--ftp-proxy and a SOCKS server exclude each other";
    return "";
}
