#include <windows.h>

#include "util/encoding.h"

std::string ToUtf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int needed =
      WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return std::string();
  std::string bytes(static_cast<size_t>(needed), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, bytes.data(), needed, nullptr, nullptr);
  bytes.resize(static_cast<size_t>(needed) - 1);  // drop the terminator
  return bytes;
}

std::wstring FromUtf8(const std::string& bytes) {
  if (bytes.empty()) return std::wstring();
  const int length = static_cast<int>(bytes.size());
  const int needed = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), length, nullptr, 0);
  if (needed <= 0) return std::wstring();
  std::wstring text(static_cast<size_t>(needed), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, bytes.data(), length, text.data(), needed);
  return text;
}
