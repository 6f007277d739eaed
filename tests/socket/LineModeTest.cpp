// Line mode over loopback against a scripted peer: line ends split across reads, several
// lines in one read, one-byte and long line ends, editing with echo, switching line mode
// off in the middle of a line, the last line at the close, and the open questions (a
// handler that does not read, re-delivery with no complete line).
#include "ScriptedPeer.h"
#include "SocketTestUtil.h"
#include "TestPeers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace sockettest;
using namespace std::string_literals;
using peer::Bytes;
using peer::PauseMs;
using peer::ReadBytes;
using peer::Step;
using peer::WriteBytes;

namespace {

// Reads one ReceiveStr per OnDataAvailable and remembers it with the RcvdCount seen first.
struct LineLog {
    std::vector<std::string> Lines;
    std::vector<std::int64_t> Counts;
    std::vector<std::string> Events;   // "line <text>" and "closed <error>", in order
    int Closed = 0;

    void Attach(TWSocket& s)
    {
        s.OnDataAvailable = [this](TCustomWSocket* sender, std::uint16_t) {
            Counts.push_back(sender->RcvdCount());
            std::string line = sender->ReceiveStr();
            Lines.push_back(line);
            Events.push_back("line " + line);
        };
        s.OnSessionClosed = [this](TCustomWSocket*, std::uint16_t e) {
            ++Closed;
            Events.push_back("closed " + std::to_string(e));
        };
    }
};

// Connects s (line mode as set by the caller) to the peer and pumps until connected.
void ConnectTo(TWSocket& s, const peer::ScriptedPeer& p)
{
    bool connected = false;
    auto user = s.OnSessionConnected;
    s.OnSessionConnected = [&connected, user](TCustomWSocket* sender, std::uint16_t e) {
        connected = true;
        if (user)
            user(sender, e);
    };
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(p.Port()));
    s.Connect();
    ASSERT_TRUE(PumpUntil([&] { return connected; }));
    s.OnSessionConnected = user;
}

using Lines = std::vector<std::string>;

struct SplitCase {
    const char* Name;
    std::string LineEnd;
    std::vector<Step> Script;
    Lines Expected;
};

} // namespace

// ---- line mode off ----

TEST(LineModeOff, EveryBytePassesThroughUnchanged)
{
    const std::string data = "a\r\nb\r\n\r\nc\0d"s;
    peer::ScriptedPeer p({WriteBytes(data)});
    TWSocket s;
    std::string got;
    std::int64_t count = -2;
    s.OnDataAvailable = [&](TCustomWSocket* sender, std::uint16_t) {
        if (count == -2)
            count = sender->RcvdCount();
        got += sender->ReceiveStr();
    };
    ConnectTo(s, p);
    ASSERT_TRUE(PumpUntil([&] { return got.size() == data.size(); }));
    EXPECT_EQ(got, data);
    EXPECT_EQ(count, std::int64_t(data.size())) << "the network's count";
    EXPECT_EQ(s.LineBufCount(), 0);
}

// ---- splitting into lines ----

