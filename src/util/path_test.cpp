#include "util/path.h"

#include <gtest/gtest.h>

#include "testing/file_bytes.h"
#include "testing/temp_dir.h"

TEST(JoinPath, FollowsTheWindowsAppendRule) {
  struct Case {
    const wchar_t* base;
    const wchar_t* name;
    const wchar_t* joined;
  };
  const Case cases[] = {
      {L"", L"x", L"x"},
      {L"C:\\a", L"", L"C:\\a"},
      {L"C:\\a", L"b", L"C:\\a\\b"},
      {L"C:\\a\\", L"b", L"C:\\a\\b"},
      {L"C:\\a/", L"b", L"C:\\a/b"},
      {L"C:\\a", L"D:\\b", L"D:\\b"},
      {L"C:", L"b", L"C:b"},
      {L"C:\\a", L"\\b", L"C:\\b"},
      {L"C:\\Temp\\", L"Orvane.Setup.log", L"C:\\Temp\\Orvane.Setup.log"},
      {L".", L"Orvane.Setup.log", L".\\Orvane.Setup.log"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(JoinPath(c.base, c.name), c.joined) << c.base << L" + " << c.name;
  }
}

TEST(ParentPath, KeepsTheRootAndDropsTheLastComponent) {
  EXPECT_EQ(ParentPath(L"C:\\a\\b.txt"), L"C:\\a");
  EXPECT_EQ(ParentPath(L"C:\\a"), L"C:\\");
  EXPECT_EQ(ParentPath(L"C:\\"), L"C:\\");
  EXPECT_EQ(ParentPath(L"C:\\a\\b\\"), L"C:\\a\\b");
  EXPECT_EQ(ParentPath(L"b.txt"), L"");
  EXPECT_EQ(ParentPath(L"\\\\server\\share\\x"), L"\\\\server\\share");
}

TEST(PathQueries, TellFilesFromFolders) {
  TestFolder dir;
  WriteBytes(dir / L"f.txt", "x");
  EXPECT_TRUE(IsDirectory(dir.path()));
  EXPECT_FALSE(IsRegularFile(dir.path()));
  EXPECT_TRUE(IsRegularFile(dir / L"f.txt"));
  EXPECT_FALSE(IsDirectory(dir / L"f.txt"));
  EXPECT_FALSE(IsDirectory(dir / L"missing"));
  EXPECT_FALSE(IsRegularFile(dir / L"missing"));
}

TEST(EnsureDirectory, CreatesParentsAndRefusesFiles) {
  TestFolder dir;
  EXPECT_FALSE(EnsureDirectory(L""));
  EXPECT_TRUE(EnsureDirectory(dir / L"a\\b\\c"));
  EXPECT_TRUE(IsDirectory(dir / L"a\\b\\c"));
  EXPECT_TRUE(EnsureDirectory(dir / L"a"));
  WriteBytes(dir / L"file", "keep");
  EXPECT_FALSE(EnsureDirectory(dir / L"file"));
  EXPECT_EQ(ReadBytes(dir / L"file"), "keep");
}

TEST(RemoveTree, DeletesFilesAndTreesAndAcceptsMissingPaths) {
  TestFolder dir;
  WriteBytes(dir / L"t\\a\\b\\x.txt", "x");
  WriteBytes(dir / L"single.txt", "x");
  EXPECT_TRUE(RemoveTree(dir / L"t"));
  EXPECT_FALSE(IsDirectory(dir / L"t"));
  EXPECT_TRUE(RemoveTree(dir / L"single.txt"));
  EXPECT_FALSE(IsRegularFile(dir / L"single.txt"));
  EXPECT_TRUE(RemoveTree(dir / L"never-there"));
}
