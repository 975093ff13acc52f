#include "util/file.h"

#include <filesystem>
#include <fstream>
#include <iterator>

#include "util/encoding.h"
#include "util/text.h"

std::optional<std::wstring> ReadTextFile(const std::wstring& path) {
  std::ifstream in(std::filesystem::path(path), std::ios::in | std::ios::binary);
  if (!in.is_open()) return std::nullopt;
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return FromUtf8(WithoutUtf8Bom(bytes));
}

std::wstring TemporaryFileName(const std::wstring& targetName, unsigned long processId,
                               unsigned counter) {
  return targetName + L"." + std::to_wstring(processId) + L"-" + std::to_wstring(counter) + L".tmp";
}

bool IsTemporaryFileOf(const std::wstring& name, const std::wstring& targetName,
                       unsigned long* processId) {
  const std::wstring suffix = L".tmp";
  if (name.size() < targetName.size() + 1 + 3 + suffix.size()) return false;
  if (ToLower(name.substr(0, targetName.size())) != ToLower(targetName)) return false;
  if (name[targetName.size()] != L'.') return false;
  if (ToLower(name.substr(name.size() - suffix.size())) != suffix) return false;
  const std::wstring middle =
      name.substr(targetName.size() + 1, name.size() - targetName.size() - 1 - suffix.size());
  const size_t dash = middle.find(L'-');
  const auto digits = [](const std::wstring& text) {
    return !text.empty() && text.size() <= 10 &&
           text.find_first_not_of(L"0123456789") == std::wstring::npos;
  };
  if (dash == std::wstring::npos || !digits(middle.substr(0, dash)) ||
      !digits(middle.substr(dash + 1))) {
    return false;
  }
  if (processId) *processId = std::stoul(middle.substr(0, dash));
  return true;
}
