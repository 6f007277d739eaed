// One TApplication for the whole test program, created before the first test.
#include "AppTestEnvironment.h"

#include "dialogs/ConnectForm.h"
#include "dialogs/FileExistsForm.h"
#include "dialogs/InputDialog.h"
#include "platform/MessageWindow.h"

#include <QTemporaryDir>
#include <QTest>

#include <cstdlib>

namespace {

class AppEnvironment : public testing::Environment {
public:
    void SetUp() override
    {
        if (!std::getenv("QT_QPA_PLATFORM"))
            setenv("QT_QPA_PLATFORM", "offscreen", 1);
        // The window remembers its state per user: the tests keep theirs apart from the
        // state of whoever runs them.
        setenv("XDG_CONFIG_HOME", FConfig.path().toLocal8Bit().constData(), 1);
        FApp = std::make_unique<TApplication>(FArgc, FArgv);
    }
    void TearDown() override { FApp.reset(); }

private:
    int FArgc = 1;
    char FName[16] = "app_tests";
    char* FArgv[2] = {FName, nullptr};
    std::unique_ptr<TApplication> FApp;
    QTemporaryDir FConfig;
};

[[maybe_unused]] testing::Environment* const gEnvironment =
    testing::AddGlobalTestEnvironment(new AppEnvironment);

} // namespace

QuitSwallower::QuitSwallower()
{
    qApp->installEventFilter(this);
}

QuitSwallower::~QuitSwallower()
{
    platform::SetApplicationTerminating(false);
}

bool QuitSwallower::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == qApp && event->type() == QEvent::Quit) {
        ++Quits;
        return true;
    }
    return false;
}

void ProgramTest::SetUp()
{
    ASSERT_NE(TApplication::Instance(), nullptr);
    App().OnShowException = [this](const QString& caption, const QString& message) {
        Boxes.emplace_back(caption, message);
    };
    Forms = StartProgram(App());
    Main().OnHandlerTrace = [this](const char* name) { Handlers.emplace_back(name); };
    // The connect dialog and the session's message boxes would wait for a user: a test
    // that wants them answers them itself.
    Forms->ConnectForm->OnShowModal = [] { return static_cast<int>(QDialog::Rejected); };
    // The scripted and real servers of these tests speak plain FTP as the behaviour
    // documents have it; the TLS tests choose their encryption themselves.
    Forms->ConnectForm->cboEncryption->setCurrentIndex(cePlainOnly);
    Forms->InputDialog->OnShowModal = [] { return static_cast<int>(QDialog::Rejected); };
    Forms->FileExistsForm->OnShowModal = [] { return static_cast<int>(QDialog::Rejected); };
    Main().OnMessageBox = [this](const QString& caption, const QString& text, QMessageBox::Icon icon) {
        MessageBoxes.emplace_back(caption, text);
        MessageIcons.push_back(icon);
    };
}

void ProgramTest::TearDown()
{
    Forms.reset();
    App().OnShowException = nullptr;
    platform::SetApplicationTerminating(false);
}
