// The command line every vantrel-diag command reads through one parser.
#include "options.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace pellan::diag {
namespace {

/// What one parse left behind, as text, so a table can hold the expectation.
struct Outcome {
    std::string error;  ///< "" when the parse succeeded.
    std::string count;  ///< Every --count value seen, in order, joined by ','.
    std::string name;
    bool verbose = false;
    bool help = false;
    std::vector<std::string> positional;
};

Outcome parseWith(const std::vector<std::string>& args, const std::string& noun = "option") {
    Outcome outcome;
    OptionParser parser(noun);
    parser.flag("--verbose", outcome.verbose);
    parser.option("--count", [&](const std::string& value) -> std::optional<std::string> {
        const auto count = parseWholeNumber(value, 1, 100);
        if (!count) {
            return "--count takes 1 to 100, not '" + value + "'";
        }
        outcome.count += (outcome.count.empty() ? "" : ",") + std::to_string(*count);
        return std::nullopt;
    });
    parser.option("--name", [&](const std::string& value) -> std::optional<std::string> {
        outcome.name = value;
        return std::nullopt;
    });
    outcome.error = parser.parse(args).value_or("");
    outcome.help = parser.help();
    outcome.positional = parser.positional();
    return outcome;
}

TEST(DiagOptionParser, ReadsOptionsFlagsAndPositionalsOrFailsAtTheFirstError) {
    using Args = std::vector<std::string>;
    const struct {
        const char* what;
        Args args;
        std::string error;
        std::string count;
        std::string name;
        bool verbose;
        Args positional;
    } cases[] = {
        {"value as the next argument", {"--count", "5", "a"}, "", "5", "", false, {"a"}},
        {"value after '='", {"--count=7", "--name=x=y"}, "", "7", "x=y", false, {}},
        {"empty value after '='", {"--name="}, "", "", "", false, {}},
        {"a value that looks like an option", {"--name", "--count"}, "", "", "--count", false, {}},
        {"repeated option: each value in turn",
         {"--count", "1", "--count=2"},
         "",
         "1,2",
         "",
         false,
         {}},
        {"flag", {"a", "--verbose", "b"}, "", "", "", true, {"a", "b"}},
        {"'--' ends the options", {"--", "--count", "-h"}, "", "", "", false, {"--count", "-h"}},
        {"a lone '-' is positional", {"-"}, "", "", "", false, {"-"}},
        {"unknown option", {"--colour", "red"}, "unknown option '--colour'", "", "", false, {}},
        {"unknown option with a value",
         {"--colour=red"},
         "unknown option '--colour=red'",
         "",
         "",
         false,
         {}},
        {"unknown short option", {"-x"}, "unknown option '-x'", "", "", false, {}},
        {"missing value", {"a", "--count"}, "--count needs a value", "", "", false, {"a"}},
        {"flag with a value", {"--verbose=1"}, "--verbose takes no value", "", "", false, {}},
        {"number of 0", {"--count", "0"}, "--count takes 1 to 100, not '0'", "", "", false, {}},
        {"number above the range",
         {"--count=101"},
         "--count takes 1 to 100, not '101'",
         "",
         "",
         false,
         {}},
        {"signed number", {"--count=-3"}, "--count takes 1 to 100, not '-3'", "", "", false, {}},
        {"the first error wins",
         {"--count", "x", "--colour"},
         "--count takes 1 to 100, not 'x'",
         "",
         "",
         false,
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Outcome outcome = parseWith(c.args);
        EXPECT_EQ(outcome.error, c.error);
        EXPECT_EQ(outcome.count, c.count);
        EXPECT_EQ(outcome.name, c.name);
        EXPECT_EQ(outcome.verbose, c.verbose);
        EXPECT_EQ(outcome.positional, c.positional);
        EXPECT_FALSE(outcome.help);
    }
}

TEST(DiagOptionParser, HelpIsNotedWhereverItStandsAndUnknownOptionsUseTheCommandsWord) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-h"}, {"--count", "3", "--help"}, {"a", "-h", "b"}}) {
        SCOPED_TRACE(::testing::PrintToString(args));
        const Outcome outcome = parseWith(args);
        EXPECT_EQ(outcome.error, "");
        EXPECT_TRUE(outcome.help);
    }
    EXPECT_EQ(parseWith({"--help=yes"}).error, "unknown option '--help=yes'");
    EXPECT_EQ(parseWith({"--colour"}, "argument").error, "unknown argument '--colour'");
}

TEST(DiagOptionParser, WholeNumbersAreDigitsOnlyWithinTheirBounds) {
    const struct {
        const char* text;
        long long min;
        long long max;
        std::optional<long long> value;
    } cases[] = {
        {"0", 0, 10, 0},
        {"10", 0, 10, 10},
        {"007", 0, 10, 7},
        {"11", 0, 10, std::nullopt},
        {"4", 5, 10, std::nullopt},
        {"", 0, 10, std::nullopt},
        {"+1", 0, 10, std::nullopt},
        {"-1", -5, 10, std::nullopt},
        {" 1", 0, 10, std::nullopt},
        {"1.5", 0, 10, std::nullopt},
        {"0x10", 0, 100, std::nullopt},
        {"4294967295", 0, 0xFFFFFFFFLL, 0xFFFFFFFFLL},
        {"9223372036854775807", 0, 9223372036854775807LL, 9223372036854775807LL},
        {"9223372036854775808", 0, 9223372036854775807LL, std::nullopt},  // Overflows.
        {"99999999999999999999999", 0, 10, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(parseWholeNumber(c.text, c.min, c.max), c.value);
    }
}

}  // namespace
}  // namespace pellan::diag
