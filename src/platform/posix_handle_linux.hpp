#pragma once
// Linux only, for the platform's own *_linux.cpp files: a NativeHandle is a file descriptor.
#include "platform/native_handle.hpp"

#include <unistd.h>

namespace pellan::posix {

inline int fd(NativeHandle handle) {
    return static_cast<int>(handle);
}

inline NativeHandle handle(int fd) {
    return nativeHandleOf(fd);
}

inline void closeHandle(NativeHandle handle) {
    if (handle != NativeHandle::Invalid) {
        ::close(fd(handle));
    }
}

}  // namespace pellan::posix
