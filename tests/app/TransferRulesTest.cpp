// The rules behind transfers, without a window: the transfer type by the extension list
// file, the names from the server that may become local file names, the per cent shown,
// and the repaint throttle of the status window.
#include "app/TransferRules.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <fstream>

namespace {

class ExtensionListFile {
public:
    ExtensionListFile() { EXPECT_TRUE(FDir.isValid()); }
    std::string Path() const { return FDir.filePath("AscModEx.txt").toStdString(); }
    void Write(const std::string& bytes) const
    {
        std::ofstream out(Path(), std::ios::binary | std::ios::trunc);
        out << bytes;
    }

private:
    QTemporaryDir FDir;
};

struct TypeRow {
    const char* list;       // content of the extension list file
    const char* fileName;
    bool binary;
};

} // namespace

// ---- transfer type in automatic mode ----

TEST(TransferType, AutomaticModeByTheExtensionList)
{
    const TypeRow rows[] = {
        // The documented examples: the list holds txt and htm.
        {"txt\nhtm\n", "readme.TXT", false},
        {"txt\nhtm\n", "page.html", true},
        {"txt\nhtm\n", "archive", true},
        {"txt\nhtm\n", "a.htm", false},
        // The extension runs from the last dot.
        {"txt\nhtm\n", "notes.txt.gz", true},
        {"gz\n", "notes.txt.gz", false},
        // Paths: the dot must be in the file's own name, not in a folder's.
        {"txt\n", "/home/u/my.txt/README", true},
        {"txt\n", "/home/u/docs/read.me.TxT", false},
        // Lines are compared whole: no trimming, CR LF or LF, the last line may lack one.
        {"txt \nhtm\n", "a.txt", true},
        {" txt\n", "a.txt", true},
        {"TXT\n", "a.TXT", true},   // the list is lower case by its format: "TXT" names nothing
        {"txt\r\nhtm\r\n", "a.txt", false},
        {"txt\r\nhtm", "a.htm", false},
        {".txt\n", "a.txt", true},
        {"*.txt\n", "a.txt", true},
        {"", "a.txt", true},
        // A name ending in a dot has the extension "."; only an empty line names it.
        {"txt\n", "odd.", true},
        {"txt\n\nhtm\n", "odd.", false},
        {"txt\n\nhtm\n", "nodot", true},
    };
    ExtensionListFile list;
    for (const TypeRow& row : rows) {
        SCOPED_TRACE(std::string(row.list) + " / " + row.fileName);
        list.Write(row.list);
        TTransferTypeDecision decision = DecideTransferType(ttmAuto, row.fileName, list.Path());
        EXPECT_EQ(decision.Binary, row.binary);
        EXPECT_TRUE(decision.Warning.isEmpty());
    }
}

TEST(TransferType, ModesAndTheirWarnings)
{
    ExtensionListFile list;
    list.Write("txt\n");
    struct Row {
        std::int32_t mode;
        const char* fileName;
        bool binary;
        const char* warning;
    } rows[] = {
        {ttmBinary, "a.txt", true, "Auto detect of transfer type isn't enabed, using bin mode"},
        {ttmAscii, "a.zip", false, "Auto detect of transfer type isn't enabed, using ascii mode"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.mode);
        TTransferTypeDecision decision = DecideTransferType(row.mode, row.fileName, list.Path());
        EXPECT_EQ(decision.Binary, row.binary);
        EXPECT_EQ(decision.Warning, QString::fromLatin1(row.warning));
    }
}

TEST(TransferType, AMissingOrUnreadableListMeansBinaryWithAWarning)
{
    ExtensionListFile list;   // never written
    TTransferTypeDecision decision = DecideTransferType(ttmAuto, "a.txt", list.Path());
    EXPECT_TRUE(decision.Binary);
    EXPECT_EQ(decision.Warning, "FILE WITH TRANSFER TYPE SETTINGS NOT FOUND, BIN MODE WILL USED");

    // A folder in its place opens but cannot be read.
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    decision = DecideTransferType(ttmAuto, "a.txt", folder.path().toStdString());
    EXPECT_TRUE(decision.Binary);
    EXPECT_EQ(decision.Warning, "FILE WITH TRANSFER TYPE SETTINGS NOT FOUND, BIN MODE WILL USED");
}

TEST(TransferType, TheListIsReadAnewEachTime)
{
    ExtensionListFile list;
    list.Write("htm\n");
    EXPECT_TRUE(DecideTransferType(ttmAuto, "a.txt", list.Path()).Binary);
    list.Write("htm\ntxt\n");
    EXPECT_FALSE(DecideTransferType(ttmAuto, "a.txt", list.Path()).Binary);
}

