// The reader against golden streams: each tests/data/ember/<name>.hex is fed whole, split in
// two at every byte position, and byte by byte; every way must give <name>.expected, the
// decoded parameters and the codec's errors in order.

#include "ember_codec/glow_reader.hpp"

#include "ember_test_support.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pellan {
namespace {

using test::Bytes;

std::vector<std::string> expectedLines(const std::string& name) {
    std::vector<std::string> lines;
    std::istringstream text(test::readTextFile(test::emberDataPath(name, ".expected")));
    for (std::string line; std::getline(text, line);) {
        if (!line.empty()) {
            lines.push_back(line);
        }
    }
    return lines;
}

Bytes input(const std::string& name) {
    return test::parseHex(test::readTextFile(test::emberDataPath(name, ".hex")));
}

class GoldenStream : public ::testing::TestWithParam<const char*> {};

TEST_P(GoldenStream, DecodesWholeStreamAsExpected) {
    test::LoggingReader reader;
    reader.feed(input(GetParam()));
    EXPECT_EQ(reader.lines, expectedLines(GetParam()));
}

TEST_P(GoldenStream, DecodesTheSameWhenSplitAtEveryByte) {
    const Bytes bytes = input(GetParam());
    const auto expected = expectedLines(GetParam());
    for (std::size_t cut = 1; cut < bytes.size(); ++cut) {
        test::LoggingReader reader;
        reader.feed(bytes.data(), cut);
        reader.feed(bytes.data() + cut, bytes.size() - cut);
        ASSERT_EQ(reader.lines, expected) << "split after byte " << cut;
    }
}

TEST_P(GoldenStream, DecodesTheSameByteByByte) {
    const Bytes bytes = input(GetParam());
    test::LoggingReader reader;
    for (const std::uint8_t byte : bytes) {
        reader.feed(&byte, 1);
    }
    EXPECT_EQ(reader.lines, expectedLines(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Ember, GoldenStream,
                         ::testing::Values("get_directory_1_4_1_1_1", "get_directory_many_numbers",
                                           "set_parameter_true_1_4_1_3_2",
                                           "set_parameter_false_4_1_1_10_3",
                                           "keepalive_request_slot0", "keepalive_response_slot0",
                                           "qualified_parameter_full", "nested_node_parameter",
                                           "gpio_answer_three_packages", "skipped_elements",
                                           "value_types", "non_escaping_frame", "empty_children",
                                           "fault_frames", "fault_ber", "fault_glow"),
                         [](const ::testing::TestParamInfo<const char*>& caseInfo) {
                             return std::string(caseInfo.param);
                         });

TEST(GoldenStreamSplits, IncludeCutsBetweenEscapeAndEscapedByte) {
    // The split test above covers escapes only if the streams contain them.
    const Bytes bytes = input("set_parameter_true_1_4_1_3_2");
    std::size_t escapes = 0;
    for (std::size_t i = 0; i + 1 < bytes.size(); ++i) {
        escapes += bytes[i] == 0xFD ? 1U : 0U;
    }
    EXPECT_GE(escapes, 1U);
}

}  // namespace
}  // namespace pellan
