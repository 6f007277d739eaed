// Connect dialog layout, and the favourite sites: one "FAV" section per site in the
// settings file, read and written through the private-profile layer on every action.
#include "dialogs/ConnectForm.h"

#include "dialogs/InputDialog.h"
#include "platform/MessageWindow.h"
#include "platform/PrivateProfile.h"
#include "platform/SecretStore.h"
#include "platform/SystemImageList.h"
#include "platform/UserPlaces.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QFrame>
#include <QGuiApplication>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QToolButton>

const char* const ConnectDefaultServerName = "ftp.example.invalid";
const char* const ConnectDefaultPassword = "guest@example.invalid";

namespace {

// Left edge of the favourites panel: the window's width while the panel is hidden.
constexpr int PanelLeft = 296;
constexpr int PanelWidth = 265;
constexpr int FormHeight = 292;
// The favourites key of the encryption choice; a site without it uses the default.
constexpr const char* EncryptionKey = "Encryption";

std::string Local8(const QString& text)
{
    return text.toLocal8Bit().toStdString();
}

QString FromLocal8(const std::string& text)
{
    return QString::fromLocal8Bit(text.data(), qsizetype(text.size()));
}

QIcon ThemeIcon(const char* name, const char* fallback)
{
    return QIcon::fromTheme(QLatin1String(name), QIcon::fromTheme(QLatin1String(fallback)));
}

// A handler bound to a button: what it raises goes to the application's error box, never
// through the event loop.
std::function<void()> Guarded(std::function<void()> handler)
{
    return [handler = std::move(handler)] {
        try {
            handler();
        } catch (...) {
            platform::HandleException(std::current_exception());
        }
    };
}

} // namespace

