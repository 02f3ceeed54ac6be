// discovery-bench: the "_http._tcp" browser against the real avahi-daemon, timing how long an
// announcement from the devices' namespace takes to become a report. Runs inside the
// application's namespace (scripts/bench-discovery.sh sets everything up); not a test.
//
// Usage: discovery-bench --expect N --established FILE [--prefix P] [--seconds S]
// Prints "ready" once browsing, then waits until all N hosts "P-i.local." were reported with
// an address (or S seconds passed), reads the publisher's "established i T" lines from FILE
// and prints the figures.

#include "discovery/dns_sd_browser.hpp"
#include "log/logger.hpp"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/thread-watch.h>

#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC, as the publisher's lines.

double monotonicSeconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

int threadCount() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Threads:", 0) == 0) {
            return std::atoi(line.c_str() + 8);
        }
    }
    return 0;
}

/// When the application side's avahi-daemon has the records: a native Avahi client in the
/// same process resolves each new instance "PREFIX N" (host, port, TXT and address) and stamps
/// the moment it is found, as the baseline for the browser's reports.
class AvahiReference {
public:
    explicit AvahiReference(std::string prefix) : prefix_(std::move(prefix)) {
        poll_ = avahi_threaded_poll_new();
        int error = 0;
        client_ = avahi_client_new(avahi_threaded_poll_get(poll_), static_cast<AvahiClientFlags>(0),
                                   nullptr, nullptr, &error);
        if (client_ != nullptr) {
            browser_ = avahi_service_browser_new(client_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
                                                 "_http._tcp", nullptr,
                                                 static_cast<AvahiLookupFlags>(0), &onEvent, this);
        }
        avahi_threaded_poll_start(poll_);
    }
    ~AvahiReference() {
        avahi_threaded_poll_stop(poll_);
        if (browser_ != nullptr) {
            avahi_service_browser_free(browser_);
        }
        if (client_ != nullptr) {
            avahi_client_free(client_);
        }
        avahi_threaded_poll_free(poll_);
    }
    AvahiReference(const AvahiReference&) = delete;
    AvahiReference& operator=(const AvahiReference&) = delete;

    std::map<int, double> times() const {
        const std::lock_guard lock(mutex_);
        return times_;
    }

private:
    static void onEvent(AvahiServiceBrowser*, AvahiIfIndex interface, AvahiProtocol protocol,
                        AvahiBrowserEvent event, const char* name, const char* type,
                        const char* domain, AvahiLookupResultFlags, void* userdata) {
        auto* self = static_cast<AvahiReference*>(userdata);
        const std::string head = self->prefix_ + " ";
        if (event != AVAHI_BROWSER_NEW || name == nullptr ||
            std::string(name).rfind(head, 0) != 0) {
            return;
        }
        // Runs on the poll's thread, which owns the client: no lock needed for it.
        avahi_service_resolver_new(self->client_, interface, protocol, name, type, domain,
                                   AVAHI_PROTO_INET, static_cast<AvahiLookupFlags>(0), &onFound,
                                   self);
    }

    static void onFound(AvahiServiceResolver* resolver, AvahiIfIndex, AvahiProtocol,
                        AvahiResolverEvent event, const char* name, const char*, const char*,
                        const char*, const AvahiAddress*, std::uint16_t, AvahiStringList*,
                        AvahiLookupResultFlags, void* userdata) {
        auto* self = static_cast<AvahiReference*>(userdata);
        if (event == AVAHI_RESOLVER_FOUND && name != nullptr) {
            const double now = monotonicSeconds();
            const std::lock_guard lock(self->mutex_);
            self->times_.emplace(std::atoi(name + self->prefix_.size() + 1), now);
        }
        avahi_service_resolver_free(resolver);
    }

    const std::string prefix_;
    AvahiThreadedPoll* poll_ = nullptr;
    AvahiClient* client_ = nullptr;
    AvahiServiceBrowser* browser_ = nullptr;
    mutable std::mutex mutex_;
    std::map<int, double> times_;
};

