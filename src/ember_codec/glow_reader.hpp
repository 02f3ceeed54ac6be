#pragma once
#include "ember_codec/ber_reader.hpp"
#include "ember_codec/glow_types.hpp"
#include "ember_codec/s101_decoder.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

namespace pellan {

/// Receives one completed parameter: its contents, the GlowParameterFields bits of the
/// contents that were present, and its full numeric path.
using GlowParameterCallback = std::function<void(
    const GlowParameter& parameter, std::uint32_t fields, std::span<const std::int32_t> path)>;

/// Decodes the byte stream an Ember+ provider sends on one connection: S101 frames (escaped
/// with CRC, or non-escaping), packages of one or more per message, the BER tree of each
/// message, and the Glow elements in it. Every parameter whose contents were read is
/// reported with its path; all other elements are read and skipped.
///
/// Kind: loop-bound: one thread at a time (the connection worker). Frame, BER and path state
///   persist across readBytes() calls, so frames and packages may arrive in any pieces.
/// Callbacks: onParameter runs inside readBytes(), on its caller's thread; it must not call
///   readBytes() or reset() of the same reader (that is refused through the assert hook).
///   An exception from it leaves readBytes() after the reader forgot the frame and message
///   in progress.
/// Errors: every fault in the peer's bytes goes to the codec error hook with its number and
///   message, and decoding goes on; frames with a bad CRC or an invalid byte are dropped
///   silently, a keep-alive or any other non-Ember frame is ignored.
/// Memory: the frame buffer is allocated once; decoding allocates only for long decoded
///   values (the parameter under construction is reused from one parameter to the next).
///
/// What the walker trusts: a Node, Parameter, Matrix, Function or Template is placed by its
/// number; a qualified element only directly below the root and only with a valid path.
/// Parameters below an element that could not be placed (a missing, malformed or surplus
/// number or path, a qualified element below the root: errors 111, 202, 203, 207, 501 to
/// 504, 509, 510) are not reported, so no value ever reaches a wrong path. A path of more
/// than 32 numbers reports 207 (qualified) or 111 (nested).
class GlowReader : private ember::S101Decoder::Sink, private ember::BerReader::Sink {
public:
    static constexpr std::size_t kFrameBufferSize = 4096;

    explicit GlowReader(GlowParameterCallback onParameter,
                        std::size_t frameBufferSize = kFrameBufferSize);
    ~GlowReader() override = default;
    GlowReader(const GlowReader&) = delete;
    GlowReader& operator=(const GlowReader&) = delete;

    void readBytes(const std::uint8_t* data, std::size_t length);
    void readBytes(std::span<const std::uint8_t> data) { readBytes(data.data(), data.size()); }
    /// Forgets every frame and message in progress, as for a new connection.
    void reset();

private:
    enum class Role : std::uint8_t {
        Ignored,
        Root,        // The RootElementCollection of a Root.
        Collection,  // Children of an element.
        Element,     // Node, Parameter, Matrix, Function, Template.
        Qualified,   // Their qualified forms.
        Contents,    // The contents SET of a Parameter or QualifiedParameter.
        StreamDescription,
    };

    struct Scope {
        Role role = Role::Ignored;
        GlowType type = GlowType::Root;
        bool placed = false;       // Its number or path was read and holds.
        bool suppressing = false;  // Counted in suppress_.
        std::uint8_t pathBefore = 0;
    };

    void onPackage(std::span<const std::uint8_t> package) override;
    void onContainerBegin(ember::ber::Tag outer, ember::ber::Tag inner) override;
    void onContainerEnd(bool complete) override;
    void onValue(ember::ber::Tag outer, std::uint32_t type, std::span<const std::uint8_t> bytes,
                 bool malformed) override;

    void resetMessage();
    void suppress(Scope& scope);
    Role childRole(const Scope* parent, ember::ber::Tag outer, ember::ber::Tag inner) const;
    void readNumber(Scope& scope, std::uint32_t type, std::span<const std::uint8_t> bytes,
                    bool malformed);
    void readPath(Scope& scope, std::uint32_t type, std::span<const std::uint8_t> bytes,
                  bool malformed);
    void readContentsField(std::uint32_t field, std::uint32_t type,
                           std::span<const std::uint8_t> bytes, bool malformed);
    void clearParameter();

    GlowParameterCallback onParameter_;
    ember::S101Decoder frames_;
    ember::BerReader ber_;

    std::array<Scope, ember::BerReader::kMaxContainers> scopes_{};
    std::size_t depth_ = 0;
    std::array<std::int32_t, kGlowMaxPathLength> path_{};
    std::size_t pathLength_ = 0;
    std::size_t suppress_ = 0;  // Open scopes below which no parameter is reported.

    GlowParameter parameter_;
    std::uint32_t fields_ = 0;
    bool busy_ = false;
};

}  // namespace pellan
