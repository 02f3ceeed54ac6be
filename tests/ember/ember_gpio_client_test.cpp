// EmberGpioClient against scripted providers: the subscription, reports, keep-alives, writes.
#include "ember/ember_gpio_client.hpp"

#include "ember_client_test_support.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace pellan {
namespace {

using namespace test;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

std::vector<std::string> expectedGpioRequests() {
    std::vector<std::string> out;
    for (const char* field : {"1", "2", "3"}) {
        for (int port = 1; port <= 10; ++port) {
            out.push_back("1.4.1." + std::to_string(port) + "." + field);
        }
    }
    return out;
}

RequestNames gpioRequestNames() {
    RequestNames names;
    for (std::uint32_t field = 1; field <= 3; ++field) {
        for (std::uint32_t port = 1; port <= 10; ++port) {
            names.add({1, 4, 1, port, field});
        }
    }
    return names;
}

std::vector<std::string> named(const RequestNames& names, const std::vector<Bytes>& frames) {
    std::vector<std::string> out;
    for (const Bytes& frame : frames) {
        out.push_back(names.name(frame));
    }
    return out;
}

/// A client on a scripted provider, connected and past its first subscription.
class GpioClientTest : public ::testing::Test {
protected:
    void connect(EmberClientOptions options) {
        ASSERT_TRUE(provider.listening());
        client =
            std::make_unique<EmberGpioClient>("127.0.0.1", provider.port(), std::move(options));
        client->setValueCallback(reportsInto(reports));
        client->start();
        peer = provider.accept();
        ASSERT_NE(peer, nullptr);
        ASSERT_EQ(peer->readFrames(30).size(), 30U);
    }
    void connect() { connect(fastOptions(diagnostics)); }

