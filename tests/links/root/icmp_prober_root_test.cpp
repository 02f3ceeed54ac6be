// The system's ICMP echo for real: on loopback, and between two network namespaces of the
// test's own (198.18.0.0/15), with a stand-in device that forges its answers.
#include "platform/icmp_prober.hpp"

#include "links/root/echo_responder.hpp"
#include "links/root/netns_environment.hpp"
#include "support/process.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>

namespace pellan {
namespace {

using test::NetnsEnvironment;

constexpr auto kShortTimeout = std::chrono::milliseconds(300);
constexpr const char* kNobody = "198.18.7.7";  // On the link, but no host has it.
constexpr const char* kOtherDeviceAddress = "198.18.1.1";

std::vector<EchoOutcome> probeOnce(IcmpSocketMode mode, const std::vector<std::string>& addresses,
                                   std::chrono::milliseconds timeout = kShortTimeout,
                                   std::size_t maxInFlight = kMaxEchoesInFlight) {
    SystemIcmpProber prober(mode, maxInFlight);
    return prober.probe(addresses, timeout, std::stop_token());
}

const char* modeName(IcmpSocketMode mode) {
    switch (mode) {
    case IcmpSocketMode::Automatic:
        return "Automatic";
    case IcmpSocketMode::DatagramOnly:
        return "Datagram";
    case IcmpSocketMode::RawOnly:
        return "Raw";
    }
    return "?";
}

TEST(IcmpProberLoopbackTest, LoopbackAddressesAnswerEachRequestOfTheCall) {
    if (!test::runningAsRoot()) {
        GTEST_SKIP() << "needs root for raw ICMP sockets";
    }
    for (const IcmpSocketMode mode : {IcmpSocketMode::Automatic, IcmpSocketMode::RawOnly}) {
        SCOPED_TRACE(modeName(mode));
        const auto outcomes = probeOnce(mode, {"127.0.0.1", "127.0.0.1", "127.0.0.2"});
        ASSERT_EQ(outcomes.size(), 3U);
        for (const EchoOutcome& outcome : outcomes) {
            EXPECT_TRUE(outcome.reachable);
            EXPECT_EQ(outcome.failure, EchoFailure::None);
            EXPECT_NE(outcome.socket, IcmpSocketKind::None);
            EXPECT_LT(outcome.roundTrip, kShortTimeout);
        }
    }
}

class IcmpProberNamespaceTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::runningAsRoot()) {
            GTEST_SKIP() << "needs root for network namespaces and raw ICMP sockets";
        }
        env_ = std::make_unique<NetnsEnvironment>();
        ASSERT_TRUE(env_->ok()) << env_->error();
        scope_ = std::make_unique<test::NamespaceScope>(env_->appNamespace());
        ASSERT_TRUE(scope_->entered());
    }
    void TearDown() override {
        scope_.reset();  // Back to the original namespace before the environment goes.
        env_.reset();
    }

    std::unique_ptr<NetnsEnvironment> env_;
    std::unique_ptr<test::NamespaceScope> scope_;
};

struct ModeCase {
    const char* name;
    bool datagramAllowed;
    IcmpSocketMode mode;
    IcmpSocketKind expected;  ///< None: no socket can be opened.
};

class IcmpSocketModeTest : public IcmpProberNamespaceTest,
                           public ::testing::WithParamInterface<ModeCase> {};

