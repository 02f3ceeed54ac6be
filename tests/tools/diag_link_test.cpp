// vantrel-diag link against vantrel-diag panel-sim, both as programs on a loopback address:
// usage, the lines of a scripted panel, and a reconnection after the simulator restarts.
#include "support/process.hpp"
#include "support/temp_dir.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <csignal>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace pellan {
namespace {

using ::testing::HasSubstr;
using Json = nlohmann::json;
using namespace std::chrono_literals;

constexpr auto kDeadline = 30s;

/// The JSON lines a program has written so far (a line still being written is left out).
std::vector<Json> jsonLines(const std::filesystem::path& file) {
    std::vector<Json> lines;
    std::istringstream text(test::readFile(file));
    std::string line;
    while (std::getline(text, line)) {
        if (text.eof()) {
            break;  // No newline yet: not complete.
        }
        lines.push_back(Json::parse(line, nullptr, false));
    }
    return lines;
}

std::size_t countLines(const std::vector<Json>& lines, const std::string& type,
                       const std::string& event = "") {
    std::size_t count = 0;
    for (const Json& line : lines) {
        count +=
            line.value("type", "") == type && (event.empty() || line.value("event", "") == event);
    }
    return count;
}

/// One vantrel-diag run in the background, its output in files of its own.
class Diag {
public:
    explicit Diag(const std::vector<std::string>& args)
        : child_(PELLAN_DIAG_EXECUTABLE, args, test::baseEnvironment({}), dir_ / "out.txt",
                 dir_ / "err.txt") {}
    std::vector<Json> lines() const { return jsonLines(dir_ / "out.txt"); }
    std::string err() const { return test::readFile(dir_ / "err.txt"); }
    std::string out() const { return test::readFile(dir_ / "out.txt"); }
    bool waitFor(const std::function<bool(const std::vector<Json>&)>& predicate) const {
        return test::waitUntil([&] { return predicate(lines()); }, kDeadline);
    }
    test::ChildProcess& process() { return child_; }

private:
    test::TempDir dir_;
    test::ChildProcess child_;
};

/// A simulator on an ephemeral port (or `port`), once it listens.
std::unique_ptr<Diag> simulator(const std::vector<std::string>& extra, std::uint16_t port = 0) {
    std::vector<std::string> args{"panel-sim", "--port", std::to_string(port)};
    args.insert(args.end(), extra.begin(), extra.end());
    auto sim = std::make_unique<Diag>(args);
    EXPECT_TRUE(sim->waitFor([](const auto& lines) { return countLines(lines, "listening") == 1; }))
        << sim->err();
    return sim;
}

std::uint16_t portOf(const Diag& sim) {
    return sim.lines().at(0).at("port").get<std::uint16_t>();
}

TEST(DiagLinkTest, UsageErrorsExitWithTwoAndExplain) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"link"}, "no ADDRESS and MODEL given"},
        {{"link", "127.0.0.1"}, "no MODEL given"},
        {{"link", "127.0.0.1", "TRQ-PN4", "extra"}, "unexpected argument 'extra'"},
        {{"link", "studio-panel", "TRQ-PN4"}, "ADDRESS must be an IPv4 address"},
        {{"link", "127.0.0.1", "TRQ-GPIO"}, "speaks no state messages"},
        {{"link", "--seconds", "0", "127.0.0.1", "TRQ-PN4"}, "--seconds takes a whole number"},
        {{"link", "--port=70000", "127.0.0.1", "TRQ-PN4"}, "--port takes a port number"},
        {{"link", "127.0.0.1", "TRQ-PN4", "--port"}, "--port needs a value"},
        {{"link", "--verbose", "127.0.0.1", "TRQ-PN4"}, "unknown option '--verbose'"},
        {{"panel-sim"}, "no --model given"},
        {{"panel-sim", "--model", "TRQ-GPIO"}, "sends no state messages"},
        {{"panel-sim", "--model", "TRQ-PN1", "--rate", "0"}, "--rate takes a whole number"},
        {{"panel-sim", "--model", "TRQ-PN1", "--address", "localhost"}, "--address takes an IPv4"},
    };
    for (const auto& [args, message] : cases) {
        Diag run(args);
        EXPECT_EQ(run.process().wait(kDeadline), 2) << args[0] << " " << message;
        EXPECT_THAT(run.err(), HasSubstr(message));
        EXPECT_THAT(run.err(), HasSubstr("Usage: vantrel-diag " + args[0]));
    }
    Diag help({"link", "--help"});
    EXPECT_EQ(help.process().wait(kDeadline), 0);
    EXPECT_THAT(help.out(),
                HasSubstr("Exit status: 0 the link ran and was stopped; 2 usage error"));
}

