// The DNS-SD layer and the engine against the real Avahi: a private avahi-daemon in the
// application's namespace, services announced by avahi-publish from the devices' namespace
// (scripts/netns-avahi.sh). Needs root; skips otherwise.
#include "discovery/dns_sd_browser.hpp"

#include "discovery/dns_sd_unavailable_notice.hpp"
#include "discovery/fake_dns_sd.hpp"
#include "discovery/http_trust_table.hpp"
#include "discovery/root/avahi_environment.hpp"
#include "discovery/root/recording_dns_sd.hpp"
#include "discovery/txt_record.hpp"
#include "log/logger.hpp"
#include "support/process.hpp"
#include "support/temp_dir.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>

#include <functional>
#include <memory>
#include <sstream>

namespace pellan {
namespace {

using namespace std::chrono_literals;
using test::AvahiEnvironment;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

/// The one environment of this process (libdbus reads the bus address once), made by the
/// first test that needs it, on the main thread, before any DNS-SD thread exists.
std::unique_ptr<AvahiEnvironment>& environmentSlot() {
    static std::unique_ptr<AvahiEnvironment> slot;
    return slot;
}

AvahiEnvironment& environment() {
    auto& slot = environmentSlot();
    if (!slot) {
        slot = std::make_unique<AvahiEnvironment>();
    }
    return *slot;
}

/// Announcements take about a second (name probing); lookups through a fresh daemon a few.
constexpr auto kAnnounceDeadline = 20s;

std::size_t countLog(const Logger& logger, const std::string& message) {
    std::size_t count = 0;
    for (const LogEntry& entry : logger.recentEntries()) {
        count += entry.message == message && entry.category == "error" ? 1U : 0U;
    }
    return count;
}

/// Calls processResult whenever the operation's socket is readable, until `done` or the
/// deadline; false when processing failed or time ran out.
bool drive(DnsSdApi& dnsSd, DnsSdRef ref, const std::function<bool()>& done,
           std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        pollfd entry{dnsSd.refSockFd(ref), POLLIN, 0};
        if (::poll(&entry, 1, 100) > 0 && dnsSd.processResult(ref) != kDnsSdErrNoError) {
            return false;
        }
    }
    return true;
}

class AvahiRootTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::runningAsRoot()) {
            GTEST_SKIP() << "needs root: network namespaces with a private D-Bus and "
                            "avahi-daemon (ctest label root)";
        }
        env_ = &environment();
        ASSERT_TRUE(env_->ok()) << env_->error();
        // Never browse outside the test namespace.
        ASSERT_TRUE(env_->callerInside());
        static int counter = 0;
        tag_ = "t" + std::to_string(++counter);
    }

    void TearDown() override {
        if (env_ == nullptr) {
            return;
        }
        browser_.reset();
        EXPECT_TRUE(env_->unpublish(published_)) << env_->error();
        if (daemonStopped_) {
            EXPECT_TRUE(env_->appDaemon(true)) << env_->error();
        }
    }

    std::string host(const std::string& name) const { return name + "-" + tag_ + ".local"; }
    std::string reported(const std::string& name) const { return host(name) + "."; }
    std::string address(int last) const {
        return "198.18." + std::to_string(10 + (counter() % 200)) + "." + std::to_string(last);
    }
    int counter() const { return std::stoi(tag_.substr(1)); }

    void publish(const std::string& instance, const std::string& type, const std::string& onHost,
                 const std::vector<std::string>& txt = {}) {
        const std::string id = tag_ + "s" + std::to_string(published_.size());
        ASSERT_TRUE(env_->publish(id, instance, type, onHost, txt)) << env_->error();
        published_.push_back(id);
    }
    void publishAddress(const std::string& onHost, const std::string& ip) {
        const std::string id = tag_ + "a" + std::to_string(published_.size());
        ASSERT_TRUE(env_->publishAddress(id, onHost, ip)) << env_->error();
        published_.push_back(id);
    }
    void stopDaemon() {
        ASSERT_TRUE(env_->appDaemon(false)) << env_->error();
        daemonStopped_ = true;
    }
    void startDaemon() {
        ASSERT_TRUE(env_->appDaemon(true)) << env_->error();
        daemonStopped_ = false;
    }

    DnsSdBrowser& makeBrowser() {
        DnsSdBrowserOptions options;
        options.dnsSd = &recording_;
        options.trustTable = &trust_;
        options.notice = &notice_;
        options.errorStream = &errors_;
        options.wakeInterval = 200ms;
        options.pause = pause_.hook();
        browser_ = std::make_unique<DnsSdBrowser>(recorder_.callback(), logger_, options);
        return *browser_;
    }

    std::optional<DiscoveredDevice> waitForReport(const std::string& hostname,
                                                  const std::string& ip) {
        return recorder_.waitFor(
            [&](const DiscoveredDevice& r) { return r.hostname == hostname && r.ip == ip; },
            kAnnounceDeadline);
    }
    bool reportedAny(const std::string& hostname) const {
        for (const DiscoveredDevice& report : recorder_.reports()) {
            if (report.hostname == hostname) {
                return true;
            }
        }
        return false;
    }

    AvahiEnvironment* env_ = nullptr;
    std::string tag_;
    std::vector<std::string> published_;
    bool daemonStopped_ = false;

    std::unique_ptr<DnsSdApi> avahi_ = makeAvahiDnsSd(2000ms, 2000ms);
    test::RecordingDnsSd recording_{*avahi_};
    HttpTrustTable trust_;
    DnsSdUnavailableNotice notice_;
    Logger logger_;
    test::ReportRecorder recorder_;
    test::PauseControl pause_;
    std::ostringstream errors_;  // Read only once the browser stopped.
    std::unique_ptr<DnsSdBrowser> browser_;
};

