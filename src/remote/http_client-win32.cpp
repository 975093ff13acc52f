// The HTTPS client on WinHTTP: one synchronous GET per call, its own session, connection and
// request, all closed before the call returns.
#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <string>

#include "remote/allowed_hosts.h"
#include "remote/http_client.h"
#include "util/path.h"

namespace {

constexpr wchar_t kUserAgent[] = L"Orvane.Setup/1.0";
constexpr DWORD kFileChunkBytes = 256 * 1024;

// The handles of one GET and what the response declared; closes the handles, request first,
// when it goes out of scope or before the next hop of a redirect.
struct OpenGet {
  HINTERNET session = nullptr;
  HINTERNET connection = nullptr;
  HINTERNET request = nullptr;
  std::optional<uint64_t> declaredLength;

  OpenGet() = default;
  OpenGet(const OpenGet&) = delete;
  OpenGet& operator=(const OpenGet&) = delete;
  ~OpenGet() { Close(); }

  void Close() {
    if (request) WinHttpCloseHandle(request);
    if (connection) WinHttpCloseHandle(connection);
    if (session) WinHttpCloseHandle(session);
    request = connection = session = nullptr;
    declaredLength.reset();
  }
};

// Sets the reason (when asked for) and gives false, so failures read as one line.
bool Fail(std::wstring* reason, const std::wstring& text) {
  if (reason) *reason = text;
  return false;
}

// Fails with the WinHTTP error of the step that just failed.
bool FailWinHttp(std::wstring* reason, const wchar_t* operation) {
  return reason ? Fail(reason, HttpErrorText(operation)) : false;
}

// The Content-Length of the response, when it has a valid one.
std::optional<uint64_t> DeclaredLength(HINTERNET request) {
  wchar_t value[32] = {};
  DWORD size = sizeof(value);
  if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX,
                           value, &size, WINHTTP_NO_HEADER_INDEX)) {
    return std::nullopt;
  }
  return ParseContentLength(std::wstring(value, size / sizeof(wchar_t)));
}

// Opens the handles for one URL and sends the GET without letting the platform follow
// redirects; true with the response's status.
bool SendGet(const std::wstring& url, OpenGet& get, DWORD& status, std::wstring* reason) {
  const std::optional<ParsedUrl> parsed = ParseUrl(url);
  if (!parsed) return Fail(reason, kReasonInvalidUrl);

  get.session = WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                            WINHTTP_NO_PROXY_BYPASS, 0);
  if (!get.session) return FailWinHttp(reason, L"WinHttpOpen");
  WinHttpSetTimeouts(get.session, 15000, 15000, 30000, 300000);

  get.connection = WinHttpConnect(get.session, parsed->host.c_str(), parsed->port, 0);
  if (!get.connection) return FailWinHttp(reason, L"WinHttpConnect");

  get.request =
      WinHttpOpenRequest(get.connection, L"GET", parsed->path.c_str(), nullptr, WINHTTP_NO_REFERER,
                         WINHTTP_DEFAULT_ACCEPT_TYPES, parsed->secure ? WINHTTP_FLAG_SECURE : 0);
  if (!get.request) return FailWinHttp(reason, L"WinHttpOpenRequest");
  // No security flags are set: the platform checks the server's certificate (authority,
  // usage, host name, dates) as for any other program. What is fetched here runs as SYSTEM.

  // Redirects are followed by StartGet, which checks where they lead; the platform would
  // follow them anywhere. Either option is enough; a request that takes neither is not sent.
  DWORD policy = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
  DWORD disable = WINHTTP_DISABLE_REDIRECTS;
  const bool policySet =
      WinHttpSetOption(get.request, WINHTTP_OPTION_REDIRECT_POLICY, &policy, sizeof(policy));
  const bool disabled =
      WinHttpSetOption(get.request, WINHTTP_OPTION_DISABLE_FEATURE, &disable, sizeof(disable));
  if (!policySet && !disabled) return FailWinHttp(reason, L"WinHttpSetOption");

  if (!WinHttpSendRequest(get.request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0,
                          0, 0) ||
      !WinHttpReceiveResponse(get.request, nullptr)) {
    return FailWinHttp(reason, L"HTTP request");
  }

  status = 0;
  DWORD statusSize = sizeof(status);
  WinHttpQueryHeaders(get.request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                      WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize, WINHTTP_NO_HEADER_INDEX);
  return true;
}

