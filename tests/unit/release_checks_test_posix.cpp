// The release tool's checks of a game directory: what players' updaters would
// refuse stops the release, what they would handle other than the publisher
// expects is warned about.

#include "release/installation_rules.h"
#include "release/package_tree.h"
#include "test_support.h"

namespace {

// Nothing expected: "" ; else exactly one message holding that text.
void ExpectOne(const std::vector<std::string>& messages, const std::string& part, const char* kind) {
    ASSERT_EQ(messages.size(), part.empty() ? 0u : 1u) << kind << (messages.empty() ? "" : ": " + messages[0]);
    if (!part.empty()) {
        EXPECT_NE(messages[0].find(part), std::string::npos) << messages[0];
    }
}

}  // namespace

TEST(ReleaseChecks, RefusalsAndWarnings) {
    using namespace std::string_literals;
    struct Row {
        Tree files;
        const char* link;  // a link to /etc/hostname of that name
        std::string problem;
        std::string warning;
        Tree maps = {"n/one.txt=x"};
    } rows[] = {
        {{"CON.txt=x"}, nullptr, "game directory: CON.txt: players' updaters refuse this name", ""},
        {{"Data/a:b.txt=x"}, nullptr, "Data/a:b.txt: players' updaters refuse", "empty directory Data is left out"},
        {{"..\\evil.txt=x"}, nullptr, "the name holds a backslash", ""},
        {{"\xff.txt=x"}, nullptr, "the name is not UTF-8", ""},
        {{"Data/Map.pak=x", "Data/map.PAK=y"}, nullptr, "differs only in letter case", ""},
        {{"Data/a.pak=x", "data/b.pak=y"}, nullptr, "differs only in letter case", ""},
        {{"safelist.txt=\xEF\xBB\xBFSaves\\*\n", "game.dat=x"}, nullptr, "starts with a byte-order mark", ""},
        {{"safelist.txt=\xFF\xFES\0*\0"s, "game.dat=x"}, nullptr, "safelist.txt is UTF-16 (it starts with FF FE)", ""},
        {{"safelist.txt=\xFE\xFF\0S\0*"s, "game.dat=x"}, nullptr, "safelist.txt is UTF-16 (it starts with FE FF)", ""},
        {{"safelist.txt=Saves\0\n"s, "game.dat=x"}, nullptr, "safelist.txt holds a NUL byte", ""},
        {{"safelist.txt=/Saves/*\n", "Saves/slot1.sav=x"}, nullptr, "", "pattern '/Saves/*' starts with a separator"},
        {{"_update_temp/levels.pak=x"}, nullptr, "game directory: _update_temp/levels.pak: the updater works under",
            ""},
        {{"Updater.exe.old=x"}, nullptr, "game directory: Updater.exe.old: the updater works under", ""},
        {{"game.dat=x"}, nullptr, "maps directory: __MAPS.zip: the updater works under", "", {"__MAPS.zip=x"}},
        {{"game.dat=x"}, "link.dat", "link.dat: is a link", ""},
        {{"Updater.exe=MZ", "game.dat=x"}, nullptr, "", "the package holds the updater (Updater.exe)"},
        {{"safelist.txt=Saves\\*\ngame.dat\n", "game.dat=x"}, nullptr, "",
            "safelist pattern 'Saves\\*' matches nothing"},
        {{"safelist.txt=Saves\\*\n", "Saves/slot1.sav=x", "Data/levels.pak=x"}, nullptr, "", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.files.front());
        ScratchDir dir;
        WriteTree(dir.path / "game", row.files);
        WriteTree(dir.path / "maps", row.maps);
        if (row.link) fs::create_symlink("/etc/hostname", dir.path / "game" / row.link);
        PackageTree tree = ScanPackageTree(dir.path / "game", "game directory");
        PackageTree maps = ScanPackageTree(dir.path / "maps", "maps directory");
        CheckInstallationRules(tree, maps);
        tree.problems.insert(tree.problems.end(), maps.problems.begin(), maps.problems.end());
        ExpectOne(tree.problems, row.problem, "problems");
        ExpectOne(tree.warnings, row.warning, "warnings");
    }
}