// --- The layer ----------------------------------------------------------------------------

struct AddressReplies {
    static void record(DnsSdRef, DnsSdFlags flags, std::uint32_t interfaceIndex, DnsSdError error,
                       const char* hostname, const sockaddr* address, std::uint32_t,
                       void* context) {
        auto* self = static_cast<AddressReplies*>(context);
        std::string text;
        if (address != nullptr && address->sa_family == AF_INET) {
            char buffer[INET_ADDRSTRLEN] = {};
            ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, buffer,
                        sizeof(buffer));
            text = buffer;
        }
        self->replies.push_back({flags, interfaceIndex, error, hostname, text});
    }
    struct Reply {
        DnsSdFlags flags;
        std::uint32_t interfaceIndex;
        DnsSdError error;
        std::string hostname;
        std::string address;
    };
    std::vector<Reply> replies;
};

TEST_F(AvahiRootTest, AddressLookupAnswersWithTheIPv4AddressOrEndsAfterItsTimeOut) {
    publishAddress(host("panel"), address(7));
    DnsSdApi& dnsSd = *avahi_;
    const std::uint32_t interfaceIndex = env_->appInterfaceIndex();

    AddressReplies found;
    DnsSdRef ref = nullptr;
    ASSERT_EQ(dnsSd.getAddrInfo(&ref, 0, interfaceIndex, kDnsSdProtocolIPv4,
                                reported("panel").c_str(), &AddressReplies::record, &found),
              kDnsSdErrNoError);
    ASSERT_TRUE(drive(
        dnsSd, ref, [&] { return !found.replies.empty(); }, 10s));
    dnsSd.refDeallocate(ref);
    ASSERT_EQ(found.replies.size(), 1U);
    EXPECT_EQ(found.replies[0].flags, kDnsSdFlagsAdd);
    EXPECT_EQ(found.replies[0].interfaceIndex, interfaceIndex);
    EXPECT_EQ(found.replies[0].error, kDnsSdErrNoError);
    EXPECT_EQ(found.replies[0].hostname, reported("panel"));  // As asked, final dot and all.
    EXPECT_EQ(found.replies[0].address, address(7));

    // No A record: one time-out reply after the lookup's own time-out (2 s here), then silence.
    AddressReplies missing;
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(dnsSd.getAddrInfo(&ref, 0, interfaceIndex, kDnsSdProtocolIPv4,
                                reported("nobody").c_str(), &AddressReplies::record, &missing),
              kDnsSdErrNoError);
    ASSERT_TRUE(drive(
        dnsSd, ref, [&] { return !missing.replies.empty(); }, 10s));
    EXPECT_GE(std::chrono::steady_clock::now() - started, 1900ms);
    EXPECT_FALSE(drive(
        dnsSd, ref, [&] { return missing.replies.size() > 1; }, 500ms));
    dnsSd.refDeallocate(ref);
    ASSERT_EQ(missing.replies.size(), 1U);
    EXPECT_EQ(missing.replies[0].error, kDnsSdErrTimeout);
    EXPECT_EQ(missing.replies[0].hostname, reported("nobody"));
    EXPECT_EQ(missing.replies[0].address, "");

    EXPECT_EQ(dnsSd.getAddrInfo(&ref, 0, interfaceIndex, 2, reported("panel").c_str(),
                                &AddressReplies::record, &found),
              kDnsSdErrUnsupported);
    EXPECT_EQ(ref, nullptr);
}

