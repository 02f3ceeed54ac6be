// The discovery manager's command queue over two scripted browsers.
#include "discovery/discovery_manager.hpp"

#include "devices/device_manager.hpp"
#include "discovery/discovery_browser.hpp"
#include "discovery/dns_sd_browser.hpp"
#include "discovery/dns_sd_unavailable_notice.hpp"
#include "discovery/fake_dns_sd.hpp"
#include "discovery/http_trust_table.hpp"
#include "log/logger.hpp"
#include "support/process.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace pellan {
namespace {

using test::kFakeDeadline;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

/// What the browsers were asked, in order, across both ("http start _http._tcp", ...).
class Journal {
public:
    void add(std::string entry) {
        const std::lock_guard lock(mutex_);
        entries_.push_back(std::move(entry));
        changed_.notify_all();
    }
    std::vector<std::string> entries() const {
        const std::lock_guard lock(mutex_);
        return entries_;
    }
    bool waitForCount(std::size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kFakeDeadline, [&] { return entries_.size() >= count; });
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> entries_;
};

/// A browser whose start can be held at a gate, made to throw, or made to end by itself.
class ScriptedBrowser final : public DiscoveryBrowser {
public:
    ScriptedBrowser(std::string name, Journal& journal)
        : name_(std::move(name)), journal_(journal) {}

    void setInterfaceIndex(std::uint32_t index) override {
        journal_.add(name_ + " index " + std::to_string(index));
    }
    void startDiscovery(const std::string& serviceType) override {
        std::unique_lock lock(mutex_);
        if (running_) {
            return;
        }
        ++startsEntered_;
        changed_.notify_all();
        changed_.wait_for(lock, std::chrono::seconds(10), [&] { return !gated_; });
        if (failure_) {
            std::rethrow_exception(failure_);
        }
        running_ = true;
        serviceType_ = serviceType;
        lock.unlock();
        journal_.add(name_ + " start " + serviceType);
    }
    void stopDiscovery() override {
        {
            const std::lock_guard lock(mutex_);
            running_ = false;
        }
        journal_.add(name_ + " stop");
    }
    bool isRunning() const override {
        const std::lock_guard lock(mutex_);
        return running_;
    }
    std::string serviceType() const override {
        const std::lock_guard lock(mutex_);
        return serviceType_;
    }

    void gate(bool closed) {
        const std::lock_guard lock(mutex_);
        gated_ = closed;
        changed_.notify_all();
    }
    bool waitForStartEntered(int count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kFakeDeadline, [&] { return startsEntered_ >= count; });
    }
    void failStarts(std::exception_ptr failure) {
        const std::lock_guard lock(mutex_);
        failure_ = std::move(failure);
    }
    void setRunning(bool running, const std::string& serviceType) {
        const std::lock_guard lock(mutex_);
        running_ = running;
        serviceType_ = serviceType;
    }

private:
    const std::string name_;
    Journal& journal_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool running_ = false;
    bool gated_ = false;
    int startsEntered_ = 0;
    std::string serviceType_;
    std::exception_ptr failure_;
};

/// The pushes, as "busy true Starting...", "status true", "busy false ".
class PushRecorder {
public:
    DiscoveryPushes sink() {
        return DiscoveryPushes{
            [this](bool busy, const std::string& text) {
                add(std::string("busy ") + (busy ? "true " : "false ") + text);
            },
            [this](bool active) { add(std::string("status ") + (active ? "true" : "false")); }};
    }
    bool waitForCount(std::size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kFakeDeadline, [&] { return pushes_.size() >= count; });
    }
    std::vector<std::string> pushes() const {
        const std::lock_guard lock(mutex_);
        return pushes_;
    }

private:
    void add(std::string text) {
        const std::lock_guard lock(mutex_);
        pushes_.push_back(std::move(text));
        changed_.notify_all();
    }
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> pushes_;
};

std::vector<std::string> messages(const Logger& logger) {
    std::vector<std::string> result;
    for (const LogEntry& entry : logger.recentEntries()) {
        result.push_back("[" + entry.category + "] " + entry.message);
    }
    return result;
}

class DiscoveryManagerTest : public ::testing::Test {
protected:
    Journal journal;
    ScriptedBrowser http{"http", journal};
    ScriptedBrowser netaudio{"netaudio", journal};
    Logger logger;
    PushRecorder recorder;
    DiscoveryManager manager{http, netaudio, logger, recorder.sink()};

    /// Until `commands` commands have finished (each ends with "busy false").
    bool waitForCommands(std::size_t commands) { return recorder.waitForCount(3 * commands); }
};

