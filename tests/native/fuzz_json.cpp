// libFuzzer target for ParseJson and WriteJson. Input bytes are UTF-8, or UTF-16LE code units
// after an FF FE mark (so lone surrogates and NULs reach the parser as they are). A failed
// parse must give one of the parser's fixed messages; a document that parses must write,
// parse again to the same document (numbers that are not whole to the writer's 15 digits) and
// settle to one text when written again.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "config/json.h"
#include "util/encoding.h"

namespace {

std::wstring InputText(const uint8_t* data, size_t size) {
  if (size >= 2 && data[0] == 0xFF && data[1] == 0xFE) {
    std::wstring text;
    for (size_t i = 2; i + 1 < size; i += 2) {
      text.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));
    }
    return text;
  }
  return FromUtf8(std::string(reinterpret_cast<const char*>(data), size));
}

[[noreturn]] void Finding(const char* what) {
  std::fprintf(stderr, "fuzz_json: %s\n", what);
  std::abort();
}

// The writer keeps 15 significant digits of a number that is not whole, so such numbers
// come back rounded; whole numbers and everything else come back exactly.
bool SameNumber(double a, double b) {
  if (a == b) return true;
  if (std::floor(a) == a) return false;
  return std::fabs(a - b) <= 1e-14 * std::fabs(a);
}

bool SameDocument(const JsonValue& a, const JsonValue& b) {
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case JsonKind::kNumber:
      return SameNumber(a.AsNumber(), b.AsNumber());
    case JsonKind::kArray: {
      if (a.AsArray().size() != b.AsArray().size()) return false;
      for (size_t i = 0; i < a.AsArray().size(); ++i) {
        if (!SameDocument(a.AsArray()[i], b.AsArray()[i])) return false;
      }
      return true;
    }
    case JsonKind::kObject: {
      if (a.AsObject().size() != b.AsObject().size()) return false;
      auto ib = b.AsObject().begin();
      for (const auto& [key, value] : a.AsObject()) {
        if (key != ib->first || !SameDocument(value, ib->second)) return false;
        ++ib;
      }
      return true;
    }
    default:
      return a == b;
  }
}

const std::set<std::wstring>& Messages() {
  static const std::set<std::wstring> messages = {
      L"Unexpected end of JSON.",
      L"Invalid JSON value.",
      L"JSON nesting is too deep.",
      L"Expected ':' after object key.",
      L"Expected ',' or '}' in object.",
      L"Expected ',' or ']' in array.",
      L"Expected string.",
      L"Unterminated string.",
      L"Invalid escape sequence.",
      L"Invalid unicode escape.",
      L"Invalid number.",
      L"Unexpected characters after JSON root.",
  };
  return messages;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::wstring text = InputText(data, size);
  std::wstring error = L"untouched";
  const std::optional<JsonValue> document = ParseJson(text, &error);
  if (!document) {
    if (!Messages().count(error)) Finding("failure without one of the fixed messages");
    return 0;
  }
  if (error != L"untouched") Finding("a successful parse changed the error text");

  const std::wstring written = WriteJson(*document, 2);
  std::wstring again = L"untouched";
  const std::optional<JsonValue> reread = ParseJson(written, &again);
  if (!reread) Finding("a written document does not parse again");
  if (!SameDocument(*document, *reread)) Finding("a written document parses to another one");
  // A number that is not whole can come back whole (1e15 + 0.5 is written 1e+15) and is then
  // written as an integer: the text settles at the second writing, with the same values.
  const std::wstring rewritten = WriteJson(*reread, 2);
  const std::optional<JsonValue> settled = ParseJson(rewritten, nullptr);
  if (!settled || !(*settled == *reread)) Finding("the rewritten document has other values");
  if (WriteJson(*settled, 2) != rewritten) Finding("writing the document again gives other text");

  const std::optional<JsonValue> compact = ParseJson(WriteJson(*document, 0), nullptr);
  if (!compact || !(*compact == *reread)) Finding("the indent changes the document");
  return 0;
}
