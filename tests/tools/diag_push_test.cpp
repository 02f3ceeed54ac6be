#include "push/server_fixture.hpp"
#include "support/process.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace pellan {
namespace {

using namespace std::chrono_literals;

const std::filesystem::path kDiag = PELLAN_DIAG_EXECUTABLE;

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        result.push_back(line);
    }
    return result;
}

class DiagPushTest : public ::testing::Test {
protected:
    test::ChildProcess start(const std::vector<std::string>& args) {
        return test::ChildProcess(kDiag, args, test::baseEnvironment({}), dir / "out", dir / "err");
    }

    test::TempDir dir;
};

TEST_F(DiagPushTest, PrintsEveryMessageOnALineOfItsOwnAsAPageReceivesIt) {
    test::RunningServer fixture;
    ASSERT_NE(fixture.port, 0);
    auto diag = start({"push", "--port", std::to_string(fixture.port), "--count", "3"});
    ASSERT_TRUE(fixture.watch.waitFor("WebSocket client connected"));
    fixture.server.pushDeviceRemoval("TRQ-PN1-01\nsecond line");
    ASSERT_EQ(diag.wait(10s), 0) << test::readFile(dir / "err");

    const auto out = lines(test::readFile(dir / "out"));
    ASSERT_EQ(out.size(), 3U) << test::readFile(dir / "out");
    SCOPED_TRACE(test::readFile(dir / "out"));
    EXPECT_EQ(nlohmann::json::parse(out[0])["type"], "logs");
    EXPECT_EQ(nlohmann::json::parse(out[1])["log"]["message"], "WebSocket client connected");
    EXPECT_EQ(out[2], R"({"hostname":"TRQ-PN1-01\nsecond line","type":"device-removal"})");
    // It left like a page: with the closing handshake.
    EXPECT_TRUE(fixture.watch.waitFor("WebSocket client disconnected"));
}

TEST_F(DiagPushTest, EndsWhenTheServerStops) {
    test::RunningServer fixture;
    ASSERT_NE(fixture.port, 0);
    auto diag = start({"push", "--host", "localhost", "--port", std::to_string(fixture.port),
                       "--origin", "http://localhost:8000"});
    ASSERT_TRUE(fixture.watch.waitFor("WebSocket client connected"));
    fixture.stopAndJoin();
    ASSERT_EQ(diag.wait(10s), 0);
    EXPECT_NE(test::readFile(dir / "err").find("closed the connection (code 1001)"),
              std::string::npos);
}

TEST_F(DiagPushTest, RefusedUpgradeOrNoServerExitsWithFailure) {
    test::RunningServer fixture;
    ASSERT_NE(fixture.port, 0);
    {
        auto diag = start({"push", "--port", std::to_string(fixture.port), "--origin",
                           "http://evil.example.com:8000"});
        EXPECT_EQ(diag.wait(10s), 1);
        EXPECT_NE(test::readFile(dir / "err").find("HTTP 403"), std::string::npos);
    }
    const std::uint16_t port = fixture.port;
    fixture.stopAndJoin();
    auto diag = start({"push", "--port", std::to_string(port)});
    EXPECT_EQ(diag.wait(15s), 1);
    EXPECT_NE(test::readFile(dir / "err").find("cannot connect"), std::string::npos);
}

TEST_F(DiagPushTest, BadArgumentsAreUsageErrors) {
    for (const std::vector<std::string>& args : {std::vector<std::string>{"push", "--port", "0"},
                                                 {"push", "--port", "65536"},
                                                 {"push", "--count", "x"},
                                                 {"push", "--host"},
                                                 {"push", "extra"}}) {
        auto diag = start(args);
        EXPECT_EQ(diag.wait(10s), 2) << args.back();
    }
    auto help = start({"push", "--help"});
    EXPECT_EQ(help.wait(10s), 0);
    EXPECT_NE(test::readFile(dir / "out").find("Usage: vantrel-diag push"), std::string::npos);
}

}  // namespace
}  // namespace pellan
