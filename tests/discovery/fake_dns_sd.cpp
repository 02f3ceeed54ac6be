#include "discovery/fake_dns_sd.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

namespace pellan::test {

std::vector<unsigned char> txtRecord(const std::vector<std::string>& strings) {
    std::vector<unsigned char> record;
    for (const std::string& text : strings) {
        record.push_back(static_cast<unsigned char>(text.size()));
        record.insert(record.end(), text.begin(), text.end());
    }
    return record;
}

FakeDnsSd::~FakeDnsSd() {
    for (const auto& op : ops_) {
        if (op->readFd >= 0) {
            ::close(op->readFd);
            ::close(op->writeFd);
        }
    }
}

void FakeDnsSd::failBrowses(int count, DnsSdError error, bool returnRef) {
    const std::lock_guard lock(mutex_);
    browseFailures_[""] = Failure{count, error, returnRef};
}

void FakeDnsSd::failResolves(const std::string& instance, DnsSdError error, bool returnRef) {
    const std::lock_guard lock(mutex_);
    resolveFailures_[instance] = Failure{1 << 20, error, returnRef};
}

void FakeDnsSd::failLookups(const std::string& host, DnsSdError error, bool returnRef) {
    const std::lock_guard lock(mutex_);
    lookupFailures_[host] = Failure{1 << 20, error, returnRef};
}

void FakeDnsSd::setWithoutSocket(bool withoutSocket) {
    const std::lock_guard lock(mutex_);
    withoutSocket_ = withoutSocket;
}

std::optional<FakeDnsSd::Failure> FakeDnsSd::takeFailure(std::map<std::string, Failure>& failures,
                                                         const std::string& name) {
    for (const std::string& key : {name, std::string()}) {
        const auto it = failures.find(key);
        if (it != failures.end() && it->second.count > 0) {
            --it->second.count;
            return it->second;
        }
    }
    return std::nullopt;
}

FakeDnsSd::Op* FakeDnsSd::create(Kind kind, std::uint32_t interfaceIndex, DnsSdFlags flags,
                                 std::string name, void* context) {
    auto op = std::make_unique<Op>();
    op->info.ref = op.get();
    op->info.kind = kind;
    op->info.interfaceIndex = interfaceIndex;
    op->info.flags = flags;
    op->info.name = std::move(name);
    op->context = context;
    if (!withoutSocket_) {
        int fds[2] = {-1, -1};
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) == 0) {
            op->readFd = fds[0];
            op->writeFd = fds[1];
        } else {
            misuse_.push_back("socketpair failed");
        }
    }
    ops_.push_back(std::move(op));
    changed_.notify_all();
    return ops_.back().get();
}

FakeDnsSd::Op* FakeDnsSd::find(DnsSdRef ref, const char* use) {
    for (const auto& op : ops_) {
        if (op.get() == ref) {
            if (op->info.deallocated) {
                misuse_.push_back(std::string(use) + " after deallocation");
                return nullptr;
            }
            return op.get();
        }
    }
    misuse_.push_back(std::string(use) + " of an unknown reference");
    return nullptr;
}

DnsSdError FakeDnsSd::browse(DnsSdRef* ref, DnsSdFlags flags, std::uint32_t interfaceIndex,
                             const char* regtype, const char* domain, DnsSdBrowseReply callback,
                             void* context) {
    const std::lock_guard lock(mutex_);
    *ref = nullptr;
    if (regtype == nullptr || callback == nullptr) {
        misuse_.push_back("browse without type or callback");
        return kDnsSdErrBadParam;
    }
    const auto failure = takeFailure(browseFailures_, "");
    Op* op = create(Kind::Browse, interfaceIndex, flags, regtype, context);
    op->info.domain = domain != nullptr ? domain : "";
    op->browseCallback = callback;
    if (failure) {
        if (failure->returnRef) {
            *ref = op;
        } else {
            op->info.deallocated = true;
        }
        return failure->error;
    }
    *ref = op;
    return kDnsSdErrNoError;
}

DnsSdError FakeDnsSd::resolve(DnsSdRef* ref, DnsSdFlags flags, std::uint32_t interfaceIndex,
                              const char* name, const char* regtype, const char* domain,
                              DnsSdResolveReply callback, void* context) {
    const std::lock_guard lock(mutex_);
    *ref = nullptr;
    if (name == nullptr || regtype == nullptr || domain == nullptr || callback == nullptr) {
        misuse_.push_back("resolve without name, type, domain or callback");
        return kDnsSdErrBadParam;
    }
    const auto failure = takeFailure(resolveFailures_, name);
    Op* op = create(Kind::Resolve, interfaceIndex, flags, name, context);
    op->info.regtype = regtype;
    op->info.domain = domain;
    op->resolveCallback = callback;
    if (failure) {
        if (failure->returnRef) {
            *ref = op;
        } else {
            op->info.deallocated = true;
        }
        return failure->error;
    }
    *ref = op;
    return kDnsSdErrNoError;
}

