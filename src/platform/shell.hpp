#pragma once
#include <functional>
#include <memory>

namespace pellan {

/// The main thread's presence on the desktop: it waits in run() until the application is to
/// end, and meanwhile carries the user's requests to the main thread. Exit comes from the
/// session (SIGINT, SIGTERM and SIGHUP, the end of the user's session) or from requestExit()
/// on any thread; an "open UI" request from any thread runs the application's open action on
/// the main thread. A tray icon plugs in here, calling requestOpenUi() and requestExit().
///
/// Kind: owner of its wait handles. run(), create() and remove() belong to the main thread.
/// Thread safety: requestExit() and requestOpenUi() may be called from any thread at any time
///   during the object's life, also before create() or run() (an exit asked for early ends
///   run() at once).
/// Callbacks: the open action runs on the thread in run(), with no lock of this class held.
class Shell {
public:
    enum class End {
        ExitRequested,  ///< requestExit() was called.
        ExitSignal,     ///< The session asked the application to end.
        WaitFailed,     ///< Not set up, or the wait itself failed.
    };

    /// `openUi` runs for each open request; may be empty.
    explicit Shell(std::function<void()> openUi);
    ~Shell();  ///< Calls remove().
    Shell(const Shell&) = delete;
    Shell& operator=(const Shell&) = delete;

    /// Holds back the exit signals for the calling thread. Called first in main, before any
    /// other thread exists, so every thread inherits the mask and a signal that arrives during
    /// start-up waits for run() instead of ending the process.
    static bool blockExitSignals();

    /// Sets up the wait. False when it cannot be set up.
    bool create();
    /// Waits until an exit is requested or signalled, running the open action for each open
    /// request meanwhile.
    End run();
    /// Idempotent.
    void remove();

    void requestExit();
    void requestOpenUi();

private:
    struct Handles;
    const std::function<void()> openUi_;
    const std::unique_ptr<Handles> handles_;
};

}  // namespace pellan
