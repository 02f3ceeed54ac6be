#include "simulators/ember_provider_sim.hpp"

#include "base/ipv4.hpp"
#include "ember/ember_vgpio_client.hpp"
#include "ember_codec/ber.hpp"
#include "ember_codec/ber_reader.hpp"
#include "ember_codec/glow_types.hpp"
#include "ember_codec/s101.hpp"
#include "ember_codec/s101_decoder.hpp"
#include "platform/thread_name.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <exception>
#include <memory>
#include <utility>

namespace pellan {

namespace {

using Bytes = std::vector<std::uint8_t>;
using ember::ber::Tag;

constexpr std::size_t kMaxConnections = 32;
constexpr std::size_t kMaxOutbox = 1 << 20;
constexpr std::size_t kMaxRecorded = 100'000;
constexpr std::size_t kReceiveChunk = 4096;
constexpr std::size_t kFrameBuffer = 65536;
constexpr int kPollSliceMs = 1000;

constexpr std::int64_t kCommandGetDirectory = 32;
constexpr std::int32_t kParameterTypeInteger = 1;
constexpr std::int32_t kParameterTypeString = 3;
constexpr std::int32_t kParameterTypeBoolean = 4;
constexpr std::int32_t kAccessRead = 1;
constexpr std::int32_t kAccessReadWrite = 3;

constexpr Tag universalTag(std::uint32_t number, bool constructed = false) {
    return {ember::ber::kClassUniversal, constructed, number};
}

bool isApplication(const Tag& tag, GlowType type) {
    return tag.tagClass == ember::ber::kClassApplication &&
           tag.number == static_cast<std::uint32_t>(type);
}

bool isContext(const Tag& tag, std::uint32_t number) {
    return tag.tagClass == ember::ber::kClassContext && tag.number == number;
}

template <typename T> void keepNewest(std::vector<T>& list) {
    if (list.size() > kMaxRecorded) {
        list.erase(list.begin(), list.begin() + static_cast<std::ptrdiff_t>(list.size() / 2));
    }
}

bool startsWith(const std::vector<std::int32_t>& path, const std::vector<std::int32_t>& prefix) {
    return prefix.size() <= path.size() && std::equal(prefix.begin(), prefix.end(), path.begin());
}

// --- Answers ---------------------------------------------------------------------------

/// BER of Glow elements, definite or indefinite, as a provider writes them.
class Encoder {
public:
    explicit Encoder(bool indefinite) : indefinite_(indefinite) {}

    Bytes wrap(const Tag& tag, const Bytes& content) const {
        Bytes out = tagBytes(tag);
        if (indefinite_) {
            out.push_back(ember::ber::kIndefiniteLength);
            out.insert(out.end(), content.begin(), content.end());
            out.push_back(0);
            out.push_back(0);
            return out;
        }
        appendLength(out, content.size());
        out.insert(out.end(), content.begin(), content.end());
        return out;
    }
    static Bytes primitive(const Tag& tag, const Bytes& content) {
        Bytes out = tagBytes(tag);
        appendLength(out, content.size());
        out.insert(out.end(), content.begin(), content.end());
        return out;
    }
    Bytes field(std::uint32_t context, const Bytes& value) const {
        return wrap(ember::ber::contextTag(context), value);
    }
    Bytes container(const Tag& outer, const Tag& inner, const Bytes& items) const {
        return wrap(outer, wrap(inner, items));
    }

