// File lists at full size: the binary format and the comparison of two lists
// of 65,536 files (target under 100 ms each), and the scan and synchronisation
// of a 20,000-file tree in 1,000 folders (bench/compare-scan.sh measures the
// scan against find in the same run).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "newupdatesystem/Common/ChangeList.h"
#include "newupdatesystem/Common/FileList.h"
#include "newupdatesystem/Common/FileListSync.h"
#include "newupdatesystem/Common/LogControl.h"

namespace
{
constexpr uint32_t kListFiles = 65536;

// 256 folders of 256 files; the seed varies sizes and checksums.
void fillList(CFileList& list, uint32_t seed)
{
    char path[64];
    for (uint32_t d = 0; d < 256; ++d)
    {
        std::snprintf(path, sizeof path, "data/folder%03u/", d);
        FileInfo folder;
        folder.flags = FI_FOLDER;
        list.updateFileInfo(path, folder);
        for (uint32_t f = 0; f < kListFiles / 256; ++f)
        {
            std::snprintf(path, sizeof path, "data/folder%03u/file_%05u.pak", d, f);
            FileInfo info;
            info.flags = FI_CHECKSUM;
            const uint32_t n = d * 256 + f;
            // One file in sixteen differs between the two seeds.
            const uint32_t v = n % 16 == 0 ? n * 2654435761u + seed : n * 2654435761u;
            info.size = v % 1000000;
            info.time = 1500000000 + v % 1000;
            info.checksum[0] = v;
            info.checksum[1] = ~v;
            list.updateFileInfo(path, info);
        }
    }
}

CFileList& bigList()
{
    static CFileList* list = []
    {
        auto* l = new CFileList;
        fillList(*l, 0);
        l->buildBin();
        return l;
    }();
    return *list;
}

void BM_CreateFromBin(benchmark::State& state)
{
    CFileList& source = bigList();
    CFileList list;
    for (auto _ : state)
        list.createFromBin(source.image().data(), source.imageSize());
    state.counters["files"] = list.fileCount;
    state.counters["bytes"] = source.imageSize();
}
BENCHMARK(BM_CreateFromBin)->Unit(benchmark::kMillisecond);

void BM_BuildBin(benchmark::State& state)
{
    CFileList list;
    fillList(list, 0);
    for (auto _ : state)
        list.buildBin();
    state.counters["files"] = list.fileCount;
}
BENCHMARK(BM_BuildBin)->Unit(benchmark::kMillisecond);

void BM_CompareLists(benchmark::State& state)
{
    CFileList a;
    CFileList b;
    fillList(a, 0);
    fillList(b, 7);
    ChangeList newer;
    ChangeList older;
    for (auto _ : state)
        compareLists(newer, older, a, b, CMP_SIZE | CMP_CHECKSUM);
    state.counters["files"] = a.fileCount;
    state.counters["changed"] = double(newer.fileItems.size());
}
BENCHMARK(BM_CompareLists)->Unit(benchmark::kMillisecond);

// The generated tree, made once and removed at exit.
class Tree
{
public:
    Tree()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "upd-bench-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            std::abort();
        root = pattern;
        for (int top = 0; top < 40; ++top)
        {
            for (int sub = 0; sub < 25; ++sub)
            {
                const std::string folder = root + "/top" + std::to_string(top) + "/sub" + std::to_string(sub);
                std::filesystem::create_directories(folder);
                for (int f = 0; f < 20; ++f)
                {
                    std::FILE* file =
                        std::fopen((folder + "/file" + std::to_string(f) + ".dat").c_str(), "wb");
                    std::fprintf(file, "%d", top * 1000 + sub * 20 + f);
                    std::fclose(file);
                }
            }
        }
    }
    ~Tree()
    {
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }
    std::string root;
};

Tree& tree()
{
    static Tree t;
    return t;
}

void BM_ScanTree(benchmark::State& state)
{
    const std::string& root = tree().root; // made before timing starts
    CFileList list;
    for (auto _ : state)
        list.scan(root.c_str(), false);
    state.counters["files"] = list.fileCount;
    state.counters["folders"] = list.folderCount;
}
BENCHMARK(BM_ScanTree)->Unit(benchmark::kMillisecond);

class CountingSync : public CFileListSync
{
public:
    void onListEvent(uint32_t code, const char* path, const FileInfo* info) override
    {
        reads += code == LE_CHECKSUM;
        CFileListSync::onListEvent(code, path, info);
    }
    uint32_t reads = 0;
};

void BM_SyncUnchanged(benchmark::State& state)
{
    const std::string listFile = tree().root + ".lst";
    {
        CFileListSync first;
        first.syncWithDisk(listFile.c_str(), tree().root.c_str(), false, true);
        first.save();
    }
    CountingSync sync;
    for (auto _ : state)
        sync.syncWithDisk(listFile.c_str(), tree().root.c_str(), false, false);
    state.counters["files"] = sync.fileCount;
    state.counters["files_read"] = sync.reads; // must stay 0
    std::remove(listFile.c_str());
}
BENCHMARK(BM_SyncUnchanged)->Unit(benchmark::kMillisecond);
} // namespace

int main(int argc, char** argv)
{
    logStop(); // no log file beside the benchmark
    logSetConsoleStream(nullptr);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
