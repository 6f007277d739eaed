// Folder transfers without a server: which remote names are refused, remote paths, the
// local containment check, listing lines as the walk reads them, the local walk and the
// smoothed speed.
#include "servers/FtpServers.h"
#include "transfer/LocalWalk.h"
#include "transfer/ProgressMeter.h"
#include "transfer/RemoteListing.h"
#include "transfer/RemotePath.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace transfer;

// ---- names and paths ----

TEST(RemoteNames, PlainNamesOnly)
{
    struct Row {
        std::string Name;
        bool Plain;
    };
    const Row rows[] = {
        {"file.txt", true},     {"with blank", true},  {"...", true},      {".hidden", true},
        {"", false},            {".", false},          {"..", false},      {"a/b", false},
        {"/", false},           {std::string("a\0b", 3), false},           {"a\rb", false},
        {"a\n", false},         {"-rf", true},
    };
    for (const Row& r : rows)
        EXPECT_EQ(IsPlainName(r.Name), r.Plain) << testing::PrintToString(r.Name);
}

TEST(RemotePaths, JoinNormalizeWithin)
{
    EXPECT_EQ(JoinRemote("/", "a"), "/a");
    EXPECT_EQ(JoinRemote("/x", "a b"), "/x/a b");
    EXPECT_EQ(JoinRemote("/x/", "a"), "/x/a");
    EXPECT_EQ(RemoteParent("/a/b"), "/a");
    EXPECT_EQ(RemoteParent("/a"), "/");
    EXPECT_EQ(BaseName("/a/b/"), "b");
    struct Row {
        const char* Base;
        const char* Path;
        const char* Out;
    };
    const Row rows[] = {
        {"/tree/l1", "..", "/tree"},       {"/tree/l1", "../../..", "/"}, {"/tree", "./a//b/", "/tree/a/b"},
        {"/tree", "/abs/../x", "/x"},      {"", "rel", "/rel"},           {"/a", "b/../../c", "/c"},
    };
    for (const Row& r : rows)
        EXPECT_EQ(NormalizeRemote(r.Base, r.Path), r.Out) << r.Base << " + " << r.Path;
    EXPECT_TRUE(RemoteWithin("/a/b", "/a"));
    EXPECT_TRUE(RemoteWithin("/a", "/a"));
    EXPECT_TRUE(RemoteWithin("/a", "/"));
    EXPECT_FALSE(RemoteWithin("/ab", "/a"));
    EXPECT_FALSE(RemoteWithin("/a", "/a/b"));
}

TEST(LocalPaths, NothingOutsideTheDestination)
{
    std::string base = testsrv::MakeTempDir("ombrex-inside");
    std::string root = base + "/dest";
    std::string outside = base + "/outside";
    ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((root + "/sub").c_str(), 0755), 0);
    ASSERT_EQ(symlink(outside.c_str(), (root + "/escape").c_str()), 0);
    ASSERT_EQ(symlink((outside + "/f").c_str(), (root + "/file-link").c_str()), 0);
    ASSERT_EQ(symlink("sub", (root + "/inner").c_str()), 0);
    // A destination that is itself a link to another folder is the user's choice.
    std::string linkedRoot = base + "/linked-dest";
    ASSERT_EQ(symlink(outside.c_str(), linkedRoot.c_str()), 0);
    struct Row {
        std::string Path;
        bool Inside;
    };
    const Row rows[] = {
        {root + "/a.bin", true},           {root + "/sub/new/deeper.bin", true},
        {root + "/escape/a.bin", false},   {root + "/escape/new/a.bin", false},
        {root + "/file-link", false},      {root + "/inner/a.bin", true},
        {base + "/outside/x", false},      {root + "/../outside/x", false},
    };
    EXPECT_TRUE(LocalInside(linkedRoot, linkedRoot));
    EXPECT_TRUE(LocalInside(linkedRoot, linkedRoot + "/new.bin"));
    EXPECT_FALSE(LocalInside(linkedRoot, root + "/a.bin"));
    for (const Row& r : rows)
        EXPECT_EQ(LocalInside(root, r.Path), r.Inside) << r.Path;
    testsrv::RemoveTree(base);
}

// ---- listings ----

