#include "driver/entry.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "driver/exit_codes.h"
#include "log/setup_log.h"
#include "testing/file_bytes.h"
#include "testing/temp_dir.h"

namespace {

// The part of the single log line after "[time] ".
std::string LoggedLine(const std::wstring& path) {
  const std::string bytes = ReadBytes(path);
  return bytes.size() > 22 ? bytes.substr(22) : bytes;
}

}  // namespace

TEST(ReportUnhandledException, LogsTheStandardExceptionTextAndGives99) {
  struct Case {
    std::exception_ptr error;
    const char* line;
  };
  const Case cases[] = {
      {std::make_exception_ptr(std::runtime_error("walk failed: caf\xC3\xA9")),
       "[ERROR] Unhandled exception: walk failed: caf\xC3\xA9\n"},
      {std::make_exception_ptr(std::logic_error("")), "[ERROR] Unhandled exception: \n"},
      {std::make_exception_ptr(42), "[ERROR] Unhandled unknown exception.\n"},
  };
  for (const Case& c : cases) {
    TestFolder dir;
    {
      SetupLog log(dir / L"x.log");
      EXPECT_EQ(ReportUnhandledException(log, c.error), exit_code::kUnhandledException);
    }
    EXPECT_EQ(LoggedLine(dir / L"x.log"), c.line);
  }
}
