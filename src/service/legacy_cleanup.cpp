#include "service/legacy_cleanup.h"

#include "driver/constants.h"
#include "driver/service_presence.h"
#include "log/setup_log.h"
#include "service/service_control.h"
#include "util/file.h"
#include "util/path.h"
#include "util/text.h"

const std::vector<std::wstring>& LegacyServiceNames() {
  static const std::vector<std::wstring> names = {L"CloudOrvaner", L"CloudOrvanerGuard",
                                                  L"CloudPellucor"};
  return names;
}

bool RemoveLegacyServices(bool removeLegacyFolder, SetupLog& log) {
  return RemoveLegacyServicesRunningFrom(CurrentExecutablePath(), removeLegacyFolder, log);
}

bool RemoveLegacyServicesRunningFrom(const std::wstring& currentExe, bool removeLegacyFolder,
                                     SetupLog& log) {
  bool result = true;
  bool found = false;
  for (const std::wstring& name : LegacyServiceNames()) {
    if (!ServiceExists(name)) continue;
    found = true;
    log.Warn(L"Legacy service found. Stopping and deleting: " + name);
    std::wstring reason;
    if (StopAndDeleteService(name, &reason)) {
      log.Info(L"Legacy service removed: " + name);
    } else {
      log.Error(L"Failed to stop/delete legacy service " + name + L": " + reason);
      result = false;
    }
  }
  // The folder goes even when a removal failed: the old software is not to be kept.
  if (removeLegacyFolder && found) {
    const std::wstring folder = kDefaultInstallFolder;
    // A plain text prefix test: a sibling folder such as C:\OrvanerOld matches too.
    const bool runningInside = StartsWithNoCase(ToLower(currentExe), ToLower(folder));
    log.Warn(L"Legacy service was found. Deleting installation folder completely: " + folder);
    if (runningInside) {
      log.Warn(
          L"Setup is running from the installation folder. Windows may not allow complete "
          L"folder deletion until this process exits.");
    }
    if (RemoveTree(folder)) {
      log.Info(L"Installation folder deleted: " + folder);
    } else {
      log.Error(L"Failed to delete installation folder: " + folder);
      result = false;
    }
  }
  return result;
}
