// ParseUrl for the native (non-Windows) test build, where WinHttpCrackUrl does not exist. It
// follows the same rules: an absolute http or https URL, components taken as written, user
// information dropped, the port defaulted by the scheme, and the same component limits
// (scheme 15, host 255, path 4095, query and fragment 4095 units).
#include <cstddef>

#include "remote/http_client.h"
#include "util/text.h"

namespace {

constexpr size_t kMaxScheme = 15;
constexpr size_t kMaxHost = 255;
constexpr size_t kMaxPath = 4095;
constexpr size_t kMaxExtra = 4095;

}  // namespace

std::optional<ParsedUrl> ParseUrl(const std::wstring& url) {
  const size_t colon = url.find(L"://");
  if (colon == std::wstring::npos || colon == 0 || colon > kMaxScheme) return std::nullopt;
  ParsedUrl parsed;
  parsed.scheme = url.substr(0, colon);
  const std::wstring scheme = ToLower(parsed.scheme);
  if (scheme == L"https") {
    parsed.secure = true;
    parsed.port = 443;
  } else if (scheme == L"http") {
    parsed.port = 80;
  } else {
    return std::nullopt;
  }

  const size_t authorityStart = colon + 3;
  size_t authorityEnd = url.find_first_of(L"/?#", authorityStart);
  if (authorityEnd == std::wstring::npos) authorityEnd = url.size();
  std::wstring authority = url.substr(authorityStart, authorityEnd - authorityStart);
  const size_t at = authority.rfind(L'@');
  if (at != std::wstring::npos) authority.erase(0, at + 1);
  const size_t portColon = authority.rfind(L':');
  if (portColon != std::wstring::npos && authority.find(L']', portColon) == std::wstring::npos) {
    const std::wstring digits = authority.substr(portColon + 1);
    authority.resize(portColon);
    if (!digits.empty()) {
      if (digits.size() > 5) return std::nullopt;
      unsigned port = 0;
      for (const wchar_t c : digits) {
        if (c < L'0' || c > L'9') return std::nullopt;
        port = port * 10 + static_cast<unsigned>(c - L'0');
      }
      if (port == 0 || port > 65535) return std::nullopt;
      parsed.port = static_cast<uint16_t>(port);
    }
  }
  if (authority.empty() || authority.size() > kMaxHost) return std::nullopt;
  parsed.host = authority;

  const size_t extraStart = url.find_first_of(L"?#", authorityEnd);
  const size_t pathEnd = extraStart == std::wstring::npos ? url.size() : extraStart;
  parsed.path = url.substr(authorityEnd, pathEnd - authorityEnd);
  if (parsed.path.size() > kMaxPath) return std::nullopt;
  if (extraStart != std::wstring::npos) {
    if (url.size() - extraStart > kMaxExtra) return std::nullopt;
    parsed.path += url.substr(extraStart);
  }
  if (parsed.path.empty()) parsed.path = L"/";
  return parsed;
}
