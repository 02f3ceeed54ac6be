#include "ember_codec/ber.hpp"

#include "ember_codec/glow_hooks.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace pellan::ember::ber {

int decodeBoolean(std::span<const std::uint8_t> bytes, bool& out) {
    out = false;
    if (bytes.size() != 1) {
        return error::kInvalidBoolean;
    }
    out = bytes[0] != 0;
    return 0;
}

int decodeInteger(std::span<const std::uint8_t> bytes, std::int64_t& out) {
    out = 0;
    if (bytes.empty() || bytes.size() > 8) {
        return error::kInvalidInteger;
    }
    // Sign-extend from the first byte, then shift in the rest.
    std::uint64_t value = (bytes[0] & 0x80U) != 0 ? ~std::uint64_t{0} : 0;
    for (const std::uint8_t byte : bytes) {
        value = (value << 8) | byte;
    }
    out = static_cast<std::int64_t>(value);
    return 0;
}

int decodeInteger32(std::span<const std::uint8_t> bytes, std::int32_t& out) {
    out = 0;
    std::int64_t wide = 0;
    if (const int code = decodeInteger(bytes, wide); code != 0) {
        return code;
    }
    if (wide < std::numeric_limits<std::int32_t>::min() ||
        wide > std::numeric_limits<std::int32_t>::max()) {
        return error::kInvalidInteger32;
    }
    out = static_cast<std::int32_t>(wide);
    return 0;
}

int decodeNull(std::span<const std::uint8_t> bytes) {
    return bytes.empty() ? 0 : error::kInvalidBoolean;
}

int decodeReal(std::span<const std::uint8_t> bytes, double& out) {
    out = 0.0;
    if (bytes.empty()) {
        return 0;  // Zero has no content octets.
    }
    const std::uint8_t first = bytes[0];
    if ((first & 0x80U) == 0) {
        if ((first & 0x40U) == 0) {
            return error::kInvalidReal;  // Decimal forms: not used by Ember+.
        }
        if (bytes.size() != 1) {
            return error::kInvalidReal;
        }
        switch (first) {
        case 0x40:
            out = std::numeric_limits<double>::infinity();
            return 0;
        case 0x41:
            out = -std::numeric_limits<double>::infinity();
            return 0;
        case 0x42:
            out = std::numeric_limits<double>::quiet_NaN();
            return 0;
        case 0x43:
            out = -0.0;
            return 0;
        default:
            return error::kInvalidReal;
        }
    }
    const unsigned baseBits = (first >> 4) & 0x03U;
    if (baseBits == 3) {
        return error::kInvalidReal;
    }
    const int log2Base = baseBits == 0 ? 1 : baseBits == 1 ? 3 : 4;
    const int scale = (first >> 2) & 0x03;
    std::size_t pos = 1;
    std::size_t exponentLength = (first & 0x03U) + 1U;
    if (exponentLength == 4) {
        if (bytes.size() < 2) {
            return error::kInputEof;
        }
        exponentLength = bytes[1];
        pos = 2;
    }
    if (exponentLength == 0 || exponentLength > 4) {
        return error::kInvalidReal;
    }
    if (bytes.size() < pos + exponentLength) {
        return error::kInputEof;
    }
    std::int64_t exponent = 0;
    decodeInteger(bytes.subspan(pos, exponentLength), exponent);
    pos += exponentLength;
    auto mantissaBytes = bytes.subspan(pos);
    while (!mantissaBytes.empty() && mantissaBytes[0] == 0) {
        mantissaBytes = mantissaBytes.subspan(1);
    }
    if (mantissaBytes.size() > 8 || pos == bytes.size()) {
        return error::kInvalidReal;
    }
    std::uint64_t mantissa = 0;
    for (const std::uint8_t byte : mantissaBytes) {
        mantissa = (mantissa << 8) | byte;
    }
    // Clamp before scaling: ldexp saturates to zero or infinity far earlier than this.
    std::int64_t power = exponent * log2Base + scale;
    power = std::max<std::int64_t>(-100000, std::min<std::int64_t>(100000, power));
    double value = std::ldexp(static_cast<double>(mantissa), static_cast<int>(power));
    out = (first & 0x40U) != 0 ? -value : value;
    return 0;
}

