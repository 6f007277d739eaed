// The settings-file layer against real files: look-up without regard to case, values and
// integers as read back, where writes put keys and sections, modes, and refused writes.
#include "platform/PrivateProfile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include <sys/stat.h>
#include <unistd.h>

using platform::EIniFileException;
using platform::TPrivateProfile;

namespace {

class PrivateProfileTest : public testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/ombrex-ini-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        Dir = pattern;
        Path = Dir + "/OFTP.ini";
        OldMask = ::umask(022);   // a common umask, so that 0600 is our doing
    }
    void TearDown() override
    {
        ::umask(OldMask);
        std::filesystem::permissions(Dir, std::filesystem::perms::owner_all);
        std::filesystem::remove_all(Dir);
    }

    void Put(const std::string& text, const std::string& path = {})
    {
        std::ofstream out(path.empty() ? Path : path, std::ios::binary | std::ios::trunc);
        out << text;
    }
    std::string Get(const std::string& path = {}) const
    {
        std::ifstream in(path.empty() ? Path : path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    unsigned Mode(const std::string& path = {}) const
    {
        struct stat st {};
        EXPECT_EQ(::stat((path.empty() ? Path : path).c_str(), &st), 0);
        return st.st_mode & 07777;
    }
    std::vector<std::string> Entries() const
    {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(Dir))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    std::string Dir;
    std::string Path;
    mode_t OldMask = 022;
};

const char* const HandWritten =
    "; written by hand\n"
    "stray=before any section\n"
    "[Other]\n"
    "Server=other.host\n"
    "[favMy Site]\n"
    "  server = host.one  \n"
    "USER=me\n"
    "Psw=\"  spaced  \"\n"
    "Port='21'\n"
    "Empty=\n"
    "; Passive=1 is a comment, not a key\n"
    "Passive=0x1\n"
    "[FAVSecond]\n"
    "Server=two\n"
    "[fAvmy site]\n"
    "Server=shadowed by the first section of the name\n";

} // namespace

// ---- reading ----

TEST_F(PrivateProfileTest, LookUpWithoutRegardToCase)
{
    struct Case {
        const char* section;
        const char* key;
        const char* expected;
    };
    const Case cases[] = {
        {"FAVMy Site", "Server", "host.one"},     // blanks around key and value dropped
        {"favmy site", "SERVER", "host.one"},     // case of both names ignored
        {" FAVMy Site ", " server ", "host.one"}, // blanks around the asked names too
        {"FAVMy Site", "User", "me"},
        {"FAVMy Site", "Psw", "  spaced  "},      // one pair of quotes removed, inside kept
        {"FAVMy Site", "Port", "21"},
        {"FAVMy Site", "Empty", ""},              // present but empty: no default
        {"FAVMy Site", "RemoteDir", "<default>"}, // missing key
        {"FAVSecond", "User", "<default>"},       // key of another section not seen
        {"FAVNone", "Server", "<default>"},       // missing section
        {"Other", "Server", "other.host"},
        {"", "stray", "<default>"},               // lines before any section belong to none
    };
    Put(HandWritten);
    TPrivateProfile ini(Path);
    for (const Case& c : cases)
        EXPECT_EQ(ini.ReadString(c.section, c.key, "<default>"), c.expected)
            << c.section << " / " << c.key;
}

TEST_F(PrivateProfileTest, WindowsLineBreaksReadAlike)
{
    std::string text = HandWritten;
    std::string crlf;
    for (char c : text)
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    Put(crlf);
    TPrivateProfile ini(Path);
    EXPECT_EQ(ini.ReadString("FAVMY SITE", "server", ""), "host.one");
    EXPECT_EQ(ini.ReadString("FAVSecond", "Server", ""), "two");
    EXPECT_EQ(ini.ReadSections(), (std::vector<std::string>{"Other", "favMy Site", "FAVSecond"}));
}

TEST_F(PrivateProfileTest, MissingFileReadsAsEmpty)
{
    TPrivateProfile ini(Path);
    EXPECT_EQ(ini.ReadString("FAVx", "Server", "dflt"), "dflt");
    EXPECT_EQ(ini.ReadInteger("FAVx", "Passive", 7), 7);
    EXPECT_TRUE(ini.ReadSections().empty());
    EXPECT_FALSE(ini.SectionExists("FAVx"));
    EXPECT_TRUE(Entries().empty()) << "reading creates nothing";
}

