// The scripted FTP server's side of a session as the program runs it (login, CWD /pub and
// the two PWD and LIST pairs that follow), and a fixture that connects the program to it.
#pragma once

#include "AppTestUtil.h"

#include "ftp/FakeFtpServer.h"

#include <string>

namespace apptest {

ftptest::FakeFtpServer& Login(ftptest::FakeFtpServer& s);   // as user "joe", password "pw"
ftptest::FakeFtpServer& Pwd(ftptest::FakeFtpServer& s, const std::string& dir);
ftptest::FakeFtpServer& List(ftptest::FakeFtpServer& s, const std::string& listing);
// Login, CWD /pub, and the two PWD and LIST pairs that follow a connection.
ftptest::FakeFtpServer& Session(ftptest::FakeFtpServer& s, const std::string& listing);

} // namespace apptest

class FakeServerProgramTest : public RemoteProgramTest {
protected:
    using RemoteProgramTest::PressConnect;

    // Presses Connect with the dialog filled in for the scripted server and /pub.
    void PressConnect(const ftptest::FakeFtpServer& s, bool passive = true);

    // Connects to the started server and waits until the session's six requests are done.
    void Connect(const ftptest::FakeFtpServer& s, bool passive = true, int ms = 30000);
};
