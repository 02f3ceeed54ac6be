#include "ember_codec/glow_output.hpp"

#include "ember_codec/ber.hpp"
#include "ember_codec/glow_hooks.hpp"

#include <algorithm>

namespace pellan {
namespace {

namespace ber = ember::ber;
namespace s101 = ember::s101;

constexpr ber::Tag universalTag(std::uint32_t type, bool constructed) {
    return {ber::kClassUniversal, constructed, type};
}

constexpr ber::Tag glowTag(GlowType type) {
    return ber::applicationTag(static_cast<std::uint32_t>(type));
}

std::size_t lengthOfLength(std::size_t length) {
    std::uint8_t scratch[16];
    return ber::encodeLength(length, scratch);
}

}  // namespace

GlowOutput::GlowOutput(std::uint8_t* buffer, std::size_t size, std::uint8_t slot)
    : frame_(buffer, buffer == nullptr ? 0 : std::min(size, kMaxPackageSize)), slot_(slot) {}

bool GlowOutput::inPackage(int line) {
    if (open_) {
        return true;
    }
    ember::reportAssert(__FILE__, line);
    return false;
}

void GlowOutput::beginPackage(bool isLast) {
    if (open_) {
        ember::reportAssert(__FILE__, __LINE__);
    }
    open_ = true;
    isLast_ = isLast;
    failed_ = false;
    const bool first = packages_ == 0;
    ++packages_;
    frame_.begin();
    put(slot_);
    put(s101::kMessageEmber);
    put(s101::kCommandEmber);
    put(s101::kVersion);
    put(static_cast<std::uint8_t>((first ? s101::kFlagFirst : 0) | (isLast ? s101::kFlagLast : 0)));
    put(s101::kDtdGlow);
    put(static_cast<std::uint8_t>(s101::kAppBytes.size()));
    putBytes(s101::kAppBytes.data(), s101::kAppBytes.size());
    if (first) {
        open(glowTag(GlowType::Root), glowTag(GlowType::RootElementCollection));
    }
}

void GlowOutput::putBytes(const std::uint8_t* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        put(bytes[i]);
    }
}

void GlowOutput::putTag(ber::Tag tag) {
    std::uint8_t bytes[16];
    putBytes(bytes, ber::encodeTag(tag, bytes));
}

void GlowOutput::putLength(std::size_t length) {
    std::uint8_t bytes[16];
    putBytes(bytes, ber::encodeLength(length, bytes));
}

void GlowOutput::open(ber::Tag outer, ber::Tag inner) {
    putTag(outer);
    put(ber::kIndefiniteLength);
    putTag(inner);
    put(ber::kIndefiniteLength);
}

void GlowOutput::close() {
    for (int i = 0; i < 4; ++i) {
        put(0);
    }
}

void GlowOutput::field(std::uint32_t context, std::uint32_t type, const std::uint8_t* content,
                       std::size_t length) {
    putTag(ber::contextTag(context));
    putLength(1 + lengthOfLength(length) + length);
    put(static_cast<std::uint8_t>(type));
    putLength(length);
    putBytes(content, length);
}

void GlowOutput::integerField(std::uint32_t context, std::int64_t value) {
    std::uint8_t bytes[16];
    field(context, ber::kTypeInteger, bytes, ber::encodeInteger(value, bytes));
}

void GlowOutput::stringField(std::uint32_t context, std::string_view text) {
    field(context, ber::kTypeUtf8String, reinterpret_cast<const std::uint8_t*>(text.data()),
          text.size());
}

void GlowOutput::oidField(std::uint32_t context, const std::int32_t* numbers, std::size_t count) {
    std::uint8_t groups[16];
    std::size_t length = 0;
    for (std::size_t i = 0; i < count; ++i) {
        length += ber::encodeOidNumber(static_cast<std::uint32_t>(numbers[i]), groups);
    }
    putTag(ber::contextTag(context));
    putLength(1 + lengthOfLength(length) + length);
    put(static_cast<std::uint8_t>(ber::kTypeRelativeOid));
    putLength(length);
    for (std::size_t i = 0; i < count; ++i) {
        putBytes(groups, ber::encodeOidNumber(static_cast<std::uint32_t>(numbers[i]), groups));
    }
}

