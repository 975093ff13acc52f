#include <windows.h>

#include "package/disk_space.h"

std::optional<uint64_t> FreeDiskBytes(const std::wstring& folder) {
  ULARGE_INTEGER available = {};
  if (!GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr)) return std::nullopt;
  return available.QuadPart;
}