TEST_F(DiscoveryManagerTest, StartAndStopDriveBothBrowsersWithLogAndPushes) {
    manager.requestActive(true);
    ASSERT_TRUE(waitForCommands(1));
    EXPECT_TRUE(manager.isActive());
    manager.requestActive(false);
    ASSERT_TRUE(waitForCommands(2));
    EXPECT_FALSE(manager.isActive());

    EXPECT_THAT(journal.entries(),
                ElementsAre("http start _http._tcp", "netaudio start _netaudio-cmc._udp",
                            "http stop", "netaudio stop"));
    EXPECT_THAT(messages(logger), ElementsAre("[discovery] HTTP discovery started",
                                              "[discovery] NetAudio discovery started",
                                              "[discovery] HTTP discovery stopped",
                                              "[discovery] NetAudio discovery stopped"));
    EXPECT_THAT(recorder.pushes(),
                ElementsAre("busy true Starting...", "status true", "busy false ",
                            "busy true Stopping...", "status false", "busy false "));
}

TEST_F(DiscoveryManagerTest, BrowsersInTheRequestedStateAreLeftAloneButTheUiHearsBack) {
    http.setRunning(true, kHttpServiceType);
    manager.requestActive(true);
    manager.requestActive(true);
    ASSERT_TRUE(waitForCommands(2));
    EXPECT_THAT(journal.entries(), ElementsAre("netaudio start _netaudio-cmc._udp"));
    EXPECT_THAT(messages(logger), ElementsAre("[discovery] NetAudio discovery started"));
    EXPECT_THAT(recorder.pushes(),
                ElementsAre("busy true Starting...", "status true", "busy false ",
                            "busy true Starting...", "status true", "busy false "));
}

TEST_F(DiscoveryManagerTest, InterfaceChangesQueuedDuringAStartCollapseIntoTheLatest) {
    http.gate(true);
    manager.requestActive(true);
    ASSERT_TRUE(http.waitForStartEntered(1));
    manager.requestInterfaceChange(1, "eth-a");
    manager.requestInterfaceChange(2, "eth-b");
    manager.requestInterfaceChange(3, "eth-c");
    http.gate(false);
    ASSERT_TRUE(waitForCommands(2));

    EXPECT_THAT(journal.entries(),
                ElementsAre("http start _http._tcp", "netaudio start _netaudio-cmc._udp",
                            "http stop", "http index 3", "http start _http._tcp", "netaudio stop",
                            "netaudio index 3", "netaudio start _netaudio-cmc._udp"));
    EXPECT_THAT(messages(logger),
                ElementsAre("[discovery] HTTP discovery started",
                            "[discovery] NetAudio discovery started",
                            "[settings] Discovery network interface changing to: eth-c",
                            "[settings] Device discovery restarted on interface: eth-c"));
    EXPECT_THAT(recorder.pushes(),
                ElementsAre("busy true Starting...", "status true", "busy false ",
                            "busy true Changing network interface...", "status true",
                            "busy false "));
}

TEST_F(DiscoveryManagerTest, CollapsingReachesAnInterfaceChangeWaitingBeforeAStop) {
    http.gate(true);
    manager.requestActive(true);
    ASSERT_TRUE(http.waitForStartEntered(1));
    manager.requestInterfaceChange(1, "eth-a");
    manager.requestActive(false);
    manager.requestInterfaceChange(2, "eth-b");
    http.gate(false);
    ASSERT_TRUE(waitForCommands(3));

    const auto pushes = recorder.pushes();
    EXPECT_EQ(pushes[3], "busy true Changing network interface...");
    EXPECT_EQ(pushes[6], "busy true Stopping...");
    EXPECT_EQ(pushes.size(), 9U);
    EXPECT_THAT(messages(logger),
                ::testing::Contains("[settings] Device discovery restarted on interface: eth-b"));
    EXPECT_FALSE(manager.isActive());
}

TEST_F(DiscoveryManagerTest, InterfaceChangeWhileStoppedOnlySetsTheIndex) {
    // One request only: a second one collapses into it only while it still waits in the
    // queue, which the command thread may already have emptied (collapsing has its own tests).
    manager.requestInterfaceChange(-1, "nowhere");  // Below 0 means all.
    ASSERT_TRUE(waitForCommands(1));
    EXPECT_THAT(journal.entries(), ElementsAre("http index 0", "netaudio index 0"));
    EXPECT_THAT(messages(logger),
                ElementsAre("[settings] Discovery network interface changing to: nowhere",
                            "[settings] Device discovery interface set to: nowhere"));
    EXPECT_THAT(recorder.pushes(), ElementsAre("busy true Changing network interface...",
                                               "status false", "busy false "));
}

TEST_F(DiscoveryManagerTest, InterfaceChangeRestartsOnlyTheBrowserThatRuns) {
    netaudio.setRunning(true, kNetaudioServiceType);
    manager.requestInterfaceChange(5, "eth-5");
    ASSERT_TRUE(waitForCommands(1));
    EXPECT_THAT(journal.entries(), ElementsAre("http index 5", "netaudio stop", "netaudio index 5",
                                               "netaudio start _netaudio-cmc._udp"));
    EXPECT_THAT(messages(logger),
                ::testing::Contains("[settings] Device discovery restarted on interface: eth-5"));
}

