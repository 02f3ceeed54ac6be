#pragma once

namespace pellan {

/// The main thread's wait for the end of the run, where a desktop would run the tray icon's
/// message loop: SIGINT, SIGTERM and SIGHUP (the end of the user's session) each count as
/// Exit.
///
/// Kind: used by the main thread only.
class MainLoop {
public:
    MainLoop() = default;
    ~MainLoop();  ///< Calls remove().
    MainLoop(const MainLoop&) = delete;
    MainLoop& operator=(const MainLoop&) = delete;

    /// Blocks the exit signals for the calling thread. Called first in main, before any other
    /// thread exists, so every thread inherits the mask and a signal that arrives during
    /// start-up waits for run() instead of ending the process.
    static bool blockExitSignals();

    /// Sets up the wait. False when it cannot be set up.
    bool create();
    /// Waits until an exit signal arrives; returns its number (0 when the wait failed).
    int run();
    void remove();

private:
    int fd_ = -1;
};

}  // namespace pellan
