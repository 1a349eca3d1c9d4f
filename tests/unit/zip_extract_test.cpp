// ExtractZip over the packages of tests/zipgen/make_zips.py: one row per package.

#include <algorithm>

#include "base/text.h"
#include "test_support.h"
#include "zip/zip_extract.h"

namespace {

// The test text of make_zips.py: one line 400 times, `times` times over.
std::string Text(int times = 1) {
    std::string text;
    for (int i = 0; i < 400 * times; ++i) text += "The quick brown fox jumps over the lazy dog.\n";
    return text;
}

std::string PoorlyCompressible() {
    std::string bytes(300000, '\0');
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

struct SoundCase {
    const char* package;
    Tree extracted;  // besides kept.txt
};

const SoundCase kSoundCases[] = {
    {"py_nested.zip",
     {"a/b/c/deep.txt=" + Text(60), "a/b/sibling.bin=" + PoorlyCompressible(), "a/empty_inner/",
      "a/windows/sep.txt=backslashes\n", "empty_dir/", "top.txt=top\n"}},
    {"iz_tree.zip",
     {"tree/empty/", "tree/readme.txt=readme\n", "tree/sub/deeper/file.txt=" + Text(),
      "tree/tool.sh=#!/bin/sh\necho tool\n"}},
    {"py_empty.zip", {}},
    {"py_utf8.zip", {"café/naïve ☃.txt=snowman\n", "日本/語.txt=cjk\n"}},
    {"iz_utf8.zip", {"Data/été.txt=accents\n"}},  // UTF-8 without flag bit 11 nor Unicode path field
    {"bsdtar_utf8.zip", {"Data/été.txt=accents\n"}},
    {"7z_utf8.zip", {"Data/été.txt=accents\n"}},
    {"cp437.zip", {"café/äpfel ß.txt=cp437\n"}},                 // 0x82 0x84 0xE1: not UTF-8
    {"unicode_path_field.zip", {"Data/日本.txt=info-zip\n"}},    // the field over "Data/__.txt"
    {"unicode_path_field_stale.zip", {"Data/été.txt=stale\n"}},  // the field's CRC is of another name
    {"descriptor_sig.zip", {"d/deflated.txt=" + Text(), "d/stored.txt=stored after a descriptor\n"}},
    {"descriptor_nosig.zip", {"n/one.txt=" + Text(), "n/two.txt=two\n"}},
    {"iz_stream_descriptor.zip", {"-=" + Text()}},  // Info-ZIP names a piped entry "-"
    {"iz_stream_local64.zip", {"-=" + Text()}},
    {"zip64_fields.zip", {"z/descriptor64.txt=d64\n", "z/sixty-four.txt=" + Text()}},
    {"zip64_far.zip", {"far/away.txt=" + Text()}},                         // its data 4.5 GiB into the file
    {"py_zip64_many.zip", {"first.txt=first\n", "many/last.txt=last\n"}},  // 65,602 entries
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
    std::sort(files.begin(), files.end());
    EXPECT_EQ(checked, files);
    Extraction x;
    ASSERT_TRUE(x.Run(GetParam().package));
    Tree expected = GetParam().extracted;
    expected.push_back("kept.txt=kept");
    ExpectTree(ReadTree(x.destination), expected);
}

INSTANTIATE_TEST_SUITE_P(
    ExtractZip, SoundPackage, testing::ValuesIn(kSoundCases), [](const testing::TestParamInfo<SoundCase>& info) {
        return std::string(info.param.package).substr(0, std::string(info.param.package).find('.'));
    });

// Unsafe names and damaged packages fail; an unsafe name, or damage that the
// central directory shows, before anything is written. Nothing ever lands
// outside the destination, nor grows past the size its entry declares.
struct FailingCase {
    const char* package;
    bool writesNothing;
};

const FailingCase kFailingCases[] = {
    {"unsafe_dotdot", true},
    {"unsafe_dotdot_inner", true},
    {"unsafe_dotdot_backslash", true},
    {"unsafe_absolute", true},
    {"unsafe_absolute_backslash", true},
    {"unsafe_drive", true},
    {"unsafe_drive_relative", true},
    {"unsafe_unc", true},
    {"unsafe_nul", true},
    {"unsafe_device", true},
    {"unsafe_device_ext", true},
    {"unsafe_device_com", true},
    {"unsafe_stream", true},
    {"unsafe_trailing_dot", true},
    {"unsafe_trailing_space", true},
    {"unsafe_empty", true},
    {"damaged_crc", false},
    {"damaged_size_far_above", true},
    {"damaged_declared_larger", false},
    {"damaged_declared_smaller", false},
    {"damaged_declared_4gb", false},
    {"damaged_zip64_declared_1tb", false},
    {"damaged_bomb", false},
    {"damaged_stream_ends_early", false},
    {"damaged_stream_broken_after_content", false},
    {"damaged_stored_sizes_differ", true},
    {"damaged_encrypted", true},
    {"damaged_method_bzip2", true},
    {"damaged_method_deflate64", false},
    {"damaged_corrupt_stream", false},
    {"damaged_local_name_differs", false},
    {"damaged_count", true},
    {"damaged_central_truncated", true},
    {"damaged_zip64_split", true},
    {"damaged_local_signature", false},
    {"damaged_central_signature", true},
    {"damaged_cut", true},
};

class FailingPackage : public testing::TestWithParam<FailingCase> {};

TEST_P(FailingPackage, FailsWritingOnlyInsideTheDestination) {
    Extraction x;
    EXPECT_FALSE(x.Run(GetParam().package + std::string(".zip")));
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

INSTANTIATE_TEST_SUITE_P(ExtractZip, FailingPackage, testing::ValuesIn(kFailingCases),
                         [](const testing::TestParamInfo<FailingCase>& info) { return info.param.package; });

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
    ExpectLog(
        log.Messages(),
        {"ExtractZip to ~/dest", "ExtractZip to ~/dest", "ExtractZip to ~/missing", "ExtractZip to ~/dest/kept.txt"},
        x.scratch.path, true);
}