TEST(LineModeSplit, Table)
{
    std::vector<SplitCase> cases = {
        {"TwoLinesOneRead", "\r\n", {WriteBytes("AB\r\nCD\r\n")}, {"AB\r\n", "CD\r\n"}},
        {"ThreeLinesOneRead", "\r\n", {WriteBytes("1\r\n22\r\n333\r\n")}, {"1\r\n", "22\r\n", "333\r\n"}},
        {"LineEndSplitAcrossReads", "\r\n", {WriteBytes("AB\r"), PauseMs(120), WriteBytes("\nCD\r\n")},
         {"AB\r\n", "CD\r\n"}},
        {"LineInManyPieces", "\r\n",
         {WriteBytes("he"), PauseMs(60), WriteBytes("ll"), PauseMs(60), WriteBytes("o\r"), PauseMs(60),
          WriteBytes("\n")},
         {"hello\r\n"}},
        {"OneByteLineEnd", "\n", {WriteBytes("x\ny\n\n")}, {"x\n", "y\n", "\n"}},
        {"LongLineEndInThreePieces", "<END>",
         {WriteBytes("a<E"), PauseMs(100), WriteBytes("N"), PauseMs(100), WriteBytes("D>b<END>")},
         {"a<END>", "b<END>"}},
        {"CarriageReturnAloneIsNoLineEnd", "\r\n", {WriteBytes("a\rb\nc\r\n")}, {"a\rb\nc\r\n"}},
        {"OverlappingLineEndCandidates", "aab", {WriteBytes("xaaab")}, {"xaaab"}},
    };
    for (const SplitCase& c : cases) {
        SCOPED_TRACE(c.Name);
        peer::ScriptedPeer p(c.Script);
        LineLog log;
        TWSocket s;
        log.Attach(s);
        s.SetLineMode(true);
        s.SetLineEnd(c.LineEnd);
        ConnectTo(s, p);
        // The pauses make split reads likely; the lines must come out the same either way,
        // so a loaded machine that joins the pieces only makes this slower.
        ASSERT_TRUE(PumpUntil([&] { return log.Lines.size() >= c.Expected.size(); }, 20000))
            << ::testing::PrintToString(log.Lines);
        PumpFor(30);
        EXPECT_EQ(log.Lines, c.Expected);
        for (std::size_t i = 0; i < log.Lines.size(); ++i)
            EXPECT_EQ(log.Counts[i], std::int64_t(c.Expected[i].size())) << "RcvdCount is the line's length";
    }
}

TEST(LineModeSplit, RestWaitsForItsLineEnd)
{
    // The line end is sent only when the client asks for it (one byte), so the rest waits
    // however slowly either side runs.
    peer::ScriptedPeer p({WriteBytes("AB\r\nCD"), ReadBytes(1), WriteBytes("\r\n")});
    LineLog log;
    TWSocket s;
    log.Attach(s);
    s.SetLineMode(true);
    ConnectTo(s, p);
    ASSERT_TRUE(PumpUntil([&] { return log.Lines.size() == 1 && s.LineBufCount() == 2; }, 20000));
    EXPECT_EQ(log.Lines[0], "AB\r\n");
    EXPECT_EQ(log.Counts[0], 4);
    PumpFor(50);
    EXPECT_EQ(log.Lines.size(), 1u) << "CD has no line end yet";
    EXPECT_EQ(s.LineBufCount(), 2);
    EXPECT_EQ(s.RcvdCount(), 0) << "no line is being offered";
    s.SendStr("!");
    ASSERT_TRUE(PumpUntil([&] { return log.Lines.size() == 2; }, 20000));
    EXPECT_EQ(log.Lines[1], "CD\r\n");
    EXPECT_EQ(s.ReadCount(), 8) << "each byte counted once, though it passed the line buffer";
}

TEST(LineModeSplit, SmallReadsInsideTheHandlerStopAtTheLineEnd)
{
    peer::ScriptedPeer p({WriteBytes("one\r\ntwo\r\nthr")});
    TWSocket s;
    Lines lines;
    s.OnDataAvailable = [&](TCustomWSocket* sender, std::uint16_t) {
        std::string line;
        char c;
        while (sender->Receive(&c, 1) == 1)
            line += c;
        EXPECT_EQ(sender->LastError(), 10035) << "between lines nothing is ready";
        lines.push_back(line);
    };
    s.SetLineMode(true);
    ConnectTo(s, p);
    ASSERT_TRUE(PumpUntil([&] { return lines.size() == 2; }));
    PumpFor(30);
    EXPECT_EQ(lines, (Lines{"one\r\n", "two\r\n"}));
    EXPECT_EQ(s.LineBufCount(), 3);
}

TEST(LineModeSplit, ManyLinesInOneGo)
{
    // 150000 lines in a couple of megabytes: every line arrives once, in order.
    std::string data;
    const int count = 150000;
    for (int i = 0; i < count; ++i)
        data += "line " + std::to_string(i) + "\n";
    peer::ScriptedPeer p({WriteBytes(data)});
    TWSocket s;
    int next = 0;
    bool inOrder = true;
    s.OnDataAvailable = [&](TCustomWSocket* sender, std::uint16_t) {
        std::string line = sender->ReceiveStr();
        if (line != "line " + std::to_string(next) + "\n")
            inOrder = false;
        ++next;
    };
    s.SetLineMode(true);
    s.SetLineEnd("\n");
    ConnectTo(s, p);
    ASSERT_TRUE(PumpUntil([&] { return next >= count; }, 60000)) << next;
    EXPECT_TRUE(inOrder);
    EXPECT_EQ(next, count);
}

