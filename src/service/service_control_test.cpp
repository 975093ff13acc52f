#include "service/service_control.h"

#include <gtest/gtest.h>

#include <iostream>
#include <vector>

#include "driver/service_presence.h"
#include "service/test_services.h"
#include "testing/file_bytes.h"
#include "testing/temp_dir.h"

namespace {

const wchar_t kName[] = L"OrvaneTestService";
// What a reason holds before a call that must leave it alone.
const wchar_t kUntouched[] = L"untouched";

// Expects `message` + " Error " + code + ": " + the system's description of the code.
void ExpectErrorReason(const std::wstring& reason, const std::wstring& message, DWORD code) {
  const std::wstring prefix = message + L" Error " + std::to_wstring(code) + L": ";
  ASSERT_GT(reason.size(), prefix.size()) << reason;
  EXPECT_EQ(reason.substr(0, prefix.size()), prefix);
}

// A service handle with its manager, both closed at the end of the scope.
struct OpenedService {
  OpenedService(const std::wstring& name, DWORD access) {
    manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager != nullptr) service = OpenServiceW(manager, name.c_str(), access);
  }
  ~OpenedService() {
    if (service != nullptr) CloseServiceHandle(service);
    if (manager != nullptr) CloseServiceHandle(manager);
  }
  SC_HANDLE manager = nullptr;
  SC_HANDLE service = nullptr;
};

// Starts the service without waiting for any state.
bool StartOnly(const std::wstring& name) {
  OpenedService opened(name, SERVICE_START);
  return opened.service != nullptr && StartServiceW(opened.service, 0, nullptr);
}

// A started test service running the stand-in agent with the given behaviour.
struct RunningAgent {
  explicit RunningAgent(const std::wstring& behaviour = L"")
      : service(kName, AgentCommandLine(behaviour)) {
    started = service.created() && StartServiceAndWait(kName, nullptr);
  }
  ScopedTestService service;
  bool started = false;
};

}  // namespace

TEST(ServiceErrorText, AppendsTheLastErrorCodeAndTheSystemsDescription) {
  SetLastError(ERROR_ACCESS_DENIED);
  const std::wstring text = ServiceErrorText(L"OpenService failed.");
  ExpectErrorReason(text, L"OpenService failed.", 5);
  // The description is kept as the system gives it, with its line end.
  EXPECT_EQ(text.substr(text.size() - 2), L"\r\n");

  // A code the system has no text for gives the code alone.
  SetLastError(0x20001234);
  EXPECT_EQ(ServiceErrorText(L"DeleteService failed."), L"DeleteService failed. Error 536875572");
}

TEST(InstallService, CreatesAnAutoStartLocalSystemServiceRunningTheQuotedPath) {
  ServiceNameGuard guard(kName);
  std::wstring reason = kUntouched;
  ASSERT_TRUE(
      InstallService(kName, L"Orvane Test Display", L"C:\\Orvaner Test\\agent.exe", &reason));
  EXPECT_EQ(reason, kUntouched);

  OpenedService opened(kName, SERVICE_QUERY_CONFIG);
  ASSERT_NE(opened.service, nullptr);
  DWORD needed = 0;
  QueryServiceConfigW(opened.service, nullptr, 0, &needed);
  std::vector<BYTE> buffer(needed);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  ASSERT_TRUE(QueryServiceConfigW(opened.service, config, needed, &needed));
  EXPECT_EQ(config->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_AUTO_START));
  EXPECT_EQ(config->dwErrorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
  EXPECT_EQ(std::wstring(config->lpBinaryPathName), L"\"C:\\Orvaner Test\\agent.exe\"");
  EXPECT_EQ(std::wstring(config->lpDisplayName), L"Orvane Test Display");
  EXPECT_EQ(std::wstring(config->lpServiceStartName), L"LocalSystem");
  EXPECT_EQ(QueryServiceBinaryPath(kName), L"C:\\Orvaner Test\\agent.exe");
}

