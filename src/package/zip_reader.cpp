#include "package/zip_reader.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <istream>
#include <limits>
#include <ostream>

namespace {

constexpr uint32_t kLocalHeaderSignature = 0x04034b50;
constexpr uint32_t kCentralHeaderSignature = 0x02014b50;
constexpr uint32_t kEndSignature = 0x06054b50;
constexpr uint32_t kZip64EndSignature = 0x06064b50;
constexpr uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr size_t kLocalHeaderSize = 30;
constexpr size_t kCentralHeaderSize = 46;
constexpr size_t kEndSize = 22;
constexpr size_t kZip64EndSize = 56;
constexpr size_t kZip64LocatorSize = 20;
constexpr size_t kMaxCommentSize = 0xFFFF;
constexpr uint16_t kZip64ExtraId = 0x0001;
constexpr uint16_t kUnicodePathExtraId = 0x7075;
constexpr uint16_t kFlagEncrypted = 0x0001;
constexpr uint16_t kFlagStrongEncryption = 0x0040;
constexpr uint16_t kFlagUtf8 = 0x0800;
constexpr uint16_t kFlagMaskedHeaders = 0x2000;
constexpr uint16_t kMethodStored = 0;
constexpr uint16_t kMethodDeflated = 8;
constexpr size_t kChunkSize = 128 * 1024;

// Code points of the bytes 0x80..0xFF in code page 437, the names' encoding without the UTF-8 flag.
constexpr std::array<uint16_t, 128> kCp437High = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF,
    0x00EE, 0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA,
    0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557,
    0x255D, 0x255C, 0x255B, 0x2510, 0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559,
    0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, 0x03A6, 0x0398, 0x03A9, 0x03B4,
    0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0};

bool Fail(std::string* error, const std::string& text) {
  if (error) *error = text;
  return false;
}

uint16_t Get16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t Get32(const unsigned char* p) {
  return static_cast<uint32_t>(Get16(p)) | (static_cast<uint32_t>(Get16(p + 2)) << 16);
}

uint64_t Get64(const unsigned char* p) {
  return static_cast<uint64_t>(Get32(p)) | (static_cast<uint64_t>(Get32(p + 4)) << 32);
}

// Reads exactly `size` bytes at `offset`; false on a seek error or a short read.
bool ReadAt(std::istream& in, uint64_t offset, void* buffer, size_t size) {
  in.clear();
  if (offset > static_cast<uint64_t>(std::numeric_limits<std::streamoff>::max())) return false;
  in.seekg(static_cast<std::streamoff>(offset), std::ios::beg);
  if (!in) return false;
  in.read(static_cast<char*>(buffer), static_cast<std::streamsize>(size));
  return static_cast<size_t>(in.gcount()) == size;
}

void AppendUtf8(std::string& out, uint32_t codePoint) {
  if (codePoint < 0x80) {
    out += static_cast<char>(codePoint);
  } else if (codePoint < 0x800) {
    out += static_cast<char>(0xC0 | (codePoint >> 6));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (codePoint >> 12));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  }
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsValidUtf8(const std::string& text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  for (size_t i = 0; i < n;) {
    const unsigned char c = p[i];
    size_t length;
    uint32_t codePoint;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      length = 2, codePoint = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      length = 3, codePoint = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      length = 4, codePoint = c & 0x07;
    } else {
      return false;
    }
    if (n - i < length) return false;
    for (size_t k = 1; k < length; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      codePoint = (codePoint << 6) | (p[i + k] & 0x3F);
    }
    static constexpr uint32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
    if (codePoint < kMinimum[length] || codePoint > 0x10FFFF ||
        (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
      return false;
    }
    i += length;
  }
  return true;
}

std::string Cp437ToUtf8(const std::string& bytes) {
  std::string out;
  for (const char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    AppendUtf8(out, c < 0x80 ? c : kCp437High[c - 0x80]);
  }
  return out;
}

