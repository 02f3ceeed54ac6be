#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace pellan {

/// Bytes of an OCTET STRING value, kept apart from text.
struct GlowOctets {
    std::vector<std::uint8_t> bytes;
    friend bool operator==(const GlowOctets&, const GlowOctets&) = default;
};

/// A parameter value: none (NULL), integer, real, string (UTF8String), Boolean or octets.
using GlowValue = std::variant<std::monostate, std::int64_t, double, std::string, bool, GlowOctets>;
/// A minimum or maximum: none (NULL), integer or real.
using GlowMinMax = std::variant<std::monostate, std::int64_t, double>;

/// The value as the clients count it: a Boolean as 0 or 1, an integer by its low 32 bits;
/// no number for the other kinds.
std::optional<std::int32_t> glowValueAsInt32(const GlowValue& value);

/// Which parameter contents were present, by ParameterContents field.
enum GlowParameterFields : std::uint32_t {
    GlowFieldIdentifier = 0x1,
    GlowFieldDescription = 0x2,
    GlowFieldValue = 0x4,
    GlowFieldMinimum = 0x8,
    GlowFieldMaximum = 0x10,
    GlowFieldAccess = 0x20,
    GlowFieldFormat = 0x40,
    GlowFieldFactor = 0x80,
    GlowFieldIsOnline = 0x100,
    GlowFieldStep = 0x200,
    GlowFieldDefault = 0x400,
    GlowFieldType = 0x800,
    GlowFieldStreamIdentifier = 0x1000,
    GlowFieldStreamDescriptor = 0x10000,
    GlowFieldSchemaIdentifiers = 0x40000,
    GlowFieldTemplateReference = 0x80000,
};

/// StreamDescription of a parameter: how its value sits in a stream entry.
struct GlowStreamDescription {
    std::int32_t format = 0;
    std::int32_t offset = 0;
    friend bool operator==(const GlowStreamDescription&, const GlowStreamDescription&) = default;
};

/// The contents of one parameter. A member whose field bit is not set holds its empty value.
struct GlowParameter {
    std::string identifier;
    std::string description;
    GlowValue value;
    GlowMinMax minimum;
    GlowMinMax maximum;
    std::int32_t access = 0;
    std::int32_t factor = 0;
    bool isOnline = false;
    std::int32_t step = 0;
    GlowValue defaultValue;
    std::int32_t type = 0;
    std::int32_t streamIdentifier = 0;
    GlowStreamDescription streamDescriptor;
    std::string schemaIdentifiers;
    std::vector<std::int32_t> templateReference;

    friend bool operator==(const GlowParameter&, const GlowParameter&) = default;
};

/// Application tag numbers of the Glow DTD.
enum class GlowType : std::uint32_t {
    Root = 0,
    Parameter = 1,
    Command = 2,
    Node = 3,
    ElementCollection = 4,
    StreamEntry = 5,
    StreamCollection = 6,
    StringIntegerPair = 7,
    StringIntegerCollection = 8,
    QualifiedParameter = 9,
    QualifiedNode = 10,
    RootElementCollection = 11,
    StreamDescription = 12,
    Matrix = 13,
    Target = 14,
    Source = 15,
    Connection = 16,
    QualifiedMatrix = 17,
    Label = 18,
    Function = 19,
    QualifiedFunction = 20,
    TupleItemDescription = 21,
    Invocation = 22,
    InvocationResult = 23,
    Template = 24,
    QualifiedTemplate = 25,
};

/// Command numbers of the Glow DTD.
enum class GlowCommandType : std::int32_t {
    Subscribe = 30,
    Unsubscribe = 31,
    GetDirectory = 32,
    Invoke = 33,
};

/// A command to write. `dirFieldMask` goes out only for GetDirectory and only when not 0;
/// `invocationId` only for Invoke.
struct GlowCommand {
    GlowCommandType number = GlowCommandType::GetDirectory;
    std::int32_t dirFieldMask = 0;
    std::int32_t invocationId = 0;
};

/// Which qualified element wraps a command.
enum class GlowElementType : int {
    QualifiedNode = 0,
    QualifiedParameter = 1,
    QualifiedMatrix = 2,
    QualifiedFunction = 3,
};

/// The longest numeric path the codec holds.
inline constexpr std::size_t kGlowMaxPathLength = 32;

}  // namespace pellan
