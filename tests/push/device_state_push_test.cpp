#include "push/device_state_push.hpp"

#include "devices/device_entry.hpp"
#include "devices/device_model.hpp"
#include "server_fixture.hpp"
#include "support/page_client.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace pellan {
namespace {

using namespace std::chrono_literals;

/// A record as the registry holds it after links reported state, every field of each family
/// set apart from its default so that a message built from the wrong field shows.
DeviceEntry registryRecord(const std::string& hostname) {
    DeviceEntry entry;
    entry.hostname = hostname;
    deriveStockCode(entry);
    entry.onAirStates = {true, false, false, true};
    entry.talkBackStates = {"A", "", "BC", ""};
    entry.lazyGang = {false, true, false, false};
    entry.muted = {true, false, false, false, false, false, false, true};
    entry.cough = {false, false, true, false};
    entry.gpiMuteStates = {false, true, false, false, false, false, true, false};
    entry.micMuted = true;
    entry.meterLevels = {9, 9, 9, 9, 9, 9, 9, 9};
    return entry;
}

/// The messages a page receives up to the marker that follows them, log records left out.
std::vector<std::string> receivedBeforeMarker(test::PageClient& page, const std::string& marker) {
    std::vector<std::string> received;
    for (int i = 0; i < 1000; ++i) {
        const std::optional<std::string> text = page.read(10s);
        if (!text) {
            ADD_FAILURE() << "the page ended before the marker " << marker;
            return received;
        }
        const auto message = nlohmann::json::parse(*text, nullptr, false);
        if (message.value("marker", "") == marker) {
            return received;
        }
        if (message.value("type", "") != "log") {
            received.push_back(*text);
        }
    }
    ADD_FAILURE() << "no marker " << marker;
    return received;
}

/// Both panel families show the same fields, whatever the model's channel count.
std::string panelState(const std::string& hostname) {
    return R"({"cough":[false,false,true,false],"hostname":")" + hostname +
           R"(","lazyGang":[false,true,false,false],)"
           R"("muted":[true,false,false,false,false,false,false,true],)"
           R"("onAirStates":[true,false,false,true],"talkBackStates":["A","","BC",""],)"
           R"("type":"pn-audio-state"})";
}

TEST(DeviceStatePushTest, EachFamilySendsItsOwnStateMessageAndOtherModelsNone) {
    struct Case {
        std::string hostname;
        std::string expected;  ///< "" for no message.
    };
    const Case cases[] = {
        {"TRQ-PN1-01", panelState("TRQ-PN1-01")},
        {"TRQ-PN2-0A1B2C", panelState("TRQ-PN2-0A1B2C")},
        {"trq-pn4-studio-3", panelState("trq-pn4-studio-3")},
        {"trq-r8x-01",
         R"({"gpiMuteStates":[false,true,false,false,false,false,true,false],)"
         R"("hostname":"trq-r8x-01","muted":[true,false,false,false,false,false,false,true],)"
         R"("type":"r8x-input-state"})"},
        {"VK-Q-64-00FF", R"({"hostname":"VK-Q-64-00FF","micMuted":true,"type":"vkq-audio-state"})"},
        {"TRQ-GPIO", ""},
        {"TRQ-GPIO-8-01", ""},
        {"studiopanel", ""},
    };

    test::RunningServer fixture;
    ASSERT_NE(fixture.port, 0);
    test::PageClient page;
    ASSERT_NO_FATAL_FAILURE(test::connectCountedPage(page, fixture.port));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.hostname);
        pushDeviceState(registryRecord(c.hostname), fixture.server);
        fixture.server.broadcast({{"type", "marker"}, {"marker", c.hostname}});
        const std::vector<std::string> expected =
            c.expected.empty() ? std::vector<std::string>{} : std::vector{c.expected};
        EXPECT_EQ(receivedBeforeMarker(page, c.hostname), expected);
    }
}

TEST(DeviceStatePushTest, ARecordWithoutHostnameSendsNothing) {
    // A failed registry look-up gives the default record; its model must not matter.
    DeviceEntry notFound = registryRecord("TRQ-PN4-0A1B2C");
    notFound.hostname.clear();

    test::RunningServer fixture;
    ASSERT_NE(fixture.port, 0);
    test::PageClient page;
    ASSERT_NO_FATAL_FAILURE(test::connectCountedPage(page, fixture.port));
    pushDeviceState(notFound, fixture.server);
    pushDeviceState(DeviceEntry{}, fixture.server);
    fixture.server.broadcast({{"type", "marker"}, {"marker", "end"}});
    EXPECT_EQ(receivedBeforeMarker(page, "end"), std::vector<std::string>{});
}

}  // namespace
}  // namespace pellan
