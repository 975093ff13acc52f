#include "package/deploy.h"

#include <filesystem>
#include <system_error>

#include "driver/constants.h"
#include "log/setup_log.h"
#include "util/file.h"
#include "util/path.h"
#include "util/text.h"

namespace fs = std::filesystem;

namespace {

// Never copied: the running setup executable may be one of them.
const std::vector<std::wstring> kSetupExecutableNames = {kSetupExecutableName,
                                                         kUpdaterExecutableName};
// Kept on update: the installation's own configuration and link file.
const std::vector<std::wstring> kPreservedFileNames = {kConfigFileName, kLocalLinkFileName};
// Kept on an ordinary update: the agent's data and the setup's work folders.
const std::vector<std::wstring> kPreservedFolderNames = {L"logs", L"data", L"_update_temp",
                                                         L"_downloads"};
// Survive the ROFS cleanup.
const std::vector<std::wstring> kRofsKeptNames = {kConfigFileName, kUpdaterExecutableName};

}  // namespace

bool ContainsNoCase(const std::vector<std::wstring>& list, const std::wstring& name) {
  const std::wstring wanted = ToLower(name);
  for (const std::wstring& entry : list) {
    if (ToLower(entry) == wanted) return true;
  }
  return false;
}

bool CopyPackageFiles(const std::wstring& payloadRoot, const std::wstring& installFolder,
                      bool keepLocalFiles, bool keepDataFolders, SetupLog& log) {
  std::vector<std::wstring> skipFiles = kSetupExecutableNames;
  if (keepLocalFiles) {
    skipFiles.insert(skipFiles.end(), kPreservedFileNames.begin(), kPreservedFileNames.end());
  }
  const std::vector<std::wstring> noDirectorySkips;
  if (!CopyTree(payloadRoot, installFolder, skipFiles,
                keepDataFolders ? kPreservedFolderNames : noDirectorySkips)) {
    log.Error(L"Failed to copy package files to installation folder.");
    return false;
  }
  return true;
}

bool CopyTree(const std::wstring& source, const std::wstring& target,
              const std::vector<std::wstring>& skipFiles,
              const std::vector<std::wstring>& skipFolders) {
  if (!IsDirectory(source)) return false;
  EnsureDirectory(target);

  std::error_code ec;
  fs::recursive_directory_iterator it(source, ec);
  if (ec) return false;
  for (const fs::recursive_directory_iterator end; !ec && it != end; it.increment(ec)) {
    std::error_code entryEc;
    const fs::path relative = fs::relative(it->path(), source, entryEc);
    if (entryEc) return false;
    if (relative.empty()) continue;

    // A skipped folder is still walked; everything below it carries its name in the path.
    bool skipped = false;
    for (const fs::path& component : relative) {
      if (ContainsNoCase(skipFolders, component.wstring())) skipped = true;
    }
    if (skipped) continue;

    const std::wstring targetPath = JoinPath(target, relative.wstring());
    if (it->is_directory(entryEc)) {
      EnsureDirectory(targetPath);
      continue;
    }
    entryEc.clear();
    if (!it->is_regular_file(entryEc)) continue;  // neither folder nor file: not copied
    if (ContainsNoCase(skipFiles, it->path().filename().wstring())) continue;
    // CopyFileOverwrite creates the parent folder first.
    if (!CopyFileOverwrite(it->path().wstring(), targetPath)) return false;
  }
  return !ec;  // a folder that could not be read ends the walk with an error
}

bool EnsureUpdaterCopy(const std::wstring& installFolder, SetupLog& log) {
  const std::wstring updaterPath = JoinPath(installFolder, kUpdaterExecutableName);
  if (IsRegularFile(updaterPath)) return true;
  const std::wstring self = CurrentExecutablePath();
  if (ToLower(updaterPath) == ToLower(self)) return true;
  if (CopyFileOverwrite(self, updaterPath)) {
    log.Info(L"Updater.exe was not found. Current setup executable was copied as Updater.exe.");
    return true;
  }
  log.Warn(L"Could not create Updater.exe in installation folder. Continuing.");
  return false;
}

bool CleanFolderForRofs(const std::wstring& installFolder, SetupLog& log) {
  log.Warn(
      L"ROFS package detected. Cleaning installation folder before replacement; only "
      L"appsettings.json and Updater.exe are preserved.");
  std::error_code ec;
  if (!fs::exists(installFolder, ec) || ec) return true;

  fs::directory_iterator it(installFolder, ec);
  for (const fs::directory_iterator end; !ec && it != end; it.increment(ec)) {
    if (ContainsNoCase(kRofsKeptNames, it->path().filename().wstring())) continue;
    std::error_code removeEc;
    fs::remove_all(it->path(), removeEc);
    if (removeEc) {
      log.Error(L"ROFS cleanup failed for: " + it->path().wstring());
      return false;
    }
  }
  if (ec) {
    log.Error(L"Cannot enumerate installation folder for ROFS cleanup.");
    return false;
  }
  return true;
}
