// Start-up of the real executable with a studio-sized state (1,000 devices, 100 groups):
// the time from process start to the "started" line in its log. Each iteration is one whole
// run, ended with SIGTERM.
#include "support/process.hpp"
#include "support/temp_dir.hpp"

#include <benchmark/benchmark.h>

#include <csignal>
#include <string>

namespace {

void writeStudio(const std::filesystem::path& dataDir) {
    std::filesystem::create_directories(dataDir);
    std::string devices = R"({"devices":[)";
    for (int i = 0; i < 1000; ++i) {
        devices += (i ? "," : "") + std::string(R"({"hostname":"TRQ-PN4-)") + std::to_string(i) +
                   R"(","ip":"198.18.)" + std::to_string(i / 250) + "." +
                   std::to_string(i % 250 + 1) + R"(","isMonitored":true,"danteName":"Panel)" +
                   std::to_string(i) + R"(","discoveredByHttp":true,"paInputDeviceIndex":2})";
    }
    pellan::test::writeFile(dataDir / "devices_state.json", devices + R"(],"version":1})");
    std::string groups = R"({"groups":{)";
    std::string order = R"("order":[)";
    for (int g = 0; g < 100; ++g) {
        const std::string name = "Group " + std::to_string(g);
        groups += (g ? "," : "") + ("\"" + name + "\":[");
        for (int m = 0; m < 10; ++m) {
            groups += (m ? "," : "") + ("\"TRQ-PN4-" + std::to_string(g * 10 + m) + "\"");
        }
        groups += "]";
        order += (g ? "," : "") + ("\"" + name + "\"");
    }
    pellan::test::writeFile(dataDir / "groups_state.json", groups + "}," + order + "]}");
}

void BM_StartupToStartedLine(benchmark::State& state) {
    pellan::test::TempDir dir;
    const auto dataHome = dir / "data";
    writeStudio(dataHome / "Vantrel" / "Pellan" / "data");
    std::filesystem::create_directories(dir / "bin");
    pellan::test::writeFile(dir / "bin" / "xdg-open", "#!/bin/sh\n");
    std::filesystem::permissions(dir / "bin" / "xdg-open", std::filesystem::perms::owner_all);
    const auto logFile = dataHome / "Vantrel" / "Pellan" / "logs" / "Vantrel_Pellan_log.log";
    auto env = pellan::test::baseEnvironment({{"HOME", dir.path().string()},
                                              {"XDG_DATA_HOME", dataHome.string()},
                                              {"XDG_RUNTIME_DIR", dir.path().string()}});
    env["PATH"] = (dir / "bin").string() + ":" + env["PATH"];
    for (auto _ : state) {
        std::filesystem::remove(logFile);
        const auto started = std::chrono::steady_clock::now();
        pellan::test::ChildProcess app(PELLAN_EXECUTABLE, {}, env, dir / "out", dir / "err");
        const bool ok = pellan::test::waitUntil(
            [&] {
                return pellan::test::readFile(logFile).find("Vantrel Pellan started.") !=
                       std::string::npos;
            },
            std::chrono::seconds(10));
        const auto elapsed = std::chrono::steady_clock::now() - started;
        if (!ok) {
            state.SkipWithError("the executable did not start");
            break;
        }
        state.SetIterationTime(std::chrono::duration<double>(elapsed).count());
        app.signal(SIGTERM);
        app.wait(std::chrono::seconds(10));
    }
}
BENCHMARK(BM_StartupToStartedLine)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace

BENCHMARK_MAIN();
