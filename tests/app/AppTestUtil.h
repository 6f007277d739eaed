// Helpers shared by the tests that drive the started program against an FTP server:
// pumping the event loop, reading the logs and the remote list, pressing Connect, and a
// fixture that records every finished request.
#pragma once

#include "AppTestEnvironment.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

class QPlainTextEdit;

namespace apptest {

using DoneList = std::vector<std::pair<int, int>>;   // finished requests: kind, error
using BoxList = std::vector<std::pair<QString, QString>>;

// Pumps the program's messages until cond holds; false when timeoutMs passed first.
bool PumpUntil(const std::function<bool()>& cond, int timeoutMs = 15000);
// Pumps the program's messages for ms, whatever happens.
void PumpFor(int ms);

QStringList Lines(const QPlainTextEdit* box);

// The file's bytes, or "<missing>" when it cannot be read.
QByteArray ReadBytes(const QString& path);
bool WriteBytes(const QString& path, const QByteArray& bytes);

} // namespace apptest

// The started program with its remote side under test: a temporary folder for the listing
// file, every finished request in Done, and the working directory put back afterwards (the
// local pane moves it).
class RemoteProgramTest : public ProgramTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Makes the folder "local" in Temp and shows it in the local pane; its path.
    QString MakeLocalFolder();

    // Fills the connect dialog through its seam and presses Connect.
    void PressConnect(std::uint16_t port, const QString& user, const QString& password, const QString& dir,
                      bool passive);

    // Idle with nothing queued, and no completion on its way: the client is ready before
    // its posted completion arrives, so the state must hold across one more pump.
    bool WaitIdle(int ms = 30000);

    QStringList Captions();   // the remote list's captions, in their order
    // Selects exactly the remote rows with these captions; each must be there.
    void SelectRemote(const QStringList& captions);

    bool UserLogHas(const QString& line);
    qsizetype UserLogCount(const QString& line);

    QTemporaryDir Temp;
    apptest::DoneList Done;

private:
    std::string FOldCwd;
};
