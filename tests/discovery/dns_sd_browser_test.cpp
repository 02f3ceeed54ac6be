// The DNS-SD engine over a scripted DNS-SD: every reply on demand, no network.
#include "discovery/dns_sd_browser.hpp"

#include "discovery/dns_sd_unavailable_notice.hpp"
#include "discovery/fake_dns_sd.hpp"
#include "discovery/http_trust_table.hpp"
#include "log/logger.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace pellan {
namespace {

using test::FakeDnsSd;
using test::PauseControl;
using test::txtRecord;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Kind = FakeDnsSd::Kind;

constexpr const char* kHost = "desk-17.local.";
constexpr const char* kOtherHost = "rack-2.local.";

std::string fullName(const std::string& instance, const std::string& type) {
    return instance + "." + type + ".local.";
}

DiscoveredDevice record(const std::string& hostname, const std::string& ip,
                        const std::string& danteName, const std::string& friendlyName) {
    return DiscoveredDevice{hostname, ip, danteName, friendlyName};
}

std::size_t countLog(const Logger& logger, const std::string& message,
                     const std::string& category) {
    std::size_t count = 0;
    for (const LogEntry& entry : logger.recentEntries()) {
        if (entry.message == message && entry.category == category) {
            ++count;
        }
    }
    return count;
}

bool logContains(const Logger& logger, const std::string& part, const std::string& category) {
    for (const LogEntry& entry : logger.recentEntries()) {
        if (entry.message.find(part) != std::string::npos && entry.category == category) {
            return true;
        }
    }
    return false;
}

/// One browser over its own fake, trust table, notice and logger.
struct Rig {
    explicit Rig(HttpTrustTable* sharedTrust = nullptr, FakeDnsSd* sharedFake = nullptr,
                 DnsSdUnavailableNotice* sharedNotice = nullptr, Logger* sharedLogger = nullptr)
        : dns(sharedFake != nullptr ? *sharedFake : ownFake),
          trust(sharedTrust != nullptr ? *sharedTrust : ownTrust),
          notice(sharedNotice != nullptr ? *sharedNotice : ownNotice),
          logger(sharedLogger != nullptr ? *sharedLogger : ownLogger) {
        DnsSdBrowserOptions options;
        options.dnsSd = &dns;
        options.trustTable = &trust;
        options.notice = &notice;
        options.errorStream = &errors;
        options.wakeInterval = std::chrono::milliseconds(20);
        options.retryPause = std::chrono::milliseconds(1234);
        options.pause = pause.hook();
        browser = std::make_unique<DnsSdBrowser>(recorder.callback(), logger, options);
    }
    ~Rig() {
        browser->stopDiscovery();
        EXPECT_THAT(dns.misuse(), IsEmpty());
    }

    /// Starts browsing and returns the `occurrence`-th browse operation.
    DnsSdRef start(const std::string& type, std::size_t occurrence = 0) {
        browser->startDiscovery(type);
        return browseRef(occurrence);
    }
    DnsSdRef browseRef(std::size_t occurrence) {
        const auto op = dns.waitForOperation(Kind::Browse, "", occurrence);
        EXPECT_TRUE(op.has_value()) << "no browse operation " << occurrence;
        return op ? op->ref : nullptr;
    }
    /// Announces an instance and returns its resolve operation.
    DnsSdRef announce(DnsSdRef browse, const std::string& instance, const std::string& type,
                      std::size_t occurrence = 0) {
        dns.browseReply(browse, kDnsSdFlagsAdd, instance, type + ".");
        const auto op = dns.waitForOperation(Kind::Resolve, instance, occurrence);
        EXPECT_TRUE(op.has_value()) << "no resolve for " << instance;
        return op ? op->ref : nullptr;
    }
    /// Announces and resolves an instance; returns once the resolve reply was handled.
    DnsSdRef resolveService(DnsSdRef browse, const std::string& instance, const std::string& type,
                            const std::string& host, const std::vector<unsigned char>& txt,
                            std::size_t occurrence = 0) {
        DnsSdRef resolve = announce(browse, instance, type, occurrence);
        if (resolve != nullptr) {
            dns.resolveReply(resolve, fullName(instance, type), host, txt);
            EXPECT_TRUE(dns.waitUntilDelivered(resolve));
        }
        return resolve;
    }
    DnsSdRef lookup(const std::string& host, std::size_t occurrence = 0) {
        const auto op = dns.waitForOperation(Kind::AddressLookup, host, occurrence);
        EXPECT_TRUE(op.has_value()) << "no address lookup " << occurrence << " for " << host;
        return op ? op->ref : nullptr;
    }
    void answer(DnsSdRef lookupRef, const std::string& host, const std::string& ip) {
        dns.addressReply(lookupRef, host, ip);
        EXPECT_TRUE(dns.waitUntilDelivered(lookupRef));
    }

