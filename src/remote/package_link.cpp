#include "remote/package_link.h"

#include "driver/constants.h"
#include "log/setup_log.h"
#include "remote/allowed_hosts.h"
#include "remote/http_client.h"
#include "util/file.h"
#include "util/path.h"
#include "util/text.h"

namespace {

// "https://<host>/Upgrade/" for the primary (0) or fallback (1) update host, in lower case.
std::wstring UpgradeBase(size_t hostIndex) {
  return L"https://" + ToLower(AllowedHosts()[hostIndex]) + L"/Upgrade/";
}

}  // namespace

std::wstring PrimaryLinkTextUrl() { return UpgradeBase(0) + L"pkglink.txt"; }

std::wstring FallbackLinkTextUrl() { return UpgradeBase(1) + L"pkglink.txt"; }

std::optional<std::wstring> GetRemotePackageLink(SetupLog& log) {
  std::wstring sourceUrl;
  const std::optional<std::wstring> text =
      ReadTextWithFallback(PrimaryLinkTextUrl(), FallbackLinkTextUrl(), log, &sourceUrl);
  if (!text) {
    log.Error(L"Failed to read remote update text from primary and fallback URLs.");
    return std::nullopt;
  }
  log.Info(L"Remote update text loaded from: " + sourceUrl);

  // The whole text is trimmed first, so leading blank lines do not hide the link.
  std::wstring link = TrimText(*text);
  const size_t lineFeed = link.find(L'\n');
  if (lineFeed != std::wstring::npos) link = TrimText(link.substr(0, lineFeed));

  std::wstring reason;
  if (!ValidateUrl(link, AllowedHosts(), &reason)) {
    log.Error(L"ZIP download URL rejected: " + reason);
    return std::nullopt;
  }
  if (!EndsWithNoCase(link, L".zip")) {
    log.Error(L"Remote update text must contain a direct .zip link.");
    return std::nullopt;
  }
  return link;
}

std::optional<std::wstring> ReadTextWithFallback(const std::wstring& primary,
                                                 const std::wstring& fallback, SetupLog& log,
                                                 std::wstring* usedUrl) {
  // One reason serves every step; each failing step overwrites it, and an empty body leaves
  // what the step before left.
  std::wstring reason;
  if (!ValidateUrl(primary, AllowedHosts(), &reason)) {
    log.Error(L"Primary URL rejected: " + reason);
    return std::nullopt;
  }
  if (std::optional<std::wstring> text = DownloadText(primary, &reason)) {
    if (usedUrl) *usedUrl = primary;
    return text;
  }
  log.Warn(L"Primary URL failed or timed out. Trying fallback URL. Reason: " + reason);

  if (fallback.empty()) return std::nullopt;
  if (!ValidateUrl(fallback, AllowedHosts(), &reason)) {
    log.Error(L"Fallback URL rejected: " + reason);
    return std::nullopt;
  }
  if (std::optional<std::wstring> text = DownloadText(fallback, &reason)) {
    if (usedUrl) *usedUrl = fallback;
    return text;
  }
  log.Error(L"Fallback URL failed: " + reason);
  return std::nullopt;
}

std::wstring BuildFallbackUrl(const std::wstring& url) {
  const std::wstring primaryBase = UpgradeBase(0);
  if (!StartsWithNoCase(url, primaryBase)) return std::wstring();
  return UpgradeBase(1) + url.substr(primaryBase.size());
}

std::wstring FileNameFromLink(const std::wstring& link) {
  const std::wstring withoutQuery = link.substr(0, link.find_first_of(L"?#"));
  const size_t separator = withoutQuery.find_last_of(L"/\\");
  return separator == std::wstring::npos ? withoutQuery : withoutQuery.substr(separator + 1);
}

bool IsRofsPackage(const std::wstring& link) {
  std::wstring fileName = FileNameFromLink(link);
  if (EndsWithNoCase(fileName, L".zip")) fileName.resize(fileName.size() - 4);
  return EndsWithNoCase(fileName, L"ROFS");
}

bool WriteLocalLinkFile(const std::wstring& installFolder, const std::wstring& link) {
  return WriteTextFile(JoinPath(installFolder, kLocalLinkFileName), link + L"\n");
}
