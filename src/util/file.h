// Whole-file text reading and writing, file copies and the running executable's path.
#pragma once

#include <optional>
#include <string>

// Copies source over destination (creating its folder), atomically like WriteTextFile: the
// copy goes to a temporary file beside the destination and is then moved over it, so that a
// killed process leaves the old file or the new one, never a part (but may leave its
// temporary file behind). True on success.
bool CopyFileOverwrite(const std::wstring& source, const std::wstring& destination);

// Full path of the running executable, or "" when it cannot be had.
std::wstring CurrentExecutablePath();

// The file's UTF-8 text without a leading byte order mark; absent when it cannot be opened.
std::optional<std::wstring> ReadTextFile(const std::wstring& path);

// Replaces the file with EF BB BF followed by the UTF-8 text, atomically: the new content
// goes to a temporary file in the same folder, is flushed to disk and then moved over the
// target. On any failure the old file stays whole and no temporary file is left.
// Temporary files that a killed earlier writer of the same target left behind are removed
// first: they may hold a whole copy of a secret, and they never block the write.
bool WriteTextFile(const std::wstring& path, const std::wstring& text);

// The name of the temporary file that WriteTextFile and CopyFileOverwrite use for the file
// `targetName` in process `processId`: "<targetName>.<processId>-<counter>.tmp".
std::wstring TemporaryFileName(const std::wstring& targetName, unsigned long processId,
                               unsigned counter);

// True when `name` has the shape of TemporaryFileName(targetName, ...); gives its process id.
bool IsTemporaryFileOf(const std::wstring& name, const std::wstring& targetName,
                       unsigned long* processId);