TEST_F(PrivateProfileTest, IntegersDecimalAndHexadecimal)
{
    struct Case {
        const char* text;
        std::int32_t expected;   // default is 99
    };
    const Case cases[] = {
        {"0", 0},           {"1", 1},          {"12", 12},           {"-3", -3},
        {"+4", 4},          {"0x1", 1},        {"0X1F", 31},         {"0xff", 255},
        {"-0x10", -16},     {"0xFFFFFFFF", -1}, {"2147483647", INT_MAX},
        {"-2147483648", INT_MIN},
        {" 7 ", 7},         // the value is read without its blanks
        {"2147483648", 99}, {"0x100000000", 99},
        {"", 99},           {"abc", 99},       {"12abc", 99},        {"0x", 99},
        {"0x1g", 99},       {"1.5", 99},       {"-", 99},            {"$1F", 99},
    };
    TPrivateProfile ini(Path);
    for (const Case& c : cases) {
        Put(std::string("[S]\nN=") + c.text + "\n");
        EXPECT_EQ(ini.ReadInteger("S", "N", 99), c.expected) << '"' << c.text << '"';
    }
    EXPECT_EQ(ini.ReadInteger("S", "Missing", 99), 99);
}

TEST_F(PrivateProfileTest, ValuesComeBackWithAtMost1023Bytes)
{
    struct Case {
        std::string value;
        std::size_t expectedSize;
    };
    const std::string e = "\xC3\xA9";   // é, two bytes in UTF-8
    const Case cases[] = {
        {std::string(1022, 'a'), 1022},
        {std::string(1023, 'a'), 1023},
        {std::string(1024, 'a'), 1023},
        {std::string(5000, 'b'), 1023},
        {std::string(1021, 'a') + e, 1023},          // fits exactly
        {std::string(1022, 'a') + e, 1022},          // split character dropped whole
        {std::string(1022, 'a') + e + "tail", 1022},
    };
    TPrivateProfile ini(Path);
    for (const Case& c : cases) {
        Put("[S]\nV=" + c.value + "\n");
        std::string got = ini.ReadString("S", "V", "");
        EXPECT_EQ(got.size(), c.expectedSize) << c.value.size();
        EXPECT_EQ(got, c.value.substr(0, c.expectedSize));
    }
    // The default goes through the same buffer.
    EXPECT_EQ(ini.ReadString("S", "Missing", std::string(2000, 'd')).size(), 1023u);
}

// ---- writing ----

TEST_F(PrivateProfileTest, FirstWriteCreatesTheFileWithMode0600)
{
    TPrivateProfile ini(Path);
    ini.WriteString("FAVsite", "Server", "ftp.example.invalid");
    ini.WriteString("FAVsite", "User", "me");
    EXPECT_EQ(Get(), "[FAVsite]\nServer=ftp.example.invalid\nUser=me\n");
    EXPECT_EQ(Mode(), 0600u);
    EXPECT_EQ(Entries(), std::vector<std::string>{"OFTP.ini"}) << "no temporary file left";
}

TEST_F(PrivateProfileTest, WhereWritesPutKeysAndSections)
{
    struct Case {
        const char* name;
        const char* before;
        const char* section;
        const char* key;
        const char* value;
        const char* after;
    };
    const Case cases[] = {
        {"new key at the end of its section, not of the file",
         "[A]\nk1=1\n\n[B]\nk=2\n", "a", "k2", "x", "[A]\nk1=1\nk2=x\n\n[B]\nk=2\n"},
        {"new key after the section's last key, before trailing comments",
         "[A]\nk1=1\n; about B\n[B]\n", "A", "k2", "x", "[A]\nk1=1\nk2=x\n; about B\n[B]\n"},
        {"new key in an empty section goes right below its header",
         "[A]\n\n[B]\nk=2\n", "A", "k", "v", "[A]\nk=v\n\n[B]\nk=2\n"},
        {"existing key replaced in place, its spelling kept",
         "[A]\n  SERVER = old\nPort=21\n", "a", "server", "new", "[A]\nSERVER=new\nPort=21\n"},
        {"only the first key of a name is replaced",
         "[A]\nk=1\nk=2\n", "A", "K", "3", "[A]\nk=3\nk=2\n"},
        {"new section at the end after a blank line",
         "[A]\nk=1\n", "FAVnew", "Server", "s", "[A]\nk=1\n\n[FAVnew]\nServer=s\n"},
        {"no second blank line before a new section",
         "[A]\nk=1\n\n", "B", "k", "v", "[A]\nk=1\n\n[B]\nk=v\n"},
        {"first section of a name is the one written",
         "[x]\na=1\n[X]\na=2\n", "X", "a", "9", "[x]\na=9\n[X]\na=2\n"},
        {"Windows line breaks kept", "[A]\r\nk=1\r\n", "A", "j", "2", "[A]\r\nk=1\r\nj=2\r\n"},
        {"comments and unknown lines kept", "; top\n[A]\nnot a key\nk=1\n", "A", "k", "2",
         "; top\n[A]\nnot a key\nk=2\n"},
    };
    for (const Case& c : cases) {
        Put(c.before);
        TPrivateProfile(Path).WriteString(c.section, c.key, c.value);
        EXPECT_EQ(Get(), c.after) << c.name;
    }
}

