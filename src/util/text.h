// Text helpers on wide (UTF-16) strings. Case-insensitive means: ASCII A-Z folded, code units
// compared exactly.
#pragma once

#include <string>

// Removes blanks, tabs, CR, LF, VT and FF from both ends; nothing else is trimmed.
std::wstring TrimText(const std::wstring& text);

// TrimText, then removes one pair of double quotes that encloses the whole text.
std::wstring TrimAndUnquote(const std::wstring& text);

// Folds only the ASCII capitals A-Z; the length never changes.
std::wstring ToLower(const std::wstring& text);

// Case-insensitive prefix test; an empty prefix matches.
bool StartsWithNoCase(const std::wstring& text, const std::wstring& prefix);

// Case-insensitive suffix test; an empty suffix matches.
bool EndsWithNoCase(const std::wstring& text, const std::wstring& suffix);
