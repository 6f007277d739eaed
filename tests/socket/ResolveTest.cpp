// Address resolution (hosts, ports, protocols, dotted addresses) and the asynchronous
// name lookups of a socket. Names come from a table or /etc/hosts, never from outside DNS.
#include "SocketTestUtil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>

using namespace sockettest;

// ---- dotted addresses and leading numbers ----

TEST(DottedAddress, Table)
{
    const std::vector<std::pair<const char*, bool>> table = {
        {"1.2.3.4", true},
        {"  1.2.3.4", true},
        {"1.2.3.4   ", true},
        {"0.0.0.0", true},
        {"255.255.255.255", true},
        {"1.2.3", false},
        {"1.2.3.256", false},
        {"256.1.1.1", false},
        {".1.2.3", false},
        {"1.2.3.", false},
        {"1..2.3", false},
        {"1.2.3.4.5", false},
        {"1.2.3.4 x", false},
        {"1.2.3.4x", true},   // the scan stops at the first other character
        {"a.b.c.d", false},
        {"", false},
        {"1.2.3.99999999999", false},
    };
    for (const auto& [text, dotted] : table)
        EXPECT_EQ(IsDottedAddress(text), dotted) << '"' << text << '"';
}

TEST(LeadingNumber, Table)
{
    const std::vector<std::pair<const char*, int>> table = {
        {"21", 21}, {"21abc", 21}, {"   42", 42}, {"  7 8", 7}, {"abc", 0}, {"", 0}, {"-5", 0}, {"0021", 21},
    };
    for (const auto& [text, value] : table)
        EXPECT_EQ(ParseLeadingNumber(text), value) << '"' << text << '"';
}

// ---- ports and protocols ----

TEST(ResolvePort, NumbersAndServiceNames)
{
    EXPECT_EQ(WSocketResolvePort("ftp", "tcp"), 21);
    EXPECT_EQ(WSocketResolvePort(" ftp ", ""), 21);
    EXPECT_EQ(WSocketResolvePort("21abc", "tcp"), 21);
    EXPECT_EQ(WSocketResolvePort("   2121", "tcp"), 2121);
    EXPECT_EQ(WSocketResolvePort("70000", "tcp"), 70000) << "no range check";
}

TEST(ResolvePort, Failures)
{
    EXPECT_EQ(ErrorOf([] { WSocketResolvePort("", "tcp"); }), "WSocketResolvePort: Invalid Port.");
    EXPECT_EQ(ErrorOf([] { WSocketResolvePort(std::string(32, '1'), "tcp"); }), "WSocketResolvePort: Invalid Port.");
    EXPECT_EQ(ErrorOf([] { WSocketResolvePort(std::string(31, '1'), "tcp"); }), "");
    EXPECT_EQ(ErrorOf([] { WSocketResolvePort("nosuchservice", "tcp"); }),
              "WSocketResolvePort: Cannot convert port 'nosuchservice', Error #11004");
}

TEST(ResolveProto, NamesNumbersFailures)
{
    EXPECT_EQ(WSocketResolveProto("tcp"), 6);
    EXPECT_EQ(WSocketResolveProto("udp"), 17);
    EXPECT_EQ(WSocketResolveProto(" 17 "), 17);
    EXPECT_EQ(ErrorOf([] { WSocketResolveProto(""); }), "WSocketResolveProto: Invalid Protocol.");
    EXPECT_EQ(ErrorOf([] { WSocketResolveProto(std::string(32, 'x')); }), "WSocketResolveProto: Invalid Protocol.");
    EXPECT_EQ(ErrorOf([] { WSocketResolveProto(" bogus "); }),
              "WSocketResolveProto: Cannot convert protocol 'bogus', Error #11004");
}

// ---- hosts ----

TEST(ResolveHost, DottedAddressesNeedNoResolver)
{
    ScopedResolver resolver;
    EXPECT_EQ(WSocketResolveHost("127.0.0.1"), wsock::htonl(0x7F000001));
    EXPECT_EQ(WSocketResolveHost("1.2.3.4   "), wsock::inet_addr("1.2.3.4"));
    EXPECT_EQ(WSocketResolveHost("255.255.255.255"), 0xFFFFFFFFu) << "the all-ones address is no error";
    EXPECT_TRUE(resolver.Asked().empty());
}

TEST(ResolveHost, NonDottedTextsGoToTheResolver)
{
    ScopedResolver resolver({{"ftp.test", {"10.9.8.7", "10.9.8.6"}}});
    EXPECT_EQ(WSocketResolveHost("ftp.test"), wsock::inet_addr("10.9.8.7")) << "the first address";
    for (const char* text : {"1.2.3", "1.2.3.256", ".1.2.3"})
        EXPECT_EQ(ErrorOf([&] { WSocketResolveHost(text); }),
                  std::string("WSocketResolveHost: Cannot convert host address '") + text + "', Error #11001");
    EXPECT_EQ(resolver.Asked(), (std::vector<std::string>{"ftp.test", "1.2.3", "1.2.3.256", ".1.2.3"}));
}