struct ResolveReplies {
    static void record(DnsSdRef, DnsSdFlags, std::uint32_t, DnsSdError error, const char* fullName,
                       const char* hostTarget, std::uint16_t port, std::uint16_t txtLength,
                       const unsigned char* txt, void* context) {
        auto* self = static_cast<ResolveReplies*>(context);
        self->error = error;
        self->fullName = fullName != nullptr ? fullName : "";
        self->host = hostTarget != nullptr ? hostTarget : "";
        self->port = ntohs(port);
        self->txt.assign(txt, txt + txtLength);
        self->done = true;
    }
    bool done = false;
    DnsSdError error = 0;
    std::string fullName;
    std::string host;
    std::uint16_t port = 0;
    std::vector<unsigned char> txt;
};

TEST_F(AvahiRootTest, ResolveHandsTheTxtStringsOverInWireOrder) {
    const std::vector<std::string> wire{"first=1", "dnt_name=A", "dnt_name=B", "bare", "last=z"};
    publish("Vantrel Order " + tag_, kHttpServiceType, host("order"), wire);
    publishAddress(host("order"), address(8));
    DnsSdApi& dnsSd = *avahi_;

    ResolveReplies reply;
    DnsSdRef ref = nullptr;
    ASSERT_EQ(dnsSd.resolve(&ref, 0, env_->appInterfaceIndex(), ("Vantrel Order " + tag_).c_str(),
                            "_http._tcp.", "local.", &ResolveReplies::record, &reply),
              kDnsSdErrNoError);
    ASSERT_TRUE(drive(
        dnsSd, ref, [&] { return reply.done; }, 10s));
    dnsSd.refDeallocate(ref);
    EXPECT_EQ(reply.error, kDnsSdErrNoError);
    EXPECT_EQ(reply.fullName, "Vantrel\\032Order\\032" + tag_ + "._http._tcp.local.");
    EXPECT_EQ(reply.host, reported("order"));
    EXPECT_EQ(reply.port, 80);
    EXPECT_EQ(parseTxtStrings(reply.txt.data(), reply.txt.size()), wire);
}

TEST_F(AvahiRootTest, ResolveAnswersWithoutTheHostsAddressOrEndsAfterItsTimeOut) {
    // The host has no A record: the service is resolved all the same.
    publish("Vantrel Lost " + tag_, kHttpServiceType, host("lost"), {"dnt_name=Lost"});
    DnsSdApi& dnsSd = *avahi_;
    ResolveReplies lost;
    DnsSdRef ref = nullptr;
    ASSERT_EQ(dnsSd.resolve(&ref, 0, env_->appInterfaceIndex(), ("Vantrel Lost " + tag_).c_str(),
                            "_http._tcp.", "local.", &ResolveReplies::record, &lost),
              kDnsSdErrNoError);
    ASSERT_TRUE(drive(
        dnsSd, ref, [&] { return lost.done; }, 10s));
    dnsSd.refDeallocate(ref);
    EXPECT_EQ(lost.error, kDnsSdErrNoError);
    EXPECT_EQ(lost.fullName, "Vantrel\\032Lost\\032" + tag_ + "._http._tcp.local.");
    EXPECT_EQ(lost.host, reported("lost"));
    EXPECT_EQ(lost.port, 80);
    EXPECT_EQ(parseTxtStrings(lost.txt.data(), lost.txt.size()),
              std::vector<std::string>{"dnt_name=Lost"});

    // No such service: one time-out reply after the resolve's own time-out (2 s here).
    ResolveReplies missing;
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(dnsSd.resolve(&ref, 0, env_->appInterfaceIndex(), ("Nobody " + tag_).c_str(),
                            "_http._tcp.", "local.", &ResolveReplies::record, &missing),
              kDnsSdErrNoError);
    ASSERT_TRUE(drive(
        dnsSd, ref, [&] { return missing.done; }, 10s));
    EXPECT_GE(std::chrono::steady_clock::now() - started, 1900ms);
    dnsSd.refDeallocate(ref);
    EXPECT_EQ(missing.error, kDnsSdErrTimeout);
    EXPECT_EQ(missing.host, "");
}

// --- The engine ---------------------------------------------------------------------------

