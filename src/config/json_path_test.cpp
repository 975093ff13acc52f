#include "config/json_path.h"

#include <gtest/gtest.h>

#include "util/encoding.h"

namespace {

JsonValue Doc(const std::wstring& text) {
  std::wstring error;
  std::optional<JsonValue> value = ParseJson(text, &error);
  EXPECT_TRUE(value.has_value()) << ToUtf8(text) << ": " << ToUtf8(error);
  return value.value_or(JsonValue());
}

// A document on one line, to compare whole trees readably.
std::wstring Compact(const JsonValue& value) {
  std::wstring text = WriteJson(value, 0);
  std::wstring compact;
  for (wchar_t c : text) {
    if (c != L'\n') compact += c;
  }
  return compact;
}

}  // namespace

TEST(FindByPath, TakesTheExactKeyElseTheFirstCaseInsensitiveMatchInKeyOrder) {
  const JsonValue doc =
      Doc(L"{\"Setup\": {\"ForceReplace\": [\"x\"]}, \"SETUP\": 1, \"setup\": 2, \"Other\": 3,"
          L" \"aB\": 4, \"Ab\": 5, \"list\": [{\"k\": 1}]}");
  const JsonValue metadata = Doc(L"{\"Setup\": {\"ForceReplace\": [\"x\"]}}");
  ASSERT_NE(FindByPath(metadata, {L"setup", L"forcereplace"}), nullptr);
  EXPECT_EQ(*FindByPath(metadata, {L"setup", L"forcereplace"}), Doc(L"[\"x\"]"));
  EXPECT_TRUE(FindByPath(doc, {L"setup"})->IsNumber());  // exact beats the other spellings
  EXPECT_EQ(*FindByPath(doc, {L"setup"}), JsonValue(2));
  EXPECT_EQ(*FindByPath(doc, {L"SeTuP"}), JsonValue(1));  // SETUP sorts before Setup and setup
  EXPECT_EQ(*FindByPath(doc, {L"ab"}), JsonValue(5));     // Ab sorts before aB
  EXPECT_EQ(*FindByPath(doc, {L"Setup", L"ForceReplace"}), Doc(L"[\"x\"]"));
  EXPECT_EQ(FindByPath(doc, {}), &doc);
  EXPECT_EQ(FindByPath(doc, {L"Missing"}), nullptr);
  EXPECT_EQ(FindByPath(doc, {L"Other", L"x"}), nullptr);                  // a number has no members
  EXPECT_EQ(FindByPath(doc, {L"list", L"k"}), nullptr);                   // nor does an array
  EXPECT_EQ(FindByPath(Doc(L"{\"\\u00c9\": 1}"), {L"\u00e9"}), nullptr);  // ASCII folding only
}

TEST(StringListAt, KeepsTheNonEmptyStringsOfAnArrayInOrder) {
  const JsonValue doc =
      Doc(L"{\"Setup\": {\"ForceReplace\": [\"b\", \"\", 5, null, {\"x\": \"y\"}, [\"z\"], \"a\"],"
          L" \"One\": \"single\"}}");
  EXPECT_EQ(StringListAt(doc, {L"SETUP", L"forceReplace"}),
            (std::vector<std::wstring>{L"b", L"a"}));
  EXPECT_TRUE(StringListAt(doc, {L"Setup", L"One"}).empty());
  EXPECT_TRUE(StringListAt(doc, {L"Setup", L"None"}).empty());
  EXPECT_TRUE(StringListAt(Doc(L"[\"a\"]"), {L"Setup"}).empty());
  EXPECT_EQ(StringListAt(Doc(L"[\"a\"]"), {}), (std::vector<std::wstring>{L"a"}));
}

