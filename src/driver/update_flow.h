// In-place update of the installed agent, run when the agent's service exists.
#pragma once

#include <string>

class SetupLog;

// Compares the published package link with the installed one and, when they differ,
// deploys the new package around a stop and start of the service. Returns a code of
// exit_codes.h.
int RunUpdate(SetupLog& log);

// The folder of the service's executable, or C:\Orvaner when the service does not name one.
std::wstring ResolveInstallFolder();

// The executable path at the head of a service command line ("" for an empty one).
std::wstring ExecutableFromCommandLine(const std::wstring& binary);

// "<temp>\Orvane.Setup\<base>-<process id>"; not created here.
std::wstring MakeWorkFolder(const std::wstring& base);
