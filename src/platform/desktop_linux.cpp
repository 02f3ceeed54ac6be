#include "platform/desktop.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace pellan {

bool spawnDetached(const std::vector<std::string>& argv) {
    if (argv.empty()) {
        return false;
    }
    std::vector<std::string> strings = argv;
    std::vector<char*> args;
    for (std::string& arg : strings) {
        args.push_back(arg.data());
    }
    args.push_back(nullptr);

    // Fork twice: the intermediate child exits at once and is reaped here, so the program
    // that is started never becomes our zombie and needs no waiting thread.
    const pid_t child = fork();
    if (child < 0) {
        return false;
    }
    if (child == 0) {
        const pid_t grandchild = fork();
        if (grandchild != 0) {
            _exit(grandchild < 0 ? 1 : 0);
        }
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        setsid();
        const int devNull = open("/dev/null", O_RDWR);
        if (devNull >= 0) {
            dup2(devNull, 0);
            dup2(devNull, 1);
            dup2(devNull, 2);
        }
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool openUi() {
    return spawnDetached({"xdg-open", kUiRootUrl});
}

void showFatalError(const std::string& text) {
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
    // NOLINTNEXTLINE(concurrency-mt-unsafe): called on the main thread before threads exist.
    if (std::getenv("DISPLAY") != nullptr || std::getenv("WAYLAND_DISPLAY") != nullptr) {
        spawnDetached({"notify-send", "--urgency=critical", "Vantrel Pellan", text});
    }
}

}  // namespace pellan
