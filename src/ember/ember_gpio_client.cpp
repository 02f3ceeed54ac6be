#include "ember/ember_gpio_client.hpp"

#include "ember_codec/glow_output.hpp"

#include <array>
#include <cstdio>
#include <utility>

namespace pellan {

namespace {

constexpr std::size_t kWriteBufferSize = 1024;
constexpr std::size_t kGpioPathLength = 5;

const char* fieldWord(std::int32_t field) {
    switch (field) {
    case kGpioFieldType:
        return "type";
    case kGpioFieldOverride:
        return "override";
    case kGpioFieldStatus:
        return "status";
    default:
        return nullptr;
    }
}

}  // namespace

std::vector<std::vector<std::int32_t>> gpioWatchedPaths() {
    std::vector<std::vector<std::int32_t>> paths;
    paths.reserve(static_cast<std::size_t>(3 * kGpioPhysicalCount));
    for (const std::int32_t field : {kGpioFieldType, kGpioFieldOverride, kGpioFieldStatus}) {
        for (std::int32_t port = 1; port <= kGpioPhysicalCount; ++port) {
            paths.push_back(
                {kGpioPathPrefix[0], kGpioPathPrefix[1], kGpioPathPrefix[2], port, field});
        }
    }
    return paths;
}

std::optional<EmberReport> gpioReportFor(const GlowParameter& parameter, std::uint32_t fields,
                                         std::span<const std::int32_t> path) {
    if ((fields & GlowFieldValue) == 0 || path.size() != kGpioPathLength ||
        path[0] != kGpioPathPrefix[0] || path[1] != kGpioPathPrefix[1] ||
        path[2] != kGpioPathPrefix[2] || path[3] < 1 || path[3] > kGpioPhysicalCount) {
        return std::nullopt;
    }
    const char* word = fieldWord(path[4]);
    const std::optional<std::int32_t> value = glowValueAsInt32(parameter.value);
    if (word == nullptr || !value) {
        return std::nullopt;
    }
    char text[64];
    std::snprintf(text, sizeof text, "gpio physical %d/%s", path[3], word);
    const std::int32_t reported =
        path[4] == kGpioFieldType ? *value : static_cast<std::int32_t>(*value != 0);
    return EmberReport{text, reported};
}

EmberGpioClient::EmberGpioClient(std::string ip, int port, EmberClientOptions options)
    : ip_(std::move(ip)), port_(port), core_(EmberClientKind::Gpio, std::move(options),
                                             [this](std::shared_ptr<EmberValueSlot> slot) {
                                                 return createConnection(std::move(slot));
                                             }) {}

EmberGpioClient::~EmberGpioClient() {
    core_.stop();
}

std::shared_ptr<EmberConnection>
EmberGpioClient::createConnection(std::shared_ptr<EmberValueSlot> slot) const {
    EmberConnectionConfig config;
    config.kind = EmberClientKind::Gpio;
    config.host = ip_;
    config.port = port_;
    config.watched = gpioWatchedPaths();
    config.mapper = &gpioReportFor;
    config.timings = core_.options().timings;
    config.diagnostics = core_.options().diagnostics;
    config.slot = std::move(slot);
    return EmberConnection::start(std::move(config));
}

int EmberGpioClient::writeGpio(int physical, std::string_view field, int value) const {
    const std::shared_ptr<EmberConnection> current = core_.connection();
    if (!current) {
        return -1;
    }
    return writeGpioOn(*current, physical, field, value);
}

int writeGpioOn(EmberConnection& connection, int physical, std::string_view field, int value) {
    if (field.empty() || physical < 1 || physical > kGpioPhysicalCount) {
        return -1;
    }
    std::int32_t number = 0;
    if (field == "override") {
        number = kGpioFieldOverride;
    } else if (field == "status") {
        number = kGpioFieldStatus;
    } else {
        return -1;
    }
    const int flag = value != 0 ? 1 : 0;
    const std::string host = connection.host();
    const std::string word(field);
    connection.diagnose(formatEmberLine(
        "[EMBER TX][GPIO] request write to ip=%s port=%d physical=%d field=%s value=%d",
        host.c_str(), connection.port(), physical, word.c_str(), flag));
    if (!connection.socketValid()) {
        return -1;
    }
    const std::array<std::int32_t, kGpioPathLength> path{kGpioPathPrefix[0], kGpioPathPrefix[1],
                                                         kGpioPathPrefix[2], physical, number};
    GlowParameter parameter;
    parameter.value = flag != 0;
    std::uint8_t buffer[kWriteBufferSize];
    GlowOutput output(buffer, sizeof buffer);
    output.beginPackage(true);
    output.writeQualifiedParameter(parameter, GlowFieldValue, path.data(), path.size());
    const int length = output.finishPackage();
    if (length <= 0) {
        connection.diagnose(
            formatEmberLine("[EMBER TX][GPIO] SetParameter finishPackage returned %d", length));
        return -1;
    }
    const long sent = connection.send(buffer, static_cast<std::size_t>(length));
    if (sent != length) {
        connection.diagnose(
            formatEmberLine("[EMBER TX][GPIO] SetParameter send() returned %d (expected %d)",
                            static_cast<int>(sent), length));
        return -1;
    }
    connection.diagnose(formatEmberLine(
        "[EMBER TX][GPIO] SetParameter sent to ip=%s port=%d path=[%d.%d.%d.%d.%d] value=%d",
        host.c_str(), connection.port(), path[0], path[1], path[2], path[3], path[4], flag));
    return 0;
}

}  // namespace pellan