TEST(ResolveHost, Failures)
{
    ScopedResolver resolver;
    EXPECT_EQ(ErrorOf([] { WSocketResolveHost(""); }), "WSocketResolveHost: '' Invalid Hostname.");
    std::string longName(257, 'a');
    EXPECT_EQ(ErrorOf([&] { WSocketResolveHost(longName); }), "WSocketResolveHost: '" + longName + "' Invalid Hostname.");
    EXPECT_EQ(ErrorOf([] { WSocketResolveHost("1.2.3.4x"); }), "WSocketResolveHost: '1.2.3.4x' Invalid IP address.");
    EXPECT_EQ(ErrorOf([] { WSocketResolveHost(" nosuch.test"); }),
              "WSocketResolveHost: Cannot convert host address ' nosuch.test', Error #11001");
    EXPECT_EQ(resolver.Asked(), std::vector<std::string>{"nosuch.test"}) << "asked trimmed, reported as given";
}

TEST(ResolveHost, LocalhostThroughTheSystemResolver)
{
    EXPECT_EQ(WSocketResolveHost("localhost"), wsock::inet_addr("127.0.0.1"));
}

// ---- asynchronous lookups ----

TEST(DnsLookup, LocalhostArrivesFromTheLoop)
{
    TWSocket s;
    int done = 0;
    std::uint16_t error = 0xFFFF;
    s.OnDnsLookupDone = [&](TCustomWSocket*, std::uint16_t e) {
        ++done;
        error = e;
    };
    s.DnsLookup("localhost");
    EXPECT_EQ(done, 0) << "a name is answered later, from the event loop";
    ASSERT_TRUE(PumpUntil([&] { return done > 0; }));
    EXPECT_EQ(error, 0);
    EXPECT_EQ(s.DnsResult(), "127.0.0.1");
    ASSERT_FALSE(s.DnsResultList().empty());
    EXPECT_EQ(s.DnsResultList().front(), "127.0.0.1");
    PumpFor(30);
    EXPECT_EQ(done, 1);
}

TEST(DnsLookup, DottedAddressIsAnsweredInsideTheCall)
{
    ScopedResolver resolver;
    TWSocket s;
    int done = 0;
    s.OnDnsLookupDone = [&](TCustomWSocket*, std::uint16_t e) {
        ++done;
        EXPECT_EQ(e, 0);
    };
    s.DnsLookup("10.0.0.1");
    EXPECT_EQ(done, 1);
    EXPECT_EQ(s.DnsResult(), "10.0.0.1");
    EXPECT_TRUE(s.DnsResultList().empty());
    EXPECT_TRUE(resolver.Asked().empty());
}

TEST(DnsLookup, AllAddressesInOrder)
{
    ScopedResolver resolver({{"multi.test", {"10.0.0.3", "10.0.0.1", "10.0.0.2"}}});
    TWSocket s;
    int done = 0;
    s.OnDnsLookupDone = [&](TCustomWSocket*, std::uint16_t) { ++done; };
    s.DnsLookup("multi.test");
    ASSERT_TRUE(PumpUntil([&] { return done > 0; }));
    EXPECT_EQ(s.DnsResultList(), (std::vector<std::string>{"10.0.0.3", "10.0.0.1", "10.0.0.2"}));
    EXPECT_EQ(s.DnsResult(), "10.0.0.3");
}

TEST(DnsLookup, UnknownNameGivesTheResolverError)
{
    ScopedResolver resolver;
    TWSocket s;
    std::uint16_t error = 0;
    s.OnDnsLookupDone = [&](TCustomWSocket*, std::uint16_t e) { error = e; };
    s.DnsLookup("nosuch.test");
    ASSERT_TRUE(PumpUntil([&] { return error != 0; }));
    EXPECT_EQ(error, 11001);
    EXPECT_TRUE(s.DnsResult().empty());
    EXPECT_TRUE(s.DnsResultList().empty());
}

TEST(DnsLookup, EmptyNameWithOnError)
{
    TWSocket s;
    int errors = 0;
    std::vector<int> done;
    s.OnError = [&](TCustomWSocket*) { ++errors; };
    s.OnDnsLookupDone = [&](TCustomWSocket*, std::uint16_t e) { done.push_back(e); };
    s.DnsLookup("");
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(done, std::vector<int>{10022});
    s.ReverseDnsLookup("");
    EXPECT_EQ(done, (std::vector<int>{10022, 10022}));
}

