#include "driver/update_flow.h"

#include "config/agent_config.h"
#include "driver/constants.h"
#include "driver/exit_codes.h"
#include "driver/folder_access.h"
#include "driver/process_id.h"
#include "log/setup_log.h"
#include "package/deploy.h"
#include "package/prepare.h"
#include "remote/package_link.h"
#include "service/legacy_cleanup.h"
#include "service/service_control.h"
#include "util/file.h"
#include "util/path.h"
#include "util/text.h"

std::wstring ExecutableFromCommandLine(const std::wstring& binary) {
  const std::wstring text = TrimText(binary);
  if (text.empty()) return std::wstring();
  if (text.front() == L'"') {
    const size_t closing = text.find(L'"', 1);
    if (closing != std::wstring::npos) return text.substr(1, closing - 1);
  }
  const size_t exe = ToLower(text).find(L".exe");
  if (exe != std::wstring::npos) return text.substr(0, exe + 4);
  return text;
}

std::wstring ResolveInstallFolder() {
  const std::optional<std::wstring> binary = QueryServiceBinaryPath(kServiceName);
  if (binary) {
    const std::wstring folder = ParentPath(ExecutableFromCommandLine(*binary));
    if (!folder.empty()) return folder;
  }
  return kDefaultInstallFolder;
}

std::wstring MakeWorkFolder(const std::wstring& base) {
  return JoinPath(JoinPath(TempFolder(), L"Orvane.Setup"),
                  base + L"-" + std::to_wstring(CurrentProcessId()));
}

int RunUpdate(SetupLog& log) {
  if (!RemoveLegacyServices(false, log)) {
    log.Error(L"Legacy service cleanup failed. Update stopped.");
    return exit_code::kUpdateLegacyCleanupFailed;
  }

  const std::wstring installFolder = ResolveInstallFolder();
  log.Info(L"Service found. Installation folder: " + installFolder);
  EnsureDirectory(installFolder);
  SecureInstallFolder(installFolder, log);
  EnsureUpdaterCopy(installFolder, log);

  const std::optional<std::wstring> link = GetRemotePackageLink(log);
  if (!link) return exit_code::kNoPackageLink;

  const std::optional<std::wstring> localText =
      ReadTextFile(JoinPath(installFolder, kLocalLinkFileName));
  const std::wstring localLink = localText ? TrimText(*localText) : std::wstring();
  if (!localLink.empty() && ToLower(localLink) == ToLower(*link)) {
    log.Info(L"Already up to date. No action required.");
    return exit_code::kSuccess;
  }

  const bool rofs = IsRofsPackage(*link);
  if (rofs) {
    log.Info(L"New ROFS package detected. Starting clean-folder update.");
  } else {
    log.Info(L"New package detected. Starting update.");
  }

  const std::wstring workFolder = MakeWorkFolder(L"update");
  std::wstring payloadRoot;
  if (!PreparePackage(*link, workFolder, payloadRoot, log)) {
    return exit_code::kPreparationFailed;
  }
  // The configuration is merged in memory while the service still runs: a broken installed
  // file or template ends the run here, with the installation untouched.
  const std::optional<MergedAgentConfig> mergedConfig =
      PrepareAgentConfigMerge(installFolder, payloadRoot, log);
  if (!mergedConfig) return exit_code::kUpdateConfigMergeFailed;

  std::wstring reason;
  if (!StopServiceAndWait(kServiceName, &reason)) {
    log.Error(L"Cannot stop service: " + reason);
    return exit_code::kUpdateServiceStopFailed;
  }
  if (rofs && !CleanFolderForRofs(installFolder, log)) {
    return exit_code::kUpdateDeployFailed;
  }
  if (!CopyPackageFiles(payloadRoot, installFolder, true, !rofs, log)) {
    return exit_code::kUpdateDeployFailed;
  }
  EnsureUpdaterCopy(installFolder, log);

  if (!WriteMergedAgentConfig(installFolder, *mergedConfig, log)) {
    return exit_code::kUpdateConfigMergeFailed;
  }
  SecureAgentConfig(installFolder, log);
  if (!WriteLocalLinkFile(installFolder, *link)) {
    log.Error(L"Cannot update local pkglink.txt.");
    return exit_code::kUpdateLinkFileFailed;
  }
  if (!StartServiceAndWait(kServiceName, &reason)) {
    log.Error(L"Cannot start service: " + reason);
    return exit_code::kUpdateServiceStartFailed;
  }

  RemoveTree(workFolder);
  log.Info(L"Update finished successfully.");
  return exit_code::kSuccess;
}
