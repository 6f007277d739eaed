// About box layout and the site link.
#include "dialogs/AboutBox.h"

#include "platform/SystemImageList.h"
#include "platform/UserPlaces.h"

#include <QDesktopServices>
#include <QFrame>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

TAboutBox::TAboutBox(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint)
{
    setObjectName(QStringLiteral("AboutBox"));
    setWindowTitle(QStringLiteral("About"));
    setModal(true);
    platform::EnsureIconTheme();

    auto* panel = new QFrame(this);
    panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);

    ProgramIcon = new QLabel(panel);
    ProgramIcon->setObjectName(QStringLiteral("ProgramIcon"));
    QIcon icon = QIcon::fromTheme(QStringLiteral("ombrex-ftp"),
                                  QIcon::fromTheme(QStringLiteral("folder-remote"),
                                                   QIcon::fromTheme(QStringLiteral("network-server"))));
    ProgramIcon->setPixmap(icon.pixmap(32, 32));
    ProgramIcon->setFixedSize(32, 32);

    ProductName = new QLabel(QStringLiteral("Ombrex FTP"), panel);
    ProductName->setObjectName(QStringLiteral("ProductName"));
    QFont big = ProductName->font();
    big.setBold(true);
    big.setPointSizeF(big.pointSizeF() * 1.5);
    ProductName->setFont(big);

    Version = new QLabel(QStringLiteral("Version 1.0"), panel);
    Version->setObjectName(QStringLiteral("Version"));
    Comments = new QLabel(QStringLiteral("Written by the Ombrex FTP developers"), panel);
    Comments->setObjectName(QStringLiteral("Comments"));

    SiteLabel = new QLabel(QStringLiteral("http://www.ombrex-ftp.example/"), panel);
    SiteLabel->setObjectName(QStringLiteral("SiteLabel"));
    QFont link = SiteLabel->font();
    link.setUnderline(true);
    SiteLabel->setFont(link);
    QPalette palette = SiteLabel->palette();
    palette.setColor(QPalette::WindowText, Qt::blue);
    SiteLabel->setPalette(palette);
    SiteLabel->setCursor(Qt::PointingHandCursor);
    SiteLabel->installEventFilter(this);

    // Which folder this copy uses tells a user where favourites and settings are kept.
    SettingsLabel = new QLabel(QStringLiteral("Settings folder: ")
                                   + QString::fromLocal8Bit(platform::SettingsFolder().c_str()),
                               panel);
    SettingsLabel->setObjectName(QStringLiteral("SettingsLabel"));
    SettingsLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto* head = new QHBoxLayout;
    head->addWidget(ProgramIcon, 0, Qt::AlignTop);
    auto* names = new QVBoxLayout;
    names->addWidget(ProductName);
    names->addWidget(Version);
    head->addLayout(names, 1);

    auto* panelLayout = new QVBoxLayout(panel);
    panelLayout->setContentsMargins(12, 12, 12, 12);
    panelLayout->addLayout(head);
    panelLayout->addSpacing(12);
    panelLayout->addWidget(Comments);
    panelLayout->addWidget(SiteLabel);
    panelLayout->addWidget(SettingsLabel);

    OKButton = new QPushButton(QStringLiteral("OK"), this);
    OKButton->setObjectName(QStringLiteral("OKButton"));
    OKButton->setDefault(true);
    connect(OKButton, &QPushButton::clicked, this, &QDialog::accept);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(panel);
    layout->addWidget(OKButton, 0, Qt::AlignHCenter);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

void TAboutBox::SiteLabelClick()
{
    QDesktopServices::openUrl(QUrl::fromUserInput(SiteLabel->text()));
}

bool TAboutBox::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == SiteLabel && event->type() == QEvent::MouseButtonRelease
        && static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        SiteLabelClick();
        return true;
    }
    return QDialog::eventFilter(watched, event);
}
