// The connect dialog: widgets, first texts, tab order, what Connect and Cancel leave, and
// the favourite sites against real settings files (written by the dialog and by hand).
#include "dialogs/ConnectForm.h"

#include "ModalScript.h"
#include "dialogs/InputDialog.h"
#include "platform/MessageWindow.h"
#include "platform/PrivateProfile.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include <sys/stat.h>

namespace {

// One answer to each box the dialog opens, in order; records what was asked.
struct TAnswers {
    struct TAsked {
        QString Caption;
        QString Text;        // the prompt or the question
        QString Initial;     // the input dialog's initial text
        QString FileAtAsk;   // the settings file when the box opened
    };
    std::vector<int> Results;        // QDialog::Accepted/Rejected, QMessageBox::Yes/No
    std::vector<QString> Texts;      // what is "typed" into the input dialog
    std::vector<TAsked> Asked;
};

class ConnectFormTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Temp.isValid());
        Path = Temp.filePath("OFTP.ini");
        Form = std::make_unique<TConnectForm>(nullptr, Path);
        Form->InputDialog = &Input;
        Form->OnRunModal = [this](QDialog& box) { return Answer(box); };
    }
    void TearDown() override { platform::SetExceptionHandler(nullptr); }

    int Answer(QDialog& box)
    {
        TAnswers::TAsked asked{box.windowTitle(), {}, {}, Read()};
        if (auto* input = dynamic_cast<TInputDialog*>(&box)) {
            asked.Text = input->lblPrompt->text();
            asked.Initial = input->txtResult->text();
            if (!Answers.Texts.empty()) {
                input->txtResult->setText(Answers.Texts.front());
                Answers.Texts.erase(Answers.Texts.begin());
            }
        } else if (auto* question = qobject_cast<QMessageBox*>(&box)) {
            asked.Text = question->text();
        }
        Answers.Asked.push_back(asked);
        if (Answers.Results.empty()) {
            ADD_FAILURE() << "unexpected box " << box.windowTitle().toStdString();
            return QDialog::Rejected;
        }
        int result = Answers.Results.front();
        Answers.Results.erase(Answers.Results.begin());
        return result;
    }

    // Adds the current fields as site name, answering the user-name question.
    void AddSite(const QString& name, bool saveUser)
    {
        Answers.Results = {QDialog::Accepted, saveUser ? QMessageBox::Yes : QMessageBox::No};
        Answers.Texts = {name};
        Form->btnSaveCurrentClick();
    }

    void Write(const QByteArray& text)
    {
        QFile file(Path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text);
    }
    QString Read() const
    {
        QFile file(Path);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString("<none>");
    }
    QStringList Sites() const
    {
        QStringList names;
        for (int i = 0; i < Form->lstFavorites->count(); ++i)
            names << Form->lstFavorites->item(i)->text();
        return names;
    }
    void Select(const QString& name)
    {
        auto found = Form->lstFavorites->findItems(name, Qt::MatchExactly);
        ASSERT_EQ(found.size(), 1) << name.toStdString();
        Form->lstFavorites->setCurrentItem(found.first());
    }
    void SetFields(const QString& server, const QString& port, const QString& user,
                   const QString& password, bool passive, const QString& dir)
    {
        Form->txtServerName->setText(server);
        Form->txtPort->setText(port);
        Form->txtUserName->setText(user);
        Form->txtPassWord->setText(password);
        Form->chkPassive->setChecked(passive);
        Form->txtRemoteDir->setText(dir);
    }
    QStringList Fields() const
    {
        return {Form->txtServerName->text(), Form->txtPort->text(), Form->txtUserName->text(),
                Form->txtPassWord->text(), Form->chkPassive->isChecked() ? "passive" : "active",
                Form->txtRemoteDir->text()};
    }

    QTemporaryDir Temp;
    QString Path;
    TInputDialog Input;
    std::unique_ptr<TConnectForm> Form;
    TAnswers Answers;
};

const QString Placeholder = QString::fromLatin1(ConnectDefaultPassword);

} // namespace

// ---- widgets ----

