// EmberVgpioClient: the model's settings, its subscription and its reports.
#include "ember/ember_vgpio_client.hpp"

#include "devices/device_model.hpp"
#include "ember_client_test_support.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace pellan {
namespace {

using namespace test;
using ::testing::ElementsAreArray;

EmberVgpioSettings settingsOf(const char* model) {
    return EmberVgpioSettings::fromModel(lookupDeviceModel(model));
}

TEST(VgpioSettingsTest, ComeFromTheModelTable) {
    struct Case {
        const char* model;
        bool usable;
        std::vector<std::int32_t> base;
    };
    const std::vector<Case> cases{{"TRQ-PN1", true, {1, 6, 2}},
                                  {"TRQ-PN2", true, {1, 5, 2}},
                                  {"trq-pn4-studio", true, {1, 5, 2}},
                                  {"VK-Q-64", true, {1, 8, 2}},
                                  {"TRQ-R8X", false, {}},
                                  {"TRQ-GPIO", false, {}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.model);
        const EmberVgpioSettings settings = settingsOf(c.model);
        EXPECT_EQ(settings.usable(), c.usable);
        EXPECT_EQ(settings.vgpioBasePath, c.base);
        EXPECT_EQ(settings.emberPort, 9000);
        EXPECT_EQ(settings.vgpioCount, 10);
        EXPECT_EQ(settings.vgpioTypeField, 1);
        EXPECT_EQ(settings.vgpioStatusField, 6);
    }
    EmberVgpioSettings deep = settingsOf("TRQ-PN1");
    deep.vgpioBasePath = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    EXPECT_FALSE(deep.usable());
    EmberVgpioSettings none = settingsOf("TRQ-PN1");
    none.vgpioCount = 0;
    EXPECT_FALSE(none.usable());
    EXPECT_TRUE(vgpioWatchedPaths(none).empty());
}

TEST(VgpioReportTest, ReportsStatusAndTypeOfEntriesBelowTheBasePathOnly) {
    struct Case {
        std::vector<std::int32_t> path;
        GlowValue value;
        std::optional<std::pair<std::string, std::int32_t>> expected;
    };
    const std::vector<Case> cases{
        {{1, 6, 2, 4, 6}, std::int64_t{1}, {{"vgpio 4/status", 1}}},
        {{1, 6, 2, 4, 6}, std::int64_t{0}, {{"vgpio 4/status", 0}}},
        {{1, 6, 2, 4, 6}, std::int64_t{7}, {{"vgpio 4/status", 1}}},
        {{1, 6, 2, 4, 6}, std::int64_t{-1}, {{"vgpio 4/status", 1}}},
        {{1, 6, 2, 4, 6}, true, {{"vgpio 4/status", 1}}},
        {{1, 6, 2, 4, 6}, false, {{"vgpio 4/status", 0}}},
        {{1, 6, 2, 4, 1}, std::int64_t{2}, {{"vgpio 4/type", 2}}},
        {{1, 6, 2, 10, 1}, std::int64_t{0}, {{"vgpio 10/type", 0}}},
        {{1, 6, 2, 11, 6}, std::int64_t{1}, std::nullopt},
        {{1, 6, 2, 0, 6}, std::int64_t{1}, std::nullopt},
        {{1, 6, 2, 4, 2}, std::int64_t{1}, std::nullopt},
        {{1, 5, 2, 4, 6}, std::int64_t{1}, std::nullopt},
        {{1, 6, 2, 4}, std::int64_t{1}, std::nullopt},
        {{1, 6, 2, 4, 6, 1}, std::int64_t{1}, std::nullopt},
        {{1, 6, 2, 4, 6}, std::string("on"), std::nullopt},
    };
    const EmberVgpioSettings panel = settingsOf("TRQ-PN1");
    for (const Case& c : cases) {
        SCOPED_TRACE(describePath(c.path));
        GlowParameter parameter;
        parameter.value = c.value;
        const auto report = vgpioReportFor(panel, parameter, GlowFieldValue, c.path);
        ASSERT_EQ(report.has_value(), c.expected.has_value());
        if (report) {
            EXPECT_EQ(report->text, c.expected->first);
            EXPECT_EQ(report->value, c.expected->second);
        }
    }
    GlowParameter withoutValue;
    withoutValue.value = std::int64_t{1};
    EXPECT_FALSE(vgpioReportFor(panel, withoutValue, GlowFieldIdentifier, {{1, 6, 2, 4, 6}}));

    // With one field for both, only the status is reported.
    EmberVgpioSettings same = panel;
    same.vgpioTypeField = 6;
    const auto report = vgpioReportFor(same, withoutValue, GlowFieldValue, {{1, 6, 2, 4, 6}});
    ASSERT_TRUE(report);
    EXPECT_EQ(report->text, "vgpio 4/status");
}

TEST(VgpioClientTest, OneChannelPanelIsSubscribedWithTwentyRequestsTypesFirst) {
    ScriptedProvider provider;
    auto lines = std::make_shared<Lines>();
    EmberVgpioClient client("127.0.0.1", settingsOf("TRQ-PN1"), provider.port(),
                            fastOptions(lines));
    client.start();
    auto peer = provider.accept();
    ASSERT_NE(peer, nullptr);

    RequestNames names;
    std::vector<std::string> expected;
    for (const std::uint32_t field : {1U, 6U}) {
        for (std::uint32_t entry = 1; entry <= 10; ++entry) {
            names.add({1, 6, 2, entry, field});
            expected.push_back(describeNumbers({1, 6, 2, entry, field}));
        }
    }
    std::vector<std::string> seen;
    for (const Bytes& frame : peer->readFrames(20)) {
        seen.push_back(names.name(frame));
    }
    EXPECT_THAT(seen, ElementsAreArray(expected));
    EXPECT_TRUE(peer->nothingWithin(50ms));
    ASSERT_TRUE(lines->waitFor("connected to"));
    EXPECT_EQ(lines->all().front(),
              "[EMBER][VGPIO] connected to 127.0.0.1:" + std::to_string(provider.port()) +
                  " - GetDirectory-watch mode");
}

TEST(VgpioClientTest, ModelWithoutEmberSettingsNeverConnects) {
    ScriptedProvider provider;
    auto lines = std::make_shared<Lines>();
    std::mutex mutex;
    std::condition_variable changed;
    int pauses = 0;
    EmberClientOptions options = fastOptions(lines);
    options.probe.pausing = [&](std::chrono::milliseconds) {
        std::lock_guard lock(mutex);
        ++pauses;
        changed.notify_all();
    };
    EmberVgpioClient client("127.0.0.1", settingsOf("TRQ-R8X"), provider.port(), options);
    client.start();
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, kWait, [&] { return pauses >= 3; }));
    }
    EXPECT_EQ(client.connection(), nullptr);
    EXPECT_EQ(provider.accept(0ms), nullptr);
    client.stop();
    EXPECT_TRUE(lines->all().empty());
}

