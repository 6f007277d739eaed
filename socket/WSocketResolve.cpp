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

std::string StripAddressBrackets(const std::string& Text)
{
    std::string t = TrimStr(Text);
    if (t.size() >= 2 && t.front() == '[' && t.back() == ']')
        return t.substr(1, t.size() - 2);
    return Text;
}

bool IsIpv6Address(const std::string& Text, unsigned char* Address)
{
    std::string t = TrimStr(Text);
    if (t.size() >= 2 && t.front() == '[' && t.back() == ']')
        t = t.substr(1, t.size() - 2);
    if (t.find(':') == std::string::npos || t.size() > 45)
        return false;
    unsigned char bytes[16];
    if (wsock::inet_pton(wsock::AF_INET6, t.c_str(), bytes) != 1)
        return false;
    if (Address)
        std::memcpy(Address, bytes, 16);
    return true;
}

bool SplitHostPort(const std::string& Text, std::string& Host, std::string& Port)
{
    std::string t = TrimStr(Text);
    Port.clear();
    if (!t.empty() && t.front() == '[') {
        std::size_t close = t.find(']');
        if (close == std::string::npos)
            return false;
        Host = t.substr(1, close - 1);
        if (close + 1 == t.size())
            return true;
        if (t[close + 1] != ':' || close + 2 == t.size())
            return false;
        Port = t.substr(close + 2);
        return Port.find_first_not_of("0123456789") == std::string::npos;
    }
    std::size_t colon = t.find(':');
    if (colon != std::string::npos && t.find(':', colon + 1) == std::string::npos && colon + 1 < t.size()) {
        Host = t.substr(0, colon);
        Port = t.substr(colon + 1);
        return true;
    }
    Host = t;   // no port, or a bare IPv6 address (its colons are its own)
    return true;
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
