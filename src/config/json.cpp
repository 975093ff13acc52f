#include "config/json.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cwchar>
#include <cwctype>
#include <limits>
#include <type_traits>

// Plain standard C++ only: this file also builds natively where wchar_t has 32 bits.

namespace {

// A code unit as an unsigned number, whatever the width and signedness of wchar_t.
std::uint32_t Unit(wchar_t c) { return static_cast<std::make_unsigned_t<wchar_t>>(c); }

// The state of one parse: the text, the next unread position, the open containers.
struct JsonParser {
  const std::wstring& text;
  size_t pos = 0;
  int depth = 0;
  std::wstring message;  // set once, by the rule that detects the failure

  bool AtEnd() const { return pos >= text.size(); }

  bool Fail(const wchar_t* why) {
    message = why;
    return false;
  }

  void SkipWhiteSpace() {
    while (!AtEnd() && std::iswspace(static_cast<std::wint_t>(text[pos]))) ++pos;
  }

  // Skips white space, then takes c when it is next.
  bool Consume(wchar_t c) {
    SkipWhiteSpace();
    if (AtEnd() || text[pos] != c) return false;
    ++pos;
    return true;
  }

  bool Follows(const wchar_t* word, size_t length) const {
    return text.compare(pos, length, word) == 0;
  }

  bool ParseValue(JsonValue& out);
  bool ParseObject(JsonValue& out);
  bool ParseArray(JsonValue& out);
  bool ParseString(std::wstring& out);
  bool ParseNumber(JsonValue& out);
  bool Enter();
};

bool JsonParser::ParseValue(JsonValue& out) {
  SkipWhiteSpace();
  if (AtEnd()) return Fail(L"Unexpected end of JSON.");
  const wchar_t c = text[pos];
  if (c == L'{') return ParseObject(out);
  if (c == L'[') return ParseArray(out);
  if (c == L'"') {
    std::wstring s;
    if (!ParseString(s)) return false;
    out.data = std::move(s);
    return true;
  }
  if (c == L'-' || std::iswdigit(static_cast<std::wint_t>(c))) return ParseNumber(out);
  if (Follows(L"true", 4)) {
    pos += 4;
    out.data = true;
    return true;
  }
  if (Follows(L"false", 5)) {
    pos += 5;
    out.data = false;
    return true;
  }
  if (Follows(L"null", 4)) {
    pos += 4;
    out.data = nullptr;
    return true;
  }
  return Fail(L"Invalid JSON value.");
}

// Counts one more open container; a corrupt or hostile file must not exhaust the stack.
bool JsonParser::Enter() {
  if (++depth > kMaxJsonDepth) return Fail(L"JSON nesting is too deep.");
  return true;
}

bool JsonParser::ParseObject(JsonValue& out) {
  Consume(L'{');
  if (!Enter()) return false;
  JsonObject object;
  if (!Consume(L'}')) {
    for (;;) {
      std::wstring key;
      if (!ParseString(key)) return false;
      if (!Consume(L':')) return Fail(L"Expected ':' after object key.");
      JsonValue value;
      if (!ParseValue(value)) return false;
      object[std::move(key)] = std::move(value);  // the last duplicate wins
      if (Consume(L'}')) break;
      if (!Consume(L',')) return Fail(L"Expected ',' or '}' in object.");
    }
  }
  --depth;
  out.data = std::move(object);
  return true;
}

bool JsonParser::ParseArray(JsonValue& out) {
  Consume(L'[');
  if (!Enter()) return false;
  JsonArray array;
  if (!Consume(L']')) {
    for (;;) {
      JsonValue value;
      if (!ParseValue(value)) return false;
      array.push_back(std::move(value));
      if (Consume(L']')) break;
      if (!Consume(L',')) return Fail(L"Expected ',' or ']' in array.");
    }
  }
  --depth;
  out.data = std::move(array);
  return true;
}

int HexDigit(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

bool JsonParser::ParseString(std::wstring& out) {
  if (!Consume(L'"')) return Fail(L"Expected string.");
  for (;;) {
    if (AtEnd()) return Fail(L"Unterminated string.");
    const wchar_t c = text[pos++];
    if (c == L'"') return true;
    if (c != L'\\') {
      out.push_back(c);  // control characters included
      continue;
    }
    if (AtEnd()) return Fail(L"Invalid escape sequence.");
    switch (text[pos++]) {
      case L'"':
        out.push_back(L'"');
        break;
      case L'\\':
        out.push_back(L'\\');
        break;
      case L'/':
        out.push_back(L'/');
        break;
      case L'b':
        out.push_back(L'\b');
        break;
      case L'f':
        out.push_back(L'\f');
        break;
      case L'n':
        out.push_back(L'\n');
        break;
      case L'r':
        out.push_back(L'\r');
        break;
      case L't':
        out.push_back(L'\t');
        break;
      case L'u': {
        if (text.size() - pos < 4) return Fail(L"Invalid unicode escape.");
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i) {
          const int digit = HexDigit(text[pos++]);
          if (digit < 0) return Fail(L"Invalid unicode escape.");
          value = value * 16 + static_cast<std::uint32_t>(digit);
        }
        out.push_back(static_cast<wchar_t>(value));  // surrogates and U+0000 as they are
        break;
      }
      default:
        return Fail(L"Invalid escape sequence.");
    }
  }
}

bool JsonParser::ParseNumber(JsonValue& out) {
  auto isDigit = [this](size_t at) {
    return at < text.size() && std::iswdigit(static_cast<std::wint_t>(text[at]));
  };
  const size_t start = pos;
  size_t end = pos;
  if (end < text.size() && text[end] == L'-') ++end;
  while (isDigit(end)) ++end;
  if (end < text.size() && text[end] == L'.') {
    ++end;
    while (isDigit(end)) ++end;
  }
  if (end < text.size() && (text[end] == L'e' || text[end] == L'E')) {
    ++end;
    if (end < text.size() && (text[end] == L'+' || text[end] == L'-')) ++end;
    while (isDigit(end)) ++end;
  }
  // The longest numeral at the start of the span counts; the rest of the span is passed over.
  const std::wstring span = text.substr(start, end - start);
  wchar_t* stop = nullptr;
  errno = 0;
  const double value = std::wcstod(span.c_str(), &stop);
  if (stop == span.c_str() || errno == ERANGE) return Fail(L"Invalid number.");
  pos = end;
  out.data = value;
  return true;
}

std::wstring Printed(const wchar_t* format, double d) {
  wchar_t buffer[64];
  const int n = std::swprintf(buffer, sizeof buffer / sizeof buffer[0], format, d);
  return std::wstring(buffer, n > 0 ? static_cast<size_t>(n) : 0);
}

void WriteNumber(double d, std::wstring& out) {
  // JSON has no NaN or infinity; null keeps the written document readable.
  if (!std::isfinite(d)) {
    out += L"null";
    return;
  }
  constexpr double kTwoTo63 = 9223372036854775808.0;
  if (std::floor(d) == d) {
    if (std::fabs(d) < kTwoTo63) {
      out += std::to_wstring(static_cast<long long>(d));  // -0.0 gives 0
    } else {
      out += Printed(L"%.17g", d);  // 17 digits give back the same double
    }
    return;
  }
  std::wstring text = Printed(L"%.15g", d);
  // Rounded to 15 digits, a number just above the smallest normal double can fall below it,
  // and reading that back fails with a range error; all 17 digits give back d itself.
  const double smallest = std::numeric_limits<double>::min();
  if (std::fabs(d) >= smallest && std::fabs(std::wcstod(text.c_str(), nullptr)) < smallest) {
    text = Printed(L"%.17g", d);
  }
  out += text;
}

void WriteValue(const JsonValue& value, int level, int indent, std::wstring& out) {
  switch (value.kind()) {
    case JsonKind::kNull:
      out += L"null";
      return;
    case JsonKind::kBool:
      out += value.AsBool() ? L"true" : L"false";
      return;
    case JsonKind::kNumber:
      WriteNumber(value.AsNumber(), out);
      return;
    case JsonKind::kString:
      out += L'"';
      out += EscapeJsonString(value.AsString());
      out += L'"';
      return;
    case JsonKind::kArray: {
      const JsonArray& array = value.AsArray();
      if (array.empty()) {
        out += L"[]";
        return;
      }
      out += L"[\n";
      for (size_t i = 0; i < array.size(); ++i) {
        out.append(static_cast<size_t>(level + indent), L' ');
        WriteValue(array[i], level + indent, indent, out);
        if (i + 1 < array.size()) out += L',';
        out += L'\n';
      }
      out.append(static_cast<size_t>(level), L' ');
      out += L']';
      return;
    }
    case JsonKind::kObject: {
      const JsonObject& object = value.AsObject();
      if (object.empty()) {
        out += L"{}";
        return;
      }
      out += L"{\n";
      size_t left = object.size();
      for (const auto& [key, member] : object) {
        out.append(static_cast<size_t>(level + indent), L' ');
        out += L'"';
        out += EscapeJsonString(key);
        out += L"\": ";
        WriteValue(member, level + indent, indent, out);
        if (--left > 0) out += L',';
        out += L'\n';
      }
      out.append(static_cast<size_t>(level), L' ');
      out += L'}';
      return;
    }
  }
}

}  // namespace

