#include "net/http_exchange_policy.h"
#include "test_support.h"

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
