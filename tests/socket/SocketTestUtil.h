// Helpers shared by the socket tests: pumping with a deadline, an event recorder and a
// resolver that answers from a table (the tests never ask outside DNS).
#pragma once

#include "platform/MessageWindow.h"
#include "platform/WinSock.h"
#include "socket/WSocket.h"

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace sockettest {

// Pumps the event loop until cond holds or timeoutMs passes; returns cond().
inline bool PumpUntil(const std::function<bool()>& cond, int timeoutMs = 5000)
{
    std::uint64_t deadline = platform::GetTickCount64() + std::uint64_t(timeoutMs);
    while (!cond()) {
        if (platform::GetTickCount64() > deadline)
            return false;
        platform::PumpMessages();
        platform::Sleep(1);
    }
    return true;
}

// Pumps the event loop for a while.
inline void PumpFor(int ms)
{
    PumpUntil([] { return false; }, ms);
}

// Records a socket's events as short texts, in order.
struct EventLog {
    std::vector<std::string> Events;
    std::string Received;          // every byte read in OnDataAvailable
    std::int64_t ReadChunk = 65536;
    int DataEvents = 0;
    int Closed = 0;
    int Connected = 0;
    int Sent = 0;
    std::uint16_t CloseError = 0xFFFF;
    std::uint16_t ConnectError = 0xFFFF;

    void Attach(TCustomWSocket& s, bool read = true)
    {
        s.OnChangeState = [this](TCustomWSocket*, TSocketState o, TSocketState n) {
            Events.push_back("state " + std::to_string(int(o)) + ">" + std::to_string(int(n)));
        };
        s.OnSessionConnected = [this](TCustomWSocket*, std::uint16_t e) {
            ++Connected;
            ConnectError = e;
            Events.push_back("connected " + std::to_string(e));
        };
        s.OnSessionClosed = [this](TCustomWSocket*, std::uint16_t e) {
            ++Closed;
            CloseError = e;
            Events.push_back("closed " + std::to_string(e));
        };
        s.OnDataSent = [this](TCustomWSocket*, std::uint16_t e) {
            ++Sent;
            Events.push_back("sent " + std::to_string(e));
        };
        if (read)
            s.OnDataAvailable = [this](TCustomWSocket* sender, std::uint16_t e) {
                ++DataEvents;
                std::string buf(std::size_t(ReadChunk), '\0');
                std::int64_t n = sender->Receive(buf.data(), ReadChunk);
                if (n > 0) {
                    Received.append(buf.data(), std::size_t(n));
                    Events.push_back("data " + std::to_string(e));
                }
            };
    }

    // The events without repeated "data" entries, for order checks.
    std::vector<std::string> Collapsed() const
    {
        std::vector<std::string> out;
        for (const auto& e : Events)
            if (out.empty() || out.back() != e || e.rfind("data", 0) != 0)
                out.push_back(e);
        return out;
    }
};

// Answers host lookups from a table while it lives; unknown names give 11001. Records the
// names asked. Never lets a test reach the system's resolver (there is no outside DNS).
class ScopedResolver {
public:
    explicit ScopedResolver(std::map<std::string, std::vector<std::string>> table = {},
                            std::map<std::string, std::string> reverse = {})
        : FTable(std::move(table)), FReverse(std::move(reverse))
    {
        winsock::SetHostResolver([this](const std::string& name, std::string& official,
                                        std::vector<winsock::u_long>& addrs) {
            {
                std::lock_guard<std::mutex> lock(FLock);
                FAsked.push_back(name);
            }
            if (Hook)
                Hook(name);
            auto it = FTable.find(name);
            if (it == FTable.end())
                return winsock::WSAHOST_NOT_FOUND;
            official = name;
            for (const auto& a : it->second)
                addrs.push_back(winsock::inet_addr(a.c_str()));
            return 0;
        });
        winsock::SetAddrResolver([this](winsock::u_long addr, std::string& official) {
            auto it = FReverse.find(winsock::inet_ntoa(winsock::in_addr{addr}));
            if (it == FReverse.end())
                return winsock::WSAHOST_NOT_FOUND;
            official = it->second;
            return 0;
        });
        winsock::SetAddr6Resolver([this](const std::string& addr, std::string& official) {
            auto it = FReverse.find(addr);
            if (it == FReverse.end())
                return winsock::WSAHOST_NOT_FOUND;
            official = it->second;
            return 0;
        });
    }
    ~ScopedResolver()
    {
        winsock::SetHostResolver(nullptr);
        winsock::SetAddrResolver(nullptr);
        winsock::SetAddr6Resolver(nullptr);
    }
    std::vector<std::string> Asked()
    {
        std::lock_guard<std::mutex> lock(FLock);
        return FAsked;
    }
    // Runs on the resolving thread before the answer (tests use it to hold a lookup back).
    std::function<void(const std::string&)> Hook;

private:
    std::map<std::string, std::vector<std::string>> FTable;
    std::map<std::string, std::string> FReverse;
    std::mutex FLock;
    std::vector<std::string> FAsked;
};

// The message of the ESocketException that f raises ("" when none).
inline std::string ErrorOf(const std::function<void()>& f)
{
    try {
        f();
    } catch (const ESocketException& e) {
        return e.what();
    }
    return "";
}

} // namespace sockettest
