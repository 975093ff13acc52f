// Reading back what a SetupLog wrote: each line without its timestamp, as "[LEVEL] message".
#pragma once

#include <string>
#include <vector>

#include "testing/file_bytes.h"
#include "util/encoding.h"

// The lines of a log file as wide text, each with the "[YYYY-MM-DD hh:mm:ss] " prefix removed.
inline std::vector<std::wstring> LoggedLines(const std::wstring& logPath) {
  const std::string bytes = ReadBytes(logPath);
  std::vector<std::wstring> lines;
  size_t start = 0;
  for (size_t end; (end = bytes.find('\n', start)) != std::string::npos; start = end + 1) {
    const std::string line = bytes.substr(start, end - start);
    lines.push_back(FromUtf8(line.size() > 22 ? line.substr(22) : line));
  }
  return lines;
}