TEST(SetStringAtPath, CreatesOrReplacesObjectsOnTheWayWithExactKeys) {
  JsonValue root = Doc(L"[1, 2]");
  ASSERT_TRUE(SetStringAtPath(root, {L"FarmConfig", L"ApiKey"}, L"k"));
  EXPECT_EQ(Compact(root), L"{\"FarmConfig\": {\"ApiKey\": \"k\"}}");

  root = Doc(L"{\"farmConfig\": {\"ApiKey\": \"old\"}, \"FarmConfig\": 7, \"Keep\": true}");
  ASSERT_TRUE(SetStringAtPath(root, {L"FarmConfig", L"ApiKey"}, L"k"));
  EXPECT_EQ(Compact(root),
            L"{\"FarmConfig\": {\"ApiKey\": \"k\"},\"Keep\": true,"
            L"\"farmConfig\": {\"ApiKey\": \"old\"}}");

  root = Doc(L"{\"FarmConfig\": {\"ApiKey\": {\"deep\": 1}, \"Url\": \"u\"}}");
  ASSERT_TRUE(SetStringAtPath(root, {L"FarmConfig", L"ApiKey"}, L""));
  EXPECT_EQ(Compact(root), L"{\"FarmConfig\": {\"ApiKey\": \"\",\"Url\": \"u\"}}");

  ASSERT_TRUE(SetStringAtPath(root, {L"Top"}, L"t"));
  EXPECT_EQ(*FindByPath(root, {L"Top"}), JsonValue(L"t"));

  const JsonValue before = root;
  EXPECT_FALSE(SetStringAtPath(root, {}, L"x"));
  EXPECT_EQ(root, before);
}

TEST(RemoveMember, RemovesTheExactKeyElseTheFirstCaseInsensitiveMatchOnly) {
  JsonValue doc = Doc(L"{\"SETUP\": 1, \"setup\": 2, \"Other\": 3}");
  RemoveMember(doc, L"Setup");
  EXPECT_EQ(Compact(doc), L"{\"Other\": 3,\"setup\": 2}");

  doc = Doc(L"{\"SETUP\": 1, \"Setup\": 2}");
  RemoveMember(doc, L"Setup");
  EXPECT_EQ(Compact(doc), L"{\"SETUP\": 1}");

  RemoveMember(doc, L"Nothing");
  EXPECT_EQ(Compact(doc), L"{\"SETUP\": 1}");

  JsonValue array = Doc(L"[{\"Setup\": 1}]");
  RemoveMember(array, L"Setup");
  EXPECT_EQ(Compact(array), L"[{\"Setup\": 1}]");
}

TEST(SplitConfigPath, CutsAtEveryDotAndDropsEmptyPieces) {
  const std::pair<std::wstring, JsonPath> cases[] = {
      {L"FarmConfig.ApiKey", {L"FarmConfig", L"ApiKey"}},
      {L"..a..b.", {L"a", L"b"}},
      {L"single", {L"single"}},
      {L"", {}},
      {L"...", {}},
      {L" a . b ", {L" a ", L" b "}},
  };
  for (const auto& [text, path] : cases) EXPECT_EQ(SplitConfigPath(text), path) << ToUtf8(text);
}

TEST(PathsEqualNoCase, FoldsAsciiLettersOnlyAndComparesWholePaths) {
  EXPECT_TRUE(PathsEqualNoCase({L"FarmConfig", L"ApiKey"}, {L"farmconfig", L"APIKEY"}));
  EXPECT_TRUE(PathsEqualNoCase({}, {}));
  EXPECT_FALSE(PathsEqualNoCase({L"FarmConfig"}, {L"FarmConfig", L"ApiKey"}));
  EXPECT_FALSE(PathsEqualNoCase({L"A", L"B"}, {L"B", L"A"}));
  EXPECT_FALSE(PathsEqualNoCase({L"\u00c9"}, {L"\u00e9"}));
  EXPECT_FALSE(PathsEqualNoCase({L"a["}, {L"a{"}));  // '[' is not a folded '{'

  const std::vector<JsonPath> paths = {{L"A"}, {L"B", L"K"}};
  EXPECT_TRUE(PathListContains({L"b", L"k"}, paths));
  EXPECT_FALSE(PathListContains({L"B"}, paths));
  EXPECT_FALSE(PathListContains({L"A"}, {}));
}

