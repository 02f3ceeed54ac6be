#include "storage/device_tile_settings_manager.hpp"

#include "storage_test_support.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <string>

namespace pellan {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using test::directoryEntries;
using test::quotedPath;
using test::readFile;
using test::StderrCapture;
using test::TempDir;
using test::writeFile;

class DeviceTileSettingsManagerTest : public ::testing::Test {
protected:
    std::string wrongTypeLine(const std::string& key) const {
        return "DeviceTileSettingsManager: ignoring \"" + key + "\" of wrong type in " +
               quotedPath(path) + "\n";
    }

    static json defaults() {
        return json::parse(R"({"byHost": {}, "byModel": {}, "monitoringDisplayFields":
            {"danteName": true, "friendlyName": false, "hostname": true, "ip": true}})");
    }

    TempDir dir;
    fs::path path = dir / "device-tile-settings.json";
};

TEST_F(DeviceTileSettingsManagerTest, NoFileGivesTheDefaultsAndWritesNothing) {
    StderrCapture capture;
    DeviceTileSettingsManager manager(path);
    EXPECT_EQ(manager.snapshotDocument(), defaults());
    EXPECT_EQ(manager.monitoringDisplayFields(), defaults()["monitoringDisplayFields"]);
    EXPECT_EQ(DeviceTileSettingsManager::defaultMonitoringDisplayFields(),
              defaults()["monitoringDisplayFields"]);
    EXPECT_EQ(capture.take(), "");
    EXPECT_TRUE(directoryEntries(dir.path()).empty());
}

TEST_F(DeviceTileSettingsManagerTest, DisplayFieldsFromTheFileAreNotFilledFromTheDefault) {
    writeFile(path, R"({"monitoringDisplayFields": {"ip": false}})");
    DeviceTileSettingsManager manager(path);
    EXPECT_EQ(manager.snapshotDocument(), json::parse(R"({"byHost": {}, "byModel": {},
                              "monitoringDisplayFields": {"ip": false}})"));
}

TEST_F(DeviceTileSettingsManagerTest, KeysOfTheWrongTypeKeepTheirDefaultsOthersAreTakenOver) {
    writeFile(path, R"({"byHost": ["TRQ-PN1-01"], "byModel": {"TRQ-PN1": {"size": "large"}},
                        "monitoringDisplayFields": []})");
    StderrCapture capture;
    DeviceTileSettingsManager manager(path);
    EXPECT_EQ(capture.take(), wrongTypeLine("byHost") + wrongTypeLine("monitoringDisplayFields"));
    json expected = defaults();
    expected["byModel"] = json::parse(R"({"TRQ-PN1": {"size": "large"}})");
    EXPECT_EQ(manager.snapshotDocument(), expected);
}

TEST_F(DeviceTileSettingsManagerTest, UnknownTopLevelKeysAndVersionAreGoneAfterTheNextSave) {
    writeFile(path, R"({"version": 1, "theme": "dark",
                        "byHost": {"TRQ-PN4-01": {"color": "r\u00e9d", "order": [2, 1]}}})");
    DeviceTileSettingsManager manager(path);
    ASSERT_TRUE(manager.setMonitoringDisplayFields(json::parse(R"({"ip": false, "x": 1})")));
    EXPECT_EQ(readFile(path), "{\n"
                              "  \"byHost\": {\n"
                              "    \"TRQ-PN4-01\": {\n"
                              "      \"color\": \"r\xc3\xa9\x64\",\n"
                              "      \"order\": [\n"
                              "        2,\n"
                              "        1\n"
                              "      ]\n"
                              "    }\n"
                              "  },\n"
                              "  \"byModel\": {},\n"
                              "  \"monitoringDisplayFields\": {\n"
                              "    \"ip\": false,\n"
                              "    \"x\": 1\n"
                              "  }\n"
                              "}");
}

