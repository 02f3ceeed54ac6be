#include "platform/icmp_prober.hpp"

#include "base/ipv4.hpp"

#include <array>
#include <cstring>

namespace pellan {

const char* echoFailureText(EchoFailure failure) {
    switch (failure) {
    case EchoFailure::None:
        return "answered";
    case EchoFailure::InvalidAddress:
        return "address does not parse";
    case EchoFailure::NoSocket:
        return "no ICMP socket";
    case EchoFailure::SendFailed:
        return "send failed";
    case EchoFailure::TimedOut:
        return "timed out";
    case EchoFailure::Cancelled:
        return "cancelled";
    }
    return "unknown";
}

namespace icmp {

namespace {
constexpr std::size_t kMinIpHeaderSize = 20;
constexpr std::uint8_t kProtocolIcmp = 1;
constexpr std::size_t kEchoSize = kHeaderSize + kEchoPayload.size();

std::uint16_t readBigEndian16(std::span<const std::uint8_t> bytes, std::size_t at) {
    return static_cast<std::uint16_t>((bytes[at] << 8) | bytes[at + 1]);
}
}  // namespace

std::uint16_t checksum(std::span<const std::uint8_t> bytes) {
    std::uint32_t sum = 0;
    std::size_t i = 0;
    for (; i + 1 < bytes.size(); i += 2) {
        sum += readBigEndian16(bytes, i);
    }
    if (i < bytes.size()) {
        sum += static_cast<std::uint32_t>(bytes[i]) << 8;
    }
    while ((sum >> 16) != 0) {
        sum = (sum & 0xFFFFU) + (sum >> 16);
    }
    return static_cast<std::uint16_t>(~sum & 0xFFFFU);
}

std::vector<std::uint8_t> buildEchoRequest(std::uint16_t identifier, std::uint16_t sequence) {
    std::vector<std::uint8_t> packet(kEchoSize, 0);
    packet[0] = kTypeEchoRequest;
    packet[4] = static_cast<std::uint8_t>(identifier >> 8);
    packet[5] = static_cast<std::uint8_t>(identifier & 0xFFU);
    packet[6] = static_cast<std::uint8_t>(sequence >> 8);
    packet[7] = static_cast<std::uint8_t>(sequence & 0xFFU);
    std::copy(kEchoPayload.begin(), kEchoPayload.end(), packet.begin() + kHeaderSize);
    const std::uint16_t sum = checksum(packet);
    packet[2] = static_cast<std::uint8_t>(sum >> 8);
    packet[3] = static_cast<std::uint8_t>(sum & 0xFFU);
    return packet;
}

std::optional<EchoReply> parseEchoReply(std::span<const std::uint8_t> packet, Framing framing) {
    std::span<const std::uint8_t> message = packet;
    if (framing == Framing::WithIpHeader) {
        if (packet.size() < kMinIpHeaderSize || (packet[0] >> 4) != 4) {
            return std::nullopt;
        }
        const std::size_t headerSize = static_cast<std::size_t>(packet[0] & 0x0FU) * 4;
        const std::size_t totalLength = readBigEndian16(packet, 2);
        const bool fragment = (readBigEndian16(packet, 6) & 0x3FFFU) != 0;
        if (headerSize < kMinIpHeaderSize || totalLength != packet.size() ||
            headerSize > totalLength || packet[9] != kProtocolIcmp || fragment) {
            return std::nullopt;
        }
        message = packet.subspan(headerSize);
        // A raw socket sees the packet as it came off the wire, unchecked.
        if (message.size() == kEchoSize && checksum(message) != 0) {
            return std::nullopt;
        }
    }
    if (message.size() != kEchoSize || message[0] != kTypeEchoReply || message[1] != 0 ||
        !std::equal(kEchoPayload.begin(), kEchoPayload.end(), message.begin() + kHeaderSize)) {
        return std::nullopt;
    }
    return EchoReply{readBigEndian16(message, 4), readBigEndian16(message, 6)};
}

std::optional<std::uint32_t> parseAddress(const std::string& text) {
    const std::optional<std::uint32_t> address = parseIpv4(text);
    if (!address) {
        return std::nullopt;
    }
    // Network order is the first number in the first byte, whatever the host's order.
    const std::array<std::uint8_t, 4> bytes{
        static_cast<std::uint8_t>(*address >> 24), static_cast<std::uint8_t>(*address >> 16),
        static_cast<std::uint8_t>(*address >> 8), static_cast<std::uint8_t>(*address)};
    std::uint32_t networkOrder = 0;
    std::memcpy(&networkOrder, bytes.data(), bytes.size());
    return networkOrder;
}

}  // namespace icmp

}  // namespace pellan
