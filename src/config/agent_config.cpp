#include "config/agent_config.h"

#include "driver/constants.h"
#include "log/setup_log.h"
#include "util/file.h"
#include "util/path.h"
#include "util/text.h"

std::optional<std::wstring> FindConfigTemplate(const std::wstring& folder) {
  const std::wstring app = JoinPath(folder, kConfigFileName);
  if (IsRegularFile(app)) return app;
  const std::wstring tmpl = JoinPath(folder, kConfigTemplateFileName);
  if (IsRegularFile(tmpl)) return tmpl;
  return std::nullopt;
}

std::vector<JsonPath> LoadForcePaths(const JsonValue& newConfig, SetupLog& log) {
  std::vector<JsonPath> paths;
  for (const std::wstring& entry : StringListAt(newConfig, {L"Setup", L"ForceReplace"})) {
    JsonPath parts = SplitConfigPath(TrimText(entry));
    if (parts.empty()) continue;
    // Only these two spellings are refused; SETUP.x loads but can never match, since the
    // merge drops every root setup member.
    if (parts.front() == L"Setup" || parts.front() == L"setup") {
      log.Warn(L"Ignoring invalid force path under Setup metadata: " + entry);
      continue;
    }
    paths.push_back(std::move(parts));
    log.Info(L"Config force replace path loaded from package appsettings.json: " + entry);
  }
  return paths;
}

JsonValue WithoutSetupMetadata(JsonValue config) {
  RemoveMember(config, L"Setup");
  return config;
}

bool CreateAgentConfig(const std::wstring& installFolder, const std::wstring& key,
                       const std::wstring& secret, SetupLog& log) {
  const std::wstring configPath = JoinPath(installFolder, kConfigFileName);
  std::optional<std::wstring> text = ReadTextFile(configPath);
  if (!text) {
    const std::optional<std::wstring> templatePath = FindConfigTemplate(installFolder);
    if (templatePath) {
      log.Warn(L"appsettings.json was not found. Creating it from package config template.");
      text = ReadTextFile(*templatePath);
    }
  }

  JsonValue root = JsonObject();
  if (text) {
    std::wstring error;
    std::optional<JsonValue> parsed = ParseJson(*text, &error);
    if (!parsed) {
      log.Error(L"Cannot parse package appsettings config: " + error);
      return false;
    }
    root = std::move(*parsed);
  }

  // The key and secret go into the file only, never into the log.
  SetStringAtPath(root, {L"FarmConfig", L"ApiKey"}, key);
  SetStringAtPath(root, {L"FarmConfig", L"ApiSecret"}, secret);
  RemoveMember(root, L"Setup");

  if (!WriteTextFile(configPath, WriteJson(root, 2))) {
    log.Error(L"Cannot write appsettings.json.");
    return false;
  }
  log.Info(
      L"Key/Secret were saved to appsettings.json under FarmConfig.ApiKey and "
      L"FarmConfig.ApiSecret.");
  return true;
}

std::optional<MergedAgentConfig> PrepareAgentConfigMerge(const std::wstring& installFolder,
                                                         const std::wstring& payloadRoot,
                                                         SetupLog& log) {
  const std::wstring currentPath = JoinPath(installFolder, kConfigFileName);
  const std::optional<std::wstring> newConfigPath = FindConfigTemplate(payloadRoot);
  if (!newConfigPath) {
    log.Error(L"No new config template was found in package.");
    return std::nullopt;
  }
  const std::optional<std::wstring> newText = ReadTextFile(*newConfigPath);
  if (!newText) {
    log.Error(L"Cannot read new config template.");
    return std::nullopt;
  }
  std::wstring error;
  const std::optional<JsonValue> newConfig = ParseJson(*newText, &error);
  if (!newConfig) {
    log.Error(L"Cannot parse new config template: " + error);
    return std::nullopt;
  }

  const std::optional<std::wstring> currentText = ReadTextFile(currentPath);
  const std::vector<JsonPath> forcePaths = LoadForcePaths(*newConfig, log);
  const JsonValue newConfigWithoutInstallerMetadata = WithoutSetupMetadata(*newConfig);

  MergedAgentConfig merged;
  if (!currentText) {
    log.Warn(
        L"Current appsettings.json not found. Creating it from package template without "
        L"installer-only Setup metadata.");
    merged.text = WriteJson(newConfigWithoutInstallerMetadata, 2);
    merged.fromTemplate = true;
    return merged;
  }

  const std::optional<JsonValue> currentConfig = ParseJson(*currentText, &error);
  if (!currentConfig) {
    log.Error(L"Cannot parse current appsettings.json: " + error);
    return std::nullopt;
  }

  JsonValue config = MergeConfig(*currentConfig, *newConfig, forcePaths);
  RemoveMember(config, L"Setup");
  merged.text = WriteJson(config, 2);
  return merged;
}

bool WriteMergedAgentConfig(const std::wstring& installFolder, const MergedAgentConfig& merged,
                            SetupLog& log) {
  const std::wstring currentPath = JoinPath(installFolder, kConfigFileName);
  // Created from the template: its warning has been logged already, and nothing follows it.
  if (merged.fromTemplate) return WriteTextFile(currentPath, merged.text);
  if (!WriteTextFile(currentPath, merged.text)) {
    log.Error(L"Cannot write merged appsettings.json.");
    return false;
  }
  log.Info(
      L"appsettings.json merged: new keys added, removed keys deleted, existing values "
      L"preserved; Setup.ForceReplace paths were applied and Setup metadata was not written to "
      L"client config.");
  return true;
}

bool MergeAgentConfig(const std::wstring& installFolder, const std::wstring& payloadRoot,
                      SetupLog& log) {
  const std::optional<MergedAgentConfig> merged =
      PrepareAgentConfigMerge(installFolder, payloadRoot, log);
  return merged && WriteMergedAgentConfig(installFolder, *merged, log);
}
