// Key paths in JSON documents and the configuration merge.
#pragma once

#include <string>
#include <vector>

#include "config/json.h"

// Keys from a root object down to a member; empty names the root.
using JsonPath = std::vector<std::wstring>;

// The value the path leads to (each key exact, else its first case-insensitive match).
const JsonValue* FindByPath(const JsonValue& root, const JsonPath& path);

// The non-empty strings of the array at the path; empty for anything else.
std::vector<std::wstring> StringListAt(const JsonValue& root, const JsonPath& path);

// Stores text at the path, creating or replacing objects on the way; false for an empty path.
bool SetStringAtPath(JsonValue& root, const JsonPath& path, const std::wstring& text);

// Removes the member with exactly this key, else the first with it in another case.
void RemoveMember(JsonValue& value, const std::wstring& key);

// "a.b.c" as a path; empty pieces are dropped.
JsonPath SplitConfigPath(const std::wstring& text);

// Same length and keys equal after ASCII case folding.
bool PathsEqualNoCase(const JsonPath& a, const JsonPath& b);

// True when some entry of paths equals path (ASCII case folded).
bool PathListContains(const JsonPath& path, const std::vector<JsonPath>& paths);

// The template decides which members exist, the current document their values, except
// where a force path takes the template's value.
JsonValue MergeConfig(const JsonValue& currentConfig, const JsonValue& newConfig,
                      const std::vector<JsonPath>& forcePaths);