// The name as UTF-8. With the UTF-8 flag the bytes are taken as they are (SplitEntryName
// refuses them when they are not UTF-8). Without it, a Unicode path field that matches the
// stored name wins; then a name that is valid UTF-8 (as zip tools on Linux store it) is taken
// as it is; anything else is CP437, the format's original encoding.
void DecodeName(const std::string& raw, uint16_t flags, const std::string& unicodePath,
                std::string& name) {
  if (flags & kFlagUtf8) {
    name = raw;
  } else if (!unicodePath.empty() && IsValidUtf8(unicodePath)) {
    name = unicodePath;
  } else if (IsValidUtf8(raw)) {
    name = raw;
  } else {
    name = Cp437ToUtf8(raw);
  }
}

// Applies the ZIP64 field (values only for the header fields that are saturated) and reads a
// Unicode path field. False when a saturated field has no ZIP64 value.
bool ParseCentralExtra(const std::string& extra, const std::string& rawName, uint32_t& diskStart,
                       ZipEntry& entry, std::string& unicodePath) {
  const auto* p = reinterpret_cast<const unsigned char*>(extra.data());
  bool needUncompressed = entry.uncompressedSize == 0xFFFFFFFF;
  bool needCompressed = entry.compressedSize == 0xFFFFFFFF;
  bool needOffset = entry.localHeaderOffset == 0xFFFFFFFF;
  bool needDisk = diskStart == 0xFFFF;
  for (size_t at = 0; at + 4 <= extra.size();) {
    const uint16_t id = Get16(p + at);
    const uint16_t size = Get16(p + at + 2);
    if (size > extra.size() - at - 4) break;  // a damaged trailing field is ignored
    const unsigned char* field = p + at + 4;
    if (id == kZip64ExtraId) {
      size_t used = 0;
      auto take64 = [&](bool& need, uint64_t& value) {
        if (!need || used + 8 > size) return;
        value = Get64(field + used);
        used += 8;
        need = false;
      };
      take64(needUncompressed, entry.uncompressedSize);
      take64(needCompressed, entry.compressedSize);
      take64(needOffset, entry.localHeaderOffset);
      if (needDisk && used + 4 <= size) {
        diskStart = Get32(field + used);
        needDisk = false;
      }
    } else if (id == kUnicodePathExtraId && size >= 5 && field[0] == 1) {
      const uint32_t nameCrc = Get32(field + 1);
      const uLong actual = crc32(0L, reinterpret_cast<const Bytef*>(rawName.data()),
                                 static_cast<uInt>(rawName.size()));
      if (nameCrc == actual) unicodePath.assign(reinterpret_cast<const char*>(field + 5), size - 5);
    }
    at += 4 + size;
  }
  return !needUncompressed && !needCompressed && !needOffset && !needDisk;
}

std::string Quoted(const ZipEntry& entry) {
  return "ZIP entry \"" + DisplayEntryName(entry.name) + "\"";
}

bool IsReservedDeviceName(const std::string& component) {
  std::string base = component.substr(0, component.find('.'));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (char& c : base) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL" || base == "CONIN$" ||
      base == "CONOUT$") {
    return true;
  }
  return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
         base[3] >= '0' && base[3] <= '9';
}

}  // namespace

uint64_t DeclaredUncompressedTotal(const ZipDirectory& directory) {
  uint64_t total = 0;
  for (const ZipEntry& entry : directory.entries) {
    if (entry.uncompressedSize > std::numeric_limits<uint64_t>::max() - total) {
      return std::numeric_limits<uint64_t>::max();
    }
    total += entry.uncompressedSize;
  }
  return total;
}

std::string DisplayEntryName(const std::string& name) {
  std::string shown = name;
  for (char& c : shown) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return shown;
}