    static Bytes integer(std::int64_t value) {
        std::uint8_t buffer[16];
        const std::size_t size = ember::ber::encodeInteger(value, buffer);
        return primitive(universalTag(ember::ber::kTypeInteger), Bytes(buffer, buffer + size));
    }
    static Bytes boolean(bool value) {
        return primitive(universalTag(ember::ber::kTypeBoolean),
                         {value ? std::uint8_t{0xFF} : std::uint8_t{0x00}});
    }
    static Bytes utf8(const std::string& text) {
        return primitive(universalTag(ember::ber::kTypeUtf8String),
                         Bytes(text.begin(), text.end()));
    }
    static Bytes relativeOid(const std::vector<std::int32_t>& path) {
        Bytes content;
        for (const std::int32_t number : path) {
            std::uint8_t buffer[16];
            const std::size_t size =
                ember::ber::encodeOidNumber(static_cast<std::uint32_t>(number), buffer);
            content.insert(content.end(), buffer, buffer + size);
        }
        return primitive(universalTag(ember::ber::kTypeRelativeOid), content);
    }

private:
    static Bytes tagBytes(const Tag& tag) {
        std::uint8_t buffer[16];
        const std::size_t size = ember::ber::encodeTag(tag, buffer);
        return Bytes(buffer, buffer + size);
    }
    static void appendLength(Bytes& out, std::size_t length) {
        std::uint8_t buffer[16];
        const std::size_t size = ember::ber::encodeLength(length, buffer);
        out.insert(out.end(), buffer, buffer + size);
    }

