#include "driver/install_flow.h"

#include "config/agent_config.h"
#include "driver/constants.h"
#include "driver/exit_codes.h"
#include "driver/folder_access.h"
#include "log/console.h"
#include "log/setup_log.h"
#include "package/deploy.h"
#include "package/prepare.h"
#include "remote/package_link.h"
#include "service/legacy_cleanup.h"
#include "service/service_control.h"
#include "util/path.h"
#include "util/text.h"

std::wstring PromptValue(const std::wstring& label) {
  WriteConsoleText(label + L": ");
  return TrimText(ReadConsoleLine().value_or(L""));
}

int RunInstallation(SetupLog& log) {
  log.Info(L"Service not found. Starting first-time installation.");

  if (!RemoveLegacyServices(true, log)) {
    log.Error(L"Legacy cleanup failed. Installation stopped to avoid mixed old/new services.");
    return exit_code::kInstallLegacyCleanupFailed;
  }

  const std::wstring key = PromptValue(L"Enter Key");
  const std::wstring secret = PromptValue(L"Enter Secret");
  if (key.empty() || secret.empty()) {
    log.Error(L"Key and Secret are required.");
    return exit_code::kInstallMissingCredentials;
  }

  const std::optional<std::wstring> link = GetRemotePackageLink(log);
  if (!link) return exit_code::kNoPackageLink;

  const std::wstring installFolder = kDefaultInstallFolder;
  EnsureDirectory(installFolder);
  SecureInstallFolder(installFolder, log);
  const std::wstring workFolder = JoinPath(installFolder, L"_update_temp");
  std::wstring payloadRoot;

  if (!PreparePackage(*link, workFolder, payloadRoot, log)) {
    return exit_code::kPreparationFailed;
  }
  if (!CopyPackageFiles(payloadRoot, installFolder, false, false, log)) {
    return exit_code::kInstallCopyFailed;
  }
  EnsureUpdaterCopy(installFolder, log);

  if (!CreateAgentConfig(installFolder, key, secret, log)) {
    return exit_code::kInstallConfigFailed;
  }
  SecureAgentConfig(installFolder, log);
  if (!WriteLocalLinkFile(installFolder, *link)) {
    log.Error(L"Cannot write local pkglink.txt.");
    return exit_code::kInstallLinkFileFailed;
  }

  const std::wstring agentPath = JoinPath(installFolder, kAgentExecutableName);
  if (!IsRegularFile(agentPath)) {
    log.Error(L"Agent executable does not exist after install: " + agentPath);
    return exit_code::kInstallAgentMissing;
  }

  std::wstring reason;
  if (!InstallService(kServiceName, kServiceDisplayName, agentPath, &reason)) {
    log.Error(L"Service installation failed: " + reason);
    return exit_code::kInstallServiceCreateFailed;
  }
  if (!SetDelayedAutoStart(kServiceName, &reason)) {
    log.Warn(L"Could not set delayed auto start: " + reason);
  }
  if (!StartServiceAndWait(kServiceName, &reason)) {
    log.Error(L"Service start failed: " + reason);
    return exit_code::kInstallServiceStartFailed;
  }

  RemoveTree(workFolder);
  log.Info(L"Installation finished successfully.");
  return exit_code::kSuccess;
}
