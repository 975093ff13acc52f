#include <windows.h>

#include <algorithm>
#include <vector>

#include "util/encoding.h"
#include "util/file.h"
#include "util/path.h"

namespace {

// Writes all bytes to an open handle; false on any short or failed write.
bool WriteAll(HANDLE file, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 20));
    DWORD written = 0;
    if (!WriteFile(file, bytes.data() + done, chunk, &written, nullptr) || written == 0) {
      return false;
    }
    done += written;
  }
  return true;
}

// A name beside the target that no other writer of this process or another one uses.
std::wstring TemporaryNameFor(const std::wstring& path) {
  static unsigned counter = 0;
  return path + L"." + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter) +
         L".tmp";
}

}  // namespace

bool CopyFileOverwrite(const std::wstring& source, const std::wstring& destination) {
  EnsureDirectory(ParentPath(destination));
  return CopyFileW(source.c_str(), destination.c_str(), FALSE) != 0;
}

std::wstring CurrentExecutablePath() {
  std::vector<wchar_t> buffer(260);
  DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  while (length == buffer.size() && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
    buffer.resize(buffer.size() * 2);
    length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  }
  return std::wstring(buffer.data(), length);
}

bool WriteTextFile(const std::wstring& path, const std::wstring& text) {
  EnsureDirectory(ParentPath(path));
  if (IsDirectory(path)) return false;

  const std::wstring temporary = TemporaryNameFor(path);
  HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;

  const bool written = WriteAll(file, "\xEF\xBB\xBF" + ToUtf8(text)) && FlushFileBuffers(file);
  CloseHandle(file);
  if (written && MoveFileExW(temporary.c_str(), path.c_str(),
                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return true;
  }
  DeleteFileW(temporary.c_str());
  return false;
}
