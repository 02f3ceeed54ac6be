#include "storage/app_settings_store.hpp"

#include "storage_test_support.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <functional>
#include <string>
#include <vector>

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

class AppSettingsStoreTest : public ::testing::Test {
protected:
    /// A fresh store's loadAppSettings(), and what that call wrote to stderr.
    AppSettings load(std::string* errors = nullptr) {
        AppSettingsStore store(path);
        StderrCapture capture;
        AppSettings settings = store.loadAppSettings();
        const std::string text = capture.take();
        if (errors != nullptr) {
            *errors = text;
        }
        return settings;
    }

    static AppSettings customSettings() {
        AppSettings settings;
        settings.autoMonitorEnabled = true;
        settings.appLocked = true;
        settings.monitoredDeviceOfflineIndicationEnabled = false;
        settings.selectedInterface = "eth1 (198.18.10.5)";
        settings.lineInDeviceIndex = 3;
        settings.speakerOutDeviceIndex = 7;
        settings.helpGpioHostname = "TRQ-GPIO-01";
        settings.helpGpioPhysicalIndex = 4;
        return settings;
    }

    /// customSettings() as the file holds it.
    static json customSettingsJson() {
        return json::parse(R"json({"autoMonitorEnabled": true, "appLocked": true,
            "monitoredDeviceOfflineIndicationEnabled": false,
            "selectedInterface": "eth1 (198.18.10.5)", "lineInDeviceIndex": 3,
            "speakerOutDeviceIndex": 7, "helpGpioHostname": "TRQ-GPIO-01",
            "helpGpioPhysicalIndex": 4})json");
    }

    TempDir dir;
    fs::path path = dir / "app_settings.json";
};

TEST_F(AppSettingsStoreTest, NoFileGivesTheDefaultsAndWritesNothing) {
    std::string errors;
    const AppSettings settings = load(&errors);
    EXPECT_EQ(settings, AppSettings{});
    EXPECT_TRUE(settings.monitoredDeviceOfflineIndicationEnabled);
    EXPECT_EQ(errors, "");
    EXPECT_TRUE(directoryEntries(dir.path()).empty());
}

TEST_F(AppSettingsStoreTest, EmptyObjectOrArrayGivesTheDefaultsAndIsNotRewritten) {
    for (const std::string content : {"{}", "[]", "{\"appSettings\": {}}"}) {
        SCOPED_TRACE(content);
        writeFile(path, content);
        std::string errors;
        EXPECT_EQ(load(&errors), AppSettings{});
        EXPECT_EQ(errors, "");
        EXPECT_EQ(readFile(path), content);
    }
}

TEST_F(AppSettingsStoreTest, SavedFileHasTheExactLayoutWithRawUtf8) {
    AppSettings settings;
    settings.selectedInterface = "Studio Wi-Fi \xc3\xa9\xe2\x82\xac";  // é and the euro sign
    settings.interfaces = {"never", "persisted"};
    AppSettingsStore store(path);
    ASSERT_TRUE(store.saveAppSettings(settings));
    EXPECT_EQ(readFile(path), "{\n"
                              "  \"appSettings\": {\n"
                              "    \"appLocked\": false,\n"
                              "    \"autoMonitorEnabled\": false,\n"
                              "    \"helpGpioHostname\": \"\",\n"
                              "    \"helpGpioPhysicalIndex\": -1,\n"
                              "    \"lineInDeviceIndex\": -1,\n"
                              "    \"monitoredDeviceOfflineIndicationEnabled\": true,\n"
                              "    \"selectedInterface\": \"Studio Wi-Fi \xc3\xa9\xe2\x82\xac\",\n"
                              "    \"speakerOutDeviceIndex\": -1\n"
                              "  },\n"
                              "  \"version\": 1\n"
                              "}");
}

TEST_F(AppSettingsStoreTest, EveryPersistedFieldRoundTripsButNotTheInterfaces) {
    AppSettings settings = customSettings();
    settings.interfaces = {"All Networks", "eth1 (198.18.10.5)"};
    ASSERT_TRUE(AppSettingsStore(path).saveAppSettings(settings));
    settings.interfaces.clear();
    EXPECT_EQ(load(), settings);
}

TEST_F(AppSettingsStoreTest, OneFlagInTheFileKeepsTheRestDefaultAndNextSaveWritesAllEight) {
    writeFile(path, R"({"appSettings": {"autoMonitorEnabled": true}})");
    AppSettingsStore store(path);
    AppSettings settings = store.loadAppSettings();
    AppSettings expected;
    expected.autoMonitorEnabled = true;
    EXPECT_EQ(settings, expected);
    ASSERT_TRUE(store.saveAppSettings(settings));
    const json saved = json::parse(readFile(path));
    EXPECT_EQ(saved["appSettings"].size(), 8U);
    EXPECT_EQ(saved["appSettings"]["autoMonitorEnabled"], true);
    EXPECT_EQ(saved["version"], 1);
}

