#include "ember_codec/s101.hpp"

namespace pellan {
namespace {

int writeKeepAlive(std::uint8_t* buffer, std::size_t size, std::uint8_t slot,
                   std::uint8_t command) {
    ember::s101::FrameWriter frame(buffer, size);
    frame.begin();
    frame.put(slot);
    frame.put(ember::s101::kMessageEmber);
    frame.put(command);
    frame.put(ember::s101::kVersion);
    if (!frame.finish()) {
        return -1;
    }
    return static_cast<int>(frame.size());
}

}  // namespace

int writeKeepAliveResponse(std::uint8_t* buffer, std::size_t size, std::uint8_t slot) {
    return writeKeepAlive(buffer, size, slot, ember::s101::kCommandKeepAliveResponse);
}

int writeKeepAliveRequest(std::uint8_t* buffer, std::size_t size, std::uint8_t slot) {
    return writeKeepAlive(buffer, size, slot, ember::s101::kCommandKeepAliveRequest);
}

bool looksLikeKeepAliveRequest(const std::uint8_t* data, std::size_t length) {
    return data != nullptr && length == 8 && data[2] == ember::s101::kMessageEmber &&
           data[3] == ember::s101::kCommandKeepAliveRequest;
}

}  // namespace pellan
