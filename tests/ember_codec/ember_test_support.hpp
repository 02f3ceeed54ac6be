#pragma once
// Helpers of the Ember+ codec tests and benchmarks: golden files, a hook capture, a
// canonical text of decoded parameters, and a small BER and S101 builder of its own.

#include "ember_codec/glow_hooks.hpp"
#include "ember_codec/glow_reader.hpp"
#include "ember_codec/glow_types.hpp"

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <initializer_list>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace pellan::test {

using Bytes = std::vector<std::uint8_t>;

/// Hex text: pairs of hex digits separated by white space; '#' starts a comment.
inline Bytes parseHex(std::string_view text) {
    Bytes out;
    int high = -1;
    bool comment = false;
    for (const char c : text) {
        if (c == '\n') {
            comment = false;
            continue;
        }
        if (comment || c == ' ' || c == '\t' || c == '\r') {
            continue;
        }
        if (c == '#') {
            comment = true;
            continue;
        }
        int nibble = -1;
        if (c >= '0' && c <= '9') {
            nibble = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            nibble = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            nibble = c - 'A' + 10;
        } else {
            throw std::runtime_error(std::string("bad hex character: ") + c);
        }
        if (high < 0) {
            high = nibble;
        } else {
            out.push_back(static_cast<std::uint8_t>(high * 16 + nibble));
            high = -1;
        }
    }
    if (high >= 0) {
        throw std::runtime_error("odd number of hex digits");
    }
    return out;
}

inline std::string readTextFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot open " + path);
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

#ifdef PELLAN_TEST_DATA_DIR
/// Built by appending: gcc 12 at -O2 warns falsely (array-bounds) on `std::string + literal`
/// chains whose lengths it knows, and the data directory's length differs between checkouts.
inline std::string emberDataPath(std::string_view name, std::string_view extension) {
    std::string path = PELLAN_TEST_DATA_DIR;
    path.append("/ember/").append(name).append(extension);
    return path;
}
#endif

inline std::string toHex(const Bytes& bytes) {
    std::string out;
    char digits[4];
    for (const std::uint8_t b : bytes) {
        std::snprintf(digits, sizeof digits, "%02X ", b);
        out += digits;
    }
    if (!out.empty()) {
        out.pop_back();
    }
    return out;
}

inline std::string describeValue(const GlowValue& value) {
    struct Visitor {
        std::string operator()(std::monostate) const { return "none"; }
        std::string operator()(std::int64_t v) const { return "int:" + std::to_string(v); }
        std::string operator()(double v) const {
            char text[64];
            std::snprintf(text, sizeof text, "real:%.17g", v);
            return text;
        }
        std::string operator()(const std::string& v) const { return "str:\"" + v + "\""; }
        std::string operator()(bool v) const { return v ? "bool:true" : "bool:false"; }
        std::string operator()(const GlowOctets& v) const {
            std::string out = "octets:";
            char digits[3];
            for (const std::uint8_t b : v.bytes) {
                std::snprintf(digits, sizeof digits, "%02x", b);
                out += digits;
            }
            return out;
        }
    };
    return std::visit(Visitor{}, value);
}

inline std::string describeMinMax(const GlowMinMax& value) {
    return std::visit([](const auto& v) { return describeValue(GlowValue(v)); }, value);
}

inline std::string describePath(std::span<const std::int32_t> path) {
    std::string out;
    for (std::size_t i = 0; i < path.size(); ++i) {
        out += (i == 0 ? "" : ".") + std::to_string(path[i]);
    }
    return out;
}

/// One line per parameter, with the fields whose bits are set, in contents order.
inline std::string describeParameter(const GlowParameter& p, std::uint32_t fields,
                                     std::span<const std::int32_t> path) {
    char bits[16];
    std::snprintf(bits, sizeof bits, "0x%x", fields);
    std::string out = "param " + describePath(path) + " fields=" + bits;
    const auto has = [fields](std::uint32_t bit) { return (fields & bit) != 0; };
    if (has(GlowFieldIdentifier))
        out += " identifier=\"" + p.identifier + "\"";
    if (has(GlowFieldDescription))
        out += " description=\"" + p.description + "\"";
    if (has(GlowFieldValue))
        out += " value=" + describeValue(p.value);
    if (has(GlowFieldMinimum))
        out += " minimum=" + describeMinMax(p.minimum);
    if (has(GlowFieldMaximum))
        out += " maximum=" + describeMinMax(p.maximum);
    if (has(GlowFieldAccess))
        out += " access=" + std::to_string(p.access);
    if (has(GlowFieldFactor))
        out += " factor=" + std::to_string(p.factor);
    if (has(GlowFieldIsOnline))
        out += std::string(" isOnline=") + (p.isOnline ? "true" : "false");
    if (has(GlowFieldStep))
        out += " step=" + std::to_string(p.step);
    if (has(GlowFieldDefault))
        out += " default=" + describeValue(p.defaultValue);
    if (has(GlowFieldType))
        out += " type=" + std::to_string(p.type);
    if (has(GlowFieldStreamIdentifier))
        out += " streamIdentifier=" + std::to_string(p.streamIdentifier);
    if (has(GlowFieldStreamDescriptor))
        out += " streamDescriptor=" + std::to_string(p.streamDescriptor.format) + "/" +
               std::to_string(p.streamDescriptor.offset);
    if (has(GlowFieldSchemaIdentifiers))
        out += " schemaIdentifiers=\"" + p.schemaIdentifiers + "\"";
    if (has(GlowFieldTemplateReference))
        out += " templateReference=" + describePath(p.templateReference);
    return out;
}

/// Installs error and assert hooks that append to `lines` ("error <code> <message>",
/// "assert <file>:<line>") and puts the previous hooks back when it goes.
class HookCapture {
public:
    explicit HookCapture(std::vector<std::string>& lines) : lines_(lines) {
        previousError_ = setGlowErrorHook([this](int code, const char* message) {
            std::lock_guard lock(mutex_);
            lines_.push_back("error " + std::to_string(code) + " " + message);
        });
        previousAssert_ = setGlowAssertHook([this](const char* file, int line) {
            std::lock_guard lock(mutex_);
            lines_.push_back("assert " + std::string(file) + ":" + std::to_string(line));
        });
    }
    ~HookCapture() {
        setGlowErrorHook(std::move(previousError_));
        setGlowAssertHook(std::move(previousAssert_));
    }
    HookCapture(const HookCapture&) = delete;
    HookCapture& operator=(const HookCapture&) = delete;

private:
    std::vector<std::string>& lines_;
    std::mutex mutex_;
    GlowErrorHook previousError_;
    GlowAssertHook previousAssert_;
};

/// A reader whose parameters and the codec's errors land in one list of lines, in order.
class LoggingReader {
public:
    explicit LoggingReader(std::size_t frameBufferSize = GlowReader::kFrameBufferSize)
        : capture_(lines), reader_(
                               [this](const GlowParameter& p, std::uint32_t fields,
                                      std::span<const std::int32_t> path) {
                                   lines.push_back(describeParameter(p, fields, path));
                               },
                               frameBufferSize) {}

    void feed(const Bytes& bytes) { reader_.readBytes(bytes.data(), bytes.size()); }
    void feed(const std::uint8_t* data, std::size_t size) { reader_.readBytes(data, size); }
    GlowReader& reader() { return reader_; }

    std::vector<std::string> lines;

private:
    HookCapture capture_;
    GlowReader reader_;
};

// --- A BER and S101 builder of the tests' own ----------------------------------------

namespace build {

inline constexpr std::uint8_t kUniversal = 0x00;
inline constexpr std::uint8_t kApplication = 0x40;
inline constexpr std::uint8_t kContext = 0x80;

inline Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

inline Bytes join(const std::vector<Bytes>& parts) {
    Bytes out;
    for (const Bytes& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

inline Bytes tag(std::uint8_t cls, std::uint32_t number, bool constructed = true) {
    const auto head = static_cast<std::uint8_t>(cls | (constructed ? 0x20 : 0));
    if (number < 31) {
        return {static_cast<std::uint8_t>(head | number)};
    }
    Bytes groups;
    do {
        groups.insert(groups.begin(), static_cast<std::uint8_t>(number & 0x7F));
        number >>= 7;
    } while (number != 0);
    for (std::size_t i = 0; i + 1 < groups.size(); ++i) {
        groups[i] |= 0x80;
    }
    groups.insert(groups.begin(), static_cast<std::uint8_t>(head | 0x1F));
    return groups;
}

inline Bytes length(std::size_t n) {
    if (n < 0x80) {
        return {static_cast<std::uint8_t>(n)};
    }
    Bytes body;
    while (n != 0) {
        body.insert(body.begin(), static_cast<std::uint8_t>(n & 0xFF));
        n >>= 8;
    }
    body.insert(body.begin(), static_cast<std::uint8_t>(0x80 | body.size()));
    return body;
}

inline Bytes tlv(const Bytes& tagBytes, const Bytes& content, bool indefinite = false) {
    if (indefinite) {
        return cat({tagBytes, {0x80}, content, {0x00, 0x00}});
    }
    return cat({tagBytes, length(content.size()), content});
}

inline Bytes integer(std::int64_t v) {
    Bytes body;
    for (int i = 7; i >= 0; --i) {
        body.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(v) >> (8 * i)));
    }
    while (body.size() > 1 && ((body[0] == 0x00 && (body[1] & 0x80) == 0) ||
                               (body[0] == 0xFF && (body[1] & 0x80) != 0))) {
        body.erase(body.begin());
    }
    return tlv(tag(kUniversal, 2, false), body);
}

inline Bytes boolean(bool v) {
    return tlv(tag(kUniversal, 1, false), {v ? std::uint8_t{0xFF} : std::uint8_t{0}});
}

inline Bytes utf8(std::string_view text) {
    return tlv(tag(kUniversal, 12, false), Bytes(text.begin(), text.end()));
}

inline Bytes relativeOid(const std::vector<std::uint32_t>& numbers) {
    Bytes body;
    for (std::uint32_t n : numbers) {
        Bytes groups;
        do {
            groups.insert(groups.begin(), static_cast<std::uint8_t>(n & 0x7F));
            n >>= 7;
        } while (n != 0);
        for (std::size_t i = 0; i + 1 < groups.size(); ++i) {
            groups[i] |= 0x80;
        }
        body.insert(body.end(), groups.begin(), groups.end());
    }
    return tlv(tag(kUniversal, 13, false), body);
}

inline Bytes field(std::uint32_t context, const Bytes& value, bool indefinite = false) {
    return tlv(tag(kContext, context), value, indefinite);
}

inline Bytes container(const Bytes& outer, const Bytes& inner, const std::vector<Bytes>& items,
                       bool indefinite = true) {
    return tlv(outer, tlv(inner, join(items), indefinite), indefinite);
}

inline Bytes element(GlowType type, const std::vector<Bytes>& items, bool indefinite = true) {
    return container(tag(kContext, 0), tag(kApplication, static_cast<std::uint32_t>(type)), items,
                     indefinite);
}

inline Bytes contents(const std::vector<Bytes>& items, bool indefinite = true) {
    return container(tag(kContext, 1), tag(kUniversal, 17), items, indefinite);
}

inline Bytes children(const std::vector<Bytes>& items, bool indefinite = true) {
    return container(tag(kContext, 2), tag(kApplication, 4), items, indefinite);
}

inline Bytes root(const std::vector<Bytes>& items, bool indefinite = true) {
    return container(tag(kApplication, 0), tag(kApplication, 11), items, indefinite);
}

inline Bytes number(std::int64_t n) {
    return field(0, integer(n));
}
inline Bytes path(const std::vector<std::uint32_t>& numbers) {
    return field(0, relativeOid(numbers));
}

inline Bytes qualifiedParameter(const std::vector<std::uint32_t>& numbers,
                                const std::vector<Bytes>& fields, bool indefinite = true) {
    return element(GlowType::QualifiedParameter, {path(numbers), contents(fields, indefinite)},
                   indefinite);
}

/// Bitwise CRC, independent of the codec's table.
inline std::uint16_t crc(const Bytes& bytes) {
    unsigned value = 0xFFFF;
    for (const std::uint8_t b : bytes) {
        value ^= b;
        for (int i = 0; i < 8; ++i) {
            value = (value & 1U) != 0 ? (value >> 1) ^ 0x8408U : value >> 1;
        }
    }
    return static_cast<std::uint16_t>(value);
}

/// An escaped S101 frame around a package's bytes (slot ... payload).
inline Bytes frameOf(const Bytes& package) {
    Bytes body = package;
    const auto check = static_cast<std::uint16_t>(~crc(package));
    body.push_back(static_cast<std::uint8_t>(check & 0xFF));
    body.push_back(static_cast<std::uint8_t>(check >> 8));
    Bytes out{0xFE};
    for (const std::uint8_t b : body) {
        if (b >= 0xF8) {
            out.push_back(0xFD);
            out.push_back(static_cast<std::uint8_t>(b ^ 0x20));
        } else {
            out.push_back(b);
        }
    }
    out.push_back(0xFF);
    return out;
}

inline Bytes package(const Bytes& ber, std::uint8_t flags = 0xC0) {
    return cat({{0x00, 0x0E, 0x00, 0x01, flags, 0x01, 0x02, 0x32, 0x02}, ber});
}

inline Bytes frame(const Bytes& ber, std::uint8_t flags = 0xC0) {
    return frameOf(package(ber, flags));
}

/// One message in packages of at most `pieceSize` BER bytes, flagged first/last.
inline Bytes packages(const Bytes& ber, std::size_t pieceSize) {
    Bytes out;
    for (std::size_t at = 0; at < ber.size(); at += pieceSize) {
        const std::size_t end = std::min(ber.size(), at + pieceSize);
        const auto flags =
            static_cast<std::uint8_t>((at == 0 ? 0x80 : 0) | (end == ber.size() ? 0x40 : 0));
        const Bytes piece(ber.begin() + static_cast<std::ptrdiff_t>(at),
                          ber.begin() + static_cast<std::ptrdiff_t>(end));
        const Bytes one = frame(piece, flags);
        out.insert(out.end(), one.begin(), one.end());
    }
    return out;
}

}  // namespace build
}  // namespace pellan::test
