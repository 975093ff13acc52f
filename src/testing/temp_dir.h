// A fresh folder below the temporary folder for one test, deleted afterwards.
#pragma once

#include <windows.h>

#include <filesystem>
#include <string>

#include "util/path.h"

class TestFolder {
 public:
  TestFolder() {
    wchar_t base[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, base);
    static unsigned counter = 0;
    path_ = JoinPath(base, L"orvane-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                               std::to_wstring(++counter));
    RemoveTree(path_);
    EnsureDirectory(path_);
  }
  ~TestFolder() { RemoveTree(path_); }
  TestFolder(const TestFolder&) = delete;
  TestFolder& operator=(const TestFolder&) = delete;

  const std::wstring& path() const { return path_; }
  std::wstring operator/(const std::wstring& name) const { return JoinPath(path_, name); }

 private:
  std::wstring path_;
};
