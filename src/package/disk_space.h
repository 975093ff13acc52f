// Free space on the volume that holds a folder.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// Bytes that the current user may still write on the folder's volume; absent when the
// platform cannot tell.
std::optional<uint64_t> FreeDiskBytes(const std::wstring& folder);
