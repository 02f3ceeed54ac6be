#include "integration/app_fixture.hpp"

#include <csignal>
#include <sys/stat.h>

namespace pellan::test {
namespace {
constexpr const char* kStartedLine = "Vantrel Pellan started. Use the tray icon";
}  // namespace

AppHome::AppHome() {
    std::filesystem::create_directories(dir_ / "bin");
    std::filesystem::create_directories(dir_ / "runtime");
    const auto fake = dir_ / "bin" / "xdg-open";
    writeFile(fake, "#!/bin/sh\necho \"$@\" >> \"" + (dir_ / "opened").string() + "\"\n");
    chmod(fake.c_str(), 0755);
}

std::unique_ptr<ChildProcess> AppHome::start(const std::string& name,
                                             const std::filesystem::path& dataHome) const {
    auto env = baseEnvironment({
        {"HOME", (dir_ / "home").string()},
        {"XDG_DATA_HOME", (dataHome.empty() ? this->dataHome() : dataHome).string()},
        {"XDG_RUNTIME_DIR", (dir_ / "runtime").string()},
    });
    env["PATH"] = (dir_ / "bin").string() + ":" + env["PATH"];
    return std::make_unique<ChildProcess>(PELLAN_EXECUTABLE, std::vector<std::string>{}, env,
                                          dir_ / (name + ".out"), dir_ / (name + ".err"));
}

std::size_t AppHome::startedLines() const {
    const std::string text = log();
    std::size_t count = 0;
    for (std::size_t at = text.find(kStartedLine); at != std::string::npos;
         at = text.find(kStartedLine, at + 1)) {
        ++count;
    }
    return count;
}

bool AppHome::waitStarted(std::size_t earlierRuns, std::chrono::milliseconds timeout) const {
    return waitUntil([&] { return startedLines() > earlierRuns; }, timeout);
}

int runOnce(const AppHome& home) {
    const std::size_t earlierRuns = home.startedLines();
    auto app = home.start();
    if (!home.waitStarted(earlierRuns)) {
        return -1;
    }
    app->signal(SIGTERM);
    return app->wait(std::chrono::seconds(10)).value_or(-1);
}

}  // namespace pellan::test