void GlowOutput::valueField(std::uint32_t context, const GlowValue& value) {
    if (const auto* integer = std::get_if<std::int64_t>(&value)) {
        integerField(context, *integer);
    } else if (const auto* real = std::get_if<double>(&value)) {
        std::uint8_t bytes[16];
        field(context, ber::kTypeReal, bytes, ber::encodeReal(*real, bytes));
    } else if (const auto* text = std::get_if<std::string>(&value)) {
        stringField(context, *text);
    } else if (const auto* flag = std::get_if<bool>(&value)) {
        const std::uint8_t byte = *flag ? 0xFF : 0x00;
        field(context, ber::kTypeBoolean, &byte, 1);
    } else if (const auto* octets = std::get_if<GlowOctets>(&value)) {
        field(context, ber::kTypeOctetString, octets->bytes.data(), octets->bytes.size());
    } else if (std::holds_alternative<std::monostate>(value)) {
        field(context, ber::kTypeNull, nullptr, 0);
    } else {
        ember::reportError(ember::error::kUnsupportedValueWrite,
                           "GlowValue object has unsupported type!");
        failed_ = true;
    }
}

void GlowOutput::minMaxField(std::uint32_t context, const GlowMinMax& value) {
    if (const auto* integer = std::get_if<std::int64_t>(&value)) {
        integerField(context, *integer);
    } else if (const auto* real = std::get_if<double>(&value)) {
        std::uint8_t bytes[16];
        field(context, ber::kTypeReal, bytes, ber::encodeReal(*real, bytes));
    } else if (std::holds_alternative<std::monostate>(value)) {
        field(context, ber::kTypeNull, nullptr, 0);
    } else {
        ember::reportError(ember::error::kUnsupportedMinMaxWrite,
                           "GlowMinMax object has unsupported type!");
        failed_ = true;
    }
}

bool GlowOutput::checkPath(const std::int32_t* path, std::size_t pathLength) {
    bool valid = pathLength <= kGlowMaxPathLength && (path != nullptr || pathLength == 0);
    for (std::size_t i = 0; valid && i < pathLength; ++i) {
        valid = path[i] >= 0;
    }
    if (!valid) {
        ember::reportAssert(__FILE__, __LINE__);
        failed_ = true;
    }
    return valid;
}

void GlowOutput::writeQualifiedCommand(const GlowCommand& command, const std::int32_t* path,
                                       std::size_t pathLength, GlowElementType elementType) {
    if (!inPackage(__LINE__) || !checkPath(path, pathLength)) {
        return;
    }
    GlowType qualified = GlowType::Command;
    switch (elementType) {
    case GlowElementType::QualifiedNode:
        qualified = GlowType::QualifiedNode;
        break;
    case GlowElementType::QualifiedParameter:
        qualified = GlowType::QualifiedParameter;
        break;
    case GlowElementType::QualifiedMatrix:
        qualified = GlowType::QualifiedMatrix;
        break;
    case GlowElementType::QualifiedFunction:
        qualified = GlowType::QualifiedFunction;
        break;
    }
    const bool wrapped = pathLength > 0 && qualified != GlowType::Command;
    if (wrapped) {
        open(ber::contextTag(0), glowTag(qualified));
        oidField(0, path, pathLength);
        open(ber::contextTag(2), glowTag(GlowType::ElementCollection));
    }
    open(ber::contextTag(0), glowTag(GlowType::Command));
    integerField(0, static_cast<std::int32_t>(command.number));
    if (command.number == GlowCommandType::GetDirectory && command.dirFieldMask != 0) {
        integerField(1, command.dirFieldMask);
    }
    if (command.number == GlowCommandType::Invoke) {
        open(ber::contextTag(2), glowTag(GlowType::Invocation));
        integerField(0, command.invocationId);
        close();
    }
    close();
    if (wrapped) {
        close();
        close();
    }
}

