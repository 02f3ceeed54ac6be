#include "ember_codec/glow_output.hpp"

#include "ember_codec/glow_reader.hpp"
#include "ember_codec/s101.hpp"

#include "ember_test_support.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace pellan {
namespace {

using test::Bytes;
namespace build = test::build;

Bytes golden(const std::string& name) {
    return test::parseHex(test::readTextFile(test::emberDataPath(name, ".hex")));
}

Bytes getDirectory(const std::vector<std::int32_t>& path,
                   GlowElementType type = GlowElementType::QualifiedNode,
                   GlowCommand command = {}) {
    std::array<std::uint8_t, 512> buffer{};
    GlowOutput output(buffer.data(), buffer.size());
    output.beginPackage(true);
    output.writeQualifiedCommand(command, path.data(), path.size(), type);
    const int length = output.finishPackage();
    EXPECT_GT(length, 0);
    return Bytes(buffer.begin(), buffer.begin() + std::max(length, 0));
}

Bytes writeParameter(const GlowParameter& parameter, std::uint32_t fields,
                     const std::vector<std::int32_t>& path) {
    std::array<std::uint8_t, 1024> buffer{};
    GlowOutput output(buffer.data(), buffer.size());
    output.beginPackage(true);
    output.writeQualifiedParameter(parameter, fields, path.data(), path.size());
    const int length = output.finishPackage();
    EXPECT_GT(length, 0);
    return Bytes(buffer.begin(), buffer.begin() + std::max(length, 0));
}

GlowParameter booleanValue(bool value) {
    GlowParameter parameter;
    parameter.value = value;
    return parameter;
}

std::vector<std::uint32_t> unsignedPath(const std::vector<std::int32_t>& path) {
    return std::vector<std::uint32_t>(path.begin(), path.end());
}

TEST(GlowOutput, WritesTheGoldenFrames) {
    EXPECT_EQ(test::toHex(getDirectory({1, 4, 1, 1, 1})),
              test::toHex(golden("get_directory_1_4_1_1_1")));
    EXPECT_EQ(getDirectory({1, 4, 1, 1, 1}).size(), 59U);
    EXPECT_EQ(test::toHex(getDirectory({1, 200, 16383, 16384, 2147483647})),
              test::toHex(golden("get_directory_many_numbers")));
    const Bytes on = writeParameter(booleanValue(true), GlowFieldValue, {1, 4, 1, 3, 2});
    EXPECT_EQ(test::toHex(on), test::toHex(golden("set_parameter_true_1_4_1_3_2")));
    EXPECT_EQ(on.size(), 52U);
    EXPECT_EQ(test::toHex(writeParameter(booleanValue(false), GlowFieldValue, {4, 1, 1, 10, 3})),
              test::toHex(golden("set_parameter_false_4_1_1_10_3")));
}

TEST(GlowOutput, WritesEveryRequestTheClientsSendAsTheBuilderDoes) {
    // The GPIO client's 30 paths and the virtual-GPIO bases, each as GetDirectory and as a
    // Boolean write, against the tests' own encoder.
    std::vector<std::vector<std::int32_t>> paths;
    for (std::int32_t field = 1; field <= 3; ++field) {
        for (std::int32_t port = 1; port <= 10; ++port) {
            paths.push_back({1, 4, 1, port, field});
        }
    }
    for (const std::vector<std::int32_t>& base :
         {std::vector<std::int32_t>{1, 6, 2}, {1, 5, 2}, {1, 8, 2}}) {
        for (std::int32_t entry = 1; entry <= 10; ++entry) {
            for (std::int32_t field : {1, 6}) {
                auto path = base;
                path.push_back(entry);
                path.push_back(field);
                paths.push_back(path);
            }
        }
    }
    std::vector<std::int32_t> longest(kGlowMaxPathLength, 127);
    longest[0] = 128;
    paths.push_back(longest);
    for (const auto& path : paths) {
        using build::element;
        const Bytes expected = build::frame(build::root(
            {element(GlowType::QualifiedNode,
                     {build::path(unsignedPath(path)),
                      build::children({element(GlowType::Command, {build::number(32)})})})}));
        ASSERT_EQ(test::toHex(getDirectory(path)), test::toHex(expected))
            << test::describePath(path);
        for (const bool value : {true, false}) {
            const Bytes write = build::frame(build::root({build::qualifiedParameter(
                unsignedPath(path), {build::field(2, build::boolean(value))})}));
            ASSERT_EQ(test::toHex(writeParameter(booleanValue(value), GlowFieldValue, path)),
                      test::toHex(write))
                << test::describePath(path);
        }
    }
}

TEST(GlowOutput, WritesTheCommandItselfWithoutPathOrForOtherElementTypes) {
    const Bytes bare =
        build::frame(build::root({build::element(GlowType::Command, {build::number(32)})}));
    EXPECT_EQ(test::toHex(getDirectory({})), test::toHex(bare));
    EXPECT_EQ(test::toHex(getDirectory({1, 2}, static_cast<GlowElementType>(7))),
              test::toHex(bare));
}

TEST(GlowOutput, WrapsTheCommandInTheQualifiedTypeAsked) {
    const struct {
        GlowElementType type;
        GlowType wrapper;
    } cases[] = {
        {GlowElementType::QualifiedNode, GlowType::QualifiedNode},
        {GlowElementType::QualifiedParameter, GlowType::QualifiedParameter},
        {GlowElementType::QualifiedMatrix, GlowType::QualifiedMatrix},
        {GlowElementType::QualifiedFunction, GlowType::QualifiedFunction},
    };
    for (const auto& c : cases) {
        const Bytes expected = build::frame(build::root({build::element(
            c.wrapper, {build::path({3, 1}), build::children({build::element(
                                                 GlowType::Command, {build::number(32)})})})}));
        EXPECT_EQ(test::toHex(getDirectory({3, 1}, c.type)), test::toHex(expected));
    }
}

TEST(GlowOutput, WritesDirFieldMaskOnlyForGetDirectoryAndInvocationOnlyForInvoke) {
    const auto command = [](std::vector<Bytes> fields) {
        return build::frame(build::root({build::element(GlowType::Command, fields)}));
    };
    EXPECT_EQ(test::toHex(getDirectory({}, GlowElementType::QualifiedNode,
                                       {GlowCommandType::GetDirectory, 0x7F, 0})),
              test::toHex(command({build::number(32), build::field(1, build::integer(0x7F))})));
    EXPECT_EQ(test::toHex(getDirectory({}, GlowElementType::QualifiedNode,
                                       {GlowCommandType::Subscribe, 0x7F, 0})),
              test::toHex(command({build::number(30)})));
    EXPECT_EQ(test::toHex(getDirectory({}, GlowElementType::QualifiedNode,
                                       {GlowCommandType::Invoke, 0x7F, 9})),
              test::toHex(command(
                  {build::number(33), build::container(build::tag(build::kContext, 2),
                                                       build::tag(build::kApplication, 22),
                                                       {build::field(0, build::integer(9))})})));
}

TEST(KeepAlive, WritesAndRecognisesTheGoldenFrames) {
    std::array<std::uint8_t, 16> buffer{};
    int length = writeKeepAliveResponse(buffer.data(), buffer.size(), 0);
    ASSERT_GT(length, 0);
    EXPECT_EQ(test::toHex(Bytes(buffer.begin(), buffer.begin() + length)),
              test::toHex(golden("keepalive_response_slot0")));
    length = writeKeepAliveRequest(buffer.data(), buffer.size(), 0);
    ASSERT_GT(length, 0);
    const Bytes request = golden("keepalive_request_slot0");
    EXPECT_EQ(test::toHex(Bytes(buffer.begin(), buffer.begin() + length)), test::toHex(request));
    EXPECT_TRUE(looksLikeKeepAliveRequest(request.data(), request.size()));
}

TEST(KeepAlive, ResponseEchoesTheSlotEscapedWhereNeeded) {
    for (const unsigned slot : {0U, 1U, 5U, 0x7FU, 0xF8U, 0xFDU, 0xFFU}) {
        std::array<std::uint8_t, 16> buffer{};
        const int length =
            writeKeepAliveResponse(buffer.data(), buffer.size(), static_cast<std::uint8_t>(slot));
        const Bytes expected = build::frameOf({static_cast<std::uint8_t>(slot), 0x0E, 0x02, 0x01});
        ASSERT_GT(length, 0);
        EXPECT_EQ(test::toHex(Bytes(buffer.begin(), buffer.begin() + length)),
                  test::toHex(expected))
            << "slot " << slot;
    }
    std::array<std::uint8_t, 8> small{};
    EXPECT_EQ(writeKeepAliveResponse(small.data(), small.size(), 0), -1);  // Needs 9 bytes.
}

TEST(KeepAlive, RecognisesOnlyAWholeRequestOfEightBytes) {
    const struct {
        Bytes bytes;
        bool request;
    } cases[] = {
        {{0xFE, 0x00, 0x0E, 0x01, 0x01, 0x94, 0xE4, 0xFF}, true},
        {{0xFE, 0x05, 0x0E, 0x01, 0x01, 0x00, 0x00, 0xFF}, true},  // The clients do not check CRC.
        {{0xFE, 0x00, 0x0E, 0x02, 0x01, 0x94, 0xE4, 0xFF}, false},
        {{0xFE, 0x00, 0x0E, 0x01, 0x01, 0x94, 0xE4}, false},
        {{0xFE, 0x00, 0x0E, 0x01, 0x01, 0x94, 0xE4, 0xFF, 0xFE}, false},
        {{0xFE, 0x00, 0x0F, 0x01, 0x01, 0x94, 0xE4, 0xFF}, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(looksLikeKeepAliveRequest(c.bytes.data(), c.bytes.size()), c.request)
            << test::toHex(c.bytes);
    }
    EXPECT_FALSE(looksLikeKeepAliveRequest(nullptr, 8));
}

/// Writes `parameter`, reads it back, and returns what the reader reported.
std::vector<std::string> roundTrip(const GlowParameter& parameter, std::uint32_t fields,
                                   const std::vector<std::int32_t>& path) {
    test::LoggingReader reader;
    reader.feed(writeParameter(parameter, fields, path));
    return reader.lines;
}

TEST(GlowOutput, RoundTripsEveryRecordedFieldThroughTheReader) {
    GlowParameter full;
    full.identifier = "gain";
    full.description = "Gain of input 1 (dB)";
    full.value = std::int64_t{-12};
    full.minimum = -128.5;
    full.maximum = std::int64_t{12};
    full.access = 3;
    full.factor = 10;
    full.isOnline = true;
    full.step = 2;
    full.defaultValue = std::int64_t{0};
    full.type = 2;
    full.streamIdentifier = 77;
    full.streamDescriptor = {5, 12};
    full.schemaIdentifiers = "de.vantrel.gain\nde.vantrel.level";
    full.templateReference = {1, 9, 300};
    const std::uint32_t all = 0xD1FBFU;  // Every recorded field.
    const std::vector<std::int32_t> path{1, 3, 2, 1};
    EXPECT_EQ(roundTrip(full, all, path),
              std::vector<std::string>{test::describeParameter(full, all, path)});
    // Format is never written, so a request for it changes nothing.
    EXPECT_EQ(test::toHex(writeParameter(full, GlowFieldValue | GlowFieldFormat, path)),
              test::toHex(writeParameter(full, GlowFieldValue, path)));
}

TEST(GlowOutput, RoundTripsValuesOfEveryKind) {
    const GlowValue values[] = {
        std::monostate{},
        std::int64_t{0},
        std::int64_t{-1},
        std::int64_t{127},
        std::int64_t{128},
        std::int64_t{-129},
        std::numeric_limits<std::int64_t>::min(),
        std::numeric_limits<std::int64_t>::max(),
        0.0,
        -0.0,
        0.1,
        -1.0e300,
        5e-324,
        std::numeric_limits<double>::max(),
        std::numeric_limits<double>::infinity(),
        -std::numeric_limits<double>::infinity(),
        std::string(),
        std::string("Grüße \xE2\x82\xAC"),
        std::string(400, 'x'),  // Long form length.
        true,
        false,
        GlowOctets{{0xF8, 0xFD, 0xFE, 0xFF, 0x00}},  // Every byte escaped on the wire.
    };
    for (const GlowValue& value : values) {
        GlowParameter parameter;
        parameter.value = value;
        parameter.defaultValue = value;
        const std::uint32_t fields = GlowFieldValue | GlowFieldDefault;
        EXPECT_EQ(roundTrip(parameter, fields, {7}),
                  std::vector<std::string>{
                      test::describeParameter(parameter, fields, std::vector<std::int32_t>{7})})
            << test::describeValue(value);
    }
}

TEST(GlowOutput, RoundTripsNotANumberAsNotANumber) {
    GlowParameter parameter;
    parameter.value = std::numeric_limits<double>::quiet_NaN();
    bool nan = false;
    GlowReader reader([&](const GlowParameter& p, std::uint32_t, std::span<const std::int32_t>) {
        nan = std::holds_alternative<double>(p.value) && std::isnan(std::get<double>(p.value));
    });
    reader.readBytes(writeParameter(parameter, GlowFieldValue, {1}));
    EXPECT_TRUE(nan);
}

TEST(GlowOutput, WritesAMessageOfSeveralPackages) {
    std::array<std::uint8_t, 1024> buffer{};
    GlowOutput output(buffer.data(), buffer.size());
    Bytes stream;
    std::vector<std::uint8_t> flags;
    for (int i = 1; i <= 3; ++i) {
        output.beginPackage(i == 3);
        const std::int32_t path[] = {1, i};
        output.writeQualifiedParameter(booleanValue(i == 2), GlowFieldValue, path, 2);
        const int length = output.finishPackage();
        ASSERT_GT(length, 0);
        flags.push_back(buffer[5]);
        stream.insert(stream.end(), buffer.begin(), buffer.begin() + length);
    }
    EXPECT_EQ(flags, (std::vector<std::uint8_t>{0x80, 0x00, 0x40}));
    test::LoggingReader reader;
    reader.feed(stream);
    EXPECT_EQ(reader.lines, (std::vector<std::string>{
                                "param 1.1 fields=0x4 value=bool:false",
                                "param 1.2 fields=0x4 value=bool:true",
                                "param 1.3 fields=0x4 value=bool:false",
                            }));
    // After the last package the output is as new.
    output.beginPackage(true);
    const std::int32_t path[] = {1, 4, 1, 1, 1};
    output.writeQualifiedCommand({}, path, 5, GlowElementType::QualifiedNode);
    const int length = output.finishPackage();
    ASSERT_GT(length, 0);
    EXPECT_EQ(test::toHex(Bytes(buffer.begin(), buffer.begin() + length)),
              test::toHex(golden("get_directory_1_4_1_1_1")));
}

TEST(GlowOutput, FailsAPackageThatDoesNotFitAndReportsItOnce) {
    std::vector<std::string> lines;
    test::HookCapture capture(lines);
    const std::int32_t path[] = {1, 4, 1, 1, 1};
    const struct {
        std::size_t size;
        const char* error;
    } cases[] = {
        {20, "error 303 BerMemoryOutput capacity exceeded"},
        {57, "error 304 BerMemoryOutput capacity exceeded"},  // All but CRC and EOF fit.
        {58, "error 304 BerMemoryOutput capacity exceeded"},
    };
    for (const auto& c : cases) {
        lines.clear();
        std::vector<std::uint8_t> buffer(c.size);
        GlowOutput output(buffer.data(), buffer.size());
        output.beginPackage(true);
        output.writeQualifiedCommand({}, path, 5, GlowElementType::QualifiedNode);
        EXPECT_EQ(output.finishPackage(), -1) << c.size;
        EXPECT_EQ(lines, std::vector<std::string>{c.error}) << c.size;
    }
    lines.clear();
    std::array<std::uint8_t, 59> exact{};
    GlowOutput fits(exact.data(), exact.size());
    fits.beginPackage(true);
    fits.writeQualifiedCommand({}, path, 5, GlowElementType::QualifiedNode);
    EXPECT_EQ(fits.finishPackage(), 59);
    EXPECT_TRUE(lines.empty());
}

TEST(GlowOutput, UsesAtMost1024BytesOfALargerBuffer) {
    std::vector<std::string> lines;
    test::HookCapture capture(lines);
    std::vector<std::uint8_t> buffer(4096);
    GlowParameter parameter;
    parameter.description = std::string(1000, 'd');
    const std::int32_t path[] = {1};
    GlowOutput output(buffer.data(), buffer.size());
    output.beginPackage(true);
    output.writeQualifiedParameter(parameter, GlowFieldDescription, path, 1);
    EXPECT_EQ(output.finishPackage(), -1);
    EXPECT_EQ(lines, std::vector<std::string>{"error 303 BerMemoryOutput capacity exceeded"});
    EXPECT_EQ(buffer[1024], 0);
}

TEST(GlowOutput, ReportsMisuseToTheAssertHookAndFailsThePackage) {
    std::vector<std::string> lines;
    test::HookCapture capture(lines);
    std::array<std::uint8_t, 1024> buffer{};
    GlowOutput output(buffer.data(), buffer.size());
    EXPECT_EQ(output.finishPackage(), 0);  // No package begun.
    const std::int32_t negative[] = {1, -2};
    const std::vector<std::int32_t> tooLong(kGlowMaxPathLength + 1, 1);
    const struct {
        const std::int32_t* path;
        std::size_t length;
    } cases[] = {{negative, 2}, {tooLong.data(), tooLong.size()}, {nullptr, 3}, {negative, 0}};
    for (const auto& c : cases) {
        output.beginPackage(true);
        output.writeQualifiedParameter(booleanValue(true), GlowFieldValue, c.path, c.length);
        EXPECT_EQ(output.finishPackage(), -1);
    }
    EXPECT_EQ(lines.size(), 5U);
    for (const std::string& line : lines) {
        EXPECT_EQ(line.rfind("assert ", 0), 0U) << line;
    }
}

TEST(GlowValueAsInt32, CountsBooleansAndLow32BitsOfIntegers) {
    const struct {
        GlowValue value;
        std::optional<std::int32_t> expected;
    } cases[] = {
        {true, 1},
        {false, 0},
        {std::int64_t{5}, 5},
        {std::int64_t{-1}, -1},
        {std::int64_t{0x100000003}, 3},
        {std::int64_t{0xFFFFFFFF}, -1},
        {std::int64_t{0x80000000}, std::numeric_limits<std::int32_t>::min()},
        {2.0, std::nullopt},
        {std::string("1"), std::nullopt},
        {std::monostate{}, std::nullopt},
        {GlowOctets{{1}}, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(glowValueAsInt32(c.value), c.expected) << test::describeValue(c.value);
    }
}

}  // namespace
}  // namespace pellan
