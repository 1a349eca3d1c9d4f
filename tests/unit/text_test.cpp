#include "base/text.h"
#include "test_support.h"

TEST(Utf8ToWide, DecodesAndReplacesInvalidSequences) {
    const std::pair<std::string, std::wstring> cases[] = {
        {"", L""}, {"abc", L"abc"}, {"\xC3\xA9", L"\u00e9"}, {"\xE2\x86\x92", L"\u2192"},
        {"\xF0\x9F\x98\x80", L"\U0001F600"}, {std::string("a\0b", 3), std::wstring(L"a\0b", 3)},
        {"\xEF\xBF\xBF", L"\uFFFF"}, {"\xFF", L"\uFFFD"},
        {"a\xFF"
         "b",
            L"a\uFFFDb"},
        {"\xC3", L"\uFFFD"},  // cut at the end
        {"\xE2\x86"
         "x",
            L"\uFFFDx"},      // cut inside
        {"\x80", L"\uFFFD"},  // a lone continuation byte
    };
    for (const auto& [bytes, text] : cases) EXPECT_EQ(Utf8ToWide(bytes), text) << testing::PrintToString(bytes);
}

TEST(WideToUtf8, RoundTripsAndPathsBecomeTextAndBack) {
    for (const wchar_t* text : {L"", L"plain", L"caf\u00e9", L"\u2192 \u4e2d\u6587", L"\U0001F600 x"}) {
        EXPECT_EQ(Utf8ToWide(WideToUtf8(text)), text);
        EXPECT_EQ(PathToWide(WideToPath(text)), text);
    }
    EXPECT_EQ(WideToUtf8(L"\u00e9"), "\xC3\xA9");
    EXPECT_EQ(WideToUtf8(L"\uFFFF\U00010000"), "\xEF\xBF\xBF\xF0\x90\x80\x80");  // the first code point of four bytes
    EXPECT_EQ(WideToUtf8({L'a', wchar_t(0xD800), L'b', wchar_t(0xDFFF)}),
        "a\xEF\xBF\xBD"
        "b\xEF\xBF\xBD");  // unpaired
}
