// The release tool's steps below its checks: the command line, a package
// written and read back with the updater's reader, and version.txt signed so
// that the updater accepts it.

#include "integrity/release_key.h"
#include "integrity/sha256.h"
#include "release/package_tree.h"
#include "release/package_writer.h"
#include "release/read_back.h"
#include "release/release_options.h"
#include "release/release_version.h"
#include "test_support.h"
#include "version/version_signature.h"
#include "zip/zip_extract.h"
#include "zip/zip_format.h"

TEST(ParseReleaseOptions, TakesEachOptionOnceAndVersionsThatFitALine) {
    const std::vector<std::string> good{"updater-release", "--game-dir", "g", "--maps-dir", "m", "--game-version",
        "1.2", "--updater-version", "3", "--out", "o"};
    ReleaseOptions options;
    auto parse = [&](std::vector<std::string> args) {
        std::vector<char*> argv;
        for (auto& arg : args) argv.push_back(arg.data());
        std::string error;
        return ParseReleaseOptions(static_cast<int>(argv.size()), argv.data(), options, error);
    };
    ASSERT_TRUE(parse(good));
    EXPECT_EQ(options.gameVersion + "|" + options.updaterVersion + "|" + options.outDir.string(), "1.2|3|o");
    auto with = [&](std::vector<std::string> extra) {
        extra.insert(extra.begin(), good.begin(), good.end());
        return extra;
    };
    EXPECT_TRUE(parse(with({"--sign-key", "k.pem"})));
    EXPECT_FALSE(parse(with({"--out", "p"}))) << "an option twice";
    EXPECT_FALSE(parse(with({"--level", "9"}))) << "an unknown option";
    EXPECT_FALSE(parse(with({"--sign-key"}))) << "an option without its value";
    for (const char* version : {" 1.2", "1.2 ", "", "1.2\n3"}) {
        std::vector<std::string> args = good;
        args[6] = version;
        EXPECT_FALSE(parse(args)) << version;
    }
}

TEST(WritePackage, ReadsBackAsTheUpdaterExtractsIt) {
    ScratchDir dir("release");
    WriteTree(dir.path / "game", {"a.txt=alpha", "Data/b.bin=" + std::string(70000, 'b'), "Data/empty.dat"});
    const PackageTree tree = ScanPackageTree(dir.path / "game", "game directory");
    ASSERT_EQ(tree.files.size(), 3u);
    std::string error;
    ASSERT_TRUE(WritePackage(tree.files, dir.path / "update.zip", error)) << error;
    EXPECT_TRUE(ReadBackPackage(dir.path / "update.zip", tree.files, error)) << error;
    std::filesystem::create_directories(dir.path / "out");
    EXPECT_TRUE(ExtractZip(dir.path / "update.zip", dir.path / "out"));
    ExpectTree(ReadTree(dir.path / "out"), {"Data/b.bin=" + std::string(70000, 'b'), "Data/empty.dat", "a.txt=alpha"});
    // A package that lacks a file the tree holds is refused.
    std::vector<PackageFile> more = tree.files;
    more.push_back(more.front());
    more.back().name = "missing.txt";
    EXPECT_FALSE(ReadBackPackage(dir.path / "update.zip", more, error));
    // Each central entry carries its content's SHA-256, and the index digest covers the directory.
    ZipInput input;
    ZipDirectory directory;
    ASSERT_TRUE(OpenZipInput(dir.path / "update.zip", input) && FindZipDirectory(input, directory));
    std::string central(static_cast<std::size_t>(input.size - directory.offset), '\0');
    ASSERT_TRUE(ReadAt(input, directory.offset, central.data(), central.size()));
    std::uint64_t at = directory.offset;
    for (std::uint64_t i = 0; i < directory.entryCount; ++i) {
        ZipEntry entry;
        ASSERT_TRUE(ReadCentralEntry(input, at, input.size, entry, at));
        Sha256Digest digest{};
        ASSERT_TRUE(Sha256Of(ReadBytes(dir.path / "game" / entry.name), digest));
        EXPECT_EQ(entry.contentSha256, std::string(digest.begin(), digest.end())) << entry.name;
    }
    PackageDigest package;
    Sha256Digest index{};
    ASSERT_TRUE(DigestPackage(dir.path / "update.zip", package) && Sha256Of(central, index));
    EXPECT_EQ(package.indexSha256, DigestToHex(index));
    const std::string text = ReleaseVersionText("1.2.4", "1.0.0", package, package);
    EXPECT_NE(text.find("\r\nupdate-index-sha256: " + DigestToHex(index) + "\r\n"), std::string::npos) << text;
    PackageDigest digest;  // of one byte, read in one short read
    WriteBytes(dir.path / "one", "a");
    ASSERT_TRUE(DigestPackage(dir.path / "one", digest));
    EXPECT_EQ(std::to_string(digest.size) + " " + digest.sha256,
        "1 ca978112ca1bbdcafac231b39a23dc4da786eff8147c4e72b9807785afee48bb");
}

TEST(SignVersionText, MakesWhatTheUpdaterAccepts) {
    const std::filesystem::path key = std::filesystem::path(UPDATER_TEST_KEYS) / "release_test_key.pem";
    std::string text = ReleaseVersionText("1.2.4", "1.0.0", {3, std::string(64, 'a')}, {5, std::string(64, 'b')});
    std::string error;
    SigningKey loaded;
    ASSERT_TRUE(LoadSigningKey(key, {}, loaded, error)) << error;
    ASSERT_TRUE(SignVersionText(text, loaded, error)) << error;
    const std::string pem = ReadBytes(std::filesystem::path(UPDATER_TEST_KEYS) / "release_test_key.pub.pem");
    EXPECT_EQ(CheckVersionSignature(text, pem), SignatureVerdict::Valid);
    EXPECT_FALSE(LoadSigningKey(key.parent_path() / "missing.pem", {}, loaded, error));
}
