// Removal of the services of earlier software, so old and new never run side by side.
#pragma once

#include <string>
#include <vector>

class SetupLog;

// "CloudOrvaner", "CloudOrvanerGuard", "CloudPellucor", in this order.
const std::vector<std::wstring>& LegacyServiceNames();

// Stops and deletes every installed legacy service; with `removeLegacyFolder`, deletes
// C:\Orvaner too when any was found. Logs every step.
bool RemoveLegacyServices(bool removeLegacyFolder, SetupLog& log);

// RemoveLegacyServices for a process whose executable is `currentExe`, which decides the
// warning about running from inside the folder.
bool RemoveLegacyServicesRunningFrom(const std::wstring& currentExe, bool removeLegacyFolder,
                                     SetupLog& log);
