// Host, port and protocol resolution through the socket library's databases.
#include "socket/WSocketResolve.h"

#include "socket/SocketLibrary.h"
#include "socket/WSocketTypes.h"

#include <cstring>

std::string TrimStr(const std::string& Text)
{
    std::size_t b = 0, e = Text.size();
    while (b < e && static_cast<unsigned char>(Text[b]) <= ' ')
        ++b;
    while (e > b && static_cast<unsigned char>(Text[e - 1]) <= ' ')
        --e;
    return Text.substr(b, e - b);
}

static bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

int ParseLeadingNumber(const std::string& Text)
{
    std::size_t i = 0;
    while (i < Text.size() && Text[i] == ' ')
        ++i;
    std::int64_t value = 0;
    for (; i < Text.size() && IsDigit(Text[i]); ++i) {
        value = value * 10 + (Text[i] - '0');
        if (value > INT32_MAX)
            value = INT32_MAX;   // saturate rather than overflow
    }
    return int(value);
}

bool IsDottedAddress(const std::string& Text)
{
    std::size_t i = 0, n = Text.size();
    while (i < n && Text[i] == ' ')
        ++i;
    if (i < n && Text[i] == '.')
        return false;
    int dots = 0;
    int group = 0;
    for (; i < n; ++i) {
        char c = Text[i];
        if (IsDigit(c)) {
            group = group * 10 + (c - '0');
            if (group > 256)
                group = 256;   // anything above 255 is already too big
        } else if (c == '.') {
            ++dots;
            if (dots > 3 || group > 255 || i == n - 1 || !IsDigit(Text[i + 1]))
                return false;
            group = 0;
        } else {
            // Anything else ends the address; only spaces may follow it.
            for (std::size_t j = i + 1; j < n; ++j)
                if (Text[j] != ' ')
                    return false;
            break;
        }
    }
    return dots == 3 && group <= 255;
}

std::uint32_t WSocketResolveHost(const std::string& Text)
{
    if (Text.empty() || Text.size() > 256)
        throw ESocketException("WSocketResolveHost: '" + Text + "' Invalid Hostname.");
    std::string name = TrimStr(Text);
    if (IsDottedAddress(name)) {
        wsock::u_long addr = wsock::inet_addr(name.c_str());
        if (addr == wsock::INADDR_NONE && name != "255.255.255.255")
            throw ESocketException("WSocketResolveHost: '" + Text + "' Invalid IP address.");
        return addr;
    }
    wsock::hostent* host = wsock::gethostbyname(name.c_str());
    if (!host || !host->h_addr_list || !host->h_addr_list[0])
        throw ESocketException::CreateFmt("WSocketResolveHost: Cannot convert host address '%s', Error #%d",
                                          Text.c_str(), wsock::WSAGetLastError());
    std::uint32_t addr;
    std::memcpy(&addr, host->h_addr_list[0], 4);
    return addr;
}

int WSocketResolvePort(const std::string& PortText, const std::string& ProtoText)
{
    if (PortText.empty() || PortText.size() >= 32)
        throw ESocketException("WSocketResolvePort: Invalid Port.");
    // A number may be preceded by spaces, as ParseLeadingNumber allows.
    std::size_t first = PortText.find_first_not_of(' ');
    if (first != std::string::npos && IsDigit(PortText[first]))
        return ParseLeadingNumber(PortText);
    std::string name = TrimStr(PortText), proto = TrimStr(ProtoText);
    wsock::servent* serv = wsock::getservbyname(name.c_str(), proto.empty() ? nullptr : proto.c_str());
    if (!serv)
        throw ESocketException::CreateFmt("WSocketResolvePort: Cannot convert port '%s', Error #%d",
                                          PortText.c_str(), wsock::WSAGetLastError());
    return wsock::ntohs(static_cast<wsock::u_short>(serv->s_port));
}

int WSocketResolveProto(const std::string& Text)
{
    if (Text.empty() || Text.size() >= 32)
        throw ESocketException("WSocketResolveProto: Invalid Protocol.");
    std::string name = TrimStr(Text);
    if (!name.empty() && IsDigit(name[0]))
        return ParseLeadingNumber(name);
    wsock::protoent* proto = wsock::getprotobyname(name.c_str());
    if (!proto)
        throw ESocketException::CreateFmt("WSocketResolveProto: Cannot convert protocol '%s', Error #%d",
                                          name.c_str(), wsock::WSAGetLastError());
    return proto->p_proto;
}
