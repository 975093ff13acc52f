// svcctl: a small service control tool for the end-to-end scenarios (Wine's sc.exe does
// little). Prints one line and exits 0 on success, 1 on failure.
//
//   svcctl query NAME              -> "state=<n> start=<n> binary=<command line>" or "missing"
//   svcctl create NAME COMMANDLINE -> own-process, auto-start service running COMMANDLINE
//   svcctl start NAME | stop NAME | delete NAME | kill NAME
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

int Fail(const wchar_t* what) {
  wprintf(L"%ls failed: %lu\n", what, GetLastError());
  return 1;
}

DWORD CurrentState(SC_HANDLE service, DWORD* processId) {
  SERVICE_STATUS_PROCESS status = {};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                            sizeof(status), &needed)) {
    return 0;
  }
  if (processId) *processId = status.dwProcessId;
  return status.dwCurrentState;
}

bool WaitFor(SC_HANDLE service, DWORD wanted) {
  for (int i = 0; i < 300; ++i) {
    if (CurrentState(service, nullptr) == wanted) return true;
    Sleep(100);
  }
  return false;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    wprintf(L"usage: svcctl query|create|start|stop|delete|kill NAME [COMMANDLINE]\n");
    return 2;
  }
  const std::wstring verb = argv[1];
  const wchar_t* name = argv[2];
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (!manager) return Fail(L"OpenSCManager");

  if (verb == L"create") {
    if (argc < 4) return 2;
    SC_HANDLE service = CreateServiceW(
        manager, name, name, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
        SERVICE_ERROR_NORMAL, argv[3], nullptr, nullptr, nullptr, nullptr, nullptr);
    if (!service) return Fail(L"CreateService");
    CloseServiceHandle(service);
    wprintf(L"created\n");
    return 0;
  }

  SC_HANDLE service = OpenServiceW(manager, name, SERVICE_ALL_ACCESS);
  if (!service) {
    if (GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) {
      wprintf(L"missing\n");
      return verb == L"query" || verb == L"delete" || verb == L"kill" ? 0 : 1;
    }
    return Fail(L"OpenService");
  }

  if (verb == L"query") {
    DWORD needed = 0;
    QueryServiceConfigW(service, nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed ? needed : 1);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!QueryServiceConfigW(service, config, needed, &needed)) return Fail(L"QueryServiceConfig");
    wprintf(L"state=%lu start=%lu binary=%ls\n", CurrentState(service, nullptr),
            config->dwStartType, config->lpBinaryPathName ? config->lpBinaryPathName : L"");
    return 0;
  }
  if (verb == L"start") {
    if (!StartServiceW(service, 0, nullptr)) return Fail(L"StartService");
    if (!WaitFor(service, SERVICE_RUNNING)) return Fail(L"wait for running");
    wprintf(L"running\n");
    return 0;
  }
  if (verb == L"stop") {
    SERVICE_STATUS status = {};
    if (!ControlService(service, SERVICE_CONTROL_STOP, &status)) return Fail(L"ControlService");
    if (!WaitFor(service, SERVICE_STOPPED)) return Fail(L"wait for stopped");
    wprintf(L"stopped\n");
    return 0;
  }
  if (verb == L"kill" || verb == L"delete") {
    // Ends a running service process for real (also one that refuses to stop).
    DWORD processId = 0;
    if (CurrentState(service, &processId) != SERVICE_STOPPED && processId != 0) {
      HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId);
      if (process) {
        TerminateProcess(process, 1);
        WaitForSingleObject(process, 10000);
        CloseHandle(process);
      }
    }
    if (verb == L"delete" && !DeleteService(service)) return Fail(L"DeleteService");
    wprintf(verb == L"delete" ? L"deleted\n" : L"killed\n");
    return 0;
  }
  wprintf(L"unknown verb\n");
  return 2;
}
