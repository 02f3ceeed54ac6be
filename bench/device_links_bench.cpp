// 100 device links on loopback, each receiving 50 state messages a second of the two- and
// four-channel panels' family with the meters changing every time: the CPU the application's
// side spends on them, and the delay from the device's send to the meter callback.
//
// The devices run in a child process (one Beast server per address 127.0.1.1 to 127.0.1.100,
// port 8081, or a free port when 8081 is taken), so the CPU figure is the links' alone. The
// child writes each message's send time into memory both processes share; the meter level of
// channel 22 names the message, so the callback can look its send time up.
//
//   DeviceLinks/cpu_percent   CPU of the links' process over the measurement, % of one core
//   DeviceLinks/p50_us, p99_us, max_us   send-to-callback delay
//   DeviceLinks/received      callbacks counted in the measurement (5000 a second expected)
#include "devices/device_entry.hpp"
#include "devices/device_manager.hpp"
#include "links/device_websocket_manager.hpp"
#include "log/logger.hpp"

#include <benchmark/benchmark.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket/stream.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kLinks = 100;
constexpr int kRate = 50;  // Messages per second per link.
constexpr auto kWarmUp = 2s;
constexpr auto kMeasure = 10s;
constexpr int kMaxMessages = 1024;  // Per link: more than (warm-up + measure) * rate.
constexpr std::uint16_t kDevicePort = 8081;

std::string linkAddress(int i) {
    return "127.0.1." + std::to_string(i + 1);
}

/// What the two processes share: the port, the child's readiness, every send time.
struct Shared {
    std::atomic<int> port{0};  // 0 until the child listens; -1: it could not.
    std::atomic<int> stop{0};
    std::atomic<std::int64_t> sentAt[kLinks][kMaxMessages];  // steady_clock nanoseconds.
};

std::int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

/// The level on channel 22 that names message `k` (each one 6 above the last: beyond the
/// family's dead band of 5).
int levelOf(int k) {
    return 6 * (k + 1);
}

/// One simulated panel: accepts one link, then sends kRate messages a second.
class Panel : public std::enable_shared_from_this<Panel> {
public:
    Panel(asio::io_context& context, Shared& shared, int index, std::uint16_t port)
        : shared_(shared), index_(index), acceptor_(context), timer_(context) {
        const tcp::endpoint endpoint(asio::ip::make_address_v4(linkAddress(index)), port);
        acceptor_.open(endpoint.protocol());
        acceptor_.set_option(asio::socket_base::reuse_address(true));
        acceptor_.bind(endpoint);
        acceptor_.listen();
    }
    std::uint16_t port() const { return acceptor_.local_endpoint().port(); }

    void start() {
        acceptor_.async_accept(
            [self = shared_from_this()](const beast::error_code& error, tcp::socket socket) {
                if (error) {
                    return;
                }
                self->ws_.emplace(std::move(socket));
                self->ws_->set_option(
                    websocket::stream_base::decorator([](websocket::response_type& response) {
                        response.set(beast::http::field::sec_websocket_protocol, "audio_grid");
                    }));
                self->ws_->async_accept([self](const beast::error_code& acceptError) {
                    if (acceptError) {
                        return;
                    }
                    self->read();
                    // Spread the links' sends over the period instead of all at once.
                    self->next_ = Clock::now() + std::chrono::microseconds(self->index_ * 200);
                    self->tick();
                });
            });
    }

private:
    void read() {
        ws_->async_read(buffer_,
                        [self = shared_from_this()](const beast::error_code& error, std::size_t) {
                            if (!error) {
                                self->buffer_.clear();
                                self->read();
                            }
                        });
    }

    void tick() {
        timer_.expires_at(next_);
        timer_.async_wait([self = shared_from_this()](const beast::error_code& error) {
            if (error || self->k_ >= kMaxMessages) {
                return;
            }
            self->next_ += std::chrono::microseconds(1'000'000 / kRate);
            const int k = self->k_++;
            self->message_ = R"({"iM":[{"l":"22","v":)" + std::to_string(levelOf(k)) +
                             R"(},{"l":"23","v":)" + std::to_string(k % 2 * 50) +
                             R"(},{"l":"24","v":)" + std::to_string((k + 1) % 2 * 50) +
                             R"(},{"l":"25","v":)" + std::to_string(k * 7 % 90) + "}]}";
            if (!self->writing_) {
                self->writing_ = true;
                self->shared_.sentAt[self->index_][k].store(nowNs());
                self->ws_->async_write(
                    asio::buffer(self->message_),
                    [self](const beast::error_code&, std::size_t) { self->writing_ = false; });
            }
            self->tick();
        });
    }

    Shared& shared_;
    const int index_;
    tcp::acceptor acceptor_;
    asio::steady_timer timer_;
    std::optional<websocket::stream<tcp::socket>> ws_;
    beast::flat_buffer buffer_;
    std::string message_;
    Clock::time_point next_;
    int k_ = 0;
    bool writing_ = false;
};

