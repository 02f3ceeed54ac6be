// The state messages of the four families against a real registry, without any socket.
#include "links/device_state_handler.hpp"

#include "devices/device_entry.hpp"
#include "devices/device_manager.hpp"
#include "log/logger.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

namespace pellan {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::SizeIs;
using ::testing::StartsWith;

constexpr const char* kAddress = "127.0.0.9";

struct StateCall {
    std::string hostname;
    DeviceEntry record;
};
struct MeterCall {
    std::string hostname;
    std::vector<std::int32_t> levels;
};

/// One link's handler over a registry holding one device of the model at kAddress, with
/// every callback and log record kept.
class StateHandlerTest : public ::testing::Test {
protected:
    void SetUp() override {
        logger_.setListener([this](const LogEntry& entry) {
            std::lock_guard lock(mutex_);
            logs_.push_back(entry);
        });
    }
    void TearDown() override { logger_.setListener({}); }

    /// The handler of a link for `model`; the registry holds `model` + "-0A1B2C" at kAddress
    /// unless `registered` is false.
    DeviceStateHandler& link(const std::string& model, bool registered = true) {
        hostname_ = model + "-0A1B2C";
        if (registered) {
            DeviceEntry entry;
            entry.hostname = hostname_;
            entry.ip = kAddress;
            devices_.addOrUpdateDevice(entry);
        }
        handler_.emplace(
            logger_, devices_, kAddress, model,
            [this](const std::string& host, const std::vector<std::int32_t>& levels) {
                meters_.push_back({host, levels});
            },
            [this](const std::string& host, const DeviceEntry& record) {
                states_.push_back({host, record});
            });
        return *handler_;
    }

    void send(const std::string& text) { handler_->handleMessage(text); }

    DeviceEntry device() const { return devices_.findDeviceByIp(kAddress); }

    std::vector<std::string> logLines(const std::string& category) const {
        std::lock_guard lock(mutex_);
        std::vector<std::string> lines;
        for (const LogEntry& entry : logs_) {
            if (entry.category == category) {
                lines.push_back(entry.message);
            }
        }
        return lines;
    }

    Logger logger_;
    DeviceManager devices_{logger_};
    std::optional<DeviceStateHandler> handler_;
    std::string hostname_;
    std::vector<StateCall> states_;
    std::vector<MeterCall> meters_;

private:
    mutable std::mutex mutex_;
    std::vector<LogEntry> logs_;  // Guarded by mutex_.
};

// ---- One-channel panel --------------------------------------------------------------------

TEST_F(StateHandlerTest, PanelOneSetsIndexZeroOnlyAndClearsTheOtherPanelFields) {
    link("TRQ-PN1");
    // Muted and cough come from elsewhere; a PN1 audio update replaces them with false.
    DeviceEntry earlier;
    earlier.muted.fill(true);
    earlier.cough.fill(true);
    earlier.onAirStates.fill(true);
    devices_.updateAudioStateByIp(kAddress, earlier);

    send(R"({"buttons":{"btns":[{"name":"tb1","active":true},{"name":"onair","active":true},
             {"name":"tb2","active":false},{"name":"tb3","active":true},{"name":"help"}]}})");

    ASSERT_THAT(states_, SizeIs(1));
    EXPECT_EQ(states_[0].hostname, hostname_);
    const DeviceEntry stored = device();
    EXPECT_THAT(stored.talkBackStates, ElementsAre("AC", "", "", ""));
    EXPECT_THAT(stored.onAirStates, ElementsAre(true, false, false, false));
    EXPECT_THAT(stored.lazyGang, ElementsAre(false, false, false, false));
    EXPECT_EQ(stored.muted, (std::array<bool, 8>{}));
    EXPECT_EQ(stored.cough, (std::array<bool, 4>{}));
    EXPECT_EQ(states_[0].record.talkBackStates, stored.talkBackStates);
    EXPECT_EQ(states_[0].record.onAirStates, stored.onAirStates);
    EXPECT_THAT(meters_, IsEmpty());
}

