#include "log/setup_log.h"

#include <gtest/gtest.h>

#include <regex>

#include "testing/file_bytes.h"
#include "testing/temp_dir.h"
#include "util/path.h"

namespace {

const std::regex kLine(R"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\] \[(INFO|WARN|ERROR)\] .*)");

}  // namespace

TEST(SetupLog, AppendsOneUtf8LinePerReportWithLineFeedsOnly) {
  TestFolder dir;
  const std::wstring path = dir / L"Orvane.Setup.log";
  {
    SetupLog log(path);
    log.Info(L"Orvane.Setup started.");
    log.Warn(L"caf\u00E9 \u20AC \U0001F600");
    log.Error(L"");
  }
  const std::string bytes = ReadBytes(path);
  ASSERT_GE(bytes.size(), 3u);
  EXPECT_NE(bytes.substr(0, 3), "\xEF\xBB\xBF");
  EXPECT_EQ(bytes.find('\r'), std::string::npos);

  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = bytes.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(bytes.substr(start, end - start));
  }
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(start, bytes.size());  // the file ends with a line feed
  for (const std::string& line : lines) EXPECT_TRUE(std::regex_match(line, kLine)) << line;
  EXPECT_EQ(lines[0].substr(21), " [INFO] Orvane.Setup started.");
  EXPECT_EQ(lines[1].substr(21), " [WARN] caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80");
  EXPECT_EQ(lines[2].substr(21), " [ERROR] ");
}

TEST(SetupLog, KeepsLineBreaksInsideMessagesAndNeverTruncates) {
  TestFolder dir;
  const std::wstring path = dir / L"Orvane.Setup.log";
  WriteBytes(path, "earlier run\n");
  {
    SetupLog log(path);
    log.Error(L"Error 5: Access is denied.\r\n");
  }
  {
    SetupLog second(path);
    second.Info(L"second run");
  }
  const std::string bytes = ReadBytes(path);
  EXPECT_EQ(bytes.rfind("earlier run\n", 0), 0u);
  EXPECT_NE(bytes.find("[ERROR] Error 5: Access is denied.\r\n\n"), std::string::npos);
  EXPECT_NE(bytes.find("[INFO] second run\n"), std::string::npos);
}

TEST(SetupLog, RunsOnWithoutAFile) {
  TestFolder dir;
  EnsureDirectory(dir / L"Orvane.Setup.log");  // a folder where the file should be
  SetupLog log(dir / L"Orvane.Setup.log");
  log.Info(L"console only");
  SetupLog unnamed(L"");
  unnamed.Warn(L"console only");
  EXPECT_TRUE(IsDirectory(dir / L"Orvane.Setup.log"));
}

TEST(TempFolder, IsTheWindowsTemporaryFolderAndHoldsTheLog) {
  const std::wstring temp = TempFolder();
  ASSERT_FALSE(temp.empty());
  EXPECT_EQ(temp.back(), L'\\');
  EXPECT_TRUE(IsDirectory(temp));
  EXPECT_EQ(LogFilePath(), temp + L"Orvane.Setup.log");
}

TEST(LogLineToUtf8, ConvertsUpToTheFirstNul) {
  EXPECT_EQ(LogLineToUtf8(L""), "");
  EXPECT_EQ(LogLineToUtf8(L"\u00E9"), "\xC3\xA9");
  EXPECT_EQ(LogLineToUtf8(std::wstring(L"a\0b", 3)), "a");
}
