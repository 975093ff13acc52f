// A small Windows service that stands in for the monitoring agent in tests. It registers with
// the service dispatcher, reports RUNNING and stops on request. Its behaviour is one word:
// the first command-line argument, else the first word of "agent-behaviour.txt" beside the
// exe, else "normal".
//   normal         runs until a stop request, then stops
//   refuse-stop    runs, but does not accept the stop control (ControlService fails)
//   start-pending  stays in START_PENDING for good
//   stop-pending   accepts a stop request, reports STOP_PENDING and never stops
//   exit-at-once   exits with code 3 before talking to the service dispatcher
#include <windows.h>

#include <cwctype>
#include <fstream>
#include <string>

namespace {

enum class Behaviour { kNormal, kRefuseStop, kStartPending, kStopPending, kExitAtOnce };

Behaviour g_behaviour = Behaviour::kNormal;
SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
HANDLE g_stopEvent = nullptr;

Behaviour ParseBehaviour(std::wstring word) {
  for (wchar_t& c : word) c = static_cast<wchar_t>(std::towlower(c));
  if (word == L"refuse-stop") return Behaviour::kRefuseStop;
  if (word == L"start-pending") return Behaviour::kStartPending;
  if (word == L"stop-pending") return Behaviour::kStopPending;
  if (word == L"exit-at-once") return Behaviour::kExitAtOnce;
  return Behaviour::kNormal;
}

// The first word of the behaviour file beside the exe, or "" when there is none.
std::wstring BehaviourFileWord() {
  wchar_t self[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return L"";
  std::wstring path(self, length);
  path = path.substr(0, path.find_last_of(L'\\') + 1) + L"agent-behaviour.txt";
  std::ifstream in(path.c_str());  // mingw's libstdc++ takes wide paths on Windows
  std::string word;
  in >> word;
  return std::wstring(word.begin(), word.end());
}

void Report(DWORD state, DWORD controlsAccepted, DWORD waitHint) {
  static DWORD checkPoint = 0;
  SERVICE_STATUS status = {};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = controlsAccepted;
  status.dwWin32ExitCode = NO_ERROR;
  status.dwCheckPoint = (state == SERVICE_RUNNING || state == SERVICE_STOPPED) ? 0 : ++checkPoint;
  status.dwWaitHint = waitHint;
  SetServiceStatus(g_statusHandle, &status);
}

DWORD WINAPI Handler(DWORD control, DWORD, void*, void*) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      if (g_behaviour == Behaviour::kRefuseStop) return ERROR_CALL_NOT_IMPLEMENTED;
      Report(SERVICE_STOP_PENDING, 0, 3000);
      // A stop-pending agent never finishes stopping.
      if (g_behaviour != Behaviour::kStopPending) SetEvent(g_stopEvent);
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void WINAPI ServiceMain(DWORD argc, wchar_t** argv) {
  g_stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  g_statusHandle = RegisterServiceCtrlHandlerExW(argc > 0 ? argv[0] : L"", Handler, nullptr);
  if (g_statusHandle == nullptr) return;
  if (g_behaviour == Behaviour::kStartPending) {
    Report(SERVICE_START_PENDING, 0, 3000);
  } else {
    const DWORD accepted = g_behaviour == Behaviour::kRefuseStop ? 0 : SERVICE_ACCEPT_STOP;
    Report(SERVICE_RUNNING, accepted, 0);
  }
  WaitForSingleObject(g_stopEvent, INFINITE);
  Report(SERVICE_STOPPED, 0, 0);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  g_behaviour = ParseBehaviour(argc > 1 ? argv[1] : BehaviourFileWord());
  if (g_behaviour == Behaviour::kExitAtOnce) return 3;
  wchar_t emptyName[] = L"";  // an own-process service may leave its name empty
  SERVICE_TABLE_ENTRYW table[] = {{emptyName, ServiceMain}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