    bool indefinite_;
};

void append(Bytes& out, const Bytes& more) {
    out.insert(out.end(), more.begin(), more.end());
}

Bytes valueField(const Encoder& e, const EmberSimValue& value) {
    if (const auto* number = std::get_if<std::int64_t>(&value)) {
        return e.field(2, Encoder::integer(*number));
    }
    if (const auto* flag = std::get_if<bool>(&value)) {
        return e.field(2, Encoder::boolean(*flag));
    }
    return e.field(2, Encoder::utf8(std::get<std::string>(value)));
}

/// Every content a provider gives a parameter when asked for its directory.
Bytes fullContents(const Encoder& e, const EmberSimParameter& parameter) {
    Bytes items;
    append(items, e.field(0, Encoder::utf8(parameter.identifier)));
    append(items, e.field(1, Encoder::utf8("simulated " + parameter.identifier)));
    append(items, valueField(e, parameter.value));
    std::int32_t type = kParameterTypeString;
    if (std::holds_alternative<std::int64_t>(parameter.value)) {
        append(items, e.field(3, Encoder::integer(0)));
        append(items, e.field(4, Encoder::integer(255)));
        type = kParameterTypeInteger;
    } else if (std::holds_alternative<bool>(parameter.value)) {
        type = kParameterTypeBoolean;
    }
    append(items,
           e.field(5, Encoder::integer(parameter.writable ? kAccessReadWrite : kAccessRead)));
    append(items, e.field(9, Encoder::boolean(true)));
    append(items, e.field(13, Encoder::integer(type)));
    return e.container(ember::ber::contextTag(1), universalTag(ember::ber::kTypeSet, true), items);
}

Bytes emptyChildren(const Encoder& e) {
    return e.container(
        ember::ber::contextTag(2),
        ember::ber::applicationTag(static_cast<std::uint32_t>(GlowType::ElementCollection)), {});
}

Bytes element(const Encoder& e, GlowType type, const Bytes& items) {
    return e.container(ember::ber::contextTag(0),
                       ember::ber::applicationTag(static_cast<std::uint32_t>(type)), items);
}

Bytes qualifiedParameter(const Encoder& e, const EmberSimParameter& parameter, bool children) {
    Bytes items = e.field(0, Encoder::relativeOid(parameter.path));
    append(items, fullContents(e, parameter));
    if (children) {
        append(items, emptyChildren(e));
    }
    return element(e, GlowType::QualifiedParameter, items);
}

Bytes nestedParameter(const Encoder& e, const EmberSimParameter& parameter) {
    Bytes items = e.field(0, Encoder::integer(parameter.path.back()));
    append(items, fullContents(e, parameter));
    return element(e, GlowType::Parameter, items);
}

Bytes nestedNode(const Encoder& e, std::int32_t number, const Bytes& children) {
    Bytes items = e.field(0, Encoder::integer(number));
    const Bytes identifier = e.field(0, Encoder::utf8("node" + std::to_string(number)));
    append(items, e.container(ember::ber::contextTag(1), universalTag(ember::ber::kTypeSet, true),
                              identifier));
    append(items, e.container(ember::ber::contextTag(2),
                              ember::ber::applicationTag(
                                  static_cast<std::uint32_t>(GlowType::ElementCollection)),
                              children));
    return element(e, GlowType::Node, items);
}

/// The root elements of a nested answer: one subtree, nodes shared by their parameters.
Bytes nestedTree(const Encoder& e, std::vector<EmberSimParameter> parameters) {
    std::sort(
        parameters.begin(), parameters.end(),
        [](const EmberSimParameter& a, const EmberSimParameter& b) { return a.path < b.path; });
    struct Open {
        std::int32_t number;
        Bytes children;
    };
    std::vector<Open> open;
    Bytes rootItems;
    const auto closeTop = [&] {
        Open top = std::move(open.back());
        open.pop_back();
        append(open.empty() ? rootItems : open.back().children,
               nestedNode(e, top.number, top.children));
    };
    for (const EmberSimParameter& parameter : parameters) {
        if (parameter.path.empty()) {
            continue;
        }
        const std::size_t nodes = parameter.path.size() - 1;
        std::size_t common = 0;
        while (common < open.size() && common < nodes &&
               open[common].number == parameter.path[common]) {
            ++common;
        }
        while (open.size() > common) {
            closeTop();
        }
        for (std::size_t depth = open.size(); depth < nodes; ++depth) {
            open.push_back({parameter.path[depth], {}});
        }
        append(open.empty() ? rootItems : open.back().children, nestedParameter(e, parameter));
    }
    while (!open.empty()) {
        closeTop();
    }
    return rootItems;
}

Bytes answerBer(const EmberProviderSimOptions& options,
                const std::vector<EmberSimParameter>& parameters) {
    const Encoder e(options.indefiniteLengths);
    Bytes elements;
    if (options.style == EmberAnswerStyle::Nested) {
        elements = nestedTree(e, parameters);
    } else {
        for (const EmberSimParameter& parameter : parameters) {
            append(elements, qualifiedParameter(e, parameter,
                                                options.style ==
                                                    EmberAnswerStyle::QualifiedWithEmptyChildren));
        }
    }
    return e.container(
        ember::ber::applicationTag(static_cast<std::uint32_t>(GlowType::Root)),
        ember::ber::applicationTag(static_cast<std::uint32_t>(GlowType::RootElementCollection)),
        elements);
}

Bytes frameOf(const Bytes& ber, std::uint8_t flags) {
    Bytes out(2 * (ber.size() + 16) + 8);
    ember::s101::FrameWriter writer(out.data(), out.size());
    writer.begin();
    for (const std::uint8_t byte :
         {std::uint8_t{0x00}, ember::s101::kMessageEmber, ember::s101::kCommandEmber,
          ember::s101::kVersion, flags, ember::s101::kDtdGlow, std::uint8_t{2},
          ember::s101::kAppBytes[0], ember::s101::kAppBytes[1]}) {
        writer.put(byte);
    }
    for (const std::uint8_t byte : ber) {
        writer.put(byte);
    }
    writer.finish();
    out.resize(writer.size());
    return out;
}

/// The message in `packages` packages (first, middle ..., last).
Bytes framed(const Bytes& ber, int packages) {
    const std::size_t count = static_cast<std::size_t>(std::clamp(packages, 1, 3)) > ber.size()
                                  ? 1
                                  : static_cast<std::size_t>(std::clamp(packages, 1, 3));
    if (count == 1) {
        return frameOf(ber, ember::s101::kFlagFirst | ember::s101::kFlagLast);
    }
    Bytes out;
    const std::size_t piece = (ber.size() + count - 1) / count;
    for (std::size_t i = 0, at = 0; at < ber.size(); ++i, at += piece) {
        const std::size_t end = std::min(ber.size(), at + piece);
        std::uint8_t flags = 0;
        if (i == 0) {
            flags |= ember::s101::kFlagFirst;
        }
        if (end == ber.size()) {
            flags |= ember::s101::kFlagLast;
        }
        append(out, frameOf(Bytes(ber.begin() + static_cast<std::ptrdiff_t>(at),
                                  ber.begin() + static_cast<std::ptrdiff_t>(end)),
                            flags));
    }
    return out;
}

// --- Requests --------------------------------------------------------------------------

struct Request {
    enum class Kind { GetDirectory, Write, KeepAliveRequest, KeepAliveResponse } kind;
    std::vector<std::int32_t> path;
    std::int64_t value = 0;
    std::uint8_t slot = 0;
};

/// Reads what a consumer sends: GetDirectory commands (at the root or in a qualified element),
/// QualifiedParameter writes, and keep-alive frames.
class RequestReader : private ember::S101Decoder::Sink, private ember::BerReader::Sink {
public:
    RequestReader() : frames_(kFrameBuffer), ber_(*this) {}

