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

// The last part of a path.
std::wstring FileNameOf(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// A name beside the target that no other live writer, in this process or another, uses. A
// file of that name can only be left by a killed process that had the same id.
std::wstring TemporaryNameFor(const std::wstring& path) {
  static unsigned counter = 0;
  return JoinPath(ParentPath(path),
                  TemporaryFileName(FileNameOf(path), GetCurrentProcessId(), ++counter));
}

// True when no process with this id runs now.
bool ProcessIsGone(unsigned long processId) {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
  if (process != nullptr) {
    CloseHandle(process);
    return false;
  }
  return GetLastError() == ERROR_INVALID_PARAMETER;
}

// Deletes the temporary files of `path` whose writer was killed before it could move them
// into place (its process is gone). A live writer's file, and our own, are left alone.
void RemoveStaleTemporaries(const std::wstring& path) {
  const std::wstring folder = ParentPath(path);
  const std::wstring name = FileNameOf(path);
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((path + L".*.tmp").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    unsigned long processId = 0;
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
        IsTemporaryFileOf(found.cFileName, name, &processId) &&
        processId != GetCurrentProcessId() && ProcessIsGone(processId)) {
      DeleteFileW(JoinPath(folder, found.cFileName).c_str());
    }
  } while (FindNextFileW(find, &found));
  FindClose(find);
}

// Moves a finished temporary file over the target; on failure the temporary is deleted.
bool MoveIntoPlace(const std::wstring& temporary, const std::wstring& path) {
  if (MoveFileExW(temporary.c_str(), path.c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return true;
  }
  DeleteFileW(temporary.c_str());
  return false;
}

}  // namespace

bool CopyFileOverwrite(const std::wstring& source, const std::wstring& destination) {
  EnsureDirectory(ParentPath(destination));
  // Stale temporaries are not looked for here: that costs a folder search per file, and a
  // killed copy's leftover holds only package content and never blocks a later copy.
  const std::wstring temporary = TemporaryNameFor(destination);
  // FALSE: a same-named file can only be a dead process's leftover, and is overwritten.
  if (!CopyFileW(source.c_str(), temporary.c_str(), FALSE)) {
    DeleteFileW(temporary.c_str());
    return false;
  }
  return MoveIntoPlace(temporary, destination);
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

  RemoveStaleTemporaries(path);
  const std::wstring temporary = TemporaryNameFor(path);
  // CREATE_ALWAYS: a same-named file can only be a dead process's leftover (see above).
  HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;

  const bool written = WriteAll(file, "\xEF\xBB\xBF" + ToUtf8(text)) && FlushFileBuffers(file);
  CloseHandle(file);
  if (!written) {
    DeleteFileW(temporary.c_str());
    return false;
  }
  return MoveIntoPlace(temporary, path);
}
