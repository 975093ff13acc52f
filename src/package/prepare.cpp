#include "package/prepare.h"

#include <filesystem>
#include <system_error>

#include "config/agent_config.h"
#include "driver/constants.h"
#include "log/setup_log.h"
#include "package/zip_extract.h"
#include "remote/allowed_hosts.h"
#include "remote/http_client.h"
#include "remote/package_link.h"
#include "util/path.h"
#include "util/text.h"

namespace fs = std::filesystem;

bool PreparePackage(const std::wstring& link, const std::wstring& workFolder,
                    std::wstring& payloadRoot, SetupLog& log) {
  // A stale tree of an earlier run must never supply the payload.
  RemoveTree(workFolder);
  EnsureDirectory(workFolder);
  const std::wstring downloads = JoinPath(workFolder, L"_downloads");
  const std::wstring extracted = JoinPath(workFolder, L"extracted");
  EnsureDirectory(downloads);
  EnsureDirectory(extracted);
  const std::wstring zipPath = JoinPath(downloads, L"package.zip");
  std::wstring usedUrl;
  std::wstring reason;

  log.Info(L"Downloading package: " + link);
  if (!DownloadWithFallback(link, zipPath, log, &usedUrl)) {
    log.Error(L"Download failed from primary and fallback URLs.");
    return false;
  }
  if (!usedUrl.empty() && !StartsWithNoCase(usedUrl, link)) {
    log.Info(L"Package downloaded from fallback URL: " + usedUrl);
  }

  log.Info(L"Extracting package...");
  if (!ExtractZip(zipPath, extracted, &reason)) {
    log.Error(L"Extraction failed: " + reason);
    return false;
  }

  const std::optional<std::wstring> root = FindAgentFolder(extracted);
  if (!root) {
    log.Error(L"Package validation failed: OrvaneCloudMonitorAgent.exe was not found in ZIP.");
    return false;
  }
  payloadRoot = *root;
  if (!FindConfigTemplate(payloadRoot)) {
    log.Error(
        L"Package validation failed: appsettings.json or appsettings.template.json was not "
        L"found.");
    return false;
  }
  return true;
}

bool DownloadWithFallback(const std::wstring& url, const std::wstring& destination, SetupLog& log,
                          std::wstring* usedUrl) {
  std::wstring reason;
  if (!ValidateUrl(url, AllowedHosts(), &reason)) {
    log.Error(L"Download URL rejected: " + reason);
    return false;
  }
  if (DownloadToFile(url, destination, &reason)) {
    if (usedUrl) *usedUrl = url;
    return true;
  }

  const std::wstring fallbackUrl = BuildFallbackUrl(url);
  if (fallbackUrl.empty()) {
    log.Error(L"Download failed and no fallback URL can be built: " + reason);
    return false;
  }
  log.Warn(L"Primary download failed or timed out. Trying fallback URL. Reason: " + reason);
  if (!ValidateUrl(fallbackUrl, AllowedHosts(), &reason)) {
    log.Error(L"Fallback download URL rejected: " + reason);
    return false;
  }
  if (DownloadToFile(fallbackUrl, destination, &reason)) {
    if (usedUrl) *usedUrl = fallbackUrl;
    return true;
  }
  log.Error(L"Fallback download failed: " + reason);
  return false;
}

std::optional<std::wstring> FindAgentFolder(const std::wstring& extracted) {
  const std::optional<std::wstring> agent = FindFileRecursive(extracted, kAgentExecutableName);
  if (!agent) return std::nullopt;
  return ParentPath(*agent);
}

std::optional<std::wstring> FindFileRecursive(const std::wstring& root,
                                              const std::wstring& fileName) {
  std::error_code ec;
  if (!fs::exists(root, ec) || ec) return std::nullopt;
  const std::wstring target = ToLower(fileName);

  fs::recursive_directory_iterator walk(root, ec);
  if (ec) return std::nullopt;
  // Advancing is deliberately not given an error code: a folder that cannot be read while
  // walking throws, and the entry point turns that into exit code 99.
  for (const fs::recursive_directory_iterator end; walk != end; ++walk) {
    if (ec) return std::nullopt;
    const fs::directory_entry& entry = *walk;
    if (entry.is_regular_file(ec) && ToLower(entry.path().filename().wstring()) == target) {
      return entry.path().wstring();
    }
  }
  return std::nullopt;
}
