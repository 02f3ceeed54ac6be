#pragma once
#include "platform/native_handle.hpp"

#include <chrono>
#include <cstddef>
#include <vector>

namespace pellan {
class WakePipe;

/// What a wait on a socket ended with.
enum class WaitResult { Ready, Woken, TimedOut, Failed };

enum class WaitFor { Reading, Writing };

/// Waits until `socket` is readable (or writable), `wake` was signalled, or `timeout` passed.
/// Interrupted waits resume with the time left. An error or hang-up on the socket counts as
/// Ready: the next call on it tells which. On Failed, `error` (when given) receives the
/// system's error number.
WaitResult waitForSocket(NativeHandle socket, WaitFor what, const WakePipe& wake,
                         std::chrono::milliseconds timeout, int* error = nullptr);

/// Sleeps `duration` unless `wake` is signalled first; true when woken. An invalid `wake`
/// does not sleep at all.
bool sleepUnlessWoken(const WakePipe& wake, std::chrono::milliseconds duration);

/// One wait on several handles for reading: add them, wait once, then ask which are ready.
///
/// Kind: value, used by one thread.
class ReadinessSet {
public:
    explicit ReadinessSet(std::size_t maxHandles) : maxHandles_(maxHandles) {}

    /// Watches `handle` once; invalid handles, repeats and handles beyond the limit are left
    /// out.
    void add(NativeHandle handle);
    /// Waits until one handle is readable or `timeout` passed: the count of ready handles, 0
    /// on time-out, negative when the wait failed or was interrupted.
    int wait(std::chrono::milliseconds timeout);
    /// Whether `handle` was watched in the last wait and is readable (or at its end).
    bool ready(NativeHandle handle) const;

private:
    struct Entry {
        NativeHandle handle;
        bool ready = false;
    };
    const std::size_t maxHandles_;
    std::vector<Entry> entries_;
};

}  // namespace pellan
