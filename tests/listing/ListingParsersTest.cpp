// The listing parsers on lines real servers send (vsftpd, ProFTPD, Pure-FTPd, pyftpdlib,
// FileZilla Server, IIS, BSD and macOS ls, BusyBox), MLSD facts, link targets and times.
#include "listing/ListingParsers.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

namespace {

struct LineRow {
    const char* server;
    const char* line;
    TLineResult result;
    char type;
    const char* name;
    const char* size;
    const char* modified;   // as oftp prints it, resolved against kNow (local time = UTC here)
    const char* target;
    const char* attributes;
    const char* owner;
};

// 2026-12-08 12:00 UTC; the tests run with TZ=UTC so that times print as listed.
constexpr std::time_t kNow = 1796731200;

std::ostream& operator<<(std::ostream& os, const LineRow& r)
{
    return os << r.server << ": " << r.line;
}

class ListingTimeZone : public ::testing::Environment {
public:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
    }
};
const auto* const kTz = ::testing::AddGlobalTestEnvironment(new ListingTimeZone);

const LineRow kListLines[] = {
    // vsftpd
    {"vsftpd", "drwxr-xr-x    2 1000     1000         4096 Dec 01 09:15 pub", lrEntry, 'd', "pub", "4096",
     "2026-12-01T09:15", "", "drwxr-xr-x", "1000"},
    {"vsftpd", "lrwxrwxrwx    1 1000     1000            3 Dec 01 09:15 link -> pub", lrEntry, 'l', "link", "3",
     "2026-12-01T09:15", "pub", "lrwxrwxrwx", "1000"},
    {"vsftpd", "-rwsr-xr-x    1 0        0           12345 Mar 03  2021 setuid", lrEntry, 'f', "setuid", "12345",
     "2021-03-03T00:00", "", "-rwsr-xr-x", "0"},
    {"vsftpd", "drwxrwxrwt    2 0        0            4096 Jan 10  2000 tmp", lrEntry, 'd', "tmp", "4096",
     "2000-01-10T00:00", "", "drwxrwxrwt", "0"},
    {"vsftpd", "drwxr-xr-T    2 0        0            4096 Jan 10  2000 sticky no x", lrEntry, 'd', "sticky no x",
     "4096", "2000-01-10T00:00", "", "drwxr-xr-T", "0"},
    {"vsftpd", "-rwSr--r--    1 0        0               0 Dec 09 11:00 future", lrEntry, 'f', "future", "0",
     "2026-12-09T11:00", "", "-rwSr--r--", "0"},
    // a date more than a day ahead belongs to last year
    {"vsftpd", "-rw-r--r--    1 0        0               0 Dec 20 11:00 last year", lrEntry, 'f', "last year", "0",
     "2025-12-20T11:00", "", "-rw-r--r--", "0"},
    // ProFTPD
    {"ProFTPD", "-rw-r--r--   1 ftp      ftp        5368709120 Feb 29  2024 big.iso", lrEntry, 'f', "big.iso",
     "5368709120", "2024-02-29T00:00", "", "-rw-r--r--", "ftp"},
    {"ProFTPD", "-rw-r--r--   1 ftp      ftp             7 Jun  5 14:03  leading and trailing  ", lrEntry, 'f',
     " leading and trailing  ", "7", "2026-06-05T14:03", "", "-rw-r--r--", "ftp"},
    // Pure-FTPd
    {"Pure-FTPd", "drwxr-xr-x    4 1000       users            4096 Nov 30 23:59 two  blanks", lrEntry, 'd',
     "two  blanks", "4096", "2026-11-30T23:59", "", "drwxr-xr-x", "1000"},
    // pyftpdlib
    {"pyftpdlib", "-rw-r--r--   1 joe      joe            10 Dec 08 11:27 my file.txt", lrEntry, 'f', "my file.txt",
     "10", "2026-12-08T11:27", "", "-rw-r--r--", "joe"},
    // FileZilla Server (Unix style, no group column)
    {"FileZilla", "-rw-r--r-- 1 ftp 1234 Jan 10 12:00 notes", lrEntry, 'f', "notes", "1234", "2026-01-10T12:00", "",
     "-rw-r--r--", "ftp"},
    // macOS / BSD ls: extended attributes and ACL markers
    {"macOS", "-rw-r--r--@  1 anna  staff  1024 Sep  7  2019 photo.jpg", lrEntry, 'f', "photo.jpg", "1024",
     "2019-09-07T00:00", "", "-rw-r--r--@", "anna"},
    {"Linux ACL", "drwxrwxr-x+ 3 bob   devs   4096 Dec  1  2025 shared", lrEntry, 'd', "shared", "4096",
     "2025-12-01T00:00", "", "drwxrwxr-x+", "bob"},
    // BusyBox and ls --time-style=long-iso
    {"long-iso", "-rw-r--r-- 1 root root 42 2026-12-08 11:27 iso.txt", lrEntry, 'f', "iso.txt", "42",
     "2026-12-08T11:27", "", "-rw-r--r--", "root"},
    {"day-first", "-rw-r--r-- 1 root root 42 8 Dec 11:27 day.txt", lrEntry, 'f', "day.txt", "42", "2026-12-08T11:27",
     "", "-rw-r--r--", "root"},
    {"BusyBox", "lrwxrwxrwx    1 root     root            12 Dec  8  2026 abs -> /srv/files/", lrEntry, 'l', "abs",
     "12", "2026-12-08T00:00", "/srv/files/", "lrwxrwxrwx", "root"},
    // invalid UTF-8 stays as bytes
    {"vsftpd", "-rw-r--r--    1 0 0 3 Dec 01 09:15 caf\xe9 \xff", lrEntry, 'f', "caf\xe9 \xff", "3",
     "2026-12-01T09:15", "", "-rw-r--r--", "0"},
    // a month name in another language: the classic columns still give name and size
    {"localized", "-rw-r--r-- 1 u g 99 Dez 08 11:27 de.txt", lrEntry, 'f', "de.txt", "99", "-", "",
     "-rw-r--r--", "u"},
    // IIS
    {"IIS", "12-08-26  11:27AM       <DIR>          Windows Folder", lrEntry, 'd', "Windows Folder", "",
     "2026-12-08T11:27", "", "d", ""},
    {"IIS", "12-08-26  01:05PM                 1234 report 2026.xlsx", lrEntry, 'f', "report 2026.xlsx", "1234",
     "2026-12-08T13:05", "", "-", ""},
    {"IIS", "12-08-26  12:00AM  <DIR>  name", lrEntry, 'd', "name", "", "2026-12-08T00:00", "", "d", ""},
    {"IIS 4-digit", "01-10-2000  23:59              5 a", lrEntry, 'f', "a", "5", "2000-01-10T23:59", "", "-", ""},
    // not entries
    {"vsftpd", "total 12", lrInvalid, 'f', "", "", "", "", "", ""},
    {"any", "", lrInvalid, 'f', "", "", "", "", "", ""},
    {"any", "-rw-r--r-- 1 user group 1234 Jan 10 2000", lrInvalid, 'f', "", "", "", "", "", ""},
    {"any", "\x01\x02 garbage line", lrInvalid, 'f', "", "", "", "", "", ""},
    {"IIS", "13-45-26  11:27AM  <DIR>  bad", lrInvalid, 'f', "", "", "", "", "", ""},
};

