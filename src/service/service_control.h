// Operations on Windows services through the Service Control Manager. Each opens and closes
// its own handles; none logs. Failures set *reason (when not null).
#pragma once

#include <windows.h>

#include <optional>
#include <string>

// Creates an auto-start LocalSystem service running the quoted `binaryPath`.
bool InstallService(const std::wstring& name, const std::wstring& displayName,
                    const std::wstring& binaryPath, std::wstring* reason);

// Switches the service to delayed automatic start.
bool SetDelayedAutoStart(const std::wstring& name, std::wstring* reason);

// Starts the service (or finds it running) and waits up to two minutes for RUNNING.
bool StartServiceAndWait(const std::wstring& name, std::wstring* reason);

// Stops the service (unless stopped) and waits up to two minutes for STOPPED.
bool StopServiceAndWait(const std::wstring& name, std::wstring* reason);

// Stops the service when it runs and deletes it; a missing service counts as removed.
bool StopAndDeleteService(const std::wstring& name, std::wstring* reason);

// The service's configured command line, trimmed and unquoted when wholly quoted.
std::optional<std::wstring> QueryServiceBinaryPath(const std::wstring& name);

// Polls the service once a second until it reaches `wanted` or `timeoutMs` has passed.
bool WaitForServiceState(SC_HANDLE service, DWORD wanted, DWORD timeoutMs);

// message + " Error " + last error code + ": " + the system's text for it.
std::wstring ServiceErrorText(const std::wstring& message);
