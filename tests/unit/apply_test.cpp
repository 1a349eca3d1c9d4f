// The delete and copy phases over real trees: one row per case, an installation
// with its unpacked package in _update_temp -> the installation afterwards and
// the log.

#include <algorithm>

#include "apply/copy_phase.h"
#include "apply/delete_phase.h"
#include "apply/self_update.h"
#include "base/entry_kind.h"
#include "base/move_retry.h"
#include "base/text.h"
#include "rules/own_executable.h"
#include "test_support.h"

namespace {

enum class Phase { Delete, Copy };

struct ApplyCase {
    const char* name;
    Phase phase;
    Tree installed;
    Tree packaged;
    Tree after;                    // the installation afterwards, without _update_temp
    std::vector<std::string> log;  // "~/" is the install directory
    const char* safelist = "";
    std::uint32_t notCopied = 0;
    unsigned flags = 0;
    Tree listedOnly = {};  // files the package's listing holds that were not unpacked (up to date)
};

constexpr unsigned kOrdered = 1;    // the log lines in exactly this order
constexpr unsigned kReadOnly = 2;   // every installed file read-only
constexpr unsigned kNoPackage = 4;  // _update_temp missing
constexpr unsigned kPosixOnly = 8;  // file names that are not text exist on POSIX only

const ApplyCase kCases[] = {
    {"DeletesWhatThePackageLacksComparingLetterCase", Phase::Delete,
        {"shared.dat", "Sub/old.dat", "Sub/kept.dat", "update.zip", "Data.PAK"},
        {"shared.dat", "Sub/kept.dat", "data.pak"}, {"Sub/kept.dat", "shared.dat"},
        {"Deleting old file: Data.PAK", "Deleting old file: Sub\\old.dat", "Deleting old file: update.zip"}},
    // The updater's working files too: without the stamp the next start empties this update's log.
    {"SafelistProtectedNamesAndWorkingFilesKeepOnlyAtTheTop", Phase::Delete,
        {"torvane.exe", "UPDATER.EXE", "version.txt", "updater.log", "_updater_just_ran.flag", "updater.log.ts",
            "__maps_pending", "version.txt.tmp", "__remote_version.txt", "update.zip.part", "__installed_files.index",
            "__installed_files.index.tmp", "Data/pack.dat.updater.part", WideToUtf8(SetAsideUpdaterName()),
            "Saves/slot1.sav", "Config/user.ini", "Backup/Updater.exe", "Backup/version.txt"},
        {"other.dat"},
        {"torvane.exe", "UPDATER.EXE", "version.txt", "updater.log", "_updater_just_ran.flag", "updater.log.ts",
            "__maps_pending", "version.txt.tmp", "__remote_version.txt", "update.zip.part", "__installed_files.index",
            "__installed_files.index.tmp", "Data/pack.dat.updater.part", WideToUtf8(SetAsideUpdaterName()),
            "Saves/slot1.sav", "Config/user.ini"},
        {"Deleting old file: Backup\\Updater.exe", "Deleting old file: Backup\\version.txt",
            "Removing empty dir: Backup"},
        "Saves/\n*.ini\n"},
    // And their folders, however many files list them.
    {"UpToDateFilesOfTheListingStay", Phase::Delete, {"new.dat", "Sub/same.dat", "old.dat", "Held/"}, {"new.dat"},
        {"new.dat", "Sub/same.dat", "Held/"}, {"Deleting old file: old.dat"}, "", 0, 0,
        {"Sub/same.dat", "Held/a.dat", "Held/b.dat"}},
    {"NonAsciiNamesAreComparedAndLogged", Phase::Delete, {"Café/naïve.txt", "日本.dat"}, {"日本.dat"}, {"日本.dat"},
        {"Deleting old file: Caf\xE9\\na\xEFve.txt", "Removing empty dir: Caf\xE9"}},
    {"NamesThatAreNotTextNeverCollide", Phase::Delete, {"\xFF.dat", "\xFE.dat"}, {"\xFE.dat"}, {"\xFE.dat"},
        {"Deleting old file: ?.dat"}, "", 0, kPosixOnly},
    {"ThePackageFolderIsNeverEntered", Phase::Delete, {}, {"a/b.dat", "emptydir/"}, {}, {}},
    {"EmptiedDirectoriesGoInnermostFirst", Phase::Delete, {"a/b/c/old.dat"}, {"x"}, {},
        {"Deleting old file: a\\b\\c\\old.dat", "Removing empty dir: a\\b\\c", "Removing empty dir: a\\b",
            "Removing empty dir: a"},
        "", 0, kOrdered},
    {"PackageAndSafelistDirectoriesAndTheirParentsStay", Phase::Delete, {"Maps/custom/", "User/Keep/deep/", "Gone/in/"},
        {"Maps/custom/x.map"}, {"Maps/custom/", "User/Keep/deep/"},
        {"Removing empty dir: Gone\\in", "Removing empty dir: Gone"}, "User/Keep\n", 0, kOrdered},
    {"ReadOnlyOutdatedFileIsDeleted", Phase::Delete, {"ro.dat"}, {"x"}, {}, {"Deleting old file: ro.dat"}, "", 0,
        kReadOnly},
    {"PackageThatCannotBeListedDeletesNothing", Phase::Delete, {"old.dat"}, {}, {"old.dat"}, {}, "", 0, kNoPackage},
    {"CopiesCreatingLevelsAndOverwriting", Phase::Copy, {"version.txt=1"},
        {"Maps/custom/arena.map=m", "version.txt=2", "emptydir/"}, {"Maps/custom/arena.map=m", "version.txt=2"},
        {"Copied: ~/Maps/custom/arena.map", "Copied: ~/version.txt",
            "Removing empty dir (post-copy): ~/_update_temp/emptydir",
            "Removing empty dir (post-copy): ~/_update_temp/Maps/custom",
            "Removing empty dir (post-copy): ~/_update_temp/Maps", "Removing empty dir (post-copy): ~/_update_temp"}},
    {"EmptyPackageCopiesNothing", Phase::Copy, {}, {}, {}, {"Removing empty dir (post-copy): ~/_update_temp"}},
    {"RefusedCopyIsCountedAndThePhaseGoesOn", Phase::Copy, {"blocked.dat/in=i"}, {"blocked.dat=x", "fine.dat=y"},
        {"blocked.dat/in=i", "fine.dat=y"}, {"Failed to copy: ~/blocked.dat", "Copied: ~/fine.dat"}, "", 1},
    {"DirectoryThatCannotBeMadeEndsThePhaseCountingTheRest", Phase::Copy, {"blocker=file"},
        {"blocker/1.dat", "blocker/2.dat", "blocker/3.dat"}, {"blocker=file"}, {"Failed to copy: ~/blocker/*"}, "", 3},
    {"MissingPackageIsIncomplete", Phase::Copy, {"a=old"}, {}, {"a=old"}, {}, "", 1, kNoPackage},
    {"NonAsciiNamesAreCopied", Phase::Copy, {}, {"Cartés/日本.map=m"}, {"Cartés/日本.map=m"},
        {"Copied: ~/Cartés/日本.map", "Removing empty dir (post-copy): ~/_update_temp/Cartés",
            "Removing empty dir (post-copy): ~/_update_temp"}},
    {"NamesThatAreNotTextAreCopiedApart", Phase::Copy, {}, {"\xFF.dat=ff", "\xFE.dat=fe"},
        {"\xFE.dat=fe", "\xFF.dat=ff"},
        {"Copied: ~/?.dat", "Copied: ~/?.dat", "Removing empty dir (post-copy): ~/_update_temp"}, "", 0, kPosixOnly},
    {"EmptyDirectoriesGoInnermostFirstAfterTheCopy", Phase::Copy, {"a/b/c/", "full/file=f"}, {"k=k"},
        {"full/file=f", "k=k"},
        {"Copied: ~/k", "Removing empty dir (post-copy): ~/_update_temp", "Removing empty dir (post-copy): ~/a/b/c",
            "Removing empty dir (post-copy): ~/a/b", "Removing empty dir (post-copy): ~/a"},
        "", 0, kOrdered},
};

class ApplyTable : public testing::TestWithParam<ApplyCase> {};

TEST_P(ApplyTable, Row) {
    const ApplyCase& c = GetParam();
    if ((c.flags & kPosixOnly) && fs::path::preferred_separator != '/') GTEST_SKIP() << "names are text here";
    ScratchDir dir{"apply"};
    const fs::path install = dir.path / "game", extract = install / "_update_temp";
    WriteTree(install, c.installed);
    fs::create_directories(extract);
    WriteTree(extract, c.packaged);
    for (const std::string& file : c.flags& kReadOnly ? c.installed : Tree{})
        fs::permissions(install / file, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
            fs::perm_options::remove);
    if (c.flags & kNoPackage) fs::remove_all(extract);
    LogCapture log;
    std::uint32_t notCopied = 0;
    if (c.phase == Phase::Delete) {
        const Safelist safelist = ParseSafelist(c.safelist);
        PackageListing listing = ListUnpackedPackage(extract);
        for (const std::string& file : c.listedOnly)
            AddToPackageListing(listing, fs::path(file).make_preferred(), false);
        DeleteOutdatedFiles(install, extract, listing, safelist);
        RemoveEmptyDirectories(install, extract, listing, safelist);
        ExpectTree(ReadTree(extract), c.packaged);
    } else {
        notCopied = CopyNewFiles(extract, install);
        RemoveEmptyDirectoriesAfterCopy(install);
    }
    EXPECT_TRUE(fs::is_directory(install));
    ExpectTree(ReadTree(install, "_update_temp"), c.after);
    EXPECT_EQ(notCopied, c.notCopied);
    ExpectLog(log.Messages(), c.log, install, c.flags & kOrdered);
}

INSTANTIATE_TEST_SUITE_P(DeleteAndCopyPhases, ApplyTable, testing::ValuesIn(kCases),
    [](const testing::TestParamInfo<ApplyCase>& info) { return info.param.name; });

}  // namespace

