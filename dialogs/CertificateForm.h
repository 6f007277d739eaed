// The certificate dialog: a server's certificate that failed verification, why it failed,
// and the user's decision (trust it always, this once, or end the connection).
#pragma once

#include <QDialog>
#include <QString>

#include <cstdint>
#include <functional>

class QLabel;
class QPushButton;

// The answers, one per button.
constexpr std::int32_t ccTrustAlways = 1;   // "Trust always": remember host, port and fingerprint
constexpr std::int32_t ccTrustOnce = 2;     // "Trust once": this session only
constexpr std::int32_t ccCancel = 0;        // "Cancel": end the connection, nothing is sent

// What the dialog shows.
struct TCertificateView {
    QString Host;          // host:port the user connects to
    QString Subject;
    QString Issuer;
    QString NotBefore;
    QString NotAfter;
    QString Fingerprint;   // SHA-256
    QString Reason;        // why verification failed
    bool Changed = false;  // a different certificate was trusted for this host before
};

// Modal dialog that collects one decision. The caller fills it with Prepare(), calls
// ShowModal() and reads Choice. Created once and reused.
class TCertificateForm : public QDialog {
public:
    explicit TCertificateForm(QWidget* parent = nullptr);

    QLabel* lblWarning;        // the changed-certificate warning; hidden otherwise
    QLabel* lblHost;
    QLabel* lblSubject;
    QLabel* lblIssuer;
    QLabel* lblValidity;
    QLabel* lblFingerprint;
    QLabel* lblReason;
    QPushButton* btnTrustAlways;   // "Trust always"
    QPushButton* btnTrustOnce;     // "Trust once"
    QPushButton* btnCancel;        // "Cancel", the default and the escape button

    // The answer; ccCancel until a trust button is pressed.
    std::int32_t Choice = ccCancel;

    // Shows View in the labels and resets Choice.
    void Prepare(const TCertificateView& View);
    // Replaces exec() in ShowModal() (tests answer the dialog this way). Empty = exec().
    std::function<int()> OnShowModal;
    // Shows the dialog modally and returns Choice.
    std::int32_t ShowModal();
};
