// CRC-32 against zlib's, and framing throughput each way on random content, text
// and content thick with framing bytes.
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

// Plain ASCII words: nothing to escape.
std::vector<uint8_t> textBytes(size_t n)
{
    static const char* const words[] = {"update ", "server ",  "client ", "patch ",
                                        "file\n",  "version ", "the ",    "a "};
    std::mt19937 rng(7);
    std::vector<uint8_t> b;
    while (b.size() < n)
        for (const char* w = words[rng() % 8]; *w != 0 && b.size() < n; ++w)
            b.push_back(uint8_t(*w));
    return b;
}

// Random content where one byte in four needs escaping.
std::vector<uint8_t> denseBytes(size_t n)
{
    auto b = randomBytes(n);
    for (size_t i = 0; i < n; i += 2 + b[i] % 5)
        b[i] = b[i] & 1 ? FRAME_END : FRAME_ESC;
    return b;
}

// A full chunk: 0 random content (about 2 of every 256 bytes need escaping),
// 1 text, 2 dense framing bytes.
std::vector<uint8_t> frameContent(const benchmark::State& state)
{
    if (state.range(0) == 1)
        return textBytes(FRAME_NOMINAL_SIZE);
    return state.range(0) == 2 ? denseBytes(FRAME_NOMINAL_SIZE) : randomBytes(FRAME_NOMINAL_SIZE);
}

void BM_frameEncode(benchmark::State& state)
{
    auto data = frameContent(state);
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
    auto data = frameContent(state);
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
BENCHMARK(BM_frameEncode)->ArgName("content")->DenseRange(0, 2);
BENCHMARK(BM_frameDecode)->ArgName("content")->DenseRange(0, 2);
BENCHMARK_MAIN();