// ---- echo and editing ----

struct EditCase {
    const char* Name;
    bool Edit;
    bool Echo;
    std::vector<std::string> Input;   // written with pauses in between
    Lines Expected;
    std::string Echoed;
};

TEST(LineModeEdit, Table)
{
    std::vector<EditCase> cases = {
        {"BackspaceWithEcho", true, true, {"ab\bc\r\n"}, {"ac\r\n"}, "ab\b \bc\r\n"},
        {"BackspaceWithoutEcho", true, false, {"ab\bc\r\n"}, {"ac\r\n"}, ""},
        {"TabAtThreeIsFiveSpaces", true, true, {"abc\tx\r\n"}, {"abc     x\r\n"}, "abc     x\r\n"},
        {"TabAtEightIsEightSpaces", true, false, {"12345678\tZ\r\n"}, {"12345678        Z\r\n"}, ""},
        {"TabAtZero", true, false, {"\tq\r\n"}, {"        q\r\n"}, ""},
        {"BackspaceReachesEarlierRead", true, true, {"abc", "\b\bX\r\n"}, {"aX\r\n"}, "abc\b \b\b \bX\r\n"},
        {"BackspaceOnEmptyLineIsIgnored", true, true, {"\bA\r\n"}, {"A\r\n"}, "A\r\n"},
        {"BackspaceCannotEatTheDeliveredLine", true, false, {"one\r\n", "\b\b\btwo\r\n"}, {"one\r\n", "two\r\n"}, ""},
        {"EchoWithoutEditing", false, true, {"q\bw\r\n"}, {"q\bw\r\n"}, "q\bw\r\n"},
    };
    for (const EditCase& c : cases) {
        SCOPED_TRACE(c.Name);
        std::vector<Step> script;
        for (const auto& in : c.Input) {
            script.push_back(WriteBytes(in));
            script.push_back(PauseMs(120));
        }
        peer::ScriptedPeer p(script, 1500);
        {
            TWSocket s;
            LineLog log;
            log.Attach(s);
            s.SetLineMode(true);
            s.SetLineEdit(c.Edit);
            s.SetLineEcho(c.Echo);
            ConnectTo(s, p);
            // The pauses make split reads likely; the lines must come out the same either way,
        // so a loaded machine that joins the pieces only makes this slower.
        ASSERT_TRUE(PumpUntil([&] { return log.Lines.size() >= c.Expected.size(); }, 20000));
            PumpFor(30);
            EXPECT_EQ(log.Lines, c.Expected);
            s.Flush();
        }
        p.Join();
        EXPECT_EQ(p.Tail(), c.Echoed);
    }
}

// ---- switching line mode ----

TEST(LineModeSwitch, OffInTheMiddleOfALine)
{
    peer::ScriptedPeer p({WriteBytes("ABCD\r\nEF"), PauseMs(300), WriteBytes("GH")});
    TWSocket s;
    std::vector<std::string> reads;
    s.OnDataAvailable = [&](TCustomWSocket* sender, std::uint16_t) {
        auto* ls = static_cast<TWSocket*>(sender);
        if (ls->LineMode()) {
            char buf[2];
            std::int64_t n = sender->Receive(buf, 2);
            reads.push_back(std::string(buf, std::size_t(std::max<std::int64_t>(n, 0))));
            ls->SetLineMode(false);
        } else {
            reads.push_back(sender->ReceiveStr());
        }
    };
    s.SetLineMode(true);
    ConnectTo(s, p);
    ASSERT_TRUE(PumpUntil([&] { return reads.size() >= 2; }));
    EXPECT_EQ(reads[0], "AB");
    EXPECT_EQ(reads[1], "CD\r\nEF") << "the rest of the line and what followed, no repeated line end";
    EXPECT_EQ(s.LineBufCount(), 0);
    ASSERT_TRUE(PumpUntil([&] { return reads.size() >= 3; }));
    EXPECT_EQ(reads[2], "GH");
}

