#include "discovery/discovery_manager.hpp"

#include "discovery/discovery_browser.hpp"
#include "discovery/dns_sd_browser.hpp"
#include "log/logger.hpp"
#include "platform/thread_name.hpp"

#include <chrono>
#include <cstdint>
#include <exception>
#include <system_error>
#include <utility>

namespace pellan {

DiscoveryManager::DiscoveryManager(DiscoveryBrowser& httpBrowser, DiscoveryBrowser& netaudioBrowser,
                                   Logger& logger, DiscoveryPushes uiPush)
    : httpBrowser_(httpBrowser), netaudioBrowser_(netaudioBrowser), logger_(logger),
      uiPush_(std::move(uiPush)), worker_(&DiscoveryManager::commandLoop, this) {}

DiscoveryManager::~DiscoveryManager() {
    try {
        stop();
    } catch (const std::exception& error) {
        logger_.log(std::string("Stopping discovery failed: ") + error.what(), "error");
    }
}

void DiscoveryManager::requestActive(bool start) {
    {
        const std::lock_guard lock(mutex_);
        if (stopped_) {
            return;
        }
        DiscoveryCommand command;
        command.kind = DiscoveryCommand::Kind::startStop;
        command.start = start;
        queue_.push_back(std::move(command));
    }
    wakeup_.notify_all();
}

void DiscoveryManager::requestInterfaceChange(int interfaceIndex,
                                              const std::string& interfaceName) {
    {
        const std::lock_guard lock(mutex_);
        if (stopped_) {
            return;
        }
        // The newest waiting interface change takes the new target, wherever it waits.
        for (auto it = queue_.rbegin(); it != queue_.rend(); ++it) {
            if (it->kind == DiscoveryCommand::Kind::interfaceChange) {
                it->interfaceIndex = interfaceIndex;
                it->interfaceName = interfaceName;
                return;
            }
        }
        DiscoveryCommand command;
        command.kind = DiscoveryCommand::Kind::interfaceChange;
        command.interfaceIndex = interfaceIndex;
        command.interfaceName = interfaceName;
        queue_.push_back(std::move(command));
    }
    wakeup_.notify_all();
}

bool DiscoveryManager::isActive() const {
    return httpBrowser_.isRunning() || netaudioBrowser_.isRunning();
}

void DiscoveryManager::stop() {
    if (worker_.joinable() && worker_.get_id() == std::this_thread::get_id()) {
        throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur),
                                "DiscoveryManager::stop on the command thread");
    }
    {
        const std::lock_guard lock(mutex_);
        if (stopped_) {
            return;
        }
        stopped_ = true;
        queue_.clear();
    }
    wakeup_.notify_all();
    if (worker_.joinable()) {
        worker_.join();
    }
    httpBrowser_.stopDiscovery();
    netaudioBrowser_.stopDiscovery();
}

void DiscoveryManager::commandLoop() {
    setCurrentThreadName("discovery-cmds");
    try {
        while (true) {
            DiscoveryCommand command;
            {
                std::unique_lock lock(mutex_);
                // Requests may wait for hours; each wake-up is rechecked, and stop() wakes it.
                while (!stopped_ && queue_.empty()) {
                    wakeup_.wait_for(lock, std::chrono::minutes(1));
                }
                if (stopped_) {
                    return;
                }
                command = std::move(queue_.front());
                queue_.pop_front();
            }
            const char* statusText = "Changing network interface...";
            if (command.kind == DiscoveryCommand::Kind::startStop) {
                statusText = command.start ? "Starting..." : "Stopping...";
            }
            if (uiPush_.busy) {
                uiPush_.busy(true, statusText);
            }
            try {
                execute(command);
            } catch (const std::exception& error) {
                logger_.log(std::string("Discovery operation failed: ") + error.what(), "error");
            } catch (...) {
                logger_.log("Discovery operation failed with an unknown error", "error");
            }
            if (uiPush_.status) {
                uiPush_.status(isActive());
            }
            if (uiPush_.busy) {
                uiPush_.busy(false, "");
            }
        }
    } catch (const std::exception& error) {
        logger_.log(std::string("Discovery command thread failed: ") + error.what(), "error");
    } catch (...) {
        logger_.log("Discovery command thread failed with an unknown error", "error");
    }
}

void DiscoveryManager::execute(const DiscoveryCommand& command) {
    if (command.kind == DiscoveryCommand::Kind::interfaceChange) {
        changeInterface(command.interfaceIndex, command.interfaceName);
    } else if (command.start) {
        startBoth();
    } else {
        stopBoth();
    }
}

void DiscoveryManager::startBoth() {
    if (!httpBrowser_.isRunning()) {
        httpBrowser_.startDiscovery(kHttpServiceType);
        logger_.log("HTTP discovery started", "discovery");
    }
    if (!netaudioBrowser_.isRunning()) {
        netaudioBrowser_.startDiscovery(kNetaudioServiceType);
        logger_.log("NetAudio discovery started", "discovery");
    }
}

void DiscoveryManager::stopBoth() {
    if (httpBrowser_.isRunning()) {
        httpBrowser_.stopDiscovery();
        logger_.log("HTTP discovery stopped", "discovery");
    }
    if (netaudioBrowser_.isRunning()) {
        netaudioBrowser_.stopDiscovery();
        logger_.log("NetAudio discovery stopped", "discovery");
    }
}

void DiscoveryManager::changeInterface(int interfaceIndex, const std::string& interfaceName) {
    logger_.log("Discovery network interface changing to: " + interfaceName, "settings");
    // An index below 0 names no interface: all interfaces, as 0 does.
    const auto index = static_cast<std::uint32_t>(interfaceIndex < 0 ? 0 : interfaceIndex);
    const bool wasHttp = httpBrowser_.isRunning();
    const bool wasNetaudio = netaudioBrowser_.isRunning();
    for (auto [browser, wasRunning] :
         {std::pair<DiscoveryBrowser*, bool>{&httpBrowser_, wasHttp},
          std::pair<DiscoveryBrowser*, bool>{&netaudioBrowser_, wasNetaudio}}) {
        if (wasRunning && browser->isRunning()) {
            // The records and the trust table survive: only what differs is reported again.
            browser->stopDiscovery();
            browser->setInterfaceIndex(index);
            browser->startDiscovery(browser->serviceType());
        } else {
            browser->setInterfaceIndex(index);
        }
    }
    if (wasHttp || wasNetaudio) {
        logger_.log("Device discovery restarted on interface: " + interfaceName, "settings");
    } else {
        logger_.log("Device discovery interface set to: " + interfaceName, "settings");
    }
}

}  // namespace pellan