TConnectForm::TConnectForm(QWidget* parent, const QString& settingsPath)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint
                          | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                          | Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("ConnectForm"));
    setWindowTitle(QStringLiteral("Connect..."));
    setModal(true);
    platform::EnsureIconTheme();
    SetSettingsPath(settingsPath);

    auto label = [this](const char* name, const char* caption, int x, int y, int w) {
        auto* l = new QLabel(QLatin1String(caption), this);
        l->setObjectName(QLatin1String(name));
        l->setGeometry(x, y, w, 18);
        return l;
    };
    auto edit = [this](const char* name, const char* text, int x, int y, int w) {
        auto* e = new QLineEdit(QLatin1String(text), this);
        e->setObjectName(QLatin1String(name));
        e->setGeometry(x, y, w, 24);
        return e;
    };

    QLabel* lblServerName = label("lblServerName", "Server name", 8, 8, 192);
    txtServerName = edit("txtServerName", ConnectDefaultServerName, 8, 26, 192);
    lblServerName->setBuddy(txtServerName);
    QLabel* lblPort = label("lblPort", "Port", 208, 8, 80);
    txtPort = edit("txtPort", "ftp", 208, 26, 80);
    lblPort->setBuddy(txtPort);

    QLabel* lblUserName = label("lblUserName", "User name", 8, 56, 192);
    txtUserName = edit("txtUserName", "Anonymous", 8, 74, 192);
    lblUserName->setBuddy(txtUserName);
    btnAnanymous = new QPushButton(QStringLiteral("Ananymous"), this);
    btnAnanymous->setObjectName(QStringLiteral("btnAnanymous"));
    btnAnanymous->setGeometry(208, 73, 80, 26);

    QLabel* lblPassWord = label("lblPassWord", "PassWord", 8, 104, 192);
    txtPassWord = edit("txtPassWord", ConnectDefaultPassword, 8, 122, 192);
    lblPassWord->setBuddy(txtPassWord);   // shown as typed: the normal echo mode
    chkPassive = new QCheckBox(QStringLiteral("Passive"), this);
    chkPassive->setObjectName(QStringLiteral("chkPassive"));
    chkPassive->setLayoutDirection(Qt::RightToLeft);   // the text stands left of the box
    chkPassive->setGeometry(208, 122, 80, 24);

    QLabel* lblRemoteDir = label("lblRemoteDir", "Remote directory", 8, 152, 192);
    txtRemoteDir = edit("txtRemoteDir", "/", 8, 170, 192);
    lblRemoteDir->setBuddy(txtRemoteDir);

    btnShowHideFavorites = new QToolButton(this);
    btnShowHideFavorites->setObjectName(QStringLiteral("btnShowHideFavorites"));
    btnShowHideFavorites->setText(QStringLiteral("Favorites"));
    btnShowHideFavorites->setIcon(ThemeIcon("user-bookmarks", "starred"));
    btnShowHideFavorites->setIconSize(QSize(24, 24));
    btnShowHideFavorites->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    btnShowHideFavorites->setFocusPolicy(Qt::StrongFocus);
    btnShowHideFavorites->setGeometry(208, 150, 80, 48);

    QLabel* lblEncryption = label("lblEncryption", "Encryption", 8, 200, 280);
    cboEncryption = new QComboBox(this);
    cboEncryption->setObjectName(QStringLiteral("cboEncryption"));
    cboEncryption->addItems({QStringLiteral("Use explicit FTP over TLS if available"),
                             QStringLiteral("Require explicit FTP over TLS"),
                             QStringLiteral("Require implicit FTP over TLS"),
                             QStringLiteral("Only use plain FTP (insecure)")});
    cboEncryption->setCurrentIndex(ceExplicitIfAvailable);
    cboEncryption->setGeometry(8, 218, 280, 26);
    lblEncryption->setBuddy(cboEncryption);

    btnOK = new QPushButton(ThemeIcon("network-transmit-receive", "go-next"),
                            QStringLiteral("Connect"), this);
    btnOK->setObjectName(QStringLiteral("btnOK"));
    btnOK->setDefault(true);
    btnOK->setGeometry(8, 256, 100, 28);
    btnCancel = new QPushButton(QStringLiteral("Cancel"), this);
    btnCancel->setObjectName(QStringLiteral("btnCancel"));
    btnCancel->setGeometry(116, 256, 84, 28);

    bvlFavoritesPanel = new QFrame(this);
    bvlFavoritesPanel->setObjectName(QStringLiteral("bvlFavoritesPanel"));
    bvlFavoritesPanel->setFrameStyle(QFrame::Panel | QFrame::Raised);
    bvlFavoritesPanel->setGeometry(PanelLeft, 4, PanelWidth, FormHeight - 8);
    lstFavorites = new QListWidget(bvlFavoritesPanel);
    lstFavorites->setObjectName(QStringLiteral("lstFavorites"));
    lstFavorites->setSelectionMode(QAbstractItemView::SingleSelection);
    lstFavorites->setSortingEnabled(false);
    lstFavorites->setGeometry(8, 8, 110, FormHeight - 24);
    auto panelButton = [this](const char* name, const char* caption, QIcon icon, int y) {
        auto* b = new QPushButton(icon, QLatin1String(caption), bvlFavoritesPanel);
        b->setObjectName(QLatin1String(name));
        b->setGeometry(126, y, 131, 28);
        return b;
    };
    btnOpenCurent = panelButton("btnOpenCurent", "Open", ThemeIcon("document-open", "go-next"), 8);
    btnSaveCurrent = panelButton("btnSaveCurrent", "Add to favorites",
                                 ThemeIcon("bookmark-new", "list-add"), 42);
    btnKillCurrent = panelButton("btnKillCurrent", "Delete", ThemeIcon("edit-delete", "process-stop"), 76);
    chkKeyring = new QCheckBox(QStringLiteral("Password in keyring"), bvlFavoritesPanel);
    chkKeyring->setObjectName(QStringLiteral("chkKeyring"));
    chkKeyring->setToolTip(QStringLiteral("Keep the password of a saved site in the desktop's keyring "
                                          "instead of the settings file"));
    chkKeyring->setGeometry(126, 112, 131, 24);

    setTabOrder(txtServerName, btnShowHideFavorites);
    setTabOrder(btnShowHideFavorites, txtUserName);
    setTabOrder(txtUserName, btnAnanymous);
    setTabOrder(btnAnanymous, txtPassWord);
    setTabOrder(txtPassWord, btnOK);
    setTabOrder(btnOK, btnCancel);
    setTabOrder(btnCancel, lstFavorites);
    setTabOrder(lstFavorites, btnOpenCurent);
    setTabOrder(btnOpenCurent, btnSaveCurrent);
    setTabOrder(btnSaveCurrent, btnKillCurrent);
    setTabOrder(btnKillCurrent, txtRemoteDir);
    setTabOrder(txtRemoteDir, txtPort);
    setTabOrder(txtPort, chkPassive);
    setTabOrder(chkPassive, cboEncryption);
    setTabOrder(cboEncryption, chkKeyring);

    connect(btnOK, &QPushButton::clicked, this, &QDialog::accept);
    connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(btnAnanymous, &QPushButton::clicked, this, Guarded([this] { btnAnanymousClick(); }));
    connect(btnShowHideFavorites, &QToolButton::clicked, this,
            Guarded([this] { btnShowHideFavoritesClick(); }));
    connect(btnOpenCurent, &QPushButton::clicked, this, Guarded([this] { btnOpenCurentClick(); }));
    connect(btnSaveCurrent, &QPushButton::clicked, this, Guarded([this] { btnSaveCurrentClick(); }));
    connect(btnKillCurrent, &QPushButton::clicked, this, Guarded([this] { btnKillCurrentClick(); }));

    FormCreate();
}

