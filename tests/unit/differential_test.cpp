// The differential update's planning: one table of installed trees (with the
// state of the index of installed files) against a package served by a server
// held in memory -> up to date, changed, spans, or which fallback and why.
// A new differential row goes here; what needs real servers goes to
// tests/net/, what needs the real process to tests/e2e/scenarios.py.

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <thread>

#include "base/text.h"
#include "delta/differential_update.h"
#include "delta/index_record.h"
#include "delta/installed_files.h"
#include "delta/installed_index.h"
#include "integrity/sha256.h"
#include "rules/working_names.h"
#include "test_support.h"

namespace {

std::string FoxText() {
    std::string text;
    for (int i = 0; i < 400; ++i) text += "The quick brown fox jumps over the lazy dog.\n";
    return text;
}

// The installation equal to iz_tree.zip.
Tree Current() {
    return {"tree/readme.txt=readme\n", "tree/sub/deeper/file.txt=" + FoxText(), "tree/tool.sh=#!/bin/sh\necho tool\n"};
}

enum class Serving { Ranges, WholeOnly, NoValidator, Refuses416, ValidatorChanges, RangeShifted };

// How the index of installed files stands when the comparison runs. Every
// index but the honest one records a wrong CRC-32 for tree/readme.txt: it is
// counted changed exactly when that record is trusted.
enum class Index {
    None,
    Trusted,      // recorded as the files stand
    TouchedBack,  // honest, then readme.txt rewritten (same size) with its modification time put back
    WrongSize,    // readme.txt's record names another size
    MissingFile,  // tool.sh removed after it was recorded
    CutShort,     // the index's last bytes lost
    FlippedByte,  // one byte of a name changed
    Oversized,    // grown past the size an index is read at
};

// The reason logged for an index that is not used.
const char* Refusal(Index index) {
    switch (index) {
        case Index::CutShort: return "its size does not match its header";
        case Index::FlippedByte: return "its CRC-32 does not match";
        case Index::Oversized: return "it is larger than 67108864 bytes";
        default: return nullptr;
    }
}

struct PlanRow {
    const char* name;
    const char* package;
    Tree installed;
    Index index = Index::None;
    Serving serving = Serving::Ranges;
    DeltaLimits limits{1.0, 16, 0};
    PackageCheck check{};
    DeltaEnd end = DeltaEnd::Ready;  // after the plan, and the fetch when the plan is ready
    const char* why = "";            // the start of the reason
    std::uint64_t upToDate = 0, changed = 0, spans = 0;
    int compared = -1;  // the files a failed update would record as read; -1: not checked
};

const std::string kZeros(64, '0');
constexpr const char* kIndexNotUsed = "__installed_files.index is not used (";

const PlanRow kPlanRows[] = {
    {"installation equal to the release: nothing fetched", "iz_tree.zip", Current(), Index::None, Serving::Ranges,
        {1.0, 16, 0}, {}, DeltaEnd::Ready, "", 3, 0, 0},
    {"one file differs: one span", "iz_tree.zip",
        {"tree/readme.txt=README\n", "tree/sub/deeper/file.txt=" + FoxText(), "tree/tool.sh=#!/bin/sh\necho tool\n"},
        Index::None, Serving::Ranges, {1.0, 16, 0}, {}, DeltaEnd::Ready, "", 2, 1, 1, 3},
    {"all differ: readme.txt apart, the others adjacent", "iz_tree.zip", {}, Index::None, Serving::Ranges, {1.0, 16, 0},
        {}, DeltaEnd::Ready, "", 0, 3, 2},
    {"all differ, entries close: one span", "iz_tree.zip", {}, Index::None, Serving::Ranges, {1.0, 64 * 1024, 0}, {},
        DeltaEnd::Ready, "", 0, 3, 1},
    // The index of installed files.
    {"recorded file unchanged: its record is trusted, not read", "iz_tree.zip", Current(), Index::Trusted,
        Serving::Ranges, {1.0, 16, 0}, {}, DeltaEnd::Ready, "", 2, 1, 1, 3},
    {"file changed, its modification time put back: read and repaired", "iz_tree.zip", Current(), Index::TouchedBack,
        Serving::Ranges, {1.0, 16, 0}, {}, DeltaEnd::Ready, "", 2, 1, 1},
    {"record of another size: read as today", "iz_tree.zip", Current(), Index::WrongSize, Serving::Ranges, {1.0, 16, 0},
        {}, DeltaEnd::Ready, "", 3, 0, 0},
    {"index naming a missing file: that file fetched", "iz_tree.zip", Current(), Index::MissingFile, Serving::Ranges,
        {1.0, 16, 0}, {}, DeltaEnd::Ready, "", 1, 2, 2},
    {"index cut short: read as today", "iz_tree.zip", Current(), Index::CutShort, Serving::Ranges, {1.0, 16, 0}, {},
        DeltaEnd::Ready, "", 3, 0, 0},
    {"index with a changed byte: read as today", "iz_tree.zip", Current(), Index::FlippedByte, Serving::Ranges,
        {1.0, 16, 0}, {}, DeltaEnd::Ready, "", 3, 0, 0},
    {"index over its size limit: not read, read as today", "iz_tree.zip", Current(), Index::Oversized, Serving::Ranges,
        {1.0, 16, 0}, {}, DeltaEnd::Ready, "", 3, 0, 0},
    // Every reason to download the whole package instead.
    {"no range support", "iz_tree.zip", {}, Index::None, Serving::WholeOnly, {1.0, 16, 0}, {}, DeltaEnd::FallBack,
        "the server sent the whole file (200 instead of 206)"},
    {"no validator", "iz_tree.zip", {}, Index::None, Serving::NoValidator, {1.0, 16, 0}, {}, DeltaEnd::FallBack,
        "the server names no ETag or Last-Modified"},
    {"416 to a range", "iz_tree.zip", {}, Index::None, Serving::Refuses416, {1.0, 16, 0}, {}, DeltaEnd::FallBack,
        "the server cannot serve byte 0 (416)"},
    {"validator changes between ranges", "iz_tree.zip", {}, Index::None, Serving::ValidatorChanges, {1.0, 16, 0}, {},
        DeltaEnd::FallBack, "the file changed on the server"},
    {"package smaller than the directory's search", "iz_tree.zip", {}, Index::None, Serving::Ranges, {}, {},
        DeltaEnd::FallBack, "the package is smaller than its directory's search"},
    {"changed files over a tenth of the package, found before all were read: nothing recorded", "iz_tree.zip",
        {"tree/readme.txt=README\n", "tree/sub/deeper/file.txt=" + std::string(18000, 'x'),
            "tree/tool.sh=#!/bin/sh\necho tool\n"},
        Index::None, Serving::Ranges, {0.1, 16, 0}, {}, DeltaEnd::FallBack, "the changed files take more than", 0, 0, 0,
        0},
    {"changed files over a tenth of the package", "iz_tree.zip", {}, Index::None, Serving::Ranges, {0.1, 16, 0}, {},
        DeltaEnd::FallBack, "the changed files take more than"},
    {"Content-Range from another byte", "iz_tree.zip", {}, Index::None, Serving::RangeShifted, {1.0, 16, 0}, {},
        DeltaEnd::FallBack, "Content-Range starts at byte 62", 0, 3, 2},
    {"two entries sharing bytes", "overlapping entries", {}, Index::None, Serving::Ranges, {1.0, 16, 0}, {},
        DeltaEnd::FallBack, "entry \"tree/sub/deeper/file.txt\" overlaps the next entry"},
    {"central directory over 32 MiB", "huge directory", {}, Index::None, Serving::Ranges, {1.0, 16, 0}, {},
        DeltaEnd::FallBack, "a central directory over 33554432 bytes"},
    {"two entries at one path", "same_name_twice.zip", {}, Index::None, Serving::Ranges, {1.0, 16, 0}, {},
        DeltaEnd::FallBack, "entry \"same.txt\" appears twice"},
    {"checked release without update-index-sha256", "iz_tree.zip", {}, Index::None, Serving::Ranges, {1.0, 16, 0},
        {kZeros, std::nullopt}, DeltaEnd::FallBack, "version.txt names no update-index-sha256"},
    {"directory against another update-index-sha256", "iz_tree.zip", {}, Index::None, Serving::Ranges, {1.0, 16, 0},
        {kZeros, std::nullopt, kZeros}, DeltaEnd::FallBack, "the central directory does not match update-index-sha256"},
    {"checked release, entry without its content digest", "iz_tree.zip", {}, Index::None, Serving::Ranges, {1.0, 16, 0},
        {kZeros, std::nullopt, "directory"}, DeltaEnd::FallBack, "entry \"tree/readme.txt\" carries no content digest"},
    // A damaged package (local header, CRC-32, sizes, names) falls back as the
    // ReadRemotely column of zip_extract_test.cpp's package tables shows, an
    // entry against its content digest as scenarios.py's DELTA_ROWS do; a
    // resumable update.zip.part is the kill test's (interrupted_scenarios.py).
};

// "directory" stands for the SHA-256 of the package's central directory and end records.
PackageCheck Resolved(PackageCheck check, const std::string& package) {
    if (check.indexSha256 != "directory") return check;
    std::uint32_t offset = 0;  // in the end record, 6 bytes before the package's end (no comment)
    std::memcpy(&offset, package.data() + package.size() - 6, sizeof offset);
    Sha256Digest digest{};
    EXPECT_TRUE(Sha256Of(package.substr(offset), digest));
    check.indexSha256 = DigestToHex(digest);
    return check;
}

// The row's package: a generated one, or a file of make_zips.py.
std::string PackageBytes(const std::string& name) {
    if (name == "overlapping entries") {  // iz_tree.zip, tool.sh's data listed where file.txt's lies
        std::string package = ReadBytes(Package("iz_tree.zip"));
        const std::size_t central = package.rfind("PK\x01\x02");  // tool.sh's record, the last
        const std::uint32_t fileTxt = 353;
        std::memcpy(package.data() + central + 42, &fileTxt, 4);
        return package;
    }
    if (name != "huge directory") return ReadBytes(Package(name));
    // 40 MiB whose end record names a central directory of 33 MiB (one entry).
    const std::uint32_t size = 40 << 20, directorySize = 33 << 20, directoryOffset = size - 22 - directorySize;
    std::string package(size, '\0'), end = "PK\x05\x06";
    end.resize(22, '\0');
    end[8] = end[10] = 1;
    std::memcpy(end.data() + 12, &directorySize, 4);
    std::memcpy(end.data() + 16, &directoryOffset, 4);
    return package.replace(size - 22, 22, end);
}

// The package from byte `first` to `last`, as the row's server answers a range.
HttpOutcome Serve(const std::string& package, Serving serving, int& requests, const HttpRequest& request,
    const HttpHandlers& handlers) {
    const std::uint64_t first = std::stoull(request.range.substr(6));
    const std::uint64_t last = std::stoull(request.range.substr(request.range.find('-') + 1));
    HttpHead head{206, last + 1 - first};
    head.contentRange =
        "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" + std::to_string(package.size());
    head.etag = serving == Serving::ValidatorChanges && requests > 0 ? "\"v2\"" : "\"v1\"";
    std::string body = package.substr(static_cast<std::size_t>(first), static_cast<std::size_t>(last + 1 - first));
    if (serving == Serving::WholeOnly) head = {200, package.size()}, head.etag = "\"v1\"", body = package;
    if (serving == Serving::NoValidator) head.etag.clear();
    if (serving == Serving::RangeShifted && first > 0)  // one byte earlier than asked
        head.contentRange = "bytes " + std::to_string(first - 1) + "-" + std::to_string(last - 1) + "/" +
                            std::to_string(package.size());
    if (serving == Serving::Refuses416) head = {416, 0}, head.etag = "\"v1\"", body.clear();
    ++requests;
    if (!handlers.head(head) || !handlers.body(body.data(), body.size())) return {HttpEnd::Stopped, L"stopped"};
    return {HttpEnd::Complete, {}};
}

// Writes the index of the installation as the row has it.
void PrepareIndex(const fs::path& install, Index index) {
    if (index == Index::None) return;
    IndexBuilder builder;
    for (const char* file : {"tree/readme.txt", "tree/sub/deeper/file.txt", "tree/tool.sh"}) {
        std::uint32_t crc = 0;
        ASSERT_TRUE(FileCrc32(install / file, crc, [](std::uint64_t) {}));
        const bool forged = index != Index::TouchedBack && std::string(file) == "tree/readme.txt";
        AddToIndex(builder, fs::path(file).make_preferred(), forged ? crc ^ 1 : crc, "");
    }
    IdentifyFiles(builder, install);
    ASSERT_EQ(builder.records.size(), 3u);
    if (index == Index::WrongSize) builder.records[0].identity.size += 1;
    std::string bytes;
    const PieceSource pieces = IndexPieces(builder);
    for (std::string_view piece; pieces(piece);) bytes += piece;
    if (index == Index::CutShort) bytes.resize(bytes.size() - 5);
    if (index == Index::FlippedByte) bytes[bytes.size() - 3] ^= 0x20;
    WriteBytes(install / kInstalledIndexName, bytes);
    if (index == Index::Oversized) fs::resize_file(install / kInstalledIndexName, kInstalledIndexLimit + 1);
    // Past the timestamps' granularity, so that a change below shows in them.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (index == Index::MissingFile) fs::remove(install / "tree/tool.sh");
    if (index == Index::TouchedBack) {
        const fs::path readme = install / "tree/readme.txt";
        const auto modified = fs::last_write_time(readme);
        WriteBytes(readme, "README\n");
        fs::last_write_time(readme, modified);
    }
}

}  // namespace

