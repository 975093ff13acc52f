#include "config/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "util/encoding.h"

// Failure output shows values as written documents.
void PrintTo(const JsonValue& value, std::ostream* out) { *out << ToUtf8(WriteJson(value, 0)); }

namespace {

JsonValue Parsed(const std::wstring& text) {
  std::wstring error;
  std::optional<JsonValue> value = ParseJson(text, &error);
  EXPECT_TRUE(value.has_value()) << "\"" << ToUtf8(text) << "\": " << ToUtf8(error);
  return value.value_or(JsonValue());
}

}  // namespace

struct ParseFailure {
  std::wstring text;
  std::wstring message;
};

TEST(ParseJson, FailsWithTheMessageOfTheRuleThatFoundTheError) {
  const ParseFailure cases[] = {
      {L"", L"Unexpected end of JSON."},
      {L" \t\r\n ", L"Unexpected end of JSON."},
      {L"[", L"Unexpected end of JSON."},
      {L"[1, ", L"Unexpected end of JSON."},
      {L"{\"a\": ", L"Unexpected end of JSON."},
      {L"[1,]", L"Invalid JSON value."},
      {L"tru", L"Invalid JSON value."},
      {L"+1", L"Invalid JSON value."},
      {L".5", L"Invalid JSON value."},
      {L"'a'", L"Invalid JSON value."},
      {L"// note\n{}", L"Invalid JSON value."},
      {L"NaN", L"Invalid JSON value."},
      {L"Infinity", L"Invalid JSON value."},
      {L"True", L"Invalid JSON value."},
      {L"true false", L"Unexpected characters after JSON root."},
      {L"{} x", L"Unexpected characters after JSON root."},
      {L"[1]]", L"Unexpected characters after JSON root."},
      {L"{\"a\": 1,}", L"Expected string."},
      {L"{", L"Expected string."},
      {L"{'a': 1}", L"Expected string."},
      {L"{a: 1}", L"Expected string."},
      {L"\"abc", L"Unterminated string."},
      {L"{\"a", L"Unterminated string."},
      {L"\"\\x\"", L"Invalid escape sequence."},
      {L"\"\\U0041\"", L"Invalid escape sequence."},
      {L"\"\\", L"Invalid escape sequence."},
      {L"\"\\u12", L"Invalid unicode escape."},
      {L"\"\\u12G4\"", L"Invalid unicode escape."},
      {L"\"\\u 123\"", L"Invalid unicode escape."},
      {L"-", L"Invalid number."},
      {L"-Infinity", L"Invalid number."},
      {L"[-.]", L"Invalid number."},
      {L"1e400", L"Invalid number."},
      {L"-1e400", L"Invalid number."},
      {L"{\"a\" 1}", L"Expected ':' after object key."},
      {L"{\"a\"}", L"Expected ':' after object key."},
      {L"{\"a\": 1 \"b\": 2}", L"Expected ',' or '}' in object."},
      {L"{\"a\": 1]", L"Expected ',' or '}' in object."},
      {L"[1 2]", L"Expected ',' or ']' in array."},
      {L"[truex]", L"Expected ',' or ']' in array."},
      {L"[1}", L"Expected ',' or ']' in array."},
  };
  for (const ParseFailure& c : cases) {
    std::wstring error = L"earlier text that must go";
    EXPECT_FALSE(ParseJson(c.text, &error).has_value()) << ToUtf8(c.text);
    EXPECT_EQ(error, c.message) << ToUtf8(c.text);
    EXPECT_FALSE(ParseJson(c.text, nullptr).has_value());  // no pointer: fails all the same
  }
}

TEST(ParseJson, LeavesTheErrorTextAloneOnSuccess) {
  std::wstring error = L"untouched";
  ASSERT_TRUE(ParseJson(L"{}", &error).has_value());
  EXPECT_EQ(error, L"untouched");
}

struct ParseSuccess {
  std::wstring text;
  JsonValue value;
};

