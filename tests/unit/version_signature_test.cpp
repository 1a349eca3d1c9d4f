// The signature line of version.txt: base64, DER and key parsing, and the
// platform's ECDSA P-256 verification (CNG under Wine, libcrypto natively),
// with signatures made by `openssl dgst -sha256 -sign`.

#include "version/version_signature.h"
#include "integrity/base64.h"
#include "integrity/release_key.h"
#include "integrity/signature.h"
#include "test_support.h"

namespace {

// tests/e2e/keys/release_test_key.pub.pem
const std::string kKey =
    "-----BEGIN PUBLIC KEY-----\n"
    "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEYZUzjrGwYu7w3osJfC6AVL/qHJ4M\n"
    "6QrOLHPCI4HE/PvGJtHJ9wcLq7ysRiASRa1yclgkPwTFH9SoLjl06hNRjQ==\n"
    "-----END PUBLIC KEY-----\n";
const std::string kText = "game-version: 1.2.4\r\nupdater-version: 1.0.0\r\nupdate-size: 3\r\n";
// Over kText with that key (r and s both need a leading zero byte in DER).
const std::string kSignature =
    "MEYCIQDvb3VAeS/pwS7GL9Lkzjlygx0jPnO7hI5H1dQv05SkcgIhAJ92w+OMAKauIcHMUyPtUE3M7rAGCGDJzB696QR5G3N/";
// Over kText with another key.
const std::string kOtherKeySignature =
    "MEUCIQCo61wsxtR9/y+IAta9dy+XPiQHXKaPUhAddlE8dhDadQIgaLqkvqe33+oNmM7zJZSkohTx+klggDulrcIFGebZpEg=";
// Over "game-version: 1.2.4\nupdater-version: 1.0.0\n" with the key.
const std::string kLfSignature =
    "MEQCIG1yu69dBlSExhPfwiTdibVZ2NlVhhDUm/6VQ1vG8uMTAiAT8dtHZOkl2NE2ve09wP6YyCF3qdV0qWFcL1WAGotahg==";

}  // namespace

TEST(VersionSignature, Verdicts) {
    using enum SignatureVerdict;
    struct Row {
        const char* name;
        std::string file;
        SignatureVerdict expected;
    } rows[] = {
        {"valid, last line", kText + "signature: " + kSignature + "\r\n", Valid},
        {"valid, last line without line end", kText + "signature: " + kSignature, Valid},
        {"valid, between LF lines", "game-version: 1.2.4\nSignature : " + kLfSignature + "\nupdater-version: 1.0.0\n",
            Valid},
        {"valid, first line", "Signature: " + kLfSignature + "\ngame-version: 1.2.4\nupdater-version: 1.0.0\n", Valid},
        {"missing", kText, Missing},
        {"made with another key", kText + "signature: " + kOtherKeySignature + "\r\n", Wrong},
        {"over different bytes", "game-version: 1.2.5\r\n" + kText.substr(21) + "signature: " + kSignature + "\r\n",
            Wrong},
        {"line end not removed with it", kText + "signature: " + kSignature + "\r\n\r\n", Wrong},
        {"malformed base64", kText + "signature: " + kSignature.substr(1) + "\r\n", Malformed},
        {"base64 of no DER", kText + "signature: AAAA\r\n", Malformed},
        {"two signature lines", kText + "signature: " + kSignature + "\r\nsignature: " + kSignature + "\r\n",
            Malformed},
    };
    for (const auto& row : rows) EXPECT_EQ(CheckVersionSignature(row.file, kKey), row.expected) << row.name;
    EXPECT_EQ(
        CheckVersionSignature(kText, "-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----\n"), KeyUnusable);
}

// A build without a release key reads a version.txt whatever its signature
// line says; a build with one refuses an unsigned file.
TEST(VersionSignature, FollowsTheBuildsReleaseKey) {
    LogCapture log;
    ScratchDir dir;
    WriteBytes(dir.path / "remote.txt", kText + "signature: not-a-signature\r\n");
    EXPECT_EQ(RemoteVersionIsSigned(dir.path / "remote.txt"), ReleasePublicKeyPem().empty());
    if (!ReleasePublicKeyPem().empty()) {
        EXPECT_EQ(log.Messages().back(),
            "Remote version.txt refused: its signature line is malformed. Proceeding without update.");
    }
}

TEST(Base64, DecodesStrictlyAndRoundTrips) {
    struct Row {
        std::string text;
        bool valid;
        std::string bytes;
    } rows[] = {
        {"", true, ""},
        {"Zg==", true, "f"},
        {"Zm8=", true, "fo"},
        {"Zm9v", true, "foo"},
        {"/+8A", true, std::string("\xFF\xEF\x00", 3)},
        {"Zm9", false, ""},
        {"Zm=v", false, ""},
        {"Z===", false, ""},
        {"Zm9v\n", false, ""},
        {"Zm 9", false, ""},
    };
    for (const auto& row : rows) {
        std::string bytes;
        EXPECT_EQ(DecodeBase64(row.text, bytes), row.valid) << row.text;
        if (!row.valid) continue;
        EXPECT_EQ(bytes, row.bytes) << row.text;
        EXPECT_EQ(EncodeBase64(bytes), row.text);
    }
}

TEST(DerSignature, StrictEncodingToRawHalves) {
    const std::string r1s2("\x30\x06\x02\x01\x01\x02\x01\x02", 8);  // r = 1, s = 2: padded to 32 bytes each
    RawSignature raw{};
    ASSERT_TRUE(ParseDerSignature(r1s2, raw));
    RawSignature want{};
    want[31] = 1, want[63] = 2;
    EXPECT_EQ(raw, want);
    for (const std::string& bad : {std::string("\x30\x07\x02\x02\x00\x01\x02\x01\x02", 9),  // r not minimally encoded
             std::string("\x30\x06\x02\x01\x81\x02\x01\x02", 8),                            // r negative
             r1s2 + '\0',                                                                   // a byte after the sequence
             "\x30\x07" + r1s2.substr(2),                                                   // sequence length wrong
             std::string("\x30\x06\x02\x01\x01\x03\x01\x02", 8)})                           // s not an INTEGER
        EXPECT_FALSE(ParseDerSignature(bad, raw)) << testing::PrintToString(bad);
}
