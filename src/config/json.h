// JSON documents: the value model, the parser with its fixed messages and the writer with
// its fixed layout. Text is UTF-16; objects keep their keys in ordinal code-unit order.
#pragma once

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

// One JSON value of six kinds, in this order: null, boolean, number, string, array, object.
struct JsonValue {
  std::variant<std::nullptr_t, bool, double, std::wstring, JsonArray, JsonObject> data;
  // (helpers such as IsObject()/AsObject() are added with the implementation)
};

// The document, or absent with *error (when not null) set to one fixed message.
std::optional<JsonValue> ParseJson(const std::wstring& text, std::wstring* error);

// The document with `indent` spaces per level, line feeds only, ending with a line feed.
std::wstring WriteJson(const JsonValue& value, int indent);

// The body of a JSON string literal for the text, without the quotation marks.
std::wstring EscapeJsonString(const std::wstring& text);
