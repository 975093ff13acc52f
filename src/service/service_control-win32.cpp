#include "service/service_control.h"

#include <vector>

#include "util/text.h"

namespace {

// The time a start or stop may take before the operation gives up.
constexpr DWORD kServiceWaitMs = 120000;

// Closes the service handle (when there is one), then the manager.
void CloseHandles(SC_HANDLE service, SC_HANDLE manager) {
  if (service != nullptr) CloseServiceHandle(service);
  if (manager != nullptr) CloseServiceHandle(manager);
}

void SetReason(std::wstring* reason, const std::wstring& text) {
  if (reason != nullptr) *reason = text;
}

// Sets the reason to ServiceErrorText(message), built from the current last-error code.
void SetErrorReason(std::wstring* reason, const wchar_t* message) {
  if (reason != nullptr) *reason = ServiceErrorText(message);
}

bool QueryState(SC_HANDLE service, DWORD* state) {
  SERVICE_STATUS_PROCESS status = {};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                            sizeof(status), &needed)) {
    return false;
  }
  *state = status.dwCurrentState;
  return true;
}

// Opens the local manager with SC_MANAGER_CONNECT, then the named service with `access`.
// On failure both handles are closed and the reason names the step that failed.
bool OpenManagerAndService(const std::wstring& name, DWORD access, SC_HANDLE* manager,
                           SC_HANDLE* service, std::wstring* reason) {
  *manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (*manager == nullptr) {
    SetErrorReason(reason, L"OpenSCManager failed.");
    return false;
  }
  *service = OpenServiceW(*manager, name.c_str(), access);
  if (*service == nullptr) {
    CloseHandles(nullptr, *manager);
    SetErrorReason(reason, L"OpenService failed.");
    return false;
  }
  return true;
}

}  // namespace

bool InstallService(const std::wstring& name, const std::wstring& displayName,
                    const std::wstring& binaryPath, std::wstring* reason) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
  if (manager == nullptr) {
    SetErrorReason(reason, L"OpenSCManager failed.");
    return false;
  }
  const std::wstring quoted = L"\"" + binaryPath + L"\"";
  SC_HANDLE service =
      CreateServiceW(manager, name.c_str(), displayName.c_str(), SERVICE_ALL_ACCESS,
                     SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                     quoted.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
  if (service != nullptr) {
    CloseHandles(service, manager);
    return true;
  }
  const DWORD code = GetLastError();
  CloseHandles(nullptr, manager);
  if (code == ERROR_SERVICE_EXISTS) {
    SetReason(reason, L"Service already exists.");
  } else {
    SetErrorReason(reason, L"CreateService failed.");
  }
  return false;
}

bool SetDelayedAutoStart(const std::wstring& name, std::wstring* reason) {
  SC_HANDLE manager = nullptr;
  SC_HANDLE service = nullptr;
  if (!OpenManagerAndService(name, SERVICE_CHANGE_CONFIG, &manager, &service, reason)) {
    return false;
  }
  SERVICE_DELAYED_AUTO_START_INFO info = {};
  info.fDelayedAutostart = TRUE;
  const BOOL changed =
      ChangeServiceConfig2W(service, SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &info);
  CloseHandles(service, manager);
  if (!changed) SetErrorReason(reason, L"ChangeServiceConfig2 delayed auto start failed.");
  return changed == 1;
}

bool StartServiceAndWait(const std::wstring& name, std::wstring* reason) {
  SC_HANDLE manager = nullptr;
  SC_HANDLE service = nullptr;
  if (!OpenManagerAndService(name, SERVICE_START | SERVICE_QUERY_STATUS, &manager, &service,
                             reason)) {
    return false;
  }
  const bool started = StartServiceW(service, 0, nullptr);
  if (started || GetLastError() == ERROR_SERVICE_ALREADY_RUNNING) {
    const bool running = WaitForServiceState(service, SERVICE_RUNNING, kServiceWaitMs);
    CloseHandles(service, manager);
    if (!running) SetReason(reason, L"Service did not start within timeout.");
    return running;
  }
  CloseHandles(service, manager);
  SetErrorReason(reason, L"StartService failed.");
  return false;
}