class ListLines : public ::testing::TestWithParam<LineRow> {};

} // namespace

TEST_P(ListLines, Parse)
{
    const LineRow& row = GetParam();
    TListEntry e;
    ASSERT_EQ(ParseListLine(row.line, e), row.result);
    if (row.result != lrEntry)
        return;
    EXPECT_EQ(static_cast<char>(e.Type), row.type);
    EXPECT_EQ(e.Name, row.name);
    EXPECT_EQ(e.Size, row.size);
    EXPECT_EQ(FormatListTime(e.Modified, kNow), row.modified);
    EXPECT_EQ(e.Target, row.target);
    EXPECT_EQ(e.Attributes, row.attributes);
    EXPECT_EQ(e.Owner, row.owner);
}

INSTANTIATE_TEST_SUITE_P(RealServers, ListLines, ::testing::ValuesIn(kListLines));

// ---- MLSD ----

struct MlsdRow {
    const char* line;
    TLineResult result;
    char type;
    const char* name;
    const char* size;
    const char* modified;
    const char* attributes;
    const char* target;
};

const MlsdRow kMlsdLines[] = {
    // pyftpdlib
    {"type=file;size=10;modify=20261208112700;perm=radfw;unix.mode=0644;unix.uid=1000;unix.gid=1000;unique=803g1; "
     "my file.txt",
     lrEntry, 'f', "my file.txt", "10", "2026-12-08T11:27", "-rw-r--r--", ""},
    {"type=dir;size=4096;modify=20261201091500;perm=elcmp;unix.mode=01777; tmp", lrEntry, 'd', "tmp", "4096",
     "2026-12-01T09:15", "drwxrwxrwt", ""},
    {"modify=20261208123933;perm=eldfmMTcp;size=4096;type=dir;unix.gid=0;unix.mode=0o777;unix.uid=0; sticky", lrEntry,
     'd', "sticky", "4096", "2026-12-08T12:39", "drwxrwxrwx", ""},
    {"type=file;unix.mode=04755;modify=20210303000000; setuid", lrEntry, 'f', "setuid", "", "2021-03-03T00:00",
     "-rwsr-xr-x", ""},
    // ProFTPD
    {"modify=20260101120000;perm=adfrw;size=5;type=OS.unix=slink:/srv/target;UNIX.group=0;UNIX.mode=0777;"
     "UNIX.owner=0; link",
     lrEntry, 'l', "link", "5", "2026-01-01T12:00", "lrwxrwxrwx", "/srv/target"},
    {"Type=cdir;Modify=20260101120000; .", lrSkip, 'd', "", "", "", "", ""},
    {"type=pdir; ..", lrSkip, 'd', "", "", "", "", ""},
    // a name that holds "; " and "=" is still whole
    {"type=file;size=1; a; b=c ", lrEntry, 'f', "a; b=c ", "1", "-", "-", ""},
    {"no facts here", lrInvalid, 'f', "", "", "", "", ""},
    {"type=file;size=1;", lrInvalid, 'f', "", "", "", "", ""},
};