    void feed(const std::uint8_t* data, std::size_t size, std::vector<Request>& out) {
        out_ = &out;
        frames_.feed(std::span<const std::uint8_t>(data, size), *this);
        out_ = nullptr;
    }

private:
    struct Level {
        Tag outer;
        Tag inner;
    };

    void onPackage(std::span<const std::uint8_t> package) override {
        if (package.size() >= 4 && package[1] == ember::s101::kMessageEmber &&
            (package[2] == ember::s101::kCommandKeepAliveRequest ||
             package[2] == ember::s101::kCommandKeepAliveResponse)) {
            out_->push_back({package[2] == ember::s101::kCommandKeepAliveRequest
                                 ? Request::Kind::KeepAliveRequest
                                 : Request::Kind::KeepAliveResponse,
                             {},
                             0,
                             package[0]});
            return;
        }
        if (package.size() < ember::s101::kPackageHeaderSize ||
            package[1] != ember::s101::kMessageEmber || package[2] != ember::s101::kCommandEmber ||
            package[5] != ember::s101::kDtdGlow) {
            return;
        }
        const std::uint8_t flags = package[4];
        const std::size_t start = ember::s101::kPackageHeaderSize + package[6];
        if (start > package.size()) {
            return;
        }
        if ((flags & ember::s101::kFlagFirst) != 0) {
            ber_.reset();
            resetMessage();
        }
        ber_.feed(package.subspan(start));
        if ((flags & ember::s101::kFlagLast) != 0) {
            ber_.endMessage();
            resetMessage();
        }
    }

    void resetMessage() {
        stack_.clear();
        path_.clear();
        command_ = -1;
        value_.reset();
    }

    bool insideQualified() const {
        return std::any_of(stack_.begin(), stack_.end(), [](const Level& level) {
            return isApplication(level.inner, GlowType::QualifiedNode) ||
                   isApplication(level.inner, GlowType::QualifiedParameter);
        });
    }

    void onContainerBegin(Tag outer, Tag inner) override {
        if (stack_.size() >= ember::BerReader::kMaxContainers) {
            return;
        }
        stack_.push_back({outer, inner});
        if (isApplication(inner, GlowType::QualifiedNode) ||
            isApplication(inner, GlowType::QualifiedParameter)) {
            path_.clear();
            value_.reset();
        } else if (isApplication(inner, GlowType::Command)) {
            command_ = -1;
        }
    }

    void onContainerEnd(bool /*complete*/) override {
        if (stack_.empty()) {
            return;
        }
        const Level level = stack_.back();
        stack_.pop_back();
        if (isApplication(level.inner, GlowType::Command) && command_ == kCommandGetDirectory) {
            out_->push_back({Request::Kind::GetDirectory,
                             insideQualified() ? path_ : std::vector<std::int32_t>{}});
            command_ = -1;
        } else if (isApplication(level.inner, GlowType::QualifiedParameter) && value_) {
            out_->push_back({Request::Kind::Write, path_, *value_});
            value_.reset();
        }
    }