TEST(InstallService, ASecondCreateSaysTheServiceAlreadyExists) {
  ServiceNameGuard guard(kName);
  ASSERT_TRUE(InstallService(kName, kName, TestAgentExe(), nullptr));
  std::wstring reason;
  EXPECT_FALSE(InstallService(kName, L"Other", L"C:\\other.exe", &reason));
  EXPECT_EQ(reason, L"Service already exists.");
  EXPECT_EQ(QueryServiceBinaryPath(kName), TestAgentExe());  // the first one stays
}

// Wine does not know the delayed auto start level (124, ERROR_INVALID_LEVEL); the call's
// failure must come back as the reason, which the installation flow only warns about.
TEST(SetDelayedAutoStart, ReportsWinesMissingConfigLevelAsTheReason) {
  ServiceNameGuard guard(kName);
  ASSERT_TRUE(InstallService(kName, kName, TestAgentExe(), nullptr));
  std::wstring reason;
  EXPECT_FALSE(SetDelayedAutoStart(kName, &reason));
  ExpectErrorReason(reason, L"ChangeServiceConfig2 delayed auto start failed.", 124);
}

TEST(ServiceOperations, OnAMissingServiceFailToOpenItExceptStopAndDelete) {
  ServiceNameGuard guard(kName);
  using Operation = bool (*)(const std::wstring&, std::wstring*);
  for (Operation operation : {&SetDelayedAutoStart, &StartServiceAndWait, &StopServiceAndWait}) {
    std::wstring reason;
    EXPECT_FALSE(operation(kName, &reason));
    ExpectErrorReason(reason, L"OpenService failed.", ERROR_SERVICE_DOES_NOT_EXIST);
  }
  std::wstring reason = kUntouched;
  EXPECT_TRUE(StopAndDeleteService(kName, &reason));
  EXPECT_EQ(reason, kUntouched);
  EXPECT_EQ(QueryServiceBinaryPath(kName), std::nullopt);
}

TEST(StartServiceAndWait, StartsTheServiceAndWaitsUntilItRuns) {
  ScopedTestService service(kName, AgentCommandLine());
  ASSERT_TRUE(service.created());
  std::wstring reason = kUntouched;
  EXPECT_TRUE(StartServiceAndWait(kName, &reason));
  EXPECT_EQ(reason, kUntouched);
  EXPECT_EQ(TestServiceState(kName), static_cast<DWORD>(SERVICE_RUNNING));
}

TEST(StartServiceAndWait, SucceedsOnARunningService) {
  RunningAgent agent;
  ASSERT_TRUE(agent.started);
  SERVICE_STATUS_PROCESS before = {};
  ASSERT_TRUE(QueryTestService(kName, &before));
  std::wstring reason = kUntouched;
  EXPECT_TRUE(StartServiceAndWait(kName, &reason));
  EXPECT_EQ(reason, kUntouched);
  SERVICE_STATUS_PROCESS after = {};
  ASSERT_TRUE(QueryTestService(kName, &after));
  EXPECT_EQ(after.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(after.dwProcessId, before.dwProcessId);  // the same process, not a new one
}

// Under Wine a program that is no program fails at once (193); one that exits before it
// reaches the service dispatcher fails once the manager sees it gone (1053).
TEST(StartServiceAndWait, FailsFastWhenTheProgramCannotRunAsAService) {
  TestFolder dir;
  WriteBytes(dir / L"not-a-program.exe", "just text\n");
  struct Case {
    std::wstring commandLine;
    DWORD code;
  };
  const Case cases[] = {
      {L"\"" + (dir / L"not-a-program.exe") + L"\"", ERROR_BAD_EXE_FORMAT},
      {AgentCommandLine(L"exit-at-once"), ERROR_SERVICE_REQUEST_TIMEOUT},
      {L"\"" + (dir / L"missing.exe") + L"\"", ERROR_FILE_NOT_FOUND},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.commandLine);
    ScopedTestService service(kName, c.commandLine);
    ASSERT_TRUE(service.created());
    std::wstring reason;
    const DWORD start = GetTickCount();
    EXPECT_FALSE(StartServiceAndWait(kName, &reason));
    const DWORD elapsed = GetTickCount() - start;
    ExpectErrorReason(reason, L"StartService failed.", c.code);
    std::wcout << L"failed start of " << c.commandLine << L": " << elapsed << L" ms\n";
    EXPECT_LT(elapsed, 5000u);
  }
}