TEST(DifferentialPlan, InstalledTreeAgainstDirectory) {
    for (const PlanRow& row : kPlanRows) {
        SCOPED_TRACE(row.name);
        ScratchDir scratch{"plan"};
        const fs::path install = scratch.path / "game", extraction = install / "_update_temp";
        WriteTree(install, row.installed);
        fs::create_directories(extraction);
        PrepareIndex(install, row.index);
        const std::string package = PackageBytes(row.package);
        int requests = 0;
        DownloadEnvironment environment{[] { return DownloadClock::now(); }, [](DownloadClock::duration) {},
            [] { return 0.5; },
            [&](const HttpRequest& r, const HttpHandlers& h) { return Serve(package, row.serving, requests, r, h); }};
        DifferentialPlan plan;
        plan.tailFile = scratch.path / "directory.kept";
        std::wstring why;
        LogCapture log;
        DeltaEnd end = PlanDifferentialUpdate({L"https://server/updates/update.zip"}, install, extraction,
            Resolved(row.check, package), environment, plan, why, row.limits);
        if (row.compared >= 0) {  // what a failed update records: every file compared, or none
            EXPECT_EQ(plan.comparedAll ? plan.compared.records.size() : 0u, static_cast<std::size_t>(row.compared));
        }
        if (end == DeltaEnd::Ready) {
            EXPECT_EQ(plan.upToDate, row.upToDate);
            EXPECT_EQ(plan.changed, row.changed);
            EXPECT_EQ(plan.spans.size(), row.spans);
            end = FetchChangedEntries(plan, extraction, why);
        }
        EXPECT_EQ(end, row.end) << WideToUtf8(why);
        if (end == DeltaEnd::Ready) {  // the index records every file once: up to date, or as fetched
            IndexBuilder recorded;
            PackageListing listing;
            TakePlannedFiles(recorded, listing, plan);
            std::set<std::string> names;
            for (const IndexRecord& record : recorded.records)
                names.insert(recorded.names.substr(record.nameOffset, record.nameLength));
            EXPECT_EQ(recorded.records.size(), names.size());
            EXPECT_EQ(names.size(), PackageFileCount(listing));
        }
        const char* refusal = Refusal(row.index);
        ExpectLog(log.Messages(),
            refusal ? std::vector<std::string>{std::string(kIndexNotUsed) + refusal + "); every file is read."}
                    : std::vector<std::string>{});
        EXPECT_TRUE(WideToUtf8(why).starts_with(row.why)) << WideToUtf8(why);
    }
}

