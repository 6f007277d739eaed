// The icon list stand-in: fixed places, type names, stable indexes.
#include "platform/SystemImageList.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <fstream>

using platform::SystemImageList;

TEST(SystemImageList, FixedPlacesHoldFileAndFolderIcons)
{
    auto& list = SystemImageList::Instance();
    ASSERT_GE(list.Count(), int(SystemImageList::iiFixedCount));
    EXPECT_EQ(SystemImageList::iiFile, 0);
    EXPECT_EQ(SystemImageList::iiFolder, 3);
    EXPECT_FALSE(list.Icon(SystemImageList::iiFile).isNull());
    EXPECT_FALSE(list.Icon(SystemImageList::iiFolder).isNull());
    EXPECT_TRUE(list.Icon(list.Count()).isNull());
    EXPECT_TRUE(list.Icon(-1).isNull());
}

TEST(SystemImageList, TypeNamesFromNamesAndUnknownIsEmpty)
{
    auto& list = SystemImageList::Instance();
    auto txt = list.FileInfoByName("readme.TXT", false);
    EXPECT_FALSE(txt.TypeName.empty());
    EXPECT_EQ(list.FileInfoByName("notes.txt", false).IconIndex, txt.IconIndex);
    auto unknown = list.FileInfoByName("data.zz9unknown", false);
    EXPECT_EQ(unknown.TypeName, "");
    EXPECT_EQ(unknown.IconIndex, SystemImageList::iiFile);
    EXPECT_EQ(list.FileInfoByName("noext", false).TypeName, "");
    EXPECT_EQ(list.FileInfoByName("sub", true).IconIndex, SystemImageList::iiFolder);
}

TEST(SystemImageList, FileInfoOnDiskTellsFoldersFromFiles)
{
    QTemporaryDir dir;
    std::string base = dir.path().toStdString();
    std::ofstream(base + "/a.txt") << "x";
    auto& list = SystemImageList::Instance();
    EXPECT_EQ(list.FileInfo(base).IconIndex, SystemImageList::iiFolder);
    EXPECT_EQ(list.FileInfo(base, true).IconIndex, SystemImageList::iiFolderOpen);
    EXPECT_EQ(list.FileInfo(base + "/a.txt").TypeName, list.FileInfoByName("a.txt", false).TypeName);
    int before = list.Count();
    int index = list.IndexOfThemeIcon("folder-open");
    EXPECT_EQ(list.IndexOfThemeIcon("folder-open"), index);
    EXPECT_LE(list.Count(), before + 1);
}
