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

// Largest body that HttpGet and DownloadText accept: a link file is one line, and packages
// go through DownloadToFile, which streams.
inline constexpr uint64_t kMaxBodyBytes = 1u << 20;

// Reasons of this client beyond the WinHTTP failure texts.
inline constexpr wchar_t kReasonInvalidUrl[] = L"Invalid URL.";
inline constexpr wchar_t kReasonNotHttps[] = L"Only HTTPS URLs are allowed.";
inline constexpr wchar_t kReasonHostNotAllowed[] = L"Host is not in the allowed list: ";
inline constexpr wchar_t kReasonBadStatus[] = L"HTTP status is not success: ";
inline constexpr wchar_t kReasonBodyTooLarge[] = L"Response body is too large.";
inline constexpr wchar_t kReasonBodyCutShort[] =
    L"Response body is shorter than its declared length.";
inline constexpr wchar_t kReasonRedirectNotAllowed[] = L"Redirect to a URL that is not allowed: ";
inline constexpr wchar_t kReasonTooManyRedirects[] = L"Too many redirects.";
inline constexpr wchar_t kReasonCannotCreate[] = L"Cannot create destination file.";
inline constexpr wchar_t kReasonCannotWrite[] = L"Cannot write destination file.";

// Redirects that one request follows at most. The platform follows none by itself: each one
// is followed here, and only to an https URL on an allowed host (ValidateUrl).
inline constexpr int kMaxRedirects = 5;

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

// ValidateUrl's rules on a URL already split by ParseUrl (absent: not a usable URL).
bool ValidateParsedUrl(const std::optional<ParsedUrl>& parsed,
                       const std::vector<std::wstring>& hosts, std::wstring* reason);

// The whole body of a 2xx response; absent on failure or when the body is empty. Bodies
// above kMaxBodyBytes and bodies shorter than their Content-Length are failures. Redirects
// (301, 302, 303, 307, 308 with a Location) are followed as kMaxRedirects says; a redirect to
// a URL that AllowedHosts refuses, or one too many, is a failure with its own reason.
std::optional<std::vector<uint8_t>> HttpGet(const std::wstring& url, std::wstring* reason);

// The body decoded as UTF-8 (a leading byte order mark dropped).
std::optional<std::wstring> DownloadText(const std::wstring& url, std::wstring* reason);

// Saves the body to `destination`, streamed through a temporary file beside it that is moved
// into place only after the whole body arrived: a failed transfer leaves no partial file and
// leaves an existing destination untouched. Memory use does not depend on the body's size.
bool DownloadToFile(const std::wstring& url, const std::wstring& destination, std::wstring* reason);

// UTF-8 bytes to text, without one leading byte order mark.
std::wstring DecodeUtf8Body(const std::vector<uint8_t>& data);

// "<operation> failed. WinHTTP error: <last error>".
std::wstring HttpErrorText(const std::wstring& operation);

// True for the statuses whose Location header names where to ask instead.
bool IsRedirectStatus(uint32_t status);

// The absolute URL that a Location value names, resolved against the URL that answered with
// it: absolute, scheme-relative ("//host/x"), absolute-path and relative references, with
// "." and ".." segments removed.
std::wstring ResolveLocation(const std::wstring& base, const std::wstring& location);

// A Content-Length header value as a number; absent unless it is 1 to 19 decimal digits.
std::optional<uint64_t> ParseContentLength(const std::wstring& value);

// The failure reason when a finished body of `received` bytes falls short of the declared
// length, or "" when it is whole (or no length was declared).
std::wstring BodyLengthProblem(std::optional<uint64_t> declared, uint64_t received);