TEST_F(StateHandlerTest, PanelOneLazyGangAsBoolOrObjectIsTheSame) {
    for (const char* lazy : {"true", R"({"active":true})"}) {
        SCOPED_TRACE(lazy);
        states_.clear();
        link("TRQ-PN1");
        send(std::string(R"({"buttons":{"lazygang":)") + lazy + "}}");
        ASSERT_THAT(states_, SizeIs(1));
        EXPECT_THAT(device().lazyGang, ElementsAre(true, false, false, false));
        // Another type leaves the state as it was: nothing changes.
        send(R"({"buttons":{"lazygang":"on"}})");
        EXPECT_THAT(states_, SizeIs(1));
    }
}

TEST_F(StateHandlerTest, PanelOneMeterWithoutButtonsNeverTouchesThePanelState) {
    link("TRQ-PN1");
    DeviceEntry earlier;
    earlier.meterLevels = {1, 2, 3, 4, 5, 6, 7, 8};
    devices_.updateMeterLevelsByIp(kAddress, earlier);
    DeviceEntry talk;
    talk.talkBackStates[0] = "B";
    devices_.updateAudioStateByIp(kAddress, talk);

    send(R"({"meter":{"segments":12.9}})");
    send(R"({"meter":{"segments":12}})");  // Same level: nothing.
    send(R"({"meter":{}})");               // No "segments": ignored.

    EXPECT_THAT(states_, IsEmpty());
    ASSERT_THAT(meters_, SizeIs(1));
    EXPECT_EQ(meters_[0].hostname, hostname_);
    EXPECT_THAT(meters_[0].levels, ElementsAre(12));
    EXPECT_THAT(device().meterLevels, ElementsAre(12, 2, 3, 4, 5, 6, 7, 8));
    EXPECT_THAT(device().talkBackStates, ElementsAre("B", "", "", ""));
}

TEST_F(StateHandlerTest, PanelOneButtonsWithoutTalkbackClearTheCachedTalkback) {
    link("TRQ-PN1");
    send(R"({"buttons":{"btns":[{"name":"tb2","active":true}]}})");
    send(R"({"buttons":{}})");
    ASSERT_THAT(states_, SizeIs(2));
    EXPECT_EQ(states_[1].record.talkBackStates[0], "");
    EXPECT_EQ(handler_->caches().talkback[0], "");
}

// ---- Two- and four-channel panels ---------------------------------------------------------

TEST_F(StateHandlerTest, PanelFourOnAirLampFollowsCoughAndStayOnAir) {
    struct Case {
        const char* channel;
        bool lit;
    };
    const std::vector<Case> cases{
        {R"({"id":"23","on_air":true,"tbs":"A"})", false},
        {R"({"id":"23","on_air":true,"tbs":"A","oat":true})", true},
        {R"({"id":"23","on_air":true,"tbs":"A","oat":true,"cgh":true})", false},
        {R"({"id":"23","on_air":true,"cgh":true})", false},
        {R"({"id":"23","on_air":true})", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.channel);
        link("TRQ-PN4");
        send(std::string(R"({"ins":[)") + c.channel + "]}");
        EXPECT_THAT(device().onAirStates, ElementsAre(false, c.lit, false, false));
        EXPECT_EQ(handler_->caches().onAir[1], c.lit);
    }
}

TEST_F(StateHandlerTest, PanelFourChannelFieldsReachTheRegistryAndTheCallback) {
    link("TRQ-PN4");
    send(R"({"ins":[{"id":"22","tbs":"AB","lzg":true},{"id":"25","m":true,"cgh":true},
                    {"id":"24x","m":true}]})");
    ASSERT_THAT(states_, SizeIs(1));
    const DeviceEntry stored = device();
    EXPECT_THAT(stored.talkBackStates, ElementsAre("AB", "", "", ""));
    EXPECT_THAT(stored.lazyGang, ElementsAre(true, false, false, false));
    EXPECT_THAT(stored.muted, ElementsAre(false, false, true, true, false, false, false, false));
    EXPECT_THAT(stored.cough, ElementsAre(false, false, false, true));
    EXPECT_EQ(states_[0].record.muted, stored.muted);
    EXPECT_EQ(states_[0].record.cough, stored.cough);
}