TEST_F(DeviceTileSettingsManagerTest, DisplayFieldsThatAreNotAnObjectStoreTheDefault) {
    DeviceTileSettingsManager manager(path);
    ASSERT_TRUE(manager.setMonitoringDisplayFields({{"hostname", false}}));
    for (const json& notAnObject : {json::array({"ip"}), json("ip"), json()}) {
        SCOPED_TRACE(notAnObject.dump());
        ASSERT_TRUE(manager.setMonitoringDisplayFields(notAnObject));
        EXPECT_EQ(manager.monitoringDisplayFields(), defaults()["monitoringDisplayFields"]);
        EXPECT_EQ(json::parse(readFile(path)), defaults());
    }
}

TEST_F(DeviceTileSettingsManagerTest, ReplacedDocumentIsBroughtIntoShapeAndSaved) {
    DeviceTileSettingsManager manager(path);
    json changed = manager.snapshotDocument();
    changed["byHost"]["TRQ-PN2-07"] = {{"compact", true}};
    changed["byModel"] = "not an object";
    changed["extra"] = 1;
    ASSERT_TRUE(manager.replaceDocument(changed));
    json expected = defaults();
    expected["byHost"]["TRQ-PN2-07"] = {{"compact", true}};
    expected["extra"] = 1;
    EXPECT_EQ(manager.snapshotDocument(), expected);
    EXPECT_EQ(json::parse(readFile(path)), expected);
    EXPECT_EQ(DeviceTileSettingsManager(path).snapshotDocument()["byHost"], expected["byHost"]);

    ASSERT_TRUE(manager.replaceDocument(json::array()));
    EXPECT_EQ(manager.snapshotDocument(), defaults());
}

TEST_F(DeviceTileSettingsManagerTest, FailedSaveKeepsTheChangeInMemory) {
    fs::create_directories(fs::path(path.string() + ".tmp") / "x");
    DeviceTileSettingsManager manager(path);
    StderrCapture capture;
    EXPECT_FALSE(manager.setMonitoringDisplayFields({{"ip", false}}));
    capture.take();
    EXPECT_EQ(manager.monitoringDisplayFields(), json({{"ip", false}}));
    EXPECT_FALSE(fs::exists(path));
}

TEST_F(DeviceTileSettingsManagerTest, DocumentTooDeepToWriteIsRefusedInLowerCase) {
    DeviceTileSettingsManager manager(path);
    ASSERT_TRUE(manager.setMonitoringDisplayFields({{"ip", false}}));
    const std::string before = readFile(path);
    // Built by moving, never copying: a copy would recurse once per level.
    json deep = json::array();
    for (int level = 0; level < 10000; ++level) {
        json outer = json::array();
        outer.push_back(std::move(deep));
        deep = std::move(outer);
    }
    json document = json::object();
    document["byHost"] = json::object();
    document["byHost"]["TRQ-PN1-01"] = std::move(deep);
    StderrCapture capture;
    EXPECT_FALSE(manager.replaceDocument(std::move(document)));
    EXPECT_EQ(capture.take(), "DeviceTileSettingsManager: failed to save " + quotedPath(path) +
                                  " : nested deeper than 512 levels\n");
    EXPECT_EQ(readFile(path), before);
}

TEST_F(DeviceTileSettingsManagerTest, InvalidUtf8IsRefusedInLowerCaseAndLeavesTheFile) {
    DeviceTileSettingsManager manager(path);
    ASSERT_TRUE(manager.setMonitoringDisplayFields({{"ip", false}}));
    const std::string before = readFile(path);
    StderrCapture capture;
    EXPECT_FALSE(manager.setMonitoringDisplayFields({{"ip\xc3", false}}));
    const std::string text = capture.take();
    const std::string prefix = "DeviceTileSettingsManager: failed to save " + quotedPath(path);
    EXPECT_EQ(text.rfind(prefix + " : ", 0), 0U) << text;
    EXPECT_EQ(readFile(path), before);
}

}  // namespace
}  // namespace pellan
