// The TLS layer against an OpenSSL peer: lines, downloads and uploads under TLS 1.2 and 1.3,
// close_notify both ways, session resumption, broken peers, and certificate verification.
#include "SocketTestUtil.h"
#include "TestPeers.h"
#include "TlsPeer.h"
#include "servers/TestCertificates.h"

#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <gtest/gtest.h>

#include <memory>

using namespace sockettest;

namespace {

// A client socket that starts TLS as soon as it is connected.
struct TlsClient {
    TWSocket S;
    EventLog Log;
    std::shared_ptr<TSslContext> Context;
    int HandshakeDone = 0;
    std::uint16_t HandshakeError = 0xFFFF;
    TSslState StateAtHandshakeDone = sslNone;   // a close right after may reset the state

    explicit TlsClient(std::shared_ptr<TSslContext> ctx = nullptr)
        : Context(ctx ? std::move(ctx) : std::make_shared<TSslContext>())
    {
    }

    void Connect(int port, const std::string& serverName = "localhost", bool read = true)
    {
        Log.Attach(S, read);
        S.OnSessionConnected = [this](TCustomWSocket*, std::uint16_t e) {
            Log.Events.push_back("connected " + std::to_string(e));
            if (e == 0)
                S.StartSslHandshake();
        };
        S.OnSslHandshakeDone = [this](TCustomWSocket*, std::uint16_t e) {
            ++HandshakeDone;
            HandshakeError = e;
            StateAtHandshakeDone = S.SslState();
            Log.Events.push_back("tls " + std::to_string(e));
        };
        S.SetSslContext(Context);
        S.SetSslServerName(serverName);
        S.SetProto("tcp");
        S.SetAddr("127.0.0.1");
        S.SetPort(std::to_string(port));
        S.Connect();
    }

    bool WaitHandshake() { return PumpUntil([this] { return HandshakeDone > 0; }, 15000); }
};

const testsrv::TestCertificates& Certs()
{
    const auto* c = testsrv::Certificates();
    if (!c)
        throw std::runtime_error("the openssl command could not make the test certificates");
    return *c;
}

struct VersionCase {
    const char* Name;
    int MaxVersion;
    const char* Expected;
};
const VersionCase kVersions[] = {
    {"tls12", TLS1_2_VERSION, "TLSv1.2"},
    {"tls13", TLS1_3_VERSION, "TLSv1.3"},
};

std::string VersionName(const testing::TestParamInfo<VersionCase>& info)
{
    return info.param.Name;
}

} // namespace

// ---- data both ways, per protocol version ----

class TlsVersions : public testing::TestWithParam<VersionCase> {};

TEST_P(TlsVersions, LinesEchoInLineModeAndCloseSendsCloseNotify)
{
    TlsPeer peer({TlsPeer::Echo, GetParam().MaxVersion, Certs().ServerBoth});
    TlsClient c;
    std::vector<std::string> lines;
    c.Connect(peer.Port());
    c.S.SetLineMode(true);
    ASSERT_TRUE(c.WaitHandshake());
    ASSERT_EQ(c.HandshakeError, 0) << c.S.SslErrorText();
    EXPECT_EQ(c.S.SslVersion(), GetParam().Expected);
    EXPECT_FALSE(c.S.SslCipher().empty());
    c.S.OnDataAvailable = [&](TCustomWSocket* s, std::uint16_t) { lines.push_back(s->ReceiveStr()); };
    c.S.SendStr("first line\r\nsecond");
    c.S.SendStr(" line\r\n");
    ASSERT_TRUE(PumpUntil([&] { return lines.size() >= 2; }));
    EXPECT_EQ(lines, (std::vector<std::string>{"first line\r\n", "second line\r\n"}));
    c.S.Close();
    ASSERT_TRUE(PumpUntil([&] { return peer.ClientCloseNotify.load() == 1; }));
}

