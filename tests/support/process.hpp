#pragma once
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace pellan::test {

/// A child process started by a test, with its standard output and error sent to files.
/// The destructor kills (SIGKILL) and reaps the child if it is still running.
class ChildProcess {
public:
    /// `env` is the whole environment of the child (nothing is inherited).
    ChildProcess(const std::filesystem::path& program, const std::vector<std::string>& args,
                 const std::map<std::string, std::string>& env,
                 const std::filesystem::path& stdoutFile, const std::filesystem::path& stderrFile);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    void signal(int signalNumber) const;
    /// The exit code (or 128 + signal) once the child ended within `timeout`; nothing otherwise.
    std::optional<int> wait(std::chrono::milliseconds timeout);

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

/// Environment variables a child needs to run at all (PATH), plus the given ones.
std::map<std::string, std::string> baseEnvironment(std::map<std::string, std::string> extra);

/// Polls `predicate` every few milliseconds until it holds or `timeout` passes.
bool waitUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout);

}  // namespace pellan::test
