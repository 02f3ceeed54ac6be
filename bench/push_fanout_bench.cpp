// Fan-out of the UI push server: 100 pages, 1,000 broadcasts a second of a 1 KB message for
// 10 s. Per run: the delay from broadcast to receipt (p50, p99, max over every page and
// message), whether every page got every message in order, and the growth of this
// process's resident memory while some extra pages never read (0, 1 or 10 of them).
#include "devices/device_manager.hpp"
#include "devices/group_manager.hpp"
#include "log/logger.hpp"
#include "push/ui_websocket_server.hpp"
#include "support/page_client.hpp"

#include <benchmark/benchmark.h>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <nlohmann/json.hpp>

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

constexpr int kPages = 100;
constexpr int kRate = 1000;  // broadcasts per second
constexpr int kSeconds = 10;
constexpr int kMessages = kRate * kSeconds;
constexpr std::size_t kMessageBytes = 1024;

std::int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

long residentKib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return -1;
}

/// One reading page; every member runs on the clients' I/O thread once started.
class Page : public std::enable_shared_from_this<Page> {
public:
    explicit Page(asio::io_context& ioc) : ws_(ioc) { delays_.reserve(kMessages); }

    bool connect(std::uint16_t port) {
        beast::error_code ec;
        beast::get_lowest_layer(ws_).socket().connect(
            tcp::endpoint(asio::ip::make_address_v4("127.0.0.1"), port), ec);
        if (!ec) {
            beast::get_lowest_layer(ws_).socket().set_option(tcp::no_delay(true), ec);
            ws_.handshake("127.0.0.1:" + std::to_string(port), "/", ec);
        }
        return !ec;
    }

    void start() { readNext(); }
    int received() const { return received_.load(); }
    bool inOrder() const { return inOrder_; }
    const std::vector<std::int64_t>& delays() const { return delays_; }
    void close() {
        beast::error_code ignored;
        beast::get_lowest_layer(ws_).socket().close(ignored);
    }

private:
    void readNext() {
        ws_.async_read(buffer_, [self = shared_from_this()](const beast::error_code& ec,
                                                            std::size_t) { self->onRead(ec); });
    }

    void onRead(const beast::error_code& ec) {
        if (ec) {
            return;
        }
        const auto arrived = nowNs();
        const std::string text = beast::buffers_to_string(buffer_.data());
        buffer_.consume(buffer_.size());
        // {"n":N,"pad":"...","t":T} (keys sorted); the history message is skipped.
        if (text.rfind("{\"n\":", 0) == 0) {
            const long long n = std::strtoll(text.c_str() + 5, nullptr, 10);
            const auto tAt = text.rfind("\"t\":");
            const long long sent = std::strtoll(text.c_str() + tAt + 4, nullptr, 10);
            if (n != expected_) {
                inOrder_ = false;
            }
            expected_ = n + 1;
            delays_.push_back(arrived - sent);
            received_.fetch_add(1);
        }
        readNext();
    }

    websocket::stream<beast::tcp_stream> ws_;
    beast::flat_buffer buffer_;
    std::vector<std::int64_t> delays_;
    long long expected_ = 0;
    bool inOrder_ = true;
    std::atomic<int> received_{0};
};

/// CPU seconds (user + system) the threads of that name have used so far.
double threadCpuSeconds(const std::string& name) {
    double seconds = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream commFile(task.path() / "comm");
        std::string comm;
        std::getline(commFile, comm);
        if (comm != name) {
            continue;
        }
        std::ifstream statFile(task.path() / "stat");
        std::string stat;
        std::getline(statFile, stat);
        // Fields after the parenthesised name: state is field 3, utime 14, stime 15.
        std::istringstream fields(stat.substr(stat.rfind(')') + 2));
        std::string field;
        long long utime = 0;
        long long stime = 0;
        for (int index = 3; fields >> field && index <= 15; ++index) {
            if (index == 14) {
                utime = std::stoll(field);
            } else if (index == 15) {
                stime = std::stoll(field);
            }
        }
        seconds += static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
    }
    return seconds;
}

double percentile(std::vector<std::int64_t>& values, double fraction) {
    if (values.empty()) {
        return 0;
    }
    const auto index = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(index),
                     values.end());
    return static_cast<double>(values[index]) / 1000.0;
}

