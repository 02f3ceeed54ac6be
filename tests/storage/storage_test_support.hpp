#pragma once
#include "devices/device_entry.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace pellan::test {

/// Collects what the code under test writes to the standard error stream while it lives.
class StderrCapture {
public:
    StderrCapture() { ::testing::internal::CaptureStderr(); }
    ~StderrCapture() {
        if (!taken_) {
            ::testing::internal::GetCapturedStderr();
        }
    }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    /// Ends the capture and returns the text.
    std::string take() {
        taken_ = true;
        return ::testing::internal::GetCapturedStderr();
    }

private:
    bool taken_ = false;
};

/// A path as the stores' messages quote it, for paths without quotes or backslashes.
inline std::string quotedPath(const std::filesystem::path& path) {
    return "\"" + path.string() + "\"";
}

inline std::filesystem::path tmpPathOf(const std::filesystem::path& path) {
    std::filesystem::path tmp = path;
    tmp += ".tmp";
    return tmp;
}

/// The names of the directory's entries.
inline std::set<std::string> directoryEntries(const std::filesystem::path& directory) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

/// `count` devices whose persisted fields all differ from the defaults and from each other.
inline std::vector<DeviceEntry> makeDevices(int count, const std::string& prefix) {
    std::vector<DeviceEntry> devices;
    devices.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        const std::string n = std::to_string(i);
        DeviceEntry entry;
        entry.hostname = "TRQ-PN2-" + prefix + n;
        entry.hostname2 = "TRQ-PN2-" + prefix + n + "-dante";
        entry.stockCode = "TRQ-PN2";
        entry.danteName = "Dante " + prefix + n;
        entry.friendlyName = "Studio " + prefix + n;
        entry.ip = "10.0." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1);
        entry.ip2 = "10.1." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1);
        entry.isMonitored = i % 2 == 0;
        entry.isManuallyAdded = i % 3 == 0;
        entry.paInputDeviceIndex = i % 7;
        entry.paTalkOutputDeviceIndex = i % 5;
        entry.vgpioHelpIndex = i % 10 + 1;
        entry.discoveredByHttp = i % 2 == 1;
        entry.discoveredByNetaudio = true;
        entry.linkedGpioHostname = "TRQ-GPIO-" + prefix;
        entry.linkedGpioPhysicalIndex = i % 10 + 1;
        devices.push_back(entry);
    }
    return devices;
}

/// Runs `body` in a forked child that ends with _exit(body()), never returning into the test
/// framework; returns the child's pid.
inline pid_t forkChild(const std::function<int()>& body) {
    const pid_t child = ::fork();
    if (child == 0) {
        int code = 125;
        try {
            code = body();
        } catch (...) {
        }
        ::_exit(code);
    }
    return child;
}

/// Waits for the child and returns its exit code, or 128 + signal.
inline int waitChild(pid_t child) {
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace pellan::test