TEST(StopServiceAndWait, StopsARunningServiceAndWaitsUntilItStopped) {
  RunningAgent agent;
  ASSERT_TRUE(agent.started);
  std::wstring reason = kUntouched;
  EXPECT_TRUE(StopServiceAndWait(kName, &reason));
  EXPECT_EQ(reason, kUntouched);
  EXPECT_EQ(TestServiceState(kName), static_cast<DWORD>(SERVICE_STOPPED));
}

TEST(StopServiceAndWait, SucceedsAtOnceOnAStoppedService) {
  ScopedTestService service(kName, AgentCommandLine());
  ASSERT_TRUE(service.created());
  std::wstring reason = kUntouched;
  const DWORD start = GetTickCount();
  EXPECT_TRUE(StopServiceAndWait(kName, &reason));
  EXPECT_LT(GetTickCount() - start, 900u);  // no stop request, so no wait either
  EXPECT_EQ(reason, kUntouched);
}

// The refusing agent does not accept the stop control; the manager answers 1052
// (ERROR_INVALID_SERVICE_CONTROL) and the service goes on running.
TEST(ServiceOperations, ARefusedStopGivesTheControlServiceReason) {
  RunningAgent agent(L"refuse-stop");
  ASSERT_TRUE(agent.started);
  std::wstring reason;
  EXPECT_FALSE(StopServiceAndWait(kName, &reason));
  ExpectErrorReason(reason, L"ControlService stop failed.", ERROR_INVALID_SERVICE_CONTROL);
  EXPECT_EQ(TestServiceState(kName), static_cast<DWORD>(SERVICE_RUNNING));

  reason.clear();
  EXPECT_FALSE(StopAndDeleteService(kName, &reason));
  ExpectErrorReason(reason, L"ControlService stop failed.", ERROR_INVALID_SERVICE_CONTROL);
  EXPECT_TRUE(ServiceExists(kName));  // not deleted
}

// The agent as the installation registers it: a quoted path without arguments, its behaviour
// chosen by the file beside it.
TEST(ServiceOperations, AnInstalledAgentTakesItsBehaviourFromTheFileBesideIt) {
  TestFolder dir;  // outlives the service, whose exe lies in it
  const std::wstring agent = dir / L"OrvaneCloudMonitorAgent.exe";
  ASSERT_TRUE(CopyFileW(TestAgentExe().c_str(), agent.c_str(), FALSE));
  WriteBytes(dir / L"agent-behaviour.txt", "refuse-stop\r\n");
  ServiceNameGuard guard(kName);
  ASSERT_TRUE(InstallService(kName, kName, agent, nullptr));

  EXPECT_TRUE(StartServiceAndWait(kName, nullptr));
  std::wstring reason;
  EXPECT_FALSE(StopServiceAndWait(kName, &reason));
  ExpectErrorReason(reason, L"ControlService stop failed.", ERROR_INVALID_SERVICE_CONTROL);
}

TEST(StopAndDeleteService, StopsAndDeletesARunningOrStoppedService) {
  for (bool running : {true, false}) {
    SCOPED_TRACE(running ? "running" : "stopped");
    ScopedTestService service(kName, AgentCommandLine());
    ASSERT_TRUE(service.created());
    if (running) {
      ASSERT_TRUE(StartServiceAndWait(kName, nullptr));
    }
    SERVICE_STATUS_PROCESS status = {};
    ASSERT_TRUE(QueryTestService(kName, &status));
    std::wstring reason = kUntouched;
    EXPECT_TRUE(StopAndDeleteService(kName, &reason));
    EXPECT_EQ(reason, kUntouched);
    EXPECT_FALSE(ServiceExists(kName));
    if (running) {
      // The agent's process has ended.
      HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, status.dwProcessId);
      if (process != nullptr) {
        EXPECT_EQ(WaitForSingleObject(process, 3000), WAIT_OBJECT_0);
        CloseHandle(process);
      }
    }
  }
}