TEST_F(ConnectFormTest, CaptionWidgetsAndFirstTexts)
{
    TConnectForm& f = *Form;
    EXPECT_EQ(f.windowTitle(), "Connect...");
    EXPECT_TRUE(f.isModal());
    EXPECT_FALSE(f.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
    EXPECT_TRUE(f.windowFlags() & Qt::WindowSystemMenuHint);
    EXPECT_EQ(f.minimumSize(), f.maximumSize()) << "fixed border";

    EXPECT_EQ(f.txtServerName->text(), ConnectDefaultServerName);
    EXPECT_TRUE(f.txtServerName->text().endsWith(".invalid")) << "names no real server";
    EXPECT_EQ(f.txtPort->text(), "ftp");
    EXPECT_LT(f.txtPort->width(), f.txtServerName->width());
    EXPECT_EQ(f.chkPassive->text(), "Passive");
    EXPECT_FALSE(f.chkPassive->isChecked());
    EXPECT_EQ(f.chkPassive->layoutDirection(), Qt::RightToLeft) << "text left of the box";
    EXPECT_EQ(f.txtUserName->text(), "Anonymous");
    EXPECT_EQ(f.btnAnanymous->text(), "Ananymous");
    EXPECT_EQ(f.txtPassWord->text(), Placeholder);
    EXPECT_TRUE(Placeholder.contains('@'));
    EXPECT_EQ(f.txtPassWord->echoMode(), QLineEdit::Normal) << "shown as typed";
    EXPECT_EQ(f.txtRemoteDir->text(), "/");
    EXPECT_EQ(f.btnOK->text(), "Connect");
    EXPECT_TRUE(f.btnOK->isDefault());
    EXPECT_FALSE(f.btnOK->icon().isNull());
    EXPECT_EQ(f.btnCancel->text(), "Cancel");
    EXPECT_EQ(f.btnShowHideFavorites->text(), "Favorites");
    EXPECT_EQ(f.btnShowHideFavorites->toolButtonStyle(), Qt::ToolButtonTextUnderIcon);
    EXPECT_EQ(f.btnOpenCurent->text(), "Open");
    EXPECT_EQ(f.btnSaveCurrent->text(), "Add to favorites");
    EXPECT_EQ(f.btnKillCurrent->text(), "Delete");
    for (QWidget* child : {(QWidget*)f.lstFavorites, (QWidget*)f.btnOpenCurent,
                           (QWidget*)f.btnSaveCurrent, (QWidget*)f.btnKillCurrent})
        EXPECT_EQ(child->parentWidget(), f.bvlFavoritesPanel);
    EXPECT_EQ(f.lstFavorites->selectionMode(), QAbstractItemView::SingleSelection);
    EXPECT_FALSE(f.lstFavorites->isSortingEnabled());

    QStringList labels;
    for (QLabel* label : f.findChildren<QLabel*>())
        labels << label->text();
    for (const char* caption : {"Server name", "Port", "User name", "PassWord", "Remote directory"})
        EXPECT_TRUE(labels.contains(caption)) << caption;

    // FormCreate: the panel hidden, the window as wide as the panel's left edge.
    EXPECT_TRUE(f.bvlFavoritesPanel->isHidden());
    EXPECT_EQ(f.bvlFavoritesPanel->x(), 296);
    EXPECT_EQ(f.bvlFavoritesPanel->width(), 265);
    EXPECT_EQ(f.width(), 296);
}

TEST_F(ConnectFormTest, FavoritesButtonTogglesPanelAndWidth)
{
    const int widths[] = {569, 296, 569};
    for (int width : widths) {
        QTest::mouseClick(Form->btnShowHideFavorites, Qt::LeftButton);
        EXPECT_EQ(Form->width(), width);
        EXPECT_EQ(Form->bvlFavoritesPanel->isHidden(), width == 296);
    }
}

TEST_F(ConnectFormTest, TabOrder)
{
    TConnectForm& f = *Form;
    const std::vector<QWidget*> hidden = {f.txtServerName, f.btnShowHideFavorites, f.txtUserName,
                                          f.btnAnanymous, f.txtPassWord, f.btnOK, f.btnCancel,
                                          f.txtRemoteDir, f.txtPort, f.chkPassive, f.cboEncryption,
                                          f.txtServerName};
    const std::vector<QWidget*> shown = {
        f.txtServerName, f.btnShowHideFavorites, f.txtUserName, f.btnAnanymous, f.txtPassWord,
        f.btnOK, f.btnCancel, f.lstFavorites, f.btnOpenCurent, f.btnSaveCurrent, f.btnKillCurrent,
        f.txtRemoteDir, f.txtPort, f.chkPassive, f.cboEncryption, f.chkKeyring, f.txtServerName};
    f.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&f));
    EXPECT_EQ(f.focusWidget(), f.txtServerName) << "first in tab order has the focus";
    for (const auto* order : {&hidden, &shown}) {
        if (order == &shown)
            f.btnShowHideFavoritesClick();
        f.txtServerName->setFocus();
        std::vector<QWidget*> walked = {QApplication::focusWidget()};
        for (std::size_t i = 1; i < order->size(); ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            walked.push_back(QApplication::focusWidget());
        }
        for (std::size_t i = 0; i < order->size(); ++i)
            EXPECT_EQ(walked[i], (*order)[i])
                << "step " << i << ": " << (walked[i] ? walked[i]->objectName().toStdString() : "none");
    }
}

