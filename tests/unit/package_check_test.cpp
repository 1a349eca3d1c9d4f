// The package keys of the remote version.txt and the check of a downloaded
// body against them; SHA-256 and its hex form.

#include "integrity/package_check.h"
#include "test_support.h"
#include "version/version_file.h"

namespace {

const std::string kAbcSha256 = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

std::string HexOf(const std::string& bytes) {
    Sha256Digest digest{};
    EXPECT_TRUE(Sha256Of(bytes, digest));
    return DigestToHex(digest);
}

std::string MismatchFor(const PackageCheck& check, const std::string& body) {
    BodyTally tally = StartTally(check);
    TallyBody(tally, body.data(), 1);  // in two pieces, as a download delivers it
    TallyBody(tally, body.data() + 1, body.size() - 1);
    return WideToUtf8(DescribeMismatch(check, tally));
}

}  // namespace

TEST(Sha256, KnownDigests) {
    EXPECT_EQ(HexOf(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(HexOf("abc"), kAbcSha256);
    EXPECT_EQ(HexOf(std::string(1 << 20, 'a')), "9bc1b2a288b26af7257a36277ae3816a7d4f16e89c1e7e77d0a5c48bad62b360");
}

TEST(PackageCheck, BodyAgainstPublishedKeys) {
    struct Row {
        const char* name;
        PackageCheck check;
        std::string expectedMismatch;
    } rows[] = {
        {"keys absent", {}, ""},
        {"match", {kAbcSha256, "3"}, ""},
        {"upper-case hex", {"BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD", "3"}, ""},
        {"digest differs", {std::string(64, '0'), {}},
            "sha256 expected " + std::string(64, '0') + ", actual " + kAbcSha256},
        {"size differs", {{}, "4"}, "size expected 4, actual 3"},
        {"both differ", {std::string(64, 'f'), "2"},
            "size expected 2, actual 3; sha256 expected " + std::string(64, 'f') + ", actual " + kAbcSha256},
        {"size not a number", {{}, "3 bytes"}, "size expected 3 bytes, actual 3"},
        {"digest not hex", {"abc", {}}, "sha256 expected abc, actual " + kAbcSha256},
    };
    for (const auto& row : rows) EXPECT_EQ(MismatchFor(row.check, "abc"), row.expectedMismatch) << row.name;
}

TEST(ReadVersionFile, PackageKeysAreReadButNeverWrittenLocally) {
    ScratchDir dir;
    WriteBytes(dir.path / "remote.txt",
        "game-version: 2\nUpdate-SHA256: AB\nupdate-size: 10\nmaps-sha256: cd\n"
        "maps-size:  7 \r\nsignature: xyz\n");
    VersionInfo info{"0.0.0", "0.0.0"};
    ASSERT_TRUE(ReadVersionFile(dir.path / "remote.txt", info));
    EXPECT_EQ(info.updatePackage.sha256, "AB");
    EXPECT_EQ(info.updatePackage.size, "10");
    EXPECT_EQ(info.mapsPackage.sha256, "cd");
    EXPECT_EQ(info.mapsPackage.size, "7");

    VersionInfo plain{"0.0.0", "0.0.0"};
    WriteBytes(dir.path / "plain.txt", "game-version: 2\n");
    ASSERT_TRUE(ReadVersionFile(dir.path / "plain.txt", plain));
    EXPECT_FALSE(
        plain.updatePackage.sha256 || plain.updatePackage.size || plain.mapsPackage.sha256 || plain.mapsPackage.size);

    ASSERT_TRUE(WriteVersionFile(dir.path / "version.txt", info));
    EXPECT_EQ(ReadBytes(dir.path / "version.txt"), "game-version: 2\r\nupdater-version: 0.0.0\r\n");
}