struct HostTimes {
    double firstReport = 0;  // Resolved (address still unknown).
    double addressReport = 0;
    int reports = 0;
    int addressReports = 0;
};

class Collector {
public:
    explicit Collector(std::string prefix) : prefix_(std::move(prefix)) {}

    void onReport(const pellan::DiscoveredDevice& record) {
        const double now = monotonicSeconds();
        const int index = indexOf(record.hostname);
        const std::lock_guard lock(mutex_);
        if (index < 0) {
            ++foreign_;
            return;
        }
        HostTimes& times = hosts_[index];
        ++times.reports;
        if (times.firstReport == 0) {
            times.firstReport = now;
        }
        if (!record.ip.empty()) {
            ++times.addressReports;
            if (times.addressReport == 0) {
                times.addressReport = now;
                ++withAddress_;
                changed_.notify_all();
            }
        }
    }

    bool waitForAll(int expected, std::chrono::seconds timeout, int& peakThreads) {
        const auto deadline = Clock::now() + timeout;
        std::unique_lock lock(mutex_);
        while (withAddress_ < expected && Clock::now() < deadline) {
            changed_.wait_for(lock, std::chrono::milliseconds(100));
            lock.unlock();
            peakThreads = std::max(peakThreads, threadCount());
            lock.lock();
        }
        return withAddress_ >= expected;
    }

    std::map<int, HostTimes> hosts() const {
        const std::lock_guard lock(mutex_);
        return hosts_;
    }
    int foreign() const {
        const std::lock_guard lock(mutex_);
        return foreign_;
    }

private:
    int indexOf(const std::string& hostname) const {
        const std::string head = prefix_ + "-";
        const std::string tail = ".local.";
        if (hostname.rfind(head, 0) != 0 || hostname.size() <= head.size() + tail.size() ||
            hostname.compare(hostname.size() - tail.size(), tail.size(), tail) != 0) {
            return -1;
        }
        const std::string digits =
            hostname.substr(head.size(), hostname.size() - head.size() - tail.size());
        if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) {
            return -1;
        }
        return std::atoi(digits.c_str());
    }

    const std::string prefix_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::map<int, HostTimes> hosts_;  // Guarded by mutex_.
    int withAddress_ = 0;             // Guarded by mutex_.
    int foreign_ = 0;                 // Guarded by mutex_.
};

std::map<int, double> readEstablished(const std::string& path, int expected) {
    std::map<int, double> times;
    const auto deadline = Clock::now() + std::chrono::seconds(15);
    while (static_cast<int>(times.size()) < expected && Clock::now() < deadline) {
        times.clear();
        std::ifstream file(path);
        std::string line;
        while (std::getline(file, line)) {
            std::istringstream fields(line);
            std::string word;
            int index = 0;
            double at = 0;
            if (fields >> word >> index >> at && word == "established") {
                times[index] = at;
            }
        }
        if (static_cast<int>(times.size()) < expected) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    }
    return times;
}

double percentile(std::vector<double> values, double fraction) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const auto rank =
        static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(rank, values.size() - 1)];
}

