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
    struct Row {
        Tree files;
        const char* link;  // a link to /etc/hostname of that name
        std::string problem;
        std::string warning;
    } rows[] = {
        {{"CON.txt=x"}, nullptr, "game directory: CON.txt: players' updaters refuse this name", ""},
        {{"Data/a:b.txt=x"}, nullptr, "Data/a:b.txt: players' updaters refuse", "empty directory Data is left out"},
        {{"..\\evil.txt=x"}, nullptr, "the name holds a backslash", ""},
        {{"\xff.txt=x"}, nullptr, "the name is not UTF-8", ""},
        {{"Data/Map.pak=x", "Data/map.PAK=y"}, nullptr, "differs only in letter case", ""},
        {{"Data/a.pak=x", "data/b.pak=y"}, nullptr, "differs only in letter case", ""},
        {{"safelist.txt=\xEF\xBB\xBFSaves\\*\n", "game.dat=x"}, nullptr, "starts with a byte-order mark", ""},
        {{"game.dat=x"}, "link.dat", "link.dat: is a link", ""},
        {{"Updater.exe=MZ", "game.dat=x"}, nullptr, "", "the package holds the updater (Updater.exe)"},
        {{"safelist.txt=Saves\\*\ngame.dat\n", "game.dat=x"},
         nullptr,
         "",
         "safelist pattern 'Saves\\*' matches nothing"},
        {{"safelist.txt=Saves\\*\n", "Saves/slot1.sav=x", "Data/levels.pak=x"}, nullptr, "", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.files.front());
        ScratchDir dir;
        WriteTree(dir.path, row.files);
        if (row.link) fs::create_symlink("/etc/hostname", dir.path / row.link);
        PackageTree tree = ScanPackageTree(dir.path, "game directory");
        CheckInstallationRules(tree);
        ExpectOne(tree.problems, row.problem, "problems");
        ExpectOne(tree.warnings, row.warning, "warnings");
    }
}
