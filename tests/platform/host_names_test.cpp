#include "platform/host_names.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace pellan {
namespace {

TEST(HostNamesTest, NamesComeFromTheHostNameAndTheHostsTable) {
    const struct {
        const char* hostName;
        const char* hostsTable;
        std::vector<std::string> names;
    } cases[] = {
        {"Studio-PC", "", {"studio-pc", "studio-pc.local"}},
        {"studio-pc.local.", "", {"studio-pc.local", "studio-pc"}},
        {"studio-pc",
         "127.0.1.1 Studio-PC.Example.Org. studio-pc # the machine\n"
         "198.18.0.9 other.example.org other\n"
         "# 127.0.1.1 studio-pc.commented.org studio-pc\n",
         {"studio-pc", "studio-pc.local", "studio-pc.example.org"}},
        {"studio-pc.example.org", "", {"studio-pc.example.org", "studio-pc", "studio-pc.local"}},
        {"", "127.0.0.1 localhost", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.hostName);
        std::istringstream table(c.hostsTable);
        EXPECT_EQ(machineHostNames(c.hostName, table), c.names);
    }
}

TEST(HostNamesTest, ThisMachineStartsWithItsOwnHostName) {
    const std::vector<std::string> names = thisMachineHostNames();
    ASSERT_FALSE(names.empty());
    std::istringstream none;
    EXPECT_EQ(names.front(), machineHostNames(localHostName(), none).front());
}

}  // namespace
}  // namespace pellan
