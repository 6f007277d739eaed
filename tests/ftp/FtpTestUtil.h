// Helpers of the FTP engine tests: an event recorder and the login both sides agree on.
#pragma once

#include "ftp/FakeFtpServer.h"
#include "ftp/FtpClient.h"
#include "socket/SocketTestUtil.h"

#include <gtest/gtest.h>

#include <concepts>
#include <ostream>
#include <string>
#include <vector>

// A table row with a Name prints as that name, so that test listings (and ctest's names
// for parameterised cases) show it instead of the row's bytes.
template <class T>
    requires requires(const T& row) {
        { row.Name } -> std::convertible_to<const char*>;
    }
void PrintTo(const T& row, std::ostream* os)
{
    *os << row.Name;
}

namespace ftptest {

using sockettest::PumpFor;
using sockettest::PumpUntil;

// Records the engine's events in order.
struct FtpRecorder {
    std::vector<std::string> Display;
    std::vector<std::string> States;
    std::vector<std::string> Events;   // "connected E", "closed E", "done K E"
    std::vector<std::string> Responses;
    std::vector<std::pair<int, int>> Done;
    std::vector<std::int64_t> Progress;

    void Attach(TCustomFtpCli& c)
    {
        c.OnDisplay = [this](TCustomFtpCli*, std::string& m) { Display.push_back(m); };
        c.OnStateChange = [this](TCustomFtpCli* s) { States.push_back(FtpStateName(s->State())); };
        c.OnResponse = [this](TCustomFtpCli* s) { Responses.push_back(s->LastReply()); };
        c.OnSessionConnected = [this](TCustomFtpCli*, std::uint16_t e) {
            Events.push_back("connected " + std::to_string(e));
        };
        c.OnSessionClosed = [this](TCustomFtpCli*, std::uint16_t e) {
            Events.push_back("closed " + std::to_string(e));
        };
        c.OnRequestDone = [this](TCustomFtpCli*, TFtpRequest k, std::uint16_t e) {
            Done.push_back({int(k), int(e)});
            Events.push_back("done " + std::to_string(int(k)) + " " + std::to_string(e));
        };
        c.OnProgress = [this](TCustomFtpCli*, std::int64_t n, bool&) { Progress.push_back(n); };
    }
    // Pumps until Count completions have arrived.
    bool WaitDone(std::size_t Count = 1, int TimeoutMs = 8000)
    {
        return PumpUntil([&] { return Done.size() >= Count; }, TimeoutMs);
    }
    // True when Line was displayed.
    bool Displayed(const std::string& Line) const
    {
        for (const auto& d : Display)
            if (d == Line)
                return true;
        return false;
    }
};

// The login every fake-server script starts with.
inline FakeFtpServer& AddLogin(FakeFtpServer& s)
{
    return s.Reply("220 Fake FTP ready")
        .Expect("USER joe")
        .Reply("331 Password required")
        .Expect("PASS pw")
        .Reply("230 Logged in");
}

// Points the client at the fake server with the login of AddLogin.
inline void Configure(TCustomFtpCli& c, const FakeFtpServer& s)
{
    c.SetHostName("127.0.0.1");
    c.SetPort(std::to_string(s.Port()));
    c.SetUserName("joe");
    c.SetPassWord("pw");
}

// Connect against a script that starts with AddLogin; asserts success.
inline void ConnectOk(TCustomFtpCli& c, FtpRecorder& r, FakeFtpServer& s)
{
    Configure(c, s);
    c.Connect();
    ASSERT_TRUE(r.WaitDone(1));
    ASSERT_EQ(r.Done.back(), std::make_pair(int(rqConnect), 0));
    r.Done.clear();
    r.Events.clear();
    r.Display.clear();
    r.States.clear();
    r.Responses.clear();
}

// The lines of a vector joined for readable failure messages.
inline std::string Join(const std::vector<std::string>& v)
{
    std::string out;
    for (const auto& s : v)
        out += s + "\n";
    return out;
}

} // namespace ftptest
