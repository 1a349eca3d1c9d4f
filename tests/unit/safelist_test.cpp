#include <gtest/gtest.h>

#include "apply/ascii_case.h"
#include "apply/own_executable.h"
#include "apply/safelist.h"
#include "apply/wildcard_match.h"
#include "apply_test_support.h"

using namespace apply_test;

TEST(SafelistFormat, SeparatorsAndTrailingBlanksGiveOneEntry) {
    Safelist list = ParseSafelist("Data\\Save\nData/Save\nData/Save/\nData\\Save\\\\\nData\\Save \t\r\n");
    EXPECT_EQ(list, Safelist(5, L"Data\\Save"));  // duplicates stay in the list
}

TEST(SafelistFormat, CommentsBlankAndSeparatorOnlyLinesAddNothing) {
    Safelist list = ParseSafelist("# comment\n; comment\n\n   \n\t\r\n///\n\\\\\n/\\/\nkeep.me");
    EXPECT_EQ(list, Safelist{L"keep.me"});  // the last line has no LF and still counts
}

TEST(SafelistFormat, OnlyTheFirstByteMakesAComment) {
    Safelist list = ParseSafelist("  #not a comment\n\t;neither\nx#y\n");
    EXPECT_EQ(list, (Safelist{L"  #not a comment", L"\t;neither", L"x#y"}));
}

TEST(SafelistFormat, ByteOrderMarkAtTheStartIsSkipped) {
    EXPECT_EQ(ParseSafelist("\xEF\xBB\xBFSaves/\r\nMaps\r\n"), (Safelist{L"Saves", L"Maps"}));
    EXPECT_EQ(ParseSafelist("\xEF\xBB\xBF# comment\nMaps"), Safelist{L"Maps"});
}

TEST(SafelistFormat, CaseLeadingBlanksAndLeadingSeparatorsAreKept) {
    Safelist list = ParseSafelist("  Data\\X\n\\Lead\n./Dot\nCaf\xC3\xA9/\n");
    EXPECT_EQ(list, (Safelist{L"  Data\\X", L"\\Lead", L".\\Dot", L"Caf\u00E9"}));
    Safelist patterns = list;
    EXPECT_FALSE(MatchesSafelist(L"Lead", patterns));
    EXPECT_FALSE(MatchesSafelist(L"Dot\\x", patterns));
}

TEST(SafelistFormat, UndecodableLineDoesNotDisturbItsNeighbours) {
    Safelist list = ParseSafelist("before\n\xFF\xFE\nafter\n");
    ASSERT_GE(list.size(), 2u);
    EXPECT_EQ(list.front(), L"before");
    EXPECT_EQ(list.back(), L"after");
}

TEST(SafelistFile, OnlyAFileReadToItsEndGivesEntries) {
    struct Case {
        const char* content;  // nullptr: no file; "/": a directory of that name
        bool exists;
        bool loaded;
        Safelist entries;
    };
    const Case cases[] = {
        {nullptr, false, false, {}},
        {"", true, true, {}},  // an empty file still switches the delete phase on
        {"a\r\nb/c/\r\n", true, true, {L"a", L"b\\c"}},
        {"/", true, false, {}},
    };
    for (const Case& c : cases) {
        ScratchDir dir;
        if (c.content && std::string(c.content) == "/") std::filesystem::create_directory(dir.path / "safelist.txt");
        else if (c.content) WriteFile(dir.path / "safelist.txt", c.content);
        Safelist entries;
        std::wstring problem;
        EXPECT_EQ(SafelistExists(dir.path), c.exists) << (c.content ? c.content : "none");
        EXPECT_EQ(LoadSafelist(dir.path, entries, problem), c.loaded) << (c.content ? c.content : "none");
        EXPECT_EQ(entries, c.entries);
        EXPECT_EQ(problem.empty(), c.loaded);
    }
}

TEST(NormalizeRelativePath, TurnsSlashesAndCutsTrailingSeparators) {
    std::wstring path = L"a/b\\c//";
    NormalizeRelativePath(path);
    EXPECT_EQ(path, L"a\\b\\c");
    path = L"\\/\\";
    NormalizeRelativePath(path);
    EXPECT_EQ(path, L"");
    path = L"/lead";
    NormalizeRelativePath(path);
    EXPECT_EQ(path, L"\\lead");
}

TEST(ProtectedNames, AppendedAfterTheSafelistInOrder) {
    Safelist list{L"mine"};
    AppendProtectedNames(list);
    ASSERT_GE(list.size(), 6u);
    EXPECT_EQ(Safelist(list.begin(), list.begin() + 6),
              (Safelist{L"mine", L"torvane.exe", L"Updater.exe", L"version.txt", L"updater.log",
                        L"_updater_just_ran.flag"}));
    EXPECT_TRUE(MatchesSafelist(OwnExecutableName(), list));
}

