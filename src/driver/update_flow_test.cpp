#include "driver/update_flow.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "log/setup_log.h"

TEST(ExecutableFromCommandLine, TakesTheQuotedPathOrEverythingUpToTheFirstExe) {
  struct Case {
    const wchar_t* commandLine;
    const wchar_t* executable;
  };
  const Case cases[] = {
      {L"", L""},
      {L"  \t ", L""},
      {L"\"D:\\Other Folder\\OrvaneCloudMonitorAgent.exe\" --console",
       L"D:\\Other Folder\\OrvaneCloudMonitorAgent.exe"},
      {L"D:\\Other\\OrvaneCloudMonitorAgent.EXE --console",
       L"D:\\Other\\OrvaneCloudMonitorAgent.EXE"},
      {L"  C:\\Orvaner\\OrvaneCloudMonitorAgent.exe  ",
       L"C:\\Orvaner\\OrvaneCloudMonitorAgent.exe"},
      {L"\"C:\\unterminated\\agent.exe -x", L"\"C:\\unterminated\\agent.exe"},
      {L"C:\\tools\\agent", L"C:\\tools\\agent"},
      {L"OrvaneCloudMonitorAgent.exe", L"OrvaneCloudMonitorAgent.exe"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ExecutableFromCommandLine(c.commandLine), c.executable) << c.commandLine;
  }
}

TEST(MakeWorkFolder, IsAFolderOfThisProcessUnderTheTemporaryFolder) {
  EXPECT_EQ(MakeWorkFolder(L"update"),
            TempFolder() + L"Orvane.Setup\\update-" + std::to_wstring(GetCurrentProcessId()));
}
