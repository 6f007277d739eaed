#include "AppTestUtil.h"

#include "app/ByteText.h"
#include "app/CommandQueue.h"
#include "dialogs/ConnectForm.h"
#include "platform/MessageWindow.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTest>
#include <QToolButton>

#include <unistd.h>

namespace apptest {

bool PumpUntil(const std::function<bool()>& cond, int timeoutMs)
{
    std::uint64_t deadline = platform::GetTickCount64() + std::uint64_t(timeoutMs);
    while (!cond()) {
        if (platform::GetTickCount64() > deadline)
            return false;
        platform::PumpMessages();
        platform::Sleep(1);
    }
    return true;
}

void PumpFor(int ms)
{
    PumpUntil([] { return false; }, ms);
}

QStringList Lines(const QPlainTextEdit* box)
{
    return box->toPlainText().split(QLatin1Char('\n'));
}

QByteArray ReadBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

bool WriteBytes(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

} // namespace apptest

void RemoteProgramTest::SetUp()
{
    ProgramTest::SetUp();
    char cwd[4096];
    ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
    FOldCwd = cwd;
    ASSERT_TRUE(Temp.isValid());
    // Each test lists into a file of its own, beside nothing else.
    Main().ListTempPath = Temp.filePath("OFTPTEMP.TMP");
    TFtpClient& client = *Main().FtpClient1;
    auto done = client.OnRequestDone;
    client.OnRequestDone = [this, done](TCustomFtpCli* c, TFtpRequest kind, std::uint16_t error) {
        Done.emplace_back(int(kind), int(error));
        done(c, kind, error);
    };
}

void RemoteProgramTest::TearDown()
{
    ProgramTest::TearDown();
    if (!FOldCwd.empty()) {
        ASSERT_EQ(::chdir(FOldCwd.c_str()), 0);
    }
}

QString RemoteProgramTest::MakeLocalFolder()
{
    QString local = Temp.filePath("local");
    EXPECT_TRUE(QDir().mkpath(local));
    Main().flbLocalFiles.SetDirectory(BytesFromText(local));
    return local;
}

void RemoteProgramTest::PressConnect(std::uint16_t port, const QString& user, const QString& password,
                                     const QString& dir, bool passive)
{
    Forms->ConnectForm->OnShowModal = [=, this] {
        TConnectForm& form = *Forms->ConnectForm;
        form.txtServerName->setText("127.0.0.1");
        form.txtPort->setText(QString::number(port));
        form.txtUserName->setText(user);
        form.txtPassWord->setText(password);
        form.txtRemoteDir->setText(dir);
        form.chkPassive->setChecked(passive);
        return int(QDialog::Accepted);
    };
    QTest::mouseClick(Main().btnConnect, Qt::LeftButton);
}

bool RemoteProgramTest::WaitIdle(int ms)
{
    auto idle = [&] { return Main().IsClientIdle() && Main().CommandQueue.isEmpty(); };
    return apptest::PumpUntil([&] {
        if (!idle())
            return false;
        platform::PumpMessages();
        return idle();
    }, ms);
}

QStringList RemoteProgramTest::Captions()
{
    QStringList captions;
    const TFileListModel* model = Main().lvRemoteDir->Model();
    for (int row = 0; row < model->Count(); ++row)
        captions << model->Item(row).Caption;
    return captions;
}

void RemoteProgramTest::SelectRemote(const QStringList& captions)
{
    TFileListView& view = *Main().lvRemoteDir;
    const TFileListModel& model = *view.Model();
    view.SelectionModel()->clearSelection();
    for (const QString& caption : captions) {
        bool found = false;
        for (int i = 0; i < model.Count(); ++i)
            if (model.Item(i).Caption == caption) {
                view.SetSelected(i, true);
                found = true;
            }
        ASSERT_TRUE(found) << caption.toStdString();
    }
}

bool RemoteProgramTest::UserLogHas(const QString& line)
{
    return apptest::Lines(Main().txtUserLog).contains(line);
}

qsizetype RemoteProgramTest::UserLogCount(const QString& line)
{
    return apptest::Lines(Main().txtUserLog).count(line);
}
