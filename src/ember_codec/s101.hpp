#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace pellan::ember::s101 {

inline constexpr std::uint8_t kBof = 0xFE;
inline constexpr std::uint8_t kEof = 0xFF;
inline constexpr std::uint8_t kEscape = 0xFD;
inline constexpr std::uint8_t kEscapeXor = 0x20;
/// Every byte from here up is sent escaped inside a frame.
inline constexpr std::uint8_t kFirstEscaped = 0xF8;
/// Starts a frame that carries its length instead of escaping (accepted on input only).
inline constexpr std::uint8_t kNonEscapingStart = 0xF8;

inline constexpr std::uint8_t kMessageEmber = 0x0E;
inline constexpr std::uint8_t kCommandEmber = 0x00;
inline constexpr std::uint8_t kCommandKeepAliveRequest = 0x01;
inline constexpr std::uint8_t kCommandKeepAliveResponse = 0x02;
inline constexpr std::uint8_t kVersion = 0x01;
inline constexpr std::uint8_t kFlagFirst = 0x80;
inline constexpr std::uint8_t kFlagLast = 0x40;
inline constexpr std::uint8_t kDtdGlow = 0x01;
/// Glow DTD 2.50: minor then major.
inline constexpr std::array<std::uint8_t, 2> kAppBytes{0x32, 0x02};
/// Slot, message type, command, version, flags, DTD, count of application bytes.
inline constexpr std::size_t kPackageHeaderSize = 7;

inline constexpr std::uint16_t kCrcInit = 0xFFFF;
/// What the CRC register holds after an intact frame's bytes and its CRC.
inline constexpr std::uint16_t kCrcGood = 0xF0B8;

namespace detail {
constexpr std::array<std::uint16_t, 256> makeCrcTable() {
    std::array<std::uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned crc = i;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1U) != 0 ? (crc >> 1) ^ 0x8408U : crc >> 1;
        }
        table[i] = static_cast<std::uint16_t>(crc);
    }
    return table;
}
inline constexpr std::array<std::uint16_t, 256> kCrcTable = makeCrcTable();
}  // namespace detail

/// One step of the frame CRC (reflected CCITT, polynomial 0x8408).
constexpr std::uint16_t crcUpdate(std::uint16_t crc, std::uint8_t byte) {
    return static_cast<std::uint16_t>((crc >> 8) ^ detail::kCrcTable[(crc ^ byte) & 0xFFU]);
}

constexpr std::uint16_t crc(std::span<const std::uint8_t> bytes, std::uint16_t start = kCrcInit) {
    for (const std::uint8_t byte : bytes) {
        start = crcUpdate(start, byte);
    }
    return start;
}

/// Writes one escaped frame into a fixed buffer: BOF, escaped bytes with a running CRC, the
/// escaped one's-complement CRC low byte first, EOF.
///
/// Kind: value, used by one thread. Never allocates; bytes beyond the capacity are dropped
/// and remembered as an overflow.
class FrameWriter {
public:
    FrameWriter(std::uint8_t* buffer, std::size_t capacity)
        : buffer_(buffer), capacity_(capacity) {}

    void begin() {
        size_ = 0;
        overflow_ = false;
        crc_ = kCrcInit;
        raw(kBof);
    }
    void put(std::uint8_t byte) {
        crc_ = crcUpdate(crc_, byte);
        escaped(byte);
    }
    /// Appends the CRC and EOF; false when any byte of the frame did not fit.
    bool finish() {
        const auto check = static_cast<std::uint16_t>(~crc_);
        escaped(static_cast<std::uint8_t>(check & 0xFFU));
        escaped(static_cast<std::uint8_t>(check >> 8));
        raw(kEof);
        return !overflow_;
    }
    std::size_t size() const { return size_; }
    bool overflow() const { return overflow_; }

private:
    void escaped(std::uint8_t byte) {
        if (byte >= kFirstEscaped) {
            raw(kEscape);
            raw(static_cast<std::uint8_t>(byte ^ kEscapeXor));
            return;
        }
        raw(byte);
    }
    void raw(std::uint8_t byte) {
        if (size_ >= capacity_) {
            overflow_ = true;
            return;
        }
        buffer_[size_++] = byte;
    }

    std::uint8_t* buffer_;
    std::size_t capacity_;
    std::size_t size_ = 0;
    std::uint16_t crc_ = kCrcInit;
    bool overflow_ = false;
};

}  // namespace pellan::ember::s101

namespace pellan {

/// Writes the S101 answer to a keep-alive request of `slot` (BOF, slot, 0x0E, 0x02, 0x01, CRC,
/// EOF). Returns the frame's length, or -1 when it does not fit into `size` bytes (16 always do).
int writeKeepAliveResponse(std::uint8_t* buffer, std::size_t size, std::uint8_t slot);
/// The same frame with command 0x01: what a provider sends to see whether we are alive.
int writeKeepAliveRequest(std::uint8_t* buffer, std::size_t size, std::uint8_t slot);
/// The clients' test on one receive: exactly 8 bytes whose third is 0x0E and fourth 0x01 are
/// a keep-alive request to answer at once (its slot is the second byte).
bool looksLikeKeepAliveRequest(const std::uint8_t* data, std::size_t length);

}  // namespace pellan
