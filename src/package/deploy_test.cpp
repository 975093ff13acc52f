#include "package/deploy.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "log/setup_log.h"
#include "testing/file_bytes.h"
#include "testing/log_lines.h"
#include "testing/temp_dir.h"
#include "util/file.h"
#include "util/path.h"

namespace fs = std::filesystem;

namespace {

// Every folder (as "name/") and file under root, relative and with "/" separators.
std::set<std::wstring> Names(const std::wstring& root) {
  std::set<std::wstring> names;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::wstring relative = fs::relative(entry.path(), root).generic_wstring();
    names.insert(entry.is_directory() ? relative + L"/" : relative);
  }
  return names;
}

// A payload with everything that the skip rules name, at the top and deeper down.
void WritePayload(const TestFolder& dir) {
  for (const wchar_t* name :
       {L"payload\\OrvaneCloudMonitorAgent.exe", L"payload\\Updater.exe",
        L"payload\\appsettings.json", L"payload\\pkglink.txt", L"payload\\tools\\UPDATER.EXE",
        L"payload\\tools\\orvane.setup.exe", L"payload\\tools\\AppSettings.JSON",
        L"payload\\Logs\\agent.log", L"payload\\data\\cache\\c.bin", L"payload\\sub\\data",
        L"payload\\sub\\database.txt", L"payload\\mydata\\x.txt", L"payload\\_downloads\\p.zip",
        L"payload\\sub\\_update_temp\\t.txt"}) {
    WriteBytes(dir / name, "package");
  }
  EnsureDirectory(dir / L"payload\\empty\\deeper");
}

class Deploy : public testing::Test {
 protected:
  TestFolder dir;
  const std::wstring logPath = dir / L"setup.log";
  const std::wstring install = dir / L"install";
  SetupLog log{logPath};
  std::vector<std::wstring> Lines() const { return LoggedLines(logPath); }
};

}  // namespace

TEST(ContainsNoCase, MatchesWholeNamesInAnyAsciiCase) {
  const std::vector<std::wstring> list = {L"logs", L"Data"};
  EXPECT_TRUE(ContainsNoCase(list, L"LOGS"));
  EXPECT_TRUE(ContainsNoCase(list, L"data"));
  EXPECT_FALSE(ContainsNoCase(list, L"dat"));
  EXPECT_FALSE(ContainsNoCase(list, L"database"));
  EXPECT_FALSE(ContainsNoCase(list, L""));
  EXPECT_FALSE(ContainsNoCase({}, L"logs"));
  EXPECT_FALSE(ContainsNoCase({L"\u00C9"}, L"\u00E9"));  // only A-Z fold
}

TEST_F(Deploy, FirstInstallationCopiesAllButTheSetupExecutables) {
  WritePayload(dir);
  WriteBytes(JoinPath(install, L"OrvaneCloudMonitorAgent.exe"), "installed, longer than package");
  ASSERT_TRUE(CopyPackageFiles(dir / L"payload", install, false, false, log));
  EXPECT_EQ(Names(install), (std::set<std::wstring>{L"OrvaneCloudMonitorAgent.exe",
                                                    L"appsettings.json",
                                                    L"pkglink.txt",
                                                    L"tools/",
                                                    L"tools/AppSettings.JSON",
                                                    L"Logs/",
                                                    L"Logs/agent.log",
                                                    L"data/",
                                                    L"data/cache/",
                                                    L"data/cache/c.bin",
                                                    L"sub/",
                                                    L"sub/data",
                                                    L"sub/database.txt",
                                                    L"mydata/",
                                                    L"mydata/x.txt",
                                                    L"_downloads/",
                                                    L"_downloads/p.zip",
                                                    L"sub/_update_temp/",
                                                    L"sub/_update_temp/t.txt",
                                                    L"empty/",
                                                    L"empty/deeper/"}));
  EXPECT_EQ(ReadBytes(JoinPath(install, L"OrvaneCloudMonitorAgent.exe")), "package");
  EXPECT_TRUE(Lines().empty());
}

TEST_F(Deploy, OrdinaryUpdateKeepsLocalFilesAndDataFoldersAtAnyDepth) {
  WritePayload(dir);
  WriteBytes(JoinPath(install, L"appsettings.json"), "local");
  WriteBytes(JoinPath(install, L"pkglink.txt"), "local");
  WriteBytes(JoinPath(install, L"logs\\old.log"), "local");
  ASSERT_TRUE(CopyPackageFiles(dir / L"payload", install, true, true, log));
  EXPECT_EQ(Names(install), (std::set<std::wstring>{
                                L"OrvaneCloudMonitorAgent.exe", L"appsettings.json", L"pkglink.txt",
                                L"logs/", L"logs/old.log", L"tools/", L"sub/", L"sub/database.txt",
                                L"mydata/", L"mydata/x.txt", L"empty/", L"empty/deeper/"}));
  EXPECT_EQ(ReadBytes(JoinPath(install, L"appsettings.json")), "local");
  EXPECT_EQ(ReadBytes(JoinPath(install, L"pkglink.txt")), "local");
  EXPECT_TRUE(Lines().empty());
}

