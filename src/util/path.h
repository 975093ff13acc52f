// Windows path helpers. None of them throws or logs: file-system errors become false.
#pragma once

#include <string>

// Appends name to base by the Windows rule (an absolute name replaces base; one backslash
// between them); an empty side gives the other.
std::wstring JoinPath(const std::wstring& base, const std::wstring& name);

// The path without its last component; a root is kept, a bare name gives "".
std::wstring ParentPath(const std::wstring& path);

// True when the path (links followed) is a folder.
bool IsDirectory(const std::wstring& path);

// True when the path (links followed) is an ordinary file.
bool IsRegularFile(const std::wstring& path);

// Creates the folder with its missing parents; true when it exists as a folder afterwards.
bool EnsureDirectory(const std::wstring& path);

// Deletes a file or a whole folder tree; a missing path counts as deleted.
bool RemoveTree(const std::wstring& path);
