// The callbacks that connect the components, against a running push server and a page.
#include "app/callbacks.hpp"

#include "devices/device_entry.hpp"
#include "push/server_fixture.hpp"
#include "support/page_client.hpp"

#include <nlohmann/json.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace pellan {
namespace {

using namespace std::chrono_literals;

/// The page's messages other than "log" until the marker arrives.
std::vector<nlohmann::json> readUntilMarker(test::PageClient& page) {
    std::vector<nlohmann::json> received;
    for (int i = 0; i < 1000; ++i) {
        const std::optional<std::string> text = page.read(10s);
        if (!text) {
            ADD_FAILURE() << "the page ended before the marker";
            break;
        }
        auto message = nlohmann::json::parse(*text, nullptr, false);
        if (message.contains("marker")) {
            break;
        }
        if (message.value("type", "") != "log") {
            received.push_back(std::move(message));
        }
    }
    return received;
}

DeviceEntry panel(const std::string& hostname, bool monitored) {
    DeviceEntry entry;
    entry.hostname = hostname;
    entry.ip = "198.18.0.10";
    entry.isMonitored = monitored;
    return entry;
}

TEST(CallbacksTest, EachCallbackReachesThePagesAsItsMessage) {
    test::RunningServer fixture;
    ASSERT_NE(fixture.port, 0);
    ASSERT_TRUE(fixture.devices.addOrUpdateDevice(panel("TRQ-PN2-MONITORED", true)));
    ASSERT_TRUE(fixture.devices.addOrUpdateDevice(panel("TRQ-PN2-QUIET", false)));
    test::PageClient page;
    ASSERT_NO_FATAL_FAILURE(test::connectCountedPage(page, fixture.port));

    // Meters reach the pages for a monitored device only.
    const MeterCallback meters = meterLevelPush(fixture.devices, fixture.server);
    meters("TRQ-PN2-QUIET", {1, 2});
    meters("TRQ-PN2-MONITORED", {3, 4});
    meters("no-such-device", {5});
    // The registry's record is pushed, not the one the link passes.
    deviceStatePush(fixture.devices, fixture.server)("TRQ-PN2-QUIET", panel("other", true));
    const DiscoveryPushes discovery = discoveryPushes(fixture.server);
    discovery.busy(true, "Starting...");
    discovery.status(true);
    const EmberPushTarget ember = emberPushes(fixture.server);
    ember.pushVgpio("TRQ-PN2-QUIET", 3, true);
    ember.pushDevice(panel("TRQ-PN2-QUIET", false));
    fixture.server.broadcast({{"marker", true}});

    const std::vector<nlohmann::json> received = readUntilMarker(page);
    std::vector<std::string> summary;
    for (const auto& message : received) {
        summary.push_back(message.value("type", "?") + " " +
                          message.value("hostname", message.value("statusText", "")));
    }
    EXPECT_THAT(summary,
                ::testing::ElementsAre("meter TRQ-PN2-MONITORED", "pn-audio-state TRQ-PN2-QUIET",
                                       "discovery-busy Starting...", "discovery-status ",
                                       "vgpio TRQ-PN2-QUIET", "device TRQ-PN2-QUIET"));
    fixture.stopAndJoin();
}

}  // namespace
}  // namespace pellan
