#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace pellan::ember {

/// Cuts a received byte stream into S101 frames and hands each intact frame's bytes after the
/// BOF, without the CRC (slot, message type, command, ...), to a sink.
///
/// Kind: loop-bound value: one thread at a time. State persists across feed() calls, so a
/// frame may arrive in any number of pieces.
/// Memory: one frame buffer of the size given at construction, allocated once. Bytes of a
/// frame beyond it are dropped with error 401 (once per frame); the CRC still runs over every
/// byte, so an intact oversized frame is handed on cut to the buffer.
/// Frames with a wrong CRC or a byte 0xF8 to 0xFC inside are dropped silently. A non-escaping
/// frame that declares more bytes than the buffer holds is dropped at once with error 401,
/// and decoding resumes at the next BOF.
class S101Decoder {
public:
    class Sink {
    public:
        virtual ~Sink() = default;
        virtual void onPackage(std::span<const std::uint8_t> package) = 0;
    };

    explicit S101Decoder(std::size_t bufferSize);

    void feed(std::span<const std::uint8_t> data, Sink& sink);
    /// Forgets a frame in progress.
    void reset();

private:
    enum class State : std::uint8_t {
        Idle,
        Escaped,
        LengthCount,  // Non-escaping frame: the byte that gives the number of length bytes.
        Length,
        Payload,
    };

    void store(std::uint8_t byte);
    void overrun();
    void startEscaped();

    std::vector<std::uint8_t> buffer_;
    std::size_t size_ = 0;
    State state_ = State::Idle;
    bool escapePending_ = false;
    bool overrunReported_ = false;
    std::uint16_t crc_ = 0;
    unsigned lengthBytesLeft_ = 0;
    std::uint64_t payloadLeft_ = 0;
};

}  // namespace pellan::ember
