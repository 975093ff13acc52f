#include "service/legacy_cleanup.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "driver/service_presence.h"
#include "log/setup_log.h"
#include "service/service_control.h"
#include "service/test_services.h"
#include "testing/file_bytes.h"
#include "testing/log_lines.h"
#include "testing/temp_dir.h"
#include "util/path.h"

namespace {

const wchar_t kFolder[] = L"C:\\Orvaner";
const std::wstring kKeptFile = JoinPath(kFolder, L"agent.dll");

const std::wstring kFolderWarning =
    L"[WARN] Legacy service was found. Deleting installation folder completely: C:\\Orvaner";
const std::wstring kInsideWarning =
    L"[WARN] Setup is running from the installation folder. Windows may not allow complete "
    L"folder deletion until this process exits.";
const std::wstring kFolderDeleted = L"[INFO] Installation folder deleted: C:\\Orvaner";

std::wstring FoundLine(const std::wstring& name) {
  return L"[WARN] Legacy service found. Stopping and deleting: " + name;
}

std::wstring RemovedLine(const std::wstring& name) {
  return L"[INFO] Legacy service removed: " + name;
}

// The lines as LoggedLines gives them back when `messages` were logged one by one: a message
// with line feeds of its own (a system error text ends with CR LF) spans several lines.
std::vector<std::wstring> AsLoggedLines(const std::vector<std::wstring>& messages) {
  std::vector<std::wstring> lines;
  for (const std::wstring& message : messages) {
    size_t start = 0;
    for (size_t end; (end = message.find(L'\n', start)) != std::wstring::npos; start = end + 1) {
      lines.push_back(message.substr(start, end - start));
    }
    lines.push_back(message.substr(start));
  }
  return lines;
}

// Every test starts and ends without legacy services and without C:\Orvaner in the prefix.
class LegacyCleanupTest : public ::testing::Test {
 protected:
  LegacyCleanupTest() { RemoveTree(kFolder); }
  ~LegacyCleanupTest() override { RemoveTree(kFolder); }

  // A legacy service running the stand-in agent with the given behaviour, started or not.
  void InstallLegacy(const std::wstring& name, bool start, const std::wstring& behaviour = L"") {
    ASSERT_TRUE(CreateTestService(name, AgentCommandLine(behaviour)));
    if (start) {
      ASSERT_TRUE(StartServiceAndWait(name, nullptr));
    }
  }

  // Starts a log file of its own, for each case of a table.
  SetupLog& NewLog() {
    logPath_ = dir_ / (L"setup-" + std::to_wstring(++logCount_) + L".log");
    log_ = std::make_unique<SetupLog>(logPath_);
    return *log_;
  }

  std::vector<std::wstring> Lines() const { return LoggedLines(logPath_); }

  ServiceNameGuard orvaner_{L"CloudOrvaner"};
  ServiceNameGuard guard_{L"CloudOrvanerGuard"};
  ServiceNameGuard pellucor_{L"CloudPellucor"};
  TestFolder dir_;
  int logCount_ = 0;
  std::wstring logPath_;
  std::unique_ptr<SetupLog> log_;
};

}  // namespace

TEST(LegacyServiceNames, AreTheThreeOldServicesInOrder) {
  EXPECT_EQ(LegacyServiceNames(),
            (std::vector<std::wstring>{L"CloudOrvaner", L"CloudOrvanerGuard", L"CloudPellucor"}));
}

TEST_F(LegacyCleanupTest, WithNoneInstalledWritesNothingAndLeavesTheFolder) {
  WriteBytes(kKeptFile, "old");
  SetupLog& log = NewLog();
  for (bool removeLegacyFolder : {false, true}) {
    EXPECT_TRUE(RemoveLegacyServices(removeLegacyFolder, log));
  }
  EXPECT_TRUE(Lines().empty());
  EXPECT_EQ(ReadBytes(kKeptFile), "old");
}

