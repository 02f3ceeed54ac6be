// The reader against generated streams: the limits (nesting, path length, value and frame
// sizes), packages of every size, random bytes, and its own API rules.

#include "ember_codec/glow_reader.hpp"

#include "ember_codec/glow_output.hpp"

#include "ember_test_support.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace pellan {
namespace {

using test::Bytes;
namespace build = test::build;
using build::children;
using build::contents;
using build::element;
using build::field;

Bytes valueParameter(std::vector<std::uint32_t> path, std::int64_t value) {
    return build::qualifiedParameter(std::move(path), {field(2, build::integer(value))});
}

/// Nodes 1.2.3...depth nested, the innermost holding a Parameter with a value.
Bytes nestedNodes(std::size_t nodes, bool indefinite) {
    Bytes inner = element(GlowType::Parameter,
                          {build::number(static_cast<std::int64_t>(nodes + 1)),
                           contents({field(2, build::integer(42))}, indefinite)},
                          indefinite);
    for (std::size_t level = nodes; level >= 1; --level) {
        inner = element(
            GlowType::Node,
            {build::number(static_cast<std::int64_t>(level)), children({inner}, indefinite)},
            indefinite);
    }
    return inner;
}

std::string pathText(std::size_t length) {
    std::string out;
    for (std::size_t i = 1; i <= length; ++i) {
        out += (i == 1 ? "" : ".") + std::to_string(i);
    }
    return out;
}

TEST(GlowReaderLimits, ReadsSixtyFiveContainersAndAPathOfThirtyTwo) {
    // Root, 31 Nodes with their children, the Parameter and its contents: 65 containers.
    for (const bool indefinite : {true, false}) {
        test::LoggingReader reader;
        reader.feed(build::frame(build::root({nestedNodes(31, indefinite)}, indefinite)));
        EXPECT_EQ(reader.lines,
                  std::vector<std::string>{"param " + pathText(32) + " fields=0x4 value=int:42"});
    }
}

TEST(GlowReaderLimits, SkipsTheSixtySixthContainerAndReadsWhatFollows) {
    for (const bool indefinite : {true, false}) {
        test::LoggingReader reader;
        reader.feed(build::frame(
            build::root({nestedNodes(32, indefinite), valueParameter({9, 9}, 1)}, indefinite)));
        reader.feed(build::frame(build::root({valueParameter({9, 8}, 2)})));
        EXPECT_EQ(reader.lines, (std::vector<std::string>{
                                    "error 111 ember tree stack overflow",
                                    "param 9.9 fields=0x4 value=int:1",
                                    "param 9.8 fields=0x4 value=int:2",
                                }))
            << (indefinite ? "indefinite" : "definite");
    }
}

TEST(GlowReaderLimits, PlacesNothingOnAPathLongerThanThirtyTwo) {
    std::vector<std::uint32_t> numbers(33, 1);
    std::vector<std::uint32_t> thirty(30, 2);
    test::LoggingReader reader;
    reader.feed(build::frame(build::root({
        valueParameter(numbers, 1),
        // 30 numbers of the path and three more Nodes below it.
        element(GlowType::QualifiedNode,
                {build::path(thirty),
                 children({element(
                     GlowType::Node,
                     {build::number(1),
                      children({element(
                          GlowType::Node,
                          {build::number(2),
                           children({element(GlowType::Parameter,
                                             {build::number(3),
                                              contents({field(2, build::integer(3))})})})})})})})}),
        valueParameter({5}, 5),
    })));
    EXPECT_EQ(reader.lines, (std::vector<std::string>{
                                "error 207 Invalid ObjectIdentifier encoding",
                                "error 111 ember tree stack overflow",
                                "param 5 fields=0x4 value=int:5",
                            }));
}

TEST(GlowReaderLimits, ReportsAStringOfOneMebibyteAndGoesOn) {
    const std::string huge(1 << 20, 'a');
    const Bytes ber = build::root({build::qualifiedParameter(
        {1, 1}, {field(1, build::utf8(huge)), field(2, build::integer(7))})});
    {
        // In packages that each fit the frame buffer: the string is too long to keep.
        test::LoggingReader reader;
        reader.feed(build::packages(ber, 4000));
        reader.feed(build::frame(build::root({valueParameter({1, 2}, 8)})));
        EXPECT_EQ(reader.lines, (std::vector<std::string>{
                                    "error 205 Invalid String encoding",
                                    "param 1.1 fields=0x6 description=\"\" value=int:7",
                                    "param 1.2 fields=0x4 value=int:8",
                                }));
    }
    {
        // In one frame: the frame buffer overruns once, the cut message ends open.
        test::LoggingReader reader;
        reader.feed(build::frame(ber));
        reader.feed(build::frame(build::root({valueParameter({1, 2}, 8)})));
        EXPECT_EQ(reader.lines, (std::vector<std::string>{
                                    "error 401 buffer overrun",
                                    "error 106 Unexpected end of container",
                                    "param 1.2 fields=0x4 value=int:8",
                                }));
    }
}

TEST(GlowReaderLimits, KeepsAStringAtTheValueBound) {
    const std::string largest(ember::BerReader::kMaxValueLength, 'b');
    std::string seen;
    GlowReader reader([&](const GlowParameter& p, std::uint32_t, std::span<const std::int32_t>) {
        seen = p.description;
    });
    reader.readBytes(build::packages(
        build::root({build::qualifiedParameter({1}, {field(1, build::utf8(largest))})}), 4000));
    EXPECT_EQ(seen, largest);
}

TEST(GlowReaderFrames, HandsOnAFrameThatFitsTheBufferExactly) {
    // A reader's own buffer size bounds the frame: slot ... payload and the CRC must fit.
    const Bytes ber = build::root({valueParameter({1}, 1)});
    const std::size_t frameContent = build::package(ber).size() + 2;
    {
        test::LoggingReader reader(frameContent);
        reader.feed(build::frame(ber));
        EXPECT_EQ(reader.lines, std::vector<std::string>{"param 1 fields=0x4 value=int:1"});
    }
    {
        test::LoggingReader reader(frameContent - 1);
        reader.feed(build::frame(ber));
        reader.feed(build::frame(ber));
        // One byte short: the CRC runs over every byte, so the intact frame is handed on cut
        // (its last stored bytes taken as the CRC): the parameter is there, the Root is not
        // closed.
        const std::vector<std::string> once{
            "error 401 buffer overrun",
            "param 1 fields=0x4 value=int:1",
            "error 106 Unexpected end of container",
        };
        std::vector<std::string> twice = once;
        twice.insert(twice.end(), once.begin(), once.end());
        EXPECT_EQ(reader.lines, twice);
    }
}

TEST(GlowReaderFrames, DropsFramesWithAnInvalidByteAndReadsTheNext) {
    const Bytes good = build::frame(build::root({valueParameter({2}, 2)}));
    for (const unsigned invalid : {0xF8U, 0xF9U, 0xFAU, 0xFBU, 0xFCU}) {
        Bytes broken = build::frame(build::root({valueParameter({1}, 1)}));
        broken[broken.size() / 2] = static_cast<std::uint8_t>(invalid);
        test::LoggingReader reader;
        reader.feed(broken);
        reader.feed(good);
        EXPECT_EQ(reader.lines, std::vector<std::string>{"param 2 fields=0x4 value=int:2"})
            << invalid;
    }
}

TEST(GlowReaderFrames, ReadsNonEscapingFramesAndDropsOversizedOnes) {
    const Bytes pkg = build::package(build::root({valueParameter({3}, 3)}));
    const auto nonEscaping = [&](std::uint8_t lengthBytes, std::uint64_t length) {
        Bytes out{0xF8, lengthBytes};
        for (int i = lengthBytes - 1; i >= 0; --i) {
            out.push_back(static_cast<std::uint8_t>(length >> (8 * i)));
        }
        return out;
    };
    test::LoggingReader reader;
    reader.feed(build::cat({nonEscaping(0x01, pkg.size()), pkg}));
    reader.feed(build::cat({nonEscaping(0x04, pkg.size()), pkg}));
    reader.feed(nonEscaping(0x00, 0));  // No length: an empty frame.
    reader.feed(nonEscaping(0x02, 0));
    // A length above the frame buffer: dropped at once, the escaped frame behind it is read.
    reader.feed(nonEscaping(0x07, 1ULL << 40));
    reader.feed(build::frame(build::root({valueParameter({4}, 4)})));
    EXPECT_EQ(reader.lines, (std::vector<std::string>{
                                "param 3 fields=0x4 value=int:3",
                                "param 3 fields=0x4 value=int:3",
                                "error 401 buffer overrun",
                                "param 4 fields=0x4 value=int:4",
                            }));
}

TEST(GlowReaderPackages, ReadsAMessageCutIntoPackagesOfEverySize) {
    const Bytes ber = build::root({
        element(
            GlowType::QualifiedNode,
            {build::path({1, 4, 1}),
             children({element(GlowType::Node,
                               {build::number(3),
                                children({element(GlowType::Parameter,
                                                  {build::number(3),
                                                   contents({field(0, build::utf8("status")),
                                                             field(2, build::boolean(true))})}),
                                          element(GlowType::Parameter,
                                                  {build::number(1),
                                                   contents({field(2, build::integer(2))}, false)},
                                                  false)})})})}),
        valueParameter({1, 4, 1, 4, 3}, 0),
    });
    const std::vector<std::string> expected{
        "param 1.4.1.3.3 fields=0x5 identifier=\"status\" value=bool:true",
        "param 1.4.1.3.1 fields=0x4 value=int:2",
        "param 1.4.1.4.3 fields=0x4 value=int:0",
    };
    for (std::size_t piece = 1; piece <= ber.size(); ++piece) {
        test::LoggingReader reader;
        reader.feed(build::packages(ber, piece));
        ASSERT_EQ(reader.lines, expected) << "packages of " << piece << " bytes";
    }
}

TEST(GlowReaderPackages, AFirstPackageEndsAMessageLeftOpen) {
    const Bytes ber = build::root({valueParameter({6}, 6)});
    const Bytes half(ber.begin(), ber.begin() + static_cast<std::ptrdiff_t>(ber.size() / 2));
    test::LoggingReader reader;
    reader.feed(build::frame(half, 0x80));
    reader.feed(build::frame(ber));
    EXPECT_EQ(reader.lines, (std::vector<std::string>{
                                "error 106 Unexpected end of container",
                                "param 6 fields=0x4 value=int:6",
                            }));
}

TEST(GlowReaderRandom, SurvivesRandomBytesAndThenReadsAnIntactFrame) {
    std::mt19937 random(20261210);
    const Bytes intact = build::frame(build::root({valueParameter({1, 4, 1, 2, 3}, 1)}));
    // Bytes that mean something to the framing or BER come up more often than by chance.
    const std::uint8_t favourites[] = {0xFE, 0xFF, 0xFD, 0xF8, 0x00, 0x80, 0xA0, 0x60, 0x6B};
    for (int round = 0; round < 300; ++round) {
        Bytes garbage(1 + random() % 3000);
        for (std::uint8_t& b : garbage) {
            b = random() % 4 == 0 ? favourites[random() % std::size(favourites)]
                                  : static_cast<std::uint8_t>(random());
        }
        if (round % 2 == 1) {
            // Valid frames of random BER reach the BER reader and the walker.
            garbage = build::frame(garbage, static_cast<std::uint8_t>(random() % 4 << 6));
        }
        test::LoggingReader reader;
        reader.feed(garbage);
        // Whatever state the garbage left: a pending non-escaping frame (at most a frame
        // buffer long) or an escaped frame, this ends it.
        reader.feed(Bytes(GlowReader::kFrameBufferSize + 16, 0x00));
        reader.feed(Bytes{0xFF});
        reader.lines.clear();
        reader.feed(intact);
        ASSERT_FALSE(reader.lines.empty()) << "round " << round;
        ASSERT_EQ(reader.lines.back(), "param 1.4.1.2.3 fields=0x4 value=int:1")
            << "round " << round;
    }
}

TEST(GlowReaderApi, ResetForgetsAFrameInProgress) {
    const Bytes frame = build::frame(build::root({valueParameter({7}, 7)}));
    test::LoggingReader reader;
    reader.feed(frame.data(), frame.size() / 2);
    reader.reader().reset();
    reader.feed(frame.data() + frame.size() / 2, frame.size() - frame.size() / 2);
    reader.feed(frame);
    EXPECT_EQ(reader.lines, std::vector<std::string>{"param 7 fields=0x4 value=int:7"});
}

TEST(GlowReaderApi, RefusesReadingFromInsideItsOwnCallback) {
    std::vector<std::string> lines;
    test::HookCapture capture(lines);
    const Bytes frame = build::frame(build::root({valueParameter({8}, 8)}));
    int calls = 0;
    GlowReader* self = nullptr;
    GlowReader reader([&](const GlowParameter&, std::uint32_t, std::span<const std::int32_t>) {
        ++calls;
        self->readBytes(frame);
        self->reset();
    });
    self = &reader;
    reader.readBytes(frame);
    reader.readBytes(frame);
    EXPECT_EQ(calls, 2);
    ASSERT_EQ(lines.size(), 4U);
    EXPECT_EQ(lines[0].rfind("assert ", 0), 0U);
}

TEST(GlowReaderApi, IsReadyForTheNextFrameAfterItsCallbackThrew) {
    const Bytes two = build::frame(build::root({valueParameter({1}, 1), valueParameter({2}, 2)}));
    std::vector<std::string> seen;
    GlowReader reader([&](const GlowParameter&, std::uint32_t, std::span<const std::int32_t> path) {
        seen.push_back(test::describePath(path));
        if (seen.size() == 1) {
            throw std::runtime_error("callback failed");
        }
    });
    EXPECT_THROW(reader.readBytes(two), std::runtime_error);
    reader.readBytes(two);
    EXPECT_EQ(seen, (std::vector<std::string>{"1", "1", "2"}));
}

TEST(GlowReaderApi, DropsErrorsWithoutAHookAndReadsOn) {
    const Bytes frame = build::frame(build::root({build::integer(1), valueParameter({1}, 1)}));
    {
        // With a hook, the stray INTEGER in the root collection is an error.
        test::LoggingReader reader;
        reader.feed(frame);
        ASSERT_EQ(reader.lines.size(), 2U);
        EXPECT_EQ(reader.lines[0].rfind("error ", 0), 0U);
        EXPECT_EQ(reader.lines[1], "param 1 fields=0x4 value=int:1");
    }
    const GlowErrorHook previous = setGlowErrorHook({});
    std::vector<std::string> seen;
    GlowReader reader([&](const GlowParameter&, std::uint32_t, std::span<const std::int32_t> path) {
        seen.push_back(test::describePath(path));
    });
    reader.readBytes(frame);
    const GlowErrorHook during = setGlowErrorHook(previous);
    EXPECT_FALSE(during) << "reading must not install a hook of its own";
    EXPECT_EQ(seen, std::vector<std::string>{"1"});
}

TEST(GlowHooks, SettersReturnThePreviousHook) {
    std::vector<int> first;
    std::vector<int> second;
    const GlowErrorHook original =
        setGlowErrorHook([&](int code, const char*) { first.push_back(code); });
    ember::reportError(1, "one");
    const GlowErrorHook back =
        setGlowErrorHook([&](int code, const char*) { second.push_back(code); });
    ember::reportError(2, "two");
    back(3, "three");
    setGlowErrorHook(original);
    EXPECT_EQ(first, (std::vector<int>{1, 3}));
    EXPECT_EQ(second, (std::vector<int>{2}));
}

TEST(GlowHooks, MayBeReplacedWhileOtherThreadsReport) {
    // Connection workers report while a client kind installs its hooks.
    std::atomic<int> reports{0};
    const GlowErrorHook original = setGlowErrorHook({});
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 2000; ++i) {
                if (t == 0 && i % 10 == 0) {
                    setGlowErrorHook([&](int, const char*) { ++reports; });
                } else {
                    ember::reportError(401, "buffer overrun");
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    setGlowErrorHook(original);
    EXPECT_GT(reports.load(), 0);
}

}  // namespace
}  // namespace pellan