TEST(DnsLookup, ReverseGivesOneLineWithTheOfficialName)
{
    ScopedResolver resolver({}, {{"10.1.2.3", "box.test"}});
    TWSocket s;
    int done = 0;
    std::uint16_t error = 0xFFFF;
    s.OnDnsLookupDone = [&](TCustomWSocket*, std::uint16_t e) {
        ++done;
        error = e;
    };
    s.ReverseDnsLookup("10.1.2.3");
    ASSERT_TRUE(PumpUntil([&] { return done > 0; }));
    EXPECT_EQ(error, 0);
    EXPECT_EQ(s.DnsResult(), "box.test");
    EXPECT_EQ(s.DnsResultList(), std::vector<std::string>{"box.test"});
    s.ReverseDnsLookup("10.9.9.9");
    ASSERT_TRUE(PumpUntil([&] { return done > 1; }));
    EXPECT_EQ(error, 11001);
    EXPECT_TRUE(s.DnsResultList().empty());
}

// ---- reverse lookups of both families ----

namespace {

struct ReverseCase {
    const char* Name;
    const char* Address;   // as given
    int Error;
    const char* Found;
};

const ReverseCase kReverse[] = {
    {"IPv4", "10.1.2.3", 0, "box.test"},
    {"IPv6", "2001:db8::5", 0, "six.test"},
    {"IPv6 in brackets", "[2001:db8::5]", 0, "six.test"},
    {"IPv6 written long", "2001:0db8:0:0:0:0:0:0005", 0, "six.test"},
    {"IPv6 unknown", "2001:db8::6", 11001, ""},
};

class ReverseLookup : public testing::TestWithParam<ReverseCase> {};

} // namespace

TEST_P(ReverseLookup, FindsTheNameOfAnAddress)
{
    const ReverseCase& t = GetParam();
    ScopedResolver resolver({}, {{"10.1.2.3", "box.test"}, {"2001:db8::5", "six.test"}});
    TWSocket s;
    int done = 0;
    std::uint16_t error = 0xFFFF;
    s.OnDnsLookupDone = [&](TCustomWSocket*, std::uint16_t e) {
        ++done;
        error = e;
    };
    s.ReverseDnsLookup(t.Address);
    ASSERT_TRUE(PumpUntil([&] { return done > 0; }));
    EXPECT_EQ(error, t.Error);
    EXPECT_EQ(s.DnsResult(), t.Found);
    EXPECT_EQ(s.DnsResultList().size(), *t.Found ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(BothFamilies, ReverseLookup, testing::ValuesIn(kReverse));

// A resolver that holds every lookup until released.
struct HeldResolver {
    ScopedResolver Resolver{{{"slow.test", {"10.0.0.9"}}, {"fast.test", {"10.0.0.8"}}}};
    std::mutex Lock;
    std::condition_variable Cv;
    bool Released = false;
    std::atomic<int> Finished{0};
    HeldResolver()
    {
        Resolver.Hook = [this](const std::string& name) {
            if (name == "slow.test") {
                std::unique_lock<std::mutex> lock(Lock);
                Cv.wait(lock, [this] { return Released; });
            }
            ++Finished;
        };
    }
    void Release()
    {
        {
            std::lock_guard<std::mutex> lock(Lock);
            Released = true;
        }
        Cv.notify_all();
    }
    ~HeldResolver() { Release(); }
};

TEST(DnsLookup, CancelReportsAtOnceAndTheLateResultIsDropped)
{
    HeldResolver held;
    TWSocket s;
    std::vector<int> done;
    s.OnDnsLookupDone = [&](TCustomWSocket*, std::uint16_t e) { done.push_back(e); };
    s.DnsLookup("slow.test");
    s.CancelDnsLookup();
    EXPECT_EQ(done, std::vector<int>{10004}) << "reported inside the call";
    held.Release();
    PumpUntil([&] { return held.Finished.load() > 0; });
    PumpFor(50);
    EXPECT_EQ(done, std::vector<int>{10004});
    EXPECT_TRUE(s.DnsResult().empty());
    s.CancelDnsLookup();
    EXPECT_EQ(done.size(), 1u) << "nothing pending, nothing reported";
}

TEST(DnsLookup, ANewLookupReplacesThePendingOneWithoutAnEvent)
{
    HeldResolver held;
    TWSocket s;
    std::vector<int> done;
    s.OnDnsLookupDone = [&](TCustomWSocket*, std::uint16_t e) { done.push_back(e); };
    s.DnsLookup("slow.test");
    s.DnsLookup("fast.test");
    ASSERT_TRUE(PumpUntil([&] { return !done.empty(); }));
    held.Release();
    PumpUntil([&] { return held.Finished.load() > 1; });
    PumpFor(50);
    EXPECT_EQ(done, std::vector<int>{0});
    EXPECT_EQ(s.DnsResult(), "10.0.0.8");
}

TEST(DnsLookup, DestroyedWhilePendingGetsNothingWritten)
{
    HeldResolver held;
    int done = 0;
    {
        TWSocket keepLoaded;
        {
            TWSocket s;
            s.OnDnsLookupDone = [&](TCustomWSocket*, std::uint16_t) { ++done; };
            s.DnsLookup("slow.test");
        }
        held.Release();
        PumpUntil([&] { return held.Finished.load() > 0; });
        PumpFor(50);
    }
    EXPECT_EQ(done, 0) << "a socket being destroyed reports no lookup";
}
