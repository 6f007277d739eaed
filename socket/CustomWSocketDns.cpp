// TCustomWSocket: asynchronous name lookups (forward and reverse) and their completion.
#include "socket/CustomWSocket.h"

#include <cstring>

void TCustomWSocket::DnsLookup(const std::string& HostName)
{
    if (HostName.empty()) {
        SignalError("DNS lookup: invalid host name.");
        DoDnsLookupDone(wsock::WSAEINVAL);
        return;
    }
    if (FDnsLookupHandle != 0) {
        wsock::WSACancelAsyncRequest(FDnsLookupHandle);   // replaced without an event
        FDnsLookupHandle = 0;
    }
    FDnsResult.clear();
    FDnsResultList.clear();

    wsock::in_addr addr{wsock::inet_addr(HostName.c_str())};
    if (addr.s_addr != wsock::INADDR_NONE) {
        if (FAddressFamily == wsock::AF_INET6) {
            DoDnsLookupDone(wsock::WSANO_DATA);   // an IPv4 address where only IPv6 is wanted
            return;
        }
        // A dotted address needs no resolver: answered at once, inside the call.
        FDnsResult = wsock::inet_ntoa(addr);
        DoDnsLookupDone(0);
        return;
    }
    unsigned char v6[16];
    if (IsIpv6Address(HostName, v6)) {
        if (FAddressFamily == wsock::AF_INET) {
            DoDnsLookupDone(wsock::WSANO_DATA);
            return;
        }
        char text[64];
        FDnsResult = wsock::inet_ntop(wsock::AF_INET6, v6, text, sizeof text) ? text : StripAddressBrackets(HostName);
        DoDnsLookupDone(0);
        return;
    }
    // Both families, in the order the system prefers; the caller may try them all.
    FDnsAddrInfo = true;
    FDnsLookupHandle = wsock::WSAAsyncGetAddrInfo(WindowHandle(), WM_HOST_BY_NAME, HostName.c_str(), FAddressFamily,
                                                  FDnsLookupBuffer, sizeof FDnsLookupBuffer);
    if (FDnsLookupHandle == 0)
        SignalErrorFmt("%s: can't start DNS lookup, error #%d", HostName.c_str(), wsock::WSAGetLastError());
}

void TCustomWSocket::ReverseDnsLookup(const std::string& HostAddr)
{
    if (HostAddr.empty()) {
        SignalError("DNS lookup: invalid host name.");
        DoDnsLookupDone(wsock::WSAEINVAL);
        return;
    }
    if (FDnsLookupHandle != 0) {
        wsock::WSACancelAsyncRequest(FDnsLookupHandle);
        FDnsLookupHandle = 0;
    }
    FDnsResult.clear();
    FDnsResultList.clear();
    FDnsAddrInfo = false;

    unsigned char v6[16];
    if (IsIpv6Address(HostAddr, v6)) {
        // As typed, with or without brackets.
        FDnsLookupHandle = wsock::WSAAsyncGetHostByAddr(WindowHandle(), WM_HOST_BY_ADDR, reinterpret_cast<const char*>(v6),
                                                        16, wsock::AF_INET6, FDnsLookupBuffer, sizeof FDnsLookupBuffer);
    } else {
        wsock::u_long addr = wsock::inet_addr(HostAddr.c_str());
        FDnsLookupHandle =
            wsock::WSAAsyncGetHostByAddr(WindowHandle(), WM_HOST_BY_ADDR, reinterpret_cast<const char*>(&addr), 4,
                                         wsock::AF_INET, FDnsLookupBuffer, sizeof FDnsLookupBuffer);
    }
    if (FDnsLookupHandle == 0)
        SignalErrorFmt("%s: can't start DNS lookup, error #%d", HostAddr.c_str(), wsock::WSAGetLastError());
}

void TCustomWSocket::CancelDnsLookup()
{
    if (FDnsLookupHandle == 0)
        return;
    int r = wsock::WSACancelAsyncRequest(FDnsLookupHandle);
    FDnsLookupHandle = 0;
    if (r != 0) {
        ReportSocketError("WSACancelAsyncRequest");
        return;
    }
    if (!FDestroying)
        DoDnsLookupDone(wsock::WSAEINTR);
}

void TCustomWSocket::HandleLookupDone(const platform::TMessage& Msg, bool Reverse)
{
    if (FDnsLookupHandle == 0 || Msg.WParam != FDnsLookupHandle)
        return;   // a request that was cancelled or replaced
    FDnsLookupHandle = 0;
    auto Error = static_cast<std::uint16_t>(wsock::WSAGETASYNCERROR(Msg.LParam));
    if (Error == 0) {
        const auto* host = reinterpret_cast<const wsock::hostent*>(FDnsLookupBuffer);
        if (Reverse) {
            FDnsResult = host->h_name ? host->h_name : "";
            FDnsResultList.push_back(FDnsResult);
        } else if (FDnsAddrInfo) {
            const char* end = FDnsLookupBuffer + sizeof FDnsLookupBuffer;
            for (const char* p = FDnsLookupBuffer; p < end && *p;) {
                std::size_t n = strnlen(p, std::size_t(end - p));
                FDnsResultList.emplace_back(p, n);
                p += n + 1;
            }
            if (!FDnsResultList.empty())
                FDnsResult = FDnsResultList.front();
        } else {
            for (char** p = host->h_addr_list; p && *p; ++p) {
                wsock::in_addr addr;
                std::memcpy(&addr.s_addr, *p, 4);
                FDnsResultList.push_back(wsock::inet_ntoa(addr));
            }
            if (!FDnsResultList.empty())
                FDnsResult = FDnsResultList.front();
        }
    }
    DoDnsLookupDone(Error);
}