QString TConnectForm::DefaultSettingsPath()
{
    return QString::fromLocal8Bit(platform::SettingsFilePath("OFTP.ini").c_str());
}

void TConnectForm::SetSettingsPath(const QString& path)
{
    FSettingsPath = path.isEmpty() ? DefaultSettingsPath() : path;
}

platform::TSecretKey TConnectForm::SecretKey(const std::string& section, const platform::TPrivateProfile& ini)
{
    return {section.substr(3), ini.ReadString(section, "Server", ""), ini.ReadString(section, "User", "Anonymous")};
}

int TConnectForm::ShowModal()
{
    return OnShowModal ? OnShowModal() : exec();
}

int TConnectForm::RunModal(QDialog& box)
{
    return OnRunModal ? OnRunModal(box) : box.exec();
}

TInputDialog& TConnectForm::Input()
{
    if (InputDialog)
        return *InputDialog;
    if (!FOwnInputDialog)
        FOwnInputDialog = new TInputDialog(this);
    return *FOwnInputDialog;
}

void TConnectForm::SetWidth(int width)
{
    setFixedSize(width, FormHeight);
}

void TConnectForm::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame = geometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
    if (!focusWidget())
        txtServerName->setFocus();
}

void TConnectForm::FormCreate()
{
    bvlFavoritesPanel->hide();
    SetWidth(bvlFavoritesPanel->x());
    LoadFavorites();
}

void TConnectForm::btnAnanymousClick()
{
    txtUserName->setText(QStringLiteral("Anonymous"));
}

void TConnectForm::btnShowHideFavoritesClick()
{
    // isHidden, not isVisible: the panel's own state, also while the dialog is not shown.
    if (!bvlFavoritesPanel->isHidden()) {
        bvlFavoritesPanel->hide();
        SetWidth(bvlFavoritesPanel->x());
    } else {
        bvlFavoritesPanel->show();
        SetWidth(bvlFavoritesPanel->x() + bvlFavoritesPanel->width() + 8);
    }
}

void TConnectForm::LoadFavorites()
{
    platform::TPrivateProfile ini(Local8(FSettingsPath));
    std::vector<std::string> sections = ini.ReadSections();
    lstFavorites->clear();
    for (const std::string& section : sections) {
        QString name = FromLocal8(section);
        if (name.left(3).toUpper() == QLatin1String("FAV"))
            lstFavorites->addItem(name.mid(3));
    }
}

