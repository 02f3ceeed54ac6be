#include "discovery/dns_sd_unavailable_notice.hpp"

namespace pellan {

DnsSdUnavailableNotice& DnsSdUnavailableNotice::shared() {
    static DnsSdUnavailableNotice notice;
    return notice;
}

void DnsSdUnavailableNotice::browserStarted() {
    const std::lock_guard lock(mutex_);
    if (running_++ == 0) {
        reported_ = false;
    }
}

void DnsSdUnavailableNotice::browserStopped() {
    const std::lock_guard lock(mutex_);
    if (running_ > 0) {
        --running_;
    }
}

bool DnsSdUnavailableNotice::claim() {
    const std::lock_guard lock(mutex_);
    if (reported_) {
        return false;
    }
    reported_ = true;
    return true;
}

}  // namespace pellan
