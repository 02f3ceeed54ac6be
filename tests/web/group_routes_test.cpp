#include "web_test_fixture.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pellan {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Pair;

class GroupRoutesTest : public test::WebServerFixture {
protected:
    nlohmann::json groupsView() { return nlohmann::json::parse(call("GET", "/api/groups").body); }
};

TEST_F(GroupRoutesTest, ListsGroupsInTheirOrderWithMembers) {
    const auto empty = call("GET", "/api/groups");
    EXPECT_EQ(empty.status, 200);
    EXPECT_EQ(empty.body, R"({"groups":{},"order":[]})");
    EXPECT_EQ(empty.header("Content-Type"), nullptr);

    groups.createGroup("Z");
    groups.createGroup("A");
    groups.addDeviceToGroup("Z", "h2");
    groups.addDeviceToGroup("Z", "h1");
    EXPECT_EQ(call("GET", "/api/groups").body,
              R"({"groups":{"A":[],"Z":["h2","h1"]},"order":["Z","A"]})");
}

TEST_F(GroupRoutesTest, ReplacingAllGroupsKeepsTheRequestOrderAndOnlyMonitoredDevices) {
    addDevice("h1", "198.19.0.1", true);
    addDevice("h2", "198.19.0.2");  // Not monitored: dropped.
    groups.createGroup("Old");
    newLogLines();

    const auto response =
        call("POST", "/api/groups", R"({"B": ["h1", "h2", "ghost"], "A": [], "C": ["h1"]})");
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body, "Groups updated");
    EXPECT_THAT(groups.groupOrder(), ElementsAre("B", "A", "C"));
    EXPECT_THAT(groups.groupMembers("B"), ElementsAre("h1"));
    EXPECT_FALSE(groups.listGroups().contains("Old"));

    const auto lines = newLogLines();
    EXPECT_THAT(lines,
                Contains(Pair("Groups modified, recreating all groups and devices ", "group")));
    EXPECT_THAT(lines, Contains(Pair("Groups updated from UI", "group")));
    const auto pushes = newPushes();
    ASSERT_EQ(pushes.size(), 4U);
    EXPECT_EQ(pushes[0],
              nlohmann::json({{"type", "group"}, {"groupName", "B"}, {"hostnames", {"h1"}}}));
    EXPECT_EQ(pushes[1]["groupName"], "A");
    EXPECT_EQ(pushes[1]["hostnames"], nlohmann::json::array());
    EXPECT_EQ(pushes[2]["groupName"], "C");
    EXPECT_EQ(pushes[3]["type"], "groups");
    EXPECT_EQ(pushes[3]["order"], nlohmann::json({"B", "A", "C"}));
    // Memory only.
    EXPECT_FALSE(std::filesystem::exists(paths.groupsStateFile));
}

TEST_F(GroupRoutesTest, ReplacingAllGroupsWithBadBodies) {
    addDevice("h1", "198.19.0.1", true);
    struct Case {
        std::string body;
        int status;
        std::string answer;
        std::vector<std::string> order;  // Afterwards.
    };
    const std::vector<Case> cases{
        {"nope", 400, "Invalid JSON", {"Keep"}},
        {"{\"A\": [", 400, "Invalid JSON", {"Keep"}},
        // JSON of the wrong shape fails part-way: the groups deleted before stay deleted,
        // those created before the bad value stay created.
        {"[]", 500, "", {}},
        {R"({"A": ["h1"], "B": "h1"})", 500, "", {"A", "B"}},
        {R"({"A": ["h1", 5]})", 500, "", {"A"}},
        {R"({"A": {"h1": true}})", 500, "", {"A"}},
        {"{}", 200, "Groups updated", {}},
    };
    for (const Case& c : cases) {
        groups.restoreGroups({{"Keep"}, {{"Keep", {"h1"}}}});
        const auto response = call("POST", "/api/groups", c.body);
        EXPECT_EQ(response.status, c.status) << c.body;
        EXPECT_EQ(response.body, c.answer) << c.body;
        EXPECT_EQ(groups.groupOrder(), c.order) << c.body;
        if (c.order == std::vector<std::string>{"A", "B"}) {
            EXPECT_THAT(groups.groupMembers("A"), ElementsAre("h1"));
        }
    }
}

