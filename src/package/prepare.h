// Package preparation: a package link becomes a validated payload folder.
#pragma once

#include <optional>
#include <string>

class SetupLog;

// Empties `workFolder`, downloads the package (with fallback), extracts it and finds the
// folder holding the agent executable and its configuration (`payloadRoot`). Logs every step.
bool PreparePackage(const std::wstring& link, const std::wstring& workFolder,
                    std::wstring& payloadRoot, SetupLog& log);

// Downloads url to destination, else its fallback URL; `usedUrl` (may be null) gets the
// URL the file came from.
bool DownloadWithFallback(const std::wstring& url, const std::wstring& destination, SetupLog& log,
                          std::wstring* usedUrl);

// The folder under `extracted` that holds "OrvaneCloudMonitorAgent.exe".
std::optional<std::wstring> FindAgentFolder(const std::wstring& extracted);

// Full path of the first ordinary file named `fileName` (any case) under root.
std::optional<std::wstring> FindFileRecursive(const std::wstring& root,
                                              const std::wstring& fileName);