bool JsonKeyLess::operator()(const std::wstring& a, const std::wstring& b) const {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return Unit(a[i]) < Unit(b[i]);
  }
  return a.size() < b.size();
}

bool JsonValue::operator==(const JsonValue& other) const { return data == other.data; }

std::optional<JsonValue> ParseJson(const std::wstring& text, std::wstring* error) {
  JsonParser parser{text, 0, 0, {}};
  JsonValue root;
  parser.SkipWhiteSpace();
  bool ok = parser.ParseValue(root);
  if (ok) {
    parser.SkipWhiteSpace();
    if (!parser.AtEnd()) ok = parser.Fail(L"Unexpected characters after JSON root.");
  }
  if (!ok) {
    if (error) *error = parser.message;
    return std::nullopt;
  }
  return root;
}

std::wstring WriteJson(const JsonValue& value, int indent) {
  std::wstring out;
  WriteValue(value, 0, indent < 0 ? 0 : indent, out);
  out += L'\n';
  return out;
}

std::wstring EscapeJsonString(const std::wstring& text) {
  static const wchar_t kHex[] = L"0123456789abcdef";
  std::wstring out;
  out.reserve(text.size());
  for (const wchar_t c : text) {
    switch (c) {
      case L'\b':
        out += L"\\b";
        break;
      case L'\t':
        out += L"\\t";
        break;
      case L'\n':
        out += L"\\n";
        break;
      case L'\f':
        out += L"\\f";
        break;
      case L'\r':
        out += L"\\r";
        break;
      case L'"':
        out += L"\\\"";
        break;
      case L'\\':
        out += L"\\\\";
        break;
      default:
        if (Unit(c) < 0x20) {
          out += L"\\u00";
          out += kHex[Unit(c) >> 4];
          out += kHex[Unit(c) & 0xF];
        } else {
          out += c;
        }
    }
  }
  return out;
}
