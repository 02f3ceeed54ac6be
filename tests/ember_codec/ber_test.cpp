#include "ember_codec/ber.hpp"

#include "ember_codec/glow_hooks.hpp"
#include "ember_codec/s101.hpp"

#include "ember_test_support.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace pellan {
namespace {

using test::Bytes;
namespace ber = ember::ber;
namespace error = ember::error;

TEST(S101Crc, TableMatchesTheBitwiseDefinitionAndChecksGoldenFrames) {
    for (unsigned b = 0; b < 256; ++b) {
        const Bytes one{static_cast<std::uint8_t>(b)};
        EXPECT_EQ(ember::s101::crc(one), test::build::crc(one)) << b;
    }
    // Over an intact frame's unescaped bytes, CRC included, the register ends at 0xF0B8.
    for (const char* name : {"get_directory_1_4_1_1_1", "set_parameter_true_1_4_1_3_2",
                             "keepalive_request_slot0", "keepalive_response_slot0"}) {
        const Bytes wire = test::parseHex(test::readTextFile(test::emberDataPath(name, ".hex")));
        Bytes body;
        for (std::size_t i = 1; i + 1 < wire.size(); ++i) {
            body.push_back(wire[i] == 0xFD ? static_cast<std::uint8_t>(wire[++i] ^ 0x20) : wire[i]);
        }
        EXPECT_EQ(ember::s101::crc(body), ember::s101::kCrcGood) << name;
    }
}

TEST(BerDecode, IntegersOfOneToEightBytes) {
    const struct {
        Bytes bytes;
        int code;
        std::int64_t value;
    } cases[] = {
        {{0x00}, 0, 0},
        {{0x7F}, 0, 127},
        {{0x80}, 0, -128},
        {{0x00, 0x80}, 0, 128},
        {{0xFF, 0x7F}, 0, -129},
        {{0x00, 0x00, 0x01}, 0, 1},  // Redundant leading bytes are accepted on input.
        {{0x80, 0, 0, 0, 0, 0, 0, 0}, 0, std::numeric_limits<std::int64_t>::min()},
        {{0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
         0,
         std::numeric_limits<std::int64_t>::max()},
        {{}, error::kInvalidInteger, 0},
        {{0x01, 0, 0, 0, 0, 0, 0, 0, 0}, error::kInvalidInteger, 0},
    };
    for (const auto& c : cases) {
        std::int64_t value = 99;
        EXPECT_EQ(ber::decodeInteger(c.bytes, value), c.code) << test::toHex(c.bytes);
        EXPECT_EQ(value, c.value) << test::toHex(c.bytes);
    }
    std::int32_t small = 0;
    EXPECT_EQ(ber::decodeInteger32(Bytes{0x7F, 0xFF, 0xFF, 0xFF}, small), 0);
    EXPECT_EQ(small, std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(ber::decodeInteger32(Bytes{0x00, 0x80, 0x00, 0x00, 0x00}, small),
              error::kInvalidInteger32);
    EXPECT_EQ(ber::decodeInteger32(Bytes{0xFF, 0x7F, 0xFF, 0xFF, 0xFF}, small),
              error::kInvalidInteger32);
}

TEST(BerDecode, RealsInEveryBinaryFormAndTheSpecialValues) {
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        Bytes bytes;
        int code;
        double value;
    } cases[] = {
        {{}, 0, 0.0},
        {{0x80, 0xFF, 0x03}, 0, 1.5},         // 3 * 2^-1
        {{0xC0, 0xFE, 0x01}, 0, -0.25},       // -1 * 2^-2
        {{0x84, 0xFF, 0x03}, 0, 3.0},         // scaling factor 1: 3 * 2^1 * 2^-1
        {{0x90, 0x01, 0x01}, 0, 8.0},         // base 8
        {{0xA0, 0xFF, 0x10}, 0, 1.0},         // base 16
        {{0x81, 0x00, 0x01, 0x01}, 0, 2.0},   // two exponent bytes
        {{0x83, 0x01, 0x02, 0x05}, 0, 20.0},  // exponent length in the next byte
        {{0x80, 0x7F, 0xFF}, 0, 255.0 * std::ldexp(1.0, 127)},
        {{0x81, 0x7F, 0xFF, 0x01}, 0, inf},  // Beyond double: infinity.
        {{0x40}, 0, inf},
        {{0x41}, 0, -inf},
        {{0x43}, 0, -0.0},
        {{0x01, 0x31}, error::kInvalidReal, 0.0},        // Decimal form.
        {{0xB0, 0x00, 0x01}, error::kInvalidReal, 0.0},  // Reserved base.
        {{0x40, 0x00}, error::kInvalidReal, 0.0},
        {{0x44}, error::kInvalidReal, 0.0},
        {{0x80, 0x00}, error::kInvalidReal, 0.0},  // No mantissa.
        {{0x80, 0x00, 1, 2, 3, 4, 5, 6, 7, 8, 9}, error::kInvalidReal, 0.0},
        {{0x83, 0x05, 1, 2, 3, 4, 5, 6}, error::kInvalidReal, 0.0},
        {{0x81, 0x00}, error::kInputEof, 0.0},
        {{0x83}, error::kInputEof, 0.0},
    };
    for (const auto& c : cases) {
        double value = 99.0;
        EXPECT_EQ(ber::decodeReal(c.bytes, value), c.code) << test::toHex(c.bytes);
        EXPECT_EQ(value, c.value) << test::toHex(c.bytes);
        EXPECT_EQ(std::signbit(value), std::signbit(c.value)) << test::toHex(c.bytes);
    }
    double nan = 0.0;
    EXPECT_EQ(ber::decodeReal(Bytes{0x42}, nan), 0);
    EXPECT_TRUE(std::isnan(nan));
}

TEST(BerDecode, RelativeOidsWithinThirtyTwoNumbersOfThirtyOneBits) {
    const struct {
        Bytes bytes;
        int code;
        std::vector<std::int32_t> numbers;
    } cases[] = {
        {{}, 0, {}},
        {{0x01, 0x04, 0x01}, 0, {1, 4, 1}},
        {{0x81, 0x00, 0x7F}, 0, {128, 127}},
        {{0x87, 0xFF, 0xFF, 0xFF, 0x7F}, 0, {std::numeric_limits<std::int32_t>::max()}},
        {{0x88, 0x80, 0x80, 0x80, 0x00}, error::kInvalidObjectIdentifier, {}},
        {{0x80, 0x01}, error::kInvalidObjectIdentifier, {}},  // Leading empty group.
        {{0x01, 0x81}, error::kInputEof, {}},                 // Unterminated number.
        {Bytes(33, 0x01), error::kInvalidObjectIdentifier, {}},
    };
    for (const auto& c : cases) {
        std::int32_t out[32];
        std::size_t count = 99;
        EXPECT_EQ(ber::decodeRelativeOid(c.bytes, out, 32, count), c.code) << test::toHex(c.bytes);
        EXPECT_EQ(std::vector<std::int32_t>(out, out + count), c.numbers) << test::toHex(c.bytes);
    }
}

// A UTF8String reaches JSON and the UI, so only well-formed UTF-8 is kept; anything else is
// reported and read as an empty string, and the rest of the parameter still arrives.
TEST(BerDecode, KeepsOnlyWellFormedUtf8Strings) {
    const struct {
        Bytes bytes;
        bool valid;
    } cases[] = {
        {{}, true},
        {{'a', 0x00, 'b'}, true},
        {{0xC3, 0xBC}, true},
        {{0xE6, 0x9D, 0xB1}, true},
        {{0xF0, 0x9F, 0x98, 0x80}, true},
        {{0xF4, 0x8F, 0xBF, 0xBF}, true},
        {{0xC0, 0x80}, false},              // Overlong.
        {{0xE0, 0x80, 0x80}, false},        // Overlong.
        {{0xED, 0xA0, 0x80}, false},        // Surrogate.
        {{0xF4, 0x90, 0x80, 0x80}, false},  // Above U+10FFFF.
        {{0xC3}, false},                    // Cut.
        {{0xC3, 0x28}, false},
        {{0x80}, false},
        {{0xF8, 0x88, 0x80, 0x80, 0x80}, false},
        {{0xFF}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(test::toHex(c.bytes));
        const std::string text(c.bytes.begin(), c.bytes.end());
        test::LoggingReader reader;
        reader.feed(test::build::frame(test::build::root({test::build::qualifiedParameter(
            {1}, {test::build::field(1, test::build::utf8(text)),
                  test::build::field(2, test::build::integer(7))})})));
        const std::string parameter =
            "param 1 fields=0x6 description=\"" + (c.valid ? text : "") + "\" value=int:7";
        if (c.valid) {
            EXPECT_EQ(reader.lines, std::vector<std::string>{parameter});
        } else {
            EXPECT_EQ(reader.lines,
                      (std::vector<std::string>{"error 205 Invalid String encoding", parameter}));
        }
    }
}

Bytes encoded(std::size_t (*encode)(std::int64_t, std::uint8_t*), std::int64_t value) {
    std::uint8_t out[16];
    return Bytes(out, out + encode(value, out));
}

TEST(BerEncode, WritesMinimalForms) {
    const struct {
        std::int64_t value;
        Bytes bytes;
    } integers[] = {
        {0, {0x00}},
        {127, {0x7F}},
        {128, {0x00, 0x80}},
        {-128, {0x80}},
        {-129, {0xFF, 0x7F}},
        {32, {0x20}},
        {std::numeric_limits<std::int64_t>::min(), {0x80, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const auto& c : integers) {
        EXPECT_EQ(encoded(ber::encodeInteger, c.value), c.bytes) << c.value;
    }
    std::uint8_t out[16];
    const struct {
        std::size_t length;
        Bytes bytes;
    } lengths[] = {{0, {0x00}}, {127, {0x7F}}, {128, {0x81, 0x80}}, {256, {0x82, 0x01, 0x00}}};
    for (const auto& c : lengths) {
        EXPECT_EQ(Bytes(out, out + ber::encodeLength(c.length, out)), c.bytes) << c.length;
    }
    EXPECT_EQ(Bytes(out, out + ber::encodeTag(ber::contextTag(30), out)), Bytes{0xBE});
    EXPECT_EQ(Bytes(out, out + ber::encodeTag(ber::contextTag(31), out)), (Bytes{0xBF, 0x1F}));
    EXPECT_EQ(Bytes(out, out + ber::encodeTag(ber::applicationTag(200), out)),
              (Bytes{0x7F, 0x81, 0x48}));
    EXPECT_EQ(Bytes(out, out + ber::encodeReal(1.5, out)), (Bytes{0x80, 0xFF, 0x03}));
    EXPECT_EQ(Bytes(out, out + ber::encodeReal(-0.25, out)), (Bytes{0xC0, 0xFE, 0x01}));
    EXPECT_EQ(Bytes(out, out + ber::encodeReal(1024.0, out)), (Bytes{0x80, 0x0A, 0x01}));
    EXPECT_EQ(Bytes(out, out + ber::encodeReal(0.0, out)), Bytes{});
    EXPECT_EQ(Bytes(out, out + ber::encodeReal(5e-324, out)), (Bytes{0x81, 0xFB, 0xCE, 0x01}));
}

}  // namespace
}  // namespace pellan
