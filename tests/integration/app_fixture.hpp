#pragma once
#include "support/process.hpp"
#include "support/temp_dir.hpp"

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

namespace pellan::test {

/// A private home for one run of the real executable: its own data home, runtime directory
/// (single-instance lock) and a stand-in xdg-open that records what it was asked to open.
class AppHome {
public:
    AppHome();

    std::filesystem::path base() const { return dir_ / "data-home" / "Vantrel" / "Pellan"; }
    std::filesystem::path dataDir() const { return base() / "data"; }
    std::filesystem::path logFile() const { return base() / "logs" / "Vantrel_Pellan_log.log"; }
    std::filesystem::path dataHome() const { return dir_ / "data-home"; }
    const TempDir& dir() const { return dir_; }
    std::string log() const { return readFile(logFile()); }
    std::string opened() const { return readFile(dir_ / "opened"); }

    /// Starts the executable; `dataHome` replaces the data home when given.
    std::unique_ptr<ChildProcess> start(const std::string& name = "app",
                                        const std::filesystem::path& dataHome = {}) const;
    std::string stderrOf(const std::string& name = "app") const {
        return readFile(dir_ / (name + ".err"));
    }
    /// How many runs have written their "started" line to this home's log.
    std::size_t startedLines() const;
    /// True once more than `earlierRuns` "started" lines are in the log (at most `timeout`).
    bool waitStarted(std::size_t earlierRuns = 0,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

private:
    TempDir dir_;
};

/// Runs the executable to its "started" line, ends it with SIGTERM and returns the exit code
/// (-1 when it did not start or end in time).
int runOnce(const AppHome& home);

}  // namespace pellan::test