void TConnectForm::btnOpenCurentClick()
{
    QList<QListWidgetItem*> selected = lstFavorites->selectedItems();
    if (selected.isEmpty())
        return;
    platform::TPrivateProfile ini(Local8(FSettingsPath));
    std::string section = Local8(QStringLiteral("FAV") + selected.first()->text());
    auto read = [&](const char* key, const std::string& defaultValue) {
        return FromLocal8(ini.ReadString(section, key, defaultValue));
    };
    txtServerName->setText(read("Server", ""));
    txtUserName->setText(read("User", "Anonymous"));
    txtPassWord->setText(read("Psw", ConnectDefaultPassword));
    // A password kept in the keyring comes from there; without a service the file's
    // value (empty) stands.
    chkKeyring->setChecked(ini.ReadInteger(section, "PswInKeyring", 0) != 0);
    if (chkKeyring->isChecked()) {
        std::string secret;
        if (platform::LookupSecret(SecretKey(section, ini), secret))
            txtPassWord->setText(FromLocal8(secret));
    }
    txtPort->setText(read("Port", "ftp"));
    txtRemoteDir->setText(read("RemoteDir", "/"));
    chkPassive->setChecked(ini.ReadInteger(section, "Passive", 0) != 0);
    int encryption = ini.ReadInteger(section, EncryptionKey, ceExplicitIfAvailable);
    cboEncryption->setCurrentIndex(encryption >= ceExplicitIfAvailable && encryption <= cePlainOnly
                                       ? encryption
                                       : ceExplicitIfAvailable);
}

void TConnectForm::btnSaveCurrentClick()
{
    platform::TPrivateProfile ini(Local8(FSettingsPath));
    // The list shows the file as it is afterwards, also after a refused write.
    struct TReload {
        TConnectForm* Form;
        ~TReload() { Form->LoadFavorites(); }
    } reload{this};

    TInputDialog& input = Input();
    input.Prepare(QStringLiteral("Site name:"), QStringLiteral("Add to favorites"), QString());
    if (RunModal(input) != QDialog::Accepted)
        return;
    std::string section = Local8(QStringLiteral("FAV") + input.txtResult->text());
    ini.WriteString(section, "Server", Local8(txtServerName->text()));
    QMessageBox question(QMessageBox::Question, QStringLiteral("Ombrex FTP"),
                         QStringLiteral("Save username and password?"),
                         QMessageBox::Yes | QMessageBox::No, this);
    question.setDefaultButton(QMessageBox::Yes);
    question.setEscapeButton(QMessageBox::No);
    if (RunModal(question) == QMessageBox::Yes) {
        ini.WriteString(section, "User", Local8(txtUserName->text()));
        const platform::TSecretKey key{section.substr(3), Local8(txtServerName->text()), Local8(txtUserName->text())};
        const bool service = (chkKeyring->isChecked() || !FKeyringNoted) && platform::SecretServiceAvailable();
        if (chkKeyring->isChecked() && service && platform::StoreSecret(key, Local8(txtPassWord->text()))) {
            // The file keeps no trace of the password, only where it is.
            ini.WriteString(section, "Psw", "");
            ini.WriteString(section, "PswInKeyring", "1");
        } else {
            ini.WriteString(section, "Psw", Local8(txtPassWord->text()));
            if (ini.ReadInteger(section, "PswInKeyring", 0) != 0) {
                // The keyring must not keep an old password the file no longer points to.
                platform::ClearSecret(key);
                ini.WriteString(section, "PswInKeyring", "0");
            }
            if (!service && !FKeyringNoted) {
                FKeyringNoted = true;
                if (OnUserNote)
                    OnUserNote(QStringLiteral("No keyring (secret service) is running: saved passwords are kept in ")
                               + FSettingsPath + QStringLiteral(", readable only by you"));
            }
        }
    }
    ini.WriteString(section, "Port", Local8(txtPort->text()));
    ini.WriteString(section, "Passive", chkPassive->isChecked() ? "1" : "0");
    ini.WriteString(section, "RemoteDir", Local8(txtRemoteDir->text()));
    // The default needs no key: sites stored before encryption existed mean it too.
    if (cboEncryption->currentIndex() != ceExplicitIfAvailable || !ini.ReadString(section, EncryptionKey, "").empty())
        ini.WriteString(section, EncryptionKey, std::to_string(cboEncryption->currentIndex()));
}

void TConnectForm::btnKillCurrentClick()
{
    QList<QListWidgetItem*> selected = lstFavorites->selectedItems();
    if (selected.isEmpty())
        return;
    platform::TPrivateProfile ini(Local8(FSettingsPath));
    const std::string section = Local8(QStringLiteral("FAV") + selected.first()->text());
    if (ini.ReadInteger(section, "PswInKeyring", 0) != 0)
        platform::ClearSecret(SecretKey(section, ini));
    ini.EraseSection(section);
    LoadFavorites();
}
