#include "util/text.h"

#include <gtest/gtest.h>

TEST(TrimText, RemovesOnlyTheSixBlankCharactersAtBothEnds) {
  EXPECT_EQ(TrimText(L" \t\r\n\v\fa b\f\v\n\r\t "), L"a b");
  EXPECT_EQ(TrimText(L" \t\r\n"), L"");
  EXPECT_EQ(TrimText(L""), L"");
  EXPECT_EQ(TrimText(L"\u00A0x\u00A0"), L"\u00A0x\u00A0");  // no-break space is not trimmed
}

TEST(TrimAndUnquote, RemovesOneEnclosingPairOnly) {
  EXPECT_EQ(TrimAndUnquote(L"  \"C:\\x\\a.exe\"  "), L"C:\\x\\a.exe");
  EXPECT_EQ(TrimAndUnquote(L"\""), L"\"");
  EXPECT_EQ(TrimAndUnquote(L"\"\""), L"");
  EXPECT_EQ(TrimAndUnquote(L"\"C:\\a b\\x.exe\" -arg"), L"\"C:\\a b\\x.exe\" -arg");
  EXPECT_EQ(TrimAndUnquote(L"\"\" x \"\""), L"\" x \"");
}

TEST(ToLower, FoldsAsciiCapitalsOnly) {
  EXPECT_EQ(ToLower(L"ABC xyZ"), L"abc xyz");
  EXPECT_EQ(ToLower(L"\u00C4@[`{"), L"\u00C4@[`{");
}

TEST(NoCaseAffixes, CompareAfterAsciiFolding) {
  EXPECT_TRUE(EndsWithNoCase(L"x.ZIP", L".zip"));
  EXPECT_FALSE(EndsWithNoCase(L"zip", L".zip"));
  EXPECT_TRUE(EndsWithNoCase(L"x", L""));
  EXPECT_FALSE(StartsWithNoCase(L"ab", L"abc"));
  EXPECT_TRUE(StartsWithNoCase(L"C:\\ORVANER\\Updater.exe", L"c:\\orvaner"));
  EXPECT_TRUE(StartsWithNoCase(L"", L""));
  EXPECT_FALSE(StartsWithNoCase(L"\u00C4b", L"\u00E4b"));
}