TEST(VgpioClientTest, ReportsTheDeviceValuesAndTheirChanges) {
    ScriptedProvider provider;
    auto lines = std::make_shared<Lines>();
    auto reports = std::make_shared<Lines>();
    EmberVgpioClient client("127.0.0.1", settingsOf("VK-Q-64"), provider.port(),
                            fastOptions(lines));
    client.setValueCallback(reportsInto(reports));
    client.start();
    auto peer = provider.accept();
    ASSERT_NE(peer, nullptr);
    ASSERT_EQ(peer->readFrames(20).size(), 20U);

    using namespace build;
    ASSERT_TRUE(peer->send(build::cat({
        valueFrame({1, 8, 2, 3, 6}, boolean(true)),
        valueFrame({1, 8, 2, 3, 1}, integer(4)),
        valueFrame({1, 6, 2, 3, 6}, boolean(true)),  // Another model's table: ignored.
        valueFrame({1, 8, 2, 3, 2}, utf8("label")),  // Not a watched field: ignored.
        valueFrame({1, 8, 2, 3, 6}, integer(0)),
    })));
    ASSERT_TRUE(reports->waitFor("vgpio 3/status", 2));
    EXPECT_THAT(reports->all(),
                ElementsAreArray({"vgpio 3/status 1", "vgpio 3/type 4", "vgpio 3/status 0"}));
}

}  // namespace
}  // namespace pellan