TEST_F(StateHandlerTest, PanelFourSkipsChannelsItCannotPlace) {
    for (const char* channel :
         {R"({"id":"21","m":true})", R"({"id":"26","m":true})", R"({"id":23,"m":true})",
          R"({"id":"x23","m":true})", R"({"id":"","m":true})", R"({"m":true})",
          R"({"id":"99999999999999999999999","m":true})",
          // Skipped before its members are read, so their types do not matter.
          R"({"id":"26","m":"yes"})"}) {
        SCOPED_TRACE(channel);
        link("TRQ-PN2");
        send(std::string(R"({"ins":[)") + channel + "]}");
        EXPECT_THAT(states_, IsEmpty());
        EXPECT_THAT(logLines("error"), IsEmpty());
    }
}

TEST_F(StateHandlerTest, PanelFourMeterDeadBandSuppressesSmallChanges) {
    link("TRQ-PN4");
    send(R"({"iM":[{"l":"22","v":4}]})");
    EXPECT_THAT(meters_, IsEmpty());
    send(R"({"iM":[{"l":"22","v":5}]})");
    EXPECT_THAT(meters_, IsEmpty());
    send(R"({"iM":[{"l":"22xyz","v":6},{"l":"25","v":-40},{"l":"26","v":90},{"l":"2","v":90}]})");
    ASSERT_THAT(meters_, SizeIs(1));
    EXPECT_THAT(meters_[0].levels, ElementsAre(6, 0, 0, -40));
    EXPECT_THAT(device().meterLevels, ElementsAre(6, 0, 0, -40, 0, 0, 0, 0));
    // Measured against the level last passed on, not the last one received.
    send(R"({"iM":[{"l":"22","v":11}]})");
    send(R"({"iM":[{"l":"22","v":12}]})");
    ASSERT_THAT(meters_, SizeIs(2));
    EXPECT_THAT(meters_[1].levels, ElementsAre(12, 0, 0, -40));
    EXPECT_THAT(states_, IsEmpty());
}

TEST_F(StateHandlerTest, PanelFourAppliesInitBeforeTheTopLevel) {
    link("TRQ-PN4");
    send(R"({"ins":[{"id":"22","tbs":"B"}],"init":{"ins":[{"id":"22","tbs":"A"}]},
             "iM":[{"l":"23","v":50}]})");
    ASSERT_THAT(states_, SizeIs(2));
    EXPECT_EQ(states_[0].record.talkBackStates[0], "A");
    EXPECT_EQ(states_[1].record.talkBackStates[0], "B");
    EXPECT_EQ(device().talkBackStates[0], "B");
    ASSERT_THAT(meters_, SizeIs(1));  // The top-level pass alone carries the meter.
    // "init" alone, and a top level with only "iM", are each one pass.
    send(R"({"init":{"ins":[{"id":"22","tbs":"C"}]}})");
    EXPECT_THAT(states_, SizeIs(3));
    // A document without "ins" or "iM" at the top level and no "init" object does nothing.
    send(R"({"init":[],"buttons":{"lazygang":true}})");
    EXPECT_THAT(states_, SizeIs(3));
}

TEST_F(StateHandlerTest, PanelFourFailedTopLevelKeepsWhatInitApplied) {
    link("TRQ-PN4");
    send(R"({"init":{"ins":[{"id":"22","m":true}]},
             "ins":[{"id":"23","m":true}],"iM":[{"l":"ab","v":1}]})");
    ASSERT_THAT(states_, SizeIs(1));
    EXPECT_THAT(device().muted, ElementsAre(true, false, false, false, false, false, false, false));
    EXPECT_FALSE(handler_->caches().muted[1]);
    EXPECT_THAT(
        logLines("error"),
        ElementsAre(StartsWith("Device websocket JSON parse/handle error for 127.0.0.9: ")));
}