TEST_P(TlsVersions, DownloadEndsCleanlyOnlyWithCloseNotify)
{
    constexpr std::uint64_t kBytes = 3 * 1024 * 1024 + 77;
    for (bool closeNotify : {true, false}) {
        SCOPED_TRACE(closeNotify ? "with close_notify" : "without close_notify");
        TlsPeer::Script script{TlsPeer::Send, GetParam().MaxVersion, Certs().ServerBoth, kBytes, closeNotify};
        TlsPeer peer(script);
        TlsClient c;
        c.S.SetSslStrictClose(true);
        c.Log.ReadChunk = 100000;   // not a multiple of the record size: plaintext stays buffered
        c.Connect(peer.Port());
        ASSERT_TRUE(PumpUntil([&] { return c.Log.Closed > 0; }, 30000));
        EXPECT_EQ(c.HandshakeError, 0);
        ASSERT_EQ(c.Log.Received.size(), kBytes);
        bool same = true;
        for (std::uint64_t i = 0; i < kBytes && same; ++i)
            same = c.Log.Received[std::size_t(i)] == peer::Pattern(i);
        EXPECT_TRUE(same);
        EXPECT_EQ(c.Log.CloseError, closeNotify ? 0 : sslTruncated);
        EXPECT_EQ(c.S.SslCloseNotifyReceived(), closeNotify);
    }
}

TEST_P(TlsVersions, UploadArrivesWholeFollowedByCloseNotify)
{
    constexpr std::uint64_t kBytes = 2 * 1024 * 1024 + 5;
    TlsPeer peer({TlsPeer::Receive, GetParam().MaxVersion, Certs().ServerBoth});
    TlsClient c;
    std::uint64_t offset = 0;
    std::string block;
    c.Connect(peer.Port());
    ASSERT_TRUE(c.WaitHandshake());
    ASSERT_EQ(c.HandshakeError, 0);
    auto pump = [&] {
        if (offset >= kBytes) {
            c.S.Close();
            return;
        }
        std::size_t n = std::size_t(std::min<std::uint64_t>(65536, kBytes - offset));
        block.resize(n);
        for (std::size_t i = 0; i < n; ++i)
            block[i] = peer::Pattern(offset + i);
        offset += n;
        c.S.Send(block.data(), std::int64_t(n));
    };
    c.S.OnDataSent = [&](TCustomWSocket*, std::uint16_t) { pump(); };
    pump();
    ASSERT_TRUE(PumpUntil([&] { return peer.ReceivedBytes.load() > 0 || peer.ClientCloseNotify.load() > 0; }, 30000));
    ASSERT_TRUE(PumpUntil([&] { return peer.ReceivedBytes.load() == kBytes; }, 30000));
    EXPECT_TRUE(peer.PatternOk.load());
    EXPECT_EQ(peer.ClientCloseNotify.load(), 1);
}

TEST_P(TlsVersions, SecondConnectionResumesTheFirstSession)
{
    TlsPeer::Script script{TlsPeer::Echo, GetParam().MaxVersion, Certs().ServerBoth};
    script.Connections = 2;
    TlsPeer peer(script);
    auto context = std::make_shared<TSslContext>();
    TlsClient first(context);
    first.Connect(peer.Port());
    ASSERT_TRUE(first.WaitHandshake());
    // TLS 1.3 tickets come after the handshake: one exchange reads them.
    first.S.SendStr("ping\r\n");
    ASSERT_TRUE(PumpUntil([&] { return first.Log.Received == "ping\r\n"; }));
    ASSERT_NE(context->Session(), nullptr);
    first.S.Close();   // the peer serves one connection at a time
    ASSERT_TRUE(PumpUntil([&] { return peer.ClientCloseNotify.load() == 1; }));
    TlsClient second(context);
    second.S.SetSslResume(true);
    second.Connect(peer.Port());
    ASSERT_TRUE(second.WaitHandshake());
    EXPECT_EQ(second.HandshakeError, 0);
    EXPECT_TRUE(second.S.SslSessionReused());
    second.S.Close();
    ASSERT_TRUE(PumpUntil([&] { return peer.ClientCloseNotify.load() == 2; }));
    EXPECT_EQ(peer.Resumed.load(), 1);
}