struct MergeCase {
  const wchar_t* current;
  const wchar_t* fresh;
  std::vector<JsonPath> forcePaths;
  const wchar_t* merged;
};

TEST(MergeConfig, TemplateDecidesMembersAndCurrentDocumentValues) {
  const wchar_t* current = L"{\"A\": 1, \"B\": {\"K\": 2, \"D\": 3, \"E\": 6}, \"X\": 9}";
  const wchar_t* fresh = L"{\"A\": 5, \"B\": {\"K\": 7, \"E\": 8}, \"N\": 4}";
  const MergeCase cases[] = {
      {current, fresh, {}, L"{\"A\": 1,\"B\": {\"E\": 6,\"K\": 2},\"N\": 4}"},
      {current, fresh, {{L"B", L"K"}}, L"{\"A\": 1,\"B\": {\"E\": 6,\"K\": 7},\"N\": 4}"},
      {current, fresh, {{L"b", L"k"}}, L"{\"A\": 1,\"B\": {\"E\": 6,\"K\": 7},\"N\": 4}"},
      {current, fresh, {{L"B"}}, L"{\"A\": 1,\"B\": {\"E\": 8,\"K\": 7},\"N\": 4}"},
      {current,
       fresh,
       {{L"N"}, {L"X"}, {L"B", L"D"}},
       L"{\"A\": 1,\"B\": {\"E\": 6,\"K\": 2},\"N\": 4}"},  // forcing absent members does nothing
      {L"{\"A\": [1, 2]}", L"{\"A\": [3]}", {}, L"{\"A\": [1,2]}"},
      {L"{\"A\": [1, 2]}", L"{\"A\": [3]}", {{L"A"}}, L"{\"A\": [3]}"},
      {L"{\"A\": \"x\"}", L"{\"A\": {\"B\": 1}}", {}, L"{\"A\": \"x\"}"},
      {L"{\"A\": {\"B\": 1}}", L"{\"A\": 2}", {}, L"{\"A\": {\"B\": 1}}"},
      {L"{\"A\": {\"B\": 1}}", L"{\"A\": {\"B\": {\"C\": 2}}}", {}, L"{\"A\": {\"B\": 1}}"},
      {L"{\"a\": 1}", L"{\"A\": 2}", {}, L"{\"A\": 2}"},
      {L"{\"A\": {\"k\": 1}}", L"{\"A\": {\"K\": 2}}", {}, L"{\"A\": {\"K\": 2}}"},
      // Force paths act only where the keys before the last lead to objects on both sides.
      {L"{\"A\": 1}", L"{\"A\": {\"B\": 2}}", {{L"A", L"B"}}, L"{\"A\": 1}"},
      {L"{\"setup\": {\"x\": 1}, \"Setup\": 1, \"SETUP\": 2, \"K\": 3}",
       L"{\"Setup\": {\"ForceReplace\": [\"K\"]}, \"setup\": 0, \"SETUP\": 0, \"K\": 4}",
       {{L"K"}},
       L"{\"K\": 4}"},
      {L"{\"A\": {\"Setup\": 1}}",
       L"{\"A\": {\"Setup\": 2, \"setup\": 3}}",
       {},
       L"{\"A\": {\"Setup\": 1,\"setup\": 3}}"},  // only root members are metadata
      {L"{\"A\": 1}", L"[1]", {}, L"{\"A\": 1}"},
      {L"[1]", L"{\"A\": 1}", {}, L"{\"A\": 1}"},
      {L"{\"A\": 1}", L"{\"B\": 2}", {{}}, L"{\"B\": 2}"},
  };
  for (const MergeCase& c : cases) {
    const JsonValue currentDoc = Doc(c.current);
    const JsonValue freshDoc = Doc(c.fresh);
    EXPECT_EQ(Compact(MergeConfig(currentDoc, freshDoc, c.forcePaths)), c.merged)
        << ToUtf8(c.current) << " + " << ToUtf8(c.fresh);
    EXPECT_EQ(currentDoc, Doc(c.current));  // neither input changes
    EXPECT_EQ(freshDoc, Doc(c.fresh));
  }
}