TEST_F(AppSettingsStoreTest, KeepsVersionAndUnknownTopLevelKeysButDropsUnknownSettingsKeys) {
    writeFile(path, R"({"version": 7, "handAdded": {"note": [1, 2]},
                        "appSettings": {"appLocked": true, "retiredOption": 5}})");
    AppSettingsStore store(path);
    AppSettings settings = store.loadAppSettings();
    EXPECT_TRUE(settings.appLocked);
    ASSERT_TRUE(store.saveAppSettings(settings));
    settings.lineInDeviceIndex = 2;
    ASSERT_TRUE(store.saveAppSettings(settings));
    const json saved = json::parse(readFile(path));
    EXPECT_EQ(saved["version"], 7);
    EXPECT_EQ(saved["handAdded"], json::parse(R"({"note": [1, 2]})"));
    EXPECT_FALSE(saved["appSettings"].contains("retiredOption"));
    EXPECT_EQ(saved["appSettings"]["lineInDeviceIndex"], 2);
}

TEST_F(AppSettingsStoreTest, SettingsOfTheWrongTypeAreReplacedAndRewrittenAsAnObject) {
    for (const std::string content :
         {R"({"appSettings": [true]})", R"({"appSettings": "autoMonitorEnabled"})"}) {
        SCOPED_TRACE(content);
        writeFile(path, content);
        AppSettingsStore store(path);
        StderrCapture capture;
        EXPECT_EQ(store.loadAppSettings(), AppSettings{});
        EXPECT_EQ(capture.take(), "AppSettingsStore: ignoring \"appSettings\" of wrong type in " +
                                      quotedPath(path) + "\n");
        ASSERT_TRUE(store.saveAppSettings(AppSettings{}));
        EXPECT_EQ(json::parse(readFile(path))["appSettings"].size(), 8U);
    }
}

TEST_F(AppSettingsStoreTest, KeyOfTheWrongTypeTakesItsDefaultAndOthersAreKept) {
    struct Case {
        std::string key;
        std::string value;  ///< JSON text.
        std::function<void(AppSettings&)> resetToDefault;
    };
    const std::vector<Case> cases = {
        {"autoMonitorEnabled", "1", [](AppSettings& s) { s.autoMonitorEnabled = false; }},
        {"autoMonitorEnabled", "\"true\"", [](AppSettings& s) { s.autoMonitorEnabled = false; }},
        {"appLocked", "null", [](AppSettings& s) { s.appLocked = false; }},
        {"monitoredDeviceOfflineIndicationEnabled", "0",
         [](AppSettings& s) { s.monitoredDeviceOfflineIndicationEnabled = true; }},
        {"selectedInterface", "5", [](AppSettings& s) { s.selectedInterface.clear(); }},
        {"selectedInterface", "[\"eth0\"]", [](AppSettings& s) { s.selectedInterface.clear(); }},
        {"lineInDeviceIndex", "\"3\"", [](AppSettings& s) { s.lineInDeviceIndex = -1; }},
        {"lineInDeviceIndex", "3.0", [](AppSettings& s) { s.lineInDeviceIndex = -1; }},
        {"lineInDeviceIndex", "2147483648", [](AppSettings& s) { s.lineInDeviceIndex = -1; }},
        {"speakerOutDeviceIndex", "-2147483649",
         [](AppSettings& s) { s.speakerOutDeviceIndex = -1; }},
        {"speakerOutDeviceIndex", "true", [](AppSettings& s) { s.speakerOutDeviceIndex = -1; }},
        {"helpGpioHostname", "{}", [](AppSettings& s) { s.helpGpioHostname.clear(); }},
        {"helpGpioPhysicalIndex", "18446744073709551615",
         [](AppSettings& s) { s.helpGpioPhysicalIndex = -1; }},
        {"helpGpioPhysicalIndex", "1e2", [](AppSettings& s) { s.helpGpioPhysicalIndex = -1; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key + " = " + c.value);
        json document = {{"appSettings", customSettingsJson()}};
        document["appSettings"][c.key] = json::parse(c.value);
        writeFile(path, document.dump());
        std::string errors;
        const AppSettings settings = load(&errors);
        AppSettings expected = customSettings();
        c.resetToDefault(expected);
        EXPECT_EQ(settings, expected);
        EXPECT_EQ(errors, "AppSettingsStore: ignoring \"" + c.key + "\" of wrong type in " +
                              quotedPath(path) + "\n");
    }
}

TEST_F(AppSettingsStoreTest, IntegersAtTheInt32LimitsAreRead) {
    writeFile(path, R"({"appSettings": {"lineInDeviceIndex": 2147483647,
                                        "speakerOutDeviceIndex": -2147483648}})");
    std::string errors;
    const AppSettings settings = load(&errors);
    EXPECT_EQ(settings.lineInDeviceIndex, 2147483647);
    EXPECT_EQ(settings.speakerOutDeviceIndex, -2147483647 - 1);
    EXPECT_EQ(errors, "");
}

}  // namespace
}  // namespace pellan
