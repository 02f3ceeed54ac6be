#pragma once
#include <cstddef>
#include <cstdint>
#include <span>

namespace pellan::ember::ber {

inline constexpr std::uint8_t kClassUniversal = 0x00;
inline constexpr std::uint8_t kClassApplication = 0x40;
inline constexpr std::uint8_t kClassContext = 0x80;
inline constexpr std::uint8_t kClassPrivate = 0xC0;
inline constexpr std::uint8_t kClassMask = 0xC0;
inline constexpr std::uint8_t kConstructed = 0x20;
inline constexpr std::uint8_t kTagNumberMask = 0x1F;
inline constexpr std::uint8_t kIndefiniteLength = 0x80;

inline constexpr std::uint32_t kTypeBoolean = 1;
inline constexpr std::uint32_t kTypeInteger = 2;
inline constexpr std::uint32_t kTypeOctetString = 4;
inline constexpr std::uint32_t kTypeNull = 5;
inline constexpr std::uint32_t kTypeReal = 9;
inline constexpr std::uint32_t kTypeUtf8String = 12;
inline constexpr std::uint32_t kTypeRelativeOid = 13;
inline constexpr std::uint32_t kTypeSequence = 16;
inline constexpr std::uint32_t kTypeSet = 17;

/// An identifier: class bits, constructed flag and tag number.
struct Tag {
    std::uint8_t tagClass = kClassUniversal;
    bool constructed = false;
    std::uint32_t number = 0;

    friend bool operator==(const Tag&, const Tag&) = default;
};

constexpr Tag contextTag(std::uint32_t number) {
    return {kClassContext, true, number};
}
constexpr Tag applicationTag(std::uint32_t number) {
    return {kClassApplication, true, number};
}

// Value decoders. Each returns 0 or the codec error number of its type; on an error the
// output holds the empty value of the type.

/// BOOLEAN: exactly one byte, true when non-zero.
int decodeBoolean(std::span<const std::uint8_t> bytes, bool& out);
/// INTEGER: 1 to 8 bytes of big-endian two's complement.
int decodeInteger(std::span<const std::uint8_t> bytes, std::int64_t& out);
/// INTEGER that must fit 32 bits (numbers, enumerations of the Glow DTD).
int decodeInteger32(std::span<const std::uint8_t> bytes, std::int32_t& out);
/// NULL: no content.
int decodeNull(std::span<const std::uint8_t> bytes);
/// REAL: binary encoding (base 2, 8 or 16, any scaling factor) and the special values for
/// plus and minus infinity, not-a-number and minus zero; the decimal forms are refused.
int decodeReal(std::span<const std::uint8_t> bytes, double& out);
/// RELATIVE-OID into at most `capacity` numbers of 31 bits each; `count` receives how many.
int decodeRelativeOid(std::span<const std::uint8_t> bytes, std::int32_t* out, std::size_t capacity,
                      std::size_t& count);

// Encoders for the writer: each writes into `out` (at least 16 bytes) and returns the count.

std::size_t encodeInteger(std::int64_t value, std::uint8_t* out);
std::size_t encodeReal(double value, std::uint8_t* out);
/// One number of a RELATIVE-OID (base-128 groups, most significant first).
std::size_t encodeOidNumber(std::uint32_t value, std::uint8_t* out);
std::size_t encodeLength(std::size_t length, std::uint8_t* out);
std::size_t encodeTag(Tag tag, std::uint8_t* out);

}  // namespace pellan::ember::ber