TEST(DeleteOutdatedFiles, AnOutdatedSafelistGoesLast) {
    // The switch of the phase is deleted after every other outdated file, so a
    // run stopped part-way still finds it and finishes the deletions next time.
    ScratchDir dir;
    Tree installed{"safelist.txt=# nothing kept", "_update_temp/"};
    for (int i = 0; i < 40; ++i) installed.push_back("Old/f" + std::to_string(i));
    WriteTree(dir.path, installed);
    LogCapture log;
    DeleteOutdatedFiles(dir.path, dir.path / "_update_temp", {});
    ASSERT_EQ(log.Messages().size(), 41u);
    EXPECT_EQ(log.Messages().back(), "Deleting old file: safelist.txt");
}

// A file that cannot be deleted (held by another program, or the player may not
// change its folder) stops the deletions, so no later file is tried.
TEST(DeleteOutdatedFiles, FirstFailedDeletionEndsThePhase) {
    ScratchDir dir;
    const fs::path install = dir.path / "game", extract = install / "_update_temp";
    WriteTree(install, {"a.dat", "b.dat", "c/c.dat", "d/d.dat", "locked/1.dat", "locked/2.dat", "_update_temp/x"});
    LogCapture log;
    ASSERT_TRUE(RunWhileHeld(dir.path, install / "locked", [&] { DeleteOutdatedFiles(install, extract, {}); }));
    const auto lines = log.Messages();
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(lines.back().starts_with("Deleting old file: locked\\")) << lines.back();
    EXPECT_EQ(std::ranges::count_if(lines, [](auto& l) { return l.find("locked") != l.npos; }), 1);
    // Every other file is gone exactly when its line was written.
    for (const char* file : {"a.dat", "b.dat", "c/c.dat", "d/d.dat"}) {
        std::string line = std::string("Deleting old file: ") + file;
        std::ranges::replace(line, '/', '\\');
        EXPECT_NE(std::ranges::find(lines, line) != lines.end(), fs::exists(install / file)) << file;
    }
}

