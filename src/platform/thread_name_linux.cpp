#include "platform/thread_name.hpp"

#include <pthread.h>

#include <array>
#include <cstddef>

namespace pellan {

void setCurrentThreadName(std::string_view name) {
    std::array<char, kMaxThreadNameBytes + 1> shortName{};
    const std::size_t length =
        name.size() < kMaxThreadNameBytes ? name.size() : kMaxThreadNameBytes;
    name.copy(shortName.data(), length);
    // An embedded zero byte ends the name there, as the kernel reads it.
    pthread_setname_np(pthread_self(), shortName.data());
}

}  // namespace pellan