// An index of several blocks of records is looked up by every name it holds,
// and by none it does not: before the first, between two, after the last.
namespace {

std::string NumberedName(std::uint32_t number) {
    char name[32];
    std::snprintf(name, sizeof name, "f%u.txt", number);
    return name;
}

}  // namespace

TEST(InstalledIndex, FindsEachRecordAcrossItsBlocks) {
    ScratchDir scratch{"blocks"};
    IndexBuilder builder;
    for (std::uint32_t i = 0; i < 100; ++i) {
        const std::string name = NumberedName(1000 + i * 2);
        WriteBytes(scratch.path / name, name);
        AddToIndex(builder, name, i, "");
    }
    ASSERT_TRUE(WriteInstalledIndex(scratch.path, builder));
    InstalledIndex index;
    std::wstring why;
    ASSERT_TRUE(ReadInstalledIndex(scratch.path, index, why)) << WideToUtf8(why);
    EXPECT_EQ(index.count, 100u);
    for (std::uint32_t i = 0; i < 100; i += 1 + i % 3) {  // forwards, skipping blocks
        const std::string name = NumberedName(1000 + i * 2);
        FileIdentity now;
        ASSERT_TRUE(ReadFileIdentity(scratch.path / name, now));
        EXPECT_EQ(TrustedCrc(index, name, now), i) << name;
        EXPECT_EQ(TrustedCrc(index, NumberedName(1001 + i * 2), now), std::nullopt);
    }
    FileIdentity last;
    ASSERT_TRUE(ReadFileIdentity(scratch.path / "f1000.txt", last));
    EXPECT_EQ(TrustedCrc(index, "f1000.txt", last), 0u);  // back to the first block
    for (const char* absent : {"a.txt", "f1198.txt.old", "g.txt"})
        EXPECT_EQ(TrustedCrc(index, absent, last), std::nullopt);
}