TEST(CopyNewFiles, LinksAtPackagePathsAreReplacedNeverWrittenThrough) {
    ScratchDir dir;
    const fs::path install = dir.path / "game", extract = install / "_update_temp", outside = dir.path / "outside";
    WriteTree(dir.path, {"outside/precious.dat=outside", "game/_update_temp/to_file.dat=new",
                            "game/_update_temp/to_directory.dat=new"});
    std::error_code ec;
    fs::create_symlink(outside / "precious.dat", install / "to_file.dat", ec);
    if (!ec) fs::create_directory_symlink(outside, install / "to_directory.dat", ec);
    if (ec) GTEST_SKIP() << "links cannot be made here: " << ec.message();
    LogCapture log;
    EXPECT_EQ(CopyNewFiles(extract, install), 0u);
    ExpectTree(ReadTree(install, "_update_temp"), {"to_directory.dat=new", "to_file.dat=new"});
    ExpectTree(ReadTree(outside), {"precious.dat=outside"});
}

TEST(ReplaceRunningUpdater, MovesThePackagedCopyOverTheRunningOne) {
    ScratchDir dir("self");
    WriteTree(dir.path, {"Launcher.exe=old", "_update_temp/Launcher.exe=new", "_update_temp/game.dat=data"});
    EXPECT_EQ(
        ReplaceRunningUpdater(dir.path / "_update_temp", dir.path, dir.path / "Other.exe"), UpdaterSwap::NotInPackage);
    EXPECT_EQ(
        ReplaceRunningUpdater(dir.path / "_update_temp", dir.path, dir.path / "Launcher.exe"), UpdaterSwap::Replaced);
    ExpectTree(ReadTree(dir.path), {"Launcher.exe=new", "_update_temp/game.dat=data"});
}