std::string milliseconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.1f", seconds * 1000.0);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    int expected = 0;
    std::string established;
    std::string prefix = "bench";
    int seconds = 120;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--expect") {
            expected = std::atoi(argv[i + 1]);
        } else if (option == "--established") {
            established = argv[i + 1];
        } else if (option == "--prefix") {
            prefix = argv[i + 1];
        } else if (option == "--seconds") {
            seconds = std::atoi(argv[i + 1]);
        }
    }
    if (expected < 1 || established.empty() || seconds < 1) {
        std::cerr << "usage: discovery-bench --expect N --established FILE [--prefix P] "
                     "[--seconds S]\n";
        return 2;
    }

    pellan::Logger logger;
    logger.setListener([](const pellan::LogEntry& entry) {
        std::cerr << "[" << entry.category << "] " << entry.message << "\n";
    });
    Collector collector(prefix);
    AvahiReference reference(prefix);
    pellan::DnsSdBrowser browser(
        [&](const pellan::DiscoveredDevice& record, bool) { collector.onReport(record); }, logger);
    const int threadsBefore = threadCount();
    browser.startDiscovery(pellan::kHttpServiceType);
    // Let the browse operation reach the daemon before the publisher starts.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const double cpuBefore = cpuSeconds();
    const double wallBefore = monotonicSeconds();
    std::cout << "ready" << std::endl;

    int peakThreads = threadsBefore;
    const bool complete =
        collector.waitForAll(expected, std::chrono::seconds(seconds), peakThreads);
    const double wallAfter = monotonicSeconds();
    const double cpuAfter = cpuSeconds();
    // Late duplicates would show up here.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    browser.stopDiscovery();

    const std::map<int, double> announced = readEstablished(established, expected);
    const std::map<int, HostTimes> hosts = collector.hosts();
    const std::map<int, double> avahiHas = reference.times();
    std::vector<double> resolveLatency;
    std::vector<double> addressLatency;
    std::vector<double> resolveAfterAvahi;
    std::vector<double> addressAfterAvahi;
    int twice = 0;
    int withAddress = 0;
    double lastReport = 0;
    double firstAnnouncement = 0;
    for (const auto& [index, at] : announced) {
        firstAnnouncement = firstAnnouncement == 0 ? at : std::min(firstAnnouncement, at);
    }
    for (const auto& [index, times] : hosts) {
        twice += times.addressReports > 1 ? 1 : 0;
        withAddress += times.addressReport > 0 ? 1 : 0;
        lastReport = std::max(lastReport, times.addressReport);
        if (const auto has = avahiHas.find(index); has != avahiHas.end()) {
            resolveAfterAvahi.push_back(times.firstReport - has->second);
            if (times.addressReport > 0) {
                addressAfterAvahi.push_back(times.addressReport - has->second);
            }
        }
        const auto it = announced.find(index);
        if (it == announced.end()) {
            continue;
        }
        resolveLatency.push_back(times.firstReport - it->second);
        if (times.addressReport > 0) {
            addressLatency.push_back(times.addressReport - it->second);
        }
    }

    std::cout << "services " << expected << ", announced " << announced.size()
              << ", reported with address " << withAddress << (complete ? "" : " (INCOMPLETE)")
              << ", hosts with the address reported twice " << twice << ", other hosts "
              << collector.foreign() << "\n";
    std::cout << "announcement -> first report (resolved): p50 "
              << milliseconds(percentile(resolveLatency, 0.5)) << " ms, p99 "
              << milliseconds(percentile(resolveLatency, 0.99)) << " ms, max "
              << milliseconds(percentile(resolveLatency, 1.0)) << " ms\n";
    std::cout << "announcement -> report with address:     p50 "
              << milliseconds(percentile(addressLatency, 0.5)) << " ms, p99 "
              << milliseconds(percentile(addressLatency, 0.99)) << " ms, max "
              << milliseconds(percentile(addressLatency, 1.0)) << " ms\n";
    std::cout << "Avahi has the records (native resolve, " << avahiHas.size()
              << ") -> first report: p50 " << milliseconds(percentile(resolveAfterAvahi, 0.5))
              << " ms, p99 " << milliseconds(percentile(resolveAfterAvahi, 0.99)) << " ms\n";
    std::cout << "Avahi has the records -> report with address:      p50 "
              << milliseconds(percentile(addressAfterAvahi, 0.5)) << " ms, p99 "
              << milliseconds(percentile(addressAfterAvahi, 0.99)) << " ms\n";
    if (firstAnnouncement > 0 && lastReport > 0) {
        std::cout << "first announcement -> last address report: "
                  << milliseconds(lastReport - firstAnnouncement) << " ms\n";
    }
    std::cout << "process CPU from ready to the last report: " << milliseconds(cpuAfter - cpuBefore)
              << " ms in " << milliseconds(wallAfter - wallBefore) << " ms wall; threads "
              << threadsBefore << " before, peak " << peakThreads << "\n";
    return complete && twice == 0 ? 0 : 1;
}