// ---- Eight-input unit ---------------------------------------------------------------------

TEST_F(StateHandlerTest, InputUnitReadsInputsZeroToSevenAndEightLevels) {
    link("TRQ-R8X");
    send(R"({"inputs":[{"mute":true},{"idx":8,"mute":true},{"idx":-1,"mute":true},
                       {"idx":2,"mute":true,"gpi_m":1},{"idx":true,"gpi_m":true},
                       {"idx":7.9,"gpi_m":true,"mute":"no"}],
             "meter":[{"segments":1},{"segments":2},3,{"level":4},{"segments":5},{"segments":6},
                      {"segments":7},{"segments":8},{"segments":9},{"segments":10}]})");
    ASSERT_THAT(states_, SizeIs(1));
    EXPECT_EQ(states_[0].hostname, hostname_);
    EXPECT_EQ(states_[0].record.stockCode, "TRQ-R8X");
    const std::array<bool, 8> muted{false, false, true, false, false, false, false, false};
    const std::array<bool, 8> gpi{false, true, false, false, false, false, false, true};
    EXPECT_EQ(states_[0].record.muted, muted);
    EXPECT_EQ(states_[0].record.gpiMuteStates, gpi);
    EXPECT_EQ(device().muted, muted);
    EXPECT_EQ(device().gpiMuteStates, gpi);
    ASSERT_THAT(meters_, SizeIs(1));
    EXPECT_THAT(meters_[0].levels, ElementsAre(1, 2, 0, 0, 5, 6, 7, 8));
    EXPECT_THAT(device().meterLevels, ElementsAre(1, 2, 0, 0, 5, 6, 7, 8));
    // No dead band for this family; unchanged levels are nothing.
    send(R"({"meter":[{"segments":2}]})");
    send(R"({"meter":[{"segments":2}],"inputs":[{"idx":2,"mute":true}]})");
    ASSERT_THAT(meters_, SizeIs(2));
    EXPECT_THAT(meters_[1].levels, ElementsAre(2, 2, 0, 0, 5, 6, 7, 8));
    EXPECT_THAT(states_, SizeIs(1));
}

// ---- Rack unit ----------------------------------------------------------------------------

TEST_F(StateHandlerTest, RackUnitMicMuteAcceptsBoolsAndIntegersOnly) {
    link("VK-Q-64");
    send(R"({"mic_mute":1})");
    send(R"({"mic_mute":true})");  // The registry already holds true.
    send(R"({"mic_mute":"false"})");
    send(R"({"mic_mute":null})");
    send(R"({"other":0})");
    EXPECT_TRUE(device().micMuted);
    send(R"({"mic_mute":0})");
    send(R"({"mic_mute":false})");
    EXPECT_THAT(logLines("device"),
                ElementsAre("Device " + hostname_ + " Microphone Mute Enabled",
                            "Device " + hostname_ + " Microphone Mute Disabled"));
    ASSERT_THAT(states_, SizeIs(2));
    // The rack unit hands over the registry's copy of the device.
    EXPECT_EQ(states_[1].record, device());
    EXPECT_THAT(logLines("error"), IsEmpty());
}

// ---- All families -------------------------------------------------------------------------

TEST_F(StateHandlerTest, TheSameStateTwiceWorksOnlyOnce) {
    const std::vector<std::pair<const char*, const char*>> cases{
        {"TRQ-PN1",
         R"({"buttons":{"btns":[{"name":"onair","active":true}]},"meter":{"segments":3}})"},
        {"TRQ-PN2", R"({"ins":[{"id":"22","on_air":true}],"iM":[{"l":"22","v":30}]})"},
        {"TRQ-R8X", R"({"inputs":[{"idx":0,"mute":true}],"meter":[{"segments":3}]})"},
        {"VK-Q-64", R"({"mic_mute":true})"},
    };
    for (const auto& [model, message] : cases) {
        SCOPED_TRACE(model);
        states_.clear();
        meters_.clear();
        devices_.removeDevice(hostname_);
        link(model);
        send(message);
        const auto stateCount = states_.size();
        const auto meterCount = meters_.size();
        const auto logCount = logLines("device").size();
        EXPECT_EQ(stateCount, 1u);
        send(message);
        EXPECT_EQ(states_.size(), stateCount);
        EXPECT_EQ(meters_.size(), meterCount);
        EXPECT_EQ(logLines("device").size(), logCount);
    }
}