int decodeRelativeOid(std::span<const std::uint8_t> bytes, std::int32_t* out, std::size_t capacity,
                      std::size_t& count) {
    count = 0;
    std::uint64_t number = 0;
    bool inNumber = false;
    for (const std::uint8_t byte : bytes) {
        if (!inNumber && byte == 0x80) {
            count = 0;
            return error::kInvalidObjectIdentifier;  // A number never starts with an empty group.
        }
        number = (number << 7) | (byte & 0x7FU);
        if (number > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) {
            count = 0;
            return error::kInvalidObjectIdentifier;
        }
        inNumber = (byte & 0x80U) != 0;
        if (inNumber) {
            continue;
        }
        if (count == capacity) {
            count = 0;
            return error::kInvalidObjectIdentifier;
        }
        out[count++] = static_cast<std::int32_t>(number);
        number = 0;
    }
    if (inNumber) {
        count = 0;
        return error::kInputEof;
    }
    return 0;
}

std::size_t encodeInteger(std::int64_t value, std::uint8_t* out) {
    // Minimal two's complement: drop leading bytes that only repeat the sign.
    std::size_t length = 8;
    while (length > 1) {
        const auto top =
            static_cast<std::uint8_t>(static_cast<std::uint64_t>(value) >> ((length - 1) * 8));
        const auto next =
            static_cast<std::uint8_t>(static_cast<std::uint64_t>(value) >> ((length - 2) * 8));
        if ((top == 0x00 && (next & 0x80U) == 0) || (top == 0xFF && (next & 0x80U) != 0)) {
            --length;
            continue;
        }
        break;
    }
    for (std::size_t i = 0; i < length; ++i) {
        out[i] =
            static_cast<std::uint8_t>(static_cast<std::uint64_t>(value) >> ((length - 1 - i) * 8));
    }
    return length;
}

std::size_t encodeReal(double value, std::uint8_t* out) {
    if (std::isnan(value)) {
        out[0] = 0x42;
        return 1;
    }
    if (std::isinf(value)) {
        out[0] = value > 0 ? 0x40 : 0x41;
        return 1;
    }
    if (value == 0.0) {
        if (std::signbit(value)) {
            out[0] = 0x43;
            return 1;
        }
        return 0;
    }
    int exponent = 0;
    const double fraction = std::frexp(std::fabs(value), &exponent);
    auto mantissa = static_cast<std::uint64_t>(std::ldexp(fraction, 53));
    exponent -= 53;
    while ((mantissa & 1U) == 0) {
        mantissa >>= 1;
        ++exponent;
    }
    std::uint8_t exponentBytes[8];
    const std::size_t exponentLength = encodeInteger(exponent, exponentBytes);
    std::size_t pos = 0;
    out[pos++] = static_cast<std::uint8_t>(0x80U | (std::signbit(value) ? 0x40U : 0U) |
                                           (exponentLength - 1U));
    for (std::size_t i = 0; i < exponentLength; ++i) {
        out[pos++] = exponentBytes[i];
    }
    std::size_t mantissaLength = 1;
    while (mantissaLength < 8 && (mantissa >> (mantissaLength * 8)) != 0) {
        ++mantissaLength;
    }
    for (std::size_t i = 0; i < mantissaLength; ++i) {
        out[pos++] = static_cast<std::uint8_t>(mantissa >> ((mantissaLength - 1 - i) * 8));
    }
    return pos;
}

std::size_t encodeOidNumber(std::uint32_t value, std::uint8_t* out) {
    std::size_t groups = 1;
    while (groups < 5 && (value >> (7 * groups)) != 0) {
        ++groups;
    }
    for (std::size_t i = 0; i < groups; ++i) {
        const auto group = static_cast<std::uint8_t>((value >> (7 * (groups - 1 - i))) & 0x7FU);
        out[i] = i + 1 < groups ? static_cast<std::uint8_t>(group | 0x80U) : group;
    }
    return groups;
}

std::size_t encodeLength(std::size_t length, std::uint8_t* out) {
    if (length < 0x80) {
        out[0] = static_cast<std::uint8_t>(length);
        return 1;
    }
    std::size_t count = 1;
    while (count < sizeof(std::size_t) && (length >> (count * 8)) != 0) {
        ++count;
    }
    out[0] = static_cast<std::uint8_t>(0x80U | count);
    for (std::size_t i = 0; i < count; ++i) {
        out[1 + i] = static_cast<std::uint8_t>(length >> ((count - 1 - i) * 8));
    }
    return count + 1;
}

std::size_t encodeTag(Tag tag, std::uint8_t* out) {
    const auto head =
        static_cast<std::uint8_t>(tag.tagClass | (tag.constructed ? kConstructed : 0));
    if (tag.number < kTagNumberMask) {
        out[0] = static_cast<std::uint8_t>(head | tag.number);
        return 1;
    }
    out[0] = static_cast<std::uint8_t>(head | kTagNumberMask);
    return 1 + encodeOidNumber(tag.number, out + 1);
}

}  // namespace pellan::ember::ber
