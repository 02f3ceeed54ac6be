#include "devices/group_manager.hpp"

#include "devices/groups_state.hpp"
#include "log/logger.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <latch>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace pellan {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Pair;

using LogLine = std::pair<std::string, std::string>;  // message, category

class GroupManagerTest : public ::testing::Test {
protected:
    /// The lines logged since the last call.
    std::vector<LogLine> newLogLines() {
        std::vector<LogLine> all;
        for (const LogEntry& entry : logger.recentEntries()) {
            all.emplace_back(entry.message, entry.category);
        }
        std::vector<LogLine> fresh(all.begin() + static_cast<std::ptrdiff_t>(seen_), all.end());
        seen_ = all.size();
        return fresh;
    }

    Logger logger;
    GroupManager groups{logger};

private:
    std::size_t seen_ = 0;
};

TEST_F(GroupManagerTest, StartsEmpty) {
    EXPECT_THAT(groups.listGroups(), IsEmpty());
    EXPECT_THAT(groups.groupOrder(), IsEmpty());
    EXPECT_EQ(groups.groupsState(), GroupsState{});
    EXPECT_THAT(groups.groupMembers("A"), IsEmpty());
}

TEST_F(GroupManagerTest, CreatingAGroupTwiceKeepsOneGroupOneOrderEntryAndOneLogLine) {
    groups.createGroup("A");
    groups.createGroup("A");

    EXPECT_THAT(groups.listGroups(), ElementsAre(Pair("A", IsEmpty())));
    EXPECT_THAT(groups.groupOrder(), ElementsAre("A"));
    EXPECT_THAT(newLogLines(), ElementsAre(Pair("Group created: A", "group")));
}

TEST_F(GroupManagerTest, NewGroupsAppendToTheOrderAndAnyNameIsAccepted) {
    groups.createGroup("Zeta");
    groups.createGroup("alpha");
    groups.createGroup("");
    groups.createGroup("Alpha");

    EXPECT_THAT(groups.groupOrder(), ElementsAre("Zeta", "alpha", "", "Alpha"));
    EXPECT_EQ(groups.groupsState().order, groups.groupOrder());
    EXPECT_THAT(newLogLines(),
                ElementsAre(Pair("Group created: Zeta", "group"),
                            Pair("Group created: alpha", "group"), Pair("Group created: ", "group"),
                            Pair("Group created: Alpha", "group")));
}

TEST_F(GroupManagerTest, DeletingAMissingGroupStillLogsAndChangesNothing) {
    groups.createGroup("A");
    groups.addDeviceToGroup("A", "h");
    const GroupsState before = groups.groupsState();
    newLogLines();

    groups.deleteGroup("X");

    EXPECT_EQ(groups.groupsState(), before);
    EXPECT_THAT(newLogLines(), ElementsAre(Pair("Group deleted: X", "group")));
}

TEST_F(GroupManagerTest, DeleteRemovesTheGroupAndItsOrderEntry) {
    groups.createGroup("A");
    groups.createGroup("B");
    groups.createGroup("C");
    groups.addDeviceToGroup("B", "h");
    newLogLines();

    groups.deleteGroup("B");

    EXPECT_THAT(groups.groupOrder(), ElementsAre("A", "C"));
    EXPECT_EQ(groups.groupsState().order, (std::vector<std::string>{"A", "C"}));
    EXPECT_FALSE(groups.listGroups().contains("B"));
    EXPECT_THAT(groups.groupMembers("B"), IsEmpty());
    EXPECT_THAT(newLogLines(), ElementsAre(Pair("Group deleted: B", "group")));
}

TEST_F(GroupManagerTest, AddingAMemberTwiceKeepsOneAndLogsOnce) {
    groups.createGroup("A");
    newLogLines();

    groups.addDeviceToGroup("A", "h");
    groups.addDeviceToGroup("A", "h");
    groups.addDeviceToGroup("A", "H");  // Case-sensitive: another host.

    EXPECT_THAT(groups.groupMembers("A"), ElementsAre("h", "H"));
    EXPECT_THAT(newLogLines(), ElementsAre(Pair("Device h added to group A", "group"),
                                           Pair("Device H added to group A", "group")));
}