TEST(ParseJson, AcceptsTheListedFormsBeyondStrictJson) {
  const ParseSuccess cases[] = {
      {L" \r\n{}\t ", JsonObject()},
      {L"[ 1 , [ ] , { } , null , true , false ]",
       JsonArray{1, JsonArray(), JsonObject(), nullptr, true, false}},
      {L"01", 1},
      {L"1.", 1},
      {L"-.5", -0.5},
      {L"1e", 1},
      {L"1e-", 1},
      {L"1e+", 1},
      {L"2.5E+2", 250.0},
      {L"-0", -0.0},
      {L"[true]", JsonArray{true}},
      {L"\"\\u00E9\\u00e9\"", L"\u00E9\u00E9"},
      {L"\"\\uD83D\\uDE00\"", std::wstring{wchar_t(0xD83D), wchar_t(0xDE00)}},
      {L"\"\\uDC00x\"", std::wstring{wchar_t(0xDC00), L'x'}},
      {L"\"a\\u0000b\"", std::wstring(L"a\0b", 3)},
      {L"\"\\\"\\\\\\/\\b\\f\\n\\r\\t\"", L"\"\\/\b\f\n\r\t"},
      {L"\"raw\ttab\x01\nline\"", L"raw\ttab\x01\nline"},
      {L"{\"a\": 1, \"a\": 2}", JsonObject{{L"a", 2}}},
      {L"{\"\": {\"x\": [\"y\"]}}", JsonObject{{L"", JsonObject{{L"x", JsonArray{L"y"}}}}}},
  };
  for (const ParseSuccess& c : cases) {
    EXPECT_EQ(Parsed(c.text), c.value) << ToUtf8(c.text);
  }
}

TEST(ParseJson, NumbersAreDoublesWithTheirRange) {
  EXPECT_EQ(Parsed(L"9007199254740993").AsNumber(), 9007199254740992.0);
  EXPECT_EQ(Parsed(L"1.7976931348623157e308").AsNumber(), 1.7976931348623157e308);
  EXPECT_EQ(Parsed(L"-12.25e-1").AsNumber(), -1.225);
}

TEST(ParseJson, BoundsTheNestingDepth) {
  const std::wstring deepest =
      std::wstring(kMaxJsonDepth / 2, L'[') + std::wstring(kMaxJsonDepth / 2, L'{');
  std::wstring inner;
  for (int i = 0; i < kMaxJsonDepth / 2; ++i) inner = L"{\"k\": " + inner + L"}";
  inner.replace(inner.find(L" }"), 2, L" []}");
  const std::wstring allowed =
      std::wstring(kMaxJsonDepth / 2 - 1, L'[') + inner + std::wstring(kMaxJsonDepth / 2 - 1, L']');
  std::wstring error;
  EXPECT_TRUE(ParseJson(allowed, &error).has_value()) << ToUtf8(error);

  EXPECT_FALSE(ParseJson(L"[" + allowed + L"]", &error).has_value());
  EXPECT_EQ(error, L"JSON nesting is too deep.");
  EXPECT_FALSE(ParseJson(L"{\"k\": " + allowed + L"}", &error).has_value());
  EXPECT_EQ(error, L"JSON nesting is too deep.");
  // A hostile file of a million brackets fails quickly instead of exhausting the stack.
  EXPECT_FALSE(ParseJson(std::wstring(1000000, L'['), &error).has_value());
  EXPECT_EQ(error, L"JSON nesting is too deep.");
  EXPECT_FALSE(ParseJson(deepest + L"x", &error).has_value());
  EXPECT_EQ(error, L"Expected string.");  // exactly the bound is still parsed
}

TEST(WriteJson, WritesTheTemplateLayoutByteForByte) {
  const JsonValue doc =
      JsonObject{{L"Setup", JsonObject{{L"ForceReplace", JsonArray{L"FarmConfig.ApiKey"}}}}};
  EXPECT_EQ(WriteJson(doc, 2),
            L"{\n"
            L"  \"Setup\": {\n"
            L"    \"ForceReplace\": [\n"
            L"      \"FarmConfig.ApiKey\"\n"
            L"    ]\n"
            L"  }\n"
            L"}\n");
}

