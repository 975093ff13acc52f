#include "util/text.h"

namespace {

const wchar_t kTrimSet[] = L" \t\r\n\v\f";

}  // namespace

std::wstring TrimText(const std::wstring& text) {
  const size_t first = text.find_first_not_of(kTrimSet);
  if (first == std::wstring::npos) return std::wstring();
  const size_t last = text.find_last_not_of(kTrimSet);
  return text.substr(first, last - first + 1);
}

std::wstring TrimAndUnquote(const std::wstring& text) {
  std::wstring t = TrimText(text);
  if (t.size() >= 2 && t.front() == L'"' && t.back() == L'"') return t.substr(1, t.size() - 2);
  return t;
}

std::wstring ToLower(const std::wstring& text) {
  std::wstring lower = text;
  for (wchar_t& c : lower) {
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c + (L'a' - L'A'));
  }
  return lower;
}

bool StartsWithNoCase(const std::wstring& text, const std::wstring& prefix) {
  if (text.size() < prefix.size()) return false;
  return ToLower(text.substr(0, prefix.size())) == ToLower(prefix);
}

bool EndsWithNoCase(const std::wstring& text, const std::wstring& suffix) {
  if (text.size() < suffix.size()) return false;
  return ToLower(text.substr(text.size() - suffix.size())) == ToLower(suffix);
}