TEST_F(ConnectFormTest, AnanymousSetsOnlyTheUserName)
{
    Form->txtUserName->setText("someone");
    Form->txtPassWord->setText("kept");
    QTest::mouseClick(Form->btnAnanymous, Qt::LeftButton);
    EXPECT_EQ(Form->txtUserName->text(), "Anonymous");
    EXPECT_EQ(Form->txtPassWord->text(), "kept");
}

TEST_F(ConnectFormTest, ConnectAcceptsAndFieldsStayForTheNextShow)
{
    struct Case {
        const char* how;
        std::function<void(TConnectForm&)> act;
        int result;
    };
    const Case cases[] = {
        {"Connect button", [](TConnectForm& f) { QTest::mouseClick(f.btnOK, Qt::LeftButton); },
         QDialog::Accepted},
        {"Enter in the port", [](TConnectForm& f) { QTest::keyClick(f.txtPort, Qt::Key_Return); },
         QDialog::Accepted},
        {"Enter in the remote directory",
         [](TConnectForm& f) { QTest::keyClick(f.txtRemoteDir, Qt::Key_Enter); }, QDialog::Accepted},
        {"Cancel button", [](TConnectForm& f) { QTest::mouseClick(f.btnCancel, Qt::LeftButton); },
         QDialog::Rejected},
        {"Escape", [](TConnectForm& f) { QTest::keyClick(f.txtServerName, Qt::Key_Escape); },
         QDialog::Rejected},
    };
    SetFields(" host with blanks ", "2121", "", "", true, "");
    const QStringList typed = Fields();
    for (const Case& c : cases) {
        TModalScript script;
        script.Then("Connect...", [&](QWidget*) { c.act(*Form); });
        EXPECT_EQ(Form->ShowModal(), c.result) << c.how;
        EXPECT_EQ(Fields(), typed) << c.how << ": taken as they stand, kept for the next show";
    }
}

TEST_F(ConnectFormTest, SettingsFileBesideTheProgram)
{
    EXPECT_EQ(TConnectForm::DefaultSettingsPath(),
              QCoreApplication::applicationDirPath() + "/OFTP.ini");
    TConnectForm plain;
    EXPECT_EQ(plain.SettingsPath(), TConnectForm::DefaultSettingsPath());
    EXPECT_EQ(Form->SettingsPath(), Path);
}

// ---- favourites read from files written by hand ----

TEST_F(ConnectFormTest, ListShowsFavSectionsWhateverTheCaseOfThePrefix)
{
    Write("[Settings]\nx=1\n[favMy Site]\nServer=a\n[FAVSecond]\n[FA]\n[fAv]\n[FAVOURITES]\n"
          "[Other FAV]\n");
    Form->LoadFavorites();
    EXPECT_EQ(Sites(), (QStringList{"My Site", "Second", "", "OURITES"}));
}

