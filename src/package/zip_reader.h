// Reading ZIP archives through standard streams: the central directory, entry names and
// entry data (stored or raw deflate, data descriptors, ZIP64), each entry's CRC-32 checked.
// Plain C++ and zlib only, so that it builds and runs on any platform.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

// One entry of the central directory. Sizes and offsets come from the directory (with their
// ZIP64 values), never from the local header, so data descriptors need no special reading.
struct ZipEntry {
  std::string name;  // UTF-8 (from the UTF-8 flag, a Unicode path field, or CP437), as stored
  uint16_t flags = 0;
  uint16_t method = 0;
  uint32_t crc32 = 0;
  uint64_t compressedSize = 0;
  uint64_t uncompressedSize = 0;
  uint64_t localHeaderOffset = 0;
  uint64_t dataOffset = 0;   // first byte of the entry's data; set by CheckZipEntries
  bool isDirectory = false;  // the name ends with a separator
};

// The entries of an archive, in directory order, and where the entries' data must end.
struct ZipDirectory {
  std::vector<ZipEntry> entries;
  uint64_t dataEnd = 0;  // offset of the central directory
};

// What became of streaming one entry.
enum class ZipEntryResult { kOk, kBadEntry, kWriteFailed };

// Reads the end record (ZIP64 too) and the whole central directory. False, with a short
// description in `error` (may be null), when the archive has no readable directory: not a ZIP,
// cut short, split over disks, or counts and offsets that the archive's size cannot hold.
bool ReadZipDirectory(std::istream& archive, ZipDirectory& directory, std::string* error);

// The folder components of an entry name below the extraction folder ("\" counts as "/",
// "." and empty components are dropped). False when the name is unsafe: empty, absolute,
// with a drive letter or any colon, a component of only dots and blanks (".."), a control or
// other character that Windows names cannot hold, or a reserved device name (CON, NUL, ...).
bool SplitEntryName(const std::string& name, std::vector<std::string>& components);

// Checks, before anything is written, every entry that extraction would refuse later if it
// could: unsafe names, encryption, unsupported methods, local headers and data outside the
// archive, entries whose data overlap. Sets each entry's `dataOffset`. False with `error` (UTF-8,
// naming the entry) at the first problem.
bool CheckZipEntries(std::istream& archive, ZipDirectory& directory, std::string* error);

// Streams one checked file entry's data, inflated, to `out` in fixed-size chunks, and checks
// its size and CRC-32. kBadEntry (with `error` naming the entry) for damaged or oversized
// data; kWriteFailed when `out` fails.
ZipEntryResult ExtractZipEntry(std::istream& archive, const ZipEntry& entry, std::ostream& out,
                               std::string* error);

// The sum of the entries' declared uncompressed sizes; UINT64_MAX when it does not fit.
uint64_t DeclaredUncompressedTotal(const ZipDirectory& directory);

// The entry name fit for a message: control characters become "?".
std::string DisplayEntryName(const std::string& name);
