// The certificate dialog: labels in a grid, three buttons, Cancel the safe default.
#include "dialogs/CertificateForm.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

TCertificateForm::TCertificateForm(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("CertificateForm"));
    setWindowTitle(QStringLiteral("Server certificate"));
    setModal(true);

    auto* layout = new QVBoxLayout(this);
    lblWarning = new QLabel(this);
    lblWarning->setObjectName(QStringLiteral("lblWarning"));
    lblWarning->setWordWrap(true);
    lblWarning->setStyleSheet(QStringLiteral("color: maroon; font-weight: bold"));
    layout->addWidget(lblWarning);

    auto* intro = new QLabel(QStringLiteral("The server's certificate could not be verified."), this);
    intro->setWordWrap(true);
    layout->addWidget(intro);

    auto* grid = new QGridLayout;
    auto row = [&](int r, const char* caption, const char* name) {
        grid->addWidget(new QLabel(QLatin1String(caption), this), r, 0, Qt::AlignTop);
        auto* value = new QLabel(this);
        value->setObjectName(QLatin1String(name));
        value->setWordWrap(true);
        value->setTextInteractionFlags(Qt::TextSelectableByMouse);
        grid->addWidget(value, r, 1);
        return value;
    };
    lblHost = row(0, "Server:", "lblHost");
    lblSubject = row(1, "Subject:", "lblSubject");
    lblIssuer = row(2, "Issuer:", "lblIssuer");
    lblValidity = row(3, "Valid:", "lblValidity");
    lblFingerprint = row(4, "SHA-256 fingerprint:", "lblFingerprint");
    lblReason = row(5, "Reason:", "lblReason");
    layout->addLayout(grid);

    auto* buttons = new QHBoxLayout;
    btnTrustAlways = new QPushButton(QStringLiteral("Trust always"), this);
    btnTrustAlways->setObjectName(QStringLiteral("btnTrustAlways"));
    btnTrustOnce = new QPushButton(QStringLiteral("Trust once"), this);
    btnTrustOnce->setObjectName(QStringLiteral("btnTrustOnce"));
    btnCancel = new QPushButton(QStringLiteral("Cancel"), this);
    btnCancel->setObjectName(QStringLiteral("btnCancel"));
    btnCancel->setDefault(true);
    buttons->addStretch();
    buttons->addWidget(btnTrustAlways);
    buttons->addWidget(btnTrustOnce);
    buttons->addWidget(btnCancel);
    layout->addLayout(buttons);

    connect(btnTrustAlways, &QPushButton::clicked, this, [this] {
        Choice = ccTrustAlways;
        accept();
    });
    connect(btnTrustOnce, &QPushButton::clicked, this, [this] {
        Choice = ccTrustOnce;
        accept();
    });
    connect(btnCancel, &QPushButton::clicked, this, [this] {
        Choice = ccCancel;
        reject();
    });
}

void TCertificateForm::Prepare(const TCertificateView& View)
{
    Choice = ccCancel;
    lblWarning->setVisible(View.Changed);
    lblWarning->setText(View.Changed ? QStringLiteral("WARNING: the certificate of this server has changed since "
                                                      "you trusted it. Somebody may be intercepting the connection.")
                                     : QString());
    lblHost->setText(View.Host);
    lblSubject->setText(View.Subject);
    lblIssuer->setText(View.Issuer);
    lblValidity->setText(View.NotBefore + QStringLiteral(" to ") + View.NotAfter);
    lblFingerprint->setText(View.Fingerprint);
    lblReason->setText(View.Reason);
    btnCancel->setFocus();
}

std::int32_t TCertificateForm::ShowModal()
{
    if (OnShowModal)
        OnShowModal();
    else
        exec();
    return Choice;
}
