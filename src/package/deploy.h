// Deployment of a payload folder into the installation folder.
#pragma once

#include <string>
#include <vector>

class SetupLog;

// Copies the payload over the installation folder. Setup executables are never copied;
// `keepLocalFiles` also keeps appsettings.json and pkglink.txt, `keepDataFolders` the data
// folders (logs, data, _update_temp, _downloads).
bool CopyPackageFiles(const std::wstring& payloadRoot, const std::wstring& installFolder,
                      bool keepLocalFiles, bool keepDataFolders, SetupLog& log);

// Copies the tree below source over target, skipping the named files and folders at any depth.
bool CopyTree(const std::wstring& source, const std::wstring& target,
              const std::vector<std::wstring>& skipFiles,
              const std::vector<std::wstring>& skipFolders);

// True when some entry equals name, ASCII case folded.
bool ContainsNoCase(const std::vector<std::wstring>& list, const std::wstring& name);

// Makes sure "Updater.exe" (a copy of the running executable) is in the installation folder.
bool EnsureUpdaterCopy(const std::wstring& installFolder, SetupLog& log);

// Empties the installation folder except appsettings.json and Updater.exe (ROFS packages).
bool CleanFolderForRofs(const std::wstring& installFolder, SetupLog& log);
