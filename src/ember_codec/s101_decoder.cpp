#include "ember_codec/s101_decoder.hpp"

#include "ember_codec/glow_hooks.hpp"
#include "ember_codec/s101.hpp"

#include <algorithm>

namespace pellan::ember {
namespace {
// A frame too small for this could not hold a package header anyway.
constexpr std::size_t kMinimumBufferSize = 16;
}  // namespace

S101Decoder::S101Decoder(std::size_t bufferSize)
    : buffer_(std::max(bufferSize, kMinimumBufferSize)) {}

void S101Decoder::reset() {
    state_ = State::Idle;
    size_ = 0;
    escapePending_ = false;
}

void S101Decoder::startEscaped() {
    state_ = State::Escaped;
    size_ = 0;
    escapePending_ = false;
    overrunReported_ = false;
    crc_ = s101::kCrcInit;
}

void S101Decoder::store(std::uint8_t byte) {
    if (size_ < buffer_.size()) {
        buffer_[size_++] = byte;
        return;
    }
    overrun();
}

void S101Decoder::overrun() {
    // One report per frame: the peer decides how long a frame is, and a report per byte
    // would let it flood the diagnostics.
    if (!overrunReported_) {
        overrunReported_ = true;
        reportError(error::kBufferOverrun, "buffer overrun");
    }
}

void S101Decoder::feed(std::span<const std::uint8_t> data, Sink& sink) {
    for (std::size_t i = 0; i < data.size(); ++i) {
        std::uint8_t byte = data[i];
        switch (state_) {
        case State::Idle:
            if (byte == s101::kBof) {
                startEscaped();
            } else if (byte == s101::kNonEscapingStart) {
                state_ = State::LengthCount;
                size_ = 0;
                overrunReported_ = false;
            }
            break;
        case State::Escaped:
            if (byte == s101::kBof) {
                startEscaped();
                break;
            }
            if (byte == s101::kEscape) {
                escapePending_ = true;
                break;
            }
            if (byte == s101::kEof) {
                state_ = State::Idle;
                if (size_ >= 2 && crc_ == s101::kCrcGood) {
                    sink.onPackage(std::span<const std::uint8_t>(buffer_.data(), size_ - 2));
                }
                break;
            }
            if (byte >= s101::kFirstEscaped) {
                state_ = State::Idle;
                break;
            }
            if (escapePending_) {
                byte = static_cast<std::uint8_t>(byte ^ s101::kEscapeXor);
                escapePending_ = false;
            }
            crc_ = s101::crcUpdate(crc_, byte);
            store(byte);
            break;
        case State::LengthCount:
            lengthBytesLeft_ = byte & 0x07U;
            payloadLeft_ = 0;
            state_ = State::Length;
            if (lengthBytesLeft_ == 0) {
                state_ = State::Idle;
                sink.onPackage({});
            }
            break;
        case State::Length:
            payloadLeft_ = (payloadLeft_ << 8) | byte;
            if (--lengthBytesLeft_ != 0) {
                break;
            }
            state_ = State::Payload;
            if (payloadLeft_ == 0) {
                state_ = State::Idle;
                sink.onPackage({});
            } else if (payloadLeft_ > buffer_.size()) {
                // Following a length that no frame here may have would swallow the frames
                // behind it; dropping the frame resynchronises on the next BOF instead.
                overrun();
                state_ = State::Idle;
            }
            break;
        case State::Payload: {
            // Copy the run of payload bytes at once; only the buffer bound needs a byte view.
            const auto run =
                static_cast<std::size_t>(std::min<std::uint64_t>(payloadLeft_, data.size() - i));
            const std::size_t room = buffer_.size() - size_;
            const std::size_t copied = std::min(run, room);
            std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(i), copied,
                        buffer_.begin() + static_cast<std::ptrdiff_t>(size_));
            size_ += copied;
            if (copied < run) {
                overrun();
            }
            payloadLeft_ -= run;
            i += run - 1;
            if (payloadLeft_ == 0) {
                state_ = State::Idle;
                sink.onPackage(std::span<const std::uint8_t>(buffer_.data(), size_));
            }
            break;
        }
        }
    }
}

}  // namespace pellan::ember