    FakeDnsSd ownFake;
    HttpTrustTable ownTrust;
    DnsSdUnavailableNotice ownNotice;
    Logger ownLogger;
    FakeDnsSd& dns;
    HttpTrustTable& trust;
    DnsSdUnavailableNotice& notice;
    Logger& logger;
    test::ReportRecorder recorder;
    PauseControl pause;
    std::ostringstream errors;  // Read only after the browser stopped.
    std::unique_ptr<DnsSdBrowser> browser;
};

// --- Which services count ---------------------------------------------------------------

struct ServiceCase {
    const char* what;
    std::string instance;
    std::vector<unsigned char> txt;
    bool reported;
    std::string danteName;  // Of the report, when reported.
};

std::vector<unsigned char> bytes(std::initializer_list<int> values) {
    std::vector<unsigned char> result;
    for (const int value : values) {
        result.push_back(static_cast<unsigned char>(value));
    }
    return result;
}

std::vector<unsigned char> concat(std::vector<unsigned char> first,
                                  const std::vector<unsigned char>& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

void runServiceCases(const std::string& type, const std::vector<ServiceCase>& cases) {
    for (const ServiceCase& c : cases) {
        SCOPED_TRACE(c.what);
        Rig rig;
        const DnsSdRef browse = rig.start(type);
        rig.resolveService(browse, c.instance, type, kHost, c.txt);
        if (!c.reported) {
            EXPECT_THAT(rig.recorder.reports(), IsEmpty());
            EXPECT_THAT(rig.dns.operations(Kind::AddressLookup), IsEmpty());
            continue;
        }
        ASSERT_TRUE(rig.recorder.waitForCount(1));
        const DiscoveredDevice report = rig.recorder.reports().front();
        EXPECT_EQ(report.hostname, kHost);
        EXPECT_EQ(report.ip, "");
        EXPECT_EQ(report.danteName, c.danteName);
        EXPECT_EQ(report.friendlyName, "");
        EXPECT_EQ(rig.dns.operations(Kind::AddressLookup, kHost).size(), 1U);
        EXPECT_THAT(rig.recorder.flags(), ElementsAre(false));
    }
}

TEST(DnsSdBrowserServices, AcceptsWebServicesByNameMarkOrVendorIdOnly) {
    runServiceCases(
        kHttpServiceType,
        {
            {"mark as written", "Vantrel Desk 17", {}, true, ""},
            {"mark upper case", "VANTREL-DESK", {}, true, ""},
            {"mark lower case inside", "studio vantrel desk", {}, true, ""},
            {"mark mixed case", "vAnTrEl", {}, true, ""},
            {"escaped characters stay undecoded", "Vantrel\\032Desk\\.17", {}, true, ""},
            {"no mark, no vendor id", "Studio Desk", txtRecord({"path=/"}), false, ""},
            {"vendor id", "Studio Desk", txtRecord({"vendor_id=true"}), true, ""},
            {"vendor id inside a longer string", "Studio Desk", txtRecord({"xvendor_id=truex"}),
             true, ""},
            {"vendor id with a capital V", "Studio Desk", txtRecord({"Vendor_id=true"}), false, ""},
            {"vendor id false", "Studio Desk", txtRecord({"vendor_id=false"}), false, ""},
            {"recovery upper case", "Vantrel Desk RECOVERY", {}, false, ""},
            {"recovery lower case, vendor id", "desk recovery", txtRecord({"vendor_id=true"}),
             false, ""},
            {"recovery mixed case", "Vantrel ReCoVeRy 2", {}, false, ""},
        });
}

TEST(DnsSdBrowserServices, ReadsTheDanteNameFromTheFirstNonEmptyDntName) {
    runServiceCases(
        kHttpServiceType,
        {
            {"dnt_name", "Vantrel A", txtRecord({"a=1", "dnt_name=Desk-17"}), true, "Desk-17"},
            {"empty then set", "Vantrel A", txtRecord({"dnt_name=", "dnt_name=Desk-17"}), true,
             "Desk-17"},
            {"first of two wins", "Vantrel A", txtRecord({"dnt_name=First", "dnt_name=Second"}),
             true, "First"},
            {"value with =", "Vantrel A", txtRecord({"dnt_name=a=b"}), true, "a=b"},
            {"key without =", "Vantrel A", txtRecord({"dnt_name"}), true, ""},
            {"key in another case", "Vantrel A", txtRecord({"DNT_NAME=X"}), true, ""},
            {"zero-length string ends the record", "Vantrel A",
             concat(txtRecord({"a=1", ""}), txtRecord({"dnt_name=Late"})), true, ""},
            {"length byte past the end ends the record", "Vantrel A",
             concat(txtRecord({"a=1"}), concat(bytes({40}), txtRecord({"dnt_name=Cut"}))), true,
             ""},
            {"vendor id after the cut does not count", "Studio Desk",
             concat(bytes({0}), txtRecord({"vendor_id=true"})), false, ""},
        });
}

TEST(DnsSdBrowserServices, AcceptsDanteServicesWhoseMfIsExactlyTheMark) {
    runServiceCases(kNetaudioServiceType,
                    {
                        {"mf", "Desk-17", txtRecord({"model=x", "mf=Vantrel"}), true, "Desk-17"},
                        {"escaped name as Dante name", "Desk\\03217", txtRecord({"mf=Vantrel"}),
                         true, "Desk\\03217"},
                        {"name without type part used whole", "Desk-17", txtRecord({"mf=Vantrel"}),
                         true, "Desk-17"},
                        {"mf lower case", "Desk-17", txtRecord({"mf=vantrel"}), false, ""},
                        {"mf upper case", "Desk-17", txtRecord({"mf=VANTREL"}), false, ""},
                        {"key upper case", "Desk-17", txtRecord({"MF=Vantrel"}), false, ""},
                        {"trailing space", "Desk-17", txtRecord({"mf=Vantrel "}), false, ""},
                        {"no mf", "Vantrel Desk", txtRecord({"vendor_id=true"}), false, ""},
                        {"mf without =", "Desk-17", txtRecord({"mf"}), false, ""},
                        {"repeated key: later wins", "Desk-17",
                         txtRecord({"mf=Other", "mf=Vantrel"}), true, "Desk-17"},
                        {"repeated key: later loses", "Desk-17",
                         txtRecord({"mf=Vantrel", "mf=Other"}), false, ""},
                        {"recovery", "Desk-17 Recovery", txtRecord({"mf=Vantrel"}), false, ""},
                    });
}

TEST(DnsSdBrowserServices, TakesTheInstanceNameUpToTheFirstDotUnderscore) {
    Rig rig;
    const DnsSdRef browse = rig.start(kNetaudioServiceType);
    for (const auto& [full, expected] : std::vector<std::pair<std::string, std::string>>{
             {"Desk\\.17._netaudio-cmc._udp.local.", "Desk\\.17"},
             {"Desk_17._x._netaudio-cmc._udp.local.", "Desk_17"},
             {"NoTypePart", "NoTypePart"},
         }) {
        SCOPED_TRACE(full);
        const std::size_t before = rig.recorder.reports().size();
        const DnsSdRef resolve = rig.announce(browse, full, kNetaudioServiceType);
        rig.dns.resolveReply(resolve, full, "host-" + expected + ".local.",
                             txtRecord({"mf=Vantrel"}));
        ASSERT_TRUE(rig.recorder.waitForCount(before + 1));
        EXPECT_EQ(rig.recorder.reports().back().danteName, expected);
    }
}

TEST(DnsSdBrowserServices, IgnoresRepliesWithoutHostTargetAndFailedResolves) {
    Rig rig;
    const DnsSdRef browse = rig.start(kHttpServiceType);
    rig.resolveService(browse, "Vantrel A", kHttpServiceType, "", {});
    const DnsSdRef failed = rig.announce(browse, "Vantrel B", kHttpServiceType);
    rig.dns.resolveReply(failed, fullName("Vantrel B", kHttpServiceType), kHost, {}, 0, 7,
                         kDnsSdErrUnknown);
    ASSERT_TRUE(rig.dns.waitUntilDeallocated(failed));
    EXPECT_THAT(rig.recorder.reports(), IsEmpty());
    EXPECT_THAT(rig.dns.operations(Kind::AddressLookup), IsEmpty());
}

// --- The trust table and the records ---------------------------------------------------

TEST(DnsSdBrowserRecords, UnmarkedInstanceGivesTheFriendlyNameOnceTheHostIsTrusted) {
    Rig rig;
    const DnsSdRef browse = rig.start(kHttpServiceType);
    rig.resolveService(browse, "Studio Desk", kHttpServiceType, kHost,
                       txtRecord({"dnt_name=Desk-17"}));
    EXPECT_THAT(rig.recorder.reports(), IsEmpty());
    EXPECT_EQ(rig.trust.find(kHost), (HttpTrustEntry{false, "Desk-17", "Studio Desk"}));

    rig.resolveService(browse, "vantrel-desk-17", kHttpServiceType, kHost, {});
    ASSERT_TRUE(rig.recorder.waitForCount(1));
    EXPECT_EQ(rig.recorder.reports().front(), record(kHost, "", "Desk-17", "Studio Desk"));

    rig.answer(rig.lookup(kHost), kHost, "198.18.4.17");
    ASSERT_TRUE(rig.recorder.waitForCount(2));
    EXPECT_EQ(rig.recorder.reports().back(),
              record(kHost, "198.18.4.17", "Desk-17", "Studio Desk"));
    EXPECT_EQ(rig.browser->devices(), std::vector<DiscoveredDevice>{
                                          record(kHost, "198.18.4.17", "Desk-17", "Studio Desk")});
}

TEST(DnsSdBrowserRecords, TrustLearnedByOneBrowserHoldsForEveryBrowser) {
    HttpTrustTable trust;
    Rig first(&trust);
    Rig second(&trust);
    first.resolveService(first.start(kHttpServiceType), "Vantrel Desk", kHttpServiceType, kHost,
                         {});
    ASSERT_TRUE(first.recorder.waitForCount(1));

    second.resolveService(second.start(kHttpServiceType), "Studio Desk", kHttpServiceType, kHost,
                          txtRecord({"dnt_name=Desk-17"}));
    ASSERT_TRUE(second.recorder.waitForCount(1));
    EXPECT_EQ(second.recorder.reports().front(), record(kHost, "", "Desk-17", "Studio Desk"));
}

TEST(DnsSdBrowserRecords, DanteReportClearsTheFriendlyNameOfTheHostsRecord) {
    Rig rig;
    DnsSdRef browse = rig.start(kHttpServiceType);
    rig.resolveService(browse, "Studio Desk", kHttpServiceType, kHost, {});
    rig.resolveService(browse, "Vantrel Desk", kHttpServiceType, kHost, {});
    ASSERT_TRUE(rig.recorder.waitForCount(1));
    EXPECT_EQ(rig.recorder.reports().back().friendlyName, "Studio Desk");
    rig.browser->stopDiscovery();

    browse = rig.start(kNetaudioServiceType, 1);
    rig.resolveService(browse, "Desk-17", kNetaudioServiceType, kHost, txtRecord({"mf=Vantrel"}));
    ASSERT_TRUE(rig.recorder.waitForCount(2));
    EXPECT_EQ(rig.recorder.reports().back(), record(kHost, "", "Desk-17", ""));
}

TEST(DnsSdBrowserRecords, ReportsAgainUntilTheAddressIsKnownThenOnlyChanges) {
    Rig rig;
    const DnsSdRef browse = rig.start(kHttpServiceType);
    // Two services of one host: two reports while the address is missing, one lookup.
    rig.resolveService(browse, "Vantrel Desk", kHttpServiceType, kHost, {});
    rig.resolveService(browse, "Vantrel Desk Web", kHttpServiceType, kHost, {});
    ASSERT_TRUE(rig.recorder.waitForCount(2));
    EXPECT_EQ(rig.dns.operations(Kind::AddressLookup, kHost).size(), 1U);
    const DnsSdRef lookup = rig.lookup(kHost);

    // An address reply naming a host without record changes nothing.
    rig.dns.addressReply(lookup, kOtherHost, "198.18.9.9", kDnsSdFlagsAdd | kDnsSdFlagsMoreComing);
    rig.answer(lookup, kHost, "198.18.4.17");
    ASSERT_TRUE(rig.recorder.waitForCount(3));
    EXPECT_EQ(rig.recorder.reports().back(), record(kHost, "198.18.4.17", "", ""));
    ASSERT_TRUE(rig.dns.waitUntilDeallocated(lookup));

    // Known address: an identical resolve reports nothing, and its new lookup only a change.
    rig.resolveService(browse, "Vantrel Desk", kHttpServiceType, kHost, {}, 1);
    rig.answer(rig.lookup(kHost, 1), kHost, "198.18.4.17");
    EXPECT_EQ(rig.recorder.reports().size(), 3U);
    rig.resolveService(browse, "Vantrel Desk", kHttpServiceType, kHost, {}, 2);
    rig.answer(rig.lookup(kHost, 2), kHost, "198.18.4.18");
    ASSERT_TRUE(rig.recorder.waitForCount(4));
    EXPECT_EQ(rig.recorder.reports().back(), record(kHost, "198.18.4.18", "", ""));
    EXPECT_EQ(rig.recorder.reports().size(), 4U);
}

TEST(DnsSdBrowserRecords, AHostWithoutAddressIsReportedAndGainsItFromALaterResolve) {
    Rig rig;
    const DnsSdRef browse = rig.start(kHttpServiceType);
    const auto txt = txtRecord({"dnt_name=Desk"});
    rig.resolveService(browse, "Vantrel Desk", kHttpServiceType, kHost, txt);
    ASSERT_TRUE(rig.recorder.waitForCount(1));
    // No A record: the lookup ends with a time-out, which changes nothing.
    const DnsSdRef lookup = rig.lookup(kHost);
    rig.dns.addressReply(lookup, kHost, "", 0, kDnsSdErrTimeout);
    ASSERT_TRUE(rig.dns.waitUntilDeallocated(lookup));
    EXPECT_THAT(rig.browser->devices(), ElementsAre(record(kHost, "", "Desk", "")));

    // The next resolve of the host reports it again and looks up again, and this time the
    // address comes.
    rig.resolveService(browse, "Vantrel Desk", kHttpServiceType, kHost, txt, 1);
    rig.answer(rig.lookup(kHost, 1), kHost, "198.18.4.17");
    ASSERT_TRUE(rig.recorder.waitForCount(3));
    EXPECT_THAT(rig.recorder.reports(),
                ElementsAre(record(kHost, "", "Desk", ""), record(kHost, "", "Desk", ""),
                            record(kHost, "198.18.4.17", "Desk", "")));
}

TEST(DnsSdBrowserRecords, LookupRepliesWhileMoreAreComingOverwriteTheAddressInTurn) {
    Rig rig;
    const DnsSdRef browse = rig.start(kHttpServiceType);
    rig.resolveService(browse, "Vantrel Desk", kHttpServiceType, kHost, {});
    const DnsSdRef lookup = rig.lookup(kHost);
    rig.dns.addressReply(lookup, kHost, "198.18.4.1", kDnsSdFlagsAdd | kDnsSdFlagsMoreComing);
    rig.dns.addressReply(lookup, kHost, "198.18.4.2", kDnsSdFlagsAdd | kDnsSdFlagsMoreComing);
    ASSERT_TRUE(rig.dns.waitUntilDelivered(lookup));
    ASSERT_TRUE(rig.recorder.waitForCount(3));
    EXPECT_FALSE(rig.dns.operation(lookup)->deallocated);
    // Still in flight: a further resolve of the host starts no second lookup.
    rig.resolveService(browse, "Vantrel Desk", kHttpServiceType, kHost, {}, 1);
    EXPECT_EQ(rig.dns.operations(Kind::AddressLookup).size(), 1U);

    rig.answer(lookup, kHost, "198.18.4.3");
    ASSERT_TRUE(rig.dns.waitUntilDeallocated(lookup));
    std::vector<std::string> ips;
    for (const DiscoveredDevice& report : rig.recorder.reports()) {
        ips.push_back(report.ip);
    }
    EXPECT_THAT(ips, ElementsAre("", "198.18.4.1", "198.18.4.2", "198.18.4.3"));
}

TEST(DnsSdBrowserRecords, FailedLookupsLetTheNextResolveLookUpAgain) {
    Rig rig;
    rig.dns.failLookups(kOtherHost, kDnsSdErrUnknown, /*returnRef=*/true);
    const DnsSdRef browse = rig.start(kHttpServiceType);

    // An error reply.
    rig.resolveService(browse, "Vantrel Desk", kHttpServiceType, kHost, {});
    DnsSdRef lookup = rig.lookup(kHost);
    rig.dns.addressReply(lookup, kHost, "", 0, kDnsSdErrTimeout);
    ASSERT_TRUE(rig.dns.waitUntilDeallocated(lookup));
    rig.resolveService(browse, "Vantrel Desk", kHttpServiceType, kHost, {}, 1);
    lookup = rig.lookup(kHost, 1);

    // A lookup whose processing fails.
    rig.dns.failProcessing(lookup, kDnsSdErrUnknown);
    ASSERT_TRUE(rig.dns.waitUntilDeallocated(lookup));
    rig.resolveService(browse, "Vantrel Desk", kHttpServiceType, kHost, {}, 2);
    lookup = rig.lookup(kHost, 2);

    // A non-IPv4 address: still no address, so nothing changes.
    rig.answer(lookup, kHost, "");
    ASSERT_TRUE(rig.dns.waitUntilDeallocated(lookup));
    EXPECT_EQ(rig.browser->devices().front().ip, "");

    // A lookup that cannot start (its reference is still freed).
    rig.resolveService(browse, "Vantrel Rack", kHttpServiceType, kOtherHost, {});
    const DnsSdRef refused = rig.lookup(kOtherHost);
    ASSERT_TRUE(rig.dns.waitUntilDeallocated(refused));
    rig.resolveService(browse, "Vantrel Rack", kHttpServiceType, kOtherHost, {}, 1);
    EXPECT_TRUE(rig.dns.waitForOperation(Kind::AddressLookup, kOtherHost, 1).has_value());
}

TEST(DnsSdBrowserRecords, PassesEachRepliesInterfaceToTheNextOperation) {
    Rig rig;
    rig.browser->setInterfaceIndex(3);
    const DnsSdRef browse = rig.start(kHttpServiceType);
    EXPECT_EQ(rig.dns.operation(browse)->interfaceIndex, 3U);
    EXPECT_EQ(rig.dns.operation(browse)->name, kHttpServiceType);
    EXPECT_EQ(rig.dns.operation(browse)->domain, "");

    rig.dns.browseReply(browse, kDnsSdFlagsAdd, "Vantrel Desk", "_http._tcp.", "local.", 5);
    const auto resolve = rig.dns.waitForOperation(Kind::Resolve);
    ASSERT_TRUE(resolve.has_value());
    EXPECT_EQ(resolve->interfaceIndex, 5U);
    EXPECT_EQ(resolve->regtype, "_http._tcp.");
    EXPECT_EQ(resolve->domain, "local.");
    EXPECT_EQ(resolve->flags, 0U);

    rig.dns.resolveReply(resolve->ref, fullName("Vantrel Desk", kHttpServiceType), kHost, {}, 0, 9);
    const auto lookup = rig.dns.waitForOperation(Kind::AddressLookup, kHost);
    ASSERT_TRUE(lookup.has_value());
    EXPECT_EQ(lookup->interfaceIndex, 9U);
    EXPECT_EQ(lookup->protocol, kDnsSdProtocolIPv4);
    EXPECT_EQ(lookup->flags, 0U);

    // A new index applies from the next start on.
    rig.browser->setInterfaceIndex(4);
    rig.browser->stopDiscovery();
    EXPECT_EQ(rig.dns.operation(rig.start(kHttpServiceType, 1))->interfaceIndex, 4U);
}

TEST(DnsSdBrowserRecords, RestartKeepsRecordsAndReportsOnlyADifferentAddress) {
    Rig rig;
    DnsSdRef browse = rig.start(kHttpServiceType);
    rig.resolveService(browse, "Vantrel Desk", kHttpServiceType, kHost, {});
    rig.answer(rig.lookup(kHost), kHost, "198.18.4.17");
    ASSERT_TRUE(rig.recorder.waitForCount(2));
    rig.browser->stopDiscovery();
    rig.browser->stopDiscovery();  // Idempotent.
    EXPECT_FALSE(rig.browser->isRunning());
    EXPECT_EQ(rig.dns.liveOperations(), 0U);
    EXPECT_EQ(rig.browser->devices().size(), 1U);

    browse = rig.start(kHttpServiceType, 1);
    rig.resolveService(browse, "Vantrel Desk", kHttpServiceType, kHost, {}, 1);
    rig.answer(rig.lookup(kHost, 1), kHost, "198.18.4.17");
    EXPECT_EQ(rig.recorder.reports().size(), 2U);
    rig.resolveService(browse, "Vantrel Desk", kHttpServiceType, kHost, {}, 2);
    rig.answer(rig.lookup(kHost, 2), kHost, "198.18.4.99");
    ASSERT_TRUE(rig.recorder.waitForCount(3));
    EXPECT_EQ(rig.recorder.reports().back().ip, "198.18.4.99");
}

// --- Operations and their sockets ---------------------------------------------------------

TEST(DnsSdBrowserOperations, FreesEachOperationOnceOutsideItsOwnCallback) {
    Rig rig;
    rig.dns.failResolves("Vantrel Refused", kDnsSdErrBadParam, /*returnRef=*/true);
    const DnsSdRef browse = rig.start(kHttpServiceType);

    // Removal announcements start nothing.
    rig.dns.browseReply(browse, 0, "Vantrel Gone");
    ASSERT_TRUE(rig.dns.waitUntilDelivered(browse));
    EXPECT_THAT(rig.dns.operations(Kind::Resolve), IsEmpty());

    // A resolve that could not start is freed at the next cycle.
    const DnsSdRef refused = rig.announce(browse, "Vantrel Refused", kHttpServiceType);
    ASSERT_TRUE(rig.dns.waitUntilDeallocated(refused));

    // A reply with more coming keeps the resolve; the last one retires it.
    const DnsSdRef resolve = rig.announce(browse, "Vantrel Desk", kHttpServiceType);
    rig.dns.resolveReply(resolve, fullName("Vantrel Desk", kHttpServiceType), kHost, {},
                         kDnsSdFlagsMoreComing);
    ASSERT_TRUE(rig.dns.waitUntilDelivered(resolve));
    ASSERT_TRUE(rig.dns.waitForCycles(browse, 3));
    EXPECT_FALSE(rig.dns.operation(resolve)->deallocated);
    rig.dns.resolveReply(resolve, fullName("Vantrel Desk", kHttpServiceType), kHost, {});
    ASSERT_TRUE(rig.dns.waitUntilDeallocated(resolve));

    // A failing resolve is retired; the others go on.
    const DnsSdRef broken = rig.announce(browse, "Vantrel Broken", kHttpServiceType);
    const DnsSdRef healthy = rig.announce(browse, "Vantrel Healthy", kHttpServiceType);
    rig.dns.failProcessing(broken, kDnsSdErrUnknown);
    ASSERT_TRUE(rig.dns.waitUntilDeallocated(broken));
    rig.dns.resolveReply(healthy, fullName("Vantrel Healthy", kHttpServiceType), kOtherHost, {});
    ASSERT_TRUE(rig.recorder.waitForCount(3));

    // Stop frees everything still open exactly once (the fake reports any misuse).
    rig.browser->stopDiscovery();
    EXPECT_EQ(rig.dns.liveOperations(), 0U);
}

TEST(DnsSdBrowserOperations, WatchesAtMost64SocketsACycle) {
    Rig rig;
    const DnsSdRef browse = rig.start(kHttpServiceType);
    std::vector<DnsSdRef> resolves;
    for (int i = 0; i < 70; ++i) {
        resolves.push_back(rig.announce(browse, "Vantrel " + std::to_string(i), kHttpServiceType));
    }
    // The browse socket and the first 63 resolves are watched; the 70th is not.
    rig.dns.resolveReply(resolves[69], fullName("Vantrel 69", kHttpServiceType), kOtherHost, {});
    rig.dns.resolveReply(resolves[62], fullName("Vantrel 62", kHttpServiceType), kHost, {});
    ASSERT_TRUE(rig.dns.waitUntilDelivered(resolves[62]));
    ASSERT_TRUE(rig.dns.waitForCycles(browse, 5));
    EXPECT_EQ(rig.dns.operation(resolves[69])->delivered, 0U);

    // Once enough others have finished, it gets its turn.
    for (int i = 0; i < 10; ++i) {
        rig.dns.resolveReply(resolves[static_cast<std::size_t>(i)],
                             fullName("Vantrel " + std::to_string(i), kHttpServiceType), kHost, {});
    }
    ASSERT_TRUE(rig.dns.waitUntilDelivered(resolves[69]));
    EXPECT_EQ(rig.browser->devices().size(), 2U);
}

TEST(DnsSdBrowserOperations, KeepsPacingWhenNothingHasASocket) {
    Rig rig;
    rig.dns.setWithoutSocket(true);
    const DnsSdRef browse = rig.start(kHttpServiceType);
    ASSERT_TRUE(rig.dns.waitForCycles(browse, 3));
    rig.browser->stopDiscovery();
    EXPECT_EQ(rig.dns.liveOperations(), 0U);
}

// --- Browse attempts ----------------------------------------------------------------------

TEST(DnsSdBrowserAttempts, GivesUpAfterFiveFailedBrowsesAndStaysRunning) {
    Rig rig;
    rig.dns.failBrowses(100, kDnsSdErrBadParam, /*returnRef=*/true);
    rig.browser->startDiscovery(kHttpServiceType);
    ASSERT_TRUE(rig.pause.waitForPauses(5));
    EXPECT_EQ(rig.pause.lastDuration(), std::chrono::milliseconds(1234));
    EXPECT_TRUE(rig.browser->isRunning());
    rig.browser->stopDiscovery();
    EXPECT_EQ(rig.dns.operations(Kind::Browse).size(), 5U);
    EXPECT_EQ(rig.pause.pauses(), 5);
    std::string expected;
    for (int i = 0; i < 5; ++i) {
        expected += "Failed to browse (_http._tcp): -65540\n";
    }
    EXPECT_EQ(rig.errors.str(), expected);
    EXPECT_EQ(rig.dns.liveOperations(), 0U);
    EXPECT_EQ(countLog(rig.logger, kDnsSdUnavailableMessage, "error"), 0U);
}

TEST(DnsSdBrowserAttempts, BrowsesOnAfterAFailedStart) {
    Rig rig;
    rig.dns.failBrowses(2, kDnsSdErrServiceNotRunning);
    rig.browser->startDiscovery(kNetaudioServiceType);
    const DnsSdRef browse = rig.browseRef(2);
    rig.resolveService(browse, "Desk-17", kNetaudioServiceType, kHost, txtRecord({"mf=Vantrel"}));
    ASSERT_TRUE(rig.recorder.waitForCount(1));
    EXPECT_EQ(rig.pause.pauses(), 2);
}

TEST(DnsSdBrowserAttempts, FailedBrowseProcessingReleasesEverythingAndBrowsesAgain) {
    Rig rig;
    const DnsSdRef browse = rig.start(kHttpServiceType);
    rig.resolveService(browse, "Vantrel Desk", kHttpServiceType, kHost, {});
    const DnsSdRef lookup = rig.lookup(kHost);
    const DnsSdRef pendingResolve = rig.announce(browse, "Vantrel Rack", kHttpServiceType);
    rig.dns.failProcessing(browse, kDnsSdErrUnknown);
    const DnsSdRef again = rig.browseRef(1);
    EXPECT_TRUE(rig.dns.operation(browse)->deallocated);
    EXPECT_TRUE(rig.dns.operation(lookup)->deallocated);
    EXPECT_TRUE(rig.dns.operation(pendingResolve)->deallocated);
    EXPECT_EQ(rig.pause.pauses(), 1);

    // The host's lookup ended with the run: the next resolve looks it up again.
    rig.resolveService(again, "Vantrel Desk", kHttpServiceType, kHost, {}, 1);
    EXPECT_TRUE(rig.dns.waitForOperation(Kind::AddressLookup, kHost, 1).has_value());
    EXPECT_EQ(rig.recorder.reports().size(), 2U);
}

TEST(DnsSdBrowserAttempts, StopDuringTheRetryPauseReturnsOnlyAfterThePause) {
    Rig rig;
    rig.dns.failBrowses(1, kDnsSdErrServiceNotRunning);
    rig.pause.gate(true);
    rig.browser->startDiscovery(kHttpServiceType);
    ASSERT_TRUE(rig.pause.waitForPauses(1));

    auto stopped = std::async(std::launch::async, [&] { rig.browser->stopDiscovery(); });
    EXPECT_EQ(stopped.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    EXPECT_FALSE(rig.browser->isRunning());
    rig.pause.gate(false);
    ASSERT_EQ(stopped.wait_for(test::kFakeDeadline), std::future_status::ready);
    stopped.get();
    // Running was cleared during the pause: no further attempt.
    EXPECT_EQ(rig.dns.operations(Kind::Browse).size(), 1U);
}

// --- The missing DNS-SD service ---------------------------------------------------------

TEST(DnsSdBrowserServiceMissing, LogsOncePerStartOfDiscoveryForBothBrowsers) {
    FakeDnsSd dns;
    DnsSdUnavailableNotice notice;
    Logger logger;
    Rig http(nullptr, &dns, &notice, &logger);
    Rig netaudio(nullptr, &dns, &notice, &logger);
    dns.failBrowses(1000, kDnsSdErrServiceNotRunning);

    for (int start = 1; start <= 2; ++start) {
        SCOPED_TRACE(start);
        http.browser->startDiscovery(kHttpServiceType);
        netaudio.browser->startDiscovery(kNetaudioServiceType);
        ASSERT_TRUE(http.pause.waitForPauses(5 * start));
        ASSERT_TRUE(netaudio.pause.waitForPauses(5 * start));
        EXPECT_EQ(countLog(logger, kDnsSdUnavailableMessage, "error"),
                  static_cast<std::size_t>(start));
        http.browser->stopDiscovery();
        netaudio.browser->stopDiscovery();
    }
    EXPECT_THAT(http.errors.str(), ::testing::HasSubstr("Failed to browse (_http._tcp): -65563\n"));
    EXPECT_THAT(netaudio.errors.str(),
                ::testing::HasSubstr("Failed to browse (_netaudio-cmc._udp): -65563\n"));

    // Restarting one browser while the other runs is no new start of discovery.
    netaudio.browser->startDiscovery(kNetaudioServiceType);
    ASSERT_TRUE(netaudio.pause.waitForPauses(11));
    http.browser->startDiscovery(kHttpServiceType);
    ASSERT_TRUE(http.pause.waitForPauses(11));
    EXPECT_EQ(countLog(logger, kDnsSdUnavailableMessage, "error"), 3U);
}

TEST(DnsSdBrowserServiceMissing, LogsWhenTheServiceGoesAwayWhileBrowsing) {
    Rig rig;
    DnsSdRef browse = rig.start(kHttpServiceType);
    rig.dns.failProcessing(browse, kDnsSdErrServiceNotRunning);
    browse = rig.browseRef(1);
    rig.dns.failProcessing(browse, kDnsSdErrServiceNotRunning);
    browse = rig.browseRef(2);
    EXPECT_EQ(countLog(rig.logger, kDnsSdUnavailableMessage, "error"), 1U);

    // Back again: the third browse works.
    rig.resolveService(browse, "Vantrel Desk", kHttpServiceType, kHost, {});
    ASSERT_TRUE(rig.recorder.waitForCount(1));
    rig.browser->stopDiscovery();
    EXPECT_EQ(rig.errors.str(), "");  // The browse itself never failed to start.
}

TEST(DnsSdBrowserServiceMissing, OtherFailuresAreNotReportedAsAMissingService) {
    Rig rig;
    rig.dns.failBrowses(1, kDnsSdErrUnknown);
    rig.browser->startDiscovery(kHttpServiceType);
    const DnsSdRef browse = rig.browseRef(1);
    rig.dns.failProcessing(browse, kDnsSdErrBadParam);
    rig.browseRef(2);
    EXPECT_EQ(countLog(rig.logger, kDnsSdUnavailableMessage, "error"), 0U);
}

// --- Threads and callbacks ----------------------------------------------------------------

TEST(DnsSdBrowserCallback, RunsOnTheDiscoveryThreadOutsideEveryLock) {
    Rig rig;
    std::vector<std::thread::id> threads;
    std::size_t devicesSeen = 0;
    rig.recorder.setHook([&](const DiscoveredDevice& report) {
        threads.push_back(std::this_thread::get_id());
        // Each of these takes a lock the engine uses; under one of them this would deadlock.
        devicesSeen = rig.browser->devices().size();
        rig.browser->setInterfaceIndex(rig.browser->interfaceIndex());
        EXPECT_TRUE(rig.trust.find(report.hostname).has_value());
        EXPECT_EQ(rig.browser->serviceType(), kHttpServiceType);
    });
    const DnsSdRef browse = rig.start(kHttpServiceType);
    rig.resolveService(browse, "Vantrel Desk", kHttpServiceType, kHost, {});
    rig.answer(rig.lookup(kHost), kHost, "198.18.4.17");
    ASSERT_TRUE(rig.recorder.waitForCount(2));
    rig.browser->stopDiscovery();
    EXPECT_EQ(devicesSeen, 1U);
    ASSERT_EQ(threads.size(), 2U);
    EXPECT_EQ(threads[0], threads[1]);
    EXPECT_NE(threads[0], std::this_thread::get_id());
}

TEST(DnsSdBrowserCallback, AFailingCallbackIsLoggedAndDiscoveryGoesOn) {
    Rig rig;
    std::atomic<int> calls{0};
    rig.recorder.setHook([&](const DiscoveredDevice&) {
        if (calls++ == 0) {
            throw std::runtime_error("registry refused");
        }
        // Stopping from the discovery thread itself cannot join: refused.
        EXPECT_THROW(rig.browser->stopDiscovery(), std::system_error);
    });
    const DnsSdRef browse = rig.start(kHttpServiceType);
    rig.resolveService(browse, "Vantrel Desk", kHttpServiceType, kHost, {});
    rig.resolveService(browse, "Vantrel Rack", kHttpServiceType, kOtherHost, {});
    ASSERT_TRUE(rig.recorder.waitForCount(1));
    EXPECT_TRUE(rig.browser->isRunning());
    EXPECT_TRUE(logContains(rig.logger, "Discovery callback failed: registry refused", "error"));
}

TEST(DnsSdBrowserLifecycle, StartWhileRunningAndStopWhenIdleDoNothing) {
    Rig rig;
    rig.browser->stopDiscovery();
    EXPECT_EQ(rig.browser->serviceType(), "");
    rig.start(kHttpServiceType);
    rig.browser->startDiscovery(kNetaudioServiceType);
    EXPECT_EQ(rig.browser->serviceType(), kHttpServiceType);
    EXPECT_TRUE(rig.browser->isRunning());
    rig.browser->stopDiscovery();
    EXPECT_EQ(rig.dns.operations(Kind::Browse).size(), 1U);
    EXPECT_FALSE(rig.browser->isRunning());
    EXPECT_EQ(rig.browser->serviceType(), kHttpServiceType);  // Kept for a restart.
}

}  // namespace
}  // namespace pellan
