#include "discovery/root/avahi_environment.hpp"

#include "support/process.hpp"
#include "support/temp_dir.hpp"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>

namespace pellan::test {

namespace {

std::string freshName() {
    // The owner's PID in the name lets `down-stale` sweep what a crashed run left behind.
    std::random_device random;
    char suffix[16];
    std::snprintf(suffix, sizeof(suffix), "%06x", random() & 0xFFFFFFU);
    return "pln" + std::to_string(getpid()) + "x" + suffix;
}

bool sameFile(const char* first, const std::string& second) {
    struct stat a {};
    struct stat b {};
    return ::stat(first, &a) == 0 && ::stat(second.c_str(), &b) == 0 && a.st_ino == b.st_ino &&
           a.st_dev == b.st_dev;
}

}  // namespace

bool runningAsRoot() {
    return geteuid() == 0;
}

AvahiEnvironment::AvahiEnvironment() : name_(freshName()) {
    command("down-stale");
    error_.clear();
    if (!command("up", {}, std::chrono::seconds(60))) {
        return;
    }
    TempDir dir;
    ChildProcess bus("/bin/bash", {PELLAN_NETNS_AVAHI_SCRIPT, "bus", name_, "app"},
                     baseEnvironment({{"PATH", "/usr/sbin:/usr/bin:/sbin:/bin"}}), dir / "out",
                     dir / "err");
    if (bus.wait(std::chrono::seconds(10)) != 0) {
        error_ = "no bus address: " + readFile(dir / "err");
        return;
    }
    busAddress_ = readFile(dir / "out");
    while (!busAddress_.empty() && (busAddress_.back() == '\n' || busAddress_.back() == ' ')) {
        busAddress_.pop_back();
    }
    ok_ = enter();
}

AvahiEnvironment::~AvahiEnvironment() {
    if (originalNamespace_ >= 0) {
        ::setns(originalNamespace_, CLONE_NEWNET);
        ::close(originalNamespace_);
    }
    command("down");
}

bool AvahiEnvironment::enter() {
    originalNamespace_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    const std::string path = "/run/netns/" + appNamespace();
    const int target = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const bool entered =
        originalNamespace_ >= 0 && target >= 0 && ::setns(target, CLONE_NEWNET) == 0;
    if (target >= 0) {
        ::close(target);
    }
    if (!entered || !callerInside()) {
        error_ = "could not enter " + appNamespace();
        return false;
    }
    // Before the first DNS-SD call of the process: libdbus reads it once.
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", busAddress_.c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
    appInterfaceIndex_ = ::if_nametoindex("veth-app");
    if (appInterfaceIndex_ == 0) {
        error_ = "no veth-app in " + appNamespace();
        return false;
    }
    return true;
}

bool AvahiEnvironment::callerInside() const {
    return sameFile("/proc/thread-self/ns/net", "/run/netns/" + appNamespace());
}

bool AvahiEnvironment::command(const std::string& command, const std::vector<std::string>& args,
                               std::chrono::milliseconds deadline) {
    TempDir dir;
    std::vector<std::string> all{PELLAN_NETNS_AVAHI_SCRIPT, command};
    if (command != "down-stale") {
        all.push_back(name_);
    }
    all.insert(all.end(), args.begin(), args.end());
    ChildProcess child("/bin/bash", all,
                       baseEnvironment({{"PATH", "/usr/sbin:/usr/bin:/sbin:/bin"}}),
                       dir / "out.txt", dir / "err.txt");
    if (child.wait(deadline) == 0) {
        return true;
    }
    std::string text;
    for (const std::string& arg : all) {
        text += " " + arg;
    }
    error_ = "bash" + text + " failed: " + readFile(dir / "err.txt");
    return false;
}

AvahiEnvironment::Result AvahiEnvironment::exec(const std::string& side,
                                                const std::vector<std::string>& programAndArgs,
                                                std::chrono::milliseconds deadline) {
    TempDir dir;
    std::vector<std::string> all{PELLAN_NETNS_AVAHI_SCRIPT, "exec", name_, side};
    all.insert(all.end(), programAndArgs.begin(), programAndArgs.end());
    Result result;
    {
        ChildProcess child("/bin/bash", all,
                           baseEnvironment({{"PATH", "/usr/sbin:/usr/bin:/sbin:/bin"}}),
                           dir / "out.txt", dir / "err.txt");
        result.status = child.wait(deadline);
    }
    result.out = readFile(dir / "out.txt");
    result.err = readFile(dir / "err.txt");
    return result;
}

bool AvahiEnvironment::publish(const std::string& id, const std::string& instance,
                               const std::string& type, const std::string& host,
                               const std::vector<std::string>& txt) {
    std::vector<std::string> args{id, "-H", host, "--", instance, type};
    args.insert(args.end(), txt.begin(), txt.end());
    return command("publish", args);
}

bool AvahiEnvironment::publishAddress(const std::string& id, const std::string& host,
                                      const std::string& address) {
    return command("publish-address", {id, host, address});
}

bool AvahiEnvironment::unpublish(const std::vector<std::string>& ids) {
    return ids.empty() || command("unpublish", ids);
}

bool AvahiEnvironment::appDaemon(bool run) {
    return command("daemon", {"app", run ? "start" : "stop"});
}

}  // namespace pellan::test
