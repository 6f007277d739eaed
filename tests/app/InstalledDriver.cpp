// Not a test on its own: the install test copies this program into an installed prefix
// and runs it there, offscreen, as the installed program's stand-in that can be driven.
// It starts the program as main() does and prints where it keeps its files; given a
// server it also saves a favourite through the connect dialog, connects, lists the
// folder and closes the window the way a user would.
// Usage: app_installed_driver places
//        app_installed_driver session PORT USER PASSWORD
#include "app/Application.h"
#include "app/Forms.h"
#include "app/MainWindow.h"
#include "dialogs/AboutBox.h"
#include "dialogs/ConnectForm.h"
#include "dialogs/InputDialog.h"
#include "platform/MessageWindow.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>

#include <cstdio>
#include <functional>
#include <string>

namespace {

bool PumpUntil(const std::function<bool()>& cond, std::uint32_t timeoutMs)
{
    const std::uint64_t deadline = platform::GetTickCount64() + timeoutMs;
    while (!cond()) {
        if (platform::GetTickCount64() > deadline)
            return false;
        platform::PumpMessages();
        platform::Sleep(5);
    }
    return true;
}

void Print(const char* key, const QString& value)
{
    std::printf("%s=%s\n", key, value.toLocal8Bit().constData());
}

} // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode != "places" && !(mode == "session" && argc == 5)) {
        std::fprintf(stderr, "usage: %s places | session PORT USER PASSWORD\n", argv[0]);
        return 2;
    }
    TApplication app(argc, argv);
    auto forms = StartProgram(app);
    TMainWindow& w = *forms->MainWindow;
    TConnectForm& connect = *forms->ConnectForm;
    PumpUntil([] { return false; }, 300);   // the tree and the local pane start
    Print("settings", connect.SettingsPath());
    Print("listing", w.ListTempPath);
    Print("ascii", w.AscModExPath);
    Print("about", forms->AboutBox->SettingsLabel->text());
    Print("local", w.txtLocalPath->text());
    if (mode == "places")
        return 0;

    connect.txtServerName->setText(QStringLiteral("127.0.0.1"));
    connect.txtPort->setText(QString::fromLocal8Bit(argv[2]));
    connect.txtUserName->setText(QString::fromLocal8Bit(argv[3]));
    connect.txtPassWord->setText(QString::fromLocal8Bit(argv[4]));
    connect.chkPassive->setChecked(true);
    connect.OnRunModal = [](QDialog& box) {
        if (auto* input = dynamic_cast<TInputDialog*>(&box)) {
            input->txtResult->setText(QStringLiteral("Test site"));
            return static_cast<int>(QDialog::Accepted);
        }
        return static_cast<int>(QMessageBox::Yes);
    };
    connect.btnSaveCurrentClick();
    connect.OnShowModal = [] { return static_cast<int>(QDialog::Accepted); };
    w.btnConnectClick();
    auto listed = [&] { return w.IsClientIdle() && w.CommandQueue.isEmpty() && w.lvRemoteDir->Model()->Count() > 1; };
    if (!PumpUntil([&] { return listed() && (platform::PumpMessages(), listed()); }, 30000)) {
        std::fprintf(stderr, "the listing did not arrive\n");
        return 1;
    }
    QStringList rows;
    for (int row = 0; row < w.lvRemoteDir->Model()->Count(); ++row)
        rows << w.lvRemoteDir->Model()->Item(row).Caption;
    Print("rows", rows.join(QLatin1Char('|')));
    w.close();   // saves the window's state as a user's close does
    PumpUntil([] { return false; }, 100);
    forms.reset();
    return 0;
}
