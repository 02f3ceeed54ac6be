// vantrel-diag as a program: usage, exit codes, and ping lines that need no ICMP socket.
#include "diag_run.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace pellan {
namespace {

using ::testing::HasSubstr;

using test::DiagRun;
using test::runDiag;

TEST(VantrelDiagTest, UsageErrorsExitWithTwoAndExplain) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{}, "Usage: vantrel-diag COMMAND"},
        {{"frobnicate"}, "unknown command 'frobnicate'"},
        {{"ping"}, "no address given"},
        {{"ping", "--count"}, "--count needs a value"},
        {{"ping", "--count", "0", "127.0.0.1"}, "--count takes a whole number"},
        {{"ping", "--count=-3", "127.0.0.1"}, "--count takes a whole number"},
        {{"ping", "--count", "ten", "127.0.0.1"}, "--count takes a whole number"},
        {{"ping", "--timeout", "0", "127.0.0.1"}, "--timeout takes milliseconds"},
        {{"ping", "--socket", "udp", "127.0.0.1"}, "--socket takes auto, datagram or raw"},
        {{"ping", "--verbose", "127.0.0.1"}, "unknown option '--verbose'"},
    };
    for (const auto& [args, message] : cases) {
        SCOPED_TRACE(::testing::PrintToString(args));
        const DiagRun run = runDiag(args);
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_THAT(run.err, HasSubstr(message));
        EXPECT_THAT(run.err, HasSubstr("Usage: vantrel-diag"));
        EXPECT_EQ(run.out, "");
    }
}

TEST(VantrelDiagTest, HelpListsTheCommandsAndThePingOptions) {
    const DiagRun overview = runDiag({"--help"});
    EXPECT_EQ(overview.exitCode, 0);
    EXPECT_THAT(overview.out, HasSubstr("ping"));

    const DiagRun ping = runDiag({"ping", "--help"});
    EXPECT_EQ(ping.exitCode, 0);
    EXPECT_THAT(ping.out, HasSubstr("--count N"));
    EXPECT_THAT(ping.out, HasSubstr("Exit status"));
}

TEST(VantrelDiagTest, PingPrintsALinePerProbeAndASummaryThenFailsForSilentAddresses) {
    const DiagRun run = runDiag({"ping", "--count", "2", "not-an-address", "1.2.3"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, "not-an-address unreachable (address does not parse) round=1 socket=none\n"
                       "1.2.3 unreachable (address does not parse) round=1 socket=none\n"
                       "not-an-address unreachable (address does not parse) round=2 socket=none\n"
                       "1.2.3 unreachable (address does not parse) round=2 socket=none\n"
                       "not-an-address: sent 2, answered 0\n"
                       "1.2.3: sent 2, answered 0\n");
    EXPECT_EQ(run.err, "");
}

}  // namespace
}  // namespace pellan