TEST_F(PrivateProfileTest, ValuesReadBackAsWritten)
{
    const std::string values[] = {
        "",           "plain",      "  spaced  ", " lead",     "trail ",   "\"quoted\"",
        "'single'",   "\"half",     "a=b=c",      "semi;colon", "#hash",    "[bracket]",
        "\xC3\xBCmlaut", "tab\there",
    };
    TPrivateProfile ini(Path);
    for (const std::string& value : values) {
        ini.WriteString("S", "V", value);
        EXPECT_EQ(ini.ReadString("S", "V", "<default>"), value);
    }
}

TEST_F(PrivateProfileTest, EveryCallSeesTheFileAsItIsNow)
{
    TPrivateProfile writer(Path);
    TPrivateProfile reader(Path);
    writer.WriteString("S", "k", "1");
    EXPECT_EQ(reader.ReadString("S", "k", ""), "1");
    Put("[S]\nk=changed behind our back\n");
    EXPECT_EQ(reader.ReadString("S", "k", ""), "changed behind our back");
    writer.WriteString("S", "j", "2");
    EXPECT_EQ(Get(), "[S]\nk=changed behind our back\nj=2\n");
}

TEST_F(PrivateProfileTest, ModesOfExistingFiles)
{
    struct Case {
        unsigned before;
        unsigned after;
    };
    const Case cases[] = {{0644, 0600}, {0666, 0600}, {0640, 0600}, {0600, 0600}, {0604, 0600}};
    for (const Case& c : cases) {
        Put("[S]\nk=1\n");
        ASSERT_EQ(::chmod(Path.c_str(), c.before), 0);
        TPrivateProfile(Path).WriteString("S", "k", "2");
        EXPECT_EQ(Mode(), c.after) << std::oct << c.before;
        EXPECT_EQ(Get(), "[S]\nk=2\n");
    }
}

TEST_F(PrivateProfileTest, WritingThroughALinkKeepsTheLink)
{
    std::string real = Dir + "/real.ini";
    Put("[S]\nk=1\n", real);
    ASSERT_EQ(::symlink(real.c_str(), Path.c_str()), 0);
    TPrivateProfile(Path).WriteString("S", "k", "2");
    EXPECT_TRUE(std::filesystem::is_symlink(Path));
    EXPECT_EQ(Get(real), "[S]\nk=2\n");
    EXPECT_EQ(Mode(real), 0600u);
}

TEST_F(PrivateProfileTest, EraseSection)
{
    Put("[A]\na=1\n\n[fav x]\nServer=s\n; note\n\n[B]\nb=2\n[FAV X]\nk=dup\n");
    TPrivateProfile ini(Path);
    ini.EraseSection("FAV X");
    EXPECT_EQ(Get(), "[A]\na=1\n\n[B]\nb=2\n");
    EXPECT_FALSE(ini.SectionExists("fav x"));
    ini.EraseSection("B");
    EXPECT_EQ(Get(), "[A]\na=1\n") << "no blank lines left at the end";
    ini.EraseSection("missing");
    EXPECT_EQ(Get(), "[A]\na=1\n");
}

TEST_F(PrivateProfileTest, EraseOnAMissingFileCreatesNothing)
{
    TPrivateProfile(Path).EraseSection("FAVx");
    EXPECT_TRUE(Entries().empty());
}

// ---- refused writes ----

TEST_F(PrivateProfileTest, UnwritableFilesRaiseUnableToWrite)
{
    struct Case {
        const char* name;
        std::string path;
        std::function<void(const std::string&)> prepare;
    };
    const std::string content = "[S]\nk=1\n";
    const Case cases[] = {
        {"folder missing", Dir + "/no such folder/OFTP.ini", [](const std::string&) {}},
        {"path is a folder", Dir + "/folder.ini",
         [](const std::string& p) { std::filesystem::create_directory(p); }},
        {"read-only file", Dir + "/readonly.ini",
         [&](const std::string& p) {
             Put(content, p);
             ::chmod(p.c_str(), 0400);
         }},
        {"in /proc, where nobody creates files", "/proc/OFTP.ini", [](const std::string&) {}},
        {"dangling link", Dir + "/dangling.ini",
         [&](const std::string& p) { ::symlink((Dir + "/no folder/x.ini").c_str(), p.c_str()); }},
    };
    for (const Case& c : cases) {
        c.prepare(c.path);
        TPrivateProfile ini(c.path);
        for (int call = 0; call < 2; ++call) {
            try {
                if (call == 0)
                    ini.WriteString("S", "k", "2");
                else
                    ini.WriteString("NEW", "k", "2");
                ADD_FAILURE() << c.name << ": no exception";
            } catch (const EIniFileException& e) {
                EXPECT_EQ(std::string(e.what()), "Unable to write to " + c.path) << c.name;
            }
        }
    }
    EXPECT_EQ(Get(Dir + "/readonly.ini"), content) << "a read-only file is left alone";
    EXPECT_EQ(Mode(Dir + "/readonly.ini"), 0400u);
}

