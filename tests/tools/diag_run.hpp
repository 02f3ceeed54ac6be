#pragma once
// vantrel-diag run as a program to its end, for the tests of its command lines and output.
#include "support/process.hpp"
#include "support/temp_dir.hpp"

#include <chrono>
#include <string>
#include <vector>

namespace pellan::test {

struct DiagRun {
    int exitCode = -1;  ///< -1: it did not end within the wait.
    std::string out;
    std::string err;
};

/// Runs vantrel-diag with `args` and waits at most `timeout` for it to end.
inline DiagRun runDiag(const std::vector<std::string>& args,
                       std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
    TempDir dir;
    ChildProcess child(PELLAN_DIAG_EXECUTABLE, args, baseEnvironment({}), dir / "out.txt",
                       dir / "err.txt");
    DiagRun run;
    run.exitCode = child.wait(timeout).value_or(-1);
    run.out = readFile(dir / "out.txt");
    run.err = readFile(dir / "err.txt");
    return run;
}

}  // namespace pellan::test
