#include "web_test_fixture.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pellan {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

class TileRoutesTest : public test::WebServerFixture {
protected:
    nlohmann::json tileDocument() {
        const auto response = call("GET", "/api/device-tile-settings");
        EXPECT_EQ(response.status, 200);
        const std::string* type = response.header("Content-Type");
        EXPECT_TRUE(type != nullptr && *type == "application/json");
        return nlohmann::json::parse(response.body);
    }
};

TEST_F(TileRoutesTest, StoresTheSettingsOfOneHostAsSentAndPushesBothMaps) {
    const nlohmann::json tile = {{"size", "large"}, {"nested", {{"a", {1, 2, {{"b", nullptr}}}}}}};
    const auto response = call("POST", "/api/device-tile-settings/TRQ%2DPN4-1",
                               nlohmann::json{{"settings", tile}}.dump());
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body, "OK");

    const auto doc = tileDocument();
    EXPECT_EQ(doc["byHost"]["TRQ-PN4-1"], tile);
    EXPECT_EQ(doc["byModel"], nlohmann::json::object());
    EXPECT_TRUE(doc.contains("monitoringDisplayFields"));
    EXPECT_THAT(newPushes(), ElementsAre(nlohmann::json({{"type", "tile-settings"},
                                                         {"byHost", {{"TRQ-PN4-1", tile}}},
                                                         {"byModel", nlohmann::json::object()}})));
    EXPECT_EQ(readJson(paths.tileSettingsFile)["byHost"]["TRQ-PN4-1"], tile);
}

TEST_F(TileRoutesTest, ApplyingToTheModelCoversEveryDeviceOfExactlyThatStockCode) {
    addDevice("TRQ-PN4-1", "198.19.0.1");
    addDevice("TRQ-PN4-2", "198.19.0.2");
    addDevice("trq-pn4-3", "198.19.0.3");  // Stock code "trq-pn4": another model here.
    addDevice("TRQ-PN2-4", "198.19.0.4");
    const nlohmann::json tile = {{"color", "red"}};
    const std::string body = nlohmann::json{{"settings", tile}, {"applyModel", true}}.dump();
    EXPECT_EQ(call("POST", "/api/device-tile-settings/TRQ-PN4-1", body).body, "OK");

    const auto doc = tileDocument();
    EXPECT_EQ(doc["byModel"], nlohmann::json({{"TRQ-PN4", tile}}));
    EXPECT_EQ(doc["byHost"], nlohmann::json({{"TRQ-PN4-1", tile}, {"TRQ-PN4-2", tile}}));

    // An unknown host has no stock code: only its own entry is written.
    EXPECT_EQ(call("POST", "/api/device-tile-settings/ghost", body).body, "OK");
    EXPECT_EQ(tileDocument()["byModel"].size(), 1U);
    EXPECT_TRUE(tileDocument()["byHost"].contains("ghost"));
}

