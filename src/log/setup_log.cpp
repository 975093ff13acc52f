#include "log/setup_log.h"

#include <filesystem>

#include "log/console.h"
#include "util/encoding.h"
#include "util/path.h"

std::wstring LogFilePath() { return JoinPath(TempFolder(), L"Orvane.Setup.log"); }

std::string LogLineToUtf8(const std::wstring& text) { return ToUtf8(text); }

SetupLog::SetupLog(const std::wstring& path) : path_(path) {
  if (!path_.empty()) {
    file_.open(std::filesystem::path(path_), std::ios::out | std::ios::app | std::ios::binary);
  }
}

void SetupLog::Write(const std::wstring& level, const std::wstring& message) {
  const std::wstring line = L"[" + LocalTimestamp() + L"] [" + level + L"] " + message;
  WriteConsoleLine(line);
  if (file_.is_open()) {
    file_ << LogLineToUtf8(line) << '\n';
    file_.flush();
  }
}