    void onValue(Tag outer, std::uint32_t type, std::span<const std::uint8_t> bytes,
                 bool malformed) override {
        if (stack_.empty() || malformed) {
            return;
        }
        const Level& top = stack_.back();
        if ((isApplication(top.inner, GlowType::QualifiedNode) ||
             isApplication(top.inner, GlowType::QualifiedParameter)) &&
            isContext(outer, 0) && type == ember::ber::kTypeRelativeOid) {
            std::array<std::int32_t, kGlowMaxPathLength> numbers{};
            std::size_t count = 0;
            if (ember::ber::decodeRelativeOid(bytes, numbers.data(), numbers.size(), count) == 0) {
                path_.assign(numbers.begin(), numbers.begin() + static_cast<std::ptrdiff_t>(count));
            }
            return;
        }
        if (isApplication(top.inner, GlowType::Command) && isContext(outer, 0) &&
            type == ember::ber::kTypeInteger) {
            std::int64_t number = 0;
            if (ember::ber::decodeInteger(bytes, number) == 0) {
                command_ = number;
            }
            return;
        }
        const bool inParameterContents =
            top.inner.tagClass == ember::ber::kClassUniversal &&
            top.inner.number == ember::ber::kTypeSet && stack_.size() >= 2 &&
            isApplication(stack_[stack_.size() - 2].inner, GlowType::QualifiedParameter);
        if (inParameterContents && isContext(outer, 2)) {
            if (type == ember::ber::kTypeBoolean) {
                bool flag = false;
                if (ember::ber::decodeBoolean(bytes, flag) == 0) {
                    value_ = flag ? 1 : 0;
                }
            } else if (type == ember::ber::kTypeInteger) {
                std::int64_t number = 0;
                if (ember::ber::decodeInteger(bytes, number) == 0) {
                    value_ = number;
                }
            }
        }
    }

    ember::S101Decoder frames_;
    ember::BerReader ber_;
    std::vector<Level> stack_;
    std::vector<std::int32_t> path_;
    std::int64_t command_ = -1;
    std::optional<std::int64_t> value_;
    std::vector<Request>* out_ = nullptr;
};

}  // namespace

struct EmberProviderSim::Command {
    enum class Kind { Announce, Raw, CloseAll } kind;
    std::vector<std::int32_t> path;
    Bytes bytes;
};

struct EmberProviderSim::Connection {
    posix::FileDescriptor fd;
    RequestReader reader;
    Bytes outbox;
    bool closed = false;

    void queue(const Bytes& bytes) {
        if (outbox.size() + bytes.size() > kMaxOutbox) {
            closed = true;  // A consumer that does not read is dropped.
            return;
        }
        append(outbox, bytes);
    }
    void flush() {
        if (outbox.empty() || closed) {
            return;
        }
        const long sent = posix::sendNow(fd.get(), outbox.data(), outbox.size());
        if (sent < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                closed = true;
            }
            return;
        }
        outbox.erase(outbox.begin(), outbox.begin() + sent);
    }
};

std::vector<EmberSimParameter> EmberProviderSim::gpioTree() {
    std::vector<EmberSimParameter> tree;
    for (std::int32_t port = 1; port <= 10; ++port) {
        const std::string name = "gpio" + std::to_string(port);
        tree.push_back({{1, 4, 1, port, 1}, name + "_type", std::int64_t{1}, false});
        tree.push_back({{1, 4, 1, port, 2}, name + "_override", false, true});
        tree.push_back({{1, 4, 1, port, 3}, name + "_status", false, true});
    }
    return tree;
}

