// The rules of the HTTPS client that do not touch the network: URL checks, body decoding and
// body length checks.
#include "remote/http_client.h"

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
