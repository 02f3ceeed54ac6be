#include "app/components.hpp"

#include "app/callbacks.hpp"
#include "log/logger.hpp"
#include "platform/app_paths.hpp"

#include <utility>

namespace pellan {

LogForwarding::LogForwarding(Logger& logger, LogListener listener) : logger_(logger) {
    logger_.setListener(std::move(listener));
}

LogForwarding::~LogForwarding() {
    clear();
}

void LogForwarding::clear() {
    logger_.setListener({});
}

// The health monitor's online-state callback and the browsers' discovery callbacks are not
// given yet: until the discovered-device and reachability handling is wired, a discovered or
// reachable device changes only what the browser and the monitor keep themselves. Both
// components accept an empty callback.
Components::Components(const AppPaths& paths, Logger& logger)
    : devices(logger), groups(logger), settings(logger), uiPush(devices, groups, logger),
      logForwarding(logger, logRecordPush(uiPush)),
      deviceLinks(devices, logger, meterLevelPush(devices, uiPush),
                  deviceStatePush(devices, uiPush)),
      ember(devices, logger, emberPushes(uiPush), settings), healthMonitor(devices, logger, {}),
      httpBrowser({}, logger), netaudioBrowser({}, logger),
      discovery(httpBrowser, netaudioBrowser, logger, discoveryPushes(uiPush)),
      webServer({.deviceManager = devices,
                 .groupManager = groups,
                 .logger = logger,
                 .settingsManager = settings,
                 .uiPush = uiPush,
                 .healthMonitor = healthMonitor,
                 .paths = paths}) {}

}  // namespace pellan