// The response's Location header, when it has one.
std::optional<std::wstring> LocationHeader(HINTERNET request) {
  DWORD size = 0;
  WinHttpQueryHeaders(request, WINHTTP_QUERY_LOCATION, WINHTTP_HEADER_NAME_BY_INDEX,
                      WINHTTP_NO_OUTPUT_BUFFER, &size, WINHTTP_NO_HEADER_INDEX);
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) return std::nullopt;
  std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
  if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_LOCATION, WINHTTP_HEADER_NAME_BY_INDEX,
                           value.data(), &size, WINHTTP_NO_HEADER_INDEX)) {
    return std::nullopt;
  }
  value.resize(size / sizeof(wchar_t));
  return value;
}

// Sends the GET, follows the redirects that lead to allowed URLs, and checks the final
// status: true with a 2xx response ready to be read, else false with the reason.
bool StartGet(const std::wstring& firstUrl, OpenGet& get, std::wstring* reason) {
  std::wstring url = firstUrl;
  for (int redirects = 0;; ++redirects) {
    get.Close();
    DWORD status = 0;
    if (!SendGet(url, get, status, reason)) return false;
    const std::optional<std::wstring> location =
        IsRedirectStatus(status) ? LocationHeader(get.request) : std::nullopt;
    if (!location) {
      if (status < 200 || status > 299) {
        return Fail(reason, kReasonBadStatus + std::to_wstring(status));
      }
      get.declaredLength = DeclaredLength(get.request);
      return true;
    }
    const std::wstring next = ResolveLocation(url, *location);
    std::wstring refused;
    if (!ValidateUrl(next, AllowedHosts(), &refused)) {
      return Fail(reason, kReasonRedirectNotAllowed + refused);
    }
    if (redirects == kMaxRedirects) return Fail(reason, kReasonTooManyRedirects);
    url = next;
  }
}

// How many body bytes are ready (0 at the end of the body).
bool BodyAvailable(const OpenGet& get, DWORD& available, std::wstring* reason) {
  available = 0;
  if (!WinHttpQueryDataAvailable(get.request, &available)) {
    return FailWinHttp(reason, L"WinHttpQueryDataAvailable");
  }
  return true;
}

// Reads up to `size` body bytes into `into`; `read` is 0 only when the body ended early.
bool ReadBody(const OpenGet& get, uint8_t* into, DWORD size, DWORD& read, std::wstring* reason) {
  read = 0;
  if (!WinHttpReadData(get.request, into, size, &read)) {
    return FailWinHttp(reason, L"WinHttpReadData");
  }
  return true;
}

// True when the finished body is as long as the response declared.
bool BodyComplete(const OpenGet& get, uint64_t received, std::wstring* reason) {
  const std::wstring problem = BodyLengthProblem(get.declaredLength, received);
  return problem.empty() || Fail(reason, problem);
}

// A name beside the destination that no other download of any process uses.
std::wstring PartialNameFor(const std::wstring& destination) {
  static unsigned counter = 0;
  return destination + L"." + std::to_wstring(GetCurrentProcessId()) + L"-" +
         std::to_wstring(++counter) + L".part";
}

// Writes all bytes to the file; false on a failed or short write.
bool WriteAll(HANDLE file, const uint8_t* data, DWORD size) {
  while (size > 0) {
    DWORD written = 0;
    if (!WriteFile(file, data, size, &written, nullptr) || written == 0) return false;
    data += written;
    size -= written;
  }
  return true;
}

// The partial file a download writes to; deleted unless it was moved into place.
struct PartialFile {
  std::wstring path;
  HANDLE handle = INVALID_HANDLE_VALUE;
  bool kept = false;

  PartialFile() = default;
  PartialFile(const PartialFile&) = delete;
  PartialFile& operator=(const PartialFile&) = delete;
  ~PartialFile() {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    if (!path.empty() && !kept) DeleteFileW(path.c_str());
  }
};

// Creates the destination's folder and the partial file beside the destination.
bool CreatePartial(const std::wstring& destination, PartialFile& partial, std::wstring* reason) {
  EnsureDirectory(ParentPath(destination));
  if (IsDirectory(destination)) return Fail(reason, kReasonCannotCreate);
  const std::wstring path = PartialNameFor(destination);
  partial.handle = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (partial.handle == INVALID_HANDLE_VALUE) return Fail(reason, kReasonCannotCreate);
  partial.path = path;
  return true;
}