bool ReadZipDirectory(std::istream& archive, ZipDirectory& directory, std::string* error) {
  directory = ZipDirectory();
  archive.clear();
  archive.seekg(0, std::ios::end);
  const std::streamoff end = archive.tellg();
  if (!archive || end < 0) return Fail(error, "archive cannot be read");
  const uint64_t archiveSize = static_cast<uint64_t>(end);
  if (archiveSize < kEndSize) return Fail(error, "too short for a ZIP archive");

  // The end record is the last 22 bytes, or sits before a comment of up to 64 KiB; its
  // comment length must reach exactly to the end of the archive.
  const size_t tailSize =
      static_cast<size_t>(std::min<uint64_t>(archiveSize, kEndSize + kMaxCommentSize));
  std::string tail(tailSize, '\0');
  if (!ReadAt(archive, archiveSize - tailSize, tail.data(), tailSize)) {
    return Fail(error, "archive cannot be read");
  }
  const auto* t = reinterpret_cast<const unsigned char*>(tail.data());
  size_t endAt = std::string::npos;
  for (size_t i = tailSize - kEndSize + 1; i-- > 0;) {
    if (Get32(t + i) == kEndSignature && i + kEndSize + Get16(t + i + 20) == tailSize) {
      endAt = i;
      break;
    }
  }
  if (endAt == std::string::npos) return Fail(error, "no end of central directory record");
  const uint64_t endOffset = archiveSize - tailSize + endAt;
  const unsigned char* e = t + endAt;
  uint32_t disk = Get16(e + 4);
  uint32_t directoryDisk = Get16(e + 6);
  uint64_t entriesOnDisk = Get16(e + 8);
  uint64_t entryCount = Get16(e + 10);
  uint64_t directorySize = Get32(e + 12);
  uint64_t directoryOffset = Get32(e + 16);
  uint64_t directoryLimit = endOffset;  // the directory must end before this offset

  unsigned char locator[kZip64LocatorSize];
  if (endOffset >= kZip64LocatorSize &&
      ReadAt(archive, endOffset - kZip64LocatorSize, locator, sizeof locator) &&
      Get32(locator) == kZip64LocatorSignature) {
    const uint64_t zip64EndOffset = Get64(locator + 8);
    if (Get32(locator + 4) != 0 || Get32(locator + 16) > 1) return Fail(error, "split archive");
    unsigned char z[kZip64EndSize];
    if (endOffset - kZip64LocatorSize < kZip64EndSize ||
        zip64EndOffset > endOffset - kZip64LocatorSize - kZip64EndSize ||
        !ReadAt(archive, zip64EndOffset, z, sizeof z) || Get32(z) != kZip64EndSignature) {
      return Fail(error, "damaged ZIP64 end record");
    }
    disk = Get32(z + 16);
    directoryDisk = Get32(z + 20);
    entriesOnDisk = Get64(z + 24);
    entryCount = Get64(z + 32);
    directorySize = Get64(z + 40);
    directoryOffset = Get64(z + 48);
    directoryLimit = zip64EndOffset;
  }
  if (disk != 0 || directoryDisk != 0 || entriesOnDisk != entryCount) {
    return Fail(error, "split archive");
  }
  if (directoryOffset > directoryLimit || directorySize > directoryLimit - directoryOffset) {
    return Fail(error, "central directory lies outside the archive");
  }
  // Every header takes at least 46 bytes: a count the directory cannot hold is a lie, and
  // nothing is reserved from it.
  if (entryCount > directorySize / kCentralHeaderSize) {
    return Fail(error, "entry count does not fit the central directory");
  }

  archive.clear();
  archive.seekg(static_cast<std::streamoff>(directoryOffset), std::ios::beg);
  uint64_t left = directorySize;
  std::string rawName, extra;
  for (uint64_t i = 0; i < entryCount; ++i) {
    unsigned char h[kCentralHeaderSize];
    if (left < kCentralHeaderSize) return Fail(error, "central directory is cut short");
    archive.read(reinterpret_cast<char*>(h), sizeof h);
    if (archive.gcount() != static_cast<std::streamsize>(sizeof h) ||
        Get32(h) != kCentralHeaderSignature) {
      return Fail(error, "damaged central directory header");
    }
    left -= kCentralHeaderSize;
    const size_t nameSize = Get16(h + 28), extraSize = Get16(h + 30), commentSize = Get16(h + 32);
    if (static_cast<uint64_t>(nameSize) + extraSize + commentSize > left) {
      return Fail(error, "central directory is cut short");
    }
    rawName.assign(nameSize, '\0');
    extra.assign(extraSize, '\0');
    archive.read(rawName.data(), static_cast<std::streamsize>(nameSize));
    archive.read(extra.data(), static_cast<std::streamsize>(extraSize));
    archive.ignore(static_cast<std::streamsize>(commentSize));
    if (!archive) return Fail(error, "central directory is cut short");
    left -= nameSize + extraSize + commentSize;

    ZipEntry entry;
    entry.flags = Get16(h + 8);
    entry.method = Get16(h + 10);
    entry.crc32 = Get32(h + 16);
    entry.compressedSize = Get32(h + 20);
    entry.uncompressedSize = Get32(h + 24);
    entry.localHeaderOffset = Get32(h + 42);
    uint32_t diskStart = Get16(h + 34);
    std::string unicodePath;
    if (!ParseCentralExtra(extra, rawName, diskStart, entry, unicodePath)) {
      return Fail(error, "ZIP64 sizes missing for entry " + std::to_string(i));
    }
    if (diskStart != 0) return Fail(error, "split archive");
    DecodeName(rawName, entry.flags, unicodePath, entry.name);
    entry.isDirectory =
        !entry.name.empty() && (entry.name.back() == '/' || entry.name.back() == '\\');
    directory.entries.push_back(std::move(entry));
  }
  directory.dataEnd = directoryOffset;
  return true;
}

