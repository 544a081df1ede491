// MD5 throughput. Without arguments: in-memory Google Benchmark runs.
// With --file PATH: digests the file as a checksum scan would see it (read in
// large blocks) and prints "DIGEST  PATH" and the throughput to stderr, so
// bench/compare-md5.sh can set it beside md5sum on the same file.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "newupdatesystem/Common/Md5.h"
#include "platform/Files.h"

namespace
{

void BM_Md5(benchmark::State& state)
{
    std::vector<uint8_t> data(size_t(state.range(0)) + 1);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = uint8_t(i * 31 + 7);
    // Offset by one: real buffers are not always aligned.
    const uint8_t* p = data.data() + 1;
    uint8_t digest[16];
    for (auto _ : state)
    {
        CMd5::digest(p, size_t(state.range(0)), digest);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}

int digestFile(const char* path)
{
    FILE* file = platform::openFile(path, "rb");
    if (file == nullptr)
    {
        perror(path);
        return 1;
    }
    // Unbuffered, so that each block is read from the file in one piece.
    setvbuf(file, nullptr, _IONBF, 0);
    std::vector<uint8_t> buffer(1 << 20);
    CMd5 md5;
    uint64_t total = 0;
    auto start = std::chrono::steady_clock::now();
    for (;;)
    {
        size_t n = fread(buffer.data(), 1, buffer.size(), file);
        if (n == 0 && ferror(file))
        {
            perror(path);
            fclose(file);
            return 1;
        }
        if (n == 0)
            break;
        md5.update(buffer.data(), size_t(n));
        total += uint64_t(n);
    }
    fclose(file);
    uint8_t digest[16];
    md5.final(digest);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (uint8_t b : digest)
        printf("%02x", b);
    printf("  %s\n", path);
    fprintf(stderr, "%.1f MB/s\n", double(total) / 1e6 / seconds);
    return 0;
}

} // namespace

BENCHMARK(BM_Md5)->Arg(64)->Arg(4096)->Arg(1 << 20)->Arg(16 << 20);

int main(int argc, char** argv)
{
    if (argc == 3 && strcmp(argv[1], "--file") == 0)
        return digestFile(argv[2]);
    if (argc >= 2 && strcmp(argv[1], "--help") == 0)
    {
        printf("usage: %s [--file PATH | Google Benchmark options]\n", argv[0]);
        return 0;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
