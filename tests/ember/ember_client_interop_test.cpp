// Both clients against the simulated provider, in every answer shape a standards-following
// provider may use: qualified parameters with full contents, with empty children, nested
// nodes and parameters; definite and indefinite lengths; answers in one or three packages.
#include "ember/ember_gpio_client.hpp"
#include "ember/ember_vgpio_client.hpp"
#include "simulators/ember_provider_sim.hpp"

#include "devices/device_model.hpp"
#include "ember_client_test_support.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace pellan {
namespace {

using namespace test;

struct Shape {
    EmberAnswerStyle style;
    bool indefinite;
    int packages;
    const char* name;
};

const std::vector<Shape> kShapes{
    {EmberAnswerStyle::QualifiedParameter, false, 1, "qualified, definite"},
    {EmberAnswerStyle::QualifiedParameter, true, 1, "qualified, indefinite"},
    {EmberAnswerStyle::QualifiedWithEmptyChildren, false, 1, "empty children, definite"},
    {EmberAnswerStyle::QualifiedWithEmptyChildren, true, 3, "empty children, three packages"},
    {EmberAnswerStyle::Nested, false, 1, "nested, definite"},
    {EmberAnswerStyle::Nested, true, 3, "nested, indefinite, three packages"},
};

EmberProviderSimOptions simOptions(const Shape& shape) {
    EmberProviderSimOptions options;
    options.style = shape.style;
    options.indefiniteLengths = shape.indefinite;
    options.packagesPerAnswer = shape.packages;
    return options;
}

TEST(EmberClientInteropTest, GpioClientReadsEveryAnswerShapeAndWritesThrough) {
    for (const Shape& shape : kShapes) {
        SCOPED_TRACE(shape.name);
        EmberProviderSim sim(EmberProviderSim::gpioTree(), simOptions(shape));
        ASSERT_TRUE(sim.start());
        auto lines = std::make_shared<Lines>();
        auto reports = std::make_shared<Lines>();
        EmberGpioClient client("127.0.0.1", sim.port(), fastOptions(lines));
        client.setValueCallback(reportsInto(reports));
        client.start();

        ASSERT_TRUE(reports->waitFor("gpio physical", 30));
        EXPECT_EQ(reports->count("/type 1"), 10U);
        EXPECT_EQ(reports->count("/override 0"), 10U);
        EXPECT_EQ(reports->count("/status 0"), 10U);

        // A write comes back as the provider's announcement of the new value.
        ASSERT_EQ(client.writeGpio(4, "status", 1), 0);
        ASSERT_TRUE(reports->waitFor("gpio physical 4/status 1"));
        ASSERT_TRUE(sim.setValue({1, 4, 1, 9, 1}, std::int64_t{2}));
        ASSERT_TRUE(reports->waitFor("gpio physical 9/type 2"));
        client.stop();

        EXPECT_EQ(reports->all().size(), 32U);
        EXPECT_EQ(lines->count("ERROR"), 0U);
        ASSERT_EQ(sim.writes().size(), 1U);
        EXPECT_EQ(sim.writes()[0].path, (std::vector<std::int32_t>{1, 4, 1, 4, 3}));
        EXPECT_EQ(sim.writes()[0].value, 1);
    }
}

TEST(EmberClientInteropTest, VgpioClientReadsEveryAnswerShapeAndIgnoresOtherFields) {
    const EmberVgpioSettings settings = EmberVgpioSettings::fromModel(lookupDeviceModel("TRQ-PN2"));
    for (const Shape& shape : kShapes) {
        SCOPED_TRACE(shape.name);
        EmberProviderSim sim(EmberProviderSim::vgpioTree(settings), simOptions(shape));
        ASSERT_TRUE(sim.start());
        auto lines = std::make_shared<Lines>();
        auto reports = std::make_shared<Lines>();
        EmberVgpioClient client("127.0.0.1", settings, sim.port(), fastOptions(lines));
        client.setValueCallback(reportsInto(reports));
        client.start();

        ASSERT_TRUE(reports->waitFor("vgpio", 20));
        EXPECT_EQ(reports->count("/type 1"), 10U);
        EXPECT_EQ(reports->count("/status 0"), 10U);
        ASSERT_TRUE(sim.setValue({1, 5, 2, 7, 6}, true));
        ASSERT_TRUE(reports->waitFor("vgpio 7/status 1"));
        client.stop();
        EXPECT_EQ(reports->all().size(), 21U);
        EXPECT_EQ(lines->count("ERROR"), 0U);
    }
}

TEST(EmberClientInteropTest, AnswersTheProvidersKeepAlivesFromAnySlot) {
    EmberProviderSim sim(EmberProviderSim::gpioTree());
    ASSERT_TRUE(sim.start());
    auto lines = std::make_shared<Lines>();
    auto reports = std::make_shared<Lines>();
    EmberGpioClient client("127.0.0.1", sim.port(), fastOptions(lines));
    client.setValueCallback(reportsInto(reports));
    client.start();
    ASSERT_TRUE(reports->waitFor("gpio physical", 30));
    // Slots whose request frame is 8 bytes: one whose CRC needs escaping is longer and, as
    // the clients define it, not a keep-alive to answer.
    std::size_t answered = 0;
    for (const std::uint8_t slot : {std::uint8_t{0}, std::uint8_t{3}, std::uint8_t{0x7F}}) {
        sim.sendKeepAlive(slot);
        ASSERT_TRUE(sim.waitForKeepAliveResponses(++answered, kWait));
    }
    client.stop();
}

}  // namespace
}  // namespace pellan
