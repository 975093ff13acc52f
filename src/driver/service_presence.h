// Whether a Windows service is installed on this machine.
#pragma once

#include <string>

// True when the named service can be opened for a status query on the local machine.
bool ServiceExists(const std::wstring& name);