bool StopServiceAndWait(const std::wstring& name, std::wstring* reason) {
  SC_HANDLE manager = nullptr;
  SC_HANDLE service = nullptr;
  if (!OpenManagerAndService(name, SERVICE_STOP | SERVICE_QUERY_STATUS, &manager, &service,
                             reason)) {
    return false;
  }
  DWORD state = 0;
  if (!QueryState(service, &state)) {
    CloseHandles(service, manager);
    SetErrorReason(reason, L"QueryServiceStatusEx failed.");
    return false;
  }
  if (state == SERVICE_STOPPED) {
    CloseHandles(service, manager);
    return true;
  }
  SERVICE_STATUS status = {};
  const bool sent = ControlService(service, SERVICE_CONTROL_STOP, &status);
  if (sent || GetLastError() == ERROR_SERVICE_NOT_ACTIVE) {
    const bool stopped = WaitForServiceState(service, SERVICE_STOPPED, kServiceWaitMs);
    CloseHandles(service, manager);
    if (!stopped) SetReason(reason, L"Service did not stop within timeout.");
    return stopped;
  }
  CloseHandles(service, manager);
  SetErrorReason(reason, L"ControlService stop failed.");
  return false;
}

bool StopAndDeleteService(const std::wstring& name, std::wstring* reason) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) {
    SetErrorReason(reason, L"OpenSCManager failed.");
    return false;
  }
  SC_HANDLE service =
      OpenServiceW(manager, name.c_str(), DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS);
  if (service == nullptr) {
    const DWORD code = GetLastError();
    CloseHandles(nullptr, manager);
    if (code == ERROR_SERVICE_DOES_NOT_EXIST) return true;  // nothing to remove
    SetErrorReason(reason, L"OpenService failed.");
    return false;
  }
  // A status that cannot be read is no obstacle: deletion goes ahead.
  DWORD state = 0;
  if (QueryState(service, &state) && state != SERVICE_STOPPED) {
    SERVICE_STATUS status = {};
    if (!ControlService(service, SERVICE_CONTROL_STOP, &status) &&
        GetLastError() != ERROR_SERVICE_NOT_ACTIVE) {
      CloseHandles(service, manager);
      SetErrorReason(reason, L"ControlService stop failed.");
      return false;
    }
    if (!WaitForServiceState(service, SERVICE_STOPPED, kServiceWaitMs)) {
      CloseHandles(service, manager);
      SetReason(reason, L"Service did not stop within timeout.");
      return false;
    }
  }
  const bool deleted = DeleteService(service);
  CloseHandles(service, manager);
  if (!deleted) SetErrorReason(reason, L"DeleteService failed.");
  return deleted;
}

std::optional<std::wstring> QueryServiceBinaryPath(const std::wstring& name) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return std::nullopt;
  SC_HANDLE service = OpenServiceW(manager, name.c_str(), SERVICE_QUERY_CONFIG);
  if (service == nullptr) {
    CloseHandles(nullptr, manager);
    return std::nullopt;
  }
  DWORD needed = 0;
  QueryServiceConfigW(service, nullptr, 0, &needed);  // only learns the size
  if (needed == 0) {
    CloseHandles(service, manager);
    return std::nullopt;
  }
  std::vector<BYTE> buffer(needed);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (!QueryServiceConfigW(service, config, needed, &needed)) {
    CloseHandles(service, manager);
    return std::nullopt;
  }
  const std::wstring binaryPath =
      config->lpBinaryPathName != nullptr ? config->lpBinaryPathName : L"";
  CloseHandles(service, manager);
  return TrimAndUnquote(binaryPath);
}

bool WaitForServiceState(SC_HANDLE service, DWORD wanted, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  for (;;) {
    DWORD state = 0;
    if (!QueryState(service, &state)) return false;
    if (state == wanted) return true;
    const DWORD elapsed = GetTickCount() - start;  // unsigned: a counter wrap does no harm
    if (elapsed > timeoutMs) return false;
    Sleep(1000);
  }
}

std::wstring ServiceErrorText(const std::wstring& message) {
  const DWORD code = GetLastError();
  wchar_t* buffer = nullptr;
  FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text = message + L" Error " + std::to_wstring(code);
  if (buffer != nullptr) {
    text += L": " + std::wstring(buffer);
    LocalFree(buffer);
  }
  return text;
}
