// libFuzzer target of the Ember+ reader.
//
// Input: one control byte, then the bytes.
//   bit 0     0: the bytes are the received stream as it is;
//             1: the bytes are BER, framed here into valid packages (correct CRC), so the
//                fuzzer reaches the BER reader and the Glow walker without finding CRCs.
//   bits 1-3  piece size of the second feeding (and the package size when framing).
//   bit 4     a small frame buffer (64 bytes) instead of the clients' 4096.
// Oracle: besides the sanitizers, the stream is fed to two readers, whole and in pieces;
// both must report the same parameters and errors in the same order.

#include "ember_codec/glow_hooks.hpp"
#include "ember_codec/glow_reader.hpp"
#include "ember_codec/s101.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

using pellan::GlowParameter;

std::vector<std::uint64_t>* currentLog = nullptr;

std::uint64_t mix(std::uint64_t hash, std::uint64_t value) {
    return (hash ^ value) * 0x100000001B3ULL;
}

std::uint64_t hashBytes(std::uint64_t hash, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    for (std::size_t i = 0; i < size; ++i) {
        hash = mix(hash, bytes[i]);
    }
    return hash;
}

std::uint64_t hashParameter(const GlowParameter& p, std::uint32_t fields,
                            std::span<const std::int32_t> path) {
    std::uint64_t hash = mix(0xCBF29CE484222325ULL, fields);
    hash = hashBytes(hash, path.data(), path.size_bytes());
    hash = hashBytes(hash, p.identifier.data(), p.identifier.size());
    hash = hashBytes(hash, p.description.data(), p.description.size());
    hash = hashBytes(hash, p.schemaIdentifiers.data(), p.schemaIdentifiers.size());
    hash = mix(hash, p.value.index());
    if (const auto* text = std::get_if<std::string>(&p.value)) {
        hash = hashBytes(hash, text->data(), text->size());
    }
    if (const auto* integer = std::get_if<std::int64_t>(&p.value)) {
        hash = mix(hash, static_cast<std::uint64_t>(*integer));
    }
    if (const auto* octets = std::get_if<pellan::GlowOctets>(&p.value)) {
        hash = hashBytes(hash, octets->bytes.data(), octets->bytes.size());
    }
    hash = mix(hash, static_cast<std::uint64_t>(p.access) ^ static_cast<std::uint64_t>(p.type));
    hash = hashBytes(hash, p.templateReference.data(), p.templateReference.size() * 4);
    return hash;
}

void installHooks() {
    static const bool installed = [] {
        pellan::setGlowErrorHook([](int code, const char* message) {
            if (currentLog != nullptr) {
                currentLog->push_back(hashBytes(static_cast<std::uint64_t>(code), message,
                                                std::char_traits<char>::length(message)));
            }
        });
        // Misuse of the API is a bug here: the fuzzer only feeds bytes.
        pellan::setGlowAssertHook([](const char*, int) { std::abort(); });
        return true;
    }();
    (void)installed;
}

std::vector<std::uint8_t> frameAll(const std::uint8_t* data, std::size_t size, std::size_t piece) {
    std::vector<std::uint8_t> stream;
    std::vector<std::uint8_t> frame;
    std::size_t at = 0;
    do {
        const std::size_t end = std::min(size, at + piece);
        frame.assign(2 * (end - at + 16), 0);
        pellan::ember::s101::FrameWriter writer(frame.data(), frame.size());
        writer.begin();
        const std::uint8_t flags =
            static_cast<std::uint8_t>((at == 0 ? 0x80 : 0) | (end == size ? 0x40 : 0));
        for (const std::uint8_t b :
             {std::uint8_t{0}, std::uint8_t{0x0E}, std::uint8_t{0}, std::uint8_t{1}, flags,
              std::uint8_t{1}, std::uint8_t{2}, std::uint8_t{0x32}, std::uint8_t{0x02}}) {
            writer.put(b);
        }
        for (std::size_t i = at; i < end; ++i) {
            writer.put(data[i]);
        }
        writer.finish();
        stream.insert(stream.end(), frame.begin(),
                      frame.begin() + static_cast<std::ptrdiff_t>(writer.size()));
        at = end;
    } while (at < size);
    return stream;
}

std::vector<std::uint64_t> run(const std::vector<std::uint8_t>& stream, std::size_t piece,
                               std::size_t frameBuffer) {
    std::vector<std::uint64_t> log;
    currentLog = &log;
    {
        pellan::GlowReader reader(
            [&log](const GlowParameter& p, std::uint32_t fields,
                   std::span<const std::int32_t> path) {
                log.push_back(hashParameter(p, fields, path));
            },
            frameBuffer);
        for (std::size_t at = 0; at < stream.size(); at += piece) {
            reader.readBytes(stream.data() + at, std::min(piece, stream.size() - at));
        }
    }
    currentLog = nullptr;
    return log;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    installHooks();
    const std::uint8_t control = data[0];
    ++data;
    --size;
    const std::size_t piece = std::size_t{1} << ((control >> 1) & 0x07U);  // 1 to 128
    const std::size_t frameBuffer = (control & 0x10U) != 0 ? 64 : 4096;
    const std::vector<std::uint8_t> stream = (control & 0x01U) != 0
                                                 ? frameAll(data, size, piece * 31 + 1)
                                                 : std::vector<std::uint8_t>(data, data + size);
    const auto whole = run(stream, stream.size() + 1, frameBuffer);
    const auto pieces = run(stream, piece, frameBuffer);
    if (whole != pieces) {
        __builtin_trap();
    }
    return 0;
}
