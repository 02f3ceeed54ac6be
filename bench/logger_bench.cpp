// Logger throughput with every destination live: history, a file flushed per line and a
// listener, as in the running application; and the cost of reading the recent history.
#include "log/logger.hpp"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

std::filesystem::path benchDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "pellan-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        std::abort();
    }
    return pattern;
}

void BM_LogToHistoryFileAndListener(benchmark::State& state) {
    const std::filesystem::path dir = benchDirectory();
    pellan::Logger logger;
    logger.openFile(dir / "Vantrel_Pellan_log.log", dir / "Vantrel_Pellan_log_old.log");
    std::atomic<long> heard{0};
    logger.setListener([&](const pellan::LogEntry&) { heard.fetch_add(1); });
    const std::string message = "Device 198.18.0.12 marking online by health monitor.";
    for (auto _ : state) {
        logger.log(message, "monitor");
    }
    state.SetItemsProcessed(state.iterations());
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_LogToHistoryFileAndListener)->Unit(benchmark::kMicrosecond);

void BM_RecentEntriesOfFullHistory(benchmark::State& state) {
    pellan::Logger logger;
    for (int i = 0; i < 1000; ++i) {
        logger.log("Device discovered: TRQ-PN4-0A1B" + std::to_string(i), "discovery");
    }
    for (auto _ : state) {
        auto entries = logger.recentEntries();
        benchmark::DoNotOptimize(entries);
    }
}
BENCHMARK(BM_RecentEntriesOfFullHistory)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