    std::shared_ptr<Lines> diagnostics = std::make_shared<Lines>();
    std::shared_ptr<Lines> reports = std::make_shared<Lines>();
    ScriptedProvider provider;
    std::unique_ptr<EmberGpioClient> client;
    std::unique_ptr<ProviderConnection> peer;
};

TEST(GpioReportTest, MapsWatchedPathsAndIgnoresEverythingElse) {
    struct Case {
        std::vector<std::int32_t> path;
        std::uint32_t fields;
        GlowValue value;
        std::optional<std::pair<std::string, std::int32_t>> expected;
    };
    const std::int64_t wide = (std::int64_t{1} << 32) + 7;
    const std::vector<Case> cases{
        {{1, 4, 1, 3, 3}, GlowFieldValue, std::int64_t{5}, {{"gpio physical 3/status", 1}}},
        {{1, 4, 1, 3, 1}, GlowFieldValue, std::int64_t{3}, {{"gpio physical 3/type", 3}}},
        {{1, 4, 1, 10, 2},
         GlowFieldValue | GlowFieldIdentifier,
         true,
         {{"gpio physical 10/override", 1}}},
        {{1, 4, 1, 1, 3}, GlowFieldValue, false, {{"gpio physical 1/status", 0}}},
        {{1, 4, 1, 1, 2}, GlowFieldValue, std::int64_t{0}, {{"gpio physical 1/override", 0}}},
        {{1, 4, 1, 1, 1}, GlowFieldValue, wide, {{"gpio physical 1/type", 7}}},
        {{1, 4, 1, 1, 1}, GlowFieldValue, std::int64_t{-2}, {{"gpio physical 1/type", -2}}},
        {{1, 4, 1, 11, 3}, GlowFieldValue, std::int64_t{1}, std::nullopt},
        {{1, 4, 1, 0, 3}, GlowFieldValue, std::int64_t{1}, std::nullopt},
        {{1, 4, 1, 3}, GlowFieldValue, std::int64_t{1}, std::nullopt},
        {{1, 4, 1, 3, 3, 1}, GlowFieldValue, std::int64_t{1}, std::nullopt},
        {{1, 4, 2, 3, 3}, GlowFieldValue, std::int64_t{1}, std::nullopt},
        {{2, 4, 1, 3, 3}, GlowFieldValue, std::int64_t{1}, std::nullopt},
        {{1, 4, 1, 3, 4}, GlowFieldValue, std::int64_t{1}, std::nullopt},
        {{1, 4, 1, 3, 3}, GlowFieldIdentifier, std::int64_t{1}, std::nullopt},
        {{1, 4, 1, 3, 3}, GlowFieldValue, std::string("1"), std::nullopt},
        {{1, 4, 1, 3, 3}, GlowFieldValue, std::monostate{}, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(describePath(c.path));
        GlowParameter parameter;
        parameter.value = c.value;
        const auto report = gpioReportFor(parameter, c.fields, c.path);
        ASSERT_EQ(report.has_value(), c.expected.has_value());
        if (report) {
            EXPECT_EQ(report->text, c.expected->first);
            EXPECT_EQ(report->value, c.expected->second);
        }
    }
}

TEST_F(GpioClientTest, SubscribesWithThirtyRequestsInOrderAndAgainAfterTheRefreshInterval) {
    EmberClientOptions options = fastOptions(diagnostics);
    options.timings.refreshInterval = 150ms;
    client = std::make_unique<EmberGpioClient>("127.0.0.1", provider.port(), options);
    client->start();
    peer = provider.accept();
    ASSERT_NE(peer, nullptr);
    const RequestNames names = gpioRequestNames();

    EXPECT_THAT(named(names, peer->readFrames(30)), ElementsAreArray(expectedGpioRequests()));
    EXPECT_THAT(named(names, peer->readFrames(30)), ElementsAreArray(expectedGpioRequests()));
    // The worker writes its line after it has published the connection, so the requests may
    // come first.
    ASSERT_TRUE(diagnostics->waitFor("connected ip="));
    EXPECT_EQ(diagnostics->all().front(),
              "[EMBER RX][GPIO] connected ip=127.0.0.1 port=" + std::to_string(provider.port()) +
                  " - watching physical ports 1..10");
}

TEST_F(GpioClientTest, ReportsValuesWhetherAFrameArrivesWholeOrInPieces) {
    connect();
    ASSERT_TRUE(peer->send(build::cat({valueFrame({1, 4, 1, 3, 3}, build::integer(5)),
                                       valueFrame({1, 4, 1, 3, 1}, build::integer(3))})));
    ASSERT_TRUE(reports->waitFor("gpio physical 3/type"));

    // Half a frame, then silence: nothing is reported and the worker still serves writes.
    const Bytes frame = valueFrame({1, 4, 1, 7, 2}, build::boolean(true));
    const auto half = static_cast<std::ptrdiff_t>(frame.size() / 2);
    ASSERT_TRUE(peer->send(Bytes(frame.begin(), frame.begin() + half)));
    EXPECT_EQ(client->writeGpio(1, "status", 1), 0);
    EXPECT_EQ(peer->readFrames(1).size(), 1U);
    ASSERT_TRUE(peer->send(Bytes(frame.begin() + half, frame.end())));
    ASSERT_TRUE(reports->waitFor("gpio physical 7/override"));

    EXPECT_THAT(reports->all(), ElementsAre("gpio physical 3/status 1", "gpio physical 3/type 3",
                                            "gpio physical 7/override 1"));
}

TEST_F(GpioClientTest, AnswersAKeepAliveThatArrivesAloneWithItsOwnSlot) {
    connect();
    for (const std::uint8_t slot : {std::uint8_t{0}, std::uint8_t{3}, std::uint8_t{0x7F}}) {
        SCOPED_TRACE(static_cast<int>(slot));
        const Bytes request = build::frameOf({slot, 0x0E, 0x01, 0x01});
        ASSERT_EQ(request.size(), 8U);
        ASSERT_TRUE(peer->send(request));
        const std::vector<Bytes> answer = peer->readFrames(1);
        ASSERT_EQ(answer.size(), 1U);
        EXPECT_EQ(toHex(answer[0]), toHex(build::frameOf({slot, 0x0E, 0x02, 0x01})));
    }
}

TEST_F(GpioClientTest, LeavesAKeepAliveThatArrivesWithOtherBytesToTheReader) {
    connect();
    ASSERT_TRUE(peer->send(build::cat({build::frameOf({5, 0x0E, 0x01, 0x01}),
                                       valueFrame({1, 4, 1, 2, 3}, build::boolean(true))})));
    ASSERT_TRUE(reports->waitFor("gpio physical 2/status 1"));

    // Answers go out in order, so the first answer seen is for the lone request of slot 6:
    // the request of slot 5 was never answered.
    ASSERT_TRUE(peer->send(build::frameOf({6, 0x0E, 0x01, 0x01})));
    const std::vector<Bytes> answer = peer->readFrames(1);
    ASSERT_EQ(answer.size(), 1U);
    EXPECT_EQ(toHex(answer[0]), toHex(build::frameOf({6, 0x0E, 0x02, 0x01})));
}

TEST_F(GpioClientTest, WriteGpioSendsTheBooleanWriteAndSaysSo) {
    connect();
    EXPECT_EQ(client->writeGpio(3, "override", 7), 0);
    const std::vector<Bytes> frames = peer->readFrames(1);
    ASSERT_EQ(frames.size(), 1U);
    EXPECT_EQ(toHex(frames[0]), "FE 00 0E 00 01 C0 01 02 32 02 60 80 6B 80 A0 80 69 80 A0 07 0D "
                                "05 01 04 01 03 02 A1 80 31 80 A2 03 01 01 FD DF 00 00 00 00 00 "
                                "00 00 00 00 00 00 00 CB 51 FF");
    const std::string port = std::to_string(provider.port());
    EXPECT_EQ(diagnostics->count("[EMBER TX][GPIO] request write to ip=127.0.0.1 port=" + port +
                                 " physical=3 field=override value=1"),
              1U);
    EXPECT_EQ(diagnostics->count("[EMBER TX][GPIO] SetParameter sent to ip=127.0.0.1 port=" + port +
                                 " path=[1.4.1.3.2] value=1"),
              1U);
}

TEST_F(GpioClientTest, WriteGpioRefusesBadArgumentsWithoutSendingAnything) {
    const EmberGpioClient unstarted("127.0.0.1", provider.port(), fastOptions(diagnostics));
    EXPECT_EQ(unstarted.writeGpio(3, "status", 1), -1);

    connect();
    const std::vector<std::pair<int, std::string>> refused{
        {0, "status"}, {11, "status"}, {-1, "override"}, {3, "mute"}, {3, ""}, {3, "Status"}};
    for (const auto& [physical, field] : refused) {
        SCOPED_TRACE(std::to_string(physical) + " " + field);
        EXPECT_EQ(client->writeGpio(physical, field, 1), -1);
    }
    EXPECT_EQ(diagnostics->count("request write"), 0U);

    // The first frame after the refusals is the valid write that follows them.
    ASSERT_EQ(client->writeGpio(2, "status", 0), 0);
    const std::vector<Bytes> frames = peer->readFrames(1);
    ASSERT_EQ(frames.size(), 1U);
    using namespace build;
    EXPECT_EQ(
        toHex(frames[0]),
        toHex(frame(root({qualifiedParameter({1, 4, 1, 2, 3}, {field(2, boolean(false))})}))));
}

TEST_F(GpioClientTest, WriteGpioFailsOnceTheUnitClosedTheConnection) {
    connect();
    peer->close();
    ASSERT_TRUE(
        diagnostics->waitFor("[EMBER RX][GPIO] recv() error/closed, WSAGetLastError=0, stopping"));
    if (const auto ended = client->connection()) {  // Null once the supervisor dropped it.
        ASSERT_TRUE(ended->waitUntilEnded(kWait));
    }
    EXPECT_EQ(client->writeGpio(1, "status", 1), -1);
}

TEST_F(GpioClientTest, ReadsAWholeSubtreeAnsweredInThreePackages) {
    connect();
    using namespace build;
    std::vector<Bytes> ports;
    for (std::uint32_t port = 1; port <= 10; ++port) {
        std::vector<Bytes> parameters;
        for (std::uint32_t fieldNumber = 1; fieldNumber <= 3; ++fieldNumber) {
            const Bytes value = fieldNumber == 1 ? integer(2) : boolean(port % 2 == 0);
            parameters.push_back(element(
                GlowType::Parameter,
                {number(fieldNumber), contents({field(0, utf8("p" + std::to_string(fieldNumber))),
                                                field(2, value), field(5, integer(3))},
                                               false)},
                false));
        }
        ports.push_back(
            element(GlowType::Node, {number(port), children(parameters, false)}, false));
    }
    const Bytes tree = root({element(
        GlowType::Node,
        {number(1),
         children({element(
             GlowType::Node,
             {number(4), children({element(GlowType::Node, {number(1), children(ports)})})})})})});
    const Bytes three = packages(tree, tree.size() / 3 + 1);
    ASSERT_TRUE(peer->send(three));
    ASSERT_TRUE(reports->waitFor("gpio physical", 30));
    EXPECT_EQ(reports->count("/type 2"), 10U);
    EXPECT_EQ(reports->count("gpio physical 4/override 1"), 1U);
    EXPECT_EQ(reports->count("gpio physical 5/status 0"), 1U);
    EXPECT_EQ(reports->all().size(), 30U);
}

}  // namespace
}  // namespace pellan
