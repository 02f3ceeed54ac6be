#include "ember/ember_connection.hpp"

#include "ember_codec/glow_output.hpp"
#include "ember_codec/glow_reader.hpp"
#include "ember_codec/s101.hpp"

#include "platform/poll.hpp"
#include "platform/tcp_socket.hpp"
#include "platform/thread_name.hpp"

#include <exception>
#include <string>
#include <system_error>
#include <utility>

namespace pellan {

namespace {

constexpr std::size_t kHostMaxLength = 63;
constexpr std::size_t kReceiveBufferSize = 4096;
constexpr std::size_t kRequestBufferSize = 512;
constexpr std::size_t kKeepAliveBufferSize = 16;
constexpr std::size_t kMaxRequestPathLength = 10;

using Clock = std::chrono::steady_clock;

// Every worker of the process, detached ones included, so the end of the program can wait
// for the last of them.
struct WorkerCount {
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t running = 0;  // Guarded by mutex.
};

// Never destroyed: a worker left running at the end of the program may still count itself
// out while the statics are being torn down.
WorkerCount& workerCount() {
    static auto* const instance = new WorkerCount;
    return *instance;
}

void addWorker() {
    std::lock_guard lock(workerCount().mutex);
    ++workerCount().running;
}

void removeWorker() {
    WorkerCount& count = workerCount();
    // Notified under the lock: a waiter that sees the count reach zero may go on to end the
    // program, so this worker must be done with the condition variable by then.
    std::lock_guard lock(count.mutex);
    --count.running;
    count.changed.notify_all();
}

}  // namespace

void EmberValueSlot::set(EmberValueCallback callback) {
    std::lock_guard lock(mutex_);
    if (!detached_) {
        callback_ = std::move(callback);
    }
}

void EmberValueSlot::deliver(const std::string& text, std::int32_t value) {
    std::lock_guard lock(mutex_);
    if (callback_) {
        callback_(text, value);
    }
}

void EmberValueSlot::detach() {
    EmberValueCallback dropped;
    {
        std::lock_guard lock(mutex_);
        detached_ = true;
        dropped = std::move(callback_);
        callback_ = nullptr;
    }
    // `dropped` goes here, outside the lock: its captures may have destructors of their own.
}

EmberConnection::EmberConnection(EmberConnectionConfig config)
    : config_(std::move(config)),
      texts_(emberDiagnosticTexts(config_.kind)), workerDiagnostics_{config_.kind,
                                                                     config_.diagnostics} {
    if (config_.host.size() > kHostMaxLength) {
        config_.host.resize(kHostMaxLength);
    }
}

std::shared_ptr<EmberConnection> EmberConnection::start(EmberConnectionConfig config) {
    std::shared_ptr<EmberConnection> connection(new EmberConnection(std::move(config)));
    connection->running_ = true;
    addWorker();
    try {
        connection->thread_ = std::thread([self = connection]() mutable {
            self->work();
            self.reset();  // May be the last holder: the record goes before the count drops.
            removeWorker();
        });
    } catch (const std::system_error&) {
        removeWorker();
        return nullptr;
    }
    return connection;
}

EmberConnection::~EmberConnection() {
    if (!thread_.joinable()) {
        return;
    }
    // Nobody closed the record: its worker let go of it last (on its own thread) or ended.
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();
    } else {
        thread_.join();
    }
}

bool EmberConnection::waitUntilConnected(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout, [this] { return connected_.load() || done_; });
    return connected_.load();
}

bool EmberConnection::waitUntilEnded(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return done_; });
}

void EmberConnection::close() {
    if (closing_.exchange(true)) {
        return;
    }
    running_ = false;
    connected_ = false;
    {
        std::lock_guard lock(mutex_);
        if (socket_ != NativeHandle::Invalid) {
            shutdownSocket(socket_);
            socket_ = NativeHandle::Invalid;  // Later sends fail; the worker closes the socket.
        }
    }
    wake_.signal();
    changed_.notify_all();
    if (!thread_.joinable() || thread_.get_id() == std::this_thread::get_id()) {
        return;  // Closed from its own worker: it ends when the current call returns.
    }
    bool ended = false;
    {
        std::unique_lock lock(mutex_);
        ended = changed_.wait_for(lock, config_.timings.closeWait, [this] { return done_; });
    }
    if (ended) {
        thread_.join();
        return;
    }
    diagnose(formatEmberLine("%s", texts_.stopTimedOut));
    // The worker keeps the record alive and ends on its own once its call returns.
    thread_.detach();
}

bool EmberConnection::socketValid() const {
    std::lock_guard lock(mutex_);
    return socket_ != NativeHandle::Invalid;
}

long EmberConnection::send(const std::uint8_t* data, std::size_t length) {
    std::lock_guard lock(mutex_);
    if (socket_ == NativeHandle::Invalid) {
        return -1;
    }
    return sendNow(socket_, data, length);
}

void EmberConnection::diagnose(const std::string& line) const {
    if (config_.diagnostics) {
        config_.diagnostics(line);
    }
}

std::size_t EmberConnection::workersRunning() {
    std::lock_guard lock(workerCount().mutex);
    return workerCount().running;
}

bool EmberConnection::waitForAllWorkers(std::chrono::milliseconds timeout) {
    WorkerCount& count = workerCount();
    std::unique_lock lock(count.mutex);
    return count.changed.wait_for(lock, timeout, [&count] { return count.running == 0; });
}

