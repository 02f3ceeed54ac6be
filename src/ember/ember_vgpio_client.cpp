#include "ember/ember_vgpio_client.hpp"

#include "devices/device_model.hpp"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace pellan {

namespace {
constexpr std::size_t kMaxBasePathLength = 8;
}

EmberVgpioSettings EmberVgpioSettings::fromModel(const DeviceModelInfo& model) {
    EmberVgpioSettings settings;
    settings.emberEnabled = model.emberEnabled;
    settings.emberPort = model.emberPort;
    settings.vgpioBasePath = model.vgpioBasePath;
    settings.vgpioCount = model.vgpioCount;
    settings.vgpioTypeField = model.vgpioTypeField;
    settings.vgpioStatusField = model.vgpioStatusField;
    return settings;
}

bool EmberVgpioSettings::usable() const {
    return emberEnabled && !vgpioBasePath.empty() && vgpioBasePath.size() <= kMaxBasePathLength &&
           vgpioCount > 0;
}

std::vector<std::vector<std::int32_t>> vgpioWatchedPaths(const EmberVgpioSettings& settings) {
    std::vector<std::vector<std::int32_t>> paths;
    if (settings.vgpioCount <= 0) {
        return paths;
    }
    paths.reserve(2 * static_cast<std::size_t>(settings.vgpioCount));
    for (const std::int32_t field : {settings.vgpioTypeField, settings.vgpioStatusField}) {
        for (std::int32_t entry = 1; entry <= settings.vgpioCount; ++entry) {
            std::vector<std::int32_t> path = settings.vgpioBasePath;
            path.push_back(entry);
            path.push_back(field);
            paths.push_back(std::move(path));
        }
    }
    return paths;
}

std::optional<EmberReport> vgpioReportFor(const EmberVgpioSettings& settings,
                                          const GlowParameter& parameter, std::uint32_t fields,
                                          std::span<const std::int32_t> path) {
    const std::span<const std::int32_t> base(settings.vgpioBasePath);
    if ((fields & GlowFieldValue) == 0 || path.size() != base.size() + 2 ||
        !std::equal(base.begin(), base.end(), path.begin())) {
        return std::nullopt;
    }
    const std::int32_t entry = path[base.size()];
    if (entry < 1 || entry > settings.vgpioCount) {
        return std::nullopt;
    }
    const std::optional<std::int32_t> value = glowValueAsInt32(parameter.value);
    if (!value) {
        return std::nullopt;
    }
    const std::int32_t field = path.back();
    char text[64];
    if (field == settings.vgpioStatusField) {
        std::snprintf(text, sizeof text, "vgpio %d/status", entry);
        return EmberReport{text, static_cast<std::int32_t>(*value != 0)};
    }
    if (field == settings.vgpioTypeField) {
        std::snprintf(text, sizeof text, "vgpio %d/type", entry);
        return EmberReport{text, *value};
    }
    return std::nullopt;
}

EmberVgpioClient::EmberVgpioClient(std::string host, const EmberVgpioSettings& settings,
                                   EmberClientOptions options)
    : EmberVgpioClient(std::move(host), settings, settings.emberPort, std::move(options)) {}

EmberVgpioClient::EmberVgpioClient(std::string host, EmberVgpioSettings settings, int port,
                                   EmberClientOptions options)
    : host_(std::move(host)), settings_([&settings, port] {
          EmberVgpioSettings copy = std::move(settings);
          copy.emberPort = port;
          return copy;
      }()),
      core_(EmberClientKind::Vgpio, std::move(options),
            [this](std::shared_ptr<EmberValueSlot> slot) {
                return createConnection(std::move(slot));
            }) {}

EmberVgpioClient::~EmberVgpioClient() {
    core_.stop();
}

std::shared_ptr<EmberConnection>
EmberVgpioClient::createConnection(std::shared_ptr<EmberValueSlot> slot) const {
    if (!settings_.usable()) {
        return nullptr;
    }
    EmberConnectionConfig config;
    config.kind = EmberClientKind::Vgpio;
    config.host = host_;
    config.port = settings_.emberPort;
    config.watched = vgpioWatchedPaths(settings_);
    config.mapper = [settings = settings_](const GlowParameter& parameter, std::uint32_t fields,
                                           std::span<const std::int32_t> path) {
        return vgpioReportFor(settings, parameter, fields, path);
    };
    config.timings = core_.options().timings;
    config.diagnostics = core_.options().diagnostics;
    config.slot = std::move(slot);
    return EmberConnection::start(std::move(config));
}

}  // namespace pellan