TEST_F(StateHandlerTest, AFailedMessageLeavesCachesAndRegistryAsTheyWere) {
    const std::vector<std::pair<const char*, const char*>> cases{
        {"TRQ-PN1", "not json"},
        {"TRQ-PN1",
         R"({"buttons":{"btns":[{"name":"onair","active":true}]},"meter":{"segments":"x"}})"},
        {"TRQ-PN1", R"({"buttons":{"btns":[{"name":"onair","active":1}]}})"},
        {"TRQ-PN1", R"({"buttons":{"btns":[{"name":7,"active":true}]}})"},
        {"TRQ-PN1", R"({"buttons":{"btns":["onair"]}})"},
        {"TRQ-PN1", R"({"buttons":{"lazygang":{"active":"yes"}}})"},
        {"TRQ-PN1", R"({"meter":{"segments":1e300}})"},
        {"TRQ-PN2", R"({"ins":[{"id":"22","on_air":true},{"id":"23","tbs":5}]})"},
        {"TRQ-PN2", R"({"ins":[{"id":"22","on_air":true}],"iM":[{"l":"22","v":"50"}]})"},
        {"TRQ-PN2", R"({"ins":[{"id":"22","on_air":true}],"iM":[{"l":"x2","v":50}]})"},
        {"TRQ-PN2", R"({"ins":[{"id":"22","on_air":true}],"iM":[{"l":"22","v":3000000000}]})"},
        {"TRQ-PN2", R"({"ins":[{"id":"22","on_air":true}, 7]})"},
        {"TRQ-PN4", R"({"ins":[{"id":"22","on_air":true}]} trailing)"},
        {"TRQ-PN4", R"({"ins":[{"id":"22","on_air":true}] /* comment */})"},
        {"TRQ-R8X", R"({"inputs":[{"idx":1,"mute":true}],"meter":[{"segments":[1]}]})"},
        {"TRQ-R8X", R"({"inputs":[{"idx":"1","mute":true}]})"},
        {"TRQ-R8X", R"({"inputs":[{"idx":0,"mute":true},null]})"},
        {"VK-Q-64", R"({"mic_mute":)"},
    };
    for (const auto& [model, message] : cases) {
        SCOPED_TRACE(message);
        states_.clear();
        meters_.clear();
        devices_.removeDevice(hostname_);
        link(model);
        const DeviceEntry before = device();
        const auto errorsBefore = logLines("error").size();
        send(message);
        EXPECT_THAT(states_, IsEmpty());
        EXPECT_THAT(meters_, IsEmpty());
        EXPECT_EQ(handler_->caches(), DeviceStateCaches{});
        EXPECT_EQ(device(), before);
        const auto errors = logLines("error");
        ASSERT_EQ(errors.size(), errorsBefore + 1);
        EXPECT_THAT(errors.back(),
                    StartsWith("Device websocket JSON parse/handle error for 127.0.0.9: "));
    }
}

