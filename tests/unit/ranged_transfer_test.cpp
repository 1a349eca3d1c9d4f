// How an answer is judged against a ranged request: only one that continues
// exactly what was asked for is stored.

#include <gtest/gtest.h>

#include "base/decimal.h"
#include "net/ranged_transfer.h"

TEST(JudgeResponse, OnlyAnExactContinuationIsStored) {
    const RangeRequest resume{.url = L"u", .from = 100, .validator = "\"v1\"", .total = 1000};
    const RangeRequest plain{.url = L"u", .sizeLimit = 500};
    const RangeRequest slice{.url = L"u", .from = 100, .to = 200};
    const RangeRequest declared{.url = L"u", .from = 100, .declaredSize = 1000, .wholeBodyRestarts = true};
    const RangeRequest restartable{
        .url = L"u", .from = 100, .validator = "\"v1\"", .total = 1000, .wholeBodyRestarts = true};
    auto partial = [](const char* range, const char* etag = "", const char* modified = "") {
        return HttpHead{206, {}, range, etag, modified, {}};
    };
    struct Row {
        const char* name;
        const RangeRequest& request;
        HttpHead head;
        Verdict verdict;
    } rows[] = {
        {"206 continuing", resume, partial("bytes 100-999/1000", "\"v1\""), Verdict::Continue},
        {"206 without a validator", resume, partial("bytes 100-999/1000"), Verdict::Continue},
        {"206 from another byte", resume, partial("bytes 90-999/1000", "\"v1\""), Verdict::Mismatch},
        {"206 naming another size", resume, partial("bytes 100-1099/1100", "\"v1\""), Verdict::Mismatch},
        {"206 short of the end", resume, partial("bytes 100-899/1000", "\"v1\""), Verdict::Mismatch},
        {"206 with another ETag", resume, partial("bytes 100-999/1000", "\"v2\""), Verdict::Mismatch},
        {"206 with a weak ETag and another date", resume, partial("bytes 100-999/1000", "W/\"v1\"", "Mon"),
            Verdict::Mismatch},
        {"206 to a plain GET", plain, partial("bytes 0-9/10"), Verdict::Refuse},
        {"200 to a range", resume, HttpHead{200, 1000}, Verdict::Mismatch},
        {"200 to a range that may restart", restartable, HttpHead{200, 1000}, Verdict::StoreWhole},
        {"416", resume, HttpHead{416}, Verdict::Mismatch},
        {"503", resume, HttpHead{503}, Verdict::Refuse},
        {"201 to a plain GET", plain, HttpHead{201}, Verdict::Refuse},
        {"204 to a plain GET", plain, HttpHead{204, 0}, Verdict::Refuse},
        {"200 over the size limit", plain, HttpHead{200, 501}, Verdict::TooLarge},
        {"200 without a length", plain, HttpHead{200}, Verdict::StoreWhole},
        {"a slice", slice, partial("bytes 100-199/1000"), Verdict::Continue},
        {"a slice served to the end", slice, partial("bytes 100-999/1000"), Verdict::Mismatch},
        {"206 naming another size than declared", declared, partial("bytes 100-1099/1100"), Verdict::WrongSize},
        {"200 of another length than declared", declared, HttpHead{200, 999}, Verdict::WrongSize},
    };
    for (const Row& row : rows) {
        std::wstring why;
        EXPECT_EQ(JudgeResponse(row.request, row.head, why), row.verdict) << row.name;
    }
}

TEST(ParseRetryAfter, DeltaSecondsOnly) {
    EXPECT_EQ(ParseRetryAfter(" 2 "), std::chrono::seconds(2));
    EXPECT_EQ(ParseRetryAfter("Fri, 31 Dec 1999 23:59:59 GMT"), std::nullopt);
    EXPECT_EQ(ParseRetryAfter(""), std::nullopt);
}

TEST(ParseDecimal, OneToNineteenDigitsOnly) {
    std::uint64_t value = 0;
    EXPECT_TRUE(ParseDecimal("9999999999999999999", value) && value == 9999999999999999999u);
    for (const char* text : {"", "12a", " 1", "+1", "1:", "/", "10000000000000000000"})
        EXPECT_FALSE(ParseDecimal(text, value)) << text;
}