TEST_F(ConnectFormTest, MissingFileGivesAnEmptyList)
{
    Form->LoadFavorites();
    EXPECT_TRUE(Sites().isEmpty());
    EXPECT_FALSE(QFile::exists(Path));
}

TEST_F(ConnectFormTest, OpenReadsTheSiteWithDefaults)
{
    struct Case {
        const char* name;
        const char* section;   // the lines below "[<name>]"
        QStringList fields;    // server, port, user, password, passive, directory
    };
    const Case cases[] = {
        {"FAVfull", "Server=ftp.one\nUser=me\nPsw=pw\nPort=2121\nPassive=1\nRemoteDir=/pub\n",
         {"ftp.one", "2121", "me", "pw", "passive", "/pub"}},
        {"FAVno login", "Server=ftp.two\nPort=21\nPassive=0\nRemoteDir=/\n",
         {"ftp.two", "21", "Anonymous", Placeholder, "active", "/"}},
        {"FAVempty", "", {"", "ftp", "Anonymous", Placeholder, "active", "/"}},
        {"favlower", "server=low\npassive=0x1\n", {"low", "ftp", "Anonymous", Placeholder, "passive", "/"}},
        {"FAVhex upper", "Passive=0X10\n", {"", "ftp", "Anonymous", Placeholder, "passive", "/"}},
        {"FAVword", "Passive=yes\n", {"", "ftp", "Anonymous", Placeholder, "active", "/"}},
        {"FAVnegative", "Passive=-1\n", {"", "ftp", "Anonymous", Placeholder, "passive", "/"}},
        {"FAVblank values", "Server=\nUser=\nPsw=\n", {"", "ftp", "", "", "active", "/"}},
    };
    QByteArray text;
    for (const Case& c : cases)
        text += QByteArray("[") + c.name + "]\n" + c.section;
    Write(text);
    Form->LoadFavorites();
    for (const Case& c : cases) {
        SetFields("x", "x", "x", "x", true, "x");   // every field must be overwritten
        Select(QString::fromLatin1(c.name).mid(3));
        QTest::mouseClick(Form->btnOpenCurent, Qt::LeftButton);
        EXPECT_EQ(Fields(), c.fields) << c.name;
    }
    EXPECT_EQ(Read(), QString::fromLatin1(text)) << "opening writes nothing";
}

TEST_F(ConnectFormTest, OpenCutsValuesAt1023Characters)
{
    Write("[FAVlong]\nServer=" + QByteArray(1500, 's') + "\nPsw=" + QByteArray(1023, 'p') + "\n");
    Form->LoadFavorites();
    Select("long");
    Form->btnOpenCurentClick();
    EXPECT_EQ(Form->txtServerName->text(), QString(1023, 's'));
    EXPECT_EQ(Form->txtPassWord->text(), QString(1023, 'p'));
}

TEST_F(ConnectFormTest, OpenAndDeleteWithNothingSelectedDoNothing)
{
    Write("[FAVa]\nServer=a\n");
    Form->LoadFavorites();
    const QStringList before = Fields();
    QTest::mouseClick(Form->btnOpenCurent, Qt::LeftButton);
    QTest::mouseClick(Form->btnKillCurrent, Qt::LeftButton);
    EXPECT_EQ(Fields(), before);
    EXPECT_EQ(Read(), "[FAVa]\nServer=a\n");
    EXPECT_EQ(Sites(), QStringList{"a"});
}

TEST_F(ConnectFormTest, DeleteErasesTheSelectedSectionWithoutAsking)
{
    Write("[Other]\nk=1\n\n[favLower]\nServer=a\n\n[FAVkeep]\nServer=b\n");
    Form->LoadFavorites();
    Select("Lower");
    QTest::mouseClick(Form->btnKillCurrent, Qt::LeftButton);   // OnRunModal would fail if asked
    EXPECT_EQ(Read(), "[Other]\nk=1\n\n[FAVkeep]\nServer=b\n");
    EXPECT_EQ(Sites(), QStringList{"keep"});
}