TEST_F(GroupManagerTest, AddingToAnUnknownGroupDoesNothing) {
    groups.addDeviceToGroup("Missing", "h");
    EXPECT_THAT(groups.listGroups(), IsEmpty());
    EXPECT_THAT(groups.groupOrder(), IsEmpty());
    EXPECT_THAT(newLogLines(), IsEmpty());
}

TEST_F(GroupManagerTest, RemovingANonMemberStillLogsTheRemoval) {
    groups.createGroup("A");
    groups.addDeviceToGroup("A", "h");
    groups.addDeviceToGroup("A", "k");
    newLogLines();

    groups.removeDeviceFromGroup("A", "h");
    groups.removeDeviceFromGroup("A", "h");
    groups.removeDeviceFromGroup("Missing", "k");

    EXPECT_THAT(groups.groupMembers("A"), ElementsAre("k"));
    EXPECT_THAT(newLogLines(), ElementsAre(Pair("Device h removed from group A", "group"),
                                           Pair("Device h removed from group A", "group")));
}

TEST_F(GroupManagerTest, RemovingFromAGroupRemovesEveryOccurrence) {
    // Restored state may hold a host twice; addDeviceToGroup never makes that.
    GroupsState state;
    state.groups["A"] = {"h", "k", "h"};
    groups.restoreGroups(state);

    groups.removeDeviceFromGroup("A", "h");
    EXPECT_THAT(groups.groupMembers("A"), ElementsAre("k"));
}

TEST_F(GroupManagerTest, RemoveFromAllGroupsKeepsEmptiedGroupsAndLogsNothing) {
    groups.createGroup("A");
    groups.createGroup("B");
    groups.addDeviceToGroup("A", "h");
    groups.addDeviceToGroup("B", "h");
    groups.addDeviceToGroup("B", "k");
    newLogLines();

    groups.removeDeviceFromAllGroups("h");

    EXPECT_THAT(groups.listGroups(),
                ElementsAre(Pair("A", IsEmpty()), Pair("B", ElementsAre("k"))));
    EXPECT_THAT(groups.groupOrder(), ElementsAre("A", "B"));
    EXPECT_THAT(newLogLines(), IsEmpty());
}

TEST_F(GroupManagerTest, SetGroupOrderNormalisesTheList) {
    groups.createGroup("A");
    groups.createGroup("B");
    groups.createGroup("C");
    newLogLines();

    groups.setGroupOrder({"C", "A", "C", "Z"});

    EXPECT_THAT(groups.groupOrder(), ElementsAre("C", "A", "B"));
    EXPECT_EQ(groups.groupsState().order, (std::vector<std::string>{"C", "A", "B"}));
    EXPECT_THAT(newLogLines(), ElementsAre(Pair("Group order updated", "group")));
}

TEST_F(GroupManagerTest, SetGroupOrderWithNothingListedGivesAscendingNamesAndStillLogs) {
    groups.createGroup("b");
    groups.createGroup("B");
    groups.createGroup("a");
    newLogLines();

    groups.setGroupOrder({});

    EXPECT_THAT(groups.groupOrder(), ElementsAre("B", "a", "b"));  // Ascending byte order.
    EXPECT_THAT(newLogLines(), ElementsAre(Pair("Group order updated", "group")));

    groups.setGroupOrder({"b", "a", "B"});
    EXPECT_THAT(groups.groupOrder(), ElementsAre("b", "a", "B"));
}

TEST_F(GroupManagerTest, RenameComposedByTheRouteMovesTheGroupToTheEnd) {
    groups.createGroup("A");
    groups.createGroup("B");
    groups.addDeviceToGroup("A", "h1");
    groups.addDeviceToGroup("A", "h2");

    const std::vector<std::string> members = groups.groupMembers("A");
    groups.deleteGroup("A");
    groups.createGroup("Renamed");
    for (const std::string& host : members) {
        groups.addDeviceToGroup("Renamed", host);
    }

    EXPECT_THAT(groups.groupOrder(), ElementsAre("B", "Renamed"));
    EXPECT_THAT(groups.groupMembers("Renamed"), ElementsAre("h1", "h2"));
}

