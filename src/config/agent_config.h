// The agent's appsettings.json: created with the operator's key and secret on installation,
// merged with a new package's template on update.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "config/json.h"
#include "config/json_path.h"

class SetupLog;

// "appsettings.json", else "appsettings.template.json", as an ordinary file in the folder.
std::optional<std::wstring> FindConfigTemplate(const std::wstring& folder);

// The valid dotted paths of the template's Setup.ForceReplace list; logs each entry.
std::vector<JsonPath> LoadForcePaths(const JsonValue& newConfig, SetupLog& log);

// The document without its root "Setup" member.
JsonValue WithoutSetupMetadata(JsonValue config);

// Writes appsettings.json in the installation folder with FarmConfig.ApiKey/ApiSecret.
bool CreateAgentConfig(const std::wstring& installFolder, const std::wstring& key,
                       const std::wstring& secret, SetupLog& log);

// Merges the installed appsettings.json with the package's template and writes it.
bool MergeAgentConfig(const std::wstring& installFolder, const std::wstring& payloadRoot,
                      SetupLog& log);
