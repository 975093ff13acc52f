#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <iostream>

#include "log/console.h"

void PrepareConsole() {
  SetConsoleOutputCP(CP_UTF8);  // fails harmlessly when there is no console
  _setmode(_fileno(stdout), _O_U8TEXT);
  _setmode(_fileno(stdin), _O_U8TEXT);
}

void WriteConsoleLine(const std::wstring& line) {
  std::wcout << line << std::endl;
  std::wcout.clear();  // a failed write must not silence later lines
}

void WriteConsoleText(const std::wstring& text) {
  std::wcout << text << std::flush;
  std::wcout.clear();
}

std::optional<std::wstring> ReadConsoleLine() {
  std::wstring line;
  if (!std::getline(std::wcin, line)) return std::nullopt;
  return line;
}