TEST(RemoteListingAdapter, EntriesOfAListing)
{
    std::string data = "total 12\r\n"
                       "-rw-r--r--    1 ftp      ftp          1234 Jan 01 12:00 plain.bin\r\n"
                       "drwxr-xr-x    2 ftp      ftp          4096 Jan 01 12:00 with blank\r\n"
                       "lrwxrwxrwx    1 ftp      ftp             2 Jan 01 12:00 up -> ..\r\n"
                       "lrwxrwxrwx    1 ftp      ftp             2 Jan 01 12:00 bare-link\r\n"
                       "-rw-r--r--    1 ftp      ftp             5 Jan 01 12:00 a -> b\r\n"
                       "-rw-r--r--    1 ftp      ftp             5 Jan 01 12:00 nul"
                       + std::string("\0tail", 5)
                       + "\r\n"
                         "garbage line\n";
    std::vector<TRemoteEntry> e = ParseRemoteListing(data);
    ASSERT_EQ(e.size(), 6u);
    EXPECT_EQ(e[0].Name, "plain.bin");
    EXPECT_EQ(e[0].Kind, TRemoteKind::File);
    EXPECT_EQ(e[0].Size, 1234);
    EXPECT_EQ(e[1].Name, "with blank");
    EXPECT_EQ(e[1].Kind, TRemoteKind::Folder);
    EXPECT_EQ(e[2].Name, "up");
    EXPECT_EQ(e[2].Kind, TRemoteKind::Link);
    EXPECT_EQ(e[2].LinkTarget, "..");
    EXPECT_EQ(e[3].Name, "bare-link");
    EXPECT_EQ(e[3].LinkTarget, "");
    // Only a link's name is split at the arrow.
    EXPECT_EQ(e[4].Name, "a -> b");
    EXPECT_EQ(e[4].Kind, TRemoteKind::File);
    // A NUL inside a name keeps what follows it, so the name is refused rather than cut.
    EXPECT_EQ(e[5].Name, std::string("nul\0tail", 8));
    EXPECT_FALSE(IsPlainName(e[5].Name));
}

// ---- the local walk ----

TEST(LocalWalk, TreeWithLinks)
{
    std::string base = testsrv::MakeTempDir("ombrex-walk");
    std::string root = base + "/root";
    for (const char* d : {"/root", "/root/a", "/root/a/b", "/root/empty", "/outside"})
        ASSERT_EQ(mkdir((base + d).c_str(), 0755), 0);
    testsrv::WriteFile(root + "/a/b/f.bin", "12345");
    testsrv::WriteFile(root + "/top.txt", "x");
    testsrv::WriteFile(base + "/outside/secret", "s");
    ASSERT_EQ(symlink("..", (root + "/a/b/up").c_str()), 0);          // a loop
    ASSERT_EQ(symlink("../outside", (root + "/out").c_str()), 0);     // leaves the tree
    ASSERT_EQ(symlink("a/b", (root + "/to-b").c_str()), 0);           // inside: followed
    ASSERT_EQ(symlink("nowhere", (root + "/dangling").c_str()), 0);

    std::vector<TLocalEntry> entries = WalkLocalTree(root);
    auto find = [&](const std::string& rel) -> const TLocalEntry* {
        for (const auto& e : entries)
            if (e.Relative == rel)
                return &e;
        return nullptr;
    };
    struct Row {
        const char* Relative;
        bool Folder;
        bool Problem;
    };
    const Row rows[] = {
        {"a", true, false},          {"a/b", true, false},    {"a/b/f.bin", false, false},
        {"empty", true, false},      {"top.txt", false, false}, {"a/b/up", true, true},
        {"out", false, true},        {"to-b", true, false},   {"to-b/f.bin", false, false},
        {"dangling", false, true},
    };
    for (const Row& r : rows) {
        const TLocalEntry* e = find(r.Relative);
        ASSERT_NE(e, nullptr) << r.Relative;
        EXPECT_EQ(e->Folder, r.Folder) << r.Relative;
        EXPECT_EQ(!e->Problem.empty(), r.Problem) << r.Relative << ": " << e->Problem;
    }
    EXPECT_EQ(find("a/b/f.bin")->Size, 5);
    EXPECT_EQ(find("out/secret"), nullptr);
    EXPECT_EQ(find("a/b/up/b"), nullptr);
    // Parents come before what they hold.
    for (std::size_t i = 0; i < entries.size(); ++i) {
        std::string rel = entries[i].Relative;
        if (rel.find('/') == std::string::npos)
            continue;
        std::string parent = rel.substr(0, rel.rfind('/'));
        auto it = std::find_if(entries.begin(), entries.end(), [&](const TLocalEntry& e) { return e.Relative == parent; });
        ASSERT_NE(it, entries.end()) << rel;
        EXPECT_LT(std::size_t(it - entries.begin()), i) << rel;
    }
    testsrv::RemoveTree(base);
}

// ---- speed and time left (the clock is given, not read) ----

TEST(ProgressMeter, SmoothedSpeedAndTimeLeft)
{
    TProgressMeter m;
    m.Reset(1000);
    m.Add(100000, 1100);
    EXPECT_EQ(m.Speed(), 0);             // the first window has not passed yet
    EXPECT_EQ(m.SecondsLeft(1000), -1);
    m.Add(400000, 2000);                 // 500,000 bytes in one second
    EXPECT_DOUBLE_EQ(m.Speed(), 500000);
    EXPECT_EQ(m.SecondsLeft(1000000), 2);
    m.Add(0, 3000);                      // a stall lowers the speed without dropping it to zero
    EXPECT_DOUBLE_EQ(m.Speed(), 350000);
    EXPECT_EQ(m.SecondsLeft(350001), 2);
    EXPECT_EQ(m.SecondsLeft(0), 0);
    EXPECT_EQ(m.Total(), 500000);
}
