// The connect dialog: server, port, user, password, passive mode and remote directory,
// with the favourite sites kept in the settings file "/OFTP.ini" beside the program.
#pragma once

#include <QDialog>
#include <QPointer>

#include "platform/PrivateProfile.h"
#include "platform/SecretStore.h"

#include <functional>

class QCheckBox;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QToolButton;
class TInputDialog;

// The first server name: a host name that names no real server.
extern const char* const ConnectDefaultServerName;
// The first password and the default of a stored site's "Psw": the customary anonymous
// password, an e-mail address that names nobody.
extern const char* const ConnectDefaultPassword;

// The choices of cboEncryption, in its order (the favourites store the index as "Encryption").
enum TConnectEncryption : int {
    ceExplicitIfAvailable = 0,   // "Use explicit FTP over TLS if available" (the default)
    ceRequireExplicit = 1,       // "Require explicit FTP over TLS"
    ceRequireImplicit = 2,       // "Require implicit FTP over TLS"
    cePlainOnly = 3,             // "Only use plain FTP (insecure)"
};

// Modal dialog that names the server to connect to. The main window shows it with
// ShowModal() and, only when that returns QDialog::Accepted, reads txtServerName,
// txtPort, txtUserName, txtPassWord, chkPassive, txtRemoteDir and cboEncryption as they stand. Created
// once and reused: the fields keep what they held when it was last closed.
class TConnectForm : public QDialog {
public:
    // Builds the dialog and runs FormCreate. settingsPath names the favourites file;
    // empty = DefaultSettingsPath().
    explicit TConnectForm(QWidget* parent = nullptr, const QString& settingsPath = QString());

    QLineEdit* txtServerName;        // server host name or address
    QLineEdit* txtPort;              // service name or number, passed on as text ("ftp")
    QCheckBox* chkPassive;           // "Passive", text left of the box, unchecked at first
    QLineEdit* txtUserName;          // "Anonymous" at first
    QPushButton* btnAnanymous;       // "Ananymous": puts "Anonymous" into txtUserName
    QLineEdit* txtPassWord;          // shown as typed, no masking
    QLineEdit* txtRemoteDir;         // "/": the directory changed to after logging in
    QPushButton* btnOK;              // "Connect", the default button: accepts
    QPushButton* btnCancel;          // "Cancel": rejects
    QToolButton* btnShowHideFavorites;   // "Favorites": shows or hides the panel
    QFrame* bvlFavoritesPanel;       // the favourites panel at the right
    QPushButton* btnOpenCurent;      // "Open": loads the selected site into the fields
    QPushButton* btnSaveCurrent;     // "Add to favorites": stores the fields as a site
    QPushButton* btnKillCurrent;     // "Delete": removes the selected site
    QListWidget* lstFavorites;       // site names, single selection, unsorted
    // "Password in keyring": a site saved with its password keeps it in the desktop's
    // secret service (when one runs) instead of the settings file; unchecked at first.
    QCheckBox* chkKeyring;
    QComboBox* cboEncryption;        // FTP over TLS, one of TConnectEncryption; last in the tab order

    // The shared one-line input dialog, set by start-up; when empty the dialog uses one
    // of its own.
    QPointer<TInputDialog> InputDialog;

    // Replaces exec() of every box this dialog opens (the site-name prompt and the
    // user-name question) and returns what exec() would: tests answer them this way.
    // Empty = exec().
    std::function<int(QDialog& box)> OnRunModal;
    // A note for the user log (the main window wires it): told once per run when a
    // password goes to the settings file because no secret service runs.
    std::function<void(const QString& text)> OnUserNote;
    // Replaces exec() of this dialog in ShowModal() (tests of its callers). Empty = exec().
    std::function<int()> OnShowModal;

    // Shows the dialog modally; QDialog::Accepted when the user pressed "Connect".
    int ShowModal();

    // The favourites file this dialog reads and writes.
    QString SettingsPath() const { return FSettingsPath; }
    // Names another favourites file (tests); empty = the one beside the program.
    void SetSettingsPath(const QString& path);
    // The default favourites file: "/OFTP.ini" in the folder where settings live (beside
    // the program for portable use, the user's configuration folder otherwise).
    static QString DefaultSettingsPath();

    // ---- Handlers; those that write raise platform::EIniFileException on failure. ----
    // Hides the favourites panel, narrows the window to the fields, fills the list.
    void FormCreate();
    void btnAnanymousClick();
    void btnShowHideFavoritesClick();
    void btnOpenCurentClick();
    void btnSaveCurrentClick();
    void btnKillCurrentClick();
    // Refills lstFavorites with the sites of the settings file, in file order.
    void LoadFavorites();

protected:
    void showEvent(QShowEvent* event) override;

private:
    // The keyring entry of a stored site: its name without "FAV", its server and user.
    static platform::TSecretKey SecretKey(const std::string& section, const platform::TPrivateProfile& ini);
    int RunModal(QDialog& box);
    TInputDialog& Input();
    void SetWidth(int width);

    QString FSettingsPath;
    TInputDialog* FOwnInputDialog = nullptr;
    bool FKeyringNoted = false;   // the note about the missing keyring was given
};