// ---- Add to favorites ----

TEST_F(ConnectFormTest, AddWithUserAndPasswordWritesEveryKeyInOrder)
{
    Input.Prepare("old prompt", "old caption", "left over");
    SetFields("ftp.example.invalid", "2121", "me", "  secret  ", true, "/pub");
    AddSite("My Site", true);
    ASSERT_EQ(Answers.Asked.size(), 2u);
    EXPECT_EQ(Answers.Asked[0].Caption, "Add to favorites");
    EXPECT_EQ(Answers.Asked[0].Text, "Site name:");
    EXPECT_EQ(Answers.Asked[0].Initial, "");
    EXPECT_EQ(Answers.Asked[1].Caption, "Ombrex FTP");
    EXPECT_EQ(Answers.Asked[1].Text, "Save username and password?");
    EXPECT_EQ(Answers.Asked[1].FileAtAsk, "[FAVMy Site]\nServer=ftp.example.invalid\n")
        << "the server is written before the question";
    EXPECT_EQ(Read(), "[FAVMy Site]\nServer=ftp.example.invalid\nUser=me\nPsw=\"  secret  \"\n"
                      "Port=2121\nPassive=1\nRemoteDir=/pub\n");
    EXPECT_EQ(Sites(), QStringList{"My Site"});

    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(Path).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "the file holds a password in clear";

    // What was stored comes back exactly, blanks of the password included.
    SetFields("x", "x", "x", "x", false, "x");
    Select("My Site");
    Form->btnOpenCurentClick();
    EXPECT_EQ(Fields(), (QStringList{"ftp.example.invalid", "2121", "me", "  secret  ", "passive", "/pub"}));
}

TEST_F(ConnectFormTest, AddWithoutUserComesBackAsAnonymous)
{
    SetFields("host", "21", "me", "pw", false, "/");
    AddSite("anon", false);
    EXPECT_EQ(Read(), "[FAVanon]\nServer=host\nPort=21\nPassive=0\nRemoteDir=/\n");
    Select("anon");
    Form->btnOpenCurentClick();
    EXPECT_EQ(Fields(), (QStringList{"host", "21", "Anonymous", Placeholder, "active", "/"}));
}

TEST_F(ConnectFormTest, AddAgainOverwritesButKeepsUserAndPasswordOnNo)
{
    Write("[Other]\nk=1\n\n[favsite]\nServer=old\nUser=olduser\nPsw=oldpw\nPort=21\nPassive=1\n"
          "RemoteDir=/old\nExtra=kept\n\n[Last]\nk=2\n");
    SetFields("new", "2121", "newuser", "newpw", false, "/new");
    AddSite("SITE", false);   // the stored section is found without regard to case
    EXPECT_EQ(Read(), "[Other]\nk=1\n\n[favsite]\nServer=new\nUser=olduser\nPsw=oldpw\nPort=2121\n"
                      "Passive=0\nRemoteDir=/new\nExtra=kept\n\n[Last]\nk=2\n");
    AddSite("site", true);
    EXPECT_EQ(Read(), "[Other]\nk=1\n\n[favsite]\nServer=new\nUser=newuser\nPsw=newpw\nPort=2121\n"
                      "Passive=0\nRemoteDir=/new\nExtra=kept\n\n[Last]\nk=2\n");
}

TEST_F(ConnectFormTest, NewKeysOfAHandWrittenSiteGoToTheEndOfItsSection)
{
    Write("[FAVa]\nServer=old\n\n[FAVb]\nServer=b\n");
    SetFields("s", "21", "u", "p", true, "/d");
    AddSite("a", true);
    EXPECT_EQ(Read(), "[FAVa]\nServer=s\nUser=u\nPsw=p\nPort=21\nPassive=1\nRemoteDir=/d\n\n"
                      "[FAVb]\nServer=b\n");
}