// A file compared (and found up to date) but changed before the index is
// written is left out of it: its record would vouch for bytes it no longer holds.
TEST(InstalledIndex, RecordsOnlyFilesUnchangedSinceSeen) {
    ScratchDir scratch{"index"};
    WriteTree(scratch.path, {"kept.txt=kept", "changed.txt=before"});
    IndexBuilder builder;
    for (const char* name : {"kept.txt", "changed.txt"}) {
        FileIdentity seen;
        ASSERT_TRUE(ReadFileIdentity(scratch.path / name, seen));
        AddToIndex(builder, name, 7, "", &seen);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // past the timestamps' granularity
    WriteBytes(scratch.path / "changed.txt", "BEFORE");
    ASSERT_TRUE(WriteInstalledIndex(scratch.path, builder));
    InstalledIndex index;
    std::wstring why;
    ASSERT_TRUE(ReadInstalledIndex(scratch.path, index, why)) << WideToUtf8(why);
    FileIdentity now;
    ASSERT_TRUE(ReadFileIdentity(scratch.path / "kept.txt", now));
    EXPECT_EQ(TrustedCrc(index, "kept.txt", now), 7u);
    ASSERT_TRUE(ReadFileIdentity(scratch.path / "changed.txt", now));
    EXPECT_EQ(TrustedCrc(index, "changed.txt", now), std::nullopt);
    EXPECT_EQ(index.count, 1u);
}
