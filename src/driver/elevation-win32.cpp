#include <windows.h>

#include <shellapi.h>

#include <cstdint>

#include "driver/elevation.h"
#include "log/setup_log.h"
#include "util/file.h"

bool IsRunningAsAdministrator() {
  BOOL isAdmin = FALSE;
  SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
  PSID administrators = nullptr;
  if (AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                               DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &administrators)) {
    CheckTokenMembership(nullptr, administrators, &isAdmin);
    FreeSid(administrators);
  }
  return isAdmin == TRUE;
}

bool RelaunchElevated(SetupLog& log) {
  const std::wstring self = CurrentExecutablePath();
  HINSTANCE instance =
      ShellExecuteW(nullptr, L"runas", self.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
  if (reinterpret_cast<intptr_t>(instance) > 32) {
    log.Info(L"Administrator elevation requested. Closing current non-elevated process.");
    return true;
  }
  log.Error(
      L"Cannot request Administrator elevation. Please right-click this setup/updater "
      L"executable and choose Run as administrator.");
  return false;
}
