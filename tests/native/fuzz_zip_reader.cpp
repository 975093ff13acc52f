// libFuzzer target for the ZIP reader: the input is an archive in memory. The directory is
// read, the entries checked and every file entry extracted into a sink that keeps only a
// count and a CRC-32. Beyond "no crash, no sanitizer report", it checks what extraction
// relies on: a name that passes the checks stays below the extraction folder, a checked
// entry's data lies inside the archive, and an extracted entry has exactly its declared size
// and CRC-32, never one byte more.
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include "package/zip_reader.h"

namespace {

[[noreturn]] void Finding(const char* what) {
  std::fprintf(stderr, "fuzz_zip_reader: %s\n", what);
  std::abort();
}

// Counts and checksums what is written, keeping nothing.
class CountingSink : public std::streambuf {
 public:
  uint64_t count = 0;
  uLong crc = crc32(0L, Z_NULL, 0);

 protected:
  std::streamsize xsputn(const char* data, std::streamsize size) override {
    crc = crc32(crc, reinterpret_cast<const Bytef*>(data), static_cast<uInt>(size));
    count += static_cast<uint64_t>(size);
    return size;
  }
  int_type overflow(int_type c) override {
    if (c == traits_type::eof()) return traits_type::not_eof(c);
    const char ch = traits_type::to_char_type(c);
    xsputn(&ch, 1);
    return c;
  }
};

// The joined path of a name that SplitEntryName accepted, checked the way extraction
// checks it: each component is one plain name, and the result stays below the folder.
void CheckComponentsStayInside(const std::string& name, const std::vector<std::string>& parts) {
  if (parts.empty()) Finding("an accepted name has no components");
  const std::filesystem::path root = "/extract/root";
  std::filesystem::path target = root;
  for (const std::string& part : parts) {
    if (part.empty() || part == "." || part.find_first_not_of(". ") == std::string::npos) {
      Finding("an accepted name has an empty or parent component");
    }
    for (const char c : part) {
      if (c == '/' || c == '\\' || c == ':' || static_cast<unsigned char>(c) < 0x20) {
        Finding("an accepted component holds a separator, colon or control character");
      }
    }
    target /= part;
  }
  const std::filesystem::path relative = target.lexically_normal().lexically_relative(root);
  if (relative.empty() || relative.is_absolute() || *relative.begin() == "..") {
    Finding("an accepted name leaves the extraction folder");
  }
  if (name.empty()) Finding("an empty name was accepted");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::istringstream archive(std::string(reinterpret_cast<const char*>(data), size));
  ZipDirectory directory;
  std::string error;
  if (!ReadZipDirectory(archive, directory, &error)) {
    if (error.empty()) Finding("a refused archive without a description");
    return 0;
  }
  if (directory.dataEnd > size) Finding("the directory starts beyond the archive");
  if (directory.entries.size() > size / 46) Finding("more entries than the archive can hold");

  std::vector<std::string> parts;
  for (const ZipEntry& entry : directory.entries) {
    if (SplitEntryName(entry.name, parts)) CheckComponentsStayInside(entry.name, parts);
  }

  error.clear();
  if (!CheckZipEntries(archive, directory, &error)) {
    if (error.empty()) Finding("a refused entry without a description");
    return 0;
  }
  for (const ZipEntry& entry : directory.entries) {
    if (!SplitEntryName(entry.name, parts)) Finding("a checked entry has an unsafe name");
    if (entry.isDirectory) continue;
    if (entry.dataOffset > directory.dataEnd ||
        entry.compressedSize > directory.dataEnd - entry.dataOffset) {
      Finding("a checked entry's data lies outside the archive");
    }
    CountingSink sink;
    std::ostream out(&sink);
    const ZipEntryResult result = ExtractZipEntry(archive, entry, out, &error);
    if (sink.count > entry.uncompressedSize) Finding("more bytes than the declared size");
    if (result == ZipEntryResult::kWriteFailed) Finding("a sink that never fails failed");
    if (result == ZipEntryResult::kOk &&
        (sink.count != entry.uncompressedSize || sink.crc != entry.crc32)) {
      Finding("an entry extracted whole with the wrong size or CRC-32");
    }
  }
  return 0;
}
