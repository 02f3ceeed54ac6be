#pragma once
#include "ember_codec/ber.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace pellan::ember {

/// Reads the BER stream of one Ember+ message as Glow writes it, without recursion: every
/// field is an explicit (context or application, constructed) tag around exactly one TLV,
/// which is either a universal value or a container (application tag, SEQUENCE or SET) of
/// further fields. Containers are reported opened and closed, values with their field tag.
///
/// Kind: loop-bound value: one thread at a time. State persists across feed() calls.
/// Bounds: at most kMaxContainers open containers (error 111 beyond: the container is skipped
///   whole); values above kMaxValueLength are skipped and reported malformed. Anything the
///   reader cannot place is skipped by its length or, for indefinite lengths, by counting
///   nested end-of-contents pairs, so one bad element costs only itself.
/// Errors go to the codec error hook (101 to 112) and decoding goes on; only a length of more
///   than four bytes (104) makes the rest of the message unreadable, which is then dropped.
class BerReader {
public:
    static constexpr std::size_t kMaxContainers = 65;
    static constexpr std::size_t kMaxValueLength = 65536;

    class Sink {
    public:
        virtual ~Sink() = default;
        /// A container opened: `outer` is its field tag, `inner` its type tag.
        virtual void onContainerBegin(ber::Tag outer, ber::Tag inner) = 0;
        /// The innermost open container closed; `complete` is false when it was cut short.
        virtual void onContainerEnd(bool complete) = 0;
        /// A value in the innermost open container (or at top level). `malformed` says the
        /// value's encoding was unusable (constructed, indefinite or too long): the sink
        /// reports the encoding error of its type and `bytes` is empty.
        virtual void onValue(ber::Tag outer, std::uint32_t type,
                             std::span<const std::uint8_t> bytes, bool malformed) = 0;
    };

    explicit BerReader(Sink& sink);

    void feed(std::span<const std::uint8_t> data);
    /// Ends the message: reports 106 when it ended inside a container or a TLV, then
    /// forgets everything.
    void endMessage();
    /// Forgets everything without a report.
    void reset();

    /// Open containers now, for tests.
    std::size_t openContainers() const { return containers_; }

private:
    static constexpr std::uint64_t kIndefinite = ~std::uint64_t{0};
    static constexpr std::size_t kNone = ~std::size_t{0};
    // Each container is an explicit tag and its type tag; one more explicit tag may be
    // open above the innermost container.
    static constexpr std::size_t kMaxEntries = 2 * kMaxContainers + 1;

    enum class State : std::uint8_t {
        Tag,         // At a TLV boundary: the first identifier byte.
        TagMore,     // Further identifier bytes of a high tag number.
        Terminator,  // The second byte of an end-of-contents pair.
        Length,
        LengthMore,
        Value,
        RawSkip,
        Discard,  // The message cannot be read further.
    };

    struct Entry {
        std::uint64_t end = kIndefinite;  // Absolute position, or kIndefinite.
        std::size_t savedLimit = kNone;   // limit_ before this entry was pushed.
        ber::Tag tag;
        bool container = false;  // A type tag (else an explicit field tag).
        bool clamped = false;    // Its declared end lay beyond an enclosing container's.
    };

    std::size_t consume(std::span<const std::uint8_t> data, std::size_t at);
    void onTagByte(std::uint8_t byte);
    void onHeader(bool indefinite, std::uint64_t length);
    void onTerminator();
    void innerHeader(bool indefinite, std::uint64_t length);
    void outerHeader(bool indefinite, std::uint64_t length);
    void push(ber::Tag tag, bool container, bool indefinite, std::uint64_t length);
    void pop(bool complete);
    /// Skips a TLV's content; `reportValue` makes the skipped TLV a malformed value.
    void skip(bool indefinite, std::uint64_t length, bool reportValue);
    void skipDone();
    void deliverValue(std::span<const std::uint8_t> bytes, bool malformed);
    void onLimit();
    bool atBoundary() const { return state_ == State::Tag && skipDepth_ == 0; }
    std::uint64_t limitEnd() const { return limit_ == kNone ? kIndefinite : stack_[limit_].end; }
    const ber::Tag* outerTag() const;

    Sink& sink_;
    std::array<Entry, kMaxEntries> stack_{};
    std::size_t size_ = 0;        // Entries in stack_.
    std::size_t containers_ = 0;  // Container entries in stack_.
    std::size_t limit_ = kNone;   // Index of the innermost entry with a definite end.

    State state_ = State::Tag;
    std::uint64_t pos_ = 0;  // Bytes of the message consumed.

    ber::Tag tag_;
    unsigned tagOctets_ = 0;
    std::uint64_t length_ = 0;
    unsigned lengthOctetsLeft_ = 0;

    std::uint32_t valueType_ = 0;
    std::uint64_t valueLeft_ = 0;
    std::vector<std::uint8_t> valueBytes_;  // A value that arrives in pieces.

    std::uint64_t skipLeft_ = 0;
    std::uint64_t skipDepth_ = 0;  // Open indefinite TLVs inside a skipped one.
    bool skipReportsValue_ = false;
    std::uint32_t skipType_ = 0;
};

}  // namespace pellan::ember
