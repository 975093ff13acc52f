// The package link: read from the remote link file (primary, then fallback host), checked,
// and recorded in the installation folder's "pkglink.txt".
#pragma once

#include <optional>
#include <string>

class SetupLog;

// "https://<primary host>/Upgrade/pkglink.txt" and its fallback twin.
std::wstring PrimaryLinkTextUrl();
std::wstring FallbackLinkTextUrl();

// The validated package link (an allowed https URL ending in ".zip"); logs every step.
std::optional<std::wstring> GetRemotePackageLink(SetupLog& log);

// The body of the primary URL, else of the fallback (when not empty); `usedUrl` (may be null)
// receives the URL that delivered it.
std::optional<std::wstring> ReadTextWithFallback(const std::wstring& primary,
                                                 const std::wstring& fallback, SetupLog& log,
                                                 std::wstring* usedUrl);

// The same file under the fallback host's "/Upgrade/", or "" for URLs outside the primary's.
std::wstring BuildFallbackUrl(const std::wstring& url);

// The last path component of a link, without query or fragment.
std::wstring FileNameFromLink(const std::wstring& link);

// True when the link's file name, without a final ".zip", ends with "ROFS" (any case).
bool IsRofsPackage(const std::wstring& link);

// Writes "pkglink.txt" in the folder: byte order mark, the link, one line feed.
bool WriteLocalLinkFile(const std::wstring& installFolder, const std::wstring& link);
