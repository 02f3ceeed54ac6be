#pragma once
#include "ember_codec/ber.hpp"
#include "ember_codec/glow_types.hpp"
#include "ember_codec/s101.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace pellan {

/// Writes one Ember+ message, package by package, into a caller's buffer: S101 framing
/// (escaping, CRC) around the BER of a Glow Root. The clients write single-package messages
/// (beginPackage(true), one element, finishPackage()): a GetDirectory wrapped in a
/// QualifiedNode, or a QualifiedParameter carrying a Boolean value.
///
/// Kind: value, used by one thread at a time. Never allocates.
/// Capacity: at most kMaxPackageSize bytes of the buffer are used; bytes beyond it are dropped,
///   reported once per package (303, or 304 when only the CRC or EOF did not fit) and the
///   package's finishPackage() returns -1.
/// Misuse (an element outside a package, a path above 32 numbers or with negative numbers)
///   goes to the assert hook and fails the package.
/// After finishPackage() of the last package the output is as new, for the next message.
class GlowOutput {
public:
    static constexpr std::size_t kMaxPackageSize = 1024;

    GlowOutput(std::uint8_t* buffer, std::size_t size, std::uint8_t slot = 0);

    /// BOF and the package header, flags 0x80 on a message's first package plus 0x40 when
    /// `isLast`; the first package also opens the Root and its RootElementCollection.
    void beginPackage(bool isLast);
    /// One root element: the qualified element `elementType` with `path` whose children hold
    /// the command, or (path length 0, or another element type) the command itself.
    void writeQualifiedCommand(const GlowCommand& command, const std::int32_t* path,
                               std::size_t pathLength, GlowElementType elementType);
    /// One root element QualifiedParameter with `path` and, in its contents, the fields of
    /// `parameter` selected by `fields` (GlowParameterFields bits; format is never written).
    void writeQualifiedParameter(const GlowParameter& parameter, std::uint32_t fields,
                                 const std::int32_t* path, std::size_t pathLength);
    /// Closes the Root on the last package, appends CRC and EOF. Returns the package's length
    /// in bytes, -1 when it did not fit or the package failed, 0 without a package begun.
    int finishPackage();

private:
    void put(std::uint8_t byte) { frame_.put(byte); }
    void putBytes(const std::uint8_t* bytes, std::size_t count);
    void putTag(ember::ber::Tag tag);
    void putLength(std::size_t length);
    void open(ember::ber::Tag outer, ember::ber::Tag inner);
    void close();
    void field(std::uint32_t context, std::uint32_t type, const std::uint8_t* content,
               std::size_t length);
    void integerField(std::uint32_t context, std::int64_t value);
    void stringField(std::uint32_t context, std::string_view text);
    void oidField(std::uint32_t context, const std::int32_t* numbers, std::size_t count);
    void valueField(std::uint32_t context, const GlowValue& value);
    void minMaxField(std::uint32_t context, const GlowMinMax& value);
    bool checkPath(const std::int32_t* path, std::size_t pathLength);
    bool inPackage(int line);

    ember::s101::FrameWriter frame_;
    std::uint8_t slot_;
    int packages_ = 0;  // Packages begun of the message being written.
    bool open_ = false;
    bool isLast_ = false;
    bool failed_ = false;
};

}  // namespace pellan
