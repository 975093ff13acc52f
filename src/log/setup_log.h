// The run's one log: timestamped lines to the console and appended to a UTF-8 file.
#pragma once

#include <fstream>
#include <string>

// The temporary folder (normally with a trailing backslash), or "." when it cannot be had.
std::wstring TempFolder();

// "Orvane.Setup.log" in TempFolder().
std::wstring LogFilePath();

// Local time as "YYYY-MM-DD hh:mm:ss".
std::wstring LocalTimestamp();

// UTF-8 bytes of a log line (up to its first NUL); empty when conversion fails.
std::string LogLineToUtf8(const std::wstring& text);

// Writes "[time] [LEVEL] message" to standard output and appends it, with a line feed, to
// the log file. A file that cannot be opened or written is silently left out.
class SetupLog {
 public:
  explicit SetupLog(const std::wstring& path);
  SetupLog(const SetupLog&) = delete;
  SetupLog& operator=(const SetupLog&) = delete;

  void Info(const std::wstring& message) { Write(L"INFO", message); }
  void Warn(const std::wstring& message) { Write(L"WARN", message); }
  void Error(const std::wstring& message) { Write(L"ERROR", message); }
  void Write(const std::wstring& level, const std::wstring& message);

 private:
  std::wstring path_;
  std::ofstream file_;
};
