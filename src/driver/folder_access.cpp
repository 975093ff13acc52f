#include "driver/folder_access.h"

#include "driver/constants.h"
#include "log/setup_log.h"
#include "util/access_control.h"
#include "util/path.h"

void SecureInstallFolder(const std::wstring& installFolder, SetupLog& log) {
  // The update flow takes the folder from the service's configuration. A drive root's access
  // list reaches every file of the volume, so it is never replaced.
  if (ParentPath(installFolder) == installFolder) {
    log.Warn(L"Not changing the access list of " + installFolder + L": it is a drive root.");
    return;
  }
  std::wstring reason;
  if (!ProtectInstallFolder(installFolder, &reason)) {
    log.Warn(L"Cannot protect installation folder " + installFolder + L": " + reason);
  }
}

void SecureAgentConfig(const std::wstring& installFolder, SetupLog& log) {
  const std::wstring configPath = JoinPath(installFolder, kConfigFileName);
  std::wstring reason;
  if (!RestrictToAdministrators(configPath, &reason)) {
    log.Warn(L"Cannot restrict access to " + configPath + L": " + reason);
  }
}
