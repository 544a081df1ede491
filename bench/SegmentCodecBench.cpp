// zlib against libdeflate on one 1 MiB segment, for packing (several levels)
// and unpacking, on three kinds of data: text, structured game-like records,
// and random bytes. The segment codec's own pack and unpack are measured too,
// with and without its probe, so the cost of storing what does not shrink shows.
#include <benchmark/benchmark.h>

#include <libdeflate.h>
#include <zlib.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "newupdatesystem/Common/SegmentCodec.h"

namespace
{

constexpr size_t kSegment = 1 << 20;
const char* const kKinds[] = {"text", "game", "random"};

std::vector<uint8_t> makeInput(int kind)
{
    std::vector<uint8_t> v(kSegment);
    std::mt19937 rng(11);
    if (kind == 0)
    {
        static const char* words[] = {"zelvan ", "realm ", "update ", "texture ",
                                      "sound ",  "map\n",  "player "};
        std::string s;
        while (s.size() < kSegment)
            s += words[rng() % 7];
        std::copy(s.begin(), s.begin() + kSegment, v.begin());
    }
    else if (kind == 1)
    {
        for (size_t i = 0; i < kSegment; ++i)
            v[i] =
                (i % 64 < 40) ? uint8_t("record-name-0123"[i % 16] + (i / 4096) % 3) : uint8_t(rng() & 0x3F);
    }
    else
    {
        for (auto& b : v)
            b = uint8_t(rng());
    }
    return v;
}

const std::vector<uint8_t>& input(int kind)
{
    static const std::vector<uint8_t> inputs[] = {makeInput(0), makeInput(1), makeInput(2)};
    return inputs[kind];
}

void finish(benchmark::State& state, size_t packed)
{
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kSegment));
    state.counters["ratio"] = double(packed) / double(kSegment);
    state.SetLabel(kKinds[state.range(0)]);
}

void BM_ZlibCompress2(benchmark::State& state)
{
    const auto& in = input(int(state.range(0)));
    std::vector<uint8_t> out(compressBound(uLong(in.size())));
    uLongf n = 0;
    for (auto _ : state)
    {
        n = uLongf(out.size());
        compress2(out.data(), &n, in.data(), uLong(in.size()), int(state.range(1)));
        benchmark::DoNotOptimize(out.data());
    }
    finish(state, n);
}

void BM_LibdeflateCompress(benchmark::State& state)
{
    const auto& in = input(int(state.range(0)));
    libdeflate_compressor* c = libdeflate_alloc_compressor(int(state.range(1)));
    std::vector<uint8_t> out(libdeflate_zlib_compress_bound(c, in.size()));
    size_t n = 0;
    for (auto _ : state)
    {
        n = libdeflate_zlib_compress(c, in.data(), in.size(), out.data(), out.size());
        benchmark::DoNotOptimize(out.data());
    }
    libdeflate_free_compressor(c);
    finish(state, n);
}

// Both unpack the same level-9 zlib stream.
std::vector<uint8_t> zlibStream(int kind)
{
    const auto& in = input(kind);
    std::vector<uint8_t> out(compressBound(uLong(in.size())));
    uLongf n = uLongf(out.size());
    compress2(out.data(), &n, in.data(), uLong(in.size()), 9);
    out.resize(n);
    return out;
}

void BM_ZlibUncompress(benchmark::State& state)
{
    std::vector<uint8_t> packed = zlibStream(int(state.range(0)));
    std::vector<uint8_t> out(kSegment);
    for (auto _ : state)
    {
        uLongf n = uLongf(out.size());
        if (uncompress(out.data(), &n, packed.data(), uLong(packed.size())) != Z_OK)
            state.SkipWithError("uncompress failed");
        benchmark::DoNotOptimize(out.data());
    }
    finish(state, packed.size());
}

void BM_LibdeflateDecompress(benchmark::State& state)
{
    std::vector<uint8_t> packed = zlibStream(int(state.range(0)));
    std::vector<uint8_t> out(kSegment);
    libdeflate_decompressor* d = libdeflate_alloc_decompressor();
    for (auto _ : state)
    {
        if (libdeflate_zlib_decompress(d, packed.data(), packed.size(), out.data(), out.size(), nullptr) !=
            LIBDEFLATE_SUCCESS)
            state.SkipWithError("decompress failed");
        benchmark::DoNotOptimize(out.data());
    }
    libdeflate_free_decompressor(d);
    finish(state, packed.size());
}

void BM_SegmentPack(benchmark::State& state)
{
    const auto& in = input(int(state.range(0)));
    CSegmentCodec codec(int(state.range(1)), SegmentProbe(state.range(2)));
    std::vector<uint8_t> out;
    for (auto _ : state)
    {
        codec.pack(in.data(), in.size(), out);
        benchmark::DoNotOptimize(out.data());
    }
    finish(state, out.size());
}

void BM_SegmentUnpack(benchmark::State& state)
{
    const auto& in = input(int(state.range(0)));
    CSegmentCodec codec;
    std::vector<uint8_t> packed, out;
    SegmentMethod m = codec.pack(in.data(), in.size(), packed);
    for (auto _ : state)
    {
        if (!codec.unpack(m, packed.data(), packed.size(), in.size(), out))
            state.SkipWithError("unpack failed");
        benchmark::DoNotOptimize(out.data());
    }
    finish(state, packed.size());
}

} // namespace

BENCHMARK(BM_ZlibCompress2)->ArgsProduct({{0, 1, 2}, {1, 6, 9}})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LibdeflateCompress)->ArgsProduct({{0, 1, 2}, {1, 6, 9, 12}})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZlibUncompress)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LibdeflateDecompress)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
// Third argument: 0 packs every segment whole, 1 probes samples first.
BENCHMARK(BM_SegmentPack)
    ->ArgsProduct({{0, 1, 2}, {CSegmentCodec::DEFAULT_LEVEL}, {0, 1}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SegmentUnpack)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