DnsSdError FakeDnsSd::getAddrInfo(DnsSdRef* ref, DnsSdFlags flags, std::uint32_t interfaceIndex,
                                  std::uint32_t protocol, const char* hostname,
                                  DnsSdAddressReply callback, void* context) {
    const std::lock_guard lock(mutex_);
    *ref = nullptr;
    if (hostname == nullptr || callback == nullptr) {
        misuse_.push_back("address lookup without host or callback");
        return kDnsSdErrBadParam;
    }
    const auto failure = takeFailure(lookupFailures_, hostname);
    Op* op = create(Kind::AddressLookup, interfaceIndex, flags, hostname, context);
    op->info.protocol = protocol;
    op->addressCallback = callback;
    if (failure) {
        if (failure->returnRef) {
            *ref = op;
        } else {
            op->info.deallocated = true;
        }
        return failure->error;
    }
    *ref = op;
    return kDnsSdErrNoError;
}

int FakeDnsSd::refSockFd(DnsSdRef ref) {
    const std::lock_guard lock(mutex_);
    Op* op = find(ref, "refSockFd");
    if (op == nullptr) {
        return -1;
    }
    ++op->socketQueries;
    changed_.notify_all();
    return op->readFd;
}

DnsSdError FakeDnsSd::processResult(DnsSdRef ref) {
    Reply reply;
    {
        const std::lock_guard lock(mutex_);
        Op* op = find(ref, "processResult");
        if (op == nullptr) {
            return kDnsSdErrBadParam;
        }
        unsigned char byte = 0;
        if (op->readFd < 0 || ::read(op->readFd, &byte, 1) != 1 || op->replies.empty()) {
            misuse_.push_back("processResult with no reply pending");
            return kDnsSdErrNoError;
        }
        reply = std::move(op->replies.front());
        op->replies.pop_front();
        if (reply.failure != kDnsSdErrNoError) {
            ++op->info.delivered;
            changed_.notify_all();
            return reply.failure;
        }
        inCallback_ = ref;
        callbackThread_ = std::this_thread::get_id();
    }
    reply.deliver(ref);
    const std::lock_guard lock(mutex_);
    inCallback_ = nullptr;
    for (const auto& op : ops_) {
        if (op.get() == ref) {
            ++op->info.delivered;
        }
    }
    changed_.notify_all();
    return kDnsSdErrNoError;
}

void FakeDnsSd::refDeallocate(DnsSdRef ref) {
    const std::lock_guard lock(mutex_);
    Op* op = find(ref, "refDeallocate");
    if (op == nullptr) {
        return;
    }
    if (inCallback_ == ref && callbackThread_ == std::this_thread::get_id()) {
        misuse_.push_back("refDeallocate inside the reference's own callback");
    }
    op->info.deallocated = true;
    changed_.notify_all();
}

void FakeDnsSd::queue(DnsSdRef ref, Reply reply) {
    const std::lock_guard lock(mutex_);
    for (const auto& op : ops_) {
        if (op.get() != ref) {
            continue;
        }
        op->replies.push_back(std::move(reply));
        const unsigned char byte = 1;
        if (op->writeFd < 0 || ::write(op->writeFd, &byte, 1) != 1) {
            misuse_.push_back("reply queued on an operation without socket");
        }
        return;
    }
    misuse_.push_back("reply queued on an unknown reference");
}

void FakeDnsSd::browseReply(DnsSdRef ref, DnsSdFlags flags, const std::string& instance,
                            const std::string& regtype, const std::string& domain,
                            std::uint32_t interfaceIndex, DnsSdError error) {
    queue(ref, Reply{[=, this](DnsSdRef self) {
                         DnsSdBrowseReply callback = nullptr;
                         void* context = nullptr;
                         {
                             const std::lock_guard lock(mutex_);
                             auto* op = static_cast<Op*>(self);
                             callback = op->browseCallback;
                             context = op->context;
                         }
                         callback(self, flags, interfaceIndex, error, instance.c_str(),
                                  regtype.c_str(), domain.c_str(), context);
                     },
                     kDnsSdErrNoError});
}

void FakeDnsSd::resolveReply(DnsSdRef ref, const std::string& fullName, const std::string& host,
                             const std::vector<unsigned char>& txt, DnsSdFlags flags,
                             std::uint32_t interfaceIndex, DnsSdError error) {
    queue(ref, Reply{[=, this](DnsSdRef self) {
                         DnsSdResolveReply callback = nullptr;
                         void* context = nullptr;
                         {
                             const std::lock_guard lock(mutex_);
                             auto* op = static_cast<Op*>(self);
                             callback = op->resolveCallback;
                             context = op->context;
                         }
                         callback(self, flags, interfaceIndex, error, fullName.c_str(),
                                  host.c_str(), htons(80), static_cast<std::uint16_t>(txt.size()),
                                  txt.data(), context);
                     },
                     kDnsSdErrNoError});
}

