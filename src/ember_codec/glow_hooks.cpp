#include "ember_codec/glow_hooks.hpp"

#include <memory>
#include <mutex>
#include <utility>

namespace pellan {
namespace {

// Hooks are held by shared pointer so a report can run its hook outside the lock while
// another thread replaces it.
struct Hooks {
    std::mutex mutex;
    std::shared_ptr<const GlowErrorHook> error;   // Guarded by mutex.
    std::shared_ptr<const GlowAssertHook> check;  // Guarded by mutex.
};

Hooks& hooks() {
    static Hooks instance;
    return instance;
}

template <typename Hook> Hook exchangeHook(std::shared_ptr<const Hook>& slot, Hook hook) {
    auto next = hook ? std::make_shared<const Hook>(std::move(hook)) : nullptr;
    std::shared_ptr<const Hook> previous;
    {
        std::lock_guard lock(hooks().mutex);
        previous = std::exchange(slot, std::move(next));
    }
    return previous ? *previous : Hook{};
}

template <typename Hook>
std::shared_ptr<const Hook> currentHook(const std::shared_ptr<const Hook>& slot) {
    std::lock_guard lock(hooks().mutex);
    return slot;
}

}  // namespace

GlowErrorHook setGlowErrorHook(GlowErrorHook hook) {
    return exchangeHook(hooks().error, std::move(hook));
}

GlowAssertHook setGlowAssertHook(GlowAssertHook hook) {
    return exchangeHook(hooks().check, std::move(hook));
}

namespace ember {

void reportError(int code, const char* message) {
    if (const auto hook = currentHook(hooks().error)) {
        (*hook)(code, message);
    }
}

void reportAssert(const char* file, int line) {
    if (const auto hook = currentHook(hooks().check)) {
        (*hook)(file, line);
    }
}

}  // namespace ember
}  // namespace pellan
