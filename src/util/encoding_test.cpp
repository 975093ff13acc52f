#include "util/encoding.h"

#include <gtest/gtest.h>

TEST(Utf8, RoundTripsTextOutsideAscii) {
  // U+1F600 as its two UTF-16 units, which wide text holds also where wchar_t has 32 bits.
  const std::wstring text = L"A\u00E9\u20AC\xD83D\xDE00z";
  EXPECT_EQ(ToUtf8(text), "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z");
  EXPECT_EQ(FromUtf8(ToUtf8(text)), text);
}

TEST(Utf8, StopsAtAnEmbeddedNulWhenEncoding) {
  EXPECT_EQ(ToUtf8(std::wstring(L"ab\0cd", 5)), "ab");
  EXPECT_EQ(ToUtf8(L""), "");
}

TEST(Utf8, DecodesEveryByteAndReplacesMalformedOnes) {
  EXPECT_EQ(FromUtf8(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));
  EXPECT_EQ(FromUtf8("\xEF\xBB"), L"\uFFFD");  // incomplete sequence
  EXPECT_EQ(FromUtf8(""), L"");
  EXPECT_EQ(FromUtf8("a\xFF"
                     "b\xC3"),
            L"a\uFFFDb\uFFFD");
  EXPECT_EQ(FromUtf8("\xF0\x9F\x98\x80"), L"\xD83D\xDE00");
}

TEST(Utf8, EncodesALoneSurrogateAsTheReplacementCharacter) {
  EXPECT_EQ(ToUtf8(std::wstring(1, static_cast<wchar_t>(0xD800)) + L"x"), "\xEF\xBF\xBDx");
}

TEST(Utf8, DropsOneLeadingByteOrderMark) {
  EXPECT_EQ(WithoutUtf8Bom("\xEF\xBB\xBF\xEF\xBB\xBF"
                           "A"),
            "\xEF\xBB\xBF"
            "A");
  EXPECT_EQ(WithoutUtf8Bom("\xEF\xBB"), "\xEF\xBB");
  EXPECT_EQ(WithoutUtf8Bom("A\xEF\xBB\xBF"), "A\xEF\xBB\xBF");
}
