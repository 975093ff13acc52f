// The rules of the HTTPS client that do not touch the network: URL checks, body decoding and
// body length checks.
#include "remote/http_client.h"

#include <algorithm>
#include <string>

#include "util/encoding.h"
#include "util/text.h"

bool ValidateUrl(const std::wstring& url, const std::vector<std::wstring>& hosts,
                 std::wstring* reason) {
  return ValidateParsedUrl(ParseUrl(url), hosts, reason);
}

bool ValidateParsedUrl(const std::optional<ParsedUrl>& parsed,
                       const std::vector<std::wstring>& hosts, std::wstring* reason) {
  if (!parsed) {
    if (reason) *reason = kReasonInvalidUrl;
    return false;
  }
  // The scheme test comes first, so plain http fails the same way on every host.
  if (!parsed->secure) {
    if (reason) *reason = kReasonNotHttps;
    return false;
  }
  const std::wstring hostLower = ToLower(parsed->host);
  for (const std::wstring& entry : hosts) {
    if (ToLower(entry) == hostLower) return true;
  }
  if (reason) *reason = kReasonHostNotAllowed + parsed->host;
  return false;
}

std::optional<std::wstring> DownloadText(const std::wstring& url, std::wstring* reason) {
  const std::optional<std::vector<uint8_t>> bytes = HttpGet(url, reason);
  if (!bytes) return std::nullopt;
  return DecodeUtf8Body(*bytes);
}

std::wstring DecodeUtf8Body(const std::vector<uint8_t>& data) {
  return FromUtf8(WithoutUtf8Bom(std::string(data.begin(), data.end())));
}

bool IsRedirectStatus(uint32_t status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

namespace {

// The path with its "." and ".." segments worked out; it starts with "/".
std::wstring RemoveDotSegments(const std::wstring& path) {
  std::vector<std::wstring> kept;
  bool trailingSlash = false;
  for (size_t start = 1; start <= path.size();) {
    size_t stop = path.find(L'/', start);
    if (stop == std::wstring::npos) stop = path.size();
    const std::wstring segment = path.substr(start, stop - start);
    const bool last = stop == path.size();
    start = stop + 1;
    if (segment == L"." || segment == L"..") {
      if (segment == L".." && !kept.empty()) kept.pop_back();
      trailingSlash = last;
      continue;
    }
    kept.push_back(segment);
    trailingSlash = false;
  }
  std::wstring result;
  for (const std::wstring& segment : kept) result += L"/" + segment;
  if (trailingSlash || result.empty()) result += L"/";
  return result;
}

// The reference's path worked out, with its query and fragment kept as written.
std::wstring WithCleanPath(const std::wstring& pathAndRest) {
  const size_t rest = pathAndRest.find_first_of(L"?#");
  if (rest == std::wstring::npos) return RemoveDotSegments(pathAndRest);
  return RemoveDotSegments(pathAndRest.substr(0, rest)) + pathAndRest.substr(rest);
}

// True when the text starts with a scheme and its colon ("https:", "ftp:").
bool HasScheme(const std::wstring& text) {
  const size_t colon = text.find(L':');
  if (colon == std::wstring::npos || colon == 0) return false;
  if (colon > text.find_first_of(L"/?#")) return false;
  for (size_t i = 0; i < colon; ++i) {
    const wchar_t c = text[i];
    const bool letter = (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z');
    if (!letter && (i == 0 || !((c >= L'0' && c <= L'9') || c == L'+' || c == L'-' || c == L'.'))) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::wstring ResolveLocation(const std::wstring& base, const std::wstring& location) {
  const std::wstring reference = TrimText(location);
  if (HasScheme(reference)) return reference;
  const size_t schemeEnd = base.find(L"://");
  if (schemeEnd == std::wstring::npos) return reference;
  if (reference.rfind(L"//", 0) == 0) return base.substr(0, schemeEnd + 1) + reference;

  const size_t pathStart = std::min(base.find_first_of(L"/?#", schemeEnd + 3), base.size());
  const std::wstring origin = base.substr(0, pathStart);
  const size_t pathEnd = std::min(base.find_first_of(L"?#", pathStart), base.size());
  std::wstring basePath = base.substr(pathStart, pathEnd - pathStart);
  if (basePath.empty()) basePath = L"/";

  if (reference.empty()) return base;
  if (reference.front() == L'/') return origin + WithCleanPath(reference);
  if (reference.front() == L'?') return origin + basePath + reference;
  if (reference.front() == L'#') return base.substr(0, base.find(L'#')) + reference;
  return origin + WithCleanPath(basePath.substr(0, basePath.rfind(L'/') + 1) + reference);
}

std::optional<uint64_t> ParseContentLength(const std::wstring& value) {
  if (value.empty() || value.size() > 19) return std::nullopt;
  uint64_t length = 0;
  for (const wchar_t c : value) {
    if (c < L'0' || c > L'9') return std::nullopt;
    length = length * 10 + static_cast<uint64_t>(c - L'0');
  }
  return length;
}

std::wstring BodyLengthProblem(std::optional<uint64_t> declared, uint64_t received) {
  if (declared && received < *declared) return kReasonBodyCutShort;
  return std::wstring();
}
