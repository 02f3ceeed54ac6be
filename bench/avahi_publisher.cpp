// discovery-avahi-publisher: announces many test devices from one process, for the discovery
// benchmark. Runs in the devices' namespace with that side's bus (netns-avahi.sh exec NAME
// dev ...). Each device is one entry group: a "_http._tcp" service "PREFIX N" on host
// "PREFIX-N.local" with TXT "vendor_id=true" and "dnt_name=PREFIX-N", plus the host's A record.
// One line per device on stdout once its group is established (its announcement went out):
//   established N SECONDS.NANOSECONDS   (CLOCK_MONOTONIC, the clock of the browsing process)
// Ends on SIGTERM or SIGINT, withdrawing everything.
//
// Usage: discovery-avahi-publisher --count N [--prefix P] [--interval-ms M] [--first-address A]

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/error.h>
#include <avahi-common/simple-watch.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace {

struct Device {
    int index = 0;
    AvahiEntryGroup* group = nullptr;
    bool reported = false;
};

struct Publisher {
    AvahiClient* client = nullptr;
    AvahiSimplePoll* poll = nullptr;
    std::string prefix = "bench";
    int count = 0;
    long intervalMs = 0;
    std::uint32_t firstAddress = 0;  // Host order.
    std::vector<Device> devices;
    int published = 0;
    int failures = 0;
};

volatile std::sig_atomic_t stopRequested = 0;

void onSignal(int) {
    stopRequested = 1;
}

void printNow(const char* what, int index) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::printf("%s %d %lld.%09ld\n", what, index, static_cast<long long>(now.tv_sec), now.tv_nsec);
    std::fflush(stdout);
}

void onGroup(AvahiEntryGroup*, AvahiEntryGroupState state, void* userdata) {
    auto* device = static_cast<Device*>(userdata);
    if (state == AVAHI_ENTRY_GROUP_ESTABLISHED && !device->reported) {
        device->reported = true;
        printNow("established", device->index);
    } else if (state == AVAHI_ENTRY_GROUP_COLLISION || state == AVAHI_ENTRY_GROUP_FAILURE) {
        printNow("failed", device->index);
    }
}

bool publishOne(Publisher& publisher, Device& device) {
    const std::string name = publisher.prefix + " " + std::to_string(device.index);
    const std::string host = publisher.prefix + "-" + std::to_string(device.index) + ".local";
    const std::string dntName = "dnt_name=" + publisher.prefix + "-" + std::to_string(device.index);
    AvahiAddress address{};
    address.proto = AVAHI_PROTO_INET;
    address.data.ipv4.address =
        htonl(publisher.firstAddress + static_cast<std::uint32_t>(device.index));
    device.group = avahi_entry_group_new(publisher.client, &onGroup, &device);
    if (device.group == nullptr ||
        avahi_entry_group_add_address(device.group, AVAHI_IF_UNSPEC, AVAHI_PROTO_INET,
                                      AVAHI_PUBLISH_NO_REVERSE, host.c_str(), &address) < 0 ||
        avahi_entry_group_add_service(device.group, AVAHI_IF_UNSPEC, AVAHI_PROTO_INET,
                                      static_cast<AvahiPublishFlags>(0), name.c_str(), "_http._tcp",
                                      nullptr, host.c_str(), 80, "vendor_id=true", dntName.c_str(),
                                      nullptr) < 0 ||
        avahi_entry_group_commit(device.group) < 0) {
        std::fprintf(stderr, "device %d: %s\n", device.index,
                     avahi_strerror(avahi_client_errno(publisher.client)));
        ++publisher.failures;
        return false;
    }
    return true;
}

void onClient(AvahiClient* client, AvahiClientState state, void* userdata) {
    auto* publisher = static_cast<Publisher*>(userdata);
    publisher->client = client;
    if (state == AVAHI_CLIENT_FAILURE) {
        std::fprintf(stderr, "client failure: %s\n", avahi_strerror(avahi_client_errno(client)));
        avahi_simple_poll_quit(publisher->poll);
    }
}

bool parseArgs(int argc, char** argv, Publisher& publisher) {
    std::string first = "198.18.2.1";
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const std::string value = argv[i + 1];
        if (option == "--count") {
            publisher.count = std::atoi(value.c_str());
        } else if (option == "--prefix") {
            publisher.prefix = value;
        } else if (option == "--interval-ms") {
            publisher.intervalMs = std::atol(value.c_str());
        } else if (option == "--first-address") {
            first = value;
        } else {
            return false;
        }
    }
    in_addr parsed{};
    if (inet_pton(AF_INET, first.c_str(), &parsed) != 1 || publisher.count < 1 ||
        publisher.count > 5000 || publisher.intervalMs < 0) {
        return false;
    }
    publisher.firstAddress = ntohl(parsed.s_addr);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Publisher publisher;
    if (!parseArgs(argc, argv, publisher)) {
        std::fprintf(stderr, "usage: discovery-avahi-publisher --count N [--prefix P] "
                             "[--interval-ms M] [--first-address A]\n");
        return 2;
    }
    std::signal(SIGTERM, &onSignal);
    std::signal(SIGINT, &onSignal);
    publisher.poll = avahi_simple_poll_new();
    int error = 0;
    publisher.client =
        avahi_client_new(avahi_simple_poll_get(publisher.poll), static_cast<AvahiClientFlags>(0),
                         &onClient, &publisher, &error);
    if (publisher.client == nullptr) {
        std::fprintf(stderr, "no avahi client: %s\n", avahi_strerror(error));
        return 1;
    }
    publisher.devices.resize(static_cast<std::size_t>(publisher.count));
    for (int i = 0; i < publisher.count; ++i) {
        publisher.devices[static_cast<std::size_t>(i)].index = i;
    }
    timespec next{};
    clock_gettime(CLOCK_MONOTONIC, &next);
    while (stopRequested == 0) {
        // With an interval, one device per interval; without, all at once.
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        while (publisher.published < publisher.count &&
               (publisher.intervalMs == 0 || now.tv_sec > next.tv_sec ||
                (now.tv_sec == next.tv_sec && now.tv_nsec >= next.tv_nsec))) {
            publishOne(publisher, publisher.devices[static_cast<std::size_t>(publisher.published)]);
            ++publisher.published;
            next.tv_nsec += publisher.intervalMs * 1'000'000L;
            next.tv_sec += next.tv_nsec / 1'000'000'000L;
            next.tv_nsec %= 1'000'000'000L;
        }
        if (avahi_simple_poll_iterate(publisher.poll, 10) != 0) {
            break;
        }
    }
    for (Device& device : publisher.devices) {
        if (device.group != nullptr) {
            avahi_entry_group_free(device.group);
        }
    }
    avahi_client_free(publisher.client);
    avahi_simple_poll_free(publisher.poll);
    return publisher.failures == 0 ? 0 : 1;
}
