#include "config/json_path.h"

// Plain standard C++ only: this file also builds natively where wchar_t has 32 bits.

namespace {

// Folds the ASCII capitals A-Z only, as the "C" locale does; every other unit stays.
std::wstring Fold(const std::wstring& text) {
  std::wstring folded = text;
  for (wchar_t& c : folded) {
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
  }
  return folded;
}

// The member with exactly this key, else the first in key order equal to it when folded.
template <typename Object>
auto FindMember(Object& object, const std::wstring& key) -> decltype(object.begin()) {
  auto exact = object.find(key);
  if (exact != object.end()) return exact;
  const std::wstring wanted = Fold(key);
  for (auto it = object.begin(); it != object.end(); ++it) {
    if (Fold(it->first) == wanted) return it;
  }
  return object.end();
}

JsonValue MergeAt(const JsonValue& current, const JsonValue& fresh, const JsonPath& path,
                  const std::vector<JsonPath>& forcePaths) {
  if (PathListContains(path, forcePaths)) return fresh;
  if (!fresh.IsObject()) return current;
  if (!current.IsObject()) return fresh;

  const JsonObject& currentObject = current.AsObject();
  JsonObject result;
  for (const auto& [key, templateValue] : fresh.AsObject()) {
    // The template's installer-only metadata never reaches the agent's file.
    if (path.empty() && Fold(key) == L"setup") continue;
    JsonPath childPath = path;
    childPath.push_back(key);
    const auto oldIt = currentObject.find(key);  // exact, case-sensitive
    if (oldIt == currentObject.end() || PathListContains(childPath, forcePaths)) {
      result[key] = templateValue;
    } else if (oldIt->second.IsObject() && templateValue.IsObject()) {
      result[key] = MergeAt(oldIt->second, templateValue, childPath, forcePaths);
    } else {
      result[key] = oldIt->second;
    }
  }
  return JsonValue(std::move(result));
}

}  // namespace

const JsonValue* FindByPath(const JsonValue& root, const JsonPath& path) {
  const JsonValue* current = &root;
  for (const std::wstring& key : path) {
    if (!current->IsObject()) return nullptr;
    const JsonObject& object = current->AsObject();
    const auto it = FindMember(object, key);
    if (it == object.end()) return nullptr;
    current = &it->second;
  }
  return current;
}

std::vector<std::wstring> StringListAt(const JsonValue& root, const JsonPath& path) {
  std::vector<std::wstring> values;
  const JsonValue* list = FindByPath(root, path);
  if (list == nullptr || !list->IsArray()) return values;
  for (const JsonValue& element : list->AsArray()) {
    if (element.IsString() && !element.AsString().empty()) values.push_back(element.AsString());
  }
  return values;
}

bool SetStringAtPath(JsonValue& root, const JsonPath& path, const std::wstring& text) {
  if (path.empty()) return false;
  if (!root.IsObject()) root = JsonValue(JsonObject());
  JsonValue* current = &root;
  for (size_t i = 0; i + 1 < path.size(); ++i) {
    JsonValue& member = current->AsObject()[path[i]];  // exact key, no case fallback
    if (!member.IsObject()) member = JsonValue(JsonObject());
    current = &member;
  }
  current->AsObject()[path.back()] = JsonValue(text);
  return true;
}

void RemoveMember(JsonValue& value, const std::wstring& key) {
  if (!value.IsObject()) return;
  JsonObject& object = value.AsObject();
  const auto it = FindMember(object, key);
  if (it != object.end()) object.erase(it);
}

JsonPath SplitConfigPath(const std::wstring& text) {
  JsonPath result;
  size_t start = 0;
  for (;;) {
    const size_t dot = text.find(L'.', start);
    const size_t end = dot == std::wstring::npos ? text.size() : dot;
    if (end > start) result.push_back(text.substr(start, end - start));
    if (dot == std::wstring::npos) return result;
    start = dot + 1;
  }
}

bool PathsEqualNoCase(const JsonPath& a, const JsonPath& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Fold(a[i]) != Fold(b[i])) return false;
  }
  return true;
}

bool PathListContains(const JsonPath& path, const std::vector<JsonPath>& paths) {
  for (const JsonPath& entry : paths) {
    if (PathsEqualNoCase(path, entry)) return true;
  }
  return false;
}

JsonValue MergeConfig(const JsonValue& currentConfig, const JsonValue& newConfig,
                      const std::vector<JsonPath>& forcePaths) {
  return MergeAt(currentConfig, newConfig, JsonPath(), forcePaths);
}
