#include "ember_codec/ber_reader.hpp"

#include "ember_codec/glow_hooks.hpp"

#include <algorithm>

namespace pellan::ember {

BerReader::BerReader(Sink& sink) : sink_(sink) {}

void BerReader::reset() {
    size_ = 0;
    containers_ = 0;
    limit_ = kNone;
    state_ = State::Tag;
    pos_ = 0;
    skipLeft_ = 0;
    skipDepth_ = 0;
    skipReportsValue_ = false;
    valueBytes_.clear();
    // A long value once is no reason to hold its memory for the connection's life.
    if (valueBytes_.capacity() > 4096) {
        valueBytes_.shrink_to_fit();
    }
}

void BerReader::endMessage() {
    if (state_ != State::Discard && (size_ != 0 || !atBoundary())) {
        reportError(error::kUnexpectedEndOfContainer, "Unexpected end of container");
    }
    reset();
}

void BerReader::feed(std::span<const std::uint8_t> data) {
    std::size_t at = 0;
    while (at < data.size() && state_ != State::Discard) {
        at = consume(data, at);
        if (pos_ == limitEnd() && state_ != State::Discard) {
            onLimit();
        }
    }
}

std::size_t BerReader::consume(std::span<const std::uint8_t> data, std::size_t at) {
    const std::uint8_t byte = data[at];
    switch (state_) {
    case State::Tag:
        ++pos_;
        onTagByte(byte);
        return at + 1;
    case State::TagMore:
        ++pos_;
        if (tagOctets_ < 7 && ++tagOctets_ == 7) {
            reportError(error::kTagOctetsOutOfBounds, "Number of tag octets out of bounds");
        }
        // Saturate: a number this large matches no field and is skipped like any unknown one.
        tag_.number = tag_.number > (0xFFFFFFFFU >> 7)
                          ? 0xFFFFFFFFU
                          : (tag_.number << 7) | static_cast<std::uint32_t>(byte & 0x7FU);
        if ((byte & 0x80U) == 0) {
            state_ = State::Length;
        }
        return at + 1;
    case State::Terminator:
        ++pos_;
        if (byte != 0) {
            reportError(error::kNonZeroByteInTerminator, "Non-zero byte in terminator");
        }
        onTerminator();
        return at + 1;
    case State::Length:
        ++pos_;
        if (byte < ber::kIndefiniteLength) {
            onHeader(false, byte);
        } else if (byte == ber::kIndefiniteLength) {
            onHeader(true, 0);
        } else if ((byte & 0x7FU) > 4) {
            // Without its length nothing after this TLV can be placed.
            reportError(error::kLengthOctetsOutOfBounds, "Number of length octets out of bounds");
            state_ = State::Discard;
        } else {
            length_ = 0;
            lengthOctetsLeft_ = byte & 0x7FU;
            state_ = State::LengthMore;
        }
        return at + 1;
    case State::LengthMore:
        ++pos_;
        length_ = (length_ << 8) | byte;
        if (--lengthOctetsLeft_ == 0) {
            onHeader(false, length_);
        }
        return at + 1;
    case State::Value: {
        const std::size_t run = static_cast<std::size_t>(std::min(
            {valueLeft_, static_cast<std::uint64_t>(data.size() - at), limitEnd() - pos_}));
        const auto piece = data.subspan(at, run);
        pos_ += run;
        valueLeft_ -= run;
        if (valueLeft_ == 0 && valueBytes_.empty()) {
            state_ = State::Tag;
            deliverValue(piece, false);
            return at + run;
        }
        valueBytes_.insert(valueBytes_.end(), piece.begin(), piece.end());
        if (valueLeft_ == 0) {
            state_ = State::Tag;
            deliverValue(valueBytes_, false);
            valueBytes_.clear();
        }
        return at + run;
    }
    case State::RawSkip: {
        const std::size_t run = static_cast<std::size_t>(
            std::min({skipLeft_, static_cast<std::uint64_t>(data.size() - at), limitEnd() - pos_}));
        pos_ += run;
        skipLeft_ -= run;
        if (skipLeft_ == 0) {
            state_ = State::Tag;
            if (skipDepth_ == 0) {
                skipDone();
            }
        }
        return at + run;
    }
    case State::Discard:
        break;
    }
    return data.size();
}

void BerReader::onTagByte(std::uint8_t byte) {
    if (byte == 0) {
        state_ = State::Terminator;
        return;
    }
    tag_.tagClass = static_cast<std::uint8_t>(byte & ber::kClassMask);
    tag_.constructed = (byte & ber::kConstructed) != 0;
    tag_.number = byte & ber::kTagNumberMask;
    tagOctets_ = 1;
    if (tag_.number == ber::kTagNumberMask) {
        tag_.number = 0;
        state_ = State::TagMore;
        return;
    }
    state_ = State::Length;
}

void BerReader::onTerminator() {
    state_ = State::Tag;
    if (skipDepth_ > 0) {
        if (--skipDepth_ == 0) {
            skipDone();
        }
        return;
    }
    if (size_ == 0) {
        reportError(error::kStackUnderflow, "ember tree stack underflow");
        return;
    }
    if (stack_[size_ - 1].end != kIndefinite) {
        reportError(error::kUnexpectedTerminator, "Unexpected terminator");
        return;
    }
    pop(true);
}

void BerReader::onHeader(bool indefinite, std::uint64_t length) {
    state_ = State::Tag;
    if (skipDepth_ > 0) {
        if (indefinite) {
            ++skipDepth_;
        } else if (length > 0) {
            skipLeft_ = length;
            state_ = State::RawSkip;
        }
        return;
    }
    if (size_ > 0 && !stack_[size_ - 1].container) {
        innerHeader(indefinite, length);
    } else {
        outerHeader(indefinite, length);
    }
}

void BerReader::outerHeader(bool indefinite, std::uint64_t length) {
    if (tag_.tagClass == ber::kClassUniversal) {
        reportError(error::kUniversalOuterTag, "Universal outer tag encountered");
        skip(indefinite, length, false);
        return;
    }
    if (!tag_.constructed) {
        reportError(error::kPrimitiveOuterTag, "Primitive outer tag encountered");
        skip(indefinite, length, false);
        return;
    }
    if (!indefinite && length == 0) {
        reportError(error::kZeroOuterLength, "Zero outer length encountered");
        return;
    }
    push(tag_, false, indefinite, length);
}

void BerReader::innerHeader(bool indefinite, std::uint64_t length) {
    const ber::Tag inner = tag_;
    const bool universal = inner.tagClass == ber::kClassUniversal;
    const bool isContainer =
        inner.constructed &&
        (inner.tagClass == ber::kClassApplication ||
         (universal && (inner.number == ber::kTypeSequence || inner.number == ber::kTypeSet)));
    if (isContainer) {
        if (containers_ == kMaxContainers) {
            reportError(error::kStackOverflow, "ember tree stack overflow");
            skip(indefinite, length, false);
            return;
        }
        const ber::Tag outer = stack_[size_ - 1].tag;
        push(inner, true, indefinite, length);
        sink_.onContainerBegin(outer, inner);
        return;
    }
    if (!universal) {
        reportError(error::kNonUniversalInnerTag, "Non-universal inner tag encountered");
        skip(indefinite, length, false);
        return;
    }
    if (inner.number == 0 || inner.number > 30) {
        reportError(error::kInvalidBerType, "Invalid BER type encountered");
        skip(indefinite, length, false);
        return;
    }
    if (inner.constructed || indefinite || length > kMaxValueLength) {
        skip(indefinite, length, true);
        return;
    }
    valueType_ = inner.number;
    if (length == 0) {
        deliverValue({}, false);
        return;
    }
    valueLeft_ = length;
    state_ = State::Value;
}

void BerReader::push(ber::Tag tag, bool container, bool indefinite, std::uint64_t length) {
    Entry& entry = stack_[size_];
    entry.tag = tag;
    entry.container = container;
    entry.clamped = false;
    entry.savedLimit = limit_;
    entry.end = kIndefinite;
    if (!indefinite) {
        const std::uint64_t bound = limitEnd();
        entry.end = pos_ + length;
        if (entry.end > bound) {
            entry.end = bound;
            entry.clamped = true;
        }
        limit_ = size_;
    }
    ++size_;
    if (container) {
        ++containers_;
    }
}

void BerReader::pop(bool complete) {
    const Entry& entry = stack_[--size_];
    limit_ = entry.savedLimit;
    if (entry.container) {
        --containers_;
        sink_.onContainerEnd(complete);
    }
}

void BerReader::skip(bool indefinite, std::uint64_t length, bool reportValue) {
    skipReportsValue_ = reportValue;
    skipType_ = tag_.number;
    state_ = State::Tag;
    if (indefinite) {
        skipDepth_ = 1;
        return;
    }
    if (length == 0) {
        skipDone();
        return;
    }
    skipLeft_ = length;
    state_ = State::RawSkip;
}

void BerReader::skipDone() {
    if (!skipReportsValue_) {
        return;
    }
    skipReportsValue_ = false;
    valueType_ = skipType_;
    deliverValue({}, true);
}

void BerReader::deliverValue(std::span<const std::uint8_t> bytes, bool malformed) {
    const ber::Tag* outer = outerTag();
    sink_.onValue(outer != nullptr ? *outer : ber::Tag{}, valueType_, bytes, malformed);
}

const ber::Tag* BerReader::outerTag() const {
    if (size_ == 0 || stack_[size_ - 1].container) {
        return nullptr;
    }
    return &stack_[size_ - 1].tag;
}

void BerReader::onLimit() {
    if (!atBoundary()) {
        // The innermost definite container ended inside a TLV: drop the TLV and the
        // containers it cut.
        reportError(error::kUnexpectedEndOfContainer, "Unexpected end of container");
        state_ = State::Tag;
        skipDepth_ = 0;
        skipReportsValue_ = false;
        valueBytes_.clear();
        const std::size_t through = limit_;
        while (size_ > through) {
            pop(false);
        }
    }
    while (limit_ != kNone && pos_ == stack_[limit_].end) {
        const bool cut = size_ - 1 != limit_ || stack_[limit_].clamped;
        if (cut) {
            reportError(error::kUnexpectedEndOfContainer, "Unexpected end of container");
        }
        const std::size_t through = limit_;
        while (size_ > through) {
            pop(!cut);
        }
    }
}

}  // namespace pellan::ember
