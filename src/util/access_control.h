// Access lists that keep local users from replacing the agent (which runs as LocalSystem)
// or reading its API secret.
#pragma once

#include <string>

// Gives the folder a protected access list inherited by everything below it: SYSTEM and
// Administrators full control, Users read and execute, nothing inherited from its parent.
bool ProtectInstallFolder(const std::wstring& folder, std::wstring* reason);

// Gives the file a protected access list: SYSTEM and Administrators only.
bool RestrictToAdministrators(const std::wstring& path, std::wstring* reason);

// The two access lists in SDDL form, as they are applied.
const wchar_t* InstallFolderAccessList();
const wchar_t* AdministratorsOnlyAccessList();