TEST(WriteJson, WritesEmptyContainersAndScalarsOnTheirLine) {
  EXPECT_EQ(WriteJson(JsonValue(), 2), L"null\n");
  EXPECT_EQ(WriteJson(true, 2), L"true\n");
  EXPECT_EQ(WriteJson(JsonObject(), 2), L"{}\n");
  EXPECT_EQ(WriteJson(JsonArray(), 2), L"[]\n");
  EXPECT_EQ(WriteJson(JsonArray{JsonObject(), JsonArray(), nullptr, false, L"s"}, 2),
            L"[\n  {},\n  [],\n  null,\n  false,\n  \"s\"\n]\n");
  EXPECT_EQ(WriteJson(JsonObject{{L"a", JsonArray{1, JsonObject{{L"b", 2}}}}}, 4),
            L"{\n    \"a\": [\n        1,\n        {\n            \"b\": 2\n        }\n    ]\n}\n");
}

TEST(WriteJson, SortsKeysByUnsignedCodeUnits) {
  const JsonValue doc = Parsed(
      L"{\"b\": 1, \"a\": 2, \"farmConfig\": 3, \"FarmConfig\": 4, \"ab\": 5, \"\": 6,"
      L" \"\\u00e9\": 7, \"z\": 8, \"\\uffff\": 9, \"\\ud800\": 10, \"\\ue000\": 11}");
  EXPECT_EQ(WriteJson(doc, 2),
            L"{\n  \"\": 6,\n  \"FarmConfig\": 4,\n  \"a\": 2,\n  \"ab\": 5,\n  \"b\": 1,\n"
            L"  \"farmConfig\": 3,\n  \"z\": 8,\n  \"\u00e9\": 7,\n  \"\xd800\": 10,\n"
            L"  \"\xe000\": 11,\n  \"\xffff\": 9\n}\n");
}

TEST(WriteJson, ReadAndWrittenAgainGivesTheFixedLayout) {
  const std::wstring input =
      L"{\r\n    \"Logging\" : { \"LogLevel\":{\"Default\":\"Information\"}},\r\n"
      L"\t\"FarmConfig\":{\"ApiKey\":\"\",\"Interval\":2.50, \"Hosts\":[\"a\",\"b\"]}\r\n}";
  EXPECT_EQ(WriteJson(Parsed(input), 2),
            L"{\n"
            L"  \"FarmConfig\": {\n"
            L"    \"ApiKey\": \"\",\n"
            L"    \"Hosts\": [\n"
            L"      \"a\",\n"
            L"      \"b\"\n"
            L"    ],\n"
            L"    \"Interval\": 2.5\n"
            L"  },\n"
            L"  \"Logging\": {\n"
            L"    \"LogLevel\": {\n"
            L"      \"Default\": \"Information\"\n"
            L"    }\n"
            L"  }\n"
            L"}\n");
}

struct NumberCase {
  double value;
  std::wstring written;
};

TEST(WriteJson, WritesWholeNumbersAsIntegersAndOthersWithFifteenDigits) {
  const double inf = std::numeric_limits<double>::infinity();
  const NumberCase cases[] = {
      {2.50, L"2.5"},
      {1.0, L"1"},
      {-0.0, L"0"},
      {1e3, L"1000"},
      {-42.0, L"-42"},
      {1e-5, L"1e-05"},
      {1.5e-7, L"1.5e-07"},
      {0.1, L"0.1"},
      {0.1 + 0.2, L"0.3"},
      {1.0 / 3.0, L"0.333333333333333"},
      {-2.0 / 3.0, L"-0.666666666666667"},
      {0.0001, L"0.0001"},
      {1e15 + 0.5, L"1e+15"},
      {123456789.125, L"123456789.125"},
      {1e-300, L"1e-300"},
      {9007199254740993.0, L"9007199254740992"},
      {9223372036854774784.0, L"9223372036854774784"},  // largest double below 2^63
      {-9223372036854774784.0, L"-9223372036854774784"},
      {9223372036854775808.0, L"9.2233720368547758e+18"},  // 2^63
      {-9223372036854775808.0, L"-9.2233720368547758e+18"},
      {1e20, L"1e+20"},
      {-1.7976931348623157e308, L"-1.7976931348623157e+308"},
      {inf, L"null"},
      {-inf, L"null"},
      {std::nan(""), L"null"},
  };
  for (const NumberCase& c : cases) {
    EXPECT_EQ(WriteJson(c.value, 2), c.written + L"\n") << c.value;
    // Every whole number reads back as the same value.
    if (std::isfinite(c.value) && std::floor(c.value) == c.value) {
      EXPECT_EQ(Parsed(c.written).AsNumber(), c.value) << c.value;
    }
  }
  EXPECT_EQ(Parsed(L"9.2233720368547758e+18").AsNumber(), 9223372036854775808.0);
  EXPECT_EQ(Parsed(L"-1.7976931348623157e+308").AsNumber(), -1.7976931348623157e308);
}

