// vantrel-diag ping with real echoes: loopback, a namespace of the test's own, and signals.
#include "links/root/netns_environment.hpp"
#include "support/process.hpp"
#include "support/temp_dir.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>

namespace pellan {
namespace {

using ::testing::HasSubstr;
using ::testing::MatchesRegex;

constexpr auto kRunDeadline = std::chrono::seconds(30);

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        result.push_back(text.substr(start, end - start));
        start = end == std::string::npos ? text.size() : end + 1;
    }
    return result;
}

class VantrelDiagPingTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::runningAsRoot()) {
            GTEST_SKIP() << "needs root for raw ICMP sockets";
        }
    }
    test::TempDir dir_;
};

TEST_F(VantrelDiagPingTest, CountedRunPrintsEachProbeAndExitsZeroWhenAllAnswered) {
    test::ChildProcess diag(PELLAN_DIAG_EXECUTABLE, {"ping", "--count", "2", "127.0.0.1"},
                            test::baseEnvironment({}), dir_ / "out", dir_ / "err");
    EXPECT_EQ(diag.wait(kRunDeadline), 0);
    const auto out = lines(test::readFile(dir_ / "out"));
    ASSERT_EQ(out.size(), 3U) << test::readFile(dir_ / "out");
    const std::string probe = R"(127\.0\.0\.1 reachable time=[0-9]+\.[0-9]{3} ms round=)";
    EXPECT_THAT(out[0], MatchesRegex(probe + "1 socket=(raw|datagram)"));
    EXPECT_THAT(out[1], MatchesRegex(probe + "2 socket=(raw|datagram)"));
    EXPECT_EQ(out[2], "127.0.0.1: sent 2, answered 2");
}

class VantrelDiagSignalTest : public VantrelDiagPingTest,
                              public ::testing::WithParamInterface<int> {};

TEST_P(VantrelDiagSignalTest, EndlessRunEndsCleanlyOnTheSignalWithASummary) {
    test::ChildProcess diag(PELLAN_DIAG_EXECUTABLE, {"ping", "127.0.0.1"},
                            test::baseEnvironment({}), dir_ / "out", dir_ / "err");
    ASSERT_TRUE(test::waitUntil(
        [&] { return test::readFile(dir_ / "out").find("round=2") != std::string::npos; },
        kRunDeadline));
    diag.signal(GetParam());
    EXPECT_EQ(diag.wait(kRunDeadline), 0);  // Not 128 + signal: it was handled.
    const std::string out = test::readFile(dir_ / "out");
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back(), '\n');
    EXPECT_THAT(lines(out).back(), MatchesRegex(R"(127\.0\.0\.1: sent [0-9]+, answered [0-9]+)"));
    EXPECT_EQ(test::readFile(dir_ / "err"), "");
}

INSTANTIATE_TEST_SUITE_P(Signals, VantrelDiagSignalTest, ::testing::Values(SIGINT, SIGTERM),
                         [](const auto& instance) {
                             return instance.param == SIGINT ? "Int" : "Term";
                         });

TEST_F(VantrelDiagPingTest, ReportsEachAddressOfAStudioNetworkAndExitsOneForTheSilent) {
    test::NetnsEnvironment env;
    ASSERT_TRUE(env.ok()) << env.error();
    test::ChildProcess diag("/usr/sbin/ip",
                            {"netns", "exec", env.appNamespace(), PELLAN_DIAG_EXECUTABLE, "ping",
                             "--count", "1", "--timeout", "300",
                             test::NetnsEnvironment::kDeviceAddress, "198.18.7.7", "bogus"},
                            test::baseEnvironment({}), dir_ / "out", dir_ / "err");
    EXPECT_EQ(diag.wait(kRunDeadline), 1);
    const auto out = lines(test::readFile(dir_ / "out"));
    ASSERT_EQ(out.size(), 6U) << test::readFile(dir_ / "out") << test::readFile(dir_ / "err");
    EXPECT_THAT(out[0], MatchesRegex(R"(198\.18\.0\.2 reachable time=.* round=1 socket=raw)"));
    EXPECT_EQ(out[1], "198.18.7.7 unreachable (timed out) round=1 socket=raw");
    EXPECT_EQ(out[2], "bogus unreachable (address does not parse) round=1 socket=none");
    EXPECT_EQ(out[3], "198.18.0.2: sent 1, answered 1");
    EXPECT_EQ(out[4], "198.18.7.7: sent 1, answered 0");
    EXPECT_THAT(out[5], HasSubstr("bogus: sent 1, answered 0"));
}

}  // namespace
}  // namespace pellan
