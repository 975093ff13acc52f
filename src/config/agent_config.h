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

// The text of appsettings.json after an update, worked out before anything is changed.
struct MergedAgentConfig {
  std::wstring text;          // the file to write (WriteJson, indent 2)
  bool fromTemplate = false;  // no installed file: the template without its Setup metadata
};

// Reads and parses the installed appsettings.json and the package's template, loads the
// force paths and merges them; logs as the merge does. Absent (after the error line) when a
// file is missing or does not parse. Writes nothing.
std::optional<MergedAgentConfig> PrepareAgentConfigMerge(const std::wstring& installFolder,
                                                         const std::wstring& payloadRoot,
                                                         SetupLog& log);

// Writes the prepared text to appsettings.json in the installation folder and logs the
// outcome (the template-only case reports a failed write by its result alone).
bool WriteMergedAgentConfig(const std::wstring& installFolder, const MergedAgentConfig& merged,
                            SetupLog& log);

// PrepareAgentConfigMerge, then WriteMergedAgentConfig.
bool MergeAgentConfig(const std::wstring& installFolder, const std::wstring& payloadRoot,
                      SetupLog& log);