bool SplitEntryName(const std::string& name, std::vector<std::string>& components) {
  components.clear();
  if (name.empty() || name[0] == '/' || name[0] == '\\') return false;
  if (!IsValidUtf8(name)) return false;
  for (const char ch : name) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || ch == ':' || ch == '<' || ch == '>' || ch == '"' || ch == '|' || ch == '?' ||
        ch == '*') {
      return false;
    }
  }
  size_t start = 0;
  while (start <= name.size()) {
    size_t stop = name.find_first_of("/\\", start);
    if (stop == std::string::npos) stop = name.size();
    const std::string component = name.substr(start, stop - start);
    start = stop + 1;
    if (component.empty() || component == ".") continue;
    // Windows drops trailing dots and blanks: "..", "... " and " " all name a parent or nothing.
    if (component.find_first_not_of(". ") == std::string::npos) return false;
    if (IsReservedDeviceName(component)) return false;
    components.push_back(component);
  }
  return !components.empty();
}

bool CheckZipEntries(std::istream& archive, ZipDirectory& directory, std::string* error) {
  struct Span {
    uint64_t begin, end;
    size_t index;
  };
  std::vector<Span> spans;
  spans.reserve(directory.entries.size());
  std::vector<std::string> components;
  for (size_t i = 0; i < directory.entries.size(); ++i) {
    ZipEntry& entry = directory.entries[i];
    if (!SplitEntryName(entry.name, components)) {
      return Fail(error, Quoted(entry) + " has an unsafe name; nothing was extracted.");
    }
    if (entry.flags & (kFlagEncrypted | kFlagStrongEncryption | kFlagMaskedHeaders)) {
      return Fail(error, Quoted(entry) + " is encrypted.");
    }
    if (entry.isDirectory) continue;
    if (entry.method != kMethodStored && entry.method != kMethodDeflated) {
      return Fail(error, Quoted(entry) + " uses unsupported compression method " +
                             std::to_string(entry.method) + ".");
    }
    if (entry.method == kMethodStored && entry.compressedSize != entry.uncompressedSize) {
      return Fail(error, Quoted(entry) + " is corrupt: stored sizes differ.");
    }
    unsigned char h[kLocalHeaderSize];
    if (entry.localHeaderOffset > directory.dataEnd ||
        directory.dataEnd - entry.localHeaderOffset < kLocalHeaderSize ||
        !ReadAt(archive, entry.localHeaderOffset, h, sizeof h) ||
        Get32(h) != kLocalHeaderSignature) {
      return Fail(error, Quoted(entry) + " is corrupt: its local header is missing.");
    }
    const uint64_t dataOffset =
        entry.localHeaderOffset + kLocalHeaderSize + Get16(h + 26) + Get16(h + 28);
    if (dataOffset > directory.dataEnd || entry.compressedSize > directory.dataEnd - dataOffset) {
      return Fail(error,
                  Quoted(entry) + " is corrupt or truncated: its data lies outside the archive.");
    }
    entry.dataOffset = dataOffset;
    spans.push_back({entry.localHeaderOffset, dataOffset + entry.compressedSize, i});
  }
  // Entries that share bytes are how small archives claim huge contents; a packer never
  // writes them.
  std::stable_sort(spans.begin(), spans.end(),
                   [](const Span& a, const Span& b) { return a.begin < b.begin; });
  for (size_t k = 1; k < spans.size(); ++k) {
    if (spans[k].begin < spans[k - 1].end) {
      return Fail(error, Quoted(directory.entries[spans[k].index]) + " overlaps another entry.");
    }
  }
  return true;
}

