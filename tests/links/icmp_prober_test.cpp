// The echo packet format byte by byte, and the prober's answers that need no socket.
#include "platform/icmp_prober.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>

namespace pellan {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes concat(Bytes head, const Bytes& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

// An echo reply with identifier 0xBEEF, sequence 0x0102 and the request's data.
const Bytes kReply{0x00, 0x00, 0x01, 0xD4, 0xBE, 0xEF, 0x01, 0x02,
                   'h',  'e',  'a',  'l',  't',  'h',  0x00};
// IPv4 header: version 4, 20 bytes, total length 35, don't-fragment, TTL 64, ICMP,
// 198.18.0.2 -> 198.18.0.1.
const Bytes kIpHeader{0x45, 0x00, 0x00, 0x23, 0x00, 0x00, 0x40, 0x00, 0x40, 0x01,
                      0x00, 0x00, 0xC6, 0x12, 0x00, 0x02, 0xC6, 0x12, 0x00, 0x01};

TEST(IcmpChecksumTest, MatchesTheInternetChecksumOfEvenAndOddLengths) {
    // The worked example of the Internet checksum's definition, and the same less one byte
    // (an odd length is padded with a zero byte).
    EXPECT_EQ(icmp::checksum(Bytes{0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6, 0xF7}), 0x220D);
    EXPECT_EQ(icmp::checksum(Bytes{0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6}), 0x2304);
    EXPECT_EQ(icmp::checksum(Bytes{}), 0xFFFF);
    EXPECT_EQ(icmp::checksum(kReply), 0);  // A message with its checksum sums to zero.
}

TEST(IcmpEchoRequestTest, CarriesTypeIdentifierSequenceChecksumAndTheHealthData) {
    const Bytes expected{0x08, 0x00, 0xA7, 0x90, 0x12, 0x34, 0x00, 0x01,
                         'h',  'e',  'a',  'l',  't',  'h',  0x00};
    EXPECT_EQ(icmp::buildEchoRequest(0x1234, 0x0001), expected);
    EXPECT_EQ(icmp::checksum(icmp::buildEchoRequest(0xFFFF, 0xFFFF)), 0);
}

struct ReplyCase {
    const char* name;
    Bytes packet;
    icmp::Framing framing;
    bool accepted;
};

class EchoReplyParseTest : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(EchoReplyParseTest, AcceptsOnlyAWellFormedReplyWithTheHealthData) {
    const auto reply = icmp::parseEchoReply(GetParam().packet, GetParam().framing);
    if (GetParam().accepted) {
        ASSERT_TRUE(reply.has_value());
        EXPECT_EQ(*reply, (icmp::EchoReply{0xBEEF, 0x0102}));
    } else {
        EXPECT_FALSE(reply.has_value());
    }
}

Bytes withByte(Bytes bytes, std::size_t at, std::uint8_t value) {
    bytes[at] = value;
    return bytes;
}

Bytes withoutLast(Bytes bytes) {
    bytes.pop_back();
    return bytes;
}

// The IPv4 header with one 4-byte option (IHL 6) and the total length adjusted.
Bytes ipHeaderWithOption() {
    Bytes header = kIpHeader;
    header[0] = 0x46;
    header[3] = 0x27;
    header.insert(header.end(), {0x01, 0x01, 0x01, 0x00});
    return header;
}

using icmp::Framing;

INSTANTIATE_TEST_SUITE_P(
    Cases, EchoReplyParseTest,
    ::testing::Values(
        ReplyCase{"DatagramReply", kReply, Framing::IcmpOnly, true},
        ReplyCase{"RawReply", concat(kIpHeader, kReply), Framing::WithIpHeader, true},
        ReplyCase{"RawReplyWithIpOptions", concat(ipHeaderWithOption(), kReply),
                  Framing::WithIpHeader, true},
        ReplyCase{"EchoRequestIsNoAnswer", withByte(kReply, 0, 8), Framing::IcmpOnly, false},
        ReplyCase{"NonZeroCode", withByte(kReply, 1, 1), Framing::IcmpOnly, false},
        ReplyCase{"OtherData", withByte(kReply, 8, 'H'), Framing::IcmpOnly, false},
        ReplyCase{"DataWithoutItsZeroByte", withoutLast(kReply), Framing::IcmpOnly, false},
        ReplyCase{"LongerData", concat(kReply, {0x00}), Framing::IcmpOnly, false},
        ReplyCase{"HeaderOnly", Bytes(kReply.begin(), kReply.begin() + 8), Framing::IcmpOnly,
                  false},
        ReplyCase{"Empty", Bytes{}, Framing::IcmpOnly, false},
        ReplyCase{"RawWithBadIcmpChecksum", concat(kIpHeader, withByte(kReply, 3, 0xD5)),
                  Framing::WithIpHeader, false},
        ReplyCase{"RawWithoutIpHeader", kReply, Framing::WithIpHeader, false},
        ReplyCase{"RawIpVersion6", concat(withByte(kIpHeader, 0, 0x65), kReply),
                  Framing::WithIpHeader, false},
        ReplyCase{"RawHeaderLengthBelowMinimum", concat(withByte(kIpHeader, 0, 0x44), kReply),
                  Framing::WithIpHeader, false},
        ReplyCase{"RawTotalLengthDisagrees", concat(withByte(kIpHeader, 3, 0x24), kReply),
                  Framing::WithIpHeader, false},
        ReplyCase{"RawNotIcmp", concat(withByte(kIpHeader, 9, 17), kReply), Framing::WithIpHeader,
                  false},
        ReplyCase{"RawFragment", concat(withByte(kIpHeader, 6, 0x20), kReply),
                  Framing::WithIpHeader, false},
        ReplyCase{"RawTruncatedHeader", Bytes(kIpHeader.begin(), kIpHeader.begin() + 12),
                  Framing::WithIpHeader, false}),
    [](const auto& instance) { return std::string(instance.param.name); });

struct AddressCase {
    std::string text;
    bool valid;
};

TEST(IcmpAddressTest, AcceptsOnlyStrictDottedDecimalIpv4) {
    const std::vector<AddressCase> cases{
        {"198.18.0.1", true},
        {"127.0.0.1", true},
        {"0.0.0.0", true},
        {"255.255.255.255", true},
        {"", false},
        {"not-an-address", false},
        {"panel-1.local", false},
        {"1.2.3", false},
        {"1.2.3.4.5", false},
        {"256.1.1.1", false},
        {"0x7f.0.0.1", false},
        {"127.1", false},
        {" 198.18.0.1", false},
        {"198.18.0.1 ", false},
        {"198.18.0.-1", false},
        {"::1", false},
        {std::string("198.18.0.1\0.9", 13), false},
        {std::string(4096, '1'), false},
    };
    for (const AddressCase& c : cases) {
        SCOPED_TRACE("address '" + c.text + "'");
        const auto parsed = icmp::parseAddress(c.text);
        ASSERT_EQ(parsed.has_value(), c.valid);
        if (c.valid) {
            in_addr expected{};
            ASSERT_EQ(inet_pton(AF_INET, c.text.c_str(), &expected), 1);
            EXPECT_EQ(*parsed, expected.s_addr);
        }
    }
}

TEST(SystemIcmpProberTest, AddressesThatDoNotParseFailAtOnceWithoutASocket) {
    SystemIcmpProber prober;
    const std::vector<std::string> addresses{"not-an-address", "", "1.2.3", "999.1.1.1"};
    const std::vector<EchoOutcome> outcomes =
        prober.probe(addresses, std::chrono::hours(1), std::stop_token());
    ASSERT_EQ(outcomes.size(), addresses.size());
    for (const EchoOutcome& outcome : outcomes) {
        EXPECT_FALSE(outcome.reachable);
        EXPECT_EQ(outcome.failure, EchoFailure::InvalidAddress);
        EXPECT_EQ(outcome.socket, IcmpSocketKind::None);
    }
    EXPECT_TRUE(prober.probe({}, std::chrono::hours(1), std::stop_token()).empty());
}

TEST(SystemIcmpProberTest, AStopRequestedBeforehandCancelsWithoutSending) {
    SystemIcmpProber prober;
    std::stop_source stop;
    stop.request_stop();
    const std::vector<EchoOutcome> outcomes =
        prober.probe({"127.0.0.1", "bogus"}, std::chrono::hours(1), stop.get_token());
    ASSERT_EQ(outcomes.size(), 2U);
    EXPECT_EQ(outcomes[0].failure, EchoFailure::Cancelled);
    EXPECT_EQ(outcomes[1].failure, EchoFailure::InvalidAddress);
    EXPECT_FALSE(outcomes[0].reachable);
}

}  // namespace
}  // namespace pellan
