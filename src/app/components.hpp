#pragma once
#include "devices/device_manager.hpp"
#include "devices/group_manager.hpp"
#include "discovery/discovery_manager.hpp"
#include "discovery/dns_sd_browser.hpp"
#include "ember/ember_manager.hpp"
#include "links/device_websocket_manager.hpp"
#include "links/health_monitor.hpp"
#include "log/logger.hpp"
#include "push/ui_websocket_server.hpp"
#include "settings/app_settings_manager.hpp"
#include "web/web_server_manager.hpp"

namespace pellan {
struct AppPaths;

/// Sets the logger's listener for its own lifetime: from its construction on, every log
/// record also reaches the open pages; its destruction (and clear()) cuts that off again, so
/// no record reaches a push server that is gone.
class LogForwarding {
public:
    LogForwarding(Logger& logger, LogListener listener);
    ~LogForwarding();  ///< Calls clear().
    LogForwarding(const LogForwarding&) = delete;
    LogForwarding& operator=(const LogForwarding&) = delete;

    /// Idempotent.
    void clear();

private:
    Logger& logger_;
};

/// Every component of the application, as members in their creation order: the order of
/// declaration is the order of construction, and destruction runs in reverse, so each
/// component outlives every component that was given a reference to it. The constructor only
/// creates and connects (the discovery manager's command thread is the one thread that starts
/// here); restoring, starting and stopping are the application's steps around it.
///
/// Kind: owner of the components; created and destroyed on the main thread.
/// Lifetime: `paths` and `logger` must outlive this object.
struct Components {
    Components(const AppPaths& paths, Logger& logger);

    DeviceManager devices;
    GroupManager groups;
    AppSettingsManager settings;
    UiWebSocketServer uiPush;
    LogForwarding logForwarding;
    DeviceWebSocketManager deviceLinks;
    // Starts and stops its clients when the reachability handling asks it to; nothing
    // connects before that.
    EmberManager ember;
    HealthMonitor healthMonitor;
    DnsSdBrowser httpBrowser;
    DnsSdBrowser netaudioBrowser;
    DiscoveryManager discovery;
    WebServerManager webServer;
};

}  // namespace pellan
