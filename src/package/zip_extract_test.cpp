#include "package/zip_extract.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>

#include "testing/file_bytes.h"
#include "testing/temp_dir.h"
#include "util/file.h"
#include "util/path.h"

namespace fs = std::filesystem;

namespace {

// The archives that make_test_archives.py wrote beside this program.
std::wstring Archive(const std::wstring& name) {
  return JoinPath(JoinPath(ParentPath(CurrentExecutablePath()), L"test-archives"), name);
}

// Every folder (as "name/") and file under root with the file's bytes, names exactly as stored.
std::map<std::wstring, std::string> Snapshot(const std::wstring& root) {
  std::map<std::wstring, std::string> items;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::wstring relative = fs::relative(entry.path(), root).generic_wstring();
    if (entry.is_directory()) {
      items[relative + L"/"] = "";
    } else {
      items[relative] = ReadBytes(entry.path().wstring());
    }
  }
  return items;
}

std::set<std::wstring> Names(const std::wstring& root) {
  std::set<std::wstring> names;
  for (const auto& [name, bytes] : Snapshot(root)) names.insert(name);
  return names;
}

class ExtractGoodArchive : public testing::TestWithParam<const wchar_t*> {};

}  // namespace

// Folders first and last, nested and empty folders, an agent in a version-named top folder,
// mixed letter case, non-ASCII names, an empty file, files larger than one chunk.
TEST_P(ExtractGoodArchive, ReproducesThePackagedTreeExactly) {
  TestFolder dir;
  const std::wstring destination = dir / L"extracted";
  std::wstring reason = L"untouched";
  ASSERT_TRUE(ExtractZip(Archive(GetParam()), destination, &reason)) << reason;
  EXPECT_EQ(reason, L"untouched");
  const auto expected = Snapshot(Archive(L"tree"));
  ASSERT_EQ(expected.size(), 16u);  // the generator's tree, not an empty folder
  EXPECT_EQ(Snapshot(destination), expected);
  EXPECT_TRUE(IsRegularFile(JoinPath(destination, L"Agent-2.4.1\\OrvaneCloudMonitorAgent.exe")));
  EXPECT_EQ(CountFilesRecursive(destination), 7);
}

INSTANTIATE_TEST_SUITE_P(StandardTools, ExtractGoodArchive,
                         testing::Values(L"nested-python.zip", L"nested-infozip.zip",
                                         L"descriptor-infozip.zip", L"descriptor-python.zip",
                                         L"zip64-forced.zip", L"zip64-full.zip"));

TEST(ExtractZip, OverwritesExistingFilesAndKeepsOthers) {
  TestFolder dir;
  const std::wstring destination = dir / L"extracted";
  const std::wstring readme = JoinPath(destination, L"Agent-2.4.1\\ReadMe.TXT");
  const std::wstring module = JoinPath(destination, L"Agent-2.4.1\\lib\\Deep\\Nested\\Module.DLL");
  WriteBytes(readme, std::string(100000, 'x'));  // longer than the packaged file
  WriteBytes(module, "old");
  WriteBytes(JoinPath(destination, L"keep.txt"), "mine");

  std::wstring reason;
  ASSERT_TRUE(ExtractZip(Archive(L"nested-python.zip"), destination, &reason)) << reason;
  EXPECT_EQ(ReadBytes(readme), "Orvane agent\r\n");
  EXPECT_EQ(ReadBytes(module),
            ReadBytes(Archive(L"tree\\Agent-2.4.1\\lib\\Deep\\Nested\\Module.DLL")));
  EXPECT_EQ(ReadBytes(JoinPath(destination, L"keep.txt")), "mine");
  // A second run over its own output changes nothing.
  ASSERT_TRUE(ExtractZip(Archive(L"nested-infozip.zip"), destination, &reason)) << reason;
  EXPECT_EQ(CountFilesRecursive(destination), 8);
}

TEST(ExtractZip, DecodesNamesWithoutTheUtf8FlagAsCp437) {
  TestFolder dir;
  std::wstring reason;
  ASSERT_TRUE(ExtractZip(Archive(L"cp437-name.zip"), dir / L"out", &reason)) << reason;
  EXPECT_EQ(Names(dir / L"out"), std::set<std::wstring>{L"caf\u00E9.txt"});
}

