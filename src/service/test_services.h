// Real services for tests, made from the stand-in agent exe, and their forced removal.
#pragma once

#include <windows.h>

#include <string>

// The stand-in agent's exe as Wine sees it: the build's Linux path on drive Z:.
inline std::wstring TestAgentExe() {
  const std::string linuxPath = ORVANE_TEST_AGENT_EXE;
  std::wstring path = L"Z:";
  for (char c : linuxPath) path += c == '/' ? L'\\' : static_cast<wchar_t>(c);
  return path;
}

// The agent exe in quotes, followed by its behaviour word when one is given.
inline std::wstring AgentCommandLine(const std::wstring& behaviour = L"") {
  std::wstring commandLine = L"\"" + TestAgentExe() + L"\"";
  if (!behaviour.empty()) commandLine += L" " + behaviour;
  return commandLine;
}

// Registers a demand-start service whose stored command line is exactly `commandLine`.
inline bool CreateTestService(const std::wstring& name, const std::wstring& commandLine) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
  if (manager == nullptr) return false;
  SC_HANDLE service =
      CreateServiceW(manager, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                     SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                     commandLine.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
  if (service != nullptr) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return service != nullptr;
}

// The service's status record; false when the service cannot be opened or queried.
inline bool QueryTestService(const std::wstring& name, SERVICE_STATUS_PROCESS* status) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return false;
  SC_HANDLE service = OpenServiceW(manager, name.c_str(), SERVICE_QUERY_STATUS);
  DWORD needed = 0;
  const bool ok = service != nullptr &&
                  QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO,
                                       reinterpret_cast<BYTE*>(status), sizeof(*status), &needed);
  if (service != nullptr) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return ok;
}

// The service's current state, or 0 when it cannot be queried (e.g. it does not exist).
inline DWORD TestServiceState(const std::wstring& name) {
  SERVICE_STATUS_PROCESS status = {};
  return QueryTestService(name, &status) ? status.dwCurrentState : 0;
}

// Ends the service whatever it does: kills its process (a refusing or hanging agent ignores
// stop requests) and deletes it. A missing service is left alone.
inline void ForceRemoveService(const std::wstring& name) {
  SERVICE_STATUS_PROCESS status = {};
  if (QueryTestService(name, &status) && status.dwProcessId != 0) {
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, status.dwProcessId);
    if (process != nullptr) {
      TerminateProcess(process, 1);
      WaitForSingleObject(process, 5000);
      CloseHandle(process);
    }
  }
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return;
  SC_HANDLE service = OpenServiceW(manager, name.c_str(), DELETE);
  if (service != nullptr) {
    DeleteService(service);
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
}

// Keeps a service name clear for one scope: whatever service has the name is removed at the
// start (a leftover of an earlier run) and at the end, also after a failed assertion.
class ServiceNameGuard {
 public:
  explicit ServiceNameGuard(const std::wstring& name) : name_(name) { ForceRemoveService(name_); }
  ~ServiceNameGuard() { ForceRemoveService(name_); }
  ServiceNameGuard(const ServiceNameGuard&) = delete;
  ServiceNameGuard& operator=(const ServiceNameGuard&) = delete;

  const std::wstring& name() const { return name_; }

 private:
  std::wstring name_;
};

// A test service that exists for one scope, registered with `commandLine`.
class ScopedTestService {
 public:
  ScopedTestService(const std::wstring& name, const std::wstring& commandLine)
      : guard_(name), created_(CreateTestService(name, commandLine)) {}

  bool created() const { return created_; }
  const std::wstring& name() const { return guard_.name(); }

 private:
  ServiceNameGuard guard_;
  bool created_;
};
