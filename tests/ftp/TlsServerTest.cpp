// FTP over TLS: the engine against vsftpd (explicit and implicit, TLS required for logins
// and data, session reuse required) and pyftpdlib's TLS handler, certificate verification
// against throwaway certificates, and a scripted server for refusals and broken handshakes.
#include "ftp/FtpTestUtil.h"
#include "servers/FtpServers.h"
#include "servers/PeerPolicy.h"
#include "servers/TestCertificates.h"

#include "platform/ZeroCopy.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <random>

using namespace ftptest;

namespace {

const testsrv::TestCertificates* Certs()
{
    return testsrv::Certificates();
}

// One TLS server per kind and certificate for the whole run, started on first use.
testsrv::FtpServer* TlsServer(const std::string& kind, const std::string& certBoth)
{
    static std::map<std::string, std::unique_ptr<testsrv::FtpServer>> servers;
    std::string key = kind + " " + certBoth;
    auto it = servers.find(key);
    if (it != servers.end())
        return it->second.get();
    std::unique_ptr<testsrv::FtpServer> server;
    if (kind == "pyftpdlib")
        server = testsrv::StartPyftpdlib(false, 0, {"--tls-cert", certBoth});
    else
        server = testsrv::StartVsftpd(testsrv::VsftpdTlsConfig(certBoth, kind == "vsftpd-implicit"));
    return (servers[key] = std::move(server)).get();
}

std::string RandomBytes(std::size_t n, unsigned seed)
{
    std::string s(n, '\0');
    std::mt19937 rng(seed);
    for (auto& c : s)
        c = char(rng());
    return s;
}

std::string LocalDir()
{
    static std::string dir = testsrv::MakeTempDir("ombrex-ftps");
    return dir;
}

// A client set up for one of the servers: TLS mode from the server kind, the test CA trusted.
struct TlsSession {
    TFtpClient Ftp;
    FtpRecorder Rec;
    testsrv::FtpServer* Server = nullptr;

    void Configure(testsrv::FtpServer* server, const std::string& kind, const std::string& host = "localhost",
                   bool trustCa = true)
    {
        Server = server;
        Rec.Attach(Ftp);
        Ftp.SetHostName(host);
        Ftp.SetPort(std::to_string(server->Port()));
        Ftp.SetUserName(server->User());
        Ftp.SetPassWord(server->Password());
        Ftp.SetTlsMode(kind == "vsftpd-implicit" ? ftpTlsRequireImplicit : ftpTlsRequireExplicit);
        std::string error;
        if (trustCa) {
            EXPECT_TRUE(Ftp.SslContext()->LoadCaFile(Certs()->CaCert, error)) << error;
        }
    }

    // Runs one request and returns its error (-1 when it never ended).
    template <class F>
    int Run(F&& request, int timeoutMs = 30000)
    {
        Rec.Done.clear();
        request();
        if (!Rec.WaitDone(1, timeoutMs))
            return -1;
        return Rec.Done.back().second;
    }

    bool Sent(const std::string& cmd) const
    {
        return std::any_of(Rec.Display.begin(), Rec.Display.end(),
                           [&](const std::string& d) { return d.rfind("> " + cmd, 0) == 0; });
    }
};

} // namespace

struct ServerCase {
    const char* Name;
    const char* Kind;
    bool Passive;
};

const ServerCase kServers[] = {
    {"vsftpd_explicit_passive", "vsftpd", true},
    {"vsftpd_explicit_active", "vsftpd", false},
    {"vsftpd_implicit_passive", "vsftpd-implicit", true},
    {"pyftpdlib_passive", "pyftpdlib", true},
    {"pyftpdlib_active", "pyftpdlib", false},
};


// ---- every transfer kind over TLS, per server and data connection mode ----

class FtpsServer : public testing::TestWithParam<ServerCase> {
protected:
    void SetUp() override
    {
        if (!Certs())
            OMBREX_PEER_MISSING("the openssl command");
        Server = TlsServer(GetParam().Kind, Certs()->ServerBoth);
        if (!Server)
            OMBREX_PEER_MISSING(GetParam().Kind);
    }
    testsrv::FtpServer* Server = nullptr;
};

