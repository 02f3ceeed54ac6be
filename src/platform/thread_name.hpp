#pragma once
#include <cstddef>
#include <string_view>

namespace pellan {

/// The kernel keeps at most this many bytes of a thread's name.
inline constexpr std::size_t kMaxThreadNameBytes = 15;

/// Names the calling thread, as debuggers and sanitizer reports show it. A longer name is cut
/// to kMaxThreadNameBytes here (the kernel would refuse it whole); a failure changes nothing
/// else.
void setCurrentThreadName(std::string_view name);

}  // namespace pellan
