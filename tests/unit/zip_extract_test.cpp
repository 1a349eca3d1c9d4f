#include <gtest/gtest.h>

#include "services/zip_extract.h"
#include "test_support.h"
#include "zip_test_support.h"

using testing_support::LogCapture;
using testing_support::ReadBytes;
using testing_support::ScratchDir;
using testing_support::WriteBytes;
using zip_testing::Package;
using zip_testing::RepeatedText;
using zip_testing::TreeOf;

namespace fs = std::filesystem;

namespace {

// A destination inside a scratch folder, so a test can see whether anything
// appeared beside it.
struct Extraction {
    ScratchDir scratch{"zip"};
    fs::path destination = scratch.path / "dest";
    Extraction() { fs::create_directory(destination); }
    bool Run(const std::string& package) { return ExtractZip(Package(package), destination); }
    std::string Read(const std::wstring& relative) const { return ReadBytes(destination / WideToPath(relative)); }
};

std::string PoorlyCompressible() {
    std::string bytes(300000, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 7919 + (i >> 5)) & 0xFF);
    return bytes;
}

}  // namespace

TEST(ExtractZip, KeepsNestedAndEmptyFoldersOfZipfilePackage) {
    Extraction x;
    ASSERT_TRUE(x.Run("py_nested.zip"));
    std::vector<std::wstring> expected{L"a/", L"a/b/", L"a/b/c/", L"a/b/c/deep.txt", L"a/b/sibling.bin",
                                       L"a/empty_inner/", L"a/windows/", L"a/windows/sep.txt", L"empty_dir/", L"top.txt"};
    EXPECT_EQ(TreeOf(x.destination), expected);
    EXPECT_EQ(x.Read(L"a/b/c/deep.txt"), RepeatedText(60)) << "deflated over many buffers";
    EXPECT_EQ(x.Read(L"a/b/sibling.bin"), PoorlyCompressible()) << "stored";
    EXPECT_EQ(x.Read(L"a/windows/sep.txt"), "backslashes\n") << "'\\' is a separator";
    EXPECT_EQ(x.Read(L"top.txt"), "top\n");
}

TEST(ExtractZip, KeepsFoldersOfInfoZipPackage) {
    Extraction x;
    ASSERT_TRUE(x.Run("iz_tree.zip"));
    std::vector<std::wstring> expected{L"tree/", L"tree/empty/", L"tree/readme.txt", L"tree/sub/", L"tree/sub/deeper/",
                                       L"tree/sub/deeper/file.txt", L"tree/tool.sh"};
    EXPECT_EQ(TreeOf(x.destination), expected);
    EXPECT_EQ(x.Read(L"tree/sub/deeper/file.txt"), RepeatedText());
}

TEST(ExtractZip, EmptyPackageLeavesDestinationAlone) {
    Extraction x;
    WriteBytes(x.destination / "kept.txt", "kept");
    EXPECT_TRUE(x.Run("py_empty.zip"));
    EXPECT_EQ(TreeOf(x.destination), std::vector<std::wstring>{L"kept.txt"});
}

TEST(ExtractZip, OverwritesExistingFilesAndKeepsOthers) {
    Extraction x;
    WriteBytes(x.destination / "top.txt", "an older and much longer content than the new one");
    WriteBytes(x.destination / "a" / "b" / "c" / "deep.txt", "old");
    fs::permissions(x.destination / "a" / "b" / "c" / "deep.txt", fs::perms::owner_write | fs::perms::group_write |
                    fs::perms::others_write, fs::perm_options::remove);
    WriteBytes(x.destination / "a" / "mine.txt", "mine");
    ASSERT_TRUE(x.Run("py_nested.zip"));
    EXPECT_EQ(x.Read(L"top.txt"), "top\n");
    EXPECT_EQ(x.Read(L"a/b/c/deep.txt"), RepeatedText(60)) << "a read-only file is replaced too";
    EXPECT_EQ(x.Read(L"a/mine.txt"), "mine");
    ASSERT_TRUE(x.Run("py_nested.zip")) << "a second run over the first";
    EXPECT_EQ(x.Read(L"top.txt"), "top\n");
}

