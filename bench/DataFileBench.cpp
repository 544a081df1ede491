// packFrom / unpackFrom against the same zlib calls made directly: the
// wrapper should cost nothing measurable beyond zlib itself.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include <zlib.h>

#include "newupdatesystem/Common/DataFile.h"

namespace
{

// Game-data-like input: runs of structured records with some noise.
std::vector<uint8_t> makeInput(size_t n)
{
    std::vector<uint8_t> v(n);
    uint32_t x = 2463534242u;
    for (size_t i = 0; i < n; ++i)
    {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        v[i] = (i % 64 < 40) ? uint8_t("record-name-0123"[i % 16] + (i / 4096) % 3) : uint8_t(x & 0x3F);
    }
    return v;
}

const std::vector<uint8_t>& input()
{
    static const std::vector<uint8_t> v = makeInput(1 << 20);
    return v;
}

void BM_PackFrom(benchmark::State& state)
{
    const auto& in = input();
    CDataFile out;
    for (auto _ : state)
    {
        out.packFrom(in.data(), uint32_t(in.size()));
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.size()));
    state.counters["ratio"] = double(out.size()) / double(in.size());
}

void BM_ZlibCompress2(benchmark::State& state)
{
    const auto& in = input();
    std::vector<uint8_t> out(compressBound(uLong(in.size())));
    for (auto _ : state)
    {
        uLongf n = uLongf(out.size());
        compress2(out.data(), &n, in.data(), uLong(in.size()), 9);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.size()));
}

void BM_UnpackFrom(benchmark::State& state)
{
    const auto& in = input();
    CDataFile packed;
    packed.packFrom(in.data(), uint32_t(in.size()));
    CDataFile out;
    for (auto _ : state)
    {
        out.unpackFrom(packed.data(), packed.size());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.size()));
}

void BM_ZlibUncompress(benchmark::State& state)
{
    const auto& in = input();
    std::vector<uint8_t> packed(compressBound(uLong(in.size())));
    uLongf packedSize = uLongf(packed.size());
    compress2(packed.data(), &packedSize, in.data(), uLong(in.size()), 9);
    std::vector<uint8_t> out(in.size());
    for (auto _ : state)
    {
        uLongf n = uLongf(out.size());
        uncompress(out.data(), &n, packed.data(), packedSize);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.size()));
}

} // namespace

BENCHMARK(BM_PackFrom)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZlibCompress2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UnpackFrom)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZlibUncompress)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
