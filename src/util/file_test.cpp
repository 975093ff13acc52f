#include "util/file.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "testing/file_bytes.h"
#include "testing/temp_dir.h"
#include "util/path.h"

namespace {

size_t CountEntries(const std::wstring& folder) {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) ++count;
  return count;
}

}  // namespace

TEST(ReadTextFile, DropsOneCompleteBomAndTellsMissingFromEmpty) {
  TestFolder dir;
  EXPECT_FALSE(ReadTextFile(dir / L"missing.txt").has_value());
  WriteBytes(dir / L"empty.txt", "");
  EXPECT_EQ(ReadTextFile(dir / L"empty.txt"), L"");
  WriteBytes(dir / L"bom.txt", "\xEF\xBB\xBF");
  EXPECT_EQ(ReadTextFile(dir / L"bom.txt"), L"");
  WriteBytes(dir / L"a.txt",
             "\xEF\xBB\xBF"
             "A");
  EXPECT_EQ(ReadTextFile(dir / L"a.txt"), L"A");
  WriteBytes(dir / L"half.txt", "\xEF\xBB");
  EXPECT_EQ(ReadTextFile(dir / L"half.txt"), L"\uFFFD");
  WriteBytes(dir / L"crlf.txt", "a\r\nb\xC3\xA9");
  EXPECT_EQ(ReadTextFile(dir / L"crlf.txt"), L"a\r\nb\u00E9");
  EXPECT_FALSE(ReadTextFile(dir.path()).has_value());
}

TEST(WriteTextFile, WritesBomAndUtf8AndRoundTrips) {
  TestFolder dir;
  ASSERT_TRUE(WriteTextFile(dir / L"empty.txt", L""));
  EXPECT_EQ(ReadBytes(dir / L"empty.txt"), "\xEF\xBB\xBF");
  const std::wstring text = L"line1\nline2 \u00E9\u20AC\U0001F600\n";
  ASSERT_TRUE(WriteTextFile(dir / L"sub\\deeper\\t.txt", text));
  EXPECT_EQ(ReadBytes(dir / L"sub\\deeper\\t.txt"),
            "\xEF\xBB\xBFline1\nline2 \xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\n");
  EXPECT_EQ(ReadTextFile(dir / L"sub\\deeper\\t.txt"), text);
}

TEST(WriteTextFile, ReplacesAnExistingFileAndLeavesNoTemporaryFile) {
  TestFolder dir;
  WriteBytes(dir / L"pkglink.txt", "old content that is longer than the new one");
  ASSERT_TRUE(WriteTextFile(dir / L"pkglink.txt", L"new\n"));
  EXPECT_EQ(ReadBytes(dir / L"pkglink.txt"), "\xEF\xBB\xBFnew\n");
  EXPECT_EQ(CountEntries(dir.path()), 1u);
}

TEST(WriteTextFile, AFailedReplaceKeepsTheOldFileWhole) {
  TestFolder dir;
  const std::wstring target = dir / L"appsettings.json";
  WriteBytes(target, "{\"FarmConfig\": {\"ApiKey\": \"k\"}}");
  // A reader that does not share deletion keeps the target from being replaced: the write
  // fails after the new content was made.
  HANDLE reader = CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(WriteTextFile(target, L"{}\n"));
  CloseHandle(reader);
  EXPECT_EQ(ReadBytes(target), "{\"FarmConfig\": {\"ApiKey\": \"k\"}}");
  EXPECT_EQ(CountEntries(dir.path()), 1u);
}

TEST(WriteTextFile, AFailedOpenWritesNothing) {
  TestFolder dir;
  EnsureDirectory(dir / L"folder.json");
  EXPECT_FALSE(WriteTextFile(dir / L"folder.json", L"x"));
  EXPECT_TRUE(IsDirectory(dir / L"folder.json"));
  WriteBytes(dir / L"plainfile", "x");
  EXPECT_FALSE(WriteTextFile(dir / L"plainfile\\below.txt", L"x"));
  EXPECT_EQ(CountEntries(dir.path()), 2u);
}

TEST(CopyFileOverwrite, ReplacesTheDestinationAndCreatesItsFolder) {
  TestFolder dir;
  WriteBytes(dir / L"src.bin", std::string("\0\1\2", 3));
  WriteBytes(dir / L"out\\dst.bin", "old");
  EXPECT_TRUE(CopyFileOverwrite(dir / L"src.bin", dir / L"out\\dst.bin"));
  EXPECT_EQ(ReadBytes(dir / L"out\\dst.bin"), std::string("\0\1\2", 3));
  EXPECT_TRUE(CopyFileOverwrite(dir / L"src.bin", dir / L"new\\a\\dst.bin"));
  EXPECT_FALSE(CopyFileOverwrite(dir / L"missing.bin", dir / L"x.bin"));
}

