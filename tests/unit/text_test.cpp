#include <gtest/gtest.h>

#include "services/text.h"

TEST(Utf8ToWide, DecodesValidText) {
    EXPECT_EQ(Utf8ToWide(""), L"");
    EXPECT_EQ(Utf8ToWide("abc"), L"abc");
    EXPECT_EQ(Utf8ToWide("\xC3\xA9"), L"\u00e9");
    EXPECT_EQ(Utf8ToWide("\xE2\x86\x92"), L"\u2192");
    EXPECT_EQ(Utf8ToWide("\xF0\x9F\x98\x80"), L"\U0001F600");
    EXPECT_EQ(Utf8ToWide(std::string("a\0b", 3)), std::wstring(L"a\0b", 3)) << "embedded zero bytes convert";
}

TEST(Utf8ToWide, ReplacesInvalidSequences) {
    EXPECT_EQ(Utf8ToWide("\xFF"), L"\uFFFD");
    EXPECT_EQ(Utf8ToWide("a\xFF" "b"), L"a\uFFFDb");
    EXPECT_EQ(Utf8ToWide("\xC3"), L"\uFFFD") << "truncated at the end";
    EXPECT_EQ(Utf8ToWide("\xE2\x86" "x"), L"\uFFFDx") << "truncated inside";
    EXPECT_EQ(Utf8ToWide("\x80"), L"\uFFFD") << "lone continuation byte";
}

TEST(WideToUtf8, RoundTripsThroughUtf8ToWide) {
    const std::wstring samples[] = {L"", L"plain", L"caf\u00e9", L"\u2192 \u4e2d\u6587", L"\U0001F600 x"};
    for (const auto& s : samples) EXPECT_EQ(Utf8ToWide(WideToUtf8(s)), s);
    EXPECT_EQ(WideToUtf8(L"\u00e9"), "\xC3\xA9");
}

TEST(PathText, PathsBecomeLogTextAndBack) {
    const std::wstring name = L"Maps \u00e9\u2192\U0001F600";
    EXPECT_EQ(PathToWide(WideToPath(name)), name);
    EXPECT_EQ(PathToWide(std::filesystem::path(u8"caf\u00e9")), L"caf\u00e9");
}