TEST(ExtractZip, DecodesUtf8AndCodePage437Names) {
    struct Row {
        const char* package;
        const wchar_t* name;  // the one file the package holds under that name
        const char* content;
    };
    const Row rows[] = {
        {"py_utf8.zip", L"caf\u00e9/na\u00efve \u2603.txt", "snowman\n"},  // flag bit 11
        {"py_utf8.zip", L"\u65e5\u672c/\u8a9e.txt", "cjk\n"},
        {"iz_utf8.zip", L"Data/\u00e9t\u00e9.txt", "accents\n"},  // UTF-8 without the flag
        {"bsdtar_utf8.zip", L"Data/\u00e9t\u00e9.txt", "accents\n"},
        {"7z_utf8.zip", L"Data/\u00e9t\u00e9.txt", "accents\n"},
        {"cp437.zip", L"caf\u00e9/\u00e4pfel \u00df.txt", "cp437\n"},  // 0x82 0x84 0xE1: not UTF-8
        {"unicode_path_field.zip", L"Data/\u65e5\u672c.txt", "info-zip\n"},  // the field over "Data/__.txt"
        {"unicode_path_field_stale.zip", L"Data/\u00e9t\u00e9.txt", "stale\n"},  // CRC of another name
    };
    for (const Row& row : rows) {
        Extraction x;
        ASSERT_TRUE(x.Run(row.package)) << row.package;
        EXPECT_EQ(x.Read(row.name), row.content) << row.package;
    }
}

TEST(ExtractZip, ReadsDataDescriptors) {
    Extraction x;
    ASSERT_TRUE(x.Run("py_descriptor.zip"));
    ASSERT_TRUE(x.Run("descriptor_nosig.zip"));
    ASSERT_TRUE(x.Run("iz_stream_descriptor.zip"));
    EXPECT_EQ(x.Read(L"d/deflated.txt"), RepeatedText());
    EXPECT_EQ(x.Read(L"d/stored.txt"), "stored after a descriptor\n");
    EXPECT_EQ(x.Read(L"n/one.txt"), RepeatedText());
    EXPECT_EQ(x.Read(L"n/two.txt"), "two\n");
    EXPECT_EQ(x.Read(L"-"), RepeatedText()) << "Info-ZIP names a piped entry '-'";
}

TEST(ExtractZip, ReadsZip64Packages) {
    Extraction x;
    ASSERT_TRUE(x.Run("py_zip64_many.zip")) << "65,602 entries";
    EXPECT_EQ(x.Read(L"first.txt"), "first\n");
    EXPECT_EQ(x.Read(L"many/last.txt"), "last\n");
    ASSERT_TRUE(x.Run("zip64_fields.zip"));
    EXPECT_EQ(x.Read(L"z/sixty-four.txt"), RepeatedText());
    EXPECT_EQ(x.Read(L"z/descriptor64.txt"), "d64\n");
    ASSERT_TRUE(x.Run("iz_stream_local64.zip"));
    EXPECT_EQ(x.Read(L"-"), RepeatedText());
    ASSERT_TRUE(x.Run("zip64_far.zip")) << "entry data 4.5 GiB into the file";
    EXPECT_EQ(x.Read(L"far/away.txt"), RepeatedText());
}

class UnsafeName : public testing::TestWithParam<const char*> {};

TEST_P(UnsafeName, FailsBeforeWritingAnything) {
    Extraction x;
    EXPECT_FALSE(x.Run(std::string("unsafe_") + GetParam() + ".zip"));
    EXPECT_TRUE(TreeOf(x.destination).empty()) << "not even the sound entry before it";
    EXPECT_FALSE(CheckZip(Package(std::string("unsafe_") + GetParam() + ".zip")));
    EXPECT_EQ(TreeOf(x.scratch.path), std::vector<std::wstring>{L"dest/"});
}