TEST(DiagLinkTest, PrintsRegistryChangesCallbacksAndLogRecordsOfAScriptedPanel) {
    test::TempDir dir;
    test::writeFile(
        dir / "script.txt",
        "# A one-channel panel: talkback A and C, then a bad message, then the meter.\n"
        R"({"buttons":{"btns":[{"name":"tb1","active":true},{"name":"tb3","active":true}]}})"
        "\n"
        "not json\n"
        R"({"meter":{"segments":7}})"
        "\n");
    auto sim = simulator(
        {"--model", "TRQ-PN1", "--rate", "50", "--script", (dir / "script.txt").string()});
    Diag link({"link", "127.0.0.1", "trq-pn1", "--port", std::to_string(portOf(*sim)), "--seconds",
               "60"});
    ASSERT_TRUE(link.waitFor([](const auto& lines) {
        return countLines(lines, "meterLevels") == 1;
    })) << link.out()
        << link.err();
    link.process().signal(SIGINT);
    EXPECT_EQ(link.process().wait(kDeadline), 0);

    const auto lines = link.lines();
    std::vector<std::string> types;
    for (const Json& line : lines) {
        types.push_back(line.value("type", ""));
        EXPECT_TRUE(line.contains("t"));
    }
    EXPECT_THAT(types, ::testing::ElementsAre("start", "link", "registry", "deviceState", "log",
                                              "registry", "meterLevels", "stop"));
    EXPECT_EQ(lines[0]["url"], "ws://127.0.0.1:" + std::to_string(portOf(*sim)));
    EXPECT_EQ(lines[0]["subprotocol"], "frontpanel");
    EXPECT_EQ(lines[0]["hostname"], "TRQ-PN1-DIAG");
    EXPECT_EQ(lines[1]["event"], "open");
    EXPECT_EQ(lines[2]["changed"], Json::parse(R"({"talkBackStates":["AC","","",""]})"));
    EXPECT_EQ(lines[3]["hostname"], "TRQ-PN1-DIAG");
    EXPECT_EQ(lines[4]["category"], "error");
    EXPECT_THAT(lines[4]["message"].get<std::string>(),
                HasSubstr("Device websocket JSON parse/handle error for 127.0.0.1: "));
    EXPECT_EQ(lines[5]["changed"], Json::parse(R"({"meterLevels":[7,0,0,0,0,0,0,0]})"));
    EXPECT_EQ(lines[6]["levels"], Json::parse("[7]"));
    EXPECT_EQ(lines[7]["reason"], "signal");

    sim->process().signal(SIGTERM);
    EXPECT_EQ(sim->process().wait(kDeadline), 0);
    const auto simLines = sim->lines();
    ASSERT_GE(simLines.size(), 3u);
    EXPECT_EQ(simLines[1]["requested"], "frontpanel");
    EXPECT_EQ(simLines[2]["type"], "closed");
    EXPECT_EQ(simLines[2]["code"], 1000) << "the link closes as at shut-down";
}

TEST(DiagLinkTest, ReconnectsAfterTheSimulatorRestartsWithoutLogRecords) {
    auto sim = simulator({"--model", "TRQ-PN4", "--rate", "20"});
    const auto port = portOf(*sim);
    Diag link({"link", "127.0.0.1", "TRQ-PN4", "--port", std::to_string(port), "--seconds", "120"});
    ASSERT_TRUE(link.waitFor([](const auto& lines) {
        return countLines(lines, "meterLevels") >= 3;
    })) << link.out()
        << link.err();
    sim->process().signal(SIGTERM);
    ASSERT_EQ(sim->process().wait(kDeadline), 0);
    ASSERT_TRUE(link.waitFor([](const auto& lines) {
        return countLines(lines, "link", "retry") >= 2;
    })) << link.out();

    sim = simulator({"--model", "TRQ-PN4", "--rate", "20"}, port);
    const std::size_t metersBefore = countLines(link.lines(), "meterLevels");
    ASSERT_TRUE(link.waitFor([&](const auto& lines) {
        return countLines(lines, "link", "open") == 2 &&
               countLines(lines, "meterLevels") > metersBefore + 2;
    })) << link.out();
    link.process().signal(SIGTERM);
    EXPECT_EQ(link.process().wait(kDeadline), 0);

    const auto lines = link.lines();
    EXPECT_EQ(countLines(lines, "log"), 0u);
    EXPECT_EQ(lines.back()["type"], "stop");
    long long longestWait = 0;
    for (const Json& line : lines) {
        if (line.value("event", "") == "retry") {
            longestWait = std::max(longestWait, line["waitMs"].get<long long>());
        }
    }
    EXPECT_LE(longestWait, 10000);
}

}  // namespace
}  // namespace pellan