TEST_F(StateHandlerTest, MessagesOfAnotherShapeAreIgnoredQuietly) {
    const std::vector<std::pair<const char*, const char*>> cases{
        {"TRQ-PN1", R"([1,2,3])"},
        {"TRQ-PN1", R"({"ins":[{"id":"22","on_air":true}]})"},
        {"TRQ-PN1", R"({"buttons":[],"meter":7})"},
        {"TRQ-PN2", R"({"buttons":{"btns":[{"name":"onair","active":true}]}})"},
        {"TRQ-PN2", R"({"ins":{"id":"22"},"iM":"22"})"},
        {"TRQ-PN2", R"("ins")"},
        {"TRQ-R8X", R"({"inputs":{"idx":0},"meter":{"segments":4}})"},
        {"TRQ-R8X", R"(null)"},
        {"VK-Q-64", R"({"inputs":[{"idx":0,"mute":true}]})"},
        {"VK-Q-64", R"(42)"},
        {"TRQ-GPIO", R"({"mic_mute":true,"ins":[{"id":"22","on_air":true}]})"},
    };
    for (const auto& [model, message] : cases) {
        SCOPED_TRACE(std::string(model) + " " + message);
        devices_.removeDevice(hostname_);
        link(model);
        const DeviceEntry before = device();
        send(message);
        EXPECT_THAT(states_, IsEmpty());
        EXPECT_THAT(meters_, IsEmpty());
        EXPECT_EQ(device(), before);
        EXPECT_THAT(logLines("error"), IsEmpty());
    }
}

TEST_F(StateHandlerTest, HostileMessagesFailWithoutHarm) {
    link("TRQ-PN4");
    send(std::string(1024 * 1024, '['));
    send("\xff\xfe{\"ins\":[]}");
    const char withNul[] = "{\"ins\":[{\"id\":\"22\",\"tbs\":\"A\0B\"}]}";
    send(std::string(withNul, sizeof(withNul) - 1));
    EXPECT_THAT(logLines("error"), SizeIs(3));
    // Deep but well-formed: of no family's shape, so nothing at all.
    send(std::string(512 * 1024, '[') + std::string(512 * 1024, ']'));
    EXPECT_THAT(logLines("error"), SizeIs(3));
    EXPECT_THAT(states_, IsEmpty());
}

TEST_F(StateHandlerTest, UnknownAddressLogsAudioChangesOnceAndDropsMeters) {
    const std::vector<std::tuple<const char*, const char*, std::string>> cases{
        {"TRQ-PN1",
         R"({"buttons":{"btns":[{"name":"onair","active":true}]},"meter":{"segments":3}})",
         "PN1 audio state update, but device not found by ip=127.0.0.9"},
        {"TRQ-PN4", R"({"ins":[{"id":"22","on_air":true}],"iM":[{"l":"22","v":30}]})",
         "PN2/PN4 audio state, update but device not found by ip=127.0.0.9"},
        {"TRQ-R8X", R"({"inputs":[{"idx":0,"mute":true}],"meter":[{"segments":3}]})",
         "TRQ-R8X input audio state update, but device not found by ip=127.0.0.9"},
    };
    for (const auto& [model, message, line] : cases) {
        SCOPED_TRACE(model);
        const auto before = logLines("device").size();
        link(model, false);
        send(message);
        send(message);  // The caches took the new values: not logged again.
        const auto lines = logLines("device");
        ASSERT_EQ(lines.size(), before + 1);
        EXPECT_EQ(lines.back(), line);
        EXPECT_THAT(states_, IsEmpty());
        EXPECT_THAT(meters_, IsEmpty());
    }
    // The rack unit keeps no cache: without a device nothing changes and nothing is logged.
    const auto before = logLines("device").size();
    link("VK-Q-64", false);
    send(R"({"mic_mute":true})");
    EXPECT_EQ(logLines("device").size(), before);
}

TEST_F(StateHandlerTest, ACallbackThatThrowsIsLoggedAsAFailedMessage) {
    handler_.emplace(
        logger_, devices_, kAddress, "TRQ-PN1", nullptr,
        [](const std::string&, const DeviceEntry&) { throw std::runtime_error("push failed"); });
    DeviceEntry entry;
    entry.hostname = "TRQ-PN1-01";
    entry.ip = kAddress;
    devices_.addOrUpdateDevice(entry);
    send(R"({"buttons":{"lazygang":true},"meter":{"segments":3}})");
    EXPECT_THAT(logLines("error"),
                ElementsAre("Device websocket JSON parse/handle error for 127.0.0.9: push failed"));
    // An empty meter callback is simply not called.
    send(R"({"meter":{"segments":4}})");
    EXPECT_EQ(device().meterLevels[0], 4);
}

}  // namespace
}  // namespace pellan