TEST_F(GroupRoutesTest, AddingAGroupPushesItAndLeavesTheFile) {
    newLogLines();
    const auto response = call("POST", "/api/groups/add", R"({"groupName": "Studio \u00e9"})");
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body, "Group added");
    EXPECT_THAT(groups.groupOrder(), ElementsAre("Studio \xC3\xA9"));
    EXPECT_THAT(newLogLines(), Contains(Pair("Group added: Studio \xC3\xA9", "group")));
    EXPECT_THAT(newPushes(), ElementsAre(nlohmann::json({{"type", "group"},
                                                         {"groupName", "Studio \xC3\xA9"},
                                                         {"hostnames", nlohmann::json::array()}})));
    EXPECT_FALSE(std::filesystem::exists(paths.groupsStateFile));
    // Twice changes nothing.
    EXPECT_EQ(call("POST", "/api/groups/add", R"({"groupName": "Studio \u00e9"})").status, 200);
    EXPECT_EQ(groups.groupOrder().size(), 1U);
}

TEST_F(GroupRoutesTest, RenamingMovesTheMembersToTheEndOfTheOrderAndSaves) {
    groups.restoreGroups({{"A", "B", "C"}, {{"A", {"h1", "h2"}}, {"B", {"h3"}}, {"C", {}}}});
    newLogLines();
    const auto response = call("POST", "/api/groups/rename", R"({"oldName": "A", "newName": "D"})");
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body, "Group renamed");
    EXPECT_THAT(groups.groupOrder(), ElementsAre("B", "C", "D"));
    EXPECT_THAT(groups.groupMembers("D"), ElementsAre("h1", "h2"));
    EXPECT_THAT(newLogLines(), Contains(Pair("Group renamed: A -> D", "group")));
    const auto pushes = newPushes();
    ASSERT_EQ(pushes.size(), 2U);
    EXPECT_EQ(pushes[0], nlohmann::json({{"type", "group-deleted"}, {"groupName", "A"}}));
    EXPECT_EQ(pushes[1]["hostnames"], nlohmann::json({"h1", "h2"}));
    EXPECT_EQ(readJson(paths.groupsStateFile)["order"], nlohmann::json({"B", "C", "D"}));

    // Onto an existing name: merged.
    EXPECT_EQ(call("POST", "/api/groups/rename", R"({"oldName": "D", "newName": "B"})").status,
              200);
    EXPECT_THAT(groups.groupMembers("B"), ElementsAre("h3", "h1", "h2"));
    EXPECT_FALSE(groups.listGroups().contains("D"));
}

TEST_F(GroupRoutesTest, BodiesTheGroupRoutesCannotUse) {
    groups.restoreGroups({{"A"}, {{"A", {"h1"}}}});
    struct Case {
        std::string path;
        std::string body;
        int status;
        std::string answer;
    };
    const std::vector<Case> cases{
        {"/api/groups/add", "nope", 500, ""},
        {"/api/groups/add", "", 500, ""},
        {"/api/groups/add", "{}", 500, ""},
        {"/api/groups/add", R"({"groupName": 1})", 500, ""},
        {"/api/groups/add", R"(["groupName"])", 500, ""},
        {"/api/groups/rename", "nope", 500, ""},
        {"/api/groups/rename", R"({"oldName": "A"})", 500, ""},
        {"/api/groups/rename", R"({"oldName": "A", "newName": null})", 500, ""},
        {"/api/groups/rename", R"({"oldName": "X", "newName": "Y"})", 404, "Old group not found"},
        {"/api/groups/rename", R"({"oldName": "a", "newName": "Y"})", 404, "Old group not found"},
        {"/api/groups/order", "nope", 400, "Invalid JSON"},
        {"/api/groups/order", R"({"A": 1})", 400, "Expected JSON array of group names"},
        {"/api/groups/order", R"("A")", 400, "Expected JSON array of group names"},
        {"/api/groups/A/add-device", "nope", 500, ""},
        {"/api/groups/A/add-device", R"({"hostname": 7})", 500, ""},
        {"/api/groups/A/add-device", R"({})", 500, ""},
        {"/api/groups/A/remove-device", "[1]", 500, ""},
        {"/api/groups/A/remove-device", R"({"hostname": false})", 500, ""},
    };
    for (const Case& c : cases) {
        const auto response = call("POST", c.path, c.body);
        EXPECT_EQ(response.status, c.status) << c.path << " " << c.body;
        EXPECT_EQ(response.body, c.answer) << c.path << " " << c.body;
    }
    EXPECT_THAT(groups.groupOrder(), ElementsAre("A"));
    EXPECT_THAT(groups.groupMembers("A"), ElementsAre("h1"));
    EXPECT_THAT(newPushes(), IsEmpty());
    EXPECT_FALSE(std::filesystem::exists(paths.groupsStateFile));
}

