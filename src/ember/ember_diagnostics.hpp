#pragma once
#include <functional>
#include <memory>
#include <string>

namespace pellan {

/// Receives one diagnostic line of an Ember+ client, without its line end. These lines are
/// not log records: the application writes them to the standard output.
///
/// Threads: called on the connection workers, the supervisors and the callers of writeGpio
/// and stop(). A sink is copied into every connection, so it may still run after its client's
/// stop() returned (for a worker that outlived the stop); whatever it captures must live as
/// long as it (hold it by shared pointer). It must not block for long: a worker waits for it.
using EmberDiagnosticSink = std::function<void(const std::string& line)>;

/// The system's sink: the line and a line end to the standard output, flushed, in one write.
void printEmberDiagnostic(const std::string& line);

/// Which of the two clients a line belongs to: it selects the prefixes of its texts.
enum class EmberClientKind { Gpio, Vgpio };

/// The diagnostic texts of one client kind, as printf formats without the line end.
struct EmberDiagnosticTexts {
    const char* threadPrefix;         ///< Thread names: prefix + "-sv" / "-rx".
    const char* libError;             ///< (int code, const char* message)
    const char* libAssert;            ///< (const char* file, int line, long count)
    const char* socketFailed;         ///< ()
    const char* connectFailed;        ///< (const char* host, int port)
    const char* connected;            ///< (const char* host, int port)
    const char* receiveEnded;         ///< (int error)
    const char* requestFinishFailed;  ///< (int length)
    const char* requestSendShort;     ///< (int sent, int expected)
    const char* stopTimedOut;         ///< ()
    const char* failed;               ///< (const char* where, const char* what)
};

const EmberDiagnosticTexts& emberDiagnosticTexts(EmberClientKind kind);

/// printf into a string; lines of any length are kept whole.
std::string formatEmberLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

namespace ember {

/// What the codec hooks need to know about the connection worker on whose thread a codec
/// error happens: the kind (for the prefix and its assert counter) and where the line goes.
struct WorkerDiagnostics {
    EmberClientKind kind = EmberClientKind::Gpio;
    EmberDiagnosticSink sink;
};

/// Installs, once per process, the codec hooks of the clients. The codec's hooks are
/// process-wide, one slot each, so both client kinds share one pair of hooks that prints
/// with the prefix of the worker the error happened on (found through a thread-local
/// pointer set by WorkerScope); errors on other threads are not printed.
void installClientCodecHooks();

/// Marks the calling thread as a connection worker while it lives (one per thread).
class WorkerScope {
public:
    explicit WorkerScope(const WorkerDiagnostics& diagnostics);
    ~WorkerScope();
    WorkerScope(const WorkerScope&) = delete;
    WorkerScope& operator=(const WorkerScope&) = delete;
};

}  // namespace ember
}  // namespace pellan