INSTANTIATE_TEST_SUITE_P(Tls, TlsVersions, testing::ValuesIn(kVersions), VersionName);

// ---- broken peers ----

struct BrokenCase {
    const char* Name;
    TlsPeer::Mode What;
};

TEST(TlsBrokenPeers, HandshakeFailsWithAReasonAndTheSocketCloses)
{
    const BrokenCase cases[] = {
        {"plain text instead of a ServerHello", TlsPeer::Garbage},
        {"close in the middle of the handshake", TlsPeer::CloseMidHandshake},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.Name);
        TlsPeer peer({k.What, 0, Certs().ServerBoth});
        TlsClient c;
        c.Connect(peer.Port());
        ASSERT_TRUE(c.WaitHandshake());
        EXPECT_EQ(c.HandshakeError, sslHandshakeFailed);
        EXPECT_FALSE(c.S.SslErrorText().empty());
        EXPECT_EQ(c.StateAtHandshakeDone, sslFailed);
        ASSERT_TRUE(PumpUntil([&] { return c.Log.Closed > 0; }));
        EXPECT_EQ(c.HandshakeDone, 1) << "the failure is reported once";
    }
}

// ---- certificates ----

struct CertCase {
    const char* Name;
    std::string testsrv::TestCertificates::*Cert;
    const char* ServerName;
    bool TrustCa;
    long Expected;
};

TEST(TlsCertificates, VerificationResultNamesTheFault)
{
    using testsrv::TestCertificates;
    const CertCase cases[] = {
        {"trusted, name", &TestCertificates::ServerBoth, "localhost", true, X509_V_OK},
        {"trusted, address", &TestCertificates::ServerBoth, "127.0.0.1", true, X509_V_OK},
        {"unknown CA", &TestCertificates::ServerBoth, "localhost", false, X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY},
        {"wrong host", &TestCertificates::WrongHostBoth, "localhost", true, X509_V_ERR_HOSTNAME_MISMATCH},
        {"wrong address", &TestCertificates::WrongHostBoth, "127.0.0.1", true, X509_V_ERR_IP_ADDRESS_MISMATCH},
        {"expired", &TestCertificates::ExpiredBoth, "localhost", true, X509_V_ERR_CERT_HAS_EXPIRED},
        {"self-signed", &TestCertificates::SelfSignedBoth, "localhost", true, X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.Name);
        TlsPeer peer({TlsPeer::Echo, 0, Certs().*k.Cert});
        auto context = std::make_shared<TSslContext>();
        std::string error;
        if (k.TrustCa) {
            ASSERT_TRUE(context->LoadCaFile(Certs().CaCert, error)) << error;
        }
        TlsClient c(context);
        c.Connect(peer.Port(), k.ServerName);
        ASSERT_TRUE(c.WaitHandshake());
        ASSERT_EQ(c.HandshakeError, 0);
        TSslCertificateInfo info;
        ASSERT_TRUE(c.S.SslPeerCertificate(info));
        EXPECT_EQ(info.VerifyResult, k.Expected) << info.VerifyError;
        EXPECT_EQ(info.VerifyError.empty(), k.Expected == X509_V_OK);
        EXPECT_EQ(info.Fingerprint, testsrv::OpensslFingerprint(Certs().*k.Cert));
        EXPECT_FALSE(info.Subject.empty());
        EXPECT_FALSE(info.NotAfter.empty());
        c.S.Close();
    }
}

TEST(TlsCertificates, UnreadableCaFileIsRefusedWithItsName)
{
    TSslContext context;
    std::string error;
    EXPECT_FALSE(context.LoadCaFile("/nonexistent/ca.pem", error));
    EXPECT_NE(error.find("/nonexistent/ca.pem"), std::string::npos);
}
