#include "rules/safelist.h"
#include "rules/wildcard_match.h"
#include "test_support.h"

TEST(ParseSafelist, LinesBecomeEntries) {
    const std::pair<std::string, Safelist> cases[] = {
        {"Data\\Save\nData/Save\nData/Save/\nData\\Save\\\\\nData\\Save \t\r\n", Safelist(5, L"Data\\Save")},
        {"# comment\n; comment\n\n   \n\t\r\n///\n\\\\\n/\\/\nkeep.me", {L"keep.me"}},  // no LF after the last line
        {"  #not a comment\n\t;neither\nx#y\n", {L"  #not a comment", L"\t;neither", L"x#y"}},
        {"\xEF\xBB\xBFSaves/\r\nMaps\r\n", {L"Saves", L"Maps"}},  // a byte-order mark at the start is skipped
        {"\xEF\xBB\xBF# comment\nMaps", {L"Maps"}},
        {"  Data\\X\n\\Lead\n./Dot\nCaf\xC3\xA9/\n", {L"  Data\\X", L"\\Lead", L".\\Dot", L"Caf\u00E9"}},
        {"before\n\xFF\xFE\nafter\n", {L"before", L"\uFFFD\uFFFD", L"after"}},
        {"", {}},
    };
    for (const auto& [bytes, entries] : cases) EXPECT_EQ(ParseSafelist(bytes), entries) << bytes;
}

// File content ("/": a directory of that name; nullptr: no file) -> exists, read to its end, entries.
TEST(LoadSafelist, OnlyAFileReadToItsEndGivesEntries) {
    const std::tuple<const char*, bool, bool, Safelist> cases[] = {
        {nullptr, false, false, {}},
        {"", true, true, {}},  // an empty file still switches the delete phase on
        {"a\r\nb/c/\r\n", true, true, {L"a", L"b\\c"}},
        {"/", true, false, {}},
    };
    for (const auto& [content, exists, loaded, expected] : cases) {
        ScratchDir dir;
        if (content && std::string(content) == "/")
            fs::create_directory(dir.path / "safelist.txt");
        else if (content)
            WriteBytes(dir.path / "safelist.txt", content);
        Safelist entries;
        std::wstring problem;
        EXPECT_EQ(SafelistExists(dir.path), exists) << (content ? content : "none");
        EXPECT_EQ(LoadSafelist(dir.path, entries, problem), loaded) << (content ? content : "none");
        EXPECT_EQ(entries, expected);
        EXPECT_EQ(problem.empty(), loaded);
    }
}

// Relative path, safelist text -> kept.
TEST(MatchesSafelist, EntriesKeepTheirPathAndWhatIsBelowIt) {
    const std::tuple<const wchar_t*, const char*, bool> cases[] = {
        {L"Data", "Data", true},
        {L"Data\\x", "Data", true},
        {L"data\\x\\y", "Data", true},
        {L"Database\\x", "Data", false},
        {L"Datax", "Data", false},
        {L"Dat", "Data", false},
        {L"Other\\Data", "Data", false},
        {L"Data\\Save\\a\\b.sav", "Data/Save/", true},
        {L"Data\\Saves\\x.sav", "Data/Save/", false},
        {L"Data", "Data/Save/", false},
        {L"data\\Save\\x.sav", "DATA\\save", true},
        {L"caf\u00C9.txt", "caf\xC3\xA9.txt", false},
        {L"a\\b\\c.ini", "*.ini", true},
        {L"c.ini.old", "*.ini", false},
        {L"Replays\\24\\g.rep", "Replays/*", true},
        {L"Replays", "Replays/*", false},
        {L"Old\\Replays\\x", "Replays/*", false},
        {L"x", "", false},
        {L"Lead", "\\Lead", false},
        {L"Dot\\x", "./Dot", false},
        {L"# no", "\xEF\xBB\xBF# no", false},
        {L"@[\\x", "`{", false},
        {L"ab", "abc", false},  // the neighbours of A-Z are not letters
    };
    for (const auto& [path, safelist, kept] : cases)
        EXPECT_EQ(MatchesSafelist(path, ParseSafelist(safelist)), kept)
            << testing::PrintToString(path) << " / " << safelist;
}

// The wildcard rules that the project's matcher and the platform's must agree on.
TEST(Wildcards, ProjectAndPlatformMatchersAgree) {
    const std::tuple<const wchar_t*, const wchar_t*, bool> cases[] = {
        {L"a\\b\\c.ini", L"*.ini", true},
        {L"c.INI", L"*.ini", true},
        {L"a\\b\\c.ini", L"a\\*", true},
        {L"replays\\sub\\x.rep", L"Replays\\*", true},
        {L"Replays", L"Replays\\*", false},
        {L"x\\Replays\\y", L"Replays\\*", false},
        {L"a\\b", L"a?b", true},
        {L"ab.ini", L"?.ini", false},
        {L".ini", L"?.ini", false},
        {L"a.ini", L"?.ini", true},
        {L"abc", L"a*b*c", true},
        {L"abcbc", L"a*bc", true},
        {L"abcd", L"a*bc", false},
        {L"x.ini.bak", L"*.ini", false},
        {L"anything", L"*", true},
        {L"a", L"a*", true},
        {L"a", L"?*", true},
        {L"", L"?", false},
    };
    for (const auto& [path, pattern, matches] : cases) {
        EXPECT_EQ(MatchesWildcard(path, pattern), matches) << testing::PrintToString(path) << " " << pattern;
        EXPECT_EQ(PlatformPathMatchSpec(path, pattern), matches) << testing::PrintToString(path) << " " << pattern;
    }
}
