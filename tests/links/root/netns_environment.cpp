#include "links/root/netns_environment.hpp"

#include "support/process.hpp"
#include "support/temp_dir.hpp"

#include <cstdio>
#include <fcntl.h>
#include <random>
#include <sched.h>
#include <unistd.h>

namespace pellan::test {

namespace {

constexpr auto kScriptDeadline = std::chrono::seconds(30);

std::string freshName() {
    // The owner's PID in the name lets `down-stale` sweep what a crashed run left behind.
    std::random_device random;
    char suffix[16];
    std::snprintf(suffix, sizeof(suffix), "%06x", random() & 0xFFFFFFU);
    return "pln" + std::to_string(getpid()) + "x" + suffix;
}

}  // namespace

bool runningAsRoot() {
    return geteuid() == 0;
}

NetnsEnvironment::NetnsEnvironment() : name_(freshName()) {
    script({"down-stale"});
    ok_ = script({"up", name_});
}

NetnsEnvironment::~NetnsEnvironment() {
    script({"down", name_});
}

bool NetnsEnvironment::command(const std::string& command, const std::vector<std::string>& args) {
    std::vector<std::string> all{command, name_};
    all.insert(all.end(), args.begin(), args.end());
    return script(all);
}

bool NetnsEnvironment::addDeviceAddresses(const std::vector<std::string>& addresses) {
    std::vector<std::string> args{"add"};
    args.insert(args.end(), addresses.begin(), addresses.end());
    return command("addr", args);
}

bool NetnsEnvironment::deleteDeviceAddresses(const std::vector<std::string>& addresses) {
    std::vector<std::string> args{"del"};
    args.insert(args.end(), addresses.begin(), addresses.end());
    return command("addr", args);
}

bool NetnsEnvironment::script(const std::vector<std::string>& args) {
    TempDir dir;
    std::vector<std::string> all{PELLAN_NETNS_SCRIPT};
    all.insert(all.end(), args.begin(), args.end());
    ChildProcess child("/bin/bash", all,
                       baseEnvironment({{"PATH", "/usr/sbin:/usr/bin:/sbin:/bin"}}),
                       dir / "out.txt", dir / "err.txt");
    const auto status = child.wait(kScriptDeadline);
    if (status == 0) {
        return true;
    }
    std::string text;
    for (const std::string& arg : args) {
        text += " " + arg;
    }
    error_ = "netns-env.sh" + text + " failed: " + readFile(dir / "err.txt");
    return false;
}

NamespaceScope::NamespaceScope(const std::string& networkNamespace)
    : original_(::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC)) {
    entered_ = original_ >= 0 && enterNamespace(networkNamespace);
}

NamespaceScope::~NamespaceScope() {
    if (original_ < 0) {
        return;
    }
    if (entered_) {
        ::setns(original_, CLONE_NEWNET);
    }
    ::close(original_);
}

bool enterNamespace(const std::string& networkNamespace) {
    const std::string path = "/run/netns/" + networkNamespace;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool entered = ::setns(fd, CLONE_NEWNET) == 0;
    ::close(fd);
    return entered;
}

}  // namespace pellan::test
