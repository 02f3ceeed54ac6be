#include "ember/ember_diagnostics.hpp"

#include "ember_codec/glow_hooks.hpp"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <vector>

namespace pellan {

namespace {

constexpr EmberDiagnosticTexts kGpioTexts{
    "ember-gpio",
    "[EMBER][GPIO][LIB] ERROR %d: %s",
    "[EMBER][GPIO][LIB] ASSERT failed at %s:%d (count=%ld)",
    "[EMBER][GPIO][NET] socket() failed",
    "[EMBER][GPIO][NET] connect() to %s:%d failed",
    "[EMBER RX][GPIO] connected ip=%s port=%d - watching physical ports 1..10",
    "[EMBER RX][GPIO] recv() error/closed, WSAGetLastError=%d, stopping",
    "[EMBER TX][GPIO] GetDirectory finishPackage returned %d",
    "[EMBER TX][GPIO] GetDirectory send() returned %d (expected %d)",
    "[EMBER][GPIO] stop timed out waiting for worker thread",
    "[EMBER][GPIO] %s stopped after an error: %s",
};

constexpr EmberDiagnosticTexts kVgpioTexts{
    "ember-vgpio",
    "[EMBER][VGPIO] ERROR %d: %s",
    "[EMBER][VGPIO] ASSERT failed at %s:%d (count=%ld)",
    "[EMBER][VGPIO] socket() failed",
    "[EMBER][VGPIO] connect() to %s:%d failed",
    "[EMBER][VGPIO] connected to %s:%d - GetDirectory-watch mode",
    "[EMBER][VGPIO] recv() error/closed, WSAGetLastError=%d, stopping",
    "[EMBER][VGPIO] glowOutput_finishPackage returned %d",
    "[EMBER][VGPIO] send() returned %d (expected %d)",
    "[EMBER][VGPIO] stop timed out waiting for worker thread",
    "[EMBER][VGPIO] %s stopped after an error: %s",
};

// Which worker the calling thread is; null on every other thread.
thread_local const ember::WorkerDiagnostics* t_worker = nullptr;

// Assertion failures are counted per client kind for the whole process.
std::atomic<long> g_gpioAsserts{0};
std::atomic<long> g_vgpioAsserts{0};

constexpr long kAssertsPrintedFirst = 10;
constexpr long kAssertsPrintedEvery = 100;

void onCodecError(int code, const char* message) {
    const ember::WorkerDiagnostics* worker = t_worker;
    if (worker == nullptr || !worker->sink) {
        return;
    }
    worker->sink(formatEmberLine(emberDiagnosticTexts(worker->kind).libError, code,
                                 message != nullptr ? message : ""));
}

void onCodecAssert(const char* file, int line) {
    const ember::WorkerDiagnostics* worker = t_worker;
    if (worker == nullptr) {
        return;
    }
    std::atomic<long>& counter =
        worker->kind == EmberClientKind::Gpio ? g_gpioAsserts : g_vgpioAsserts;
    const long count = counter.fetch_add(1) + 1;
    if (!worker->sink || (count > kAssertsPrintedFirst && count % kAssertsPrintedEvery != 0)) {
        return;
    }
    worker->sink(formatEmberLine(emberDiagnosticTexts(worker->kind).libAssert,
                                 file != nullptr ? file : "", line, count));
}

}  // namespace

void printEmberDiagnostic(const std::string& line) {
    std::string text = line;
    text += '\n';
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

const EmberDiagnosticTexts& emberDiagnosticTexts(EmberClientKind kind) {
    return kind == EmberClientKind::Gpio ? kGpioTexts : kVgpioTexts;
}

std::string formatEmberLine(const char* format, ...) {
    char small[256];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    std::string out;
    if (length < 0) {
        va_end(again);
        return out;
    }
    if (static_cast<std::size_t>(length) < sizeof small) {
        out.assign(small, static_cast<std::size_t>(length));
    } else {
        std::vector<char> large(static_cast<std::size_t>(length) + 1);
        std::vsnprintf(large.data(), large.size(), format, again);
        out.assign(large.data(), static_cast<std::size_t>(length));
    }
    va_end(again);
    return out;
}

namespace ember {

void installClientCodecHooks() {
    static std::once_flag once;
    std::call_once(once, [] {
        setGlowErrorHook(&onCodecError);
        setGlowAssertHook(&onCodecAssert);
    });
}

WorkerScope::WorkerScope(const WorkerDiagnostics& diagnostics) {
    t_worker = &diagnostics;
}

WorkerScope::~WorkerScope() {
    t_worker = nullptr;
}

}  // namespace ember
}  // namespace pellan