TEST_F(GroupRoutesTest, OrderingTakesTheStringsOfTheArray) {
    groups.restoreGroups({{"A", "B", "C"}, {{"A", {}}, {"B", {}}, {"C", {}}}});
    newLogLines();
    const auto response = call("POST", "/api/groups/order", R"(["C", 5, "A", null, ["B"]])");
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body, "Group order updated");
    EXPECT_THAT(groups.groupOrder(), ElementsAre("C", "A", "B"));
    EXPECT_THAT(newLogLines(), Contains(Pair("Groups order updated via API", "group")));
    EXPECT_THAT(newPushTypes(), ElementsAre("groups"));
    EXPECT_EQ(readJson(paths.groupsStateFile)["order"], nlohmann::json({"C", "A", "B"}));
}

TEST_F(GroupRoutesTest, DeletingUsesTheNameAsItArrives) {
    groups.restoreGroups({{"My Group", "A"}, {{"My Group", {}}, {"A", {}}}});
    newLogLines();
    // Encoded, the name matches no group: nothing is deleted, and the answer is the same.
    const auto encoded = call("DELETE", "/api/groups/My%20Group");
    EXPECT_EQ(encoded.status, 200);
    EXPECT_EQ(encoded.body, "Group deleted");
    EXPECT_THAT(groups.groupOrder(), ElementsAre("My Group", "A"));
    EXPECT_THAT(newLogLines(), Contains(Pair("Group deleted: My%20Group", "group")));
    auto pushes = newPushes();
    ASSERT_EQ(pushes.size(), 2U);
    EXPECT_EQ(pushes[0], nlohmann::json({{"type", "group-deleted"}, {"groupName", "My%20Group"}}));
    EXPECT_EQ(pushes[1]["type"], "groups");
    EXPECT_TRUE(std::filesystem::exists(paths.groupsStateFile));

    for (const char* name : {"%", "%zz1", "+", "a%2Fb", "\xFF"}) {
        EXPECT_EQ(call("DELETE", std::string("/api/groups/") + name).body, "Group deleted") << name;
    }
    EXPECT_EQ(call("DELETE", "/api/groups/A").body, "Group deleted");
    EXPECT_THAT(groups.groupOrder(), ElementsAre("My Group"));
    EXPECT_EQ(readJson(paths.groupsStateFile)["order"], nlohmann::json({"My Group"}));
    // A name with an encoded slash is one segment; a real slash is another route.
    EXPECT_EQ(call("DELETE", "/api/groups/a/b").status, 405);
}

TEST_F(GroupRoutesTest, AddingAndRemovingDevicesOfAGroup) {
    addDevice("h1", "198.19.0.1", true);
    addDevice("h2", "198.19.0.2");
    groups.createGroup("G");
    newLogLines();

    EXPECT_EQ(call("POST", "/api/groups/G/add-device", R"({"hostname": "h1"})").body,
              "Device added to group");
    EXPECT_THAT(groups.groupMembers("G"), ElementsAre("h1"));
    EXPECT_THAT(newLogLines(), Contains(Pair("Device h1 added to group: G", "group")));
    EXPECT_THAT(newPushes(), ElementsAre(nlohmann::json(
                                 {{"type", "group"}, {"groupName", "G"}, {"hostnames", {"h1"}}})));
    EXPECT_EQ(readJson(paths.groupsStateFile)["groups"]["G"], nlohmann::json({"h1"}));

    // Unmonitored or unknown: not added, and still success with the unchanged list.
    for (const char* host : {"h2", "ghost", ""}) {
        const std::string body = nlohmann::json{{"hostname", host}}.dump();
        EXPECT_EQ(call("POST", "/api/groups/G/add-device", body).body, "Device added to group");
        const auto pushes = newPushes();
        ASSERT_EQ(pushes.size(), 1U);
        EXPECT_EQ(pushes[0]["hostnames"], nlohmann::json({"h1"}));
    }
    // An unknown group.
    EXPECT_EQ(call("POST", "/api/groups/Nope/add-device", R"({"hostname": "h1"})").status, 200);
    EXPECT_FALSE(groups.listGroups().contains("Nope"));

    EXPECT_EQ(call("POST", "/api/groups/G/remove-device", R"({"hostname": "h1"})").body,
              "Device removed from group");
    EXPECT_THAT(groups.groupMembers("G"), IsEmpty());
    EXPECT_THAT(newLogLines(), Contains(Pair("Device h1 removed from group: G", "group")));
    EXPECT_EQ(readJson(paths.groupsStateFile)["groups"]["G"], nlohmann::json::array());
}

}  // namespace
}  // namespace pellan