std::vector<EmberSimParameter> EmberProviderSim::vgpioTree(const EmberVgpioSettings& settings) {
    std::vector<EmberSimParameter> tree;
    const bool labelFree = settings.vgpioTypeField != 2 && settings.vgpioStatusField != 2;
    for (std::int32_t entry = 1; entry <= settings.vgpioCount; ++entry) {
        std::vector<std::int32_t> base = settings.vgpioBasePath;
        base.push_back(entry);
        const std::string name = "vgpio" + std::to_string(entry);
        auto path = [&base](std::int32_t field) {
            std::vector<std::int32_t> full = base;
            full.push_back(field);
            return full;
        };
        tree.push_back({path(settings.vgpioTypeField), name + "_type", std::int64_t{1}, false});
        if (labelFree) {
            tree.push_back(
                {path(2), name + "_label", std::string("VGPIO ") + std::to_string(entry), false});
        }
        if (settings.vgpioStatusField != settings.vgpioTypeField) {
            tree.push_back({path(settings.vgpioStatusField), name + "_status", false, true});
        }
    }
    return tree;
}

EmberProviderSim::EmberProviderSim(std::vector<EmberSimParameter> tree,
                                   EmberProviderSimOptions options)
    : initialTree_(std::move(tree)), options_(std::move(options)) {}

EmberProviderSim::~EmberProviderSim() {
    stop();
}

bool EmberProviderSim::start() {
    if (thread_.joinable()) {
        return true;
    }
    if (!isLoopbackIpv4(options_.address)) {
        errno = EADDRNOTAVAIL;
        return false;
    }
    listener_ = posix::listenTcp(options_.address, options_.port, 64, port_);
    if (!listener_.valid()) {
        return false;
    }
    int fds[2] = {-1, -1};
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        listener_.reset();
        return false;
    }
    wakeRead_.reset(fds[0]);
    wakeWrite_.reset(fds[1]);
    {
        std::lock_guard lock(mutex_);
        tree_ = initialTree_;
        stopping_ = false;
    }
    thread_ = std::thread([this] { run(); });
    return true;
}

void EmberProviderSim::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    if (wakeWrite_.valid()) {
        const std::uint8_t byte = 1;
        [[maybe_unused]] const auto written = ::write(wakeWrite_.get(), &byte, 1);
    }
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) {
        thread_.join();
    }
    listener_.reset();
}

bool EmberProviderSim::setValue(const std::vector<std::int32_t>& path, EmberSimValue value) {
    {
        std::lock_guard lock(mutex_);
        const auto found =
            std::find_if(tree_.begin(), tree_.end(),
                         [&path](const EmberSimParameter& p) { return p.path == path; });
        if (found == tree_.end()) {
            return false;
        }
        found->value = std::move(value);
        commands_.push_back({Command::Kind::Announce, path, {}});
    }
    if (wakeWrite_.valid()) {
        const std::uint8_t byte = 1;
        [[maybe_unused]] const auto written = ::write(wakeWrite_.get(), &byte, 1);
    }
    return true;
}

std::optional<EmberSimValue> EmberProviderSim::value(const std::vector<std::int32_t>& path) const {
    std::lock_guard lock(mutex_);
    for (const EmberSimParameter& parameter : tree_) {
        if (parameter.path == path) {
            return parameter.value;
        }
    }
    return std::nullopt;
}

void EmberProviderSim::sendKeepAlive(std::uint8_t slot) {
    std::uint8_t buffer[16];
    const int size = writeKeepAliveRequest(buffer, sizeof buffer, slot);
    sendRaw(Bytes(buffer, buffer + (size > 0 ? size : 0)));
}

void EmberProviderSim::sendRaw(std::vector<std::uint8_t> bytes) {
    {
        std::lock_guard lock(mutex_);
        commands_.push_back({Command::Kind::Raw, {}, std::move(bytes)});
    }
    if (wakeWrite_.valid()) {
        const std::uint8_t byte = 1;
        [[maybe_unused]] const auto written = ::write(wakeWrite_.get(), &byte, 1);
    }
}

