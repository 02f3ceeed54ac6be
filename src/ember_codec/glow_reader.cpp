#include "ember_codec/glow_reader.hpp"

#include "base/utf8.hpp"
#include "ember_codec/ber.hpp"
#include "ember_codec/glow_hooks.hpp"
#include "ember_codec/s101.hpp"

#include <algorithm>
#include <new>
#include <utility>

namespace pellan {
namespace {

using ember::ber::Tag;
namespace ber = ember::ber;
namespace error = ember::error;

constexpr std::uint32_t kContentsIdentifier = 0;
constexpr std::uint32_t kContentsDescription = 1;
constexpr std::uint32_t kContentsValue = 2;
constexpr std::uint32_t kContentsMinimum = 3;
constexpr std::uint32_t kContentsMaximum = 4;
constexpr std::uint32_t kContentsAccess = 5;
constexpr std::uint32_t kContentsFactor = 8;
constexpr std::uint32_t kContentsIsOnline = 9;
constexpr std::uint32_t kContentsStep = 11;
constexpr std::uint32_t kContentsDefault = 12;
constexpr std::uint32_t kContentsType = 13;
constexpr std::uint32_t kContentsStreamIdentifier = 14;
constexpr std::uint32_t kContentsStreamDescriptor = 16;
constexpr std::uint32_t kContentsSchemaIdentifiers = 17;
constexpr std::uint32_t kContentsTemplateReference = 18;

constexpr Tag kRootTag = ber::applicationTag(static_cast<std::uint32_t>(GlowType::Root));

bool isContext(Tag tag, std::uint32_t number) {
    return tag.tagClass == ber::kClassContext && tag.number == number;
}

bool isApplication(Tag tag, GlowType type) {
    return tag.tagClass == ber::kClassApplication && tag.number == static_cast<std::uint32_t>(type);
}

bool isQualified(GlowType type) {
    return type == GlowType::QualifiedNode || type == GlowType::QualifiedParameter ||
           type == GlowType::QualifiedMatrix || type == GlowType::QualifiedFunction ||
           type == GlowType::QualifiedTemplate;
}

bool isNumbered(GlowType type) {
    return type == GlowType::Node || type == GlowType::Parameter || type == GlowType::Matrix ||
           type == GlowType::Function || type == GlowType::Template;
}

void reportNonRoot(GlowType type) {
    switch (type) {
    case GlowType::QualifiedNode:
        ember::reportError(error::kNonRootQualifiedNode,
                           "QualifiedNode encountered on non-root level!");
        return;
    case GlowType::QualifiedParameter:
        ember::reportError(error::kNonRootQualifiedParameter,
                           "QualifiedParameter encountered on non-root level!");
        return;
    case GlowType::QualifiedMatrix:
        ember::reportError(error::kNonRootQualifiedOther,
                           "QualifiedMatrix encountered on non-root level!");
        return;
    case GlowType::QualifiedFunction:
        ember::reportError(error::kNonRootQualifiedOther,
                           "QualifiedFunction encountered on non-root level!");
        return;
    default:
        ember::reportError(error::kNonRootQualifiedOther,
                           "QualifiedTemplate encountered on non-root level!");
        return;
    }
}

void reportEmptyPath(GlowType type) {
    switch (type) {
    case GlowType::QualifiedNode:
        ember::reportError(error::kEmptyPathQualifiedNode, "empty path in QualifiedNode!");
        return;
    case GlowType::QualifiedParameter:
        ember::reportError(error::kEmptyPathQualifiedParameter,
                           "empty path in QualifiedParameter!");
        return;
    case GlowType::QualifiedMatrix:
        ember::reportError(error::kEmptyPathQualifiedOther, "empty path in QualifiedMatrix!");
        return;
    case GlowType::QualifiedFunction:
        ember::reportError(error::kEmptyPathQualifiedOther, "empty path in QualifiedFunction!");
        return;
    default:
        ember::reportError(error::kEmptyPathQualifiedOther, "empty path in QualifiedTemplate!");
        return;
    }
}

const char* messageOf(int code) {
    switch (code) {
    case error::kInvalidBoolean:
        return "Invalid Boolean encoding";
    case error::kInvalidInteger:
    case error::kInvalidInteger32:
        return "Invalid Integer encoding";
    case error::kInvalidReal:
        return "Invalid Real encoding";
    case error::kInvalidString:
        return "Invalid String encoding";
    case error::kInvalidOctetString:
        return "Invalid OctetString encoding";
    case error::kInvalidObjectIdentifier:
        return "Invalid ObjectIdentifier encoding";
    case error::kInputEof:
        return "BerMemoryInput EOF";
    default:
        return "";
    }
}

/// Reports a decoder's result; true when it was fine.
bool check(int code) {
    if (code == 0) {
        return true;
    }
    ember::reportError(code, messageOf(code));
    return false;
}

void reportUnsupportedValue() {
    ember::reportError(error::kUnsupportedValue, "BerReader reports unsupported GlowValue type!");
}

void reportUnsupportedMinMax() {
    ember::reportError(error::kUnsupportedMinMax, "BerReader reports unsupported GlowMinMax type!");
}

/// A UTF8String into `target`; false when the field held another type (not recorded).
/// A malformed or invalid string is reported and yields an empty one.
bool readString(std::string& target, std::uint32_t type, std::span<const std::uint8_t> bytes,
                bool malformed) {
    if (type != ber::kTypeUtf8String) {
        check(error::kInvalidString);
        return false;
    }
    if (malformed || !isValidUtf8(bytes)) {
        check(error::kInvalidString);
        target.clear();
        return true;
    }
    // From a pointer: libstdc++ builds a temporary string for assign() from other iterators.
    target.assign(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return true;
}

bool readInt32(std::int32_t& target, std::uint32_t type, std::span<const std::uint8_t> bytes,
               bool malformed) {
    if (type != ber::kTypeInteger) {
        check(error::kInvalidInteger);
        return false;
    }
    if (malformed) {
        check(error::kInvalidInteger);
        target = 0;
        return true;
    }
    check(ber::decodeInteger32(bytes, target));
    return true;
}

/// A value or default; false for a type a GlowValue cannot hold (reported 507).
bool readValue(GlowValue& target, std::uint32_t type, std::span<const std::uint8_t> bytes,
               bool malformed) {
    switch (type) {
    case ber::kTypeInteger: {
        std::int64_t value = 0;
        check(malformed ? error::kInvalidInteger : ber::decodeInteger(bytes, value));
        target = value;
        return true;
    }
    case ber::kTypeReal: {
        double value = 0.0;
        check(malformed ? error::kInvalidReal : ber::decodeReal(bytes, value));
        target = value;
        return true;
    }
    case ber::kTypeUtf8String: {
        // Reuse the string's memory when the last value was a string as well.
        if (!std::holds_alternative<std::string>(target)) {
            target.emplace<std::string>();
        }
        readString(std::get<std::string>(target), type, bytes, malformed);
        return true;
    }
    case ber::kTypeBoolean: {
        bool value = false;
        check(malformed ? error::kInvalidBoolean : ber::decodeBoolean(bytes, value));
        target = value;
        return true;
    }
    case ber::kTypeOctetString: {
        if (!std::holds_alternative<GlowOctets>(target)) {
            target.emplace<GlowOctets>();
        }
        auto& octets = std::get<GlowOctets>(target).bytes;
        octets.assign(bytes.begin(), bytes.end());
        if (malformed) {
            check(error::kInvalidOctetString);
        }
        return true;
    }
    case ber::kTypeNull:
        if (malformed || ber::decodeNull(bytes) != 0) {
            ember::reportError(error::kInvalidBoolean, "Invalid Null encoding");
        }
        target = std::monostate{};
        return true;
    default:
        reportUnsupportedValue();
        return false;
    }
}

bool readMinMax(GlowMinMax& target, std::uint32_t type, std::span<const std::uint8_t> bytes,
                bool malformed) {
    switch (type) {
    case ber::kTypeInteger: {
        std::int64_t value = 0;
        check(malformed ? error::kInvalidInteger : ber::decodeInteger(bytes, value));
        target = value;
        return true;
    }
    case ber::kTypeReal: {
        double value = 0.0;
        check(malformed ? error::kInvalidReal : ber::decodeReal(bytes, value));
        target = value;
        return true;
    }
    case ber::kTypeNull:
        if (malformed || ber::decodeNull(bytes) != 0) {
            ember::reportError(error::kInvalidBoolean, "Invalid Null encoding");
        }
        target = std::monostate{};
        return true;
    default:
        reportUnsupportedMinMax();
        return false;
    }
}

void validateIdentifier(const std::string& identifier) {
    if (identifier.empty()) {
        ember::reportError(error::kIdentifierMissing, "identifier must not be empty!");
        return;
    }
    if (identifier[0] >= '0' && identifier[0] <= '9') {
        ember::reportError(error::kIdentifierInvalid, "identifier must not begin with a number!");
    }
    if (identifier.find('/') != std::string::npos) {
        ember::reportError(error::kIdentifierInvalid,
                           "identifier must not contain the '/' character!");
    }
}

}  // namespace

GlowReader::GlowReader(GlowParameterCallback onParameter, std::size_t frameBufferSize)
    : onParameter_(std::move(onParameter)), frames_(frameBufferSize), ber_(*this) {}

void GlowReader::readBytes(const std::uint8_t* data, std::size_t length) {
    if (busy_) {
        ember::reportAssert(__FILE__, __LINE__);
        return;
    }
    if (data == nullptr || length == 0) {
        return;
    }
    struct Busy {
        bool& flag;
        explicit Busy(bool& f) : flag(f) { flag = true; }
        ~Busy() { flag = false; }
        Busy(const Busy&) = delete;
        Busy& operator=(const Busy&) = delete;
    } busy(busy_);
    try {
        frames_.feed(std::span<const std::uint8_t>(data, length), *this);
    } catch (const std::bad_alloc&) {
        ember::reportError(error::kOutOfMemory, "Out of memory!");
        frames_.reset();
        ber_.reset();
        resetMessage();
    } catch (...) {
        // From onParameter: the message it interrupted cannot be finished consistently.
        frames_.reset();
        ber_.reset();
        resetMessage();
        throw;
    }
}

void GlowReader::reset() {
    if (busy_) {
        ember::reportAssert(__FILE__, __LINE__);
        return;
    }
    frames_.reset();
    ber_.reset();
    resetMessage();
}

void GlowReader::resetMessage() {
    depth_ = 0;
    pathLength_ = 0;
    suppress_ = 0;
    fields_ = 0;
}

void GlowReader::onPackage(std::span<const std::uint8_t> package) {
    namespace s101 = ember::s101;
    if (package.size() < s101::kPackageHeaderSize || package[1] != s101::kMessageEmber ||
        package[2] != s101::kCommandEmber || package[5] != s101::kDtdGlow) {
        return;
    }
    const std::uint8_t flags = package[4];
    const std::size_t payloadStart = s101::kPackageHeaderSize + package[6];
    if (payloadStart > package.size()) {
        return;
    }
    if ((flags & s101::kFlagFirst) != 0) {
        ber_.endMessage();
        resetMessage();
    }
    ber_.feed(package.subspan(payloadStart));
    if ((flags & s101::kFlagLast) != 0) {
        ber_.endMessage();
        resetMessage();
    }
}

GlowReader::Role GlowReader::childRole(const Scope* parent, Tag outer, Tag inner) const {
    if (parent == nullptr) {
        return outer == kRootTag && isApplication(inner, GlowType::RootElementCollection)
                   ? Role::Root
                   : Role::Ignored;
    }
    switch (parent->role) {
    case Role::Root:
    case Role::Collection:
        if (!isContext(outer, 0) || inner.tagClass != ber::kClassApplication) {
            return Role::Ignored;
        }
        if (isNumbered(static_cast<GlowType>(inner.number))) {
            return Role::Element;
        }
        return isQualified(static_cast<GlowType>(inner.number)) ? Role::Qualified : Role::Ignored;
    case Role::Element:
    case Role::Qualified:
        if (isContext(outer, 1) && inner.tagClass == ber::kClassUniversal &&
            inner.number == ber::kTypeSet &&
            (parent->type == GlowType::Parameter || parent->type == GlowType::QualifiedParameter)) {
            return Role::Contents;
        }
        // A template's element is a pattern, not a live element: it is not walked.
        if (isContext(outer, 2) && isApplication(inner, GlowType::ElementCollection) &&
            parent->type != GlowType::Template && parent->type != GlowType::QualifiedTemplate) {
            return Role::Collection;
        }
        return Role::Ignored;
    case Role::Contents:
        return isContext(outer, kContentsStreamDescriptor) &&
                       isApplication(inner, GlowType::StreamDescription)
                   ? Role::StreamDescription
                   : Role::Ignored;
    default:
        return Role::Ignored;
    }
}

void GlowReader::suppress(Scope& scope) {
    if (!scope.suppressing) {
        scope.suppressing = true;
        ++suppress_;
    }
}

void GlowReader::onContainerBegin(Tag outer, Tag inner) {
    const Scope* parent = depth_ > 0 ? &scopes_[depth_ - 1] : nullptr;
    Scope scope;
    scope.role = childRole(parent, outer, inner);
    scope.type = static_cast<GlowType>(inner.number);
    if (scope.role == Role::Root) {
        pathLength_ = 0;
    }
    scope.pathBefore = static_cast<std::uint8_t>(pathLength_);
    if (scope.role == Role::Qualified && (parent->role != Role::Root || pathLength_ > 0)) {
        reportNonRoot(scope.type);
        scope.suppressing = true;
        ++suppress_;
    }
    if (scope.role == Role::Contents) {
        clearParameter();
    }
    scopes_[depth_++] = scope;
}

void GlowReader::onContainerEnd(bool complete) {
    const Scope scope = scopes_[--depth_];
    if (scope.suppressing) {
        --suppress_;
    }
    switch (scope.role) {
    case Role::Element:
    case Role::Qualified:
        pathLength_ = scope.pathBefore;
        return;
    case Role::StreamDescription:
        if (complete) {
            fields_ |= GlowFieldStreamDescriptor;
        }
        return;
    case Role::Contents: {
        const std::uint32_t fields = std::exchange(fields_, 0);
        if (!complete || suppress_ > 0 || depth_ == 0 || !scopes_[depth_ - 1].placed) {
            return;
        }
        if (onParameter_) {
            onParameter_(parameter_, fields,
                         std::span<const std::int32_t>(path_.data(), pathLength_));
        }
        return;
    }
    default:
        return;
    }
}

void GlowReader::onValue(Tag outer, std::uint32_t type, std::span<const std::uint8_t> bytes,
                         bool malformed) {
    if (depth_ == 0) {
        return;
    }
    Scope& scope = scopes_[depth_ - 1];
    switch (scope.role) {
    case Role::Element:
        if (isContext(outer, 0)) {
            readNumber(scope, type, bytes, malformed);
        }
        return;
    case Role::Qualified:
        if (isContext(outer, 0)) {
            readPath(scope, type, bytes, malformed);
        }
        return;
    case Role::Contents:
        if (outer.tagClass == ber::kClassContext) {
            readContentsField(outer.number, type, bytes, malformed);
        }
        return;
    case Role::StreamDescription:
        if (isContext(outer, 0)) {
            readInt32(parameter_.streamDescriptor.format, type, bytes, malformed);
        } else if (isContext(outer, 1)) {
            readInt32(parameter_.streamDescriptor.offset, type, bytes, malformed);
        }
        return;
    default:
        return;
    }
}

void GlowReader::readNumber(Scope& scope, std::uint32_t type, std::span<const std::uint8_t> bytes,
                            bool malformed) {
    std::int32_t number = 0;
    const int code = type != ber::kTypeInteger || malformed ? error::kInvalidInteger
                                                            : ber::decodeInteger32(bytes, number);
    if (!check(code)) {
        suppress(scope);
        return;
    }
    if (scope.placed) {
        path_[scope.pathBefore] = number;  // A repeated number replaces the first.
        return;
    }
    if (scope.suppressing) {
        return;
    }
    if (pathLength_ >= kGlowMaxPathLength) {
        ember::reportError(error::kStackOverflow, "ember tree stack overflow");
        suppress(scope);
        return;
    }
    path_[pathLength_++] = number;
    scope.placed = true;
}

void GlowReader::readPath(Scope& scope, std::uint32_t type, std::span<const std::uint8_t> bytes,
                          bool malformed) {
    if (scope.suppressing && !scope.placed) {
        return;  // Below the root: its path must not replace the one in force.
    }
    std::array<std::int32_t, kGlowMaxPathLength> numbers{};
    std::size_t count = 0;
    const int code = type != ber::kTypeRelativeOid || malformed
                         ? error::kInvalidObjectIdentifier
                         : ber::decodeRelativeOid(bytes, numbers.data(), numbers.size(), count);
    if (!check(code)) {
        suppress(scope);
        return;
    }
    if (count == 0) {
        reportEmptyPath(scope.type);
        suppress(scope);
        return;
    }
    std::copy_n(numbers.begin(), count, path_.begin());
    pathLength_ = count;
    scope.placed = true;
}

void GlowReader::clearParameter() {
    // Keep the strings' memory for the next parameter; drop what was unusually large.
    constexpr std::size_t kKeep = 4096;
    for (std::string* text :
         {&parameter_.identifier, &parameter_.description, &parameter_.schemaIdentifiers}) {
        text->clear();
        if (text->capacity() > kKeep) {
            text->shrink_to_fit();
        }
    }
    parameter_.value = std::monostate{};
    parameter_.minimum = std::monostate{};
    parameter_.maximum = std::monostate{};
    parameter_.access = 0;
    parameter_.factor = 0;
    parameter_.isOnline = false;
    parameter_.step = 0;
    parameter_.defaultValue = std::monostate{};
    parameter_.type = 0;
    parameter_.streamIdentifier = 0;
    parameter_.streamDescriptor = {};
    parameter_.templateReference.clear();
    fields_ = 0;
}

void GlowReader::readContentsField(std::uint32_t field, std::uint32_t type,
                                   std::span<const std::uint8_t> bytes, bool malformed) {
    std::uint32_t bit = 0;
    bool recorded = false;
    switch (field) {
    case kContentsIdentifier:
        if (type != ber::kTypeUtf8String) {
            ember::reportError(error::kIdentifierMissing, "identifier must not be NULL!");
            return;
        }
        recorded = readString(parameter_.identifier, type, bytes, malformed);
        validateIdentifier(parameter_.identifier);
        bit = GlowFieldIdentifier;
        break;
    case kContentsDescription:
        recorded = readString(parameter_.description, type, bytes, malformed);
        bit = GlowFieldDescription;
        break;
    case kContentsValue:
        recorded = readValue(parameter_.value, type, bytes, malformed);
        bit = GlowFieldValue;
        break;
    case kContentsMinimum:
        recorded = readMinMax(parameter_.minimum, type, bytes, malformed);
        bit = GlowFieldMinimum;
        break;
    case kContentsMaximum:
        recorded = readMinMax(parameter_.maximum, type, bytes, malformed);
        bit = GlowFieldMaximum;
        break;
    case kContentsAccess:
        recorded = readInt32(parameter_.access, type, bytes, malformed);
        bit = GlowFieldAccess;
        break;
    case kContentsFactor:
        recorded = readInt32(parameter_.factor, type, bytes, malformed);
        bit = GlowFieldFactor;
        break;
    case kContentsIsOnline:
        if (type != ber::kTypeBoolean) {
            check(error::kInvalidBoolean);
            return;
        }
        check(malformed ? error::kInvalidBoolean : ber::decodeBoolean(bytes, parameter_.isOnline));
        recorded = true;
        bit = GlowFieldIsOnline;
        break;
    case kContentsStep:
        recorded = readInt32(parameter_.step, type, bytes, malformed);
        bit = GlowFieldStep;
        break;
    case kContentsDefault:
        recorded = readValue(parameter_.defaultValue, type, bytes, malformed);
        bit = GlowFieldDefault;
        break;
    case kContentsType:
        recorded = readInt32(parameter_.type, type, bytes, malformed);
        bit = GlowFieldType;
        break;
    case kContentsStreamIdentifier:
        recorded = readInt32(parameter_.streamIdentifier, type, bytes, malformed);
        bit = GlowFieldStreamIdentifier;
        break;
    case kContentsSchemaIdentifiers:
        recorded = readString(parameter_.schemaIdentifiers, type, bytes, malformed);
        bit = GlowFieldSchemaIdentifiers;
        break;
    case kContentsTemplateReference: {
        std::array<std::int32_t, kGlowMaxPathLength> numbers{};
        std::size_t count = 0;
        const int code = type != ber::kTypeRelativeOid || malformed
                             ? error::kInvalidObjectIdentifier
                             : ber::decodeRelativeOid(bytes, numbers.data(), numbers.size(), count);
        check(code);
        parameter_.templateReference.assign(numbers.begin(),
                                            numbers.begin() + static_cast<std::ptrdiff_t>(count));
        recorded = type == ber::kTypeRelativeOid;
        bit = GlowFieldTemplateReference;
        break;
    }
    default:
        return;  // format, enumeration, formula, enumMap and unknown fields.
    }
    if (recorded) {
        fields_ |= bit;
    }
}

}  // namespace pellan