TEST_P(FtpsServer, LoginListUploadDownloadAndResumeByteForByte)
{
    TlsSession s;
    s.Configure(Server, GetParam().Kind);
    s.Ftp.SetPassiveMode(GetParam().Passive);
    ASSERT_EQ(s.Run([&] { s.Ftp.Connect(); }), 0) << Join(s.Rec.Display);
    EXPECT_TRUE(s.Ftp.TlsActive());
    EXPECT_TRUE(s.Ftp.DataProtected());
    EXPECT_EQ(s.Ftp.TlsDescription().rfind("TLS 1.", 0), 0u) << s.Ftp.TlsDescription();
    EXPECT_EQ(s.Sent("AUTH TLS"), std::string(GetParam().Kind) != "vsftpd-implicit");
    EXPECT_TRUE(s.Sent("PBSZ 0"));
    EXPECT_TRUE(s.Sent("PROT P"));
    EXPECT_TRUE(s.Rec.Displayed("! TLS started: " + s.Ftp.TlsDescription()));
    // The password goes out only after TLS started.
    auto started = std::find(s.Rec.Display.begin(), s.Rec.Display.end(), "! TLS started: " + s.Ftp.TlsDescription());
    auto user = std::find_if(s.Rec.Display.begin(), s.Rec.Display.end(),
                             [](const std::string& d) { return d.rfind("> USER", 0) == 0; });
    EXPECT_LT(started, user);

    const std::string dir = Server->WritableDir() == "/" ? "" : Server->WritableDir() + "/";
    const std::string name = std::string(GetParam().Name) + ".bin";
    const std::string content = RandomBytes(1536 * 1024 + 333, 14);
    const std::string local = LocalDir() + "/" + name;
    ASSERT_TRUE(testsrv::WriteFile(local, content));
    ASSERT_EQ(s.Run([&] { s.Ftp.SendTypeBinary(); }), 0);

    // Upload.
    s.Ftp.SetLocalFileName(local);
    s.Ftp.SetHostFileName(dir + name);
    ASSERT_EQ(s.Run([&] { s.Ftp.Put(); }), 0) << Join(s.Rec.Display);
    EXPECT_EQ(testsrv::ReadFile(Server->LocalPath(dir + name)), content);

    // Listing.
    const std::string listing = LocalDir() + "/" + name + ".list";
    s.Ftp.SetLocalFileName(listing);
    s.Ftp.SetHostFileName(dir);
    ASSERT_EQ(s.Run([&] { s.Ftp.ListNames(); }), 0) << Join(s.Rec.Display);
    EXPECT_NE(testsrv::ReadFile(listing).find(name), std::string::npos);

    // Download.
    const std::string back = local + ".back";
    s.Ftp.SetLocalFileName(back);
    s.Ftp.SetHostFileName(dir + name);
    ASSERT_EQ(s.Run([&] { s.Ftp.Get(); }), 0) << Join(s.Rec.Display);
    EXPECT_EQ(testsrv::ReadFile(back), content);
    EXPECT_EQ(s.Ftp.DataPath(), ftpPathCopying);

    // Resumed download: the first third is there already.
    ASSERT_TRUE(testsrv::WriteFile(back, content.substr(0, content.size() / 3)));
    s.Ftp.SetResumeOffset(std::int64_t(content.size() / 3));
    ASSERT_EQ(s.Run([&] { s.Ftp.ResumeGet(); }), 0) << Join(s.Rec.Display);
    EXPECT_EQ(testsrv::ReadFile(back), content);

    // Downloads in a row, each next data port asked for while the last one ends.
    s.Ftp.SetPassivePrefetch(true);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(::unlink(back.c_str()), 0);
        s.Ftp.SetLocalFileName(back);
        s.Ftp.SetHostFileName(dir + name);
        ASSERT_EQ(s.Run([&] { s.Ftp.Get(); }), 0) << Join(s.Rec.Display);
        EXPECT_EQ(testsrv::ReadFile(back), content);
    }
    ASSERT_EQ(s.Run([&] { s.Ftp.Pwd(); }), 0) << Join(s.Rec.Display);
    EXPECT_EQ(s.Ftp.LastReply().substr(0, 4), "257 ");
    int pasv = 0, copyNotes = 0;
    for (const auto& line : s.Rec.Display) {
        pasv += line == "> PASV";
        copyNotes += line.rfind("! TLS data: copying path", 0) == 0;
    }
    // Why encrypted files copy is said once per session, with what the system answered.
    EXPECT_EQ(copyNotes, 1) << Join(s.Rec.Display);
    int ktls = platform::KernelTlsProbe();
    EXPECT_TRUE(s.Rec.Displayed(ktls != 0 ? "! TLS data: copying path, this system offers no kernel TLS ("
                                                + std::string(std::strerror(ktls)) + ")"
                                          : "! TLS data: copying path, kernel TLS is not used for data connections"))
        << Join(s.Rec.Display);
    // Never more than one PASV per transfer (4 before the row), plus at most one unused.
    if (GetParam().Passive) {
        EXPECT_GE(pasv, 7) << Join(s.Rec.Display);
        EXPECT_LE(pasv, 8) << Join(s.Rec.Display);
    }

    ASSERT_EQ(s.Run([&] { s.Ftp.Quit(); }), 0);
}

