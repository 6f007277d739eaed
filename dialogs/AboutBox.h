// The about box: program icon, name, version, maker and a link to the product's page.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

// Modal about box; clicking the site label opens its address with the desktop's browser.
class TAboutBox : public QDialog {
public:
    explicit TAboutBox(QWidget* parent = nullptr);

    QLabel* ProgramIcon;   // the program's 32 by 32 icon
    QLabel* ProductName;   // "Ombrex FTP", bold and larger
    QLabel* Version;       // "Version 1.0"
    QLabel* Comments;      // a line about the maker
    QLabel* SiteLabel;     // the product page's address, blue and underlined
    QLabel* SettingsLabel; // "Settings folder: " and the folder where settings live
    QPushButton* OKButton; // closes the box

    // Opens the text of SiteLabel with the desktop's default handler; the result is ignored.
    void SiteLabelClick();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};
