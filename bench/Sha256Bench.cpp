// SHA-256 throughput, as a client verifies a signed release. Without
// arguments: in-memory Google Benchmark runs. With --tree DIR: the SHA-256 of
// every file named on stdin (paths relative to DIR), one "DIGEST  PATH" line
// each as sha256sum prints it, so bench/verify-speed.sh can set it beside
// sha256sum over the same files.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "newupdatesystem/Common/FileSha256.h"
#include "newupdatesystem/Common/ManifestFormat.h"

namespace
{

void BM_Sha256(benchmark::State& state)
{
    std::vector<uint8_t> data(size_t(state.range(0)));
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = uint8_t(i * 31 + 7);
    for (auto _ : state)
    {
        platform::Sha256Digest d = platform::CSha256::digest(data.data(), data.size());
        benchmark::DoNotOptimize(d);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Sha256)->Arg(64 << 10)->Arg(1 << 20)->Arg(16 << 20);

int digestTree(const std::string& dir)
{
    std::string rel;
    while (std::getline(std::cin, rel))
    {
        platform::CSha256 hash;
        if (!addFileToSha256((dir + "/" + rel).c_str(), UINT64_MAX, hash))
        {
            std::fprintf(stderr, "cannot read %s\n", rel.c_str());
            return 1;
        }
        platform::Sha256Digest d = hash.final();
        std::printf("%s  %s\n", toHex(d.data(), d.size()).c_str(), rel.c_str());
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--tree") == 0)
        return digestTree(argv[2]);
    if (argc >= 2 && std::strcmp(argv[1], "--help") == 0)
    {
        std::printf("usage: %s [--tree DIR < paths | Google Benchmark options]\n", argv[0]);
        return 0;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
