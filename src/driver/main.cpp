// Orvane.Setup.exe: installs the monitoring agent as a Windows service, or updates it in
// place when the service already exists. Command-line arguments are ignored.
#include "driver/entry.h"
#include "log/console.h"
#include "log/setup_log.h"

int wmain() {
  PrepareConsole();
  int exitCode;
  {
    SetupLog log(LogFilePath());
    log.Info(L"Orvane.Setup started.");
    exitCode = RunSetup(log);
  }  // the log file is closed before the process returns
  return exitCode;
}