class MlsdLines : public ::testing::TestWithParam<MlsdRow> {};

TEST_P(MlsdLines, Parse)
{
    const MlsdRow& row = GetParam();
    TListEntry e;
    ASSERT_EQ(ParseMlsdLine(row.line, e), row.result) << row.line;
    if (row.result != lrEntry)
        return;
    EXPECT_EQ(static_cast<char>(e.Type), row.type);
    EXPECT_EQ(e.Name, row.name);
    EXPECT_EQ(e.Size, row.size);
    EXPECT_EQ(FormatListTime(e.Modified, kNow), row.modified);
    EXPECT_EQ(e.Attributes, row.attributes);
    EXPECT_EQ(e.Target, row.target);
}

INSTANTIATE_TEST_SUITE_P(Servers, MlsdLines, ::testing::ValuesIn(kMlsdLines));

// ---- link targets, line splitting ----

TEST(ListingLinks, TargetsNamedInTheListingTakeTheirKind)
{
    std::vector<TListEntry> entries(5);
    const char* lines[] = {"drwxr-xr-x 2 u g 1 Jan 10 2000 dir", "-rw-r--r-- 1 u g 1 Jan 10 2000 file",
                           "lrwxrwxrwx 1 u g 1 Jan 10 2000 a -> dir", "lrwxrwxrwx 1 u g 1 Jan 10 2000 b -> ./file",
                           "lrwxrwxrwx 1 u g 1 Jan 10 2000 c -> /elsewhere"};
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(ParseListLine(lines[i], entries[std::size_t(i)]), lrEntry) << lines[i];
    ResolveLinkTargets(entries);
    EXPECT_EQ(entries[2].TargetKind, ltkDirectory);
    EXPECT_EQ(entries[3].TargetKind, ltkFile);
    EXPECT_EQ(entries[4].TargetKind, ltkUnknown);
}

TEST(ListingLines, SplitKeepsEveryLineAndDropsLineEnds)
{
    auto lines = SplitListingData("a\r\nb\n\nc");
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "a");
    EXPECT_EQ(lines[2], "");
    EXPECT_EQ(lines[3], "c");
    EXPECT_TRUE(SplitListingData("").empty());
}
