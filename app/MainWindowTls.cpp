// TMainWindow: FTP over TLS in the window: the certificate decision (trusted-certificates
// file, then the certificate dialog) and the server label with protocol and cipher.
#include "app/MainWindow.h"

#include "app/ByteText.h"
#include "dialogs/CertificateForm.h"
#include "platform/TrustedCertificates.h"

#include <QLabel>
#include <QMessageBox>

TCertificateForm& TMainWindow::CertificateDialog()
{
    if (!FCertificateForm)
        FCertificateForm = new TCertificateForm(this);
    return *FCertificateForm;
}

void TMainWindow::FtpClient1CertificateCheck(const TSslCertificateInfo& Info, bool& Accept)
{
    Accept = false;
    TFtpClient& client = *FtpClient1;
    const std::string host = client.HostName();
    const std::string port = client.ControlSocket()->Port();
    const std::string file = BytesFromText(TrustedCertificatesPath);
    auto trust = platform::LookupTrustedCertificate(file, host, port, Info.Fingerprint);
    if (trust == platform::TCertificateTrust::Trusted) {
        LogUser(QStringLiteral("Certificate trusted before: ") + TextFromBytes(Info.Fingerprint), lkStatus);
        Accept = true;
        return;
    }
    TCertificateView view;
    view.Host = TextFromBytes(host + ":" + port);
    view.Subject = TextFromBytes(Info.Subject);
    view.Issuer = TextFromBytes(Info.Issuer);
    view.NotBefore = TextFromBytes(Info.NotBefore);
    view.NotAfter = TextFromBytes(Info.NotAfter);
    view.Fingerprint = TextFromBytes(Info.Fingerprint);
    view.Reason = TextFromBytes(Info.VerifyError);
    view.Changed = trust == platform::TCertificateTrust::Changed;
    if (view.Changed)
        LogUser(QStringLiteral("The certificate of ") + view.Host + QStringLiteral(" has changed!"), lkWarning);
    TCertificateForm& form = CertificateDialog();
    form.Prepare(view);
    switch (form.ShowModal()) {
    case ccTrustAlways: {
        std::string error;
        if (!platform::StoreTrustedCertificate(file, host, port, Info.Fingerprint, error))
            LogUser(TextFromBytes(error), lkError);   // trusted for this session all the same
        Accept = true;
        break;
    }
    case ccTrustOnce:
        Accept = true;
        break;
    default:
        // The engine closes the connection before any login: that close is ours.
        ExpectClose = true;
        LogUser(QStringLiteral("Certificate not trusted: connection cancelled"), lkStatus);
        break;
    }
}

void TMainWindow::ShowServerLabel()
{
    const QString host = TextFromBytes(FtpClient1->HostName());
    const std::string tls = FtpClient1->TlsDescription();
    lblCurrentServer->setText(tls.empty() ? host : host + QStringLiteral(" (") + TextFromBytes(tls) + QStringLiteral(")"));
    lblCurrentServer->setToolTip(tls.empty() ? QString() : QStringLiteral("Encrypted: ") + TextFromBytes(tls));
}
