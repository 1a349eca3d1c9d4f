// ExtractZip over the packages of tests/zipgen/make_zips.py: one row per package.

#include <algorithm>

#include <chrono>
#include <fstream>
#include <thread>

#include "apply/copy_phase.h"
#include "base/text.h"
#include "delta/differential_update.h"
#include "delta/index_record.h"
#include "rules/working_names.h"
#include "test_support.h"
#include "worker/package_fetch.h"
#include "zip/zip_extract.h"

namespace {

// The test text of make_zips.py: one line 400 times, `times` times over.
std::string Text(int times = 1) {
    std::string text;
    for (int i = 0; i < 400 * times; ++i) text += "The quick brown fox jumps over the lazy dog.\n";
    return text;
}

std::string PoorlyCompressible(std::size_t size = 300000) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 7919 + (i >> 5)) & 0xFF);
    return bytes;
}

// Every extraction goes into a destination that already holds kept.txt, inside
// a scratch folder, so that a row shows what appeared beside it too.
struct Extraction {
    ScratchDir scratch{"zip"};
    fs::path destination = scratch.path / "dest";
    Extraction() { WriteTree(destination, {"kept.txt=kept"}); }
    bool Run(const std::string& package) { return ExtractZip(Package(package), destination); }
};

// The package as the download hands it over: from byte 0, in small pieces,
// with a pause now and then; unpacked by `targets` when given, else by its local headers.
StreamedEntries Arrive(const fs::path& package, const fs::path& destination, TargetSource targets = {}) {
    PackageStream stream;
    EXPECT_TRUE(StartPackageStream(stream, destination, std::move(targets)));
    std::ifstream in(package, std::ios::binary);
    std::string piece(7001, '\0');
    for (std::uint64_t offset = 0, count = 0; in.read(piece.data(), 7001) || in.gcount() > 0; ++count) {
        FeedPackageStream(stream, offset, piece.data(), static_cast<std::size_t>(in.gcount()));
        offset += static_cast<std::uint64_t>(in.gcount());
        if (count % 16 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return FinishPackageStream(stream);
}

// The package as a server with ranges and an ETag serves it, read through the
// differential update into an empty installation with every entry fetched
// (or, `fetch` false, its directory only read).
struct RemoteRead {
    ScratchDir scratch{"remote"};
    fs::path install = scratch.path / "game", extraction = install / "_update_temp";
    DeltaEnd end = DeltaEnd::GaveUp;
    std::wstring why;
    DifferentialPlan plan;
    int requests = 0;
    std::uint64_t unpacked = 0, toWrite = 0;  // of the whole package, and of the planned fetch

    // `beforeFetch` is given the directory's kept bytes once the plan is ready.
    explicit RemoteRead(const std::string& package, const PackageCheck& check = {}, ListingLimits listing = {},
        const Tree& installed = {}, bool fetch = true, const std::function<void(const fs::path&)>& beforeFetch = {}) {
        fs::create_directories(extraction);
        WriteTree(install, installed);
        plan.tailFile = scratch.path / "directory.kept";
        const fs::path file = Package(package);
        DownloadEnvironment environment{[] { return DownloadClock::now(); }, [](DownloadClock::duration) {},
            [] { return 0.5; },
            [&](const HttpRequest& r, const HttpHandlers& h) {
                ++requests;
                return Serve(file, r, h);
            }};
        end = PlanDifferentialUpdate({L"https://server/updates/" + Utf8ToWide(package)}, install, extraction, check,
            environment, plan, why, {1.0, 64 * 1024, 0, listing});
        unpacked = UnpackedSize(plan.directory);
        toWrite = BytesToWrite(plan);
        if (end == DeltaEnd::Ready && beforeFetch) beforeFetch(plan.tailFile);
        if (end == DeltaEnd::Ready && fetch) end = FetchChangedEntries(plan, extraction, why);
    }

    // A request without a range gets the whole file, in pieces of 4 KiB, each followed by `afterPiece`.
    static HttpOutcome Serve(const fs::path& file, const HttpRequest& request, const HttpHandlers& handlers,
        const std::function<void()>& afterPiece = {}) {
        std::error_code ec;
        const std::uint64_t size = fs::file_size(file, ec);
        const bool whole = request.range.empty();
        const std::uint64_t first = whole ? 0 : std::stoull(request.range.substr(6));
        const std::uint64_t last = whole ? size - 1 : std::stoull(request.range.substr(request.range.find('-') + 1));
        HttpHead head{whole ? 200 : 206, last + 1 - first};
        if (!whole)
            head.contentRange =
                "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" + std::to_string(size);
        head.etag = "\"v1\"";
        std::string body(static_cast<std::size_t>(last + 1 - first), '\0');
        std::ifstream in(file, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(first));
        in.read(body.data(), static_cast<std::streamsize>(body.size()));
        if (!handlers.head(head)) return {HttpEnd::Stopped, L"stopped"};
        const std::size_t piece = whole ? 4096 : body.size();
        for (std::size_t at = 0; at < body.size(); at += piece) {
            if (!handlers.body(body.data() + at, std::min(piece, body.size() - at)))
                return {HttpEnd::Stopped, L"stopped"};
            if (afterPiece) afterPiece();
        }
        return {HttpEnd::Complete, {}};
    }
};

struct SoundCase {
    const char* package;
    Tree extracted;                 // besides kept.txt
    bool remoteRefuses = false;     // the differential update leaves it to the full download
    bool unpackedOnArrival = true;  // else what was unpacked as it arrived is left for ExtractZip to redo
};

const SoundCase kSoundCases[] = {
    {"py_nested.zip", {"a/b/c/deep.txt=" + Text(60), "a/b/sibling.bin=" + PoorlyCompressible(), "a/empty_inner/",
                          "a/windows/sep.txt=backslashes\n", "empty_dir/", "top.txt=top\n"}},
    {"iz_tree.zip", {"tree/empty/", "tree/readme.txt=readme\n", "tree/sub/deeper/file.txt=" + Text(),
                        "tree/tool.sh=#!/bin/sh\necho tool\n"}},
    {"py_empty.zip", {}},
    {"py_utf8.zip", {"café/naïve ☃.txt=snowman\n", "日本/語.txt=cjk\n"}},
    {"iz_utf8.zip", {"Data/été.txt=accents\n"}},  // UTF-8 without flag bit 11 nor Unicode path field
    {"bsdtar_utf8.zip", {"Data/été.txt=accents\n"}, false, false},
    {"7z_utf8.zip", {"Data/été.txt=accents\n"}},
    {"cp437.zip", {"café/äpfel ß.txt=cp437\n"}},                             // 0x82 0x84 0xE1: not UTF-8
    {"unicode_path_field.zip", {"Data/日本.txt=info-zip\n"}, false, false},  // the field over "Data/__.txt"
    {"unicode_path_field_stale.zip", {"Data/été.txt=stale\n"}},              // the field's CRC is of another name
    {"descriptor_sig.zip", {"d/deflated.txt=" + Text(), "d/stored.txt=stored after a descriptor\n"}, false, false},
    {"descriptor_nosig.zip", {"n/one.txt=" + Text(), "n/two.txt=two\n"}, false, false},
    {"iz_stream_descriptor.zip", {"-=" + Text()}},  // Info-ZIP names a piped entry "-"
    {"iz_stream_local64.zip", {"-=" + Text()}},
    {"zip64_fields.zip", {"z/descriptor64.txt=d64\n", "z/sixty-four.txt=" + Text()}, false, false},
    {"zip64_far.zip", {"far/away.txt=" + Text()}},                         // its data 4.5 GiB into the file
    {"py_zip64_many.zip", {"first.txt=first\n", "many/last.txt=last\n"}},  // 65,602 entries
    {"same_name_twice.zip", {"same.txt=second\n"}, true},
    {"large_stored.zip", {"after.txt=after\n", "big.bin=" + PoorlyCompressible(600000)}},
    {"stream_unlisted.zip", {"listed.txt=listed\n"}, false, false},
    {"stream_listed_twice.zip", {"twice.txt=" + Text()}, true, false},
    {"names_like_devices.zip", {"COM0.txt=x", "CONSOLE.txt=x", "LPT10.txt=x", "map1.txt=x"}},
};

class SoundPackage : public testing::TestWithParam<SoundCase> {};

// CheckZip reads the package as extraction does, writing nothing, and visits the same files.
TEST_P(SoundPackage, IsExtractedWholeAndPassesTheCheck) {
    Tree checked, files;
    EXPECT_TRUE(CheckZip(Package(GetParam().package), [&](const EntryPath& path, std::uint64_t) {
        std::wstring joined;
        for (const auto& component : path.components) joined += (joined.empty() ? L"" : L"/") + component;
        checked.push_back(WideToUtf8(joined));
    }));
    for (const std::string& entry : GetParam().extracted)
        if (!entry.ends_with('/')) files.push_back(entry.substr(0, entry.find('=')));
    std::sort(checked.begin(), checked.end());
    checked.erase(std::unique(checked.begin(), checked.end()), checked.end());
    std::sort(files.begin(), files.end());
    EXPECT_EQ(checked, files);
    Extraction x;
    ASSERT_TRUE(x.Run(GetParam().package));
    Tree expected = GetParam().extracted;
    expected.push_back("kept.txt=kept");
    ExpectTree(ReadTree(x.destination), expected);
}

// Its files (empty folders are the copy phase's matter) and no refusal.
TEST_P(SoundPackage, ReadRemotelyGivesTheSameFiles) {
    RemoteRead remote(GetParam().package);
    EXPECT_EQ(remote.end, GetParam().remoteRefuses ? DeltaEnd::FallBack : DeltaEnd::Ready) << WideToUtf8(remote.why);
    if (GetParam().remoteRefuses) return;
    Tree files;
    std::uint64_t bytes = 0;  // what the room check counts on: every file is fetched into the empty installation
    for (const std::string& entry : GetParam().extracted)
        if (!entry.ends_with('/')) {
            files.push_back(entry);
            bytes += SizeOnDisk(entry.size() - entry.find('=') - 1);
        }
    ExpectTree(ReadTree(remote.extraction), files);
    EXPECT_EQ(remote.toWrite, bytes);
    EXPECT_EQ(remote.unpacked, bytes);
}

// What the listing may cost, and which directory is not read at all.
TEST(ReadRemotely, ListsWithinItsBoundsOrFallsBack) {
    const PackageCheck checkedWithoutIndex{std::string(64, 'a'), "1", std::nullopt};
    const struct {
        const char* package;
        PackageCheck check;
        ListingLimits listing;
        DeltaEnd end;
        const char* why;
        int requests;  // at most
        Tree installed = {};
        std::uint64_t toWrite = 0;  // when Ready
    } rows[] = {
        {"iz_tree.zip", {}, {}, DeltaEnd::Ready, "", 2, kSoundCases[1].extracted},  // all up to date
        {"iz_tree.zip", {}, {}, DeltaEnd::Ready, "", 3,
            {"tree/readme.txt=readme\n", "tree/sub/deeper/file.txt=" + Text(), "tree/tool.sh=#!/bin/sh\necho tool?\n"},
            4096},
        {"py_zip64_many.zip", {}, {65602, 8 << 20}, DeltaEnd::Ready, "", 100, {}, 2 * 4096},
        {"py_zip64_many.zip", {}, {65601, 8 << 20}, DeltaEnd::FallBack,
            "a central directory of 65602 entries, over the 65601 read", 2},
        {"py_zip64_many.zip", {}, {65602, 1 << 20}, DeltaEnd::FallBack,
            "a central directory whose listing takes over 1048576 bytes", 3},
        {"iz_tree.zip", checkedWithoutIndex, {}, DeltaEnd::FallBack, "version.txt names no update-index-sha256", 0},
    };
    for (const auto& row : rows) {
        RemoteRead remote(row.package, row.check, row.listing, row.installed);
        EXPECT_EQ(remote.end, row.end) << row.why;
        EXPECT_EQ(remote.toWrite, row.end == DeltaEnd::Ready ? row.toWrite : 0) << row.package;
        EXPECT_EQ(WideToUtf8(remote.why), row.why);
        EXPECT_LE(remote.requests, row.requests) << row.why;
    }
}

// The entries fetched are read again from the directory's bytes as kept: gone
// or changed, nothing is unpacked and the whole package is fetched instead.
TEST(ReadRemotely, FetchesOnlyByTheDirectoryAsKept) {
    const Tree changed = {
        "tree/readme.txt=readme\n", "tree/sub/deeper/file.txt=" + Text(), "tree/tool.sh=#!/bin/sh\necho tool?\n"};
    for (const bool removed : {true, false}) {
        RemoteRead remote("iz_tree.zip", {}, {}, changed, true, [&](const fs::path& kept) {
            if (removed) fs::remove(kept);
            if (!removed) WriteBytes(kept, std::string(fs::file_size(kept), '\0'));
        });
        EXPECT_EQ(remote.end, DeltaEnd::FallBack) << removed;
        EXPECT_TRUE(ReadTree(remote.extraction).empty()) << removed;
    }
}

// After the download's first request learned the size and validator from the
// second server, the directory is read there, without asking the first byte again.
TEST(ReadRemotely, StartsOnTheServerThatAnsweredTheProbe) {
    ScratchDir scratch{"probed"};
    const fs::path install = scratch.path / "game", extraction = install / "_update_temp";
    fs::create_directories(extraction);
    const fs::path file = Package("iz_tree.zip");
    const std::wstring first = L"https://a/updates/update.zip", second = L"https://b/updates/update.zip";
    std::vector<std::wstring> asked;
    DownloadEnvironment environment{[] { return DownloadClock::now(); }, [](DownloadClock::duration) {},
        [] { return 0.5; },
        [&](const HttpRequest& r, const HttpHandlers& h) {
            asked.push_back(r.url + L" " + Utf8ToWide(r.range));
            return RemoteRead::Serve(file, r, h);
        }};
    DifferentialPlan plan;
    plan.probed = {fs::file_size(file), "\"v1\"", second};
    plan.tailFile = scratch.path / "directory.kept";
    std::wstring why;
    EXPECT_EQ(
        PlanDifferentialUpdate({first, second}, install, extraction, {}, environment, plan, why, {1.0, 64 * 1024, 0}),
        DeltaEnd::Ready)
        << WideToUtf8(why);
    ASSERT_FALSE(asked.empty());
    for (const std::wstring& request : asked) {
        EXPECT_TRUE(request.starts_with(second + L" ")) << WideToUtf8(request);
        EXPECT_NE(request, second + L" bytes=0-0");
    }
}

TEST_P(SoundPackage, UnpackedWhileArrivingGivesTheSameTree) {
    std::error_code ec;
    if (fs::file_size(Package(GetParam().package), ec) > (1u << 30)) return;  // zip64_far: 4.5 GiB of nothing to push
    Extraction x;
    // Adopted, the package is spent: a copy, as the download leaves one.
    const fs::path package = x.scratch.path / "update.zip";
    ASSERT_TRUE(fs::copy_file(Package(GetParam().package), package, ec));
    const StreamedEntries streamed = Arrive(package, x.destination);
    ASSERT_EQ(AdoptStreamedZip(package, x.destination, streamed), GetParam().unpackedOnArrival);
    if (!GetParam().unpackedOnArrival) return;
    Tree expected = GetParam().extracted;
    expected.push_back("kept.txt=kept");
    ExpectTree(ReadTree(x.destination), expected);
}

// Unpacked by the directory read before, exactly its entries are written
// (stream_unlisted's other local entry is not) and taken as they are.
TEST_P(SoundPackage, UnpackedByItsDirectoryHoldsItsEntriesOnly) {
    if (GetParam().remoteRefuses || std::string(GetParam().package) == "zip64_far.zip") return;
    RemoteRead remote(GetParam().package, {}, {}, {}, false);
    ASSERT_EQ(remote.end, DeltaEnd::Ready) << WideToUtf8(remote.why);
    Extraction x;
    std::error_code ec;
    const fs::path package = x.scratch.path / "update.zip";
    ASSERT_TRUE(fs::copy_file(Package(GetParam().package), package, ec));
    const StreamedEntries streamed = Arrive(package, x.destination, PackageTargets(remote.plan));
    Tree expected = GetParam().extracted;
    expected.push_back("kept.txt=kept");
    ExpectTree(ReadTree(x.destination), expected);
    EXPECT_TRUE(streamed.byDirectory);
    EXPECT_TRUE(AdoptStreamedZip(package, x.destination, streamed));
}

INSTANTIATE_TEST_SUITE_P(
    ExtractZip, SoundPackage, testing::ValuesIn(kSoundCases), [](const testing::TestParamInfo<SoundCase>& info) {
        return std::string(info.param.package).substr(0, std::string(info.param.package).find('.'));
    });

// Unsafe names and damaged packages fail; an unsafe name, or damage that the
// central directory shows, before anything is written. Nothing ever lands
// outside the destination, nor grows past the size its entry declares. The
// log says which entry and why.
struct FailingCase {
    const char* package;
    bool writesNothing;
    const char* why = "";
};

const FailingCase kFailingCases[] = {
    {"unsafe_dotdot", true, "entry \"../evil.txt\": its name is not a safe relative path"},
    {"unsafe_dotdot_inner", true, "entry \"sub/../../evil.txt\": its name is not a safe relative path"},
    {"unsafe_dotdot_backslash", true, "entry \"sub\\..\\..\\evil.txt\": its name is not a safe relative path"},
    {"unsafe_absolute", true, "entry \"/tmp/evil.txt\": its name is not a safe relative path"},
    {"unsafe_absolute_backslash", true, "entry \"\\evil.txt\": its name is not a safe relative path"},
    {"unsafe_drive", true, "entry \"C:/evil.txt\": its name is not a safe relative path"},
    {"unsafe_drive_relative", true, "entry \"C:evil.txt\": its name is not a safe relative path"},
    {"unsafe_unc", true, "entry \"\\\\server\\share\\evil.txt\": its name is not a safe relative path"},
    {"unsafe_nul", true, "entry \"ok.txt?/../../evil.txt\": its name is not a safe relative path"},
    {"unsafe_device", true, "entry \"sub/CON\": its name is not a safe relative path"},
    {"unsafe_device_ext", true, "entry \"nul.txt\": its name is not a safe relative path"},
    {"unsafe_device_com", true, "entry \"sub/com9 .txt\": its name is not a safe relative path"},
    {"unsafe_stream", true, "entry \"file.txt:hidden\": its name is not a safe relative path"},
    {"unsafe_trailing_dot", true, "entry \"sub./evil.txt\": its name is not a safe relative path"},
    {"unsafe_trailing_space", true, "entry \"sub /evil.txt\": its name is not a safe relative path"},
    {"unsafe_empty", true, "entry \"\": its name is not a safe relative path"},
    {"damaged_crc", false, "entry \"bad.txt\": its CRC-32 does not match"},
    {"damaged_size_far_above", true, "entry \"bad.txt\": its offset and size lie outside the package's data"},
    {"damaged_declared_larger", false, "entry \"bad.txt\": 18000 bytes of content instead of 2147483632"},
    {"damaged_declared_smaller", false, "entry \"bad.txt\": more content than the 100 bytes declared"},
    {"damaged_declared_4gb", false, "entry \"bad.txt\": 1000 bytes of content instead of 4294967280"},
    {"damaged_zip64_declared_1tb", false, "entry \"bad.txt\": 4 bytes of content instead of 1099511627776"},
    {"damaged_bomb", false, "entry \"bad.txt\": more content than the 1024 bytes declared"},
    {"damaged_stream_ends_early", false, "entry \"bad.txt\": the deflate stream ends before its data"},
    {"damaged_stream_broken_after_content", false, "entry \"bad.txt\": damaged deflate data"},
    {"damaged_stored_sizes_differ", true, "entry \"bad.txt\": stored with two different sizes"},
    {"damaged_encrypted", true, "entry \"bad.txt\": it is encrypted"},
    {"damaged_method_bzip2", true, "entry \"bad.txt\": unsupported compression method 12"},
    {"damaged_method_deflate64", true, "entry \"bad.txt\": unsupported compression method 9"},
    {"damaged_corrupt_stream", false, "entry \"bad.txt\": damaged deflate data"},
    {"damaged_local_name_differs", false, "entry \"bad.txt\": the local header does not match the directory"},
    {"damaged_count", true, "no valid central directory"},
    {"damaged_central_truncated", true, "no valid central directory"},
    {"damaged_zip64_split", true, "no valid central directory"},
    {"damaged_local_signature", false, "entry \"second.txt\": the local header does not match the directory"},
    {"damaged_central_signature", true, "central directory record 2 is damaged"},
    {"damaged_cut", true, "no valid central directory"},
    {"stream_central_crc", true, "entry \"bad.txt\": the local header does not match the directory"},
    {"stream_central_size", true, "entry \"bad.txt\": the local header does not match the directory"},
};

class FailingPackage : public testing::TestWithParam<FailingCase> {};

TEST_P(FailingPackage, FailsWritingOnlyInsideTheDestination) {
    Extraction x;
    LogCapture log;
    EXPECT_FALSE(x.Run(GetParam().package + std::string(".zip")));
    ExpectLog(log.Messages(), {"ExtractZip to *", GetParam().package + std::string(".zip refused: ") + GetParam().why});
    EXPECT_FALSE(CheckZip(Package(GetParam().package + std::string(".zip"))));
    const Tree written = ReadTree(x.destination);
    if (GetParam().writesNothing) ExpectTree(written, {"kept.txt=kept"});
    for (const std::string& entry : written) {
        EXPECT_TRUE(entry.starts_with("good.txt=") || entry.starts_with("bad.txt") || entry == "kept.txt=kept")
            << entry;
        EXPECT_LT(entry.size(), 1u << 20) << entry.substr(0, 20);
    }
    EXPECT_EQ(ReadTree(x.scratch.path).size(), written.size());
}

TEST_P(FailingPackage, ReadRemotelyFallsBackWritingOnlyInsideTheExtraction) {
    RemoteRead remote(GetParam().package + std::string(".zip"));
    EXPECT_EQ(remote.end, DeltaEnd::FallBack);
    for (const std::string& entry : ReadTree(remote.scratch.path))  // and the directory, kept beside
        EXPECT_TRUE(entry.starts_with("game/_update_temp/") || entry.starts_with("directory.kept=")) << entry;
}

// Whatever was unpacked as it arrived, the package's refusal stands.
TEST_P(FailingPackage, UnpackedWhileArrivingIsNotAdopted) {
    Extraction x;
    const fs::path package = Package(GetParam().package + std::string(".zip"));
    EXPECT_FALSE(AdoptStreamedZip(package, x.destination, Arrive(package, x.destination)));
    EXPECT_EQ(ReadTree(x.scratch.path).size(), ReadTree(x.destination).size());
}

INSTANTIATE_TEST_SUITE_P(ExtractZip, FailingPackage, testing::ValuesIn(kFailingCases),
    [](const testing::TestParamInfo<FailingCase>& info) { return info.param.package; });

// update.zip fetched whole (the differential attempt falls back: the changed
// files take most of the package) into an installation, from a server whose
// ranged answers come from one file and whose whole answer from another; what
// version.txt says is that of checked_release.zip. Unpacked while it arrives
// is only what is checked, the extraction never holds more than the release's
// 218,004 bytes, and a failed download leaves nothing. A file that the
// comparison found up to date, or that the installation's index records as it
// stands, is neither unpacked nor placed; game/data.pak's record is stale (the
// file was replaced by one of the same size and time).
enum Told { kNothing = 0, kSha = 1, kIndex = 2, kIndexFile = 4, kOtherDigest = 8 };

struct WholeCase {
    const char* name;
    const char* ranged;
    const char* whole;
    int told;
    PackageFetch how;
    bool streamed;              // unpacked while it arrived, and adopted
    std::uint64_t mostWritten;  // while it arrived
    std::uint64_t extracted = 218004;
    Tree installed{};  // besides game/data.pak, of its size but not its bytes
};

const char* const kRelease = "checked_release.zip";
const char* const kBomb = "checked_release_bomb.zip";
const WholeCase kWholeCases[] = {
    {"checked_by_its_directory", kRelease, kRelease, kSha | kIndex, PackageFetch::Whole, true, 218004},
    {"checked_without_index_after_digest", kRelease, kRelease, kSha, PackageFetch::Whole, false, 0},
    {"unchecked_by_local_headers", kRelease, kRelease, kNothing, PackageFetch::Whole, true, 218004},
    {"bomb_of_the_signed_size", kBomb, kBomb, kSha | kIndex, PackageFetch::Failed, false, 0},
    {"bomb_after_the_checked_directory", kRelease, kBomb, kSha | kIndex, PackageFetch::Failed, false, 218004},
    {"download_fails_after_the_entries", kRelease, "checked_release_other_tail.zip", kSha | kIndex,
        PackageFetch::Failed, false, 218004},
    {"unchanged_file_left_in_place", kRelease, kRelease, kSha | kIndex, PackageFetch::Whole, true, 200004, 200004,
        {"game/readme.txt=" + Text()}},
    {"indexed_file_left_in_place_after_digest", kRelease, kRelease, kSha | kIndexFile, PackageFetch::Whole, false, 0,
        200004, {"game/readme.txt=" + Text()}},
    {"indexed_file_of_another_digest_unpacked", kRelease, kRelease, kSha | kIndexFile | kOtherDigest,
        PackageFetch::Whole, false, 0, 218004, {"game/readme.txt=" + Text()}},
    {"indexed_file_passed_over_by_local_headers", kRelease, kRelease, kIndexFile, PackageFetch::Whole, true, 200004,
        200004, {"game/readme.txt=" + Text()}},
};

// The index of the installation as the release left it, but the record of
// readme.txt with another digest when asked; then data.pak replaced by a file
// of the same size and time.
void IndexInstallation(const fs::path& install, int told, fs::file_time_type time) {
    IndexBuilder builder;
    ASSERT_TRUE(SavePackageFiles(Package(kRelease), install.parent_path() / "files.saved"));
    AddSavedFiles(builder, install.parent_path() / "files.saved");
    for (IndexRecord& record : builder.records)  // the digest follows the name
        if ((told & kOtherDigest) && builder.names.substr(record.nameOffset, record.nameLength).ends_with("readme.txt"))
            builder.names[record.nameOffset + record.nameLength] ^= 1;
    ASSERT_TRUE(WriteInstalledIndex(install, builder));
    WriteBytes(install / "game/data.pak.new", std::string(200000, 'x'));
    fs::rename(install / "game/data.pak.new", install / "game/data.pak");
    fs::last_write_time(install / "game/data.pak", time);
}

// The whole package's files kept aside while it is applied come back whole or not at all.
TEST(SavedPackageFiles, AreAddedOnlyWhole) {
    ScratchDir scratch{"saved"};
    const fs::path saved = scratch.path / "files.saved";
    ASSERT_TRUE(SavePackageFiles(Package(kRelease), saved));
    IndexBuilder whole;
    AddSavedFiles(whole, saved);
    EXPECT_EQ(whole.records.size(), 3u);  // readme.txt, data.pak and bin/run.sh: files only
    const auto size = fs::file_size(saved);
    for (const auto cut : {size - 1, size - 12, std::uintmax_t{9}}) {
        fs::resize_file(saved, cut);
        IndexBuilder cutShort;
        AddSavedFiles(cutShort, saved);
        EXPECT_TRUE(cutShort.records.empty()) << cut;
    }
}

void PrintTo(const WholeCase& row, std::ostream* out) { *out << row.name; }

class WholePackage : public testing::TestWithParam<WholeCase> {};

std::uint64_t BytesBelow(const fs::path& root) {
    std::uint64_t bytes = 0;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec))
        if (it->is_regular_file(ec)) bytes += it->file_size(ec);
    return bytes;
}

