// First-time installation into C:\Orvaner, run when the agent's service does not exist.
#pragma once

#include <string>

class SetupLog;

// Prompts for key and secret, deploys the current package, writes its configuration and
// link file, registers and starts the service. Returns a code of exit_codes.h.
int RunInstallation(SetupLog& log);

// Shows "<label>: " and returns the line the operator typed, trimmed ("" at end of input).
std::wstring PromptValue(const std::wstring& label);
