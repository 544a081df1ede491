// CRC-32 against zlib's, and framing throughput each way.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <random>
#include <vector>

#include "newupdatesystem/Common/Crc32.h"
#include "newupdatesystem/Common/FrameCodec.h"
#include "newupdatesystem/Common/ProtoTags.h"

namespace
{

std::vector<uint8_t> randomBytes(size_t n)
{
    std::mt19937 rng(42);
    std::vector<uint8_t> b(n);
    for (auto& c : b)
        c = uint8_t(rng());
    return b;
}

void BM_calcCrc32(benchmark::State& state)
{
    auto data = randomBytes(size_t(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(calcCrc32(data.data(), data.size(), 0));
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}

void BM_zlibCrc32(benchmark::State& state)
{
    auto data = randomBytes(size_t(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(crc32(0, data.data(), uInt(data.size())));
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}

// A full chunk of random content: about 2 of every 256 bytes need escaping.
void BM_frameEncode(benchmark::State& state)
{
    auto data = randomBytes(FRAME_NOMINAL_SIZE);
    CFrameEncoder enc(FRAME_END, FRAME_ESC, FRAME_ESC_END, FRAME_NOMINAL_SIZE);
    for (auto _ : state)
    {
        enc.reset();
        enc.encode(data.data(), uint32_t(data.size()));
        enc.finish();
        benchmark::DoNotOptimize(enc.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
}

void BM_frameDecode(benchmark::State& state)
{
    auto data = randomBytes(FRAME_NOMINAL_SIZE);
    CFrameEncoder enc(FRAME_END, FRAME_ESC, FRAME_ESC_END, FRAME_NOMINAL_SIZE);
    enc.encode(data.data(), uint32_t(data.size()));
    enc.finish();
    std::vector<uint8_t> wire(enc.data(), enc.data() + enc.size());
    CFrameDecoder dec(FRAME_END, FRAME_ESC, FRAME_ESC_END, FRAME_NOMINAL_SIZE);
    for (auto _ : state)
    {
        uint32_t pos = 0;
        benchmark::DoNotOptimize(dec.feed(wire.data(), uint32_t(wire.size()), pos));
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
}

} // namespace

BENCHMARK(BM_calcCrc32)->Arg(64)->Arg(16360)->Arg(1 << 20);
BENCHMARK(BM_zlibCrc32)->Arg(64)->Arg(16360)->Arg(1 << 20);
BENCHMARK(BM_frameEncode);
BENCHMARK(BM_frameDecode);
BENCHMARK_MAIN();