void FakeDnsSd::addressReply(DnsSdRef ref, const std::string& host, const std::string& ipv4,
                             DnsSdFlags flags, DnsSdError error) {
    queue(ref, Reply{[=, this](DnsSdRef self) {
                         DnsSdAddressReply callback = nullptr;
                         void* context = nullptr;
                         {
                             const std::lock_guard lock(mutex_);
                             auto* op = static_cast<Op*>(self);
                             callback = op->addressCallback;
                             context = op->context;
                         }
                         sockaddr_in v4{};
                         sockaddr_in6 v6{};
                         const sockaddr* address = nullptr;
                         if (error != kDnsSdErrNoError) {
                             address = nullptr;
                         } else if (!ipv4.empty()) {
                             v4.sin_family = AF_INET;
                             ::inet_pton(AF_INET, ipv4.c_str(), &v4.sin_addr);
                             address = reinterpret_cast<const sockaddr*>(&v4);
                         } else {
                             v6.sin6_family = AF_INET6;
                             address = reinterpret_cast<const sockaddr*>(&v6);
                         }
                         callback(self, flags, 7, error, host.c_str(), address, 120, context);
                     },
                     kDnsSdErrNoError});
}

void FakeDnsSd::failProcessing(DnsSdRef ref, DnsSdError error) {
    queue(ref, Reply{{}, error});
}

void FakeDnsSd::queueAction(DnsSdRef ref, std::function<void()> action) {
    queue(ref, Reply{[action = std::move(action)](DnsSdRef) { action(); }, kDnsSdErrNoError});
}

std::optional<FakeDnsSd::Operation> FakeDnsSd::waitForOperation(Kind kind, const std::string& name,
                                                                std::size_t occurrence,
                                                                std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    std::optional<Operation> found;
    changed_.wait_for(lock, timeout, [&] {
        std::size_t seen = 0;
        for (const auto& op : ops_) {
            if (op->info.kind == kind && (name.empty() || op->info.name == name) &&
                seen++ == occurrence) {
                found = op->info;
                found->queued = op->replies.size();
                return true;
            }
        }
        return false;
    });
    return found;
}

std::vector<FakeDnsSd::Operation> FakeDnsSd::operations(Kind kind, const std::string& name) const {
    const std::lock_guard lock(mutex_);
    std::vector<Operation> result;
    for (const auto& op : ops_) {
        if (op->info.kind == kind && (name.empty() || op->info.name == name)) {
            result.push_back(op->info);
            result.back().queued = op->replies.size();
        }
    }
    return result;
}

std::optional<FakeDnsSd::Operation> FakeDnsSd::operation(DnsSdRef ref) const {
    const std::lock_guard lock(mutex_);
    for (const auto& op : ops_) {
        if (op.get() == ref) {
            Operation info = op->info;
            info.queued = op->replies.size();
            return info;
        }
    }
    return std::nullopt;
}

std::size_t FakeDnsSd::liveOperations() const {
    const std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(
        ops_.begin(), ops_.end(), [](const auto& op) { return !op->info.deallocated; }));
}

std::vector<std::string> FakeDnsSd::misuse() const {
    const std::lock_guard lock(mutex_);
    return misuse_;
}

bool FakeDnsSd::waitUntilDelivered(DnsSdRef ref, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        for (const auto& op : ops_) {
            if (op.get() == ref) {
                return op->replies.empty() && inCallback_ != ref;
            }
        }
        return false;
    });
}

bool FakeDnsSd::waitUntilDeallocated(DnsSdRef ref, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        for (const auto& op : ops_) {
            if (op.get() == ref) {
                return op->info.deallocated;
            }
        }
        return false;
    });
}

bool FakeDnsSd::waitForCycles(DnsSdRef ref, std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    const auto queries = [&]() -> std::size_t {
        for (const auto& op : ops_) {
            if (op.get() == ref) {
                return op->socketQueries;
            }
        }
        return 0;
    };
    const std::size_t target = queries() + count;
    return changed_.wait_for(lock, timeout, [&] { return queries() >= target; });
}

DeviceChangedCallback ReportRecorder::callback() {
    return [this](const DiscoveredDevice& record, bool flag) {
        std::function<void(const DiscoveredDevice&)> hook;
        {
            const std::lock_guard lock(mutex_);
            hook = hook_;
        }
        if (hook) {
            hook(record);
        }
        const std::lock_guard lock(mutex_);
        reports_.push_back(record);
        flags_.push_back(flag);
        changed_.notify_all();
    };
}

bool ReportRecorder::waitForCount(std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return reports_.size() >= count; });
}

std::optional<DiscoveredDevice>
ReportRecorder::waitFor(const std::function<bool(const DiscoveredDevice&)>& predicate,
                        std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    std::optional<DiscoveredDevice> found;
    changed_.wait_for(lock, timeout, [&] {
        for (const DiscoveredDevice& report : reports_) {
            if (predicate(report)) {
                found = report;
                return true;
            }
        }
        return false;
    });
    return found;
}

std::vector<DiscoveredDevice> ReportRecorder::reports() const {
    const std::lock_guard lock(mutex_);
    return reports_;
}

std::vector<bool> ReportRecorder::flags() const {
    const std::lock_guard lock(mutex_);
    return flags_;
}

void ReportRecorder::setHook(std::function<void(const DiscoveredDevice&)> hook) {
    const std::lock_guard lock(mutex_);
    hook_ = std::move(hook);
}

}  // namespace pellan::test