TEST_F(ConnectFormTest, CancelledSiteNameWritesNothingButReloadsTheList)
{
    Form->LoadFavorites();
    Write("[FAVadded meanwhile]\n");
    Answers.Results = {QDialog::Rejected};
    Answers.Texts = {"typed then cancelled"};
    Form->btnSaveCurrentClick();
    EXPECT_EQ(Answers.Asked.size(), 1u) << "no question after a cancelled name";
    EXPECT_EQ(Read(), "[FAVadded meanwhile]\n");
    EXPECT_EQ(Sites(), QStringList{"added meanwhile"});
}

TEST_F(ConnectFormTest, EmptySiteNameIsASiteLikeAnyOther)
{
    SetFields("e", "21", "u", "p", false, "/");
    AddSite("", false);
    EXPECT_EQ(Read(), "[FAV]\nServer=e\nPort=21\nPassive=0\nRemoteDir=/\n");
    ASSERT_EQ(Sites(), QStringList{""});
    SetFields("x", "x", "x", "x", true, "x");
    Select("");
    Form->btnOpenCurentClick();
    EXPECT_EQ(Form->txtServerName->text(), "e");
    Form->btnKillCurrentClick();
    EXPECT_TRUE(Sites().isEmpty());
    EXPECT_EQ(Read(), "");
}

TEST_F(ConnectFormTest, OwnInputDialogWhenNoneIsShared)
{
    Form->InputDialog = nullptr;
    SetFields("s", "21", "u", "p", false, "/");
    QDialog* used = nullptr;
    Form->OnRunModal = [&](QDialog& box) {
        if (auto* input = dynamic_cast<TInputDialog*>(&box)) {
            used = input;
            input->txtResult->setText("own");
            return int(QDialog::Accepted);
        }
        return int(QMessageBox::No);
    };
    Form->btnSaveCurrentClick();
    EXPECT_NE(used, nullptr);
    EXPECT_NE(used, &Input);
    EXPECT_EQ(Sites(), QStringList{"own"});
}

TEST_F(ConnectFormTest, RealBoxesAnswerAddToFavorites)
{
    // No seam: the real input dialog and question box, answered by keyboard.
    Form->OnRunModal = nullptr;
    SetFields("real", "21", "user", "pw", false, "/");
    TModalScript script;
    script.Then("Add to favorites", [](QWidget* box) {
              auto* input = static_cast<TInputDialog*>(box);
              QTest::keyClicks(input->txtResult, "Typed Site");
              QTest::keyClick(input->txtResult, Qt::Key_Return);
          })
        .Then("Ombrex FTP", [](QWidget* box) {
            auto* question = qobject_cast<QMessageBox*>(box);
            ASSERT_NE(question, nullptr);
            EXPECT_EQ(question->text(), "Save username and password?");
            question->button(QMessageBox::Yes)->click();
        });
    Form->btnSaveCurrentClick();
    EXPECT_EQ(Read(), "[FAVTyped Site]\nServer=real\nUser=user\nPsw=pw\nPort=21\nPassive=0\nRemoteDir=/\n");
}

// ---- failures ----

TEST_F(ConnectFormTest, UnwritableFileShowsUnableToWriteAndKeepsTheDialogOpen)
{
    std::vector<std::string> messages;
    platform::SetExceptionHandler(
        [&](std::exception_ptr e) { messages.push_back(platform::ExceptionMessage(e)); });
    const QString missing = Temp.filePath("no such folder/OFTP.ini");
    Form->SetSettingsPath(missing);
    Form->show();
    Answers.Results = {QDialog::Accepted};
    Answers.Texts = {"site"};
    QTest::mouseClick(Form->btnSaveCurrent, Qt::LeftButton);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], "Unable to write to " + missing.toStdString());
    EXPECT_EQ(Answers.Asked.size(), 1u) << "the writes after the failed one are not made";
    EXPECT_TRUE(Form->isVisible());

    // A read-only file: Delete is refused the same way and the file stays as it was.
    Form->SetSettingsPath(Path);
    Write("[FAVro]\nServer=r\n");
    ::chmod(QFile::encodeName(Path).constData(), 0444);
    Form->LoadFavorites();
    Select("ro");
    QTest::mouseClick(Form->btnKillCurrent, Qt::LeftButton);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[1], "Unable to write to " + Path.toStdString());
    EXPECT_EQ(Read(), "[FAVro]\nServer=r\n");

    // Called directly, the handler raises.
    Answers.Results = {QDialog::Accepted};
    Answers.Texts = {"x"};
    EXPECT_THROW(Form->btnSaveCurrentClick(), platform::EIniFileException);
}