TEST_F(AvahiRootTest, ReportsMarkedWebServicesWithAddressDanteAndFriendlyName) {
    // One device with two web services: an unmarked one that names it, a marked one.
    publish("Studio Desk " + tag_, kHttpServiceType, host("desk"), {"dnt_name=Desk-" + tag_});
    publish("VANTREL desk " + tag_, kHttpServiceType, host("desk"),
            {"path=/", "dnt_name=", "vendor_id=false"});
    publishAddress(host("desk"), address(10));
    // Trusted by TXT alone.
    publish("Rack Unit " + tag_, kHttpServiceType, host("rack"), {"xvendor_id=truex"});
    publishAddress(host("rack"), address(11));
    // Never reported: no mark, a mark with a capital V in vendor_id, recovery mode.
    publish("Printer " + tag_, kHttpServiceType, host("printer"), {"Vendor_id=true"});
    publishAddress(host("printer"), address(12));
    publish("Vantrel Panel Recovery " + tag_, kHttpServiceType, host("recovery"));
    publishAddress(host("recovery"), address(13));

    makeBrowser().startDiscovery(kHttpServiceType);
    const auto desk = recorder_.waitFor(
        [&](const DiscoveredDevice& r) {
            return r.hostname == reported("desk") && r.ip == address(10) && !r.friendlyName.empty();
        },
        kAnnounceDeadline);
    ASSERT_TRUE(desk.has_value());
    EXPECT_EQ(desk->danteName, "Desk-" + tag_);
    EXPECT_EQ(desk->friendlyName, "Studio\\032Desk\\032" + tag_);  // Undecoded.
    const auto rack = waitForReport(reported("rack"), address(11));
    ASSERT_TRUE(rack.has_value());
    EXPECT_EQ(rack->friendlyName, "");

    // The unmarked and recovery instances have been resolved and dropped by now.
    ASSERT_TRUE(recording_.waitForResolveEnded("Printer " + tag_, 10s));
    ASSERT_TRUE(recording_.waitForResolveEnded("Vantrel Panel Recovery " + tag_, 10s));
    browser_->stopDiscovery();
    EXPECT_FALSE(reportedAny(reported("printer")));
    EXPECT_FALSE(reportedAny(reported("recovery")));
    EXPECT_EQ(recording_.lookupsStarted(reported("printer")), 0);
    // Two services of the desk, but never two lookups of its address at once.
    EXPECT_EQ(recording_.mostLookupsAtOnce(reported("desk")), 1);
    EXPECT_EQ(errors_.str(), "");
}

TEST_F(AvahiRootTest, ReportsDanteServicesWhoseMfIsExactlyTheMark) {
    publish("Desk-" + tag_, kNetaudioServiceType, host("dante"), {"model=x", "mf=Vantrel"});
    publishAddress(host("dante"), address(20));
    publish("Lower-" + tag_, kNetaudioServiceType, host("lower"), {"mf=vantrel"});
    publishAddress(host("lower"), address(21));
    // On the wire "mf=Other" comes first: the later string wins.
    publish("Later-" + tag_, kNetaudioServiceType, host("later"), {"mf=Other", "mf=Vantrel"});
    publishAddress(host("later"), address(22));

    makeBrowser().startDiscovery(kNetaudioServiceType);
    const auto dante = waitForReport(reported("dante"), address(20));
    ASSERT_TRUE(dante.has_value());
    EXPECT_EQ(*dante, (DiscoveredDevice{reported("dante"), address(20), "Desk-" + tag_, ""}));
    ASSERT_TRUE(waitForReport(reported("later"), address(22)).has_value());
    ASSERT_TRUE(recording_.waitForResolveEnded("Lower-" + tag_, 10s));
    browser_->stopDiscovery();
    EXPECT_FALSE(reportedAny(reported("lower")));
}

TEST_F(AvahiRootTest, ServiceOnAHostWithoutAddressRecordIsReportedAndGainsTheAddressLater) {
    publish("Vantrel Lost " + tag_, kHttpServiceType, host("lost"), {"dnt_name=Lost-" + tag_});
    DnsSdBrowser& browser = makeBrowser();
    browser.startDiscovery(kHttpServiceType);
    const auto lost = waitForReport(reported("lost"), "");
    ASSERT_TRUE(lost.has_value());
    EXPECT_EQ(lost->danteName, "Lost-" + tag_);
    // Its address lookup ends after the time-out (2 s here) and changes nothing.
    ASSERT_TRUE(recording_.waitForLookupsEnded(reported("lost"), 1, 15s));
    EXPECT_EQ(browser.devices().at(0).ip, "");

    // Once the host has an address, the next resolve (here after a restart) brings it.
    publishAddress(host("lost"), address(30));
    browser.stopDiscovery();
    browser.startDiscovery(kHttpServiceType);
    ASSERT_TRUE(waitForReport(reported("lost"), address(30)).has_value());
    browser.stopDiscovery();
    EXPECT_EQ(errors_.str(), "");
}

// --- The missing daemon -------------------------------------------------------------------

