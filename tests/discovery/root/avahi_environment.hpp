#pragma once
#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace pellan::test {

/// True when the process may create network namespaces and start daemons in them.
bool runningAsRoot();

/// One DNS-SD test environment of scripts/netns-avahi.sh for the whole test program: the
/// namespaces NAME-app and NAME-dev, each with a private system bus and avahi-daemon.
/// Creating it moves the calling thread (the test program's main thread, before it starts any
/// other) into NAME-app and points DBUS_SYSTEM_BUS_ADDRESS at that side's bus, so everything
/// the tests browse runs inside the namespace and talks to the private daemon; the threads
/// the tests start inherit the namespace. Services are published from NAME-dev.
///
/// libdbus reads the bus address once per process, so a process uses one environment.
///
/// Kind: owns the environment; used by the test thread only.
class AvahiEnvironment {
public:
    static constexpr const char* kAppAddress = "198.18.0.1";
    static constexpr const char* kDeviceAddress = "198.18.0.2";

    AvahiEnvironment();
    ~AvahiEnvironment();  ///< Leaves the namespace, then deletes the environment.
    AvahiEnvironment(const AvahiEnvironment&) = delete;
    AvahiEnvironment& operator=(const AvahiEnvironment&) = delete;

    /// False when the environment could not be made or entered (error() says why).
    bool ok() const { return ok_; }
    const std::string& error() const { return error_; }
    const std::string& name() const { return name_; }
    std::string appNamespace() const { return name_ + "-app"; }
    std::string busAddress() const { return busAddress_; }
    /// Whether the calling thread is inside the application's namespace.
    bool callerInside() const;

    /// `netns-avahi.sh COMMAND NAME ARGS...`; true on exit status 0 (else error() says why).
    bool command(const std::string& command, const std::vector<std::string>& args = {},
                 std::chrono::milliseconds deadline = std::chrono::seconds(30));
    /// What `netns-avahi.sh exec NAME app|dev PROGRAM ARGS...` did: the program inside that
    /// side's namespace with that side's bus.
    struct Result {
        std::optional<int> status;  ///< Nothing when it outlived the deadline (then killed).
        std::string out;
        std::string err;
    };
    Result exec(const std::string& side, const std::vector<std::string>& programAndArgs,
                std::chrono::milliseconds deadline);
    /// A service announced from the devices' side; returns once it is established.
    bool publish(const std::string& id, const std::string& instance, const std::string& type,
                 const std::string& host, const std::vector<std::string>& txt = {});
    bool publishAddress(const std::string& id, const std::string& host, const std::string& address);
    bool unpublish(const std::vector<std::string>& ids);
    /// Starts or stops the application side's avahi-daemon (its bus stays).
    bool appDaemon(bool run);
    /// Index of the application side's veth end, as DNS-SD reports it.
    unsigned appInterfaceIndex() const { return appInterfaceIndex_; }

private:
    bool enter();

    std::string name_;
    std::string busAddress_;
    int originalNamespace_ = -1;
    unsigned appInterfaceIndex_ = 0;
    bool ok_ = false;
    std::string error_;
};

}  // namespace pellan::test