// Flushes and closes the partial file and moves it over the destination.
bool MovePartialIntoPlace(PartialFile& partial, const std::wstring& destination,
                          std::wstring* reason) {
  const bool flushed = FlushFileBuffers(partial.handle) != 0;
  CloseHandle(partial.handle);
  partial.handle = INVALID_HANDLE_VALUE;
  if (!flushed) return Fail(reason, kReasonCannotWrite);
  if (!MoveFileExW(partial.path.c_str(), destination.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return Fail(reason, kReasonCannotCreate);
  }
  partial.kept = true;
  return true;
}

}  // namespace

std::optional<ParsedUrl> ParseUrl(const std::wstring& url) {
  wchar_t scheme[16] = {};
  wchar_t host[256] = {};
  wchar_t path[4096] = {};
  wchar_t extra[4096] = {};
  URL_COMPONENTS parts = {};
  parts.dwStructSize = sizeof(parts);
  parts.lpszScheme = scheme;
  parts.dwSchemeLength = ARRAYSIZE(scheme);
  parts.lpszHostName = host;
  parts.dwHostNameLength = ARRAYSIZE(host);
  parts.lpszUrlPath = path;
  parts.dwUrlPathLength = ARRAYSIZE(path);
  parts.lpszExtraInfo = extra;
  parts.dwExtraInfoLength = ARRAYSIZE(extra);
  if (!WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) return std::nullopt;

  ParsedUrl parsed;
  parsed.scheme.assign(scheme, parts.dwSchemeLength);
  parsed.host.assign(host, parts.dwHostNameLength);
  parsed.path.assign(path, parts.dwUrlPathLength);
  if (parts.dwExtraInfoLength > 0) parsed.path.append(extra, parts.dwExtraInfoLength);
  if (parsed.path.empty()) parsed.path = L"/";
  parsed.port = parts.nPort;
  parsed.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
  return parsed;
}

std::optional<std::vector<uint8_t>> HttpGet(const std::wstring& url, std::wstring* reason) {
  OpenGet get;
  if (!StartGet(url, get, reason)) return std::nullopt;
  if (get.declaredLength && *get.declaredLength > kMaxBodyBytes) {
    Fail(reason, kReasonBodyTooLarge);
    return std::nullopt;
  }

  std::vector<uint8_t> buffer;
  for (;;) {
    DWORD available = 0;
    if (!BodyAvailable(get, available, reason)) return std::nullopt;
    if (available == 0) break;
    if (buffer.size() + available > kMaxBodyBytes) {
      Fail(reason, kReasonBodyTooLarge);
      return std::nullopt;
    }
    const size_t oldSize = buffer.size();
    buffer.resize(oldSize + available);
    DWORD read = 0;
    if (!ReadBody(get, buffer.data() + oldSize, available, read, reason)) return std::nullopt;
    buffer.resize(oldSize + read);
    if (read == 0) break;
  }
  if (!BodyComplete(get, buffer.size(), reason)) return std::nullopt;
  // A success status without a body is a failure that has no reason of its own.
  if (buffer.empty()) return std::nullopt;
  return buffer;
}

bool DownloadToFile(const std::wstring& url, const std::wstring& destination,
                    std::wstring* reason) {
  OpenGet get;
  if (!StartGet(url, get, reason)) return false;

  // The partial file is created with the first piece of the body, so an empty body creates
  // nothing on disk.
  std::vector<uint8_t> chunk(kFileChunkBytes);
  PartialFile partial;
  uint64_t received = 0;
  for (;;) {
    DWORD available = 0;
    if (!BodyAvailable(get, available, reason)) return false;
    if (available == 0) break;
    DWORD read = 0;
    if (!ReadBody(get, chunk.data(), std::min(available, kFileChunkBytes), read, reason)) {
      return false;
    }
    if (read == 0) break;
    if (partial.handle == INVALID_HANDLE_VALUE && !CreatePartial(destination, partial, reason)) {
      return false;
    }
    if (!WriteAll(partial.handle, chunk.data(), read)) return Fail(reason, kReasonCannotWrite);
    received += read;
  }
  if (!BodyComplete(get, received, reason)) return false;
  if (received == 0) return false;  // no body: a failure without a reason of its own
  return MovePartialIntoPlace(partial, destination, reason);
}

std::wstring HttpErrorText(const std::wstring& operation) {
  const DWORD code = GetLastError();
  return operation + L" failed. WinHTTP error: " + std::to_wstring(code);
}
