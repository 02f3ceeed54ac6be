#pragma once
#include <cstdint>

namespace pellan {

/// An operating-system handle (a socket, a pipe end) as the rest of the program sees it:
/// opaque, compared and handed back to the platform's own functions, never used directly.
/// Wide enough for a descriptor here and for a socket or handle elsewhere.
enum class NativeHandle : std::intptr_t { Invalid = -1 };

/// The handle of a socket number that a system library hands out (the DNS-SD API's socket
/// of an operation); negative numbers mean none.
constexpr NativeHandle nativeHandleOf(std::intptr_t socketNumber) {
    return socketNumber < 0 ? NativeHandle::Invalid : static_cast<NativeHandle>(socketNumber);
}

}  // namespace pellan