void GlowOutput::writeQualifiedParameter(const GlowParameter& parameter, std::uint32_t fields,
                                         const std::int32_t* path, std::size_t pathLength) {
    if (!inPackage(__LINE__) || !checkPath(path, pathLength)) {
        return;
    }
    if (pathLength == 0) {
        ember::reportAssert(__FILE__, __LINE__);  // A QualifiedParameter needs its path.
        failed_ = true;
        return;
    }
    if (parameter.templateReference.size() > kGlowMaxPathLength ||
        std::any_of(parameter.templateReference.begin(), parameter.templateReference.end(),
                    [](std::int32_t number) { return number < 0; })) {
        ember::reportAssert(__FILE__, __LINE__);
        failed_ = true;
        return;
    }
    open(ber::contextTag(0), glowTag(GlowType::QualifiedParameter));
    oidField(0, path, pathLength);
    open(ber::contextTag(1), universalTag(ber::kTypeSet, true));
    const auto has = [fields](std::uint32_t bit) { return (fields & bit) != 0; };
    if (has(GlowFieldIdentifier)) {
        stringField(0, parameter.identifier);
    }
    if (has(GlowFieldDescription)) {
        stringField(1, parameter.description);
    }
    if (has(GlowFieldValue)) {
        valueField(2, parameter.value);
    }
    if (has(GlowFieldMinimum)) {
        minMaxField(3, parameter.minimum);
    }
    if (has(GlowFieldMaximum)) {
        minMaxField(4, parameter.maximum);
    }
    if (has(GlowFieldAccess)) {
        integerField(5, parameter.access);
    }
    if (has(GlowFieldFactor)) {
        integerField(8, parameter.factor);
    }
    if (has(GlowFieldIsOnline)) {
        const std::uint8_t byte = parameter.isOnline ? 0xFF : 0x00;
        field(9, ber::kTypeBoolean, &byte, 1);
    }
    if (has(GlowFieldStep)) {
        integerField(11, parameter.step);
    }
    if (has(GlowFieldDefault)) {
        valueField(12, parameter.defaultValue);
    }
    if (has(GlowFieldType)) {
        integerField(13, parameter.type);
    }
    if (has(GlowFieldStreamIdentifier)) {
        integerField(14, parameter.streamIdentifier);
    }
    if (has(GlowFieldStreamDescriptor)) {
        open(ber::contextTag(16), glowTag(GlowType::StreamDescription));
        integerField(0, parameter.streamDescriptor.format);
        integerField(1, parameter.streamDescriptor.offset);
        close();
    }
    if (has(GlowFieldSchemaIdentifiers)) {
        stringField(17, parameter.schemaIdentifiers);
    }
    if (has(GlowFieldTemplateReference)) {
        oidField(18, parameter.templateReference.data(), parameter.templateReference.size());
    }
    close();
    close();
}

int GlowOutput::finishPackage() {
    if (!inPackage(__LINE__)) {
        return 0;
    }
    if (isLast_) {
        close();
    }
    const bool bodyFits = !frame_.overflow();
    const bool frameFits = frame_.finish();
    if (!bodyFits) {
        ember::reportError(ember::error::kOutputCapacity, "BerMemoryOutput capacity exceeded");
    } else if (!frameFits) {
        ember::reportError(ember::error::kOutputCapacityTrailer,
                           "BerMemoryOutput capacity exceeded");
    }
    const bool failed = failed_ || !frameFits;
    open_ = false;
    failed_ = false;
    if (isLast_) {
        packages_ = 0;
    }
    return failed ? -1 : static_cast<int>(frame_.size());
}

}  // namespace pellan