TEST_F(Deploy, RofsUpdateCopiesDataFoldersButNotLocalFiles) {
  WritePayload(dir);
  ASSERT_TRUE(CopyPackageFiles(dir / L"payload", install, true, false, log));
  const std::set<std::wstring> names = Names(install);
  for (const wchar_t* copied : {L"Logs/agent.log", L"data/cache/c.bin", L"sub/data",
                                L"_downloads/p.zip", L"sub/_update_temp/t.txt"}) {
    EXPECT_TRUE(names.count(copied)) << copied;
  }
  for (const wchar_t* skipped : {L"appsettings.json", L"pkglink.txt", L"tools/AppSettings.JSON",
                                 L"Updater.exe", L"tools/UPDATER.EXE"}) {
    EXPECT_FALSE(names.count(skipped)) << skipped;
  }
}

TEST_F(Deploy, CopyTreeFromANonFolderCreatesNothing) {
  WriteBytes(dir / L"file.txt", "x");
  EXPECT_FALSE(CopyTree(dir / L"missing", install, {}, {}));
  EXPECT_FALSE(CopyTree(dir / L"file.txt", install, {}, {}));
  EXPECT_FALSE(fs::exists(install));
  EXPECT_FALSE(CopyPackageFiles(dir / L"missing", install, false, false, log));
  EXPECT_EQ(Lines(), std::vector<std::wstring>{
                         L"[ERROR] Failed to copy package files to installation folder."});
}

TEST_F(Deploy, AFailedCopyStopsAndIsLogged) {
  WriteBytes(dir / L"payload\\a.txt", "a");
  WriteBytes(dir / L"payload\\b.txt", "b");
  EnsureDirectory(JoinPath(install, L"a.txt"));  // a folder where the file must go
  EnsureDirectory(JoinPath(install, L"b.txt"));
  EXPECT_FALSE(CopyPackageFiles(dir / L"payload", install, false, false, log));
  EXPECT_EQ(Lines(), std::vector<std::wstring>{
                         L"[ERROR] Failed to copy package files to installation folder."});
}

TEST_F(Deploy, EnsureUpdaterCopyCopiesTheRunningExecutableOnlyWhenMissing) {
  ASSERT_TRUE(EnsureUpdaterCopy(install, log));
  const std::wstring updater = JoinPath(install, L"Updater.exe");
  EXPECT_EQ(ReadBytes(updater), ReadBytes(CurrentExecutablePath()));
  EXPECT_EQ(Lines(), std::vector<std::wstring>{L"[INFO] Updater.exe was not found. Current setup "
                                               L"executable was copied as Updater.exe."});
  WriteBytes(updater, "older updater");
  EXPECT_TRUE(EnsureUpdaterCopy(install, log));
  EXPECT_EQ(ReadBytes(updater), "older updater");
  EXPECT_EQ(Lines().size(), 1u);
}

TEST_F(Deploy, EnsureUpdaterCopyWarnsWhenTheCopyFails) {
  WriteBytes(install, "a file where the installation folder should be");
  EXPECT_FALSE(EnsureUpdaterCopy(install, log));
  EXPECT_EQ(Lines(),
            std::vector<std::wstring>{
                L"[WARN] Could not create Updater.exe in installation folder. Continuing."});
}

const wchar_t kRofsWarning[] =
    L"[WARN] ROFS package detected. Cleaning installation folder before replacement; only "
    L"appsettings.json and Updater.exe are preserved.";

TEST_F(Deploy, CleanFolderForRofsKeepsOnlyTheTwoNamesInAnyCase) {
  EXPECT_TRUE(CleanFolderForRofs(install, log));  // missing folder
  EXPECT_EQ(Lines(), std::vector<std::wstring>{kRofsWarning});

  for (const wchar_t* name :
       {L"APPSETTINGS.JSON", L"updater.EXE", L"pkglink.txt", L"OrvaneCloudMonitorAgent.exe",
        L"logs\\a.log", L"data\\d\\x.bin", L"sub\\appsettings.json", L"appsettings.json.bak"}) {
    WriteBytes(JoinPath(install, name), "x");
  }
  EXPECT_TRUE(CleanFolderForRofs(install, log));
  EXPECT_EQ(Names(install), (std::set<std::wstring>{L"APPSETTINGS.JSON", L"updater.EXE"}));
  EXPECT_EQ(Lines(), (std::vector<std::wstring>{kRofsWarning, kRofsWarning}));
}

TEST_F(Deploy, CleanFolderForRofsStopsAtAnEntryItCannotDelete) {
  WriteBytes(JoinPath(install, L"locked.dll"), "x");
  const std::wstring locked = JoinPath(install, L"locked.dll");
  HANDLE handle = CreateFileW(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(CleanFolderForRofs(install, log));
  CloseHandle(handle);
  EXPECT_EQ(Lines(), (std::vector<std::wstring>{kRofsWarning,
                                                L"[ERROR] ROFS cleanup failed for: " + locked}));
}

TEST_F(Deploy, CleanFolderForRofsReportsAFolderItCannotList) {
  WriteBytes(install, "not a folder");
  EXPECT_FALSE(CleanFolderForRofs(install, log));
  EXPECT_EQ(Lines(),
            (std::vector<std::wstring>{
                kRofsWarning, L"[ERROR] Cannot enumerate installation folder for ROFS cleanup."}));
}
