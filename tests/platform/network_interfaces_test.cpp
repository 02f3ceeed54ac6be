#include "platform/network_interfaces.hpp"

#include <gtest/gtest.h>

#include <net/if.h>

namespace pellan {
namespace {

// The machine's own adapters: whatever they are, loopback never appears and every record is
// consistent with the system's view of its interface.
TEST(NetworkInterfacesTest, ListsOnlyUpNonLoopbackIpv4AddressesWithTheirIndex) {
    for (const NetworkInterfaceInfo& info : enumerateNetworkInterfaces()) {
        EXPECT_NE(info.name, "lo");
        EXPECT_NE(info.ip.rfind("127.", 0), 0U) << info.ip;
        EXPECT_EQ(info.label, info.name + " - " + info.ip);
        EXPECT_EQ(static_cast<unsigned>(info.index), if_nametoindex(info.name.c_str()));
    }
}

}  // namespace
}  // namespace pellan
