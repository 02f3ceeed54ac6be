// Hand-made state files restored by the real executable: the counts in the restore lines,
// the clear message for a file that cannot be used, and files left exactly as they were.
#include "integration/app_fixture.hpp"

#include <gtest/gtest.h>

namespace pellan {
namespace {

using test::AppHome;
using test::readFile;
using test::writeFile;

struct RestoreCase {
    std::string name;
    std::string devices;  ///< Content of devices_state.json; empty string = no file.
    int expectedDevices;
    std::string stderrText;  ///< Expected on standard error; empty = nothing about devices.
};

std::string nested(int depth) {
    return std::string(static_cast<std::size_t>(depth), '[') +
           std::string(static_cast<std::size_t>(depth), ']');
}

std::string manyDevices(int count) {
    std::string text = R"({"devices":[)";
    for (int i = 0; i < count; ++i) {
        text += (i ? "," : "") + std::string(R"({"hostname":"TRQ-PN4-)") + std::to_string(i) +
                R"(","isMonitored":true})";
    }
    return text + "]}";
}

class RestoreTest : public ::testing::TestWithParam<RestoreCase> {};

TEST_P(RestoreTest, RestoresWhatCanBeUsedAndTouchesNoFile) {
    const RestoreCase& c = GetParam();
    AppHome home;
    std::filesystem::create_directories(home.dataDir());
    const auto devicesFile = home.dataDir() / "devices_state.json";
    writeFile(devicesFile, c.devices);
    ASSERT_EQ(test::runOnce(home), 0) << home.stderrOf();
    EXPECT_NE(home.log().find("[settings] Restored devices from devices_state.json (" +
                              std::to_string(c.expectedDevices) + ")"),
              std::string::npos)
        << home.log();
    const std::string err = home.stderrOf();
    if (c.stderrText.empty()) {
        EXPECT_EQ(err.find("DevicesStateStore"), std::string::npos) << err;
    } else {
        EXPECT_NE(err.find(c.stderrText), std::string::npos) << err;
    }
    EXPECT_EQ(readFile(devicesFile), c.devices) << "restore must not rewrite the file";
}

INSTANTIATE_TEST_SUITE_P(
    DevicesFiles, RestoreTest,
    ::testing::Values(
        RestoreCase{"Empty", "", 0, "DevicesStateStore: failed to load"},
        RestoreCase{"Truncated", R"({"devices":[{"hostname":"TRQ-PN1-01"},{"hostn)", 0,
                    "DevicesStateStore: failed to load"},
        RestoreCase{"NotUtf8", "{\"devices\":[{\"hostname\":\"TRQ-\xff\xfe\"}]}", 0,
                    "DevicesStateStore: failed to load"},
        RestoreCase{"DeeplyNested", R"({"devices":)" + nested(10000) + "}", 0,
                    "DevicesStateStore: failed to load"},
        RestoreCase{"TopLevelArray", R"([{"hostname":"TRQ-PN1-01"}])", 0, ""},
        RestoreCase{"TopLevelString", R"("devices")", 0, ""},
        RestoreCase{"DevicesObject", R"({"devices":{"hostname":"TRQ-PN1-01"}})", 0,
                    "ignoring \"devices\" of wrong type"},
        RestoreCase{"DuplicateHostsAndEmptyOnesDropped",
                    R"({"devices":[{"hostname":"A-B-1"},{"hostname":"A-B-1"},{"hostname":""},)"
                    R"(5,{"ip":"198.18.0.9"}],"version":3,"extra":{"kept":true}})",
                    2, ""},
        RestoreCase{"WrongTypedKeyKeepsTheRest",
                    R"({"devices":[{"hostname":"TRQ-PN2-01","isMonitored":"yes"}]})", 1,
                    "isMonitored"},
        RestoreCase{"TenThousandDevices", manyDevices(10000), 10000, ""}),
    [](const ::testing::TestParamInfo<RestoreCase>& testCase) { return testCase.param.name; });

TEST(RestoreFilesTest, SettingsAndGroupsComeBackWithTheirCounts) {
    AppHome home;
    std::filesystem::create_directories(home.dataDir());
    writeFile(home.dataDir() / "app_settings.json",
              R"({"appSettings":{"autoMonitorEnabled":true,"lineInDeviceIndex":"3",)"
              R"("helpGpioHostname":"TRQ-GPIO-01","helpGpioPhysicalIndex":4,"unknown":1},)"
              R"("version":7,"mine":"kept"})");
    writeFile(home.dataDir() / "groups_state.json",
              R"({"groups":{"A":["h1",5,"h2"],"B":"not a group","C":[]},"order":["C","A","C",3]})");
    ASSERT_EQ(test::runOnce(home), 0) << home.stderrOf();
    const std::string log = home.log();
    EXPECT_NE(log.find("App settings updated: AutoMonitor: true AppLocked: false "
                       "MonitoredDeviceOfflineIndicationEnabled: true NetworkInterface: "),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("LineInIndex: -1 SpeakerOutIndex: -1 HelpGpioHost: TRQ-GPIO-01 "
                       "HelpGpioPhys: 4"),
              std::string::npos)
        << log;
    EXPECT_NE(home.stderrOf().find("lineInDeviceIndex"), std::string::npos) << home.stderrOf();
    EXPECT_NE(log.find("[settings] Restored groups from groups_state.json (2)"), std::string::npos)
        << log;
}

}  // namespace
}  // namespace pellan
