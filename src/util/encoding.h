// Conversions between the program's wide text (UTF-16) and UTF-8 bytes.
#pragma once

#include <string>

// UTF-8 bytes of the text up to its first NUL code unit; empty when conversion fails.
std::string ToUtf8(const std::wstring& text);

// UTF-16 text of the bytes (all of them, NUL included); malformed input becomes U+FFFD.
std::wstring FromUtf8(const std::string& bytes);

// The bytes without one leading UTF-8 byte order mark (EF BB BF), when there is one.
std::string WithoutUtf8Bom(const std::string& bytes);