TEST_F(TileRoutesTest, RefusesWhatItCannotStore) {
    struct Case {
        std::string segment;
        std::string body;
        std::string answer;
        bool logged;
    };
    const std::vector<Case> cases{
        {"h1", R"({"settings": 5})", "settings must be a JSON object", false},
        {"h1", R"({"settings": [1]})", "settings must be a JSON object", false},
        {"h1", R"({"settings": null})", "settings must be a JSON object", false},
        {"h1", R"({"applyModel": true})", "Missing settings in request body", false},
        {"h1", "[]", "Missing settings in request body", false},
        {"h1", R"("settings")", "Missing settings in request body", false},
        {"h1", "not json", "Invalid JSON", true},
        {"h1", "", "Invalid JSON", true},
        {"h1", R"({"settings": {}, "applyModel": "yes"})", "Invalid JSON", true},
        {"h1", R"({"settings": {}, "applyModel": 1})", "Invalid JSON", true},
        {"h1", R"({"settings": )" + std::string(150, '[') + std::string(150, ']') + "}",
         "Invalid JSON", true},
        // A name that is not UTF-8 could never be saved to the file again.
        {"%ff", R"({"settings": {}})", "Invalid hostname", false},
        {"a%C3", R"({"settings": {}})", "Invalid hostname", false},
    };
    newLogLines();
    for (const Case& c : cases) {
        const auto response = call("POST", "/api/device-tile-settings/" + c.segment, c.body);
        EXPECT_EQ(response.status, 400) << c.body;
        EXPECT_EQ(response.body, c.answer) << c.body;
        const auto lines = newLogLines();
        if (c.logged) {
            ASSERT_EQ(lines.size(), 1U) << c.body;
            EXPECT_THAT(lines[0].first, StartsWith("Failed to parse tile-settings request: "));
            EXPECT_EQ(lines[0].second, "error");
        } else {
            EXPECT_THAT(lines, IsEmpty()) << c.body;
        }
    }
    // The JSON library's message quotes the token it stopped at: here most of the body. The
    // record keeps only the start of it.
    EXPECT_EQ(call("POST", "/api/device-tile-settings/h1", "\"" + std::string(500'000, 'a')).body,
              "Invalid JSON");
    const auto lines = newLogLines();
    ASSERT_EQ(lines.size(), 1U);
    EXPECT_THAT(lines[0].first, StartsWith("Failed to parse tile-settings request: "));
    EXPECT_LT(lines[0].first.size(), 1000U);

    EXPECT_EQ(tileDocument()["byHost"], nlohmann::json::object());
    EXPECT_THAT(newPushes(), IsEmpty());
    EXPECT_FALSE(std::filesystem::exists(paths.tileSettingsFile));
    EXPECT_EQ(call("POST", "/api/device-tile-settings/", R"({"settings": {}})").status, 405);
}

TEST_F(TileRoutesTest, ASaveThatFailsIsAnsweredAsAFailureAndLogged) {
    // A directory where the file belongs: the save cannot replace it, even for root.
    std::filesystem::create_directories(paths.tileSettingsFile);
    newLogLines();
    const nlohmann::json tile = {{"size", "large"}};
    const std::string body = nlohmann::json{{"settings", tile}}.dump();
    const auto failed = call("POST", "/api/device-tile-settings/h1", body);
    EXPECT_EQ(failed.status, 400);
    EXPECT_EQ(failed.body, "Invalid JSON");
    const auto lines = newLogLines();
    ASSERT_EQ(lines.size(), 1U);
    EXPECT_THAT(lines[0].first, StartsWith("Failed to parse tile-settings request: "));
    EXPECT_THAT(lines[0].first, HasSubstr("device-tile-settings.json"));
    EXPECT_EQ(lines[0].second, "error");
    // The pages hear of no change that the next start would not find; the store keeps it in
    // memory, as after any failed save.
    EXPECT_THAT(newPushes(), IsEmpty());
    EXPECT_EQ(tileDocument()["byHost"]["h1"], tile);

    std::filesystem::remove_all(paths.tileSettingsFile);
    const auto saved = call("POST", "/api/device-tile-settings/h2", body);
    EXPECT_EQ(saved.status, 200);
    EXPECT_EQ(saved.body, "OK");
    EXPECT_EQ(readJson(paths.tileSettingsFile)["byHost"],
              nlohmann::json({{"h1", tile}, {"h2", tile}}));
    EXPECT_THAT(newLogLines(), IsEmpty());
}

TEST_F(TileRoutesTest, DisplayFieldsTakeTheirDefaultsAndNeedOneShown) {
    const auto initial = call("GET", "/api/monitoring-display-fields");
    EXPECT_EQ(initial.status, 200);
    ASSERT_NE(initial.header("Content-Type"), nullptr);
    EXPECT_EQ(*initial.header("Content-Type"), "application/json");
    EXPECT_EQ(initial.body,
              R"({"fields":{"danteName":true,"friendlyName":false,"hostname":true,"ip":true}})");

    const auto stored = call("POST", "/api/monitoring-display-fields",
                             R"({"fields": {"ip": false, "friendlyName": true, "unknown": 1}})");
    EXPECT_EQ(stored.status, 200);
    EXPECT_EQ(stored.body, R"({"ok":true})");
    ASSERT_NE(stored.header("Content-Type"), nullptr);
    const nlohmann::json expected = {
        {"danteName", true}, {"friendlyName", true}, {"hostname", true}, {"ip", false}};
    EXPECT_EQ(nlohmann::json::parse(call("GET", "/api/monitoring-display-fields").body)["fields"],
              expected);
    EXPECT_THAT(newPushes(), ElementsAre(nlohmann::json(
                                 {{"type", "monitoring-display-fields"}, {"fields", expected}})));
    EXPECT_EQ(readJson(paths.tileSettingsFile)["monitoringDisplayFields"], expected);

    EXPECT_EQ(call("POST", "/api/monitoring-display-fields", R"({"fields": {}})").body,
              R"({"ok":true})");
    EXPECT_EQ(
        readJson(paths.tileSettingsFile)["monitoringDisplayFields"],
        nlohmann::json(
            {{"danteName", true}, {"friendlyName", false}, {"hostname", true}, {"ip", true}}));
}

TEST_F(TileRoutesTest, DisplayFieldsRefuseBadBodiesWithTheirReason) {
    struct Case {
        std::string body;
        std::string answer;  // Prefix of the body.
    };
    const std::vector<Case> cases{
        {"{}", "Missing fields"},
        {"[]", "Missing fields"},
        {R"({"fields": []})", "Missing fields"},
        {R"({"fields": true})", "Missing fields"},
        {R"({"fields": {"hostname": false, "ip": false, "danteName": false}})",
         "Select at least one field"},
        {R"({"fields": {"hostname": "yes"}})", "Invalid JSON: [json.exception.type_error.302]"},
        {R"({"fields": {"ip": null}})", "Invalid JSON: [json.exception.type_error.302]"},
        {"nope", "Invalid JSON: [json.exception.parse_error.101]"},
        {"", "Invalid JSON: [json.exception.parse_error.101]"},
    };
    newLogLines();
    for (const Case& c : cases) {
        const auto response = call("POST", "/api/monitoring-display-fields", c.body);
        EXPECT_EQ(response.status, 400) << c.body;
        EXPECT_THAT(response.body, StartsWith(c.answer)) << c.body;
    }
    EXPECT_THAT(newLogLines(), IsEmpty());
    EXPECT_THAT(newPushes(), IsEmpty());
    EXPECT_FALSE(std::filesystem::exists(paths.tileSettingsFile));
}

TEST_F(TileRoutesTest, LogsAndVersion) {
    logger.log("first \"quoted\"", "manual");
    logger.log("second", "device");
    const auto logs = call("GET", "/api/logs");
    EXPECT_EQ(logs.status, 200);
    EXPECT_EQ(logs.header("Content-Type"), nullptr);
    const auto records = nlohmann::json::parse(logs.body);
    const auto entries = logger.recentEntries();
    ASSERT_EQ(records.size(), entries.size());
    ASSERT_GE(records.size(), 2U);
    const auto& last = records[records.size() - 1];
    EXPECT_EQ(last["message"], "second");
    EXPECT_EQ(last["type"], "device");
    EXPECT_EQ(last["timestamp"], entries.back().timestamp);
    EXPECT_EQ(records[records.size() - 2]["message"], "first \"quoted\"");
    EXPECT_EQ(last.size(), 3U);

    const auto version = call("GET", "/api/version");
    EXPECT_EQ(version.status, 200);
    EXPECT_EQ(version.body, R"({"version":"1.6"})");
    ASSERT_NE(version.header("Content-Type"), nullptr);
    EXPECT_EQ(*version.header("Content-Type"), "application/json");
}

TEST_F(TileRoutesTest, TheLogRouteAnswersWithAtMostTheNewestRecords) {
    for (int i = 0; i < 250; ++i) {
        logger.log("line " + std::to_string(i), "manual");
    }
    const auto records = nlohmann::json::parse(call("GET", "/api/logs").body);
    ASSERT_EQ(records.size(), Logger::kRecentLimit);
    EXPECT_EQ(records.back()["message"], "line 249");
}

}  // namespace
}  // namespace pellan
