// TXT records as they come from the network, and the restoring of their wire order.
#include "discovery/txt_record.hpp"

#include "discovery/fake_dns_sd.hpp"
#include "platform/dns_sd_txt.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace pellan {
namespace {

using test::txtRecord;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using Bytes = std::vector<unsigned char>;

Bytes operator+(Bytes first, const Bytes& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

TEST(TxtRecord, ReadsStringsUntilTheEndAZeroLengthStringOrALengthPastTheEnd) {
    const std::string longest(255, 'v');
    const struct {
        const char* what;
        Bytes record;
        std::vector<std::string> strings;
    } cases[] = {
        {"empty record", {}, {}},
        {"only a zero byte (the empty TXT record)", {0}, {}},
        {"strings in order",
         txtRecord({"a=1", "dnt_name=Desk", "flag"}),
         {"a=1", "dnt_name=Desk", "flag"}},
        {"255 bytes long", txtRecord({longest, "b"}), {longest, "b"}},
        {"zero-length string stops", txtRecord({"a=1"}) + Bytes{0} + txtRecord({"b=2"}), {"a=1"}},
        {"length byte past the end stops", txtRecord({"a=1"}) + Bytes{9, 'b', '='}, {"a=1"}},
        {"length byte is the last byte", txtRecord({"a=1"}) + Bytes{1}, {"a=1"}},
        {"binary bytes kept", Bytes{3, 'k', '=', 0xff}, {std::string("k=\xff")}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(parseTxtStrings(c.record.data(), c.record.size()), c.strings);
    }
    EXPECT_THAT(parseTxtStrings(nullptr, 12), IsEmpty());
}

TEST(TxtRecord, SplitsAtTheFirstEqualsSignAndTheLaterOfARepeatedKeyWins) {
    const auto values =
        txtKeyValues({"mf=Other", "model=a=b", "bare", "mf=Vantrel", "MF=x", "empty="});
    EXPECT_THAT(values, ElementsAre(std::pair<const std::string, std::string>{"MF", "x"},
                                    std::pair<const std::string, std::string>{"bare", ""},
                                    std::pair<const std::string, std::string>{"empty", ""},
                                    std::pair<const std::string, std::string>{"mf", "Vantrel"},
                                    std::pair<const std::string, std::string>{"model", "a=b"}));
}

TEST(TxtRecord, ReversingRestoresTheWireOrderAvahiTurnedAround) {
    const struct {
        const char* what;
        Bytes handedOver;
        Bytes wire;
    } cases[] = {
        {"three strings", txtRecord({"c=3", "b=2", "a=1"}), txtRecord({"a=1", "b=2", "c=3"})},
        {"zero-length strings move like others", txtRecord({"b", ""}) + txtRecord({"a"}),
         txtRecord({"a", ""}) + txtRecord({"b"})},
        {"one string", txtRecord({"only"}), txtRecord({"only"})},
        {"the empty TXT record", Bytes{0}, Bytes{0}},
        {"nothing", {}, {}},
        {"lengths that do not add up stay as they are", Bytes{2, 'a', '=', 7, 'x'},
         Bytes{2, 'a', '=', 7, 'x'}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_THAT(reverseTxtStrings(c.handedOver.data(), c.handedOver.size()),
                    ElementsAreArray(c.wire));
    }
    // Reversed, the first "dnt_name" on the wire is the first one read again.
    const Bytes handedOver = txtRecord({"dnt_name=Second", "dnt_name=First"});
    const Bytes wire = reverseTxtStrings(handedOver.data(), handedOver.size());
    EXPECT_EQ(parseTxtStrings(wire.data(), wire.size()).front(), "dnt_name=First");
}

}  // namespace
}  // namespace pellan
