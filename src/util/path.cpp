#include "util/path.h"

#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

std::wstring JoinPath(const std::wstring& base, const std::wstring& name) {
  if (base.empty()) return name;
  if (name.empty()) return base;
  return (fs::path(base) / fs::path(name)).wstring();
}

std::wstring ParentPath(const std::wstring& path) { return fs::path(path).parent_path().wstring(); }

bool IsDirectory(const std::wstring& path) {
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  return !ec && fs::is_directory(status);
}

bool IsRegularFile(const std::wstring& path) {
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  return !ec && fs::is_regular_file(status);
}

bool EnsureDirectory(const std::wstring& path) {
  if (path.empty()) return false;
  std::error_code ec;
  if (fs::exists(path, ec) && !ec) return IsDirectory(path);
  ec.clear();
  if (fs::create_directories(path, ec) && !ec) return true;
  std::error_code existsEc;
  return fs::exists(path, existsEc) && !existsEc;
}

bool RemoveTree(const std::wstring& path) {
  std::error_code ec;
  if (!fs::exists(path, ec) || ec) return true;
  fs::remove_all(path, ec);
  return !ec;
}
