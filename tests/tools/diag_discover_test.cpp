// vantrel-diag discover's command line. Browsing itself is tried in the root tests, inside
// the test namespaces.
#include "diag_run.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace pellan {
namespace {

using ::testing::HasSubstr;

using test::DiagRun;
using test::runDiag;

TEST(DiagDiscover, RejectsBadArgumentsWithUsageAndStatus2) {
    const struct {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"discover", "--seconds", "x"}, "--seconds takes a whole number from 1 to 604800"},
        {{"discover", "--seconds=0"}, "--seconds takes a whole number"},
        {{"discover", "--seconds"}, "--seconds needs a value"},
        {{"discover", "--interface", "no-such-if0"}, "no network interface 'no-such-if0'"},
        {{"discover", "--interface="}, "no network interface ''"},
        {{"discover", "--color"}, "unknown argument '--color'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        const DiagRun run = runDiag(c.args);
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_THAT(run.err, HasSubstr(c.message));
        EXPECT_THAT(run.err, HasSubstr("Usage: vantrel-diag discover"));
        EXPECT_EQ(run.out, "");
    }
}

TEST(DiagDiscover, HelpDescribesTheOutputAndIsListed) {
    DiagRun run = runDiag({"discover", "--help"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_THAT(run.out, HasSubstr("[--interface NAME|INDEX] [--seconds N]"));
    EXPECT_THAT(run.out, HasSubstr(R"({"browser":"http","danteName")"));
    run = runDiag({"--help"});
    EXPECT_THAT(run.out, HasSubstr("discover  browse for devices by DNS-SD"));
}

}  // namespace
}  // namespace pellan
