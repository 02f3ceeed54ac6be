#pragma once
#include "platform/native_handle.hpp"

namespace pellan {

/// A wake-up that stays set: once signal() was called, every later wait that includes it
/// (waitForSocket, sleepUnlessWoken, ReadinessSet) returns at once. It lets a second thread
/// interrupt a thread blocked in a socket wait, so no call blocks past its owner's close.
///
/// Kind: owner of two handles; neither copied nor moved (waiting threads refer to it).
/// Thread safety: signal() and signalled() may be called from any thread at any time.
class WakePipe {
public:
    WakePipe();  ///< Check valid(): creation can fail (too many open files).
    ~WakePipe();
    WakePipe(const WakePipe&) = delete;
    WakePipe& operator=(const WakePipe&) = delete;

    bool valid() const { return read_ != NativeHandle::Invalid && write_ != NativeHandle::Invalid; }
    /// Async-signal-safe; later calls change nothing.
    void signal() const;
    /// Whether signal() was called.
    bool signalled() const;

    /// The end a wait watches; for the platform's wait functions.
    NativeHandle waitHandle() const { return read_; }

private:
    NativeHandle read_ = NativeHandle::Invalid;
    NativeHandle write_ = NativeHandle::Invalid;
};

}  // namespace pellan