TEST_F(PrivateProfileTest, WhatTheFormatCannotHoldIsRefused)
{
    struct Case {
        const char* section;
        const char* key;
        const char* value;
    };
    const Case cases[] = {
        {"S", "k", "two\nlines"},     {"S", "k", "carriage\rreturn"}, {"S\n[evil]", "k", "v"},
        {"S", "k\nj", "v"},           {"S", "", "v"},                 {"S", "  ", "v"},
        {"S", "a=b", "v"},            {"S", "[k]", "v"},              {"S", ";k", "v"},
    };
    Put("[S]\nk=1\n");
    TPrivateProfile ini(Path);
    for (const Case& c : cases)
        EXPECT_THROW(ini.WriteString(c.section, c.key, c.value), EIniFileException)
            << c.section << " / " << c.key << " / " << c.value;
    EXPECT_THROW(ini.WriteString("S", "k", std::string("nul\0byte", 8)), EIniFileException);
    EXPECT_EQ(Get(), "[S]\nk=1\n");
}

// ---- former bugs ----

TEST_F(PrivateProfileTest, FormerBugs_SectionNameWithClosingBracketIsFoundAgain)
{
    TPrivateProfile ini(Path);
    ini.WriteString("FAVa]b", "Server", "s");
    EXPECT_EQ(ini.ReadSections(), std::vector<std::string>{"FAVa]b"});
    EXPECT_EQ(ini.ReadString("FAVa]b", "Server", ""), "s");
    ini.WriteString("FAVa]b", "Port", "21");
    EXPECT_EQ(Get(), "[FAVa]b]\nServer=s\nPort=21\n");
}

TEST_F(PrivateProfileTest, FormerBugs_AFifoInPlaceOfTheFileDoesNotHang)
{
    ASSERT_EQ(::mkfifo(Path.c_str(), 0600), 0);
    TPrivateProfile ini(Path);
    EXPECT_EQ(ini.ReadString("S", "k", "d"), "d");
    EXPECT_THROW(ini.WriteString("S", "k", "v"), EIniFileException);
}

TEST_F(PrivateProfileTest, FormerBugs_NonAsciiNamesIgnoreCase)
{
    Put("[FAV\xC3\x84rger]\nServer=s\n");   // "FAVÄrger"
    EXPECT_EQ(TPrivateProfile(Path).ReadString("fav\xC3\xA4rger", "server", ""), "s");
}

TEST_F(PrivateProfileTest, FormerBugs_ManySectionsAreAllListed)
{
    // Names beyond the first 8 KiB of names are listed too.
    std::string text;
    for (int i = 0; i < 600; ++i)
        text += "[FAVsite number " + std::to_string(i) + " with a longish name]\nServer=s\n";
    Put(text);
    auto names = TPrivateProfile(Path).ReadSections();
    ASSERT_EQ(names.size(), 600u);
    EXPECT_EQ(names.back(), "FAVsite number 599 with a longish name");
}

TEST_F(PrivateProfileTest, FormerBugs_CarriageReturnsBeforeTheLineEndAreNoPartOfTheValue)
{
    // Lines ended by CR CR LF in a file whose first line ends in LF alone: an unrelated
    // write used to turn "0x1<CR>" (no number) into "0x1" (one).
    Put("\n[S]\r\r\nPassive=0x1\r\r\nServer=s\r\r\r\n");
    TPrivateProfile ini(Path);
    EXPECT_EQ(ini.ReadString("S", "Passive", ""), "0x1");
    EXPECT_EQ(ini.ReadInteger("S", "Passive", 0), 1);
    ini.WriteString("S", "New", "v");
    EXPECT_EQ(ini.ReadString("S", "Passive", ""), "0x1");
    EXPECT_EQ(ini.ReadString("S", "Server", ""), "s");
    EXPECT_EQ(Get(), "\n[S]\nPassive=0x1\nServer=s\nNew=v\n");
}
