#include "package/zip_extract.h"

#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

#include "package/disk_space.h"
#include "package/zip_reader.h"
#include "util/encoding.h"
#include "util/path.h"

namespace fs = std::filesystem;

namespace {

bool Fail(std::wstring* reason, const std::wstring& text) {
  if (reason) *reason = text;
  return false;
}

std::wstring Quoted(const ZipEntry& entry) {
  return L"ZIP entry \"" + FromUtf8(DisplayEntryName(entry.name)) + L"\"";
}

// The entry's path below the destination, or "" when it would not stay below it. The name
// checks already rule that out; this is the last word on the joined path itself.
std::wstring TargetPath(const fs::path& destination, const ZipEntry& entry) {
  std::vector<std::string> components;
  if (!SplitEntryName(entry.name, components)) return L"";
  fs::path target = destination;
  for (const std::string& component : components) target /= FromUtf8(component);
  const fs::path relative = target.lexically_normal().lexically_relative(destination);
  if (relative.empty() || relative.is_absolute() || relative.has_root_name() ||
      *relative.begin() == L"..") {
    return L"";
  }
  return target.wstring();
}

// Opens the file for writing, replacing an existing one even when it is read-only.
bool OpenForOverwrite(std::ofstream& out, const fs::path& path) {
  out.open(path, std::ios::binary | std::ios::trunc);
  if (out.is_open()) return true;
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) return false;
  fs::permissions(path, fs::perms::owner_write, fs::perm_options::add, ec);
  out.clear();
  out.open(path, std::ios::binary | std::ios::trunc);
  return out.is_open();
}

}  // namespace

bool ExtractZip(const std::wstring& zipPath, const std::wstring& destination,
                std::wstring* reason) {
  if (!IsRegularFile(zipPath)) return Fail(reason, L"ZIP file does not exist.");
  EnsureDirectory(destination);

  std::ifstream archive(fs::path(zipPath), std::ios::binary);
  ZipDirectory directory;
  if (!archive.is_open() || !ReadZipDirectory(archive, directory, nullptr)) {
    return Fail(reason, L"Shell cannot open ZIP archive.");
  }
  if (directory.entries.empty()) return Fail(reason, L"ZIP archive is empty.");

  // Everything that can be refused is refused before the first byte is written.
  std::string error;
  if (!CheckZipEntries(archive, directory, &error)) return Fail(reason, FromUtf8(error));
  const fs::path root = fs::path(destination).lexically_normal();
  std::vector<std::wstring> targets;
  targets.reserve(directory.entries.size());
  for (const ZipEntry& entry : directory.entries) {
    targets.push_back(TargetPath(root, entry));
    if (targets.back().empty()) {
      return Fail(reason, Quoted(entry) + L" has an unsafe name; nothing was extracted.");
    }
  }

  // Entries cannot write more than they declare (ExtractZipEntry refuses it), so the declared
  // total bounds what extraction can put on the disk. Unknown free space is no reason to stop.
  const uint64_t needed = DeclaredUncompressedTotal(directory);
  const std::optional<uint64_t> available = FreeDiskBytes(destination);
  if (available && needed > *available) {
    return Fail(reason, L"Not enough disk space to extract the package. Needed: " +
                            std::to_wstring(needed) + L" bytes, free: " +
                            std::to_wstring(*available) + L" bytes.");
  }

  for (size_t i = 0; i < directory.entries.size(); ++i) {
    const ZipEntry& entry = directory.entries[i];
    const std::wstring& target = targets[i];
    if (entry.isDirectory) {
      if (!EnsureDirectory(target) || !IsDirectory(target)) {
        return Fail(reason, Quoted(entry) + L" cannot be written to " + target + L".");
      }
      continue;
    }
    EnsureDirectory(ParentPath(target));
    std::ofstream out;
    if (!OpenForOverwrite(out, fs::path(target))) {
      return Fail(reason, Quoted(entry) + L" cannot be written to " + target + L".");
    }
    const ZipEntryResult result = ExtractZipEntry(archive, entry, out, &error);
    out.close();
    if (result == ZipEntryResult::kOk && !out.fail()) continue;
    // A file that did not come out whole is not left behind as if it had.
    std::error_code ec;
    fs::remove(fs::path(target), ec);
    if (result == ZipEntryResult::kBadEntry) return Fail(reason, FromUtf8(error));
    return Fail(reason, Quoted(entry) + L" cannot be written to " + target + L".");
  }

  // Extraction is complete here: no file can appear later, so there is nothing to wait for.
  if (CountFilesRecursive(destination) <= 0) {
    return Fail(reason, L"ZIP extraction timed out or produced no files.");
  }
  return true;
}

int32_t CountFilesRecursive(const std::wstring& folder) {
  std::error_code ec;
  if (!fs::exists(folder, ec) || ec) return 0;
  int32_t count = 0;
  fs::recursive_directory_iterator it(folder, ec);
  for (const fs::recursive_directory_iterator end; !ec && it != end; it.increment(ec)) {
    const bool regular = it->is_regular_file(ec);
    if (ec) break;
    if (regular) ++count;
  }
  return count;
}
