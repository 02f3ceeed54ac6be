#pragma once
#include <string>
#include <vector>

namespace pellan::test {

/// True when the process may create network namespaces and raw ICMP sockets.
bool runningAsRoot();

/// One test network environment of scripts/netns-env.sh: namespaces NAME-app (198.18.0.1 on
/// veth-app) and NAME-dev (198.18.0.2 on veth-dev), created for one test and deleted by the
/// destructor. Environments left behind by a test program that crashed are swept first.
///
/// Kind: owns the environment. Used by one test thread.
class NetnsEnvironment {
public:
    static constexpr const char* kAppAddress = "198.18.0.1";
    static constexpr const char* kDeviceAddress = "198.18.0.2";

    NetnsEnvironment();
    ~NetnsEnvironment();
    NetnsEnvironment(const NetnsEnvironment&) = delete;
    NetnsEnvironment& operator=(const NetnsEnvironment&) = delete;

    /// False when the environment could not be created (error() says why).
    bool ok() const { return ok_; }
    const std::string& error() const { return error_; }
    const std::string& name() const { return name_; }
    std::string appNamespace() const { return name_ + "-app"; }
    std::string deviceNamespace() const { return name_ + "-dev"; }

    /// `netns-env.sh COMMAND NAME ARGS...`; true when it exited with 0.
    bool command(const std::string& command, const std::vector<std::string>& args = {});
    bool addDeviceAddresses(const std::vector<std::string>& addresses);
    bool deleteDeviceAddresses(const std::vector<std::string>& addresses);
    bool setSilent(bool silent) { return command("silent", {silent ? "on" : "off"}); }
    bool setDeviceLink(bool up) { return command("link", {up ? "up" : "down"}); }
    bool allowDatagramSockets(bool allow) {
        return command("ping-range", {allow ? "allow" : "deny"});
    }

private:
    bool script(const std::vector<std::string>& args);

    std::string name_;
    bool ok_ = false;
    std::string error_;
};

/// Moves the calling thread into a named network namespace for its lifetime; threads the
/// caller starts meanwhile (a monitor thread) begin in that namespace too.
class NamespaceScope {
public:
    explicit NamespaceScope(const std::string& networkNamespace);
    ~NamespaceScope();
    NamespaceScope(const NamespaceScope&) = delete;
    NamespaceScope& operator=(const NamespaceScope&) = delete;

    bool entered() const { return entered_; }

private:
    int original_ = -1;
    bool entered_ = false;
};

/// Enters `networkNamespace` on the calling thread for good (for threads of their own).
bool enterNamespace(const std::string& networkNamespace);

}  // namespace pellan::test