// What a process killed in the middle of a write leaves beside the target.
constexpr unsigned long kGoneProcess = 4000000000ul;  // no process has this id

TEST(WriteTextFile, RemovesADeadWritersTemporaryAndIsNotBlockedByOne) {
  TestFolder dir;
  const std::wstring target = dir / L"appsettings.json";
  WriteBytes(target, "\xEF\xBB\xBF{}\n");
  const std::wstring stale = dir / TemporaryFileName(L"appsettings.json", kGoneProcess, 1);
  WriteBytes(stale, "\xEF\xBB\xBF{\"FarmConfig\": {\"ApiSecret\": \"s\"}}\n");
  // Our own id may have been a killed process's too: such names must not block the write.
  for (unsigned counter = 1; counter <= 64; ++counter) {
    WriteBytes(dir / TemporaryFileName(L"appsettings.json", GetCurrentProcessId(), counter), "x");
  }
  WriteBytes(dir / TemporaryFileName(L"other.json", kGoneProcess, 1), "not ours");

  ASSERT_TRUE(WriteTextFile(target, L"{\"a\": 1}\n"));
  EXPECT_EQ(ReadBytes(target), "\xEF\xBB\xBF{\"a\": 1}\n");
  EXPECT_FALSE(std::filesystem::exists(stale));
  EXPECT_TRUE(std::filesystem::exists(dir / TemporaryFileName(L"other.json", kGoneProcess, 1)));
  // The target, the other file's temporary and 63 of our own names (one became the target).
  EXPECT_EQ(CountEntries(dir.path()), 65u);
}

TEST(CopyFileOverwrite, IsNotBlockedByADeadCopysTemporaryAndLeavesNoneOfItsOwn) {
  TestFolder dir;
  WriteBytes(dir / L"src.bin", "new agent");
  WriteBytes(dir / L"out\\Updater.exe", "old agent");
  for (unsigned counter = 1; counter <= 64; ++counter) {
    WriteBytes(dir / (L"out\\" + TemporaryFileName(L"Updater.exe", GetCurrentProcessId(), counter)),
               "half a cop");
  }
  ASSERT_TRUE(CopyFileOverwrite(dir / L"src.bin", dir / L"out\\Updater.exe"));
  EXPECT_EQ(ReadBytes(dir / L"out\\Updater.exe"), "new agent");
  EXPECT_EQ(CountEntries(dir / L"out"), 64u);  // one of the names became the target
  EXPECT_FALSE(CopyFileOverwrite(dir / L"missing.bin", dir / L"out\\Updater.exe"));
  EXPECT_EQ(ReadBytes(dir / L"out\\Updater.exe"), "new agent");
  EXPECT_EQ(CountEntries(dir / L"out"), 63u);  // a failed copy leaves no file of its name
}

TEST(IsTemporaryFileOf, KnowsTheShapeOfTemporaryNames) {
  struct Case {
    const wchar_t* name;
    bool expected;
    unsigned long processId;
  };
  const Case cases[] = {
      {L"pkglink.txt.1234-5.tmp", true, 1234},
      {L"PKGLINK.TXT.8-1.TMP", true, 8},
      {L"pkglink.txt.tmp", false, 0},
      {L"pkglink.txt.12-.tmp", false, 0},
      {L"pkglink.txt.-3.tmp", false, 0},
      {L"pkglink.txt.1a-3.tmp", false, 0},
      {L"pkglink.txt.old.1-3.tmp", false, 0},
      {L"pkglink.txt.12345678901-1.tmp", false, 0},
      {L"pkglink.txt", false, 0},
      {L"xpkglink.txt.1-1.tmp", false, 0},
  };
  for (const Case& c : cases) {
    unsigned long processId = 0;
    EXPECT_EQ(IsTemporaryFileOf(c.name, L"pkglink.txt", &processId), c.expected) << c.name;
    EXPECT_EQ(processId, c.processId) << c.name;
  }
  EXPECT_EQ(TemporaryFileName(L"a.json", 12, 3), L"a.json.12-3.tmp");
}

TEST(CurrentExecutablePath, NamesThisTestProgram) {
  const std::wstring self = CurrentExecutablePath();
  EXPECT_TRUE(IsRegularFile(self));
  EXPECT_NE(self.find(L"util_tests.exe"), std::wstring::npos);
}