TEST_P(WholePackage, UnpacksWhileArrivingOnlyWhatIsCheckedAndChanged) {
    const WholeCase& row = GetParam();
    ScratchDir scratch{"whole"};
    const fs::path install = scratch.path / "game", extraction = install / "_update_temp";
    WriteTree(install, row.installed);
    WriteTree(install, {"game/data.pak=" + std::string(200000, 'x')});
    const auto before = fs::file_time_type::clock::now() - std::chrono::hours(1);
    for (const fs::path& file : {install / "game/readme.txt", install / "game/data.pak"})
        if (fs::exists(file)) fs::last_write_time(file, before);
    // As the file system keeps it: some round it (Wine to whole seconds).
    const auto kept = fs::last_write_time(install / "game/data.pak");
    if (row.told & kIndexFile) IndexInstallation(install, row.told, kept);
    std::ifstream told(Package("checked_release.check"));
    std::string sha, size, index;
    told >> sha >> size >> index;
    PackageCheck check;
    if (row.told & kSha) check = {sha, size};
    if (row.told & kIndex) check.indexSha256 = index;
    std::uint64_t peak = 0;
    // A package that changed since its directory was read answers the
    // download's If-Range with the whole file.
    const bool changed = std::string(row.whole) != row.ranged;
    DownloadEnvironment environment{[] { return DownloadClock::now(); }, [](DownloadClock::duration) {},
        [] { return 0.5; },
        [&](const HttpRequest& r, const HttpHandlers& h) {
            HttpRequest asked = r;
            if (changed && r.range.starts_with("bytes=0-") && r.range != "bytes=0-0") asked.range.clear();
            return RemoteRead::Serve(Package(asked.range.empty() ? row.whole : row.ranged), asked, h,
                [&] { peak = std::max(peak, BytesBelow(extraction)); });
        }};
    FetchedPackage fetched = FetchUpdatePackage(install / "update.zip", extraction, check, environment);
    EXPECT_EQ(fetched.how, row.how);
    EXPECT_LE(peak, row.mostWritten);
    if (row.how == PackageFetch::Failed) {
        EXPECT_FALSE(fetched.streamed.complete);  // stopped, not drained
        EXPECT_FALSE(fs::exists(extraction));
        return;
    }
    EXPECT_EQ(AdoptStreamedZip(install / "update.zip", extraction, fetched.streamed), row.streamed);
    EXPECT_EQ(fetched.streamed.written.empty(), !row.streamed);
    if (!row.streamed) {
        EXPECT_TRUE(ExtractZip(install / "update.zip", extraction, InstalledCheck(fetched.inPlace)));
    }
    EXPECT_EQ(BytesBelow(extraction), row.extracted);
    EXPECT_EQ(fetched.inPlace.leftInPlace, row.extracted == 218004 ? 0u : 1u);
    // The file left in place is listed for the delete phase and untouched by the copy phase.
    ForgetInstalledEntries(fetched.inPlace);  // as the unpacking does: the index is read no more
    fs::remove(install / "update.zip");
    fs::remove(install / kInstalledIndexName);
    EXPECT_EQ(CopyNewFiles(extraction, install), 0u);
    EXPECT_EQ(fs::last_write_time(install / "game/readme.txt") == kept, row.extracted != 218004);
    EXPECT_EQ(PackageFileCount(fetched.listing), fetched.streamed.byDirectory ? 3u : 0u);
    EXPECT_EQ(BytesBelow(install), 218004u);
}

INSTANTIATE_TEST_SUITE_P(ExtractZip, WholePackage, testing::ValuesIn(kWholeCases),
    [](const testing::TestParamInfo<WholeCase>& info) { return info.param.name; });

}  // namespace

TEST(ExtractZip, MissingPackageOrDestinationFailsAndEveryCallIsLogged) {
    Extraction x;
    LogCapture log;
    EXPECT_FALSE(x.Run("no_such_package.zip"));
    EXPECT_FALSE(CheckZip(Package("no_such_package.zip")));
    EXPECT_FALSE(x.Run(""));  // a folder is no package
    EXPECT_FALSE(ExtractZip(Package("py_nested.zip"), x.scratch.path / "missing"));
    EXPECT_FALSE(ExtractZip(Package("py_nested.zip"), x.destination / "kept.txt"));  // a file is no destination
    ExpectTree(ReadTree(x.scratch.path), {"dest/kept.txt=kept"});
    ExpectLog(log.Messages(),
        {"ExtractZip to ~/dest", "no_such_package.zip refused: the package cannot be opened", "ExtractZip to ~/dest",
            " refused: *", "ExtractZip to ~/missing", "ExtractZip to ~/dest/kept.txt"},
        x.scratch.path, true);
}