TEST(ExtractZip, MissingArchiveOrFolderCreatesNothing) {
  TestFolder dir;
  for (const std::wstring& zipPath : {dir / L"missing.zip", dir.path()}) {
    std::wstring reason;
    EXPECT_FALSE(ExtractZip(zipPath, dir / L"extracted", &reason));
    EXPECT_EQ(reason, L"ZIP file does not exist.");
    EXPECT_FALSE(fs::exists(dir / L"extracted"));
  }
  EXPECT_FALSE(ExtractZip(dir / L"missing.zip", dir / L"extracted", nullptr));
}

// Each failing archive, its reason, and what the destination holds afterwards: refusals that
// the directory shows leave nothing; a damaged entry keeps the files before it but not itself.
TEST(ExtractZip, FailuresGiveTheirReasonAndLeaveOnlyWholeFiles) {
  struct Case {
    const wchar_t* archive;
    const wchar_t* reason;
    std::set<std::wstring> left;
  };
  const Case cases[] = {
      {L"not-a-zip.zip", L"Shell cannot open ZIP archive.", {}},
      {L"truncated.zip", L"Shell cannot open ZIP archive.", {}},
      {L"absurd-count.zip", L"Shell cannot open ZIP archive.", {}},
      {L"empty.zip", L"ZIP archive is empty.", {}},
      {L"encrypted.zip", L"ZIP entry \"first.txt\" is encrypted.", {}},
      {L"unsupported-method.zip",
       L"ZIP entry \"packed.txt\" uses unsupported compression method 14.",
       {}},
      {L"overlap.zip", L"ZIP entry \"second.txt\" overlaps another entry.", {}},
      {L"truncated-entry.zip",
       L"ZIP entry \"payload.bin\" is corrupt or truncated: its data lies outside the archive.",
       {}},
      {L"corrupt-crc.zip",
       L"ZIP entry \"payload.bin\" is corrupt: CRC-32 mismatch.",
       {L"first.txt"}},
      {L"oversized.zip",
       L"ZIP entry \"zeros.bin\" is corrupt: it holds more data than its declared size.",
       {L"first.txt"}},
      {L"undersized.zip",
       L"ZIP entry \"zeros.bin\" is corrupt or truncated: size mismatch.",
       {L"first.txt"}},
      {L"folders-only.zip",
       L"ZIP extraction timed out or produced no files.",
       {L"a/", L"a/b/", L"c/"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.archive);
    TestFolder dir;
    const std::wstring destination = dir / L"extracted";
    std::wstring reason;
    EXPECT_FALSE(ExtractZip(Archive(c.archive), destination, &reason));
    EXPECT_EQ(reason, c.reason);
    EXPECT_EQ(Names(destination), c.left);
    if (c.left.count(L"first.txt")) {
      EXPECT_EQ(ReadBytes(JoinPath(destination, L"first.txt")), "first\n");
    }
  }
}

TEST(ExtractZip, AFileAlreadyInTheDestinationCountsAsExtracted) {
  TestFolder dir;
  WriteBytes(dir / L"extracted\\deep\\old.txt", "old");
  std::wstring reason;
  EXPECT_TRUE(ExtractZip(Archive(L"folders-only.zip"), dir / L"extracted", &reason)) << reason;
  EXPECT_TRUE(IsDirectory(dir / L"extracted\\a\\b"));
}

TEST(ExtractZip, AFileThatCannotBeWrittenIsNamed) {
  TestFolder dir;
  const std::wstring destination = dir / L"extracted";
  const std::wstring blocked = JoinPath(destination, L"Agent-2.4.1\\ReadMe.TXT");
  EnsureDirectory(blocked);  // a folder where the archive has a file
  std::wstring reason;
  EXPECT_FALSE(ExtractZip(Archive(L"nested-python.zip"), destination, &reason));
  EXPECT_EQ(reason, L"ZIP entry \"Agent-2.4.1/ReadMe.TXT\" cannot be written to " + blocked + L".");
}

// Not one byte lands anywhere: not outside the destination, not in it, not at a drive root.
TEST(ExtractZip, UnsafeNamesRefuseTheWholeArchive) {
  const std::pair<const wchar_t*, const wchar_t*> cases[] = {
      {L"unsafe-01.zip", L"../escape-01.txt"},
      {L"unsafe-02.zip", L"sub/../../escape-02.txt"},
      {L"unsafe-03.zip", L"..\\escape-03.txt"},
      {L"unsafe-04.zip", L"sub\\..\\..\\escape-04.txt"},
      {L"unsafe-05.zip", L"/orvane-zip-escape-05.txt"},
      {L"unsafe-06.zip", L"\\orvane-zip-escape-06.txt"},
      {L"unsafe-07.zip", L"C:/orvane-zip-escape-07.txt"},
      {L"unsafe-08.zip", L"C:orvane-zip-escape-08.txt"},
      {L"unsafe-09.zip", L"//localhost/C$/orvane-zip-escape-09.txt"},
      {L"unsafe-10.zip", L"sub/file.txt:stream"},
      {L"unsafe-11.zip", L"sub/.. /escape-11.txt"},
      {L"unsafe-12.zip", L"sub/.../escape-12.txt"},
      {L"unsafe-13.zip", L"sub/NUL.txt"},
      {L"unsafe-14.zip", L".."},
      {L"unsafe-15.zip", L"sub/evil?.txt"},
      {L"unsafe-16.zip", L"sub/evil?txt"},  // a NUL byte in the name, shown as "?"
  };
  for (const auto& [archive, name] : cases) {
    SCOPED_TRACE(archive);
    TestFolder dir;
    const std::wstring destination = dir / L"outer\\inner\\extracted";
    std::wstring reason;
    EXPECT_FALSE(ExtractZip(Archive(archive), destination, &reason));
    EXPECT_EQ(reason, std::wstring(L"ZIP entry \"") + name +
                          L"\" has an unsafe name; nothing was extracted.");
    EXPECT_EQ(Names(dir.path()),
              (std::set<std::wstring>{L"outer/", L"outer/inner/", L"outer/inner/extracted/"}));
  }
  for (const wchar_t* root : {L"C:\\", L"Z:\\", L"Z:\\tmp\\"}) {
    for (const wchar_t* n : {L"05", L"06", L"07", L"08", L"09"}) {
      EXPECT_FALSE(fs::exists(std::wstring(root) + L"orvane-zip-escape-" + n + L".txt"));
    }
  }
  EXPECT_FALSE(fs::exists(fs::current_path() / L"orvane-zip-escape-08.txt"));
}

TEST(CountFilesRecursive, CountsOrdinaryFilesAtEveryDepthOnly) {
  TestFolder dir;
  EXPECT_EQ(CountFilesRecursive(dir / L"missing"), 0);
  EXPECT_EQ(CountFilesRecursive(dir.path()), 0);
  EnsureDirectory(dir / L"a\\b\\c");
  EXPECT_EQ(CountFilesRecursive(dir.path()), 0);
  WriteBytes(dir / L"top.txt", "1");
  WriteBytes(dir / L"a\\b\\c\\deep.txt", "2");
  WriteBytes(dir / L"a\\mid.txt", "3");
  EXPECT_EQ(CountFilesRecursive(dir.path()), 3);
  EXPECT_EQ(CountFilesRecursive(dir / L"a"), 2);
  EXPECT_EQ(CountFilesRecursive(dir / L"top.txt"), 0);
}

// A directory that declares more than the volume holds is refused before anything is
// written, whatever the entries would really inflate to; a total past 64 bits counts as the
// largest number, not as what is left after it wraps.
TEST(ExtractZip, ATotalBeyondTheFreeSpaceIsRefusedBeforeAnythingIsWritten) {
  const std::pair<const wchar_t*, const wchar_t*> cases[] = {
      {L"huge-declared.zip", L"1152921504606846982"},       // 2^60 + first.txt's 6 bytes
      {L"overflowing-total.zip", L"18446744073709551615"},  // 2^63 + 2^63 + 6, saturated
  };
  for (const auto& [archive, needed] : cases) {
    SCOPED_TRACE(archive);
    TestFolder dir;
    const std::wstring destination = dir / L"extracted";
    std::wstring reason;
    EXPECT_FALSE(ExtractZip(Archive(archive), destination, &reason));
    const std::wstring prefix = L"Not enough disk space to extract the package. Needed: " +
                                std::wstring(needed) + L" bytes, free: ";
    EXPECT_EQ(reason.rfind(prefix, 0), 0u) << reason;
    EXPECT_EQ(reason.substr(reason.size() - 7), L" bytes.") << reason;
    EXPECT_EQ(Names(destination), std::set<std::wstring>{});
  }
}