TEST(LineModeSwitch, OnWithBufferedBytesFindsTheirLines)
{
    // An incomplete line is buffered. Line mode goes off and on again before the two
    // re-delivery messages run: both must end although no complete line is there, and the
    // line end that comes later completes the buffered line.
    peer::ScriptedPeer p({WriteBytes("part"), PauseMs(250), WriteBytes("ial\r\nnext\r\n")});
    LineLog log;
    TWSocket s;
    log.Attach(s);
    s.SetLineMode(true);
    ConnectTo(s, p);
    ASSERT_TRUE(PumpUntil([&] { return s.LineBufCount() == 4; }));
    // Off and on again before the re-delivery messages run: both must end although no
    // complete line is there and nobody reads.
    s.SetLineMode(false);
    s.SetLineMode(true);
    PumpFor(50);
    EXPECT_TRUE(log.Lines.empty());
    ASSERT_TRUE(PumpUntil([&] { return log.Lines.size() == 2; }));
    EXPECT_EQ(log.Lines, (Lines{"partial\r\n", "next\r\n"}));
}

TEST(LineModeSwitch, RedeliveryEndsWhenNobodyReads)
{
    peer::ScriptedPeer p({WriteBytes("abc")});
    TWSocket s;
    int calls = 0;
    s.SetLineMode(true);
    ConnectTo(s, p);
    ASSERT_TRUE(PumpUntil([&] { return s.LineBufCount() == 3; }));
    s.OnDataAvailable = [&](TCustomWSocket*, std::uint16_t) { ++calls; };   // reads nothing
    s.SetLineMode(false);
    PumpFor(100);
    EXPECT_EQ(calls, 1) << "offered once, then left for later";
    EXPECT_EQ(s.LineBufCount(), 3);
    EXPECT_EQ(s.RcvdCount(), 3) << "buffered bytes are read first";
    EXPECT_EQ(s.ReceiveStr(), "abc");
}

// ---- handlers that do not read ----

TEST(LineModeHandlers, ALineNotReadIsOfferedAgainWithTheNextData)
{
    peer::ScriptedPeer p({WriteBytes("one\r\n"), PauseMs(250), WriteBytes("two\r\n")});
    TWSocket s;
    int calls = 0;
    Lines lines;
    s.OnDataAvailable = [&](TCustomWSocket* sender, std::uint16_t) {
        if (++calls == 1)
            return;   // not now
        lines.push_back(sender->ReceiveStr());
    };
    s.SetLineMode(true);
    ConnectTo(s, p);
    ASSERT_TRUE(PumpUntil([&] { return calls == 1; }));
    PumpFor(60);
    EXPECT_EQ(calls, 1) << "no endless offering";
    EXPECT_EQ(s.LineLength(), 5);
    ASSERT_TRUE(PumpUntil([&] { return lines.size() == 2; }));
    EXPECT_EQ(lines, (Lines{"one\r\n", "two\r\n"}));
}

TEST(LineModeHandlers, WithoutAHandlerLinesAreDropped)
{
    peer::ScriptedPeer p({WriteBytes("a\r\nb\r\n"), PauseMs(300), WriteBytes("c\r\n")});
    TWSocket s;
    s.SetLineMode(true);
    ConnectTo(s, p);
    ASSERT_TRUE(PumpUntil([&] { return s.ReadCount() == 6 && s.LineBufCount() == 0; }));
    LineLog log;
    log.Attach(s);
    ASSERT_TRUE(PumpUntil([&] { return !log.Lines.empty(); }));
    PumpFor(30);
    EXPECT_EQ(log.Lines, (Lines{"c\r\n"}));
}

TEST(LineModeHandlers, LineReadOutsideTheHandlerLetsTheNextOnesThrough)
{
    peer::ScriptedPeer p({WriteBytes("one\r\ntwo\r\nthree\r\n")});
    TWSocket s;
    int calls = 0;
    Lines lines;
    s.OnDataAvailable = [&](TCustomWSocket* sender, std::uint16_t) {
        if (++calls == 1)
            return;
        lines.push_back(sender->ReceiveStr());
    };
    s.SetLineMode(true);
    ConnectTo(s, p);
    ASSERT_TRUE(PumpUntil([&] { return calls == 1; }));
    EXPECT_EQ(s.ReceiveStr(), "one\r\n");   // read later, from outside
    ASSERT_TRUE(PumpUntil([&] { return lines.size() == 2; }));
    EXPECT_EQ(lines, (Lines{"two\r\n", "three\r\n"}));
}