/// The child's whole life: the panels on one loop until the parent ends it.
[[noreturn]] void runPanels(Shared& shared) {
    try {
        asio::io_context context(1);
        std::vector<std::shared_ptr<Panel>> panels;
        std::uint16_t port = kDevicePort;
        for (int i = 0; i < kLinks; ++i) {
            try {
                panels.push_back(std::make_shared<Panel>(context, shared, i, port));
            } catch (const std::exception&) {
                if (i != 0) {
                    throw;
                }
                // 8081 is taken here: a free port, the same on every address.
                panels.push_back(std::make_shared<Panel>(context, shared, i, 0));
                port = panels.back()->port();
            }
            panels.back()->start();
        }
        shared.port.store(port);
        asio::steady_timer watch(context);
        std::function<void()> poll = [&] {
            watch.expires_after(50ms);
            watch.async_wait([&](const beast::error_code&) {
                if (shared.stop.load() != 0) {
                    context.stop();
                    return;
                }
                poll();
            });
        };
        poll();
        context.run();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "device_links_bench panels: %s\n", error.what());
        shared.port.store(-1);
        _exit(1);
    }
    _exit(0);
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1));
    return values[index];
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

void DeviceLinks(benchmark::State& state) {
    void* memory =
        mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
        state.SkipWithError("no shared memory");
        return;
    }
    auto* shared = new (memory) Shared();
    // Forked while this process has no other thread.
    const pid_t child = fork();
    if (child == 0) {
        runPanels(*shared);
    }
    const auto deadline = Clock::now() + 10s;
    while (shared->port.load() == 0 && Clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    const int port = shared->port.load();

    for (auto _ : state) {
        if (port <= 0) {
            state.SkipWithError("the simulated panels could not listen");
            break;
        }
        pellan::Logger logger;
        pellan::DeviceManager devices(logger);
        for (int i = 0; i < kLinks; ++i) {
            pellan::DeviceEntry entry;
            entry.hostname = "TRQ-PN4-B" + std::to_string(i);
            entry.ip = linkAddress(i);
            devices.addOrUpdateDevice(entry);
        }
        std::atomic<bool> measuring{false};
        std::vector<double> delaysUs;  // Touched by the loop thread only, until stopAll().
        delaysUs.reserve(static_cast<std::size_t>(kLinks * kRate * 12));
        std::atomic<long> errors{0};
        logger.setListener([&](const pellan::LogEntry& entry) {
            if (entry.category == "error") {
                ++errors;
            }
        });

        pellan::DeviceWebSocketOptions options;
        options.port = static_cast<std::uint16_t>(port);
        pellan::DeviceWebSocketManager links(
            devices, logger,
            [&](const std::string& host, const std::vector<std::int32_t>& levels) {
                const auto received = nowNs();
                if (!measuring.load(std::memory_order_relaxed) || levels.empty()) {
                    return;
                }
                const int i = std::stoi(host.substr(9));
                const int k = levels[0] / 6 - 1;
                if (i < 0 || i >= kLinks || k < 0 || k >= kMaxMessages) {
                    return;
                }
                const auto sent = shared->sentAt[i][k].load();
                if (sent != 0) {
                    delaysUs.push_back(static_cast<double>(received - sent) / 1000.0);
                }
            },
            nullptr, options);
        for (int i = 0; i < kLinks; ++i) {
            links.startWebSocketForDevice(linkAddress(i), "TRQ-PN4");
        }
        std::this_thread::sleep_for(kWarmUp);
        measuring.store(true);
        const double cpuBefore = cpuSeconds();
        const auto wallBefore = Clock::now();
        std::this_thread::sleep_for(kMeasure);
        measuring.store(false);
        const double cpu = cpuSeconds() - cpuBefore;
        const double wall = std::chrono::duration<double>(Clock::now() - wallBefore).count();
        links.stopAll();

        state.counters["cpu_percent"] = 100.0 * cpu / wall;
        state.counters["p50_us"] = percentile(delaysUs, 0.50);
        state.counters["p99_us"] = percentile(delaysUs, 0.99);
        state.counters["max_us"] = percentile(delaysUs, 1.0);
        state.counters["received"] = static_cast<double>(delaysUs.size());
        state.counters["per_second"] = static_cast<double>(delaysUs.size()) / wall;
        state.counters["errors"] = static_cast<double>(errors.load());
        logger.setListener({});
    }

    shared->stop.store(1);
    if (child > 0) {
        // The child ends within one poll of the flag; past a few seconds it is killed.
        int status = 0;
        const auto end = Clock::now() + 5s;
        while (waitpid(child, &status, WNOHANG) == 0) {
            if (Clock::now() >= end) {
                kill(child, SIGKILL);
                waitpid(child, &status, 0);
                break;
            }
            std::this_thread::sleep_for(10ms);
        }
    }
    shared->~Shared();
    munmap(memory, sizeof(Shared));
}

BENCHMARK(DeviceLinks)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
