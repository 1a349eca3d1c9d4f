#include "integrity/package_check.h"

#include "base/decimal.h"
#include "base/text.h"

namespace {

std::wstring Difference(const wchar_t* what, const std::string& expected, const std::string& actual) {
    return std::wstring(what) + L" expected " + Utf8ToWide(expected) + L", actual " + Utf8ToWide(actual);
}

void Append(std::wstring& text, const std::wstring& part) { text += (text.empty() ? L"" : L"; ") + part; }

}  // namespace

BodyTally StartTally(const PackageCheck& check) {
    BodyTally tally;
    tally.hashing = check.sha256.has_value();
    if (tally.hashing) tally.hash = StartSha256();
    return tally;
}

void TallyBody(BodyTally& tally, const void* data, std::size_t size) {
    tally.size += size;
    if (tally.hashing) AddToSha256(tally.hash, data, size);
}

std::wstring DescribeMismatch(const PackageCheck& check, BodyTally& tally) {
    std::wstring mismatch;
    std::uint64_t expectedSize = 0;
    if (check.size && !(ParseDecimal(*check.size, expectedSize) && expectedSize == tally.size))
        Append(mismatch, Difference(L"size", *check.size, std::to_string(tally.size)));
    if (check.sha256) {
        Sha256Digest expected{};
        Sha256Digest actual{};
        bool hashed = tally.hashing && FinishSha256(tally.hash, actual);
        if (!ParseHexDigest(*check.sha256, expected) || !hashed || expected != actual)
            Append(mismatch, Difference(L"sha256", *check.sha256, hashed ? DigestToHex(actual) : "(not computed)"));
    }
    return mismatch;
}
