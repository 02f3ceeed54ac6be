#pragma once
#include <string>
#include <vector>

namespace pellan::diag {

inline constexpr int kExitOk = 0;
/// The command ran, but what it checked failed (for ping: some address never answered).
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

/// One subcommand: its name on the command line, a one-line summary for the overview, and
/// its entry, given the arguments after the name. Each lives in a file of its own.
struct Command {
    const char* name;
    const char* summary;
    int (*run)(const std::vector<std::string>& args);
};

int runPing(const std::vector<std::string>& args);
int runDiscover(const std::vector<std::string>& args);
int runLink(const std::vector<std::string>& args);
int runPanelSim(const std::vector<std::string>& args);
int runPush(const std::vector<std::string>& args);
int runEmber(const std::vector<std::string>& args);

}  // namespace pellan::diag