TEST_F(AvahiRootTest, MissingDaemonAtStartIsLoggedOnceAndALaterStartWorks) {
    stopDaemon();
    DnsSdBrowser& browser = makeBrowser();
    browser.startDiscovery(kHttpServiceType);
    ASSERT_TRUE(pause_.waitForPauses(5));
    EXPECT_TRUE(browser.isRunning());  // Gave up, still marked running.
    browser.stopDiscovery();
    EXPECT_EQ(countLog(logger_, kDnsSdUnavailableMessage), 1U);
    std::string lines;
    for (int i = 0; i < 5; ++i) {
        lines += "Failed to browse (_http._tcp): -65563\n";
    }
    EXPECT_EQ(errors_.str(), lines);

    startDaemon();
    publish("Vantrel Back " + tag_, kHttpServiceType, host("back"));
    publishAddress(host("back"), address(40));
    browser.startDiscovery(kHttpServiceType);
    ASSERT_TRUE(waitForReport(reported("back"), address(40)).has_value());
    EXPECT_EQ(countLog(logger_, kDnsSdUnavailableMessage), 1U);
}

TEST_F(AvahiRootTest, DaemonStoppedWhileBrowsingIsLoggedAndBrowsingResumesWhenItReturns) {
    publish("Vantrel Before " + tag_, kHttpServiceType, host("before"));
    publishAddress(host("before"), address(50));
    DnsSdBrowser& browser = makeBrowser();
    browser.startDiscovery(kHttpServiceType);
    ASSERT_TRUE(waitForReport(reported("before"), address(50)).has_value());

    pause_.gate(true);
    stopDaemon();
    ASSERT_TRUE(pause_.waitForPauses(1));
    EXPECT_EQ(countLog(logger_, kDnsSdUnavailableMessage), 1U);
    startDaemon();
    pause_.gate(false);

    publish("Vantrel After " + tag_, kHttpServiceType, host("after"));
    publishAddress(host("after"), address(51));
    ASSERT_TRUE(waitForReport(reported("after"), address(51)).has_value());
    browser.stopDiscovery();
    EXPECT_EQ(countLog(logger_, kDnsSdUnavailableMessage), 1U);
    EXPECT_EQ(errors_.str(), "");
}

// --- vantrel-diag discover -------------------------------------------------------------------

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::size_t start = 0;
    for (std::size_t end = text.find('\n'); end != std::string::npos;
         start = end + 1, end = text.find('\n', start)) {
        result.push_back(text.substr(start, end - start));
    }
    return result;
}

TEST_F(AvahiRootTest, DiagDiscoverPrintsEveryReportOfBothBrowsersAsJson) {
    publish("Vantrel Diag " + tag_, kHttpServiceType, host("diag"), {"dnt_name=Diag-" + tag_});
    publish("Diag-" + tag_, kNetaudioServiceType, host("diag"), {"mf=Vantrel"});
    publishAddress(host("diag"), address(60));

    const auto run = env_->exec(
        "app", {PELLAN_DIAG_EXECUTABLE, "discover", "--interface", "veth-app", "--seconds", "4"},
        30s);
    ASSERT_EQ(run.status, 0) << run.err;
    // No compatibility warning, no failure.
    EXPECT_EQ(run.err, "");
    const std::string http = R"({"browser":"http","danteName":"Diag-)" + tag_ +
                             R"(","friendlyName":"","hostname":")" + reported("diag") +
                             R"(","ip":")" + address(60) + R"("})";
    const std::string netaudio = R"({"browser":"netaudio","danteName":"Diag-)" + tag_ +
                                 R"(","friendlyName":"","hostname":")" + reported("diag") +
                                 R"(","ip":")" + address(60) + R"("})";
    EXPECT_THAT(lines(run.out), ::testing::IsSupersetOf({http, netaudio}));
}

TEST_F(AvahiRootTest, DiagDiscoverTellsThatTheDaemonIsMissing) {
    stopDaemon();
    const auto run = env_->exec("app", {PELLAN_DIAG_EXECUTABLE, "discover", "--seconds", "1"}, 60s);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_THAT(run.err, HasSubstr("[error] DNS-SD service unavailable: discovery needs a "
                                   "running avahi-daemon\n"));
    EXPECT_EQ(run.err.find("service unavailable"), run.err.rfind("service unavailable"));
    EXPECT_THAT(run.err, HasSubstr("Failed to browse (_http._tcp): -65563\n"));
    EXPECT_THAT(run.err, HasSubstr("Failed to browse (_netaudio-cmc._udp): -65563\n"));
}

}  // namespace
}  // namespace pellan

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    pellan::environmentSlot().reset();  // Leaves the namespace and deletes it.
    return result;
}
