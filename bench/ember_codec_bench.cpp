// Ember+ codec: reader throughput over a recorded stream of provider messages, and the
// writer's two requests. Allocations are counted by a replaced global operator new: the
// reader may allocate only for decoded values, the writer never.

#include "ember_codec/glow_output.hpp"
#include "ember_codec/glow_reader.hpp"

#include "ember_codec/ember_test_support.hpp"  // tests/ember_codec: the builder of recorded streams

#include <benchmark/benchmark.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

// g++ sees the replaced operator delete free what the replaced operator new took from malloc
// and takes it for a mismatch; here they are one pair by construction.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace {
std::atomic<std::uint64_t> allocations{0};
}  // namespace

void* operator new(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}

namespace pellan {
namespace {

using test::Bytes;
namespace build = test::build;
using build::children;
using build::contents;
using build::element;
using build::field;

enum class Mix { Qualified, Nested, Both };

struct Recording {
    Bytes stream;
    std::size_t frames = 0;
    std::size_t parameters = 0;
};

/// A few thousand messages as a GPIO unit or panel answers: QualifiedParameters with
/// definite lengths, and Node/Parameter trees with indefinite lengths.
Recording record(Mix mix) {
    Recording out;
    const auto add = [&out](const Bytes& ber, std::size_t parameters) {
        const Bytes frame = build::frame(ber);
        out.stream.insert(out.stream.end(), frame.begin(), frame.end());
        ++out.frames;
        out.parameters += parameters;
    };
    for (std::uint32_t i = 0; i < 3000; ++i) {
        const std::uint32_t port = 1 + i % 10;
        const std::uint32_t kind = 1 + i % 3;
        if (mix != Mix::Nested && (mix == Mix::Qualified || i % 2 == 0)) {
            add(build::root(
                    {build::qualifiedParameter(
                        {1, 4, 1, port, kind},
                        {field(0, build::utf8(kind == 1 ? "type" : "status")),
                         field(1, build::utf8("Physical GPIO port status text")),
                         field(2, kind == 1 ? build::integer(2) : build::boolean(i % 7 == 0)),
                         field(5, build::integer(3))},
                        false)},
                    false),
                1);
            continue;
        }
        std::vector<Bytes> parameters;
        for (std::int64_t f = 1; f <= 6; ++f) {
            parameters.push_back(element(
                GlowType::Parameter,
                {build::number(f),
                 contents({field(0, build::utf8("vgpio")), field(2, build::integer(f * port))})}));
        }
        add(build::root({element(
                GlowType::Node,
                {build::number(1),
                 children({element(
                     GlowType::Node,
                     {build::number(6),
                      children({element(
                          GlowType::Node,
                          {build::number(2),
                           children({element(GlowType::Node, {build::number(port),
                                                              children(parameters)})})})})})})})}),
            parameters.size());
    }
    return out;
}

void readerStream(benchmark::State& state, Mix mix) {
    const Recording recording = record(mix);
    std::size_t seen = 0;
    GlowReader reader(
        [&seen](const GlowParameter&, std::uint32_t, std::span<const std::int32_t>) { ++seen; });
    constexpr std::size_t kReceive = 4096;  // The clients' receive buffer.
    const auto feedAll = [&] {
        for (std::size_t at = 0; at < recording.stream.size(); at += kReceive) {
            reader.readBytes(recording.stream.data() + at,
                             std::min(kReceive, recording.stream.size() - at));
        }
    };
    feedAll();  // Warm the reused parameter's strings.
    seen = 0;
    const std::uint64_t before = allocations.load();
    for (auto _ : state) {
        feedAll();
    }
    const std::uint64_t allocated = allocations.load() - before;
    if (seen != recording.parameters * static_cast<std::size_t>(state.iterations())) {
        state.SkipWithError("parameters lost");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(recording.stream.size()) *
                            state.iterations());
    state.counters["parameters/s"] =
        benchmark::Counter(static_cast<double>(seen), benchmark::Counter::kIsRate);
    state.counters["frames/s"] = benchmark::Counter(
        static_cast<double>(recording.frames * static_cast<std::size_t>(state.iterations())),
        benchmark::Counter::kIsRate);
    state.counters["allocs/frame"] =
        static_cast<double>(allocated) /
        static_cast<double>(recording.frames * static_cast<std::size_t>(state.iterations()));
    state.counters["stream_bytes"] = static_cast<double>(recording.stream.size());
}

void BM_ReaderQualifiedDefinite(benchmark::State& state) {
    readerStream(state, Mix::Qualified);
}
void BM_ReaderNestedIndefinite(benchmark::State& state) {
    readerStream(state, Mix::Nested);
}
void BM_ReaderMixed(benchmark::State& state) {
    readerStream(state, Mix::Both);
}
BENCHMARK(BM_ReaderQualifiedDefinite);
BENCHMARK(BM_ReaderNestedIndefinite);
BENCHMARK(BM_ReaderMixed);

void BM_ReaderStreamInSmallPieces(benchmark::State& state) {
    // Frames arriving in 7-byte pieces: the path through partial headers and values.
    const Recording recording = record(Mix::Both);
    GlowReader reader(nullptr);
    for (auto _ : state) {
        for (std::size_t at = 0; at < recording.stream.size(); at += 7) {
            reader.readBytes(recording.stream.data() + at,
                             std::min<std::size_t>(7, recording.stream.size() - at));
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(recording.stream.size()) *
                            state.iterations());
}
BENCHMARK(BM_ReaderStreamInSmallPieces);

void writerAllocations(benchmark::State& state, std::uint64_t before, std::int64_t bytes) {
    const std::uint64_t allocated = allocations.load() - before;
    state.counters["allocs"] = static_cast<double>(allocated);
    if (allocated != 0) {
        state.SkipWithError("the writer allocated");
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(bytes);
}

void BM_WriteGetDirectory(benchmark::State& state) {
    std::array<std::uint8_t, 512> buffer{};
    std::int32_t path[] = {1, 4, 1, 1, 1};
    std::int64_t bytes = 0;
    const std::uint64_t before = allocations.load();
    for (auto _ : state) {
        path[3] = 1 + static_cast<std::int32_t>(bytes % 10);
        GlowOutput output(buffer.data(), buffer.size());
        output.beginPackage(true);
        output.writeQualifiedCommand({}, path, 5, GlowElementType::QualifiedNode);
        bytes += output.finishPackage();
        benchmark::DoNotOptimize(buffer.data());
    }
    writerAllocations(state, before, bytes);
}
BENCHMARK(BM_WriteGetDirectory);

void BM_WriteBooleanParameter(benchmark::State& state) {
    std::array<std::uint8_t, 1024> buffer{};
    const std::int32_t path[] = {1, 4, 1, 3, 2};
    GlowParameter parameter;
    std::int64_t bytes = 0;
    const std::uint64_t before = allocations.load();
    for (auto _ : state) {
        parameter.value = bytes % 2 == 0;
        GlowOutput output(buffer.data(), buffer.size());
        output.beginPackage(true);
        output.writeQualifiedParameter(parameter, GlowFieldValue, path, 5);
        bytes += output.finishPackage();
        benchmark::DoNotOptimize(buffer.data());
    }
    writerAllocations(state, before, bytes);
}
BENCHMARK(BM_WriteBooleanParameter);

}  // namespace
}  // namespace pellan

BENCHMARK_MAIN();