TEST_P(IcmpSocketModeTest, UsesADatagramSocketWhereThePingGroupRangeAllowsElseRaw) {
    ASSERT_TRUE(env_->allowDatagramSockets(GetParam().datagramAllowed)) << env_->error();
    const auto outcomes = probeOnce(
        GetParam().mode, {NetnsEnvironment::kDeviceAddress, NetnsEnvironment::kAppAddress});
    ASSERT_EQ(outcomes.size(), 2U);
    for (const EchoOutcome& outcome : outcomes) {
        EXPECT_EQ(outcome.socket, GetParam().expected);
        if (GetParam().expected == IcmpSocketKind::None) {
            EXPECT_FALSE(outcome.reachable);
            EXPECT_EQ(outcome.failure, EchoFailure::NoSocket);
            EXPECT_EQ(outcome.systemError, EACCES);
        } else {
            EXPECT_TRUE(outcome.reachable);
            EXPECT_EQ(outcome.failure, EchoFailure::None);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IcmpSocketModeTest,
    ::testing::Values(
        ModeCase{"AllowedAutomatic", true, IcmpSocketMode::Automatic, IcmpSocketKind::Datagram},
        ModeCase{"AllowedDatagram", true, IcmpSocketMode::DatagramOnly, IcmpSocketKind::Datagram},
        ModeCase{"AllowedRaw", true, IcmpSocketMode::RawOnly, IcmpSocketKind::Raw},
        ModeCase{"DeniedAutomatic", false, IcmpSocketMode::Automatic, IcmpSocketKind::Raw},
        ModeCase{"DeniedDatagram", false, IcmpSocketMode::DatagramOnly, IcmpSocketKind::None}),
    [](const auto& instance) { return std::string(instance.param.name); });

/// The two socket kinds, each forced.
class IcmpProberSocketKindTest : public IcmpProberNamespaceTest,
                                 public ::testing::WithParamInterface<IcmpSocketMode> {
protected:
    void SetUp() override {
        IcmpProberNamespaceTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        ASSERT_TRUE(env_->allowDatagramSockets(true)) << env_->error();
    }
};

TEST_P(IcmpProberSocketKindTest, EachAddressGetsItsOwnOutcomeEvenThroughANarrowWindow) {
    // One request in flight at a time: each later address still gets its full time-out,
    // counted from its own request.
    const std::vector<std::string> addresses{kNobody, "bogus", NetnsEnvironment::kDeviceAddress,
                                             "198.18.7.8", NetnsEnvironment::kDeviceAddress};
    const auto outcomes = probeOnce(GetParam(), addresses, kShortTimeout, 1);
    ASSERT_EQ(outcomes.size(), addresses.size());
    EXPECT_EQ(outcomes[0].failure, EchoFailure::TimedOut);
    EXPECT_EQ(outcomes[1].failure, EchoFailure::InvalidAddress);
    EXPECT_TRUE(outcomes[2].reachable);
    EXPECT_EQ(outcomes[3].failure, EchoFailure::TimedOut);
    EXPECT_TRUE(outcomes[4].reachable);
}

TEST_P(IcmpProberSocketKindTest, SilenceLinkLossAndNoRouteAreUnreachable) {
    const std::vector<std::string> device{NetnsEnvironment::kDeviceAddress};
    ASSERT_TRUE(probeOnce(GetParam(), device)[0].reachable);

    ASSERT_TRUE(env_->setSilent(true)) << env_->error();
    EXPECT_EQ(probeOnce(GetParam(), device)[0].failure, EchoFailure::TimedOut);
    ASSERT_TRUE(env_->setSilent(false)) << env_->error();
    EXPECT_TRUE(probeOnce(GetParam(), device)[0].reachable);

    ASSERT_TRUE(env_->setDeviceLink(false)) << env_->error();
    EXPECT_FALSE(probeOnce(GetParam(), device)[0].reachable);
    ASSERT_TRUE(env_->setDeviceLink(true)) << env_->error();

    // Without the application's link there is no route: the send itself fails.
    ASSERT_TRUE(env_->command("exec", {"app", "ip", "link", "set", "veth-app", "down"}))
        << env_->error();
    const EchoOutcome noRoute = probeOnce(GetParam(), device)[0];
    EXPECT_EQ(noRoute.failure, EchoFailure::SendFailed);
    EXPECT_EQ(noRoute.systemError, ENETUNREACH);
}

TEST_P(IcmpProberSocketKindTest, LateAnswerToOneCallIsNotTakenByTheNext) {
    ASSERT_TRUE(env_->setSilent(true)) << env_->error();
    // Only the first request is answered, 150 ms into the second call's wait.
    test::EchoResponder device(env_->deviceNamespace(), test::Forgery::Correct,
                               kShortTimeout + std::chrono::milliseconds(150), "", 1);
    ASSERT_TRUE(device.ready());
    const std::vector<std::string> address{NetnsEnvironment::kDeviceAddress};
    SystemIcmpProber prober(GetParam());

    EXPECT_EQ(prober.probe(address, kShortTimeout, {})[0].failure, EchoFailure::TimedOut);
    EXPECT_EQ(prober.probe(address, std::chrono::seconds(1), {})[0].failure, EchoFailure::TimedOut);
    EXPECT_EQ(device.requestsSeen(), 2);
    EXPECT_EQ(device.answersSent(), 1);  // The late answer went out during the second call.
}

INSTANTIATE_TEST_SUITE_P(Kinds, IcmpProberSocketKindTest,
                         ::testing::Values(IcmpSocketMode::DatagramOnly, IcmpSocketMode::RawOnly),
                         [](const auto& instance) {
                             return std::string(modeName(instance.param));
                         });

struct ForgeryCase {
    const char* name;
    IcmpSocketMode mode;
    test::Forgery forgery;
    bool reachable;
};

class ForgedAnswerTest : public IcmpProberNamespaceTest,
                         public ::testing::WithParamInterface<ForgeryCase> {};

TEST_P(ForgedAnswerTest, OnlyAnAnswerFromTheAddressWithTheRequestsNumbersAndDataCounts) {
    ASSERT_TRUE(env_->allowDatagramSockets(true)) << env_->error();
    ASSERT_TRUE(env_->setSilent(true)) << env_->error();
    ASSERT_TRUE(env_->addDeviceAddresses({kOtherDeviceAddress})) << env_->error();
    const bool fromOther = GetParam().forgery == test::Forgery::FromOtherAddress;
    test::EchoResponder device(env_->deviceNamespace(), GetParam().forgery,
                               std::chrono::milliseconds(0), fromOther ? kOtherDeviceAddress : "");
    ASSERT_TRUE(device.ready());

    const EchoOutcome outcome = probeOnce(GetParam().mode, {NetnsEnvironment::kDeviceAddress})[0];
    EXPECT_EQ(outcome.reachable, GetParam().reachable);
    EXPECT_EQ(outcome.failure, GetParam().reachable ? EchoFailure::None : EchoFailure::TimedOut);
    // The forged answer really went out: the outcome is not a mere absence of traffic.
    EXPECT_TRUE(
        test::waitUntil([&] { return device.answersSent() == 1; }, std::chrono::seconds(5)));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ForgedAnswerTest,
    ::testing::Values(
        ForgeryCase{"DatagramCorrect", IcmpSocketMode::DatagramOnly, test::Forgery::Correct, true},
        ForgeryCase{"DatagramWrongSequence", IcmpSocketMode::DatagramOnly,
                    test::Forgery::WrongSequence, false},
        ForgeryCase{"DatagramWrongIdentifier", IcmpSocketMode::DatagramOnly,
                    test::Forgery::WrongIdentifier, false},
        ForgeryCase{"DatagramWrongData", IcmpSocketMode::DatagramOnly, test::Forgery::WrongData,
                    false},
        ForgeryCase{"DatagramFromOtherAddress", IcmpSocketMode::DatagramOnly,
                    test::Forgery::FromOtherAddress, false},
        ForgeryCase{"RawCorrect", IcmpSocketMode::RawOnly, test::Forgery::Correct, true},
        ForgeryCase{"RawWrongSequence", IcmpSocketMode::RawOnly, test::Forgery::WrongSequence,
                    false},
        ForgeryCase{"RawWrongIdentifier", IcmpSocketMode::RawOnly, test::Forgery::WrongIdentifier,
                    false},
        ForgeryCase{"RawWrongData", IcmpSocketMode::RawOnly, test::Forgery::WrongData, false},
        ForgeryCase{"RawFromOtherAddress", IcmpSocketMode::RawOnly, test::Forgery::FromOtherAddress,
                    false}),
    [](const auto& instance) { return std::string(instance.param.name); });

TEST_F(IcmpProberNamespaceTest, StopEndsTheWaitForSilentAddresses) {
    ASSERT_TRUE(env_->setSilent(true)) << env_->error();
    test::EchoResponder device(env_->deviceNamespace(), test::Forgery::None);
    ASSERT_TRUE(device.ready());
    SystemIcmpProber prober;
    std::stop_source stop;
    std::vector<EchoOutcome> outcomes;
    std::thread probing([&] {
        outcomes = prober.probe({NetnsEnvironment::kDeviceAddress, kNobody}, std::chrono::hours(1),
                                stop.get_token());
    });
    // The request has arrived: the prober is waiting for its answer.
    EXPECT_TRUE(
        test::waitUntil([&] { return device.requestsSeen() == 1; }, std::chrono::seconds(5)));
    stop.request_stop();
    probing.join();  // An hour-long time-out: returning at all means the stop was seen.
    ASSERT_EQ(outcomes.size(), 2U);
    for (const EchoOutcome& outcome : outcomes) {
        EXPECT_EQ(outcome.failure, EchoFailure::Cancelled);
    }
}

}  // namespace
}  // namespace pellan