// ---- former bugs ----

TEST_F(ConnectFormTest, FormerBugs_SiteNamesTheFormatCouldMisreadComeBack)
{
    const QString names[] = {"a]b", "[x", " padded ", "semi;colon", "eq=uals", "\xC3\x9C" "ber"};
    SetFields("s", "21", "u", "p", false, "/");
    for (const QString& name : names)
        AddSite(name, false);
    QStringList expected;
    for (const QString& name : names)
        expected << ("FAV" + name).trimmed().mid(3);   // blanks around a section name go
    EXPECT_EQ(Sites(), expected);
    for (const QString& name : expected) {
        Form->txtServerName->setText("x");
        Select(name);
        Form->btnOpenCurentClick();
        EXPECT_EQ(Form->txtServerName->text(), "s") << name.toStdString();
    }
}

// ---- encryption (FTP over TLS) ----

TEST_F(ConnectFormTest, EncryptionChoiceTextsDefaultAndFavourites)
{
    QStringList texts;
    for (int i = 0; i < Form->cboEncryption->count(); ++i)
        texts << Form->cboEncryption->itemText(i);
    EXPECT_EQ(texts, (QStringList{"Use explicit FTP over TLS if available", "Require explicit FTP over TLS",
                                  "Require implicit FTP over TLS", "Only use plain FTP (insecure)"}));
    EXPECT_EQ(Form->cboEncryption->currentIndex(), ceExplicitIfAvailable) << "a new site";

    struct Case {
        const char* Name;
        const char* Section;
        int Expected;
    };
    const Case cases[] = {
        {"FAVold", "Server=old\n", ceExplicitIfAvailable},   // stored before encryption existed
        {"FAVplain", "Server=p\nEncryption=3\n", cePlainOnly},
        {"FAVimplicit", "Server=i\nEncryption=2\n", ceRequireImplicit},
        {"FAVexplicit", "Server=e\nEncryption=1\n", ceRequireExplicit},
        {"FAVnonsense", "Server=n\nEncryption=9\n", ceExplicitIfAvailable},
    };
    QByteArray text;
    for (const Case& c : cases)
        text += QByteArray("[") + c.Name + "]\n" + c.Section;
    Write(text);
    Form->LoadFavorites();
    for (const Case& c : cases) {
        Form->cboEncryption->setCurrentIndex(cePlainOnly == c.Expected ? ceRequireExplicit : cePlainOnly);
        Select(QString::fromLatin1(c.Name).mid(3));
        Form->btnOpenCurentClick();
        EXPECT_EQ(Form->cboEncryption->currentIndex(), c.Expected) << c.Name;
    }
}

TEST_F(ConnectFormTest, EncryptionKeyIsWrittenOnlyWhenItIsNotTheDefault)
{
    SetFields("s", "21", "u", "p", false, "/");
    Form->cboEncryption->setCurrentIndex(ceExplicitIfAvailable);
    AddSite("default", false);
    Form->cboEncryption->setCurrentIndex(cePlainOnly);
    AddSite("plain", false);
    EXPECT_EQ(Read(), "[FAVdefault]\nServer=s\nPort=21\nPassive=0\nRemoteDir=/\n\n"
                      "[FAVplain]\nServer=s\nPort=21\nPassive=0\nRemoteDir=/\nEncryption=3\n");
    // Back to the default: the key that is there now says so.
    Form->cboEncryption->setCurrentIndex(ceExplicitIfAvailable);
    AddSite("plain", false);
    EXPECT_TRUE(Read().endsWith("[FAVplain]\nServer=s\nPort=21\nPassive=0\nRemoteDir=/\nEncryption=0\n"))
        << Read().toStdString();
}
