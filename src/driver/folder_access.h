// Access lists of the installation folder and the agent's configuration, as the flows set
// them; a failure is a warning and the flow goes on.
#pragma once

#include <string>

class SetupLog;

// Protects the installation folder from local users (see util/access_control.h); a drive
// root is left as it is, with a warning.
void SecureInstallFolder(const std::wstring& installFolder, SetupLog& log);

// Limits appsettings.json in the installation folder to SYSTEM and Administrators.
void SecureAgentConfig(const std::wstring& installFolder, SetupLog& log);