INSTANTIATE_TEST_SUITE_P(Ftps, FtpsServer, testing::ValuesIn(kServers),
                         [](const testing::TestParamInfo<ServerCase>& i) { return std::string(i.param.Name); });

// ---- certificates ----

struct CertCase {
    const char* Name;
    std::string testsrv::TestCertificates::*Cert;
    const char* Host;
    bool TrustCa;
    int Decision;           // -1 no handler, 0 refuse, 1 accept
    const char* Reason;     // in the error when the session must fail; "" when it must succeed
};

TEST(FtpsCertificates, VerificationFailuresEndTheSessionBeforeTheLogin)
{
    if (!Certs())
        OMBREX_PEER_MISSING("the openssl command");
    using C = testsrv::TestCertificates;
    const CertCase cases[] = {
        {"verified by name", &C::ServerBoth, "localhost", true, -1, ""},
        {"verified by address", &C::ServerBoth, "127.0.0.1", true, -1, ""},
        {"wrong CA", &C::ServerBoth, "localhost", false, -1, "unable to get local issuer certificate"},
        {"wrong host", &C::WrongHostBoth, "localhost", true, -1, "hostname mismatch"},
        {"expired", &C::ExpiredBoth, "localhost", true, -1, "certificate has expired"},
        {"self-signed, refused", &C::SelfSignedBoth, "localhost", true, 0, "self-signed certificate"},
        {"wrong host, accepted by the user", &C::WrongHostBoth, "localhost", true, 1, ""},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.Name);
        testsrv::FtpServer* server = TlsServer("vsftpd", Certs()->*k.Cert);
        if (!server)
            OMBREX_PEER_MISSING("vsftpd");
        TlsSession s;
        s.Configure(server, "vsftpd", k.Host, k.TrustCa);
        TSslCertificateInfo seen;
        if (k.Decision >= 0)
            s.Ftp.OnCertificateCheck = [&](TCustomFtpCli*, const TSslCertificateInfo& info, bool& accept) {
                seen = info;
                accept = k.Decision == 1;
            };
        int error = s.Run([&] { s.Ftp.Connect(); });
        if (*k.Reason == '\0') {
            EXPECT_EQ(error, 0) << Join(s.Rec.Display);
            EXPECT_TRUE(s.Ftp.TlsActive());
            s.Run([&] { s.Ftp.Quit(); });
        } else {
            EXPECT_EQ(error, 534) << Join(s.Rec.Display);
            EXPECT_NE(s.Ftp.ErrorMessage().find(k.Reason), std::string::npos) << s.Ftp.ErrorMessage();
            EXPECT_EQ(s.Ftp.ErrorMessage().rfind("Certificate verification failed: ", 0), 0u);
            EXPECT_FALSE(s.Sent("USER"));
            EXPECT_FALSE(s.Sent("PASS"));
            EXPECT_FALSE(s.Ftp.Connected());
        }
        if (k.Decision >= 0) {
            EXPECT_EQ(seen.Fingerprint, testsrv::OpensslFingerprint(Certs()->*k.Cert));
            EXPECT_FALSE(seen.VerifyError.empty());
        }
    }
}

