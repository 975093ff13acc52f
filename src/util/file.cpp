#include "util/file.h"

#include <filesystem>
#include <fstream>
#include <iterator>

#include "util/encoding.h"

std::optional<std::wstring> ReadTextFile(const std::wstring& path) {
  std::ifstream in(std::filesystem::path(path), std::ios::in | std::ios::binary);
  if (!in.is_open()) return std::nullopt;
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return FromUtf8(WithoutUtf8Bom(bytes));
}
