// JSON documents: the value model, the parser with its fixed messages and the writer with
// its fixed layout. Text is UTF-16; objects keep their keys in ordinal code-unit order.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

struct JsonValue;

// Orders keys by their UTF-16 code units as unsigned numbers (a prefix first).
struct JsonKeyLess {
  bool operator()(const std::wstring& a, const std::wstring& b) const;
};

using JsonArray = std::vector<JsonValue>;
using JsonObject = std::map<std::wstring, JsonValue, JsonKeyLess>;

// The six kinds of a value; each is the index of its alternative in JsonValue::data.
enum class JsonKind { kNull = 0, kBool = 1, kNumber = 2, kString = 3, kArray = 4, kObject = 5 };

// Containers deeper than this fail to parse ("JSON nesting is too deep.").
inline constexpr int kMaxJsonDepth = 512;

// One JSON value of six kinds, in this order: null, boolean, number, string, array, object.
// A default value is null; copies copy the whole tree.
struct JsonValue {
  std::variant<std::nullptr_t, bool, double, std::wstring, JsonArray, JsonObject> data;

  JsonValue() = default;
  JsonValue(std::nullptr_t) {}
  JsonValue(bool b) : data(b) {}
  JsonValue(double d) : data(d) {}
  JsonValue(int i) : data(static_cast<double>(i)) {}
  JsonValue(const wchar_t* s) : data(std::wstring(s)) {}
  JsonValue(std::wstring s) : data(std::move(s)) {}
  JsonValue(JsonArray a) : data(std::move(a)) {}
  JsonValue(JsonObject o) : data(std::move(o)) {}

  // The kind, by its index in the variant.
  JsonKind kind() const { return static_cast<JsonKind>(data.index()); }

  bool IsNull() const { return data.index() == 0; }
  bool IsBool() const { return data.index() == 1; }
  bool IsNumber() const { return data.index() == 2; }
  bool IsString() const { return data.index() == 3; }
  bool IsArray() const { return data.index() == 4; }
  bool IsObject() const { return data.index() == 5; }

  // Typed access; the kind must match (std::bad_variant_access otherwise).
  bool AsBool() const { return std::get<bool>(data); }
  double AsNumber() const { return std::get<double>(data); }
  const std::wstring& AsString() const { return std::get<std::wstring>(data); }
  const JsonArray& AsArray() const { return std::get<JsonArray>(data); }
  JsonArray& AsArray() { return std::get<JsonArray>(data); }
  const JsonObject& AsObject() const { return std::get<JsonObject>(data); }
  JsonObject& AsObject() { return std::get<JsonObject>(data); }

  // Same kind and equal content (numbers compared as doubles).
  bool operator==(const JsonValue& other) const;
};

// The document, or absent with *error (when not null) set to one fixed message.
std::optional<JsonValue> ParseJson(const std::wstring& text, std::wstring* error);

// The document with `indent` spaces per level, line feeds only, ending with a line feed.
std::wstring WriteJson(const JsonValue& value, int indent);

// The body of a JSON string literal for the text, without the quotation marks.
std::wstring EscapeJsonString(const std::wstring& text);