void EmberConnection::work() {
    setCurrentThreadName(std::string(texts_.threadPrefix) + "-rx");
    ember::WorkerScope scope(workerDiagnostics_);
    try {
        run();
    } catch (const std::exception& error) {
        diagnose(formatEmberLine(texts_.failed, "connection worker", error.what()));
    } catch (...) {
        diagnose(formatEmberLine(texts_.failed, "connection worker", "unknown error"));
    }
    finish();
}

void EmberConnection::finish() {
    {
        std::lock_guard lock(mutex_);
        socket_ = NativeHandle::Invalid;
        connected_ = false;
        running_ = false;
        done_ = true;
    }
    changed_.notify_all();
}

void EmberConnection::run() {
    ember::installClientCodecHooks();
    if (!wake_.valid()) {
        diagnose(formatEmberLine("%s", texts_.socketFailed));
        return;
    }
    TcpSocket socket = TcpSocket::open();
    if (!socket.valid()) {
        diagnose(formatEmberLine("%s", texts_.socketFailed));
        return;
    }
    {
        std::lock_guard lock(mutex_);
        if (!running_) {
            return;  // Closed before the connect began.
        }
        socket_ = socket.handle();
    }
    // Declared after `socket`, so it runs first on every way out: no other thread can reach
    // the descriptor once it closes.
    struct Unpublish {
        EmberConnection& connection;
        ~Unpublish() {
            std::lock_guard lock(connection.mutex_);
            connection.socket_ = NativeHandle::Invalid;
        }
    } unpublish{*this};

    const int error = connectTcp(socket.handle(), config_.host, config_.port, wake_,
                                 config_.timings.connectTimeout);
    if (error != 0) {
        diagnose(formatEmberLine(texts_.connectFailed, config_.host.c_str(), config_.port));
        return;
    }
    {
        std::lock_guard lock(mutex_);
        if (!running_) {
            return;
        }
        connected_ = true;
    }
    changed_.notify_all();
    diagnose(formatEmberLine(texts_.connected, config_.host.c_str(), config_.port));
    receiveLoop(socket.handle());
}

void EmberConnection::receiveLoop(NativeHandle socket) {
    GlowReader reader([this](const GlowParameter& parameter, std::uint32_t fields,
                             std::span<const std::int32_t> path) {
        if (!config_.mapper || !config_.slot) {
            return;
        }
        if (const auto report = config_.mapper(parameter, fields, path)) {
            config_.slot->deliver(report->text, report->value);
        }
    });
    std::vector<std::uint8_t> buffer(kReceiveBufferSize);

    requestWatchedParameters();
    auto subscribed = Clock::now();
    while (running_ && connected_) {
        int waitError = 0;
        const WaitResult waited = waitForSocket(socket, WaitFor::Reading, wake_,
                                                config_.timings.receiveTimeout, &waitError);
        if (waited == WaitResult::Woken) {
            break;  // Closed from outside.
        }
        if (waited == WaitResult::Ready) {
            const ReceiveResult received = receiveNow(socket, buffer.data(), buffer.size());
            if (received.status == ReceiveStatus::WouldBlock) {
                // Nothing after all: as a receive time-out.
            } else if (received.status != ReceiveStatus::Received) {
                const int code = received.status == ReceiveStatus::Closed ? 0 : received.error;
                if (running_) {
                    diagnose(formatEmberLine(texts_.receiveEnded, code));
                }
                connected_ = false;
                break;
            } else {
                const std::size_t length = received.bytes;
                if (looksLikeKeepAliveRequest(buffer.data(), length)) {
                    std::uint8_t answer[kKeepAliveBufferSize];
                    const int size = writeKeepAliveResponse(answer, sizeof answer, buffer[1]);
                    if (size > 0) {
                        send(answer, static_cast<std::size_t>(size));
                    }
                    continue;
                }
                reader.readBytes(buffer.data(), length);
            }
        } else if (waited == WaitResult::Failed) {
            if (running_) {
                diagnose(formatEmberLine(texts_.receiveEnded, waitError));
            }
            connected_ = false;
            break;
        }
        if (Clock::now() - subscribed >= config_.timings.refreshInterval && running_) {
            requestWatchedParameters();
            subscribed = Clock::now();
        }
    }
}

void EmberConnection::requestWatchedParameters() {
    for (const std::vector<std::int32_t>& path : config_.watched) {
        if (!socketValid()) {
            return;  // Closed: the rest would be skipped one by one.
        }
        if (path.size() <= kMaxRequestPathLength) {
            std::uint8_t buffer[kRequestBufferSize];
            GlowOutput output(buffer, sizeof buffer);
            output.beginPackage(true);
            output.writeQualifiedCommand(GlowCommand{GlowCommandType::GetDirectory}, path.data(),
                                         path.size(), GlowElementType::QualifiedNode);
            const int length = output.finishPackage();
            if (length <= 0) {
                diagnose(formatEmberLine(texts_.requestFinishFailed, length));
            } else {
                const long sent = send(buffer, static_cast<std::size_t>(length));
                if (sent < length) {
                    diagnose(
                        formatEmberLine(texts_.requestSendShort, static_cast<int>(sent), length));
                }
            }
        }
        if (sleepUnlessWoken(wake_, config_.timings.requestSpacing)) {
            return;
        }
    }
}

}  // namespace pellan