TEST_F(GroupManagerTest, RestoreWithEmptyOrderGivesAscendingNames) {
    GroupsState state;
    state.groups["B"] = {"h1"};
    state.groups["A"] = {};

    groups.restoreGroups(state);

    EXPECT_THAT(groups.groupOrder(), ElementsAre("A", "B"));
    EXPECT_EQ(groups.groupsState().order, (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(groups.listGroups(), state.groups);
    EXPECT_THAT(newLogLines(),
                ElementsAre(Pair("Restored groups from groups_state.json (2)", "settings")));
}

TEST_F(GroupManagerTest, RestoreReplacesEverythingAndNormalisesTheStoredOrder) {
    groups.createGroup("Old");
    groups.addDeviceToGroup("Old", "h");
    newLogLines();

    GroupsState state;
    state.order = {"C", "Gone", "A", "C"};
    state.groups["A"] = {"h1", "h2"};
    state.groups["B"] = {};
    state.groups["C"] = {"h3"};
    groups.restoreGroups(state);

    EXPECT_THAT(groups.groupOrder(), ElementsAre("C", "A", "B"));
    const GroupsState stored = groups.groupsState();
    EXPECT_EQ(stored.order, (std::vector<std::string>{"C", "A", "B"}));
    EXPECT_EQ(stored.groups, state.groups);
    EXPECT_THAT(groups.groupMembers("Old"), IsEmpty());
    EXPECT_THAT(newLogLines(),
                ElementsAre(Pair("Restored groups from groups_state.json (3)", "settings")));

    groups.restoreGroups(GroupsState{});
    EXPECT_THAT(groups.listGroups(), IsEmpty());
    EXPECT_THAT(newLogLines(),
                ElementsAre(Pair("Restored groups from groups_state.json (0)", "settings")));
}

TEST_F(GroupManagerTest, ReturnsCopies) {
    groups.createGroup("A");
    groups.addDeviceToGroup("A", "h");

    std::vector<std::string> members = groups.groupMembers("A");
    members.push_back("x");
    GroupManager::Groups all = groups.listGroups();
    all["A"].clear();
    GroupsState state = groups.groupsState();
    state.order.clear();

    EXPECT_THAT(groups.groupMembers("A"), ElementsAre("h"));
    EXPECT_THAT(groups.groupOrder(), ElementsAre("A"));
}

TEST(GroupManagerConcurrency, ConcurrentChangesKeepTheOrderInvariant) {
    constexpr int kThreads = 3;
    constexpr int kRounds = 200;
    Logger logger;
    GroupManager groups(logger);
    std::latch start(kThreads + 1);
    std::atomic<bool> done{false};
    std::atomic<int> broken{0};

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            for (int r = 0; r < kRounds; ++r) {
                const std::string name = "G" + std::to_string(t) + "-" + std::to_string(r % 7);
                groups.createGroup(name);
                groups.addDeviceToGroup(name, "host" + std::to_string(r));
                groups.removeDeviceFromGroup(name, "host" + std::to_string(r - 1));
                groups.removeDeviceFromAllGroups("host" + std::to_string(r - 2));
                if (r % 3 == 0) {
                    groups.deleteGroup(name);
                }
                if (r % 5 == 0) {
                    groups.setGroupOrder({name, "G0-0", "missing"});
                }
            }
        });
    }
    threads.emplace_back([&] {
        start.arrive_and_wait();
        while (!done.load()) {
            const GroupsState state = groups.groupsState();
            if (state.order.size() != state.groups.size()) {
                broken.fetch_add(1);
            }
            for (const std::string& name : state.order) {
                if (!state.groups.contains(name)) {
                    broken.fetch_add(1);
                }
            }
            groups.groupOrder();
            groups.listGroups();
        }
    });
    for (int t = 0; t < kThreads; ++t) {
        threads[static_cast<std::size_t>(t)].join();
    }
    done.store(true);
    threads.back().join();

    EXPECT_EQ(broken.load(), 0);
    const GroupsState state = groups.groupsState();
    EXPECT_EQ(state.order, groups.groupOrder());
    EXPECT_EQ(state.order.size(), state.groups.size());
}

}  // namespace
}  // namespace pellan