TEST(QueryServiceBinaryPath, UnquotesAWhollyQuotedPathAndKeepsOneWithArguments) {
  struct Case {
    std::wstring stored;
    std::wstring expected;
  };
  const Case cases[] = {
      {L"\"C:\\x\\a.exe\"", L"C:\\x\\a.exe"},
      {L"\"C:\\Program Files\\x\\a.exe\" --service -v",
       L"\"C:\\Program Files\\x\\a.exe\" --service -v"},
      {L"C:\\x\\a.exe", L"C:\\x\\a.exe"},
      {L"  \"C:\\x\\a.exe\"  ", L"C:\\x\\a.exe"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored);
    ScopedTestService service(kName, c.stored);
    ASSERT_TRUE(service.created());
    EXPECT_EQ(QueryServiceBinaryPath(kName), c.expected);
  }
}

TEST(WaitForServiceState, ReturnsAtOnceWhenTheStateIsAlreadyCurrent) {
  ScopedTestService service(kName, AgentCommandLine());
  ASSERT_TRUE(service.created());
  OpenedService opened(kName, SERVICE_QUERY_STATUS);
  ASSERT_NE(opened.service, nullptr);
  const DWORD start = GetTickCount();
  EXPECT_TRUE(WaitForServiceState(opened.service, SERVICE_STOPPED, 0));
  EXPECT_LT(GetTickCount() - start, 900u);
}

TEST(WaitForServiceState, FailsAtOnceWhenTheStatusCannotBeQueried) {
  ScopedTestService service(kName, AgentCommandLine());
  ASSERT_TRUE(service.created());
  OpenedService opened(kName, SERVICE_QUERY_CONFIG);  // no right to query the status
  ASSERT_NE(opened.service, nullptr);
  const DWORD start = GetTickCount();
  EXPECT_FALSE(WaitForServiceState(opened.service, SERVICE_STOPPED, 5000));
  EXPECT_LT(GetTickCount() - start, 900u);
}

// A service stuck in a pending state: the wait polls once a second and gives up after the
// first query made when more than the time-out has passed.
TEST(WaitForServiceState, GivesUpAfterTheTimeOutOnAPendingService) {
  struct Case {
    const wchar_t* behaviour;
    DWORD wanted;
    DWORD pending;
  };
  const Case cases[] = {
      {L"start-pending", SERVICE_RUNNING, SERVICE_START_PENDING},
      {L"stop-pending", SERVICE_STOPPED, SERVICE_STOP_PENDING},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.behaviour);
    ScopedTestService service(kName, AgentCommandLine(c.behaviour));
    ASSERT_TRUE(service.created());
    ASSERT_TRUE(StartOnly(kName));
    OpenedService opened(kName, SERVICE_STOP | SERVICE_QUERY_STATUS);
    ASSERT_NE(opened.service, nullptr);
    if (c.wanted == SERVICE_STOPPED) {
      ASSERT_TRUE(WaitForServiceState(opened.service, SERVICE_RUNNING, 3000));
      SERVICE_STATUS status = {};
      ASSERT_TRUE(ControlService(opened.service, SERVICE_CONTROL_STOP, &status));
    }
    const DWORD start = GetTickCount();
    EXPECT_FALSE(WaitForServiceState(opened.service, c.wanted, 1500));
    const DWORD elapsed = GetTickCount() - start;
    // Queries at about 0, 1000 and 2000 ms; the last one is past 1500 ms.
    EXPECT_GE(elapsed, 1500u);
    EXPECT_LT(elapsed, 3500u);
    EXPECT_EQ(TestServiceState(kName), c.pending);
  }
}
