// The web server with the real components behind it, as a target for an HTTP load generator
// (scripts/bench-http.sh runs wrk against it and against nginx serving the same bytes).
//
//   http_bench --port-file F [--static-dir D] [--devices N] [--max-seconds S]
//
// Serves 127.0.0.1 on an ephemeral port, written to F once listening, with N devices in the
// registry (100 by default). With --static-dir, the bodies of GET /api/version and GET
// /api/devices are written to D/api/version and D/api/devices for the comparison server. GET
// /api/bench-wait is a route that waits (until the end of the run, at most 30 s) on a handler
// thread, as a route waiting for the audio worker does. Ends on SIGINT or SIGTERM, or after
// S seconds (600 by default).
#include "devices/device_manager.hpp"
#include "devices/group_manager.hpp"
#include "links/health_monitor.hpp"
#include "log/logger.hpp"
#include "platform/app_paths.hpp"
#include "push/ui_websocket_server.hpp"
#include "settings/app_settings_manager.hpp"
#include "web/web_server_manager.hpp"

#include "support/sample_devices.hpp"
#include "support/temp_dir.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

/// Lets the waiting route end when the run ends.
struct RunEnd {
    std::mutex mutex;
    std::condition_variable changed;
    bool ended = false;  // Guarded by mutex.

    void end() {
        {
            std::lock_guard lock(mutex);
            ended = true;
        }
        changed.notify_all();
    }
    void waitAtMost(std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex);
        changed.wait_for(lock, limit, [this] { return ended; });
    }
};

struct Arguments {
    std::filesystem::path portFile;
    std::filesystem::path staticDir;
    int devices = 100;
    int maxSeconds = 600;
};

bool parseArguments(int argc, char** argv, Arguments& out) {
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    for (std::size_t i = 0; i + 1 < args.size(); i += 2) {
        const std::string value(args[i + 1]);
        if (args[i] == "--port-file") {
            out.portFile = value;
        } else if (args[i] == "--static-dir") {
            out.staticDir = value;
        } else if (args[i] == "--devices") {
            out.devices = std::stoi(value);
        } else if (args[i] == "--max-seconds") {
            out.maxSeconds = std::stoi(value);
        } else {
            return false;
        }
    }
    return args.size() % 2 == 0 && !out.portFile.empty();
}

/// The body of one GET on the running server: the comparison server gets exactly the bytes
/// this server sends.
std::string fetch(std::uint16_t port, const std::string& path) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return {};
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string response;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) {
        const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
            char chunk[65536];
            ssize_t got = 0;
            while ((got = ::recv(fd, chunk, sizeof(chunk), 0)) > 0) {
                response.append(chunk, static_cast<std::size_t>(got));
            }
        }
    }
    ::close(fd);
    const std::size_t bodyStart = response.find("\r\n\r\n");
    return bodyStart == std::string::npos ? std::string{} : response.substr(bodyStart + 4);
}

}  // namespace

int main(int argc, char** argv) {
    Arguments args;
    if (!parseArguments(argc, argv, args)) {
        std::cerr << "usage: http_bench --port-file F [--static-dir D] [--devices N] "
                     "[--max-seconds S]\n";
        return 2;
    }
    // Before any thread: only the wait below receives the exit signals.
    sigset_t exitSignals;
    sigemptyset(&exitSignals);
    sigaddset(&exitSignals, SIGINT);
    sigaddset(&exitSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &exitSignals, nullptr);

    pellan::test::TempDir dir;
    pellan::AppPaths paths;
    paths.uiRoot = dir / "ui";
    paths.dataDir = dir / "data";
    std::filesystem::create_directories(paths.uiRoot);
    std::filesystem::create_directories(paths.dataDir);
    paths.appSettingsFile = paths.dataDir / "app_settings.json";
    paths.devicesStateFile = paths.dataDir / "devices_state.json";
    paths.groupsStateFile = paths.dataDir / "groups_state.json";
    paths.tileSettingsFile = paths.dataDir / "device-tile-settings.json";
    pellan::test::writeFile(paths.uiRoot / "index.html", "<!doctype html><title>bench</title>");

    pellan::Logger logger;
    pellan::DeviceManager devices(logger);
    pellan::test::addSamplePanels(devices, args.devices);
    pellan::GroupManager groups(logger);
    pellan::AppSettingsManager settings(logger,
                                        [] { return std::vector<pellan::NetworkInterfaceInfo>{}; });
    pellan::UiWebSocketServer push(devices, groups, logger,
                                   {0, "127.0.0.1", pellan::kUiIdleTimeout});
    pellan::HealthMonitor health(devices, logger, [](const std::string&, bool) {});

    RunEnd runEnd;
    pellan::WebServerOptions options;
    options.http.bindAddress = "127.0.0.1";
    options.extraRoutes = [&runEnd](pellan::Router& router) {
        router.add(pellan::HttpMethod::Get, "/api/bench-wait",
                   [&runEnd](const pellan::HttpRequest&) {
                       runEnd.waitAtMost(30s);
                       return pellan::textResponse(200, "waited");
                   });
    };
    pellan::WebServerManager web({.deviceManager = devices,
                                  .groupManager = groups,
                                  .logger = logger,
                                  .settingsManager = settings,
                                  .uiPush = push,
                                  .healthMonitor = health,
                                  .paths = paths},
                                 options);

    std::thread pushThread([&push] { push.run(); });
    std::thread webThread([&web] { web.run(0); });
    const std::uint16_t port = web.waitUntilListening(10s);
    int status = 0;
    if (port == 0) {
        std::cerr << "http_bench: the web server did not start\n";
        status = 1;
    } else {
        if (!args.staticDir.empty()) {
            std::filesystem::create_directories(args.staticDir / "api");
            pellan::test::writeFile(args.staticDir / "api" / "version",
                                    fetch(port, "/api/version"));
            pellan::test::writeFile(args.staticDir / "api" / "devices",
                                    fetch(port, "/api/devices"));
        }
        pellan::test::writeFile(args.portFile, std::to_string(port));
        std::cout << "http_bench listening on 127.0.0.1:" << port << std::endl;
        timespec limit{args.maxSeconds, 0};
        sigtimedwait(&exitSignals, nullptr, &limit);
    }
    runEnd.end();
    web.stop();
    push.stop();
    webThread.join();
    pushThread.join();
    return status;
}
