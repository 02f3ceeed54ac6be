// vantrel-diag ember as a program: the clients' lines and reports against a provider run by
// the test, the single write, and the usage errors.
#include "diag_run.hpp"

#include "devices/device_model.hpp"
#include "ember/ember_vgpio_client.hpp"
#include "simulators/ember_provider_sim.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>
#include <vector>

namespace pellan {
namespace {

using ::testing::HasSubstr;

using test::DiagRun;
using test::runDiag;

std::size_t linesContaining(const std::string& text, const std::string& part) {
    std::istringstream in(text);
    std::size_t count = 0;
    for (std::string line; std::getline(in, line);) {
        count += line.find(part) != std::string::npos ? 1U : 0U;
    }
    return count;
}

TEST(EmberDiagTest, GpioWatchPrintsTheClientsLinesAndEveryReport) {
    EmberProviderSim sim(EmberProviderSim::gpioTree());
    ASSERT_TRUE(sim.start());
    const std::string port = std::to_string(sim.port());
    const DiagRun run = runDiag({"ember", "gpio", "127.0.0.1", "--port", port, "--seconds", "2"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_THAT(run.out, HasSubstr("[EMBER RX][GPIO] connected ip=127.0.0.1 port=" + port +
                                   " - watching physical ports 1..10\n"));
    EXPECT_THAT(run.out, HasSubstr("\ngpio physical 3/status 0\n"));
    EXPECT_EQ(linesContaining(run.out, "gpio physical"), 30U);
}

TEST(EmberDiagTest, VgpioWatchUsesTheModelsSettings) {
    const EmberVgpioSettings settings = EmberVgpioSettings::fromModel(lookupDeviceModel("VK-Q-64"));
    EmberProviderSimOptions options;
    options.style = EmberAnswerStyle::Nested;
    EmberProviderSim sim(EmberProviderSim::vgpioTree(settings), options);
    ASSERT_TRUE(sim.start());
    const std::string port = std::to_string(sim.port());
    const DiagRun run =
        runDiag({"ember", "vgpio", "127.0.0.1", "VK-Q-64", "--port", port, "--seconds", "2"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_THAT(run.out, HasSubstr("[EMBER][VGPIO] connected to 127.0.0.1:" + port +
                                   " - GetDirectory-watch mode\n"));
    EXPECT_THAT(run.out, HasSubstr("\nvgpio 10/status 0\n"));
    EXPECT_EQ(linesContaining(run.out, "vgpio "), 20U);
}

TEST(EmberDiagTest, SetWritesOnceAndExitsWithTheResult) {
    EmberProviderSim sim(EmberProviderSim::gpioTree());
    ASSERT_TRUE(sim.start());
    const std::string port = std::to_string(sim.port());

    const DiagRun ok = runDiag({"ember", "set", "127.0.0.1", "3", "override", "1", "--port", port});
    EXPECT_EQ(ok.exitCode, 0) << ok.err;
    EXPECT_THAT(ok.out, HasSubstr("writeGpio(3, \"override\", 1) returned 0\n"));
    EXPECT_THAT(ok.out, HasSubstr("[EMBER TX][GPIO] SetParameter sent to ip=127.0.0.1 port=" +
                                  port + " path=[1.4.1.3.2] value=1\n"));
    ASSERT_TRUE(sim.waitForWrites(1, std::chrono::seconds(10)));
    EXPECT_EQ(sim.writes()[0].path, (std::vector<std::int32_t>{1, 4, 1, 3, 2}));

    const DiagRun refused =
        runDiag({"ember", "set", "127.0.0.1", "11", "status", "1", "--port", port});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_THAT(refused.out, HasSubstr("writeGpio(11, \"status\", 1) returned -1\n"));
    EXPECT_EQ(sim.writes().size(), 1U);
}

TEST(EmberDiagTest, UsageErrorsExitWithTwoAndSayWhy) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"ember"}, "no subcommand given"},
        {{"ember", "listen"}, "unknown subcommand 'listen'"},
        {{"ember", "gpio"}, "gpio takes one ADDRESS"},
        {{"ember", "gpio", "unit.local"}, "ADDRESS must be an IPv4 address"},
        {{"ember", "gpio", "127.0.0.1", "--port", "0"}, "--port takes a TCP port"},
        {{"ember", "vgpio", "127.0.0.1", "TRQ-R8X"}, "has no Ember+ virtual GPIOs"},
        {{"ember", "set", "127.0.0.1", "3", "mute", "1"}, "override or status"},
        {{"ember", "set", "127.0.0.1", "3", "status", "2"}, "the value is 0 or 1"},
        {{"ember", "set", "127.0.0.1", "x", "status", "1"}, "PORT must be a whole number"},
        {{"ember", "sim", "198.18.0.1", "gpio"}, "loopback addresses"},
    };
    for (const auto& [args, message] : cases) {
        SCOPED_TRACE(::testing::PrintToString(args));
        const DiagRun run = runDiag(args);
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_THAT(run.err, HasSubstr(message));
        EXPECT_THAT(run.err, HasSubstr("Usage: vantrel-diag ember"));
    }
}

}  // namespace
}  // namespace pellan