TEST_F(LegacyCleanupTest, RemovesARunningServiceAndTheFolderOnlyWhenAsked) {
  for (bool removeLegacyFolder : {false, true}) {
    SCOPED_TRACE(removeLegacyFolder ? "folder step asked" : "no folder step");
    SetupLog& log = NewLog();
    WriteBytes(kKeptFile, "old");
    InstallLegacy(L"CloudOrvanerGuard", true);

    EXPECT_TRUE(RemoveLegacyServices(removeLegacyFolder, log));
    std::vector<std::wstring> expected = {FoundLine(L"CloudOrvanerGuard"),
                                          RemovedLine(L"CloudOrvanerGuard")};
    if (removeLegacyFolder) {
      expected.insert(expected.end(), {kFolderWarning, kFolderDeleted});
    }
    EXPECT_EQ(Lines(), expected);
    EXPECT_FALSE(ServiceExists(L"CloudOrvanerGuard"));
    EXPECT_EQ(IsDirectory(kFolder), !removeLegacyFolder);
  }
}

// The first legacy service refuses to stop; the third is still removed, and the folder step
// (with a folder that is already gone) still runs.
TEST_F(LegacyCleanupTest, AFailureOnOneStillProcessesTheOthersAndTheFolder) {
  InstallLegacy(L"CloudOrvaner", true, L"refuse-stop");
  InstallLegacy(L"CloudPellucor", false);

  EXPECT_FALSE(RemoveLegacyServices(true, NewLog()));
  SetLastError(ERROR_INVALID_SERVICE_CONTROL);
  const std::wstring reason = ServiceErrorText(L"ControlService stop failed.");
  EXPECT_EQ(Lines(),
            AsLoggedLines({FoundLine(L"CloudOrvaner"),
                           L"[ERROR] Failed to stop/delete legacy service CloudOrvaner: " + reason,
                           FoundLine(L"CloudPellucor"), RemovedLine(L"CloudPellucor"),
                           kFolderWarning, kFolderDeleted}));
  EXPECT_TRUE(ServiceExists(L"CloudOrvaner"));
  EXPECT_FALSE(ServiceExists(L"CloudPellucor"));
}

// The test for running from inside the folder is a plain text prefix test.
TEST_F(LegacyCleanupTest, WarnsWhenRunningFromInsideTheFolder) {
  struct Case {
    const wchar_t* currentExe;
    bool inside;
  };
  const Case cases[] = {
      {L"C:\\ORVANER\\Updater.exe", true},         {L"c:\\orvaner\\Orvane.Setup.exe", true},
      {L"C:\\OrvanerOld\\Updater.exe", true},      {L"C:\\Orvane.Setup.exe", false},
      {L"Z:\\downloads\\Orvane.Setup.exe", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.currentExe);
    SetupLog& log = NewLog();
    InstallLegacy(L"CloudPellucor", false);

    EXPECT_TRUE(RemoveLegacyServicesRunningFrom(c.currentExe, true, log));
    std::vector<std::wstring> expected = {FoundLine(L"CloudPellucor"),
                                          RemovedLine(L"CloudPellucor"), kFolderWarning};
    if (c.inside) expected.push_back(kInsideWarning);
    expected.push_back(kFolderDeleted);
    EXPECT_EQ(Lines(), expected);
  }
}

// A file held open without delete sharing keeps the folder from going.
TEST_F(LegacyCleanupTest, AFolderThatCannotBeDeletedFailsTheCleanup) {
  WriteBytes(kKeptFile, "old");
  const std::unique_ptr<void, decltype(&CloseHandle)> held(
      CreateFileW(kKeptFile.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                  nullptr),
      &CloseHandle);
  ASSERT_NE(held.get(), INVALID_HANDLE_VALUE);
  InstallLegacy(L"CloudPellucor", false);

  EXPECT_FALSE(RemoveLegacyServices(true, NewLog()));
  EXPECT_EQ(Lines(), (std::vector<std::wstring>{
                         FoundLine(L"CloudPellucor"), RemovedLine(L"CloudPellucor"), kFolderWarning,
                         L"[ERROR] Failed to delete installation folder: C:\\Orvaner"}));
  EXPECT_FALSE(ServiceExists(L"CloudPellucor"));
}