void EmberProviderSim::closeConnections() {
    {
        std::lock_guard lock(mutex_);
        commands_.push_back({Command::Kind::CloseAll, {}, {}});
    }
    if (wakeWrite_.valid()) {
        const std::uint8_t byte = 1;
        [[maybe_unused]] const auto written = ::write(wakeWrite_.get(), &byte, 1);
    }
}

std::vector<std::vector<std::int32_t>> EmberProviderSim::getDirectoryRequests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::vector<EmberSimWrite> EmberProviderSim::writes() const {
    std::lock_guard lock(mutex_);
    return writes_;
}

std::size_t EmberProviderSim::keepAliveResponses() const {
    std::lock_guard lock(mutex_);
    return keepAliveResponses_;
}

std::size_t EmberProviderSim::connectionsAccepted() const {
    std::lock_guard lock(mutex_);
    return accepted_;
}

std::size_t EmberProviderSim::connectionsOpen() const {
    std::lock_guard lock(mutex_);
    return open_;
}

bool EmberProviderSim::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

bool EmberProviderSim::waitForWrites(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return writes_.size() >= count; });
}

bool EmberProviderSim::waitForKeepAliveResponses(std::size_t count,
                                                 std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return keepAliveResponses_ >= count; });
}

bool EmberProviderSim::waitForConnections(std::size_t accepted,
                                          std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return accepted_ >= accepted; });
}

bool EmberProviderSim::waitForOpen(std::size_t open, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return open_ == open; });
}

void EmberProviderSim::run() {
    setCurrentThreadName("ember-sim");
    try {
        loop();
    } catch (const std::exception&) {
        // The provider stops serving; its owner sees the connections close.
    }
}

