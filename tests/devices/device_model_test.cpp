#include "devices/device_entry.hpp"
#include "devices/device_model.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace pellan {
namespace {

struct StockCodeCase {
    std::string hostname;
    std::string stockCode;
    std::int32_t commCount;
};

class DeriveStockCodeTest : public ::testing::TestWithParam<StockCodeCase> {};

TEST_P(DeriveStockCodeTest, DerivesStockCodeAndCommCountFromHostname) {
    const StockCodeCase& c = GetParam();
    DeviceEntry entry;
    entry.hostname = c.hostname;
    entry.stockCode = "stale";
    entry.commCount = 99;
    deriveStockCode(entry);
    EXPECT_EQ(entry.stockCode, c.stockCode);
    EXPECT_EQ(entry.commCount, c.commCount);
    EXPECT_EQ(entry.hostname, c.hostname);
}

INSTANTIATE_TEST_SUITE_P(
    HostnameCases, DeriveStockCodeTest,
    ::testing::Values(
        // Two or more '-': the part before the last one, case kept.
        StockCodeCase{"TRQ-PN4-0A1B2C", "TRQ-PN4", 4},
        StockCodeCase{"trq-pn2-studio-3", "trq-pn2-studio", 2},
        StockCodeCase{"TRQ-PN1-AB12", "TRQ-PN1", 1}, StockCodeCase{"trq-r8x-01", "trq-r8x", 0},
        StockCodeCase{"VK-Q-64-00FF", "VK-Q-64", 0},
        // Fewer than two '-': the whole host name.
        StockCodeCase{"TRQ-PN1", "TRQ-PN1", 1}, StockCodeCase{"TRQ-GPIO", "TRQ-GPIO", 0},
        StockCodeCase{"studiopanel", "studiopanel", 0}, StockCodeCase{"", "", 0},
        // Prefix, not equality: TRQ-PN1X still selects the one-channel row.
        StockCodeCase{"TRQ-PN1X-77", "TRQ-PN1X", 1},
        // A prefix later in the text does not count.
        StockCodeCase{"XTRQ-PN1-01", "XTRQ-PN1", 0},
        // The last '-' ends the stock code even when it is the final character.
        StockCodeCase{"TRQ-PN2-", "TRQ-PN2", 2}));

// The codes are the numbers of the model table as written down for the devices, so a renumbered
// enumerator fails here as well as a wrong row.
struct ModelCase {
    std::string stockCode;
    std::int32_t commCount;
    bool talk;
    bool help;
    bool contextPanel;
    std::int32_t wsSubprotocol;
    std::int32_t stateParser;
    bool emberEnabled;
    std::vector<std::int32_t> vgpioBasePath;
};

class LookupDeviceModelTest : public ::testing::TestWithParam<ModelCase> {};

TEST_P(LookupDeviceModelTest, SelectsRowByCaseInsensitivePrefix) {
    const ModelCase& c = GetParam();
    const DeviceModelInfo& info = lookupDeviceModel(c.stockCode);
    EXPECT_EQ(info.commCount, c.commCount);
    EXPECT_EQ(info.talk, c.talk);
    EXPECT_EQ(info.help, c.help);
    EXPECT_EQ(info.contextPanel, c.contextPanel);
    EXPECT_EQ(info.wsPort, 8081);
    EXPECT_EQ(static_cast<std::int32_t>(info.wsSubprotocol), c.wsSubprotocol);
    EXPECT_EQ(static_cast<std::int32_t>(info.stateParser), c.stateParser);
    EXPECT_EQ(info.emberEnabled, c.emberEnabled);
    EXPECT_EQ(info.emberPort, 9000);
    EXPECT_EQ(info.vgpioBasePath, c.vgpioBasePath);
    EXPECT_EQ(info.vgpioCount, 10);
    EXPECT_EQ(info.vgpioTypeField, 1);
    EXPECT_EQ(info.vgpioStatusField, 6);
}

INSTANTIATE_TEST_SUITE_P(
    ModelTable, LookupDeviceModelTest,
    ::testing::Values(ModelCase{"TRQ-PN1", 1, true, true, true, 1, 1, true, {1, 6, 2}},
                      ModelCase{"trq-pn1", 1, true, true, true, 1, 1, true, {1, 6, 2}},
                      ModelCase{"TRQ-PN1X", 1, true, true, true, 1, 1, true, {1, 6, 2}},
                      ModelCase{"TRQ-PN1-A", 1, true, true, true, 1, 1, true, {1, 6, 2}},
                      ModelCase{"TRQ-PN2", 2, true, true, true, 2, 2, true, {1, 5, 2}},
                      ModelCase{"trq-pn2-studio", 2, true, true, true, 2, 2, true, {1, 5, 2}},
                      ModelCase{"TRQ-PN4", 4, true, true, true, 2, 2, true, {1, 5, 2}},
                      ModelCase{"TRQ-R8X", 0, false, false, false, 3, 3, false, {}},
                      ModelCase{"trq-r8x", 0, false, false, false, 3, 3, false, {}},
                      ModelCase{"VK-Q-64", 0, true, true, true, 3, 4, true, {1, 8, 2}},
                      ModelCase{"vk-q-64", 0, true, true, true, 3, 4, true, {1, 8, 2}},
                      // Default row: anything else.
                      ModelCase{"TRQ-GPIO", 0, false, false, false, 0, 0, false, {}},
                      ModelCase{"XTRQ-PN1", 0, false, false, false, 0, 0, false, {}},
                      ModelCase{"TRQ-PN", 0, false, false, false, 0, 0, false, {}},
                      ModelCase{"", 0, false, false, false, 0, 0, false, {}}));

TEST(LookupDeviceModel, ReturnsTheSameRowForEveryCallAndCase) {
    EXPECT_EQ(&lookupDeviceModel("TRQ-PN4"), &lookupDeviceModel("trq-pn4-x"));
    EXPECT_EQ(&lookupDeviceModel("nothing"), &lookupDeviceModel("other"));
    EXPECT_NE(&lookupDeviceModel("TRQ-PN4"), &lookupDeviceModel("TRQ-PN2"));
}

TEST(DeviceEntry, DefaultHasUnknownGpioAndUnconfiguredIndexes) {
    const DeviceEntry entry;
    for (std::size_t n = 0; n < 11; ++n) {
        EXPECT_EQ(entry.vgpioTypes[n], -1) << n;
        EXPECT_EQ(entry.vgpioStates[n], -1) << n;
        EXPECT_EQ(entry.gpioPhysicalTypes[n], -1) << n;
        EXPECT_EQ(entry.gpioPhysicalOverride[n], -1) << n;
        EXPECT_EQ(entry.gpioPhysicalStatus[n], -1) << n;
    }
    EXPECT_EQ(entry.vgpioHelpIndex, -1);
    EXPECT_EQ(entry.linkedGpioPhysicalIndex, -1);
    EXPECT_EQ(entry.paInputDeviceIndex, -1);
    EXPECT_EQ(entry.paTalkOutputDeviceIndex, -1);
    EXPECT_EQ(entry.commCount, 0);
    for (const std::int32_t level : entry.meterLevels) {
        EXPECT_EQ(level, 0);
    }
    EXPECT_TRUE(entry.hostname.empty());
    EXPECT_FALSE(entry.isOnline);
    EXPECT_FALSE(entry.isMonitored);
    EXPECT_FALSE(entry.isManuallyAdded);
}

}  // namespace
}  // namespace pellan
