#include "net/http_exchange_policy.h"
#include "test_support.h"

// A request is sent again once for each reason, never for another error.
TEST(HttpExchangePolicy, ResendsOnceForEachReason) {
    const struct {
        std::uint32_t error;
        Resends before;
        Resend resend;
    } rows[] = {
        {kClientCertificateNeeded, {}, Resend::WithoutClientCertificate},
        {kClientCertificateNeeded, {true, false}, Resend::No},  // the server demands one
        {kClientCertificateNeeded, {false, true}, Resend::WithoutClientCertificate},
        {kResendRequest, {}, Resend::Again}, {kResendRequest, {true, false}, Resend::Again},
        {kResendRequest, {false, true}, Resend::No},
        {12002, {}, Resend::No},  // a timeout goes to the download's own retries
        {12175, {}, Resend::No},  // a certificate refused
    };
    for (const auto& row : rows) {
        Resends done = row.before;
        EXPECT_EQ(ResendAfter(row.error, done), row.resend) << row.error;
        EXPECT_EQ(
            done.withoutCertificate, row.before.withoutCertificate || row.resend == Resend::WithoutClientCertificate);
        EXPECT_EQ(done.again, row.before.again || row.resend == Resend::Again);
    }
}

// The session is never dropped; the connection only after a network failure or a refusal.
TEST(HttpExchangePolicy, AnIncompleteExchangeDropsItsRequestOrConnection) {
    const struct {
        HttpEnd end;
        Dropped dropped;
    } rows[] = {
        {HttpEnd::Complete, Dropped::Request},
        {HttpEnd::Stopped, Dropped::Request},
        {HttpEnd::Failed, Dropped::Connection},
        {HttpEnd::Unreachable, Dropped::Connection},
        {HttpEnd::Refused, Dropped::Connection},
    };
    for (const auto& row : rows) EXPECT_EQ(DroppedAfter(row.end), row.dropped) << static_cast<int>(row.end);
}