void EmberProviderSim::loop() {
    std::vector<std::unique_ptr<Connection>> connections;
    std::vector<pollfd> entries;
    std::vector<Request> requests;
    Bytes chunk(kReceiveChunk);

    const auto selectParameters = [this](const std::vector<std::int32_t>& prefix) {
        std::vector<EmberSimParameter> selected;
        std::lock_guard lock(mutex_);
        for (const EmberSimParameter& parameter : tree_) {
            if (startsWith(parameter.path, prefix)) {
                selected.push_back(parameter);
            }
        }
        return selected;
    };
    const auto answerFor = [this](const std::vector<EmberSimParameter>& parameters) {
        return framed(answerBer(options_, parameters), options_.packagesPerAnswer);
    };

    // Bounded by stop(): every round ends within the poll slice.
    for (;;) {
        entries.clear();
        entries.push_back({wakeRead_.get(), POLLIN, 0});
        entries.push_back({listener_.get(),
                           static_cast<short>(connections.size() < kMaxConnections ? POLLIN : 0),
                           0});
        for (const auto& connection : connections) {
            entries.push_back(
                {connection->fd.get(),
                 static_cast<short>(POLLIN | (connection->outbox.empty() ? 0 : POLLOUT)), 0});
        }
        const int ready = ::poll(entries.data(), entries.size(), kPollSliceMs);
        if (ready < 0 && errno != EINTR) {
            return;
        }
        std::uint8_t drain[64];
        while (::read(wakeRead_.get(), drain, sizeof drain) > 0) {
        }

        std::vector<Command> commands;
        {
            std::lock_guard lock(mutex_);
            if (stopping_) {
                open_ = 0;
                changed_.notify_all();
                return;
            }
            commands.swap(commands_);
        }
        for (const Command& command : commands) {
            if (command.kind == Command::Kind::CloseAll) {
                for (const auto& connection : connections) {
                    connection->closed = true;
                }
                continue;
            }
            const Bytes bytes = command.kind == Command::Kind::Raw
                                    ? command.bytes
                                    : answerFor(selectParameters(command.path));
            if (command.kind == Command::Kind::Announce && options_.onAnnounce) {
                options_.onAnnounce(command.path);
            }
            for (const auto& connection : connections) {
                connection->queue(bytes);
                connection->flush();
            }
        }

        if ((entries[1].revents & POLLIN) != 0) {
            for (std::size_t i = 0; i < kMaxConnections && connections.size() < kMaxConnections;
                 ++i) {
                const int fd =
                    ::accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (fd < 0) {
                    break;
                }
                auto connection = std::make_unique<Connection>();
                connection->fd.reset(fd);
                connections.push_back(std::move(connection));
                std::lock_guard lock(mutex_);
                ++accepted_;
                open_ = connections.size();
                changed_.notify_all();
            }
        }

        for (std::size_t i = 0; i < connections.size(); ++i) {
            Connection& connection = *connections[i];
            const std::size_t at = i + 2;
            if (at >= entries.size() || connection.closed) {
                continue;
            }
            const short events = entries[at].revents;
            if ((events & (POLLIN | POLLHUP | POLLERR)) != 0) {
                // At most a few chunks per round, so one busy consumer cannot starve others.
                for (int round = 0; round < 16; ++round) {
                    const long received =
                        posix::receiveNow(connection.fd.get(), chunk.data(), chunk.size());
                    if (received == 0 ||
                        (received < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
                        connection.closed = true;
                        break;
                    }
                    if (received < 0) {
                        break;
                    }
                    requests.clear();
                    connection.reader.feed(chunk.data(), static_cast<std::size_t>(received),
                                           requests);
                    for (const Request& request : requests) {
                        switch (request.kind) {
                        case Request::Kind::GetDirectory: {
                            {
                                std::lock_guard lock(mutex_);
                                requests_.push_back(request.path);
                                keepNewest(requests_);
                                changed_.notify_all();
                            }
                            const auto selected = selectParameters(request.path);
                            if (!selected.empty()) {
                                connection.queue(answerFor(selected));
                            }
                            break;
                        }
                        case Request::Kind::Write: {
                            bool known = false;
                            {
                                std::lock_guard lock(mutex_);
                                writes_.push_back({request.path, request.value});
                                keepNewest(writes_);
                                for (EmberSimParameter& parameter : tree_) {
                                    if (parameter.path != request.path || !parameter.writable) {
                                        continue;
                                    }
                                    if (std::holds_alternative<bool>(parameter.value)) {
                                        parameter.value = request.value != 0;
                                    } else if (std::holds_alternative<std::int64_t>(
                                                   parameter.value)) {
                                        parameter.value = request.value;
                                    }
                                    known = true;
                                }
                                changed_.notify_all();
                            }
                            if (options_.onWrite) {
                                options_.onWrite({request.path, request.value});
                            }
                            if (known) {
                                const Bytes bytes = answerFor(selectParameters(request.path));
                                for (const auto& other : connections) {
                                    other->queue(bytes);
                                }
                            }
                            break;
                        }
                        case Request::Kind::KeepAliveRequest: {
                            std::uint8_t buffer[16];
                            const int size =
                                writeKeepAliveResponse(buffer, sizeof buffer, request.slot);
                            if (size > 0) {
                                connection.queue(Bytes(buffer, buffer + size));
                            }
                            break;
                        }
                        case Request::Kind::KeepAliveResponse: {
                            std::lock_guard lock(mutex_);
                            ++keepAliveResponses_;
                            changed_.notify_all();
                            break;
                        }
                        }
                    }
                    if (static_cast<std::size_t>(received) < chunk.size()) {
                        break;
                    }
                }
            }
        }
        for (const auto& connection : connections) {
            connection->flush();
        }
        const auto before = connections.size();
        std::erase_if(connections, [](const std::unique_ptr<Connection>& c) { return c->closed; });
        if (connections.size() != before) {
            std::lock_guard lock(mutex_);
            open_ = connections.size();
            changed_.notify_all();
        }
    }
}

}  // namespace pellan