// Rounded to 15 digits, a number just above the smallest normal double would fall below it,
// where reading it back fails with a range error.
TEST(WriteJson, NumbersNextToTheSmallestNormalDoubleReadBackExactly) {
  for (const wchar_t* text :
       {L"2.2250738585072014e-308", L"-2.2250738585072014e-308", L"2.225073858507202e-308"}) {
    const JsonValue value = Parsed(text);
    std::wstring error;
    const std::optional<JsonValue> again = ParseJson(WriteJson(value, 2), &error);
    ASSERT_TRUE(again.has_value()) << ToUtf8(text) << ": " << ToUtf8(error);
    EXPECT_EQ(*again, value) << ToUtf8(text);
  }
  EXPECT_EQ(WriteJson(Parsed(L"2.2250738585073e-308"), 2), L"2.2250738585073e-308\n");
}

struct EscapeCase {
  std::wstring text;
  std::wstring escaped;
};

TEST(EscapeJsonString, EscapesControlUnitsQuoteAndBackslashOnly) {
  const EscapeCase cases[] = {
      {L"", L""},
      {L"plain text", L"plain text"},
      {L"\x01", L"\\u0001"},
      {L"\x1f", L"\\u001f"},
      {std::wstring(1, L'\0'), L"\\u0000"},
      {L"\x0b", L"\\u000b"},
      {L"\b\t\n\f\r", L"\\b\\t\\n\\f\\r"},
      {L"say \"hi\"", L"say \\\"hi\\\""},
      {L"C:\\Orvaner", L"C:\\\\Orvaner"},
      {L"a/b", L"a/b"},
      {L"\x7f\u00e9\u20ac", L"\x7f\u00e9\u20ac"},
      {std::wstring{wchar_t(0xD83D), wchar_t(0xDE00), wchar_t(0xDC00)},
       std::wstring{wchar_t(0xD83D), wchar_t(0xDE00), wchar_t(0xDC00)}},
  };
  for (const EscapeCase& c : cases) {
    EXPECT_EQ(EscapeJsonString(c.text), c.escaped) << ToUtf8(c.text);
    // Written and read again, every string comes back unit for unit.
    EXPECT_EQ(Parsed(L"\"" + c.escaped + L"\"").AsString(), c.text);
  }
  EXPECT_EQ(WriteJson(JsonObject{{L"k\"\n", L"v\\"}}, 2), L"{\n  \"k\\\"\\n\": \"v\\\\\"\n}\n");
}

TEST(JsonValue, HoldsSixKindsInTheirOrderAndCopiesWholeTrees) {
  EXPECT_EQ(JsonValue().kind(), JsonKind::kNull);
  EXPECT_EQ(JsonValue(false).data.index(), 1u);
  EXPECT_EQ(JsonValue(1.5).data.index(), 2u);
  EXPECT_EQ(JsonValue(L"s").data.index(), 3u);
  EXPECT_EQ(JsonValue(JsonArray()).data.index(), 4u);
  EXPECT_EQ(JsonValue(JsonObject()).data.index(), 5u);

  JsonValue original = Parsed(L"{\"a\": {\"b\": [1]}}");
  JsonValue copy = original;
  copy.AsObject()[L"a"].AsObject()[L"b"].AsArray().push_back(2);
  EXPECT_EQ(WriteJson(original, 0), L"{\n\"a\": {\n\"b\": [\n1\n]\n}\n}\n");
  EXPECT_NE(copy, original);
}