TEST(TransferType, Extensions)
{
    const std::pair<const char*, const char*> rows[] = {
        {"a", ""}, {".profile", ".profile"}, {"x.tar.GZ", ".gz"}, {"dir.d/file", ""}, {"dir/F.C", ".c"},
    };
    for (auto [name, extension] : rows)
        EXPECT_EQ(TransferExtension(name), extension) << name;
}

// ---- names from the server ----

TEST(RemoteNames, OnlyPlainNamesBecomeLocalFiles)
{
    const std::pair<std::string, bool> rows[] = {
        {"readme.txt", true},
        {"name with blanks", true},
        {"..hidden", true},
        {"...", true},
        {"back\\slash", true},   // an ordinary character here
        {"caf\xe9", true},
        {"", false},
        {".", false},
        {"..", false},
        {"../etc/passwd", false},
        {"/etc/passwd", false},
        {"sub/file", false},
        {"trailing/", false},
        {std::string("nul\0byte", 8), false},
    };
    for (const auto& [name, safe] : rows)
        EXPECT_EQ(IsSafeRemoteName(name), safe) << name;
}

// ---- per cent ----

TEST(TransferPercent, CountDivSizeDivHundred)
{
    struct Row {
        std::int64_t count;
        const char* size;
        int percent;   // -1: none shown
    } rows[] = {
        {999, "1000", 99},   // truncated
        // 150 bytes: size div 100 is 1, so the per cent runs up to 150.
        {150, "150", 150},
        {75, "150", 75},
        // Below 100 bytes, empty or no number: no per cent.
        {50, "50", -1},
        {0, "99", -1},
        {10, "", -1},
        {10, "Unknown", -1},
        {10, "12abc", -1},
        {10, "-5000", -1},
        // Past 2 GiB and 4 GiB the numbers stay right.
        {3221225472LL, "6442450944", 50},
        {4294967296LL, "5368709120", 80},
        {5368709120LL, "5368709120", 100},
        {8000000000000000000LL, "100", 2147483647},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.size) + " / " + std::to_string(row.count));
        EXPECT_EQ(TransferPercent(row.count, TransferSizeValue(QString::fromLatin1(row.size))), row.percent);
    }
}

// ---- repaint throttle ----

TEST(ProgressThrottle, ShowsOneReportPerInterval)
{
    TProgressThrottle throttle(50);
    EXPECT_TRUE(throttle.Report(100, 1000));     // the first report
    EXPECT_FALSE(throttle.Report(150, 1010));    // too soon
    EXPECT_TRUE(throttle.Pending());
    EXPECT_EQ(throttle.LastCount(), 150);
    EXPECT_FALSE(throttle.Report(900, 1020));    // a new per cent waits too
    EXPECT_EQ(throttle.LastCount(), 900);
    EXPECT_FALSE(throttle.Report(910, 1049));
    EXPECT_TRUE(throttle.Report(920, 1050));     // the interval passed
    EXPECT_FALSE(throttle.Pending());
    // A report held back and shown later counts as shown then.
    EXPECT_FALSE(throttle.Report(930, 1080));
    throttle.Shown(1100);
    EXPECT_FALSE(throttle.Pending());
    EXPECT_FALSE(throttle.Report(940, 1120));
    EXPECT_TRUE(throttle.Report(950, 1150));
}

TEST(ProgressThrottle, FastTransferRepaintsAtMostOncePerInterval)
{
    // A block of 128 KiB every millisecond for two seconds.
    TProgressThrottle throttle(50);
    int shown = 0;
    for (std::uint64_t ms = 0; ms < 2000; ++ms)
        shown += throttle.Report(static_cast<std::int64_t>(ms) * 131072, 10000 + ms);
    EXPECT_EQ(shown, 40);
    EXPECT_TRUE(throttle.Pending());
    EXPECT_EQ(throttle.LastCount(), 1999LL * 131072);
}

TEST(ProgressThrottle, ResetShowsTheNextTransferAtOnce)
{
    TProgressThrottle throttle(50);
    EXPECT_TRUE(throttle.Report(10, 5000));
    EXPECT_FALSE(throttle.Report(20, 5001));
    throttle.Reset();
    EXPECT_FALSE(throttle.Pending());
    EXPECT_TRUE(throttle.Report(0, 5002));
}
