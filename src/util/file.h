// Whole-file text reading and writing, file copies and the running executable's path.
#pragma once

#include <optional>
#include <string>

// Copies source over destination (creating its folder); true on success.
bool CopyFileOverwrite(const std::wstring& source, const std::wstring& destination);

// Full path of the running executable, or "" when it cannot be had.
std::wstring CurrentExecutablePath();

// The file's UTF-8 text without a leading byte order mark; absent when it cannot be opened.
std::optional<std::wstring> ReadTextFile(const std::wstring& path);

// Replaces the file with EF BB BF followed by the UTF-8 text, atomically: the new content
// goes to a temporary file in the same folder, is flushed to disk and then moved over the
// target. On any failure the old file stays whole and no temporary file is left.
bool WriteTextFile(const std::wstring& path, const std::wstring& text);