// Which entries the phases treat as links (never followed, removed
// themselves): Windows reparse points by their tag.
TEST(EntryKind, OnlyLinksAndJunctionsAreLinks) {
    constexpr std::uint32_t kDir = kAttributeDirectory, kReparse = kAttributeReparsePoint;
    const struct {
        std::uint32_t attributes, tag;
        EntryKind kind;
    } rows[] = {
        {0x20, 0, EntryKind::File},                           // an ordinary file
        {kDir, 0, EntryKind::Directory},                      // an ordinary folder
        {kReparse, 0xA000000C, EntryKind::Link},              // symbolic link to a file
        {kReparse | kDir, 0xA000000C, EntryKind::Link},       // symbolic link to a folder
        {kReparse | kDir, 0xA0000003, EntryKind::Link},       // junction
        {kReparse | kDir, 0, EntryKind::Link},                // tag not told (Wine's links)
        {kReparse | kDir, 0x9000601A, EntryKind::Directory},  // cloud placeholder folder
        {kReparse, 0x9000001A, EntryKind::File},              // cloud placeholder file
        {kReparse, 0x80000013, EntryKind::File},              // deduplicated file
        {kReparse, 0x80000017, EntryKind::File},              // compressed (WOF) file
        {kReparse, 0x8000001B, EntryKind::File},              // app execution alias
    };
    for (const auto& row : rows)
        EXPECT_EQ(KindOfEntry(row.attributes, row.tag), row.kind) << std::hex << row.attributes << " " << row.tag;
}

// Whether a refused move over a destination is tried again after a wait.
TEST(MoveRetry, OnlyWhatLetsGoSoonIsWaitedFor) {
    const struct {
        MoveRefusal refusal;
        MoveTarget target;
        bool retried;
    } rows[] = {
        {MoveRefusal::Sharing, MoveTarget::Absent, true},  // the source is held
        {MoveRefusal::Sharing, MoveTarget::RegularFile, true},
        {MoveRefusal::AccessDenied, MoveTarget::RegularFile, true},  // the target is held
        {MoveRefusal::AccessDenied, MoveTarget::DeletePending, true},
        {MoveRefusal::AccessDenied, MoveTarget::ReadOnlyFile, false},
        {MoveRefusal::AccessDenied, MoveTarget::RunningProgram, false},
        {MoveRefusal::AccessDenied, MoveTarget::Directory, false},
        {MoveRefusal::AccessDenied, MoveTarget::Link, false},
        {MoveRefusal::AccessDenied, MoveTarget::Absent, false},
        {MoveRefusal::Other, MoveTarget::RegularFile, false},
    };
    for (const auto& row : rows)
        EXPECT_EQ(IsWorthRetrying(row.refusal, row.target), row.retried)
            << static_cast<int>(row.refusal) << " " << static_cast<int>(row.target);
}
