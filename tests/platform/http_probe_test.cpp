#include "platform/http_probe.hpp"

#include "support/loopback_server.hpp"

#include <gtest/gtest.h>

#include <future>
#include <thread>

namespace pellan {
namespace {

using namespace std::chrono_literals;

TEST(HttpProbeTest, ReportsTheStatusOfWhateverAnswers) {
    for (int status : {200, 404, 503}) {
        test::LoopbackServer server(test::LoopbackServer::answerHttpStatus(status));
        HttpProbe probe;
        EXPECT_EQ(probe.get("127.0.0.1", server.port(), "/api/version", 800ms), status);
        EXPECT_NE(server.firstRequest().find("GET /api/version HTTP/1.1"), std::string::npos);
    }
}

TEST(HttpProbeTest, NothingListeningOrSilentPeerGivesZero) {
    std::uint16_t closedPort = 0;
    {
        test::LoopbackServer server(test::LoopbackServer::answerHttpStatus(200));
        closedPort = server.port();
    }
    HttpProbe probe;
    EXPECT_EQ(probe.get("127.0.0.1", closedPort, "/", 800ms), 0);

    test::LoopbackServer silent(test::LoopbackServer::neverAnswer());
    EXPECT_EQ(probe.get("127.0.0.1", silent.port(), "/", 100ms), 0);
}

TEST(HttpProbeTest, CancelEndsAWaitingProbeAtOnce) {
    test::LoopbackServer silent(test::LoopbackServer::neverAnswer());
    HttpProbe probe;
    auto result = std::async(std::launch::async,
                             [&] { return probe.get("127.0.0.1", silent.port(), "/", 60s); });
    silent.waitForConnection();
    probe.cancel();
    ASSERT_EQ(result.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(result.get(), 0);
}

}  // namespace
}  // namespace pellan