INSTANTIATE_TEST_SUITE_P(ExtractZip, UnsafeName,
                         testing::Values("dotdot", "dotdot_inner", "dotdot_backslash", "absolute", "absolute_backslash",
                                         "drive", "drive_relative", "unc", "nul", "device", "device_ext", "stream",
                                         "trailing_dot", "trailing_space", "empty"));

class DamagedPackage : public testing::TestWithParam<const char*> {};

TEST_P(DamagedPackage, FailsAndWritesOnlyInsideDestination) {
    Extraction x;
    EXPECT_FALSE(x.Run(std::string("damaged_") + GetParam() + ".zip"));
    EXPECT_FALSE(CheckZip(Package(std::string("damaged_") + GetParam() + ".zip")));
    auto written = TreeOf(x.destination);
    for (const auto& name : written) EXPECT_TRUE(name == L"good.txt" || name == L"bad.txt") << PathToWide(name);
    EXPECT_EQ(TreeOf(x.scratch.path).size(), 1 + written.size());
}

INSTANTIATE_TEST_SUITE_P(ExtractZip, DamagedPackage,
                         testing::Values("crc", "size_far_above", "declared_larger", "declared_smaller",
                                         "stored_sizes_differ", "encrypted", "method_bzip2", "method_deflate64",
                                         "corrupt_stream", "local_name_differs", "count", "central_truncated",
                                         "local_signature", "central_signature", "cut"));

TEST(ExtractZip, DamageFoundInTheDirectoryFailsBeforeWriting) {
    for (const char* kind : {"size_far_above", "stored_sizes_differ", "encrypted", "method_bzip2", "count",
                             "central_truncated", "central_signature", "cut"}) {
        Extraction x;
        EXPECT_FALSE(x.Run(std::string("damaged_") + kind + ".zip"));
        EXPECT_TRUE(TreeOf(x.destination).empty()) << kind;
    }
}

TEST(CheckZip, PassesEverySoundPackageAndWritesNothing) {
    LogCapture log;
    for (const char* sound : {"py_nested.zip", "py_empty.zip", "py_descriptor.zip", "descriptor_nosig.zip",
                              "iz_stream_descriptor.zip", "zip64_fields.zip", "zip64_far.zip", "unicode_path_field.zip"})
        EXPECT_TRUE(CheckZip(Package(sound))) << sound;
    EXPECT_FALSE(CheckZip(Package("no_such_package.zip")));
    EXPECT_TRUE(log.Messages().empty());
}

TEST(ExtractZip, MissingPackageOrDestinationFails) {
    Extraction x;
    EXPECT_FALSE(x.Run("no_such_package.zip"));
    EXPECT_FALSE(ExtractZip(Package("py_nested.zip"), x.scratch.path / "missing"));
    EXPECT_FALSE(fs::exists(x.scratch.path / "missing")) << "the destination is not created";
    WriteBytes(x.scratch.path / "file", "x");
    EXPECT_FALSE(ExtractZip(Package("py_nested.zip"), x.scratch.path / "file")) << "a file is no destination";
    EXPECT_FALSE(ExtractZip(Package(""), x.destination)) << "a folder is no package";
    EXPECT_TRUE(TreeOf(x.destination).empty());
}

TEST(ExtractZip, LogsDestinationOnEveryCall) {
    LogCapture log;
    Extraction x;
    x.Run("py_empty.zip");
    x.Run("unsafe_dotdot.zip");
    ExtractZip(Package("py_empty.zip"), x.scratch.path / "missing");
    std::string prefix = "ExtractZip to ";
    std::vector<std::string> expected{prefix + WideToUtf8(PathToWide(x.destination)),
                                      prefix + WideToUtf8(PathToWide(x.destination)),
                                      prefix + WideToUtf8(PathToWide(x.scratch.path / "missing"))};
    EXPECT_EQ(log.Messages(), expected);
}
