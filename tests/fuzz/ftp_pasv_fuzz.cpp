// Fuzzes the engine's PASV reply parser with arbitrary reply lines. A reply is accepted only
// when it holds "(h1,h2,h3,h4,p1,p2)" with six numbers of 0..255 (blanks allowed around
// them) and a port that is not 0; the port must then be p1 * 256 + p2.
#include "ftp/CustomFtpCli.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void Check(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "ftp_pasv_fuzz: %s\n", what);
        std::abort();
    }
}

// Opens the parser to the fuzzer.
class PasvProbe : public TCustomFtpCli {
public:
    bool Parse(const std::string& Reply, int& Port)
    {
        FPasvReply = Reply;
        return ParsePasvReply(Port);
    }
};

// An independent reading of the reply: the six fields between the first "(" and the next
// ")"; P1 and P2 are the port bytes.
bool PortFields(const std::string& Reply, int& P1, int& P2)
{
    std::size_t open = Reply.find('(');
    if (open == std::string::npos)
        return false;
    std::size_t close = Reply.find(')', open);
    if (close == std::string::npos)
        return false;
    std::string inner = Reply.substr(open + 1, close - open - 1);
    int fields[6];
    int count = 0;
    std::size_t pos = 0;
    while (count < 6) {
        std::size_t comma = inner.find(',', pos);
        std::string field = inner.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        std::size_t b = field.find_first_not_of(' ');
        std::size_t e = field.find_last_not_of(' ');
        if (b == std::string::npos)
            return false;
        field = field.substr(b, e - b + 1);
        if (field.empty() || field.size() > 3 || field.find_first_not_of("0123456789") != std::string::npos)
            return false;
        fields[count++] = std::stoi(field);
        if (fields[count - 1] > 255)
            return false;
        if (comma == std::string::npos)
            break;
        if (count == 6)
            return false;   // a seventh field
        pos = comma + 1;
    }
    if (count != 6)
        return false;
    P1 = fields[4];
    P2 = fields[5];
    return true;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static PasvProbe* probe = new PasvProbe;   // no event loop is needed to parse
    const std::string reply(reinterpret_cast<const char*>(data), size);
    int port = -1;
    const bool ok = probe->Parse(reply, port);
    int p1 = 0;
    int p2 = 0;
    const bool expected = PortFields(reply, p1, p2) && (p1 * 256 + p2) != 0;
    if (ok != expected) {
        std::fprintf(stderr, "parser %d, oracle %d\n", int(ok), int(expected));
        Check(false, "the parser and the oracle disagree");
    }
    if (ok) {
        Check(port == p1 * 256 + p2, "wrong port");
        Check(port > 0 && port <= 65535, "port out of range");
    }
    return 0;
}
