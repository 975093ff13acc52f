// Times one ExtractZip of an archive into a folder, and the reading and inflating of the same
// archive without writing files, and prints the figures for tests/bench/extract_bench.sh.
// Usage: extract_bench ZIP DESTINATION
#include <windows.h>

#include <psapi.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <streambuf>
#include <string>

#include "package/zip_extract.h"
#include "package/zip_reader.h"

namespace {

// A stream buffer that accepts and drops everything.
class NullBuffer : public std::streambuf {
 protected:
  std::streamsize xsputn(const char*, std::streamsize count) override { return count; }
  int_type overflow(int_type c) override { return traits_type::not_eof(c); }
};

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Reads, checks and inflates every entry without writing anything; false on any failure.
bool DecodeOnly(const std::wstring& zipPath) {
  std::ifstream archive(std::filesystem::path(zipPath), std::ios::binary);
  ZipDirectory directory;
  if (!ReadZipDirectory(archive, directory, nullptr)) return false;
  if (!CheckZipEntries(archive, directory, nullptr)) return false;
  NullBuffer buffer;
  std::ostream out(&buffer);
  for (const ZipEntry& entry : directory.entries) {
    if (entry.isDirectory) continue;
    if (ExtractZipEntry(archive, entry, out, nullptr) != ZipEntryResult::kOk) return false;
  }
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: extract_bench ZIP DESTINATION\n");
    return 2;
  }
  auto start = std::chrono::steady_clock::now();
  if (!DecodeOnly(argv[1])) {
    std::fprintf(stderr, "decoding failed\n");
    return 1;
  }
  const double decodeSeconds = SecondsSince(start);

  std::wstring reason;
  start = std::chrono::steady_clock::now();
  const bool ok = ExtractZip(argv[1], argv[2], &reason);
  const double extractSeconds = SecondsSince(start);
  if (!ok) {
    std::fwprintf(stderr, L"extraction failed: %ls\n", reason.c_str());
    return 1;
  }
  PROCESS_MEMORY_COUNTERS memory = {};
  memory.cb = sizeof memory;
  GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);
  std::printf("seconds %.4f\ndecode_seconds %.4f\npeak_working_set_bytes %llu\n", extractSeconds,
              decodeSeconds, static_cast<unsigned long long>(memory.PeakWorkingSetSize));
  return 0;
}