TEST_F(DiscoveryManagerTest, AFailedStartIsLoggedAndTheActualStateStillPushed) {
    http.failStarts(std::make_exception_ptr(std::system_error(
        std::make_error_code(std::errc::resource_unavailable_try_again), "no thread")));
    manager.requestActive(true);
    ASSERT_TRUE(waitForCommands(1));
    netaudio.failStarts(std::make_exception_ptr(42));
    http.failStarts(nullptr);
    manager.requestActive(true);
    ASSERT_TRUE(waitForCommands(2));

    const auto log = messages(logger);
    ASSERT_EQ(log.size(), 3U);
    EXPECT_THAT(log[0], ::testing::StartsWith("[error] Discovery operation failed: no thread"));
    EXPECT_EQ(log[1], "[discovery] HTTP discovery started");
    EXPECT_EQ(log[2], "[error] Discovery operation failed with an unknown error");
    EXPECT_THAT(recorder.pushes(),
                ElementsAre("busy true Starting...", "status false", "busy false ",
                            "busy true Starting...", "status true", "busy false "));
}

TEST_F(DiscoveryManagerTest, StopDropsWaitingRequestsStopsBothBrowsersAndIgnoresLaterOnes) {
    http.gate(true);
    manager.requestActive(true);
    ASSERT_TRUE(http.waitForStartEntered(1));
    manager.requestActive(false);
    manager.requestInterfaceChange(2, "eth-b");
    auto stopped = std::async(std::launch::async, [&] { manager.stop(); });
    // The running command is let finish; stop waits for it.
    EXPECT_EQ(stopped.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    http.gate(false);
    ASSERT_EQ(stopped.wait_for(kFakeDeadline), std::future_status::ready);
    stopped.get();

    manager.stop();
    manager.requestActive(true);
    manager.requestInterfaceChange(3, "eth-c");
    EXPECT_THAT(journal.entries(),
                ElementsAre("http start _http._tcp", "netaudio start _netaudio-cmc._udp",
                            "http stop", "netaudio stop"));
    EXPECT_FALSE(manager.isActive());
    EXPECT_EQ(recorder.pushes().size(), 3U);
}

TEST(DiscoveryManager, StopFromTheCommandThreadIsRefused) {
    Journal journal;
    ScriptedBrowser http{"http", journal};
    ScriptedBrowser netaudio{"netaudio", journal};
    Logger logger;
    std::promise<bool> refused;
    DiscoveryManager* self = nullptr;
    DiscoveryManager manager(http, netaudio, logger,
                             DiscoveryPushes{[&](bool busy, const std::string&) {
                                                 if (!busy) {
                                                     return;
                                                 }
                                                 try {
                                                     self->stop();
                                                     refused.set_value(false);
                                                 } catch (const std::system_error&) {
                                                     refused.set_value(true);
                                                 }
                                             },
                                             {}});
    self = &manager;
    manager.requestActive(false);
    auto result = refused.get_future();
    ASSERT_EQ(result.wait_for(kFakeDeadline), std::future_status::ready);
    EXPECT_TRUE(result.get());
}

TEST(DiscoveryManager, DrivesRealBrowsersOverTheScriptedDnsSd) {
    test::FakeDnsSd dns;
    HttpTrustTable trust;
    DnsSdUnavailableNotice notice;
    Logger logger;
    DnsSdBrowserOptions options;
    options.dnsSd = &dns;
    options.trustTable = &trust;
    options.notice = &notice;
    options.wakeInterval = std::chrono::milliseconds(20);
    DnsSdBrowser http({}, logger, options);
    DnsSdBrowser netaudio({}, logger, options);
    PushRecorder recorder;
    DiscoveryManager manager(http, netaudio, logger, recorder.sink());
    http.setInterfaceIndex(2);
    netaudio.setInterfaceIndex(2);

    manager.requestActive(true);
    manager.requestInterfaceChange(6, "veth-app");
    ASSERT_TRUE(recorder.waitForCount(6));
    EXPECT_TRUE(manager.isActive());
    // Each browser browses again on the new interface (a browse of the first start may never
    // have happened: the restart can come before its thread got that far).
    for (const std::string type : {kHttpServiceType, kNetaudioServiceType}) {
        SCOPED_TRACE(type);
        bool found = false;
        for (std::size_t occurrence = 0; occurrence < 2 && !found; ++occurrence) {
            const auto op = dns.waitForOperation(test::FakeDnsSd::Kind::Browse, type, occurrence);
            found = op && op->interfaceIndex == 6;
        }
        EXPECT_TRUE(found);
    }
    manager.stop();
    EXPECT_FALSE(manager.isActive());
    EXPECT_EQ(dns.liveOperations(), 0U);
    EXPECT_THAT(dns.misuse(), IsEmpty());
}

}  // namespace
}  // namespace pellan