void BM_PushFanout(benchmark::State& state) {
    const int slowPages = static_cast<int>(state.range(0));
    for (auto _ : state) {
        pellan::Logger logger;
        pellan::DeviceManager devices(logger);
        pellan::GroupManager groups(logger);
        pellan::UiWebSocketServerOptions options;
        options.port = 0;
        options.bindAddress = "127.0.0.1";
        pellan::UiWebSocketServer server(devices, groups, logger, options);
        std::thread serverThread([&] { server.run(); });
        const auto port = server.waitUntilListening(std::chrono::seconds(10));

        asio::io_context clients;
        auto work = asio::make_work_guard(clients);
        std::vector<std::shared_ptr<Page>> pages;
        bool connected = port != 0;
        for (int i = 0; connected && i < kPages; ++i) {
            pages.push_back(std::make_shared<Page>(clients));
            connected = pages.back()->connect(port);
        }
        // A small receive buffer, only the answer's head read: from then on such a page
        // never reads again and the server's queue for it fills.
        std::vector<std::unique_ptr<pellan::test::RawConnection>> slow;
        for (int i = 0; connected && i < slowPages; ++i) {
            slow.push_back(std::make_unique<pellan::test::RawConnection>(port, 4096));
            connected = slow.back()->connected() &&
                        slow.back()->upgrade().find(" 101 ") != std::string::npos;
        }
        if (!connected) {
            state.SkipWithError("could not connect the pages");
            server.stop();
            serverThread.join();
            break;
        }
        // A page's 101 can arrive before the server counts it among its pages.
        const auto countedBy = Clock::now() + std::chrono::seconds(10);
        while (server.connectionCount() < static_cast<std::size_t>(kPages + slowPages) &&
               Clock::now() < countedBy) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        for (auto& page : pages) {
            page->start();
        }
        std::thread clientThread([&] {
            pthread_setname_np(pthread_self(), "bench-pages");
            clients.run();
        });
        const long rssBefore = residentKib();
        const double serverCpuBefore = threadCpuSeconds("ui-push");
        const double pagesCpuBefore = threadCpuSeconds("bench-pages");

        const std::string pad(kMessageBytes - 40, 'x');
        const auto start = Clock::now();
        for (int n = 0; n < kMessages; ++n) {
            std::this_thread::sleep_until(start +
                                          std::chrono::microseconds(n * 1'000'000LL / kRate));
            server.broadcast({{"n", n}, {"pad", pad}, {"t", nowNs()}});
        }
        const auto drainDeadline = Clock::now() + std::chrono::seconds(10);
        while (Clock::now() < drainDeadline &&
               std::any_of(pages.begin(), pages.end(),
                           [](const auto& page) { return page->received() < kMessages; })) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        const long rssAfter = residentKib();
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        const double serverCpu = threadCpuSeconds("ui-push") - serverCpuBefore;
        const double pagesCpu = threadCpuSeconds("bench-pages") - pagesCpuBefore;

        server.stop();
        serverThread.join();
        work.reset();
        for (auto& page : pages) {
            page->close();
        }
        clientThread.join();
        slow.clear();

        std::vector<std::int64_t> all;
        all.reserve(static_cast<std::size_t>(kPages) * kMessages);
        long long received = 0;
        bool inOrder = true;
        for (const auto& page : pages) {
            received += page->received();
            inOrder = inOrder && page->inOrder();
            all.insert(all.end(), page->delays().begin(), page->delays().end());
        }
        state.counters["received_pct"] =
            100.0 * static_cast<double>(received) / (static_cast<double>(kPages) * kMessages);
        state.counters["in_order"] = inOrder ? 1 : 0;
        state.counters["p50_us"] = percentile(all, 0.50);
        state.counters["p99_us"] = percentile(all, 0.99);
        state.counters["max_us"] = percentile(all, 1.0);
        state.counters["rss_growth_kib"] = static_cast<double>(rssAfter - rssBefore);
        state.counters["slow_pages"] = slowPages;
        // Share of one core over the run, and per message handed to one page.
        state.counters["server_cpu_pct"] = 100.0 * serverCpu / elapsed;
        state.counters["pages_cpu_pct"] = 100.0 * pagesCpu / elapsed;
        state.counters["server_us_per_send"] =
            1e6 * serverCpu / (static_cast<double>(kPages + slowPages) * kMessages);
    }
}
BENCHMARK(BM_PushFanout)
    ->Arg(0)
    ->Arg(1)
    ->Arg(10)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
