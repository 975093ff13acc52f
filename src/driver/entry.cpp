#include "driver/entry.h"

#include <windows.h>

#include "driver/constants.h"
#include "driver/elevation.h"
#include "driver/exit_codes.h"
#include "driver/install_flow.h"
#include "driver/run_lock.h"
#include "driver/service_presence.h"
#include "driver/update_flow.h"
#include "log/setup_log.h"

namespace {

// An exception's text read as UTF-8, the way the platform converts it.
std::wstring ExceptionText(const char* what) {
  const int length = MultiByteToWideChar(CP_UTF8, 0, what, -1, nullptr, 0);
  if (length <= 1) return std::wstring();
  std::wstring text(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, what, -1, text.data(), length);
  text.resize(static_cast<size_t>(length) - 1);
  return text;
}

}  // namespace

int ReportUnhandledException(SetupLog& log, std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    log.Error(L"Unhandled exception: " + ExceptionText(e.what()));
  } catch (...) {
    log.Error(L"Unhandled unknown exception.");
  }
  return exit_code::kUnhandledException;
}

int RunSetup(SetupLog& log) {
  if (!IsRunningAsAdministrator()) {
    return RelaunchElevated(log) ? exit_code::kElevationRequested : exit_code::kElevationRefused;
  }
  RunLock lock = AcquireRunLock(log);
  int exitCode;
  try {
    exitCode = ServiceExists(kServiceName) ? RunUpdate(log) : RunInstallation(log);
  } catch (...) {
    exitCode = ReportUnhandledException(log, std::current_exception());
  }
  ReleaseRunLock(lock);
  return exitCode;
}
