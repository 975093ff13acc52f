// HTTPS GET over WinHTTP: URL checks against the allowed hosts, whole-body text and
// streamed file downloads. Nothing here logs; failures come back as a reason text.
//
// Reason convention (also in package/ and service/): `reason` may be null; on failure the
// operation overwrites *reason with one sentence, on success it leaves it untouched.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The parts of a URL that a request needs, taken as written.
struct ParsedUrl {
  std::wstring scheme;
  std::wstring host;
  std::wstring path;  // path + query + fragment, "/" when all are empty
  uint16_t port = 0;
  bool secure = false;
};

// Splits an absolute http or https URL; absent for anything else.
std::optional<ParsedUrl> ParseUrl(const std::wstring& url);

// True when the URL is https and its host is one of `hosts` (case-insensitive, exact).
bool ValidateUrl(const std::wstring& url, const std::vector<std::wstring>& hosts,
                 std::wstring* reason);

// The whole body of a 2xx response; absent on failure or when the body is empty.
std::optional<std::vector<uint8_t>> HttpGet(const std::wstring& url, std::wstring* reason);

// The body decoded as UTF-8 (a leading byte order mark dropped).
std::optional<std::wstring> DownloadText(const std::wstring& url, std::wstring* reason);

// Saves the body to `destination`; a failed transfer leaves no partial file and leaves an
// existing destination untouched.
bool DownloadToFile(const std::wstring& url, const std::wstring& destination,
                    std::wstring* reason);

// UTF-8 bytes to text, without one leading byte order mark.
std::wstring DecodeUtf8Body(const std::vector<uint8_t>& data);

// "<operation> failed. WinHTTP error: <last error>".
std::wstring HttpErrorText(const std::wstring& operation);
