#include "package/zip_reader.h"

#include <gtest/gtest.h>

#include <sstream>

#include "testing/file_bytes.h"
#include "util/file.h"
#include "util/path.h"

namespace {

std::string ArchiveBytes(const std::wstring& name) {
  return ReadBytes(JoinPath(JoinPath(ParentPath(CurrentExecutablePath()), L"test-archives"), name));
}

}  // namespace

TEST(SplitEntryName, GivesTheComponentsOfSafeNames) {
  const std::pair<const char*, std::vector<std::string>> cases[] = {
      {"a.txt", {"a.txt"}},
      {"Agent-2.4.1/bin/x.dll", {"Agent-2.4.1", "bin", "x.dll"}},
      {"dir/", {"dir"}},
      {"win\\style\\name.txt", {"win", "style", "name.txt"}},
      {"./a//b/./c", {"a", "b", "c"}},
      {"..a/b..", {"..a", "b.."}},
      {"console/conx.txt", {"console", "conx.txt"}},
      {"caf\xC3\xA9.txt", {"caf\xC3\xA9.txt"}},
  };
  for (const auto& [name, expected] : cases) {
    std::vector<std::string> components;
    EXPECT_TRUE(SplitEntryName(name, components)) << name;
    EXPECT_EQ(components, expected) << name;
  }
}

TEST(SplitEntryName, RefusesNamesThatLeaveTheFolderOrCannotBeFiles) {
  for (const char* name : {"",
                           "/",
                           "./",
                           "..",
                           "../a",
                           "a/../../b",
                           "a\\..\\b",
                           "/etc/passwd",
                           "\\a",
                           "C:\\a",
                           "c:a",
                           "a/b:ads",
                           "//server/share/a",
                           "a/. ./b",
                           "a/... /b",
                           "a/ /b",
                           "aux",
                           "LPT1.txt",
                           "a/CON",
                           "a/com9.log",
                           "CONIN$",
                           "a\tb",
                           "a\nb",
                           "a|b",
                           "a*",
                           "a\"b",
                           "a<b>",
                           "caf\xE9.txt" /* not UTF-8 although flagged so */,
                           "\xC0\xAE\xC0\xAE/x" /* overlong ".." */}) {
    std::vector<std::string> components;
    EXPECT_FALSE(SplitEntryName(name, components)) << DisplayEntryName(name);
  }
  std::vector<std::string> components;
  EXPECT_FALSE(SplitEntryName(std::string("a\0b", 3), components));
  EXPECT_EQ(DisplayEntryName(std::string("a\0b\r\n", 5)), "a?b??");
}

// The reader works on any standard stream, not only on files.
TEST(ReadZipDirectory, ReadsSizesFromTheDirectoryEvenWithDataDescriptors) {
  for (const wchar_t* archive : {L"descriptor-infozip.zip", L"zip64-full.zip"}) {
    SCOPED_TRACE(archive);
    std::istringstream in(ArchiveBytes(archive));
    ZipDirectory directory;
    std::string error;
    ASSERT_TRUE(ReadZipDirectory(in, directory, &error)) << error;
    ASSERT_TRUE(CheckZipEntries(in, directory, &error)) << error;
    const ZipEntry* module = nullptr;
    for (const ZipEntry& entry : directory.entries) {
      if (entry.name == "Agent-2.4.1/lib/Deep/Nested/Module.DLL") module = &entry;
    }
    ASSERT_NE(module, nullptr);
    EXPECT_FALSE(module->isDirectory);
    EXPECT_EQ(module->uncompressedSize, 2280000u);
    EXPECT_GT(module->compressedSize, 0u);
    std::ostringstream out;
    EXPECT_EQ(ExtractZipEntry(in, *module, out, &error), ZipEntryResult::kOk) << error;
    EXPECT_EQ(out.str().size(), 2280000u);
    EXPECT_EQ(out.str().substr(0, 36), "line 0000000 of a compressible modul");
  }
}

TEST(ReadZipDirectory, RefusesEveryShortenedArchive) {
  const std::string whole = ArchiveBytes(L"corrupt-crc.zip");
  ASSERT_GT(whole.size(), 5000u);
  for (size_t size = 0; size < whole.size(); size += 7) {
    std::istringstream in(whole.substr(0, size));
    ZipDirectory directory;
    EXPECT_FALSE(ReadZipDirectory(in, directory, nullptr)) << size;
  }
}

TEST(ExtractZipEntry, ReportsAFailingOutputApartFromDamage) {
  std::istringstream in(ArchiveBytes(L"nested-python.zip"));
  ZipDirectory directory;
  ASSERT_TRUE(ReadZipDirectory(in, directory, nullptr));
  ASSERT_TRUE(CheckZipEntries(in, directory, nullptr));
  std::ostringstream out;
  out.setstate(std::ios::badbit);
  for (const ZipEntry& entry : directory.entries) {
    if (entry.uncompressedSize == 0) continue;
    EXPECT_EQ(ExtractZipEntry(in, entry, out, nullptr), ZipEntryResult::kWriteFailed) << entry.name;
  }
}
