#include "rules/safelist.h"
#include "base/text.h"
#include "rules/wildcard_match.h"
#include "rules/working_names.h"
#include "test_support.h"

TEST(ParseSafelist, LinesBecomeEntries) {
    const std::pair<std::string, Safelist> cases[] = {
        {"Data\\Save\nData/Save\nData/Save/\nData\\Save\\\\\nData\\Save \t\r\n", Safelist(5, L"Data\\Save")},
        {"# comment\n; comment\n\n   \n\t\r\n///\n\\\\\n/\\/\nkeep.me", {L"keep.me"}},  // no LF after the last line
        {"  #not a comment\n\t;neither\nx#y\n", {L"  #not a comment", L"\t;neither", L"x#y"}},
        {"\xEF\xBB\xBFSaves/\r\nMaps\r\n", {L"Saves", L"Maps"}},  // a byte-order mark at the start is skipped
        {"\xEF\xBB\xBF# comment\nMaps", {L"Maps"}},
        {"  Data\\X\n\\Lead\n./Dot\nCaf\xC3\xA9/\n", {L"  Data\\X", L"Lead", L"Dot", L"Caf\u00E9"}},
        {"/Saves/*\n.\\Config\n//x\n./.\\/y\n/\n../up\n", {L"Saves\\*", L"Config", L"x", L"y", L"..\\up"}},
        {"before\n\xFF\xFE\nafter\n", {L"before", L"\uFFFD\uFFFD", L"after"}},
        {"", {}},
    };
    for (const auto& [bytes, entries] : cases) EXPECT_EQ(ParseSafelist(bytes), entries) << bytes;
}

// File content ("/": a directory of that name; nullptr: no file) -> exists, entries, and
// why they cannot be loaded (the start of the text; "": they can).
TEST(LoadSafelist, OnlyUtf8TextReadToItsEndGivesEntries) {
    using namespace std::string_literals;
    const std::tuple<const char*, std::string, bool, Safelist, std::wstring> cases[] = {
        {"none", "", false, {}, L"cannot be opened"},
        {"empty", "", true, {}, L""},  // an empty file still switches the delete phase on
        {"text", "a\r\nb/c/\r\n", true, {L"a", L"b\\c"}, L""},
        {"folder", "", true, {}, L"cannot be"},  // opened on POSIX, then not read; not opened on Windows
        {"UTF-16 LE", "\xFF\xFES\0a\0v\0e\0s\0\r\0\n\0"s, true, {}, L"is UTF-16 (it starts with FF FE)"},
        {"UTF-16 BE", "\xFE\xFF\0S\0a\0v\0e\0s"s, true, {}, L"is UTF-16 (it starts with FE FF)"},
        {"NUL", "Saves\r\nConfig\0\r\n"s, true, {}, L"holds a NUL byte"},
    };
    for (const auto& [name, content, exists, expected, problem] : cases) {
        SCOPED_TRACE(name);
        ScratchDir dir;
        if (std::string(name) == "folder")
            fs::create_directory(dir.path / "safelist.txt");
        else if (std::string(name) != "none")
            WriteBytes(dir.path / "safelist.txt", content);
        Safelist entries;
        std::wstring why;
        EXPECT_EQ(SafelistExists(dir.path), exists);
        EXPECT_EQ(LoadSafelist(dir.path, entries, why), problem.empty());
        EXPECT_EQ(entries, expected);
        EXPECT_TRUE(why.starts_with(problem) && why.empty() == problem.empty()) << WideToUtf8(why);
    }
}

// Paths of a package (safelist form) -> refused in update.zip, refused in maps.zip.
TEST(WorkingNames, RefusedInTheirPackageAsTheDeletePhaseMatches) {
    const std::tuple<std::vector<std::wstring>, bool, bool> groups[] = {
        {{L"_update_temp\\levels.pak", L"update.zip", L"UPDATER.LOG", L"updater.log.ts", L"__remote_version.txt",
             L"__maps_pending", L"update.zip.part", L"__remote_version.txt.part", L"Data\\x.resume.part",
             L"Data\\levels.pak.updater.part", L"Updater.exe.old", L"updater.old", L"__installed_files.index",
             L"__INSTALLED_FILES.INDEX.tmp"},
            true, false},
        {{L"__maps.zip", L"__MAPS.ZIP.part"}, false, true},
        {{L"__maps.zip.resume.part"}, true, true},
        {{L"Data\\updater.log", L"_update_temporary\\x", L"update.zip.bak", L"Maps\\__maps.zip"}, false, false},
    };
    for (const auto& [paths, install, data] : groups) {
        for (const std::wstring& path : paths) {
            EXPECT_EQ(MatchesSafelist(path, InstallWorkingNames()), install) << WideToUtf8(path);
            EXPECT_EQ(MatchesSafelist(path, DataWorkingNames()), data) << WideToUtf8(path);
        }
    }
}

// Relative path, safelist text -> kept.
TEST(MatchesSafelist, EntriesKeepTheirPathAndWhatIsBelowIt) {
    const std::tuple<const wchar_t*, const char*, bool> cases[] = {
        {L"Data", "Data", true}, {L"Data\\x", "Data", true}, {L"data\\x\\y", "Data", true},
        {L"Database\\x", "Data", false}, {L"Datax", "Data", false}, {L"Dat", "Data", false},
        {L"Other\\Data", "Data", false}, {L"Data\\Save\\a\\b.sav", "Data/Save/", true},
        {L"Data\\Saves\\x.sav", "Data/Save/", false}, {L"Data", "Data/Save/", false},
        {L"data\\Save\\x.sav", "DATA\\save", true}, {L"caf\u00C9.txt", "caf\xC3\xA9.txt", false},
        {L"a\\b\\c.ini", "*.ini", true}, {L"c.ini.old", "*.ini", false}, {L"Replays\\24\\g.rep", "Replays/*", true},
        {L"Replays", "Replays/*", false}, {L"Old\\Replays\\x", "Replays/*", false}, {L"x", "", false},
        {L"Lead", "\\Lead", true}, {L"Dot\\x", "./Dot", true}, {L"Saves\\slot1.sav", "/Saves/*", true},
        {L"# no", "\xEF\xBB\xBF# no", false}, {L"@[\\x", "`{", false},
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
