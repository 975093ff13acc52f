// The UTF-8 codec of the native (non-Windows) build. It behaves like the Windows one: wide
// strings hold UTF-16 code units even where wchar_t has 32 bits, malformed input becomes
// U+FFFD, and ToUtf8 stops at the first NUL and fails on a lone surrogate.
#include <cstdint>

#include "util/encoding.h"

namespace {

std::uint32_t Unit(wchar_t c) { return static_cast<std::uint32_t>(c) & 0xFFFF; }

void AppendUnits(std::wstring& out, std::uint32_t codePoint) {
  if (codePoint < 0x10000) {
    out.push_back(static_cast<wchar_t>(codePoint));
  } else {
    codePoint -= 0x10000;
    out.push_back(static_cast<wchar_t>(0xD800 + (codePoint >> 10)));
    out.push_back(static_cast<wchar_t>(0xDC00 + (codePoint & 0x3FF)));
  }
}

}  // namespace

std::string ToUtf8(const std::wstring& text) {
  std::string bytes;
  for (size_t i = 0; i < text.size(); ++i) {
    std::uint32_t c = Unit(text[i]);
    if (c == 0) break;
    if (c >= 0xD800 && c <= 0xDFFF) {
      // WC_ERR_INVALID_CHARS is not used on Windows either: a lone surrogate becomes U+FFFD.
      const bool pair = c <= 0xDBFF && i + 1 < text.size() && Unit(text[i + 1]) >= 0xDC00 &&
                        Unit(text[i + 1]) <= 0xDFFF;
      if (pair) {
        c = 0x10000 + ((c - 0xD800) << 10) + (Unit(text[++i]) - 0xDC00);
      } else {
        c = 0xFFFD;
      }
    }
    if (c < 0x80) {
      bytes += static_cast<char>(c);
    } else if (c < 0x800) {
      bytes += static_cast<char>(0xC0 | (c >> 6));
      bytes += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      bytes += static_cast<char>(0xE0 | (c >> 12));
      bytes += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      bytes += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      bytes += static_cast<char>(0xF0 | (c >> 18));
      bytes += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      bytes += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      bytes += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return bytes;
}

std::wstring FromUtf8(const std::string& bytes) {
  std::wstring text;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t n = bytes.size();
  for (size_t i = 0; i < n;) {
    const unsigned char c = p[i];
    if (c < 0x80) {
      text.push_back(static_cast<wchar_t>(c));
      ++i;
      continue;
    }
    size_t length = 0;
    std::uint32_t codePoint = 0;
    if (c >= 0xC2 && c <= 0xDF) {
      length = 2, codePoint = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      length = 3, codePoint = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      length = 4, codePoint = c & 0x07;
    }
    // A maximal subpart of a well-formed sequence becomes one U+FFFD, as on Windows: take
    // continuation bytes while they could still lead to a valid code point.
    size_t used = 1;
    bool complete = length > 0;
    for (size_t k = 1; complete && k < length; ++k) {
      if (i + k >= n) {
        complete = false;
        break;
      }
      const unsigned char next = p[i + k];
      unsigned char low = 0x80, high = 0xBF;
      if (k == 1) {
        if (c == 0xE0) low = 0xA0;
        if (c == 0xED) high = 0x9F;
        if (c == 0xF0) low = 0x90;
        if (c == 0xF4) high = 0x8F;
      }
      if (next < low || next > high) {
        complete = false;
        break;
      }
      codePoint = (codePoint << 6) | (next & 0x3F);
      ++used;
    }
    if (complete) {
      AppendUnits(text, codePoint);
    } else {
      text.push_back(static_cast<wchar_t>(0xFFFD));
    }
    i += used;
  }
  return text;
}
