#include "push/push_messages.hpp"

#include "devices/device_entry.hpp"
#include "devices/device_model.hpp"
#include "log/logger.hpp"
#include "push/device_view.hpp"
#include "storage/app_settings.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace pellan {
namespace {

struct GoldenCase {
    std::string name;
    nlohmann::json message;
    std::string expected;
};

/// A four-channel panel as the registry holds it while its link reports live state.
DeviceEntry samplePanel() {
    DeviceEntry entry;
    entry.hostname = "TRQ-PN4-0A1B2C";
    deriveStockCode(entry);
    entry.danteName = "Studio 3 Panel";
    entry.friendlyName = "Studio 3";
    entry.ip = "198.18.0.10";
    entry.isOnline = true;
    entry.isMonitored = true;
    entry.onAirStates = {true, false, false, false};
    entry.talkBackStates = {"", "A", "", ""};
    entry.muted = {false, false, true, false, false, false, false, false};
    entry.vgpioHelpIndex = 2;
    entry.vgpioTypes = {-1, 1, 1, -1, -1, -1, -1, -1, -1, -1, -1};
    entry.vgpioStates = {-1, 0, 1, -1, -1, -1, -1, -1, -1, -1, -1};
    entry.discoveredByHttp = true;
    return entry;
}

/// Every message of the catalogue as the wire carries it. The examples of
/// docs/push-messages.md name these cases and must be these exact strings.
std::vector<GoldenCase> goldenCases() {
    const LogEntry entry{"2024-05-01 10:00:00", "Device TRQ-PN4-0A1B2C marking online", "monitor"};
    AppSettings settings;
    settings.interfaces = {"All Networks", "eth0 - 198.18.0.1"};
    settings.selectedInterface = "All Networks";
    settings.helpGpioHostname = "TRQ-GPIO";
    settings.helpGpioPhysicalIndex = 3;
    return {
        {"application-stopping", makeApplicationStoppingMessage(),
         R"({"message":"Vantrel Pellan is shutting down. Please wait...","type":"application-stopping"})"},
        {"log", makeLogMessage(entry),
         R"({"log":{"message":"Device TRQ-PN4-0A1B2C marking online","timestamp":"2024-05-01 10:00:00","type":"monitor"},"type":"log"})"},
        {"logs",
         makeLogHistoryMessage(
             {entry, {"2024-05-01 10:00:02", "Failed to save settings", "error"}}),
         R"({"logs":[{"message":"Device TRQ-PN4-0A1B2C marking online","timestamp":"2024-05-01 10:00:00","type":"monitor"},)"
         R"({"message":"Failed to save settings","timestamp":"2024-05-01 10:00:02","type":"error"}],"type":"logs"})"},
        {"logs empty", makeLogHistoryMessage({}), R"({"logs":[],"type":"logs"})"},
        {"discovery-status", makeDiscoveryStatusMessage(true),
         R"({"active":true,"type":"discovery-status"})"},
        {"discovery-busy", makeDiscoveryBusyMessage(true, "Starting discovery"),
         R"({"busy":true,"statusText":"Starting discovery","type":"discovery-busy"})"},
        {"device", makeDeviceMessage(samplePanel()),
         R"({"capabilities":{"contextPanel":true,"help":true,"talk":true},"commCount":4,)"
         R"("cough":[false,false,false,false],"danteName":"Studio 3 Panel","discoveredByHttp":true,)"
         R"("friendlyName":"Studio 3","gpiMuteStates":[false,false,false,false,false,false,false,false],)"
         R"("gpioPhysicalOverride":[-1,-1,-1,-1,-1,-1,-1,-1,-1,-1],)"
         R"("gpioPhysicalStatus":[-1,-1,-1,-1,-1,-1,-1,-1,-1,-1],)"
         R"("gpioPhysicalTypes":[-1,-1,-1,-1,-1,-1,-1,-1,-1,-1],"hostname":"TRQ-PN4-0A1B2C",)"
         R"("ip":"198.18.0.10","ip2":"","isManuallyAdded":false,"isMonitored":true,"isOnline":true,)"
         R"("lazyGang":[false,false,false,false],"linkedGpioHostname":"","linkedGpioPhysicalIndex":-1,)"
         R"("meterLevels":[0,0,0,0,0,0,0,0],"micMuted":false,)"
         R"("muted":[false,false,true,false,false,false,false,false],)"
         R"("onAirStates":[true,false,false,false],"paInputDeviceIndex":-1,)"
         R"("paTalkOutputDeviceIndex":-1,"stockCode":"TRQ-PN4","talkActive":false,)"
         R"("talkBackStates":["","A","",""],"type":"device","vgpioHelpIndex":2,)"
         R"("vgpioStates":[0,1,-1,-1,-1,-1,-1,-1,-1,-1],"vgpioTypes":[1,1,-1,-1,-1,-1,-1,-1,-1,-1]})"},
        {"device-removal", makeDeviceRemovalMessage("TRQ-PN1-01"),
         R"({"hostname":"TRQ-PN1-01","type":"device-removal"})"},
        {"vgpio", makeVgpioMessage("TRQ-PN1-01", 10, true),
         R"({"hostname":"TRQ-PN1-01","index":10,"state":true,"type":"vgpio"})"},
        {"meter", makeMeterMessage("TRQ-PN4-0A1B2C", {-5, 0, 12, 30}),
         R"({"hostname":"TRQ-PN4-0A1B2C","meterLevels":[-5,0,12,30],"type":"meter"})"},
        {"meter empty", makeMeterMessage("h", {}),
         R"({"hostname":"h","meterLevels":[],"type":"meter"})"},
        {"pn-audio-state",
         makePanelAudioStateMessage("TRQ-PN4-0A1B2C", {true, false, false, true},
                                    {"A", "", "AC", ""}, {false, true, false, false},
                                    {true, false, false, false, false, false, false, true},
                                    {false, false, false, true}),
         R"({"cough":[false,false,false,true],"hostname":"TRQ-PN4-0A1B2C","lazyGang":[false,true,false,false],)"
         R"("muted":[true,false,false,false,false,false,false,true],"onAirStates":[true,false,false,true],)"
         R"("talkBackStates":["A","","AC",""],"type":"pn-audio-state"})"},
        {"r8x-input-state",
         makeInputStateMessage("TRQ-R8X-01",
                               {true, false, false, false, false, false, false, false},
                               {false, false, false, false, false, false, false, true}),
         R"({"gpiMuteStates":[false,false,false,false,false,false,false,true],"hostname":"TRQ-R8X-01",)"
         R"("muted":[true,false,false,false,false,false,false,false],"type":"r8x-input-state"})"},
        {"vkq-audio-state", makeRackAudioStateMessage("VK-Q-64-00FF", true),
         R"({"hostname":"VK-Q-64-00FF","micMuted":true,"type":"vkq-audio-state"})"},
        {"group", makeGroupMessage("Studio 1", {"TRQ-PN4-0A1B2C", "TRQ-PN1-01"}),
         R"({"groupName":"Studio 1","hostnames":["TRQ-PN4-0A1B2C","TRQ-PN1-01"],"type":"group"})"},
        {"groups",
         makeGroupsMessage(
             {"Studio 2", "Studio 1"},
             {{"Studio 1", {"TRQ-PN1-01"}}, {"Studio 2", {"TRQ-PN4-0A1B2C", "TRQ-PN1-01"}}}),
         R"({"groups":{"Studio 1":["TRQ-PN1-01"],"Studio 2":["TRQ-PN4-0A1B2C","TRQ-PN1-01"]},)"
         R"("order":["Studio 2","Studio 1"],"type":"groups"})"},
        {"groups empty", makeGroupsMessage({}, {}), R"({"groups":{},"order":[],"type":"groups"})"},
        {"group-deleted", makeGroupDeletedMessage("Studio 1"),
         R"({"groupName":"Studio 1","type":"group-deleted"})"},
        {"settings", makeSettingsMessage(settings),
         R"({"settings":{"appLocked":false,"autoMonitorEnabled":false,"helpGpioHostname":"TRQ-GPIO",)"
         R"("helpGpioPhysicalIndex":3,"interfaces":["All Networks","eth0 - 198.18.0.1"],)"
         R"("lineInDeviceIndex":-1,"monitoredDeviceOfflineIndicationEnabled":true,)"
         R"("selectedInterface":"All Networks","speakerOutDeviceIndex":-1},"type":"settings"})"},
        {"talk-state", makeTalkStateMessage("TRQ-PN4-0A1B2C", false),
         R"({"active":false,"hostname":"TRQ-PN4-0A1B2C","type":"talk-state"})"},
        {"monitoring-display-fields",
         makeMonitoringDisplayFieldsMessage(
             nlohmann::json::parse(R"({"showIp":true,"order":["friendlyName","ip"]})")),
         R"({"fields":{"order":["friendlyName","ip"],"showIp":true},"type":"monitoring-display-fields"})"},
        {"monitoring-display-fields array",
         makeMonitoringDisplayFieldsMessage(nlohmann::json::parse("[1,2]")),
         R"({"fields":{},"type":"monitoring-display-fields"})"},
        {"monitoring-display-fields null", makeMonitoringDisplayFieldsMessage(nullptr),
         R"({"fields":{},"type":"monitoring-display-fields"})"},
        {"tile-settings",
         makeTileSettingsMessage(nlohmann::json::parse(
             R"({"byHost":{"TRQ-PN4-0A1B2C":{"color":"red"}},"byModel":{"TRQ-PN4":{"color":"red"}},)"
             R"("monitoringDisplayFields":{"showIp":true}})")),
         R"({"byHost":{"TRQ-PN4-0A1B2C":{"color":"red"}},"byModel":{"TRQ-PN4":{"color":"red"}},"type":"tile-settings"})"},
        {"tile-settings without models",
         makeTileSettingsMessage(nlohmann::json::parse(R"({"byHost":{},"byModel":[]})")),
         R"({"byHost":{},"byModel":{},"type":"tile-settings"})"},
    };
}

TEST(PushMessagesTest, EveryCatalogueMessageHasItsKeysAndTypes) {
    for (const GoldenCase& c : goldenCases()) {
        EXPECT_EQ(serialiseMessage(c.message), c.expected) << c.name;
    }
}

// Every "type" the pages can receive.
const std::set<std::string> kCatalogueTypes = {
    "application-stopping",
    "log",
    "logs",
    "discovery-status",
    "discovery-busy",
    "device",
    "device-removal",
    "vgpio",
    "meter",
    "pn-audio-state",
    "r8x-input-state",
    "vkq-audio-state",
    "group",
    "groups",
    "group-deleted",
    "settings",
    "talk-state",
    "monitoring-display-fields",
    "tile-settings",
};

TEST(PushMessagesTest, GoldenCasesCoverTheWholeCatalogue) {
    std::set<std::string> covered;
    for (const GoldenCase& c : goldenCases()) {
        const std::string type = c.message.value("type", "");
        EXPECT_EQ(kCatalogueTypes.count(type), 1U) << c.name << ": " << type;
        covered.insert(type);
    }
    EXPECT_EQ(covered, kCatalogueTypes);
}

/// One fenced example of the reference: "```json CASE" up to the closing fence.
struct DocExample {
    std::string caseName;
    std::string section;  ///< The message type of the "## `type`" heading above it.
    std::string text;
    int line = 0;
};

struct PushMessagesDoc {
    std::vector<std::string> sections;
    std::vector<DocExample> examples;
};

PushMessagesDoc readPushMessagesDoc(const std::string& path) {
    std::ifstream file(path);
    EXPECT_TRUE(file) << "cannot read " << path;
    PushMessagesDoc doc;
    const std::regex heading("^## `([^`]+)`.*");
    const std::string exampleFence = "```json";
    std::string line;
    int number = 0;
    DocExample* open = nullptr;
    while (std::getline(file, line)) {
        ++number;
        if (open != nullptr) {
            if (line == "```") {
                open = nullptr;
            } else {
                open->text += open->text.empty() ? line : "\n" + line;
            }
            continue;
        }
        std::smatch match;
        if (std::regex_match(line, match, heading)) {
            doc.sections.push_back(match[1]);
        } else if (line.starts_with(exampleFence)) {
            // A bare "```json" gets an empty case name, which names no case: every JSON
            // example must be one the tests check.
            const std::string section = doc.sections.empty() ? "" : doc.sections.back();
            const auto name = line.find_first_not_of(' ', exampleFence.size());
            doc.examples.push_back(
                {name == std::string::npos ? "" : line.substr(name), section, "", number});
            open = &doc.examples.back();
        }
    }
    EXPECT_EQ(open, nullptr) << "an example is not closed";
    return doc;
}

TEST(PushMessagesTest, ReferenceDocumentShowsWhatTheCodeSends) {
    const PushMessagesDoc doc = readPushMessagesDoc(PELLAN_PUSH_MESSAGES_DOC);
    std::map<std::string, GoldenCase> cases;
    for (GoldenCase& c : goldenCases()) {
        cases.emplace(c.name, std::move(c));
    }

    std::set<std::string> illustrated;
    for (const DocExample& example : doc.examples) {
        SCOPED_TRACE("docs/push-messages.md:" + std::to_string(example.line) + " (" +
                     example.caseName + ")");
        const auto found = cases.find(example.caseName);
        if (found == cases.end()) {
            ADD_FAILURE() << "the example names no case of goldenCases()";
            continue;
        }
        EXPECT_EQ(example.text, serialiseMessage(found->second.message));
        EXPECT_EQ(example.text, found->second.expected);
        const std::string type = found->second.message.value("type", "");
        EXPECT_EQ(example.section, type) << "the example stands under another type's heading";
        illustrated.insert(type);
    }

    const std::set<std::string> sections(doc.sections.begin(), doc.sections.end());
    EXPECT_EQ(sections.size(), doc.sections.size()) << "a type has two sections";
    EXPECT_EQ(sections, kCatalogueTypes);
    EXPECT_EQ(illustrated, kCatalogueTypes) << "every type needs an example";
}

TEST(PushMessagesTest, DeviceMessageIsTheViewWithItsType) {
    DeviceEntry entry;
    entry.hostname = "TRQ-GPIO";
    deriveStockCode(entry);
    auto expected = buildDeviceView(entry);
    const auto message = makeDeviceMessage(entry);
    EXPECT_EQ(message.size(), 32U);
    EXPECT_EQ(message["type"], "device");
    expected["type"] = "device";
    EXPECT_EQ(message, expected);
}

TEST(PushMessagesTest, TextThatIsNotUtf8IsReplacedRatherThanLosingTheMessage) {
    const auto text =
        serialiseMessage(makeDeviceRemovalMessage(std::string("bad\xff\xfe name", 10)));
    EXPECT_EQ(text,
              "{\"hostname\":\"bad\xEF\xBF\xBD\xEF\xBF\xBD name\",\"type\":\"device-removal\"}");
}

}  // namespace
}  // namespace pellan
