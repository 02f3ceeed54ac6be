#include "storage/groups_state_store.hpp"

#include "storage_test_support.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <string>

namespace pellan {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using test::quotedPath;
using test::readFile;
using test::StderrCapture;
using test::TempDir;
using test::writeFile;

class GroupsStateStoreTest : public ::testing::Test {
protected:
    /// A fresh store's loadGroups(), and what that call wrote to stderr.
    GroupsState load(std::string* errors = nullptr) {
        GroupsStateStore store(path);
        StderrCapture capture;
        GroupsState state = store.loadGroups();
        const std::string text = capture.take();
        if (errors != nullptr) {
            *errors = text;
        }
        return state;
    }

    TempDir dir;
    fs::path path = dir / "groups_state.json";
};

TEST_F(GroupsStateStoreTest, NoFileGivesNoGroups) {
    std::string errors;
    EXPECT_EQ(load(&errors), GroupsState{});
    EXPECT_EQ(errors, "");
}

TEST_F(GroupsStateStoreTest, ElementsOfTheWrongTypeAreSkippedOneByOne) {
    writeFile(path, R"({"order": ["B", "A", "B", 3, null, ""],
                        "groups": {"A": ["h1", 5, "h2", {"h": 1}], "B": "h3", "C": [],
                                   "D": null}})");
    std::string errors;
    const GroupsState state = load(&errors);
    EXPECT_EQ(state.order, (std::vector<std::string>{"B", "A", "B", ""}));
    const std::map<std::string, std::vector<std::string>> groups = {{"A", {"h1", "h2"}}, {"C", {}}};
    EXPECT_EQ(state.groups, groups);
    EXPECT_EQ(errors, "") << "skipping elements is the file's normal reading, not an error";
}

TEST_F(GroupsStateStoreTest, OrderWithoutGroupsLoadsTheNamesAlone) {
    writeFile(path, R"({"order": ["Studio 1", "Studio 2"], "groups": {}})");
    const GroupsState state = load();
    EXPECT_EQ(state.order, (std::vector<std::string>{"Studio 1", "Studio 2"}));
    EXPECT_TRUE(state.groups.empty());
}

TEST_F(GroupsStateStoreTest, SavedFileHasTheExactLayoutWithRawUtf8) {
    GroupsState state;
    state.order = {"Zulu", "R\xc3\xa9gie", "Empty"};  // é
    state.groups = {{"Zulu", {"h2", "h1"}}, {"R\xc3\xa9gie", {"h3"}}, {"Empty", {}}};
    ASSERT_TRUE(GroupsStateStore(path).saveGroups(state));
    EXPECT_EQ(readFile(path), "{\n"
                              "  \"groups\": {\n"
                              "    \"Empty\": [],\n"
                              "    \"R\xc3\xa9gie\": [\n"
                              "      \"h3\"\n"
                              "    ],\n"
                              "    \"Zulu\": [\n"
                              "      \"h2\",\n"
                              "      \"h1\"\n"
                              "    ]\n"
                              "  },\n"
                              "  \"order\": [\n"
                              "    \"Zulu\",\n"
                              "    \"R\xc3\xa9gie\",\n"
                              "    \"Empty\"\n"
                              "  ],\n"
                              "  \"version\": 1\n"
                              "}");
    EXPECT_EQ(load(), state);
}

TEST_F(GroupsStateStoreTest, KeepsVersionAndUnknownTopLevelKeysAndRewritesOrderAndGroupsWhole) {
    writeFile(path, R"({"version": 9, "layout": {"columns": 3},
                        "order": ["Old", 1], "groups": {"Old": ["h"], "Stale": 4}})");
    GroupsStateStore store(path);
    ASSERT_TRUE(store.saveGroups(GroupsState{{"New"}, {{"New", {"h"}}}}));
    const json saved = json::parse(readFile(path));
    EXPECT_EQ(saved["version"], 9);
    EXPECT_EQ(saved["layout"], json::parse(R"({"columns": 3})"));
    EXPECT_EQ(saved["order"], json::parse(R"(["New"])"));
    EXPECT_EQ(saved["groups"], json::parse(R"({"New": ["h"]})"));
}

TEST_F(GroupsStateStoreTest, OrderOrGroupsOfTheWrongTypeAreReplacedAndNamed) {
    writeFile(path, R"({"order": {"A": 1}, "groups": ["A"]})");
    std::string errors;
    EXPECT_EQ(load(&errors), GroupsState{});
    const std::string suffix = " of wrong type in " + quotedPath(path) + "\n";
    EXPECT_EQ(errors, "GroupsStateStore: ignoring \"groups\"" + suffix +
                          "GroupsStateStore: ignoring \"order\"" + suffix);
}

}  // namespace
}  // namespace pellan