ZipEntryResult ExtractZipEntry(std::istream& archive, const ZipEntry& entry, std::ostream& out,
                               std::string* error) {
  auto bad = [&](const std::string& problem) {
    Fail(error, Quoted(entry) + problem);
    return ZipEntryResult::kBadEntry;
  };
  std::vector<char> input(kChunkSize), output(kChunkSize);
  archive.clear();
  archive.seekg(static_cast<std::streamoff>(entry.dataOffset), std::ios::beg);
  if (!archive) return bad(" is corrupt or truncated: its data cannot be read.");

  uint64_t inputLeft = entry.compressedSize;
  uint64_t written = 0;
  uLong crc = crc32(0L, Z_NULL, 0);
  // Reads the next chunk of the entry's stored bytes into `input`; 0 at the entry's end.
  auto readChunk = [&]() -> size_t {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(inputLeft, kChunkSize));
    if (want == 0) return 0;
    archive.read(input.data(), static_cast<std::streamsize>(want));
    const size_t got = static_cast<size_t>(archive.gcount());
    inputLeft -= got;
    return got;
  };
  // Writes inflated bytes, refusing any beyond the declared size.
  auto emit = [&](const char* data, size_t size) -> ZipEntryResult {
    if (size > entry.uncompressedSize - written) {
      return bad(" is corrupt: it holds more data than its declared size.");
    }
    crc = crc32(crc, reinterpret_cast<const Bytef*>(data), static_cast<uInt>(size));
    written += size;
    out.write(data, static_cast<std::streamsize>(size));
    return out ? ZipEntryResult::kOk : ZipEntryResult::kWriteFailed;
  };

  if (entry.method == kMethodStored) {
    while (inputLeft > 0) {
      const size_t got = readChunk();
      if (got == 0) return bad(" is corrupt or truncated: size mismatch.");
      if (const ZipEntryResult r = emit(input.data(), got); r != ZipEntryResult::kOk) return r;
    }
  } else {
    z_stream stream{};
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) return bad(" cannot be inflated.");
    ZipEntryResult result = ZipEntryResult::kOk;
    int status = Z_OK;
    while (result == ZipEntryResult::kOk && status != Z_STREAM_END) {
      if (stream.avail_in == 0 && inputLeft > 0) {
        const size_t got = readChunk();
        if (got == 0) {
          result = bad(" is corrupt or truncated: its data cannot be read.");
          break;
        }
        stream.next_in = reinterpret_cast<Bytef*>(input.data());
        stream.avail_in = static_cast<uInt>(got);
      }
      // Called once more with no input left: a full output buffer may leave output pending.
      stream.next_out = reinterpret_cast<Bytef*>(output.data());
      stream.avail_out = static_cast<uInt>(output.size());
      status = inflate(&stream, Z_NO_FLUSH);
      if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) {
        result = bad(" is corrupt: invalid compressed data.");
        break;
      }
      const size_t produced = output.size() - stream.avail_out;
      result = emit(output.data(), produced);
      if (result == ZipEntryResult::kOk && status != Z_STREAM_END && produced == 0 &&
          stream.avail_in == 0 && inputLeft == 0) {
        result = bad(" is corrupt or truncated: size mismatch.");
      }
    }
    const bool trailing = stream.avail_in != 0 || inputLeft != 0;
    inflateEnd(&stream);
    if (result != ZipEntryResult::kOk) return result;
    if (trailing) return bad(" is corrupt: size mismatch.");
  }
  if (written != entry.uncompressedSize) return bad(" is corrupt or truncated: size mismatch.");
  if (crc != entry.crc32) return bad(" is corrupt: CRC-32 mismatch.");
  out.flush();
  return out ? ZipEntryResult::kOk : ZipEntryResult::kWriteFailed;
}
