// Extraction of a package archive into a folder, synchronously, with every entry checked.
#pragma once

#include <cstdint>
#include <string>

// Extracts every entry of the archive below `destination`, overwriting existing files.
// Returns only when the archive is fully extracted or has failed (reason set).
bool ExtractZip(const std::wstring& zipPath, const std::wstring& destination, std::wstring* reason);

// Number of ordinary files anywhere under the folder; 0 when it does not exist.
int32_t CountFilesRecursive(const std::wstring& folder);