// ---- the close ----

TEST(LineModeClose, LastLineIsOfferedBeforeTheClose)
{
    peer::ScriptedPeer p({WriteBytes("AB\r\nCD"), peer::CloseNow()});
    LineLog log;
    TWSocket s;
    log.Attach(s);
    s.SetLineMode(true);
    ConnectTo(s, p);
    ASSERT_TRUE(PumpUntil([&] { return log.Closed > 0; }));
    PumpFor(30);
    EXPECT_EQ(log.Events, (Lines{"line AB\r\n", "line CD", "closed 0"}));
    EXPECT_EQ(s.LineBufCount(), 0);
}

TEST(LineModeClose, CloseInsideALineHandlerDropsTheRest)
{
    peer::ScriptedPeer p({WriteBytes("1\r\n2\r\n3")});
    LineLog log;
    TWSocket s;
    log.Attach(s);
    auto read = s.OnDataAvailable;
    s.OnDataAvailable = [&](TCustomWSocket* sender, std::uint16_t e) {
        read(sender, e);
        sender->Close();
    };
    s.SetLineMode(true);
    ConnectTo(s, p);
    ASSERT_TRUE(PumpUntil([&] { return log.Closed > 0; }));
    PumpFor(30);
    EXPECT_EQ(log.Events, (Lines{"line 1\r\n", "closed 0"}));
}

TEST(LineModeClose, HandlerMayDestroyItsSocket)
{
    peer::ScriptedPeer p({WriteBytes("1\r\n2\r\n3\r\n")});
    auto* s = new TWSocket;
    int calls = 0;
    s->OnDataAvailable = [&](TCustomWSocket* sender, std::uint16_t) {
        ++calls;
        sender->ReceiveStr();
        delete sender;
    };
    s->SetLineMode(true);
    ConnectTo(*s, p);
    ASSERT_TRUE(PumpUntil([&] { return calls > 0; }));
    PumpFor(50);
    EXPECT_EQ(calls, 1);
}

TEST(LineModeHandlers, ExceptionDuringRedeliveryGoesToOnBgException)
{
    peer::ScriptedPeer p({WriteBytes("abc")});
    std::string caught;
    TWSocket s;
    s.OnBgException = [&](TCustomWSocket*, const std::exception& E, bool&) { caught = E.what(); };
    s.SetLineMode(true);
    ConnectTo(s, p);
    ASSERT_TRUE(PumpUntil([&] { return s.LineBufCount() == 3; }));
    s.OnDataAvailable = [](TCustomWSocket*, std::uint16_t) { throw std::runtime_error("handler failed"); };
    s.SetLineMode(false);   // message 1044 offers "abc" to the throwing handler
    ASSERT_TRUE(PumpUntil([&] { return !caught.empty(); }));
    EXPECT_EQ(caught, "handler failed");
    EXPECT_EQ(s.State(), wsClosed) << "CanClose left true: the socket is aborted";
}

// ---- line mode after a SOCKS negotiation ----

TEST(LineModeSocks, LinesThatCameWithTheReply)
{
    std::string reply = Bytes({5, 0, 0, 1, 1, 2, 3, 4, 0, 80});
    peer::ScriptedPeer p({ReadBytes(3), WriteBytes(Bytes({5, 0})), ReadBytes(16),
                          WriteBytes(reply + "L1\r\nL2\r\npa"), PauseMs(100), WriteBytes("rt\r\n")});
    LineLog log;
    TWSocket s;
    log.Attach(s);
    s.SetLineMode(true);
    s.SetAddr("127.0.0.1");
    s.SetPort("21");
    s.SetSocksServer("127.0.0.1");
    s.SetSocksPort(std::to_string(p.Port()));
    s.Connect();
    ASSERT_TRUE(PumpUntil([&] { return log.Lines.size() == 3; })) << ::testing::PrintToString(log.Lines);
    EXPECT_EQ(log.Lines, (Lines{"L1\r\n", "L2\r\n", "part\r\n"}));
}
