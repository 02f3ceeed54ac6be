#include "settings/app_settings_manager.hpp"

#include "log/logger.hpp"

#include <gtest/gtest.h>

namespace pellan {
namespace {

std::vector<NetworkInterfaceInfo> twoAdapters() {
    return {{2, "eth0", "198.18.0.1", "eth0 - 198.18.0.1"},
            {3, "eth1", "198.18.1.1", "eth1 - 198.18.1.1"},
            {3, "eth1", "198.18.1.2", "eth1 - 198.18.1.2"}};
}

TEST(AppSettingsManagerTest, StartsWithTheRecordDefaults) {
    Logger logger;
    AppSettingsManager manager(logger, [] { return std::vector<NetworkInterfaceInfo>{}; });
    EXPECT_EQ(manager.snapshot(), AppSettings{});
    EXPECT_TRUE(manager.snapshot().monitoredDeviceOfflineIndicationEnabled);
}

TEST(AppSettingsManagerTest, ApplyLogsEveryField) {
    Logger logger;
    AppSettingsManager manager(logger, twoAdapters);
    AppSettings record;
    record.autoMonitorEnabled = true;
    record.selectedInterface = "eth0 - 198.18.0.1";
    record.lineInDeviceIndex = 3;
    record.helpGpioHostname = "TRQ-GPIO-01";
    record.helpGpioPhysicalIndex = 7;
    manager.apply(record);
    EXPECT_EQ(manager.snapshot(), record);
    const LogEntry entry = logger.recentEntries().back();
    EXPECT_EQ(entry.category, "settings");
    EXPECT_EQ(entry.message,
              "App settings updated: AutoMonitor: true AppLocked: false "
              "MonitoredDeviceOfflineIndicationEnabled: true NetworkInterface: eth0 - 198.18.0.1 "
              "LineInIndex: 3 SpeakerOutIndex: -1 HelpGpioHost: TRQ-GPIO-01 HelpGpioPhys: 7");
}

TEST(AppSettingsManagerTest, RefreshListsAllNetworksThenOneLabelPerAddress) {
    Logger logger;
    AppSettingsManager manager(logger, twoAdapters);
    manager.refreshInterfaces();
    const AppSettings settings = manager.snapshot();
    EXPECT_EQ(settings.interfaces,
              (std::vector<std::string>{"All Networks", "eth0 - 198.18.0.1", "eth1 - 198.18.1.1",
                                        "eth1 - 198.18.1.2"}));
    // A fresh installation selects every network once an adapter is there.
    EXPECT_EQ(settings.selectedInterface, "All Networks");
}

TEST(AppSettingsManagerTest, SelectedInterfaceIndexFollowsTheLabel) {
    struct Case {
        std::string selected;
        int index;
    };
    for (const Case& c : {Case{"All Networks", 0}, Case{"eth1 - 198.18.1.2", 3},
                          Case{"eth0 - 198.18.0.1", 2}, Case{"gone - 198.18.9.9", 0}}) {
        Logger logger;
        AppSettingsManager manager(logger, twoAdapters);
        AppSettings record;
        record.selectedInterface = c.selected;
        manager.apply(record);
        manager.refreshInterfaces();
        EXPECT_EQ(manager.selectedInterfaceIndex(), c.index) << c.selected;
        EXPECT_EQ(manager.snapshot().selectedInterface, c.selected);
    }
}

TEST(AppSettingsManagerTest, NoAdapterLeavesTheSelectionAndDiscoversEverywhere) {
    Logger logger;
    AppSettingsManager manager(logger, [] { return std::vector<NetworkInterfaceInfo>{}; });
    AppSettings record;
    record.selectedInterface = "eth0 - 198.18.0.1";
    record.interfaces = {"stale"};
    manager.apply(record);
    manager.refreshInterfaces();
    EXPECT_TRUE(manager.snapshot().interfaces.empty());
    EXPECT_EQ(manager.snapshot().selectedInterface, "eth0 - 198.18.0.1");
    EXPECT_EQ(manager.selectedInterfaceIndex(), 0);
}

}  // namespace
}  // namespace pellan
