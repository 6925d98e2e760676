#include <gtest/gtest.h>

#include "core/api/api_error.hpp"

namespace tessarin {
namespace {

// Written out rather than computed: the statuses each answer is true for, with their neighbours.
TEST(APIError, ClassifiesServerAnswersByStatusUnlessTheServersCodeSaysOtherwise) {
    const std::set<int> refusals{400, 403, 404, 410, 422, 499}, unavailable{403, 501, 502, 503};
    for (int status :
         {200, 399, 400, 401, 403, 404, 408, 409, 410, 422, 429, 499, 500, 501, 502, 503, 504}) {
        const auto error = APIError::server(status, std::nullopt, std::nullopt);
        EXPECT_EQ(error.isPermanentRefusal(), refusals.contains(status)) << status;
        EXPECT_EQ(error.isRealtimeUnavailable(), unavailable.contains(status)) << status;
    }
    EXPECT_TRUE(APIError::server(500, "ai_route_not_allowed", {}).isRealtimeUnavailable());
    EXPECT_FALSE(APIError::server(503, "ai_provider_not_configured", {}).isRealtimeUnavailable());
    // The server's own message, else its status.
    EXPECT_STREQ(APIError::server(400, "x", "Bad meeting").what(), "Bad meeting");
    EXPECT_STREQ(APIError::server(504, "x", std::nullopt).what(), "Notara answered HTTP 504.");
    EXPECT_EQ(APIError::decoding("Me").status(), std::nullopt);
}

}  // namespace
}  // namespace tessarin
