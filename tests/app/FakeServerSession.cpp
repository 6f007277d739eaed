#include "FakeServerSession.h"

using ftptest::FakeFtpServer;

namespace apptest {

FakeFtpServer& Login(FakeFtpServer& s)
{
    return s.Reply("220 Fake FTP ready")
        .Expect("USER joe")
        .Reply("331 Password required")
        .Expect("PASS pw")
        .Reply("230 Logged in")
        .Expect("FEAT")
        .Reply("500 Unknown command");
}

FakeFtpServer& Pwd(FakeFtpServer& s, const std::string& dir)
{
    return s.Expect("PWD").Reply("257 \"" + dir + "\" is the current directory");
}

FakeFtpServer& List(FakeFtpServer& s, const std::string& listing)
{
    return s.Expect("PASV").PasvReply().Expect("LIST").DataAccept().Reply("150 Here it comes")
        .DataSend(listing).DataClose().Reply("226 Done");
}

FakeFtpServer& Session(FakeFtpServer& s, const std::string& listing)
{
    Login(s).Expect("CWD /pub").Reply("250 Directory changed");
    List(Pwd(s, "/pub"), listing);
    return List(Pwd(s, "/pub"), listing);
}

} // namespace apptest

void FakeServerProgramTest::PressConnect(const FakeFtpServer& s, bool passive)
{
    PressConnect(s.Port(), "joe", "pw", "/pub", passive);
}

void FakeServerProgramTest::Connect(const FakeFtpServer& s, bool passive, int ms)
{
    PressConnect(s, passive);
    ASSERT_TRUE(WaitIdle(ms));
    ASSERT_EQ(Done.size(), 6u);
    Done.clear();
}
