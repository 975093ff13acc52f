#include <windows.h>

#include <cwchar>

#include "log/setup_log.h"

std::wstring TempFolder() {
  wchar_t buffer[260] = {};
  const DWORD length = GetTempPathW(260, buffer);
  if (length == 0 || length >= 260) return L".";
  return std::wstring(buffer, length);
}

std::wstring LocalTimestamp() {
  SYSTEMTIME time;
  GetLocalTime(&time);
  wchar_t buffer[64] = {};
  swprintf(buffer, 64, L"%04u-%02u-%02u %02u:%02u:%02u", time.wYear, time.wMonth, time.wDay,
           time.wHour, time.wMinute, time.wSecond);
  return buffer;
}
