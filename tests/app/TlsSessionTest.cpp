// The program over FTP over TLS against vsftpd (TLS required): the Encryption choice, the
// certificate dialog with "Trust always", "Trust once" and "Cancel", the trusted-certificates
// file, the warning for a changed certificate, and the server label with protocol and cipher.
#include "AppTestUtil.h"
#include "servers/PeerPolicy.h"

#include "dialogs/CertificateForm.h"
#include "dialogs/ConnectForm.h"
#include "platform/TrustedCertificates.h"
#include "servers/FtpServers.h"
#include "servers/TestCertificates.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

using namespace apptest;

class TlsSessionTest : public RemoteProgramTest {
protected:
    void SetUp() override
    {
        RemoteProgramTest::SetUp();
        if (HasFatalFailure() || IsSkipped())
            return;
        if (!testsrv::Certificates())
            OMBREX_PEER_MISSING("the openssl command");
        Server = testsrv::StartVsftpd(testsrv::VsftpdTlsConfig(testsrv::Certificates()->ServerBoth));
        if (!Server)
            OMBREX_PEER_MISSING("vsftpd");
        Main().TrustedCertificatesPath = Temp.filePath("OFTPCERT.txt");
        Main().CertificateDialog().OnShowModal = [this] {
            TCertificateForm& form = Main().CertificateDialog();
            Shown.push_back({form.lblReason->text(), form.lblFingerprint->text(),
                             form.lblWarning->isVisibleTo(&form), form.lblWarning->text()});
            QPushButton* button = Answer == ccTrustAlways ? form.btnTrustAlways
                                  : Answer == ccTrustOnce ? form.btnTrustOnce
                                                          : form.btnCancel;
            form.show();
            QTest::mouseClick(button, Qt::LeftButton);
            return 0;
        };
    }
    void TearDown() override
    {
        Server.reset();
        RemoteProgramTest::TearDown();
    }

    void Connect(int encryption)
    {
        Forms->ConnectForm->OnShowModal = [=, this] {
            TConnectForm& form = *Forms->ConnectForm;
            form.txtServerName->setText("localhost");
            form.txtPort->setText(QString::number(Server->Port()));
            form.txtUserName->setText(QString::fromStdString(Server->User()));
            form.txtPassWord->setText(QString::fromStdString(Server->Password()));
            form.txtRemoteDir->setText("/");
            form.chkPassive->setChecked(true);
            form.cboEncryption->setCurrentIndex(encryption);
            return int(QDialog::Accepted);
        };
        QTest::mouseClick(Main().btnConnect, Qt::LeftButton);
        ASSERT_TRUE(Settled()) << Main().DebugLines.join("\n").toStdString();
    }
    // The session is idle, or the connection attempt is over.
    bool Settled()
    {
        auto settled = [this] {
            TFtpClient& c = *Main().FtpClient1;
            return Main().CommandQueue.isEmpty() && c.State() == fcsReady
                   && (Main().IsClientIdle() || !c.Connected());
        };
        return apptest::PumpUntil([&] {
            if (!settled())
                return false;
            platform::PumpMessages();
            return settled();
        }, 30000);
    }
    void Disconnect()
    {
        QTest::mouseClick(Main().btnDisconnect, Qt::LeftButton);
        ASSERT_TRUE(Settled());
    }
    bool Sent(const QString& command)
    {
        for (const QString& line : Main().DebugLines)
            if (line.contains("> " + command))
                return true;
        return false;
    }

    struct TShown {
        QString Reason, Fingerprint;
        bool Warning;
        QString WarningText;
    };
    std::vector<TShown> Shown;
    std::int32_t Answer = ccCancel;
    std::unique_ptr<testsrv::FtpServer> Server;
};

TEST_F(TlsSessionTest, CertificateDecisionsAndTheTrustedFile)
{
    const std::string fingerprint = testsrv::OpensslFingerprint(testsrv::Certificates()->ServerCert);
    const std::string trusted = Main().TrustedCertificatesPath.toStdString();
    const std::string port = std::to_string(Server->Port());

    // Cancel: the connection ends before any login.
    Answer = ccCancel;
    Connect(ceRequireExplicit);
    ASSERT_EQ(Shown.size(), 1u);
    EXPECT_EQ(Shown[0].Reason, "unable to get local issuer certificate");
    EXPECT_EQ(Shown[0].Fingerprint.toStdString(), fingerprint);
    EXPECT_FALSE(Shown[0].Warning);
    EXPECT_TRUE(Sent("AUTH TLS"));
    EXPECT_FALSE(Sent("USER"));
    EXPECT_FALSE(Main().ControlConnectionOpen());
    EXPECT_EQ(Main().lblCurrentServer->text(), "Not connected");
    EXPECT_EQ(platform::LookupTrustedCertificate(trusted, "localhost", port, fingerprint),
              platform::TCertificateTrust::Unknown);

    // Trust once: this session only.
    Answer = ccTrustOnce;
    Connect(ceExplicitIfAvailable);
    ASSERT_EQ(Shown.size(), 2u);
    EXPECT_TRUE(Main().ControlConnectionOpen());
    EXPECT_TRUE(Main().lblCurrentServer->text().startsWith("localhost (TLS 1.")) << Main().lblCurrentServer->text().toStdString();
    EXPECT_TRUE(Main().txtUserLog->toPlainText().contains("! TLS started: TLS 1."));
    EXPECT_TRUE(Captions().contains("upload"));
    Disconnect();
    EXPECT_EQ(platform::LookupTrustedCertificate(trusted, "localhost", port, fingerprint),
              platform::TCertificateTrust::Unknown);

    // Trust always: stored, and the next session asks nothing.
    Answer = ccTrustAlways;
    Connect(ceRequireExplicit);
    ASSERT_EQ(Shown.size(), 3u);
    EXPECT_TRUE(Main().ControlConnectionOpen());
    Disconnect();
    EXPECT_EQ(platform::LookupTrustedCertificate(trusted, "localhost", port, fingerprint),
              platform::TCertificateTrust::Trusted);
    Answer = ccCancel;
    Connect(ceRequireExplicit);
    EXPECT_EQ(Shown.size(), 3u) << "a trusted certificate is not asked about again";
    EXPECT_TRUE(Main().ControlConnectionOpen());
    Disconnect();

    // Another certificate for the same host and port: asked again, with the warning.
    std::string error;
    ASSERT_TRUE(platform::StoreTrustedCertificate(trusted, "localhost", port, "00:11:22", error)) << error;
    Connect(ceRequireExplicit);
    ASSERT_EQ(Shown.size(), 4u);
    EXPECT_TRUE(Shown[3].Warning);
    EXPECT_TRUE(Shown[3].WarningText.contains("has changed")) << Shown[3].WarningText.toStdString();
    EXPECT_FALSE(Main().ControlConnectionOpen());
}

TEST_F(TlsSessionTest, PlainOnlyNeverOffersTls)
{
    Connect(cePlainOnly);
    EXPECT_FALSE(Sent("AUTH TLS"));
    EXPECT_TRUE(Shown.empty());
    // vsftpd refuses plain logins here.
    EXPECT_FALSE(Main().lblCurrentServer->text().contains("TLS"));
}