// ---- modes and broken servers, with a scripted server ----

struct ScriptCase {
    const char* Name;
    TFtpTlsMode Mode;
    std::function<void(FakeFtpServer&)> Script;
    int Error;                         // of Connect
    std::vector<std::string> Commands; // the transcript the server must see
    const char* Note;                  // a line the user log must show ("" for none)
};

TEST(FtpsScripted, ModesRefusalsAndBrokenHandshakes)
{
    const ScriptCase cases[] = {
        {"plain only sends no AUTH", ftpTlsPlainOnly,
         [](FakeFtpServer& f) { AddLogin(f); }, 0, {"USER joe", "PASS pw"}, ""},
        {"if available falls back on 5xx", ftpTlsExplicitIfAvailable,
         [](FakeFtpServer& f) {
             f.Reply("220 Fake FTP ready").Expect("AUTH TLS").Reply("502 Command not implemented");
             f.Expect("USER joe").Reply("331 Password required").Expect("PASS pw").Reply("230 Logged in");
         },
         0, {"AUTH TLS", "USER joe", "PASS pw"}, "! Server refused AUTH TLS: continuing without encryption"},
        {"if available does not fall back on 4xx", ftpTlsExplicitIfAvailable,
         [](FakeFtpServer& f) { f.Reply("220 Fake FTP ready").Expect("AUTH TLS").Reply("431 No TLS now").WaitClientClose(); },
         431, {"AUTH TLS"}, "! Server refused AUTH TLS: no session without encryption"},
        {"require never falls back", ftpTlsRequireExplicit,
         [](FakeFtpServer& f) { f.Reply("220 Fake FTP ready").Expect("AUTH TLS").Reply("500 AUTH not understood").WaitClientClose(); },
         500, {"AUTH TLS"}, "! Server refused AUTH TLS: no session without encryption"},
        {"garbage after 234", ftpTlsRequireExplicit,
         [](FakeFtpServer& f) {
             f.Reply("220 Fake FTP ready").Expect("AUTH TLS").Reply("234 Go ahead").Delay(100);
             f.Send("this is not a TLS record at all\r\n").WaitClientClose();
         },
         534, {"AUTH TLS"}, ""},
        {"close in the middle of the handshake", ftpTlsRequireExplicit,
         [](FakeFtpServer& f) { f.Reply("220 Fake FTP ready").Expect("AUTH TLS").Reply("234 Go ahead").Delay(100).Drop(); },
         534, {"AUTH TLS"}, ""},
        {"handshake never answered", ftpTlsRequireExplicit,
         [](FakeFtpServer& f) { f.Reply("220 Fake FTP ready").Expect("AUTH TLS").Reply("234 Go ahead").WaitClientClose(); },
         534, {"AUTH TLS"}, "! TLS handshake failed: TLS handshake timed out"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.Name);
        FakeFtpServer fake;
        k.Script(fake);
        fake.Start();
        TFtpClient ftp;
        FtpRecorder rec;
        rec.Attach(ftp);
        Configure(ftp, fake);
        ftp.SetTlsMode(k.Mode);
        ftp.ControlSocket()->SetSslHandshakeTimeout(1500);
        ftp.Connect();
        ASSERT_TRUE(rec.WaitDone(1, 20000));
        EXPECT_EQ(rec.Done.back().second, k.Error) << Join(rec.Display);
        if (k.Error == 534) {
            EXPECT_EQ(ftp.ErrorMessage().rfind("TLS handshake failed: ", 0), 0u) << ftp.ErrorMessage();
        }
        if (*k.Note) {
            EXPECT_TRUE(rec.Displayed(k.Note)) << Join(rec.Display);
        }
        if (k.Error != 0)
            EXPECT_FALSE(ftp.Connected());
        else
            ftp.Abort();
        ASSERT_TRUE(fake.WaitDone(10000));
        EXPECT_EQ(fake.Transcript(), k.Commands);
        EXPECT_EQ(fake.Errors(), std::vector<std::string>{});
    }
}
