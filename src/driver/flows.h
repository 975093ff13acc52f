// The two main jobs of the program; each returns a code of exit_codes.h.
#pragma once

class SetupLog;

// First-time installation into C:\Orvaner (the agent's service does not exist).
int RunInstallation(SetupLog& log);

// In-place update of the installed agent (the agent's service exists).
int RunUpdate(SetupLog& log);
