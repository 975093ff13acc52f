// The local update hosts of the network tests (tests/support/testnet.py) as a Windows test
// program sees them: each host's content and fault lines are files below the folder named by
// the environment variable ORVANE_TEST_SITES, read afresh on every request.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "testing/file_bytes.h"
#include "util/encoding.h"
#include "util/path.h"

// The sites folder, or "" when the program does not run inside the test network.
inline std::wstring TestSitesFolder() {
  const wchar_t* value = _wgetenv(L"ORVANE_TEST_SITES");
  return value ? value : L"";
}

// The file behind a URL path ("/Upgrade/pkglink.txt") of a host, in "docs" or "faults".
inline std::wstring TestSiteFile(const std::wstring& area, const std::wstring& host,
                                 const std::wstring& urlPath) {
  std::wstring relative = urlPath;
  for (wchar_t& c : relative) {
    if (c == L'/') c = L'\\';
  }
  while (!relative.empty() && relative.front() == L'\\') relative.erase(0, 1);
  return JoinPath(JoinPath(JoinPath(TestSitesFolder(), area), host), relative);
}

// Serves bytes at the URL path of the host from now on.
inline void PublishOnHost(const std::wstring& host, const std::wstring& urlPath,
                          const std::string& bytes) {
  WriteBytes(TestSiteFile(L"docs", host, urlPath), bytes);
}

// Serves `size` bytes of a fixed pattern (byte i is i % 251), written piece by piece.
inline void PublishPatternOnHost(const std::wstring& host, const std::wstring& urlPath,
                                 uint64_t size) {
  const std::wstring path = TestSiteFile(L"docs", host, urlPath);
  EnsureDirectory(ParentPath(path));
  std::ofstream out(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
  std::string piece(251 * 4096, '\0');
  for (size_t i = 0; i < piece.size(); ++i) piece[i] = static_cast<char>(i % 251);
  for (uint64_t left = size; left > 0;) {
    const size_t now = static_cast<size_t>(std::min<uint64_t>(left, piece.size()));
    out.write(piece.data(), static_cast<std::streamsize>(now));
    left -= now;
  }
}

// The URL path answers 404 again.
inline void UnpublishOnHost(const std::wstring& host, const std::wstring& urlPath) {
  RemoveTree(TestSiteFile(L"docs", host, urlPath));
}

// Replaces the answer for the URL path with a fault line such as "status 500" or
// "truncate 100" (tests/support/README.md lists them).
inline void SetFaultOnHost(const std::wstring& host, const std::wstring& urlPath,
                           const std::string& line) {
  WriteBytes(TestSiteFile(L"faults", host, urlPath), line);
}

inline void ClearFaultOnHost(const std::wstring& host, const std::wstring& urlPath) {
  RemoveTree(TestSiteFile(L"faults", host, urlPath));
}

// A port of the test network from ORVANE_TEST_<name>_PORT (UNTRUSTED, WRONG_NAME, EXPIRED,
// CLOSED); 0 when unknown.
inline uint16_t TestSitePort(const std::wstring& name) {
  const wchar_t* value = _wgetenv((L"ORVANE_TEST_" + name + L"_PORT").c_str());
  return value ? static_cast<uint16_t>(std::wcstoul(value, nullptr, 10)) : 0;
}

// One line per request served so far: host, port, method, path, user agent, header names,
// separated by tabs.
inline std::vector<std::wstring> TestSiteRequests() {
  const std::string bytes = ReadBytes(JoinPath(TestSitesFolder(), L"requests.log"));
  std::vector<std::wstring> lines;
  size_t start = 0;
  for (size_t end; (end = bytes.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(FromUtf8(bytes.substr(start, end - start)));
  }
  return lines;
}