TEST(ProtectedNames, KeepOnlyAtTheTopInAnyAsciiCase) {
    Safelist list;
    AppendProtectedNames(list);
    EXPECT_TRUE(MatchesSafelist(L"updater.exe", list));
    EXPECT_TRUE(MatchesSafelist(L"VERSION.TXT", list));
    EXPECT_TRUE(MatchesSafelist(L"_updater_just_ran.flag", list));
    EXPECT_FALSE(MatchesSafelist(L"Backup\\Updater.exe", list));
    EXPECT_FALSE(MatchesSafelist(L"Sub\\version.txt", list));
    EXPECT_FALSE(MatchesSafelist(L"update.zip", list));
}

TEST(MatchesSafelist, PlainEntryKeepsItselfAndWhatIsBelowIt) {
    const Safelist list{L"Data"};
    EXPECT_TRUE(MatchesSafelist(L"Data", list));
    EXPECT_TRUE(MatchesSafelist(L"Data\\x", list));
    EXPECT_TRUE(MatchesSafelist(L"data\\x\\y", list));
    EXPECT_FALSE(MatchesSafelist(L"Database\\x", list));
    EXPECT_FALSE(MatchesSafelist(L"Datax", list));
    EXPECT_FALSE(MatchesSafelist(L"Dat", list));
    EXPECT_FALSE(MatchesSafelist(L"Other\\Data", list));

    const Safelist save = ParseSafelist("Data/Save/\n");
    EXPECT_TRUE(MatchesSafelist(L"Data\\Save", save));
    EXPECT_TRUE(MatchesSafelist(L"Data\\Save\\a\\b.sav", save));
    EXPECT_FALSE(MatchesSafelist(L"Data\\Saves\\x.sav", save));
    EXPECT_FALSE(MatchesSafelist(L"Data", save));
}

TEST(MatchesSafelist, PlainEntriesAreAnchoredAndFoldOnlyAsciiCase) {
    EXPECT_TRUE(MatchesSafelist(L"options.ini", {L"options.ini"}));
    EXPECT_FALSE(MatchesSafelist(L"Config\\options.ini", {L"options.ini"}));
    EXPECT_TRUE(MatchesSafelist(L"data\\Save\\x.sav", {L"DATA\\save"}));
    EXPECT_FALSE(MatchesSafelist(L"caf\u00C9.txt", {L"caf\u00E9.txt"}));
    EXPECT_FALSE(MatchesSafelist(L"x", {}));
}

TEST(AsciiCase, FoldsOnlyAToZ) {
    EXPECT_TRUE(EqualsIgnoringAsciiCase(L"AbC", L"aBc"));
    EXPECT_FALSE(EqualsIgnoringAsciiCase(L"\u00C9", L"\u00E9"));
    EXPECT_FALSE(EqualsIgnoringAsciiCase(L"@[", L"`{"));  // neighbours of A-Z are not letters
    EXPECT_FALSE(EqualsIgnoringAsciiCase(L"abc", L"ab"));
    EXPECT_TRUE(StartsWithIgnoringAsciiCase(L"DATA\\x", L"data\\"));
    EXPECT_FALSE(StartsWithIgnoringAsciiCase(L"da", L"data"));
}

namespace {

struct WildcardCase {
    const wchar_t* path;
    const wchar_t* pattern;
    bool matches;
};

// The stated wildcard rules; both the project's matcher and the platform's must agree.
const WildcardCase kWildcardCases[] = {
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

}  // namespace

TEST(Wildcards, ProjectMatcherFollowsTheRules) {
    for (const auto& c : kWildcardCases)
        EXPECT_EQ(MatchesWildcard(c.path, c.pattern), c.matches) << "path " << c.path << " pattern " << c.pattern;
}

TEST(Wildcards, PlatformMatcherFollowsTheSameRules) {
    for (const auto& c : kWildcardCases)
        EXPECT_EQ(PlatformPathMatchSpec(c.path, c.pattern), c.matches)
            << "path " << c.path << " pattern " << c.pattern;
}

TEST(MatchesSafelist, WildcardEntriesMatchWholePathsAcrossSeparators) {
    const Safelist list = ParseSafelist("*.ini\nReplays/*\n");
    EXPECT_TRUE(MatchesSafelist(L"a\\b\\c.ini", list));
    EXPECT_TRUE(MatchesSafelist(L"Replays\\2024\\game.rep", list));
    EXPECT_FALSE(MatchesSafelist(L"Replays", list));
    EXPECT_FALSE(MatchesSafelist(L"Old\\Replays\\x", list));
    EXPECT_FALSE(MatchesSafelist(L"c.ini.old", list));
}
