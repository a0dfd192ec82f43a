// fileCopy speed over a file in the page cache, against a plain read/write
// loop over the same file with the same chunk, so that the cost of the
// streams and the checks shows. The files live in the temporary directory.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "system/File.h"
#include "system/System.h"

namespace {

std::string tempName(const char* leaf) {
    const char* dir = getenv("TMPDIR");
    return std::string(dir != nullptr && dir[0] != '\0' ? dir : "/tmp") + "/" + leaf;
}

void makeFile(const std::string& name, int64_t length) {
    FILE* stream = fopen(name.c_str(), "wb");
    if (stream == nullptr) abort();
    std::vector<uint8_t> bytes(1 << 20);
    for (size_t i = 0; i < bytes.size(); i++) bytes[i] = static_cast<uint8_t>(i * 131 + 7);
    for (int64_t left = length; left > 0;) {
        size_t count = left < static_cast<int64_t>(bytes.size()) ? static_cast<size_t>(left) : bytes.size();
        if (fwrite(bytes.data(), 1, count, stream) != count) abort();
        left -= static_cast<int64_t>(count);
    }
    if (fclose(stream) != 0) abort();
}

void BM_FileCopy(benchmark::State& state) {
    xcout = xcoutNull;
    const std::string source = tempName("filecopy_bench.src");
    const std::string destination = tempName("filecopy_bench.dst");
    makeFile(source, state.range(0));
    for (auto _ : state) fileCopy(source.c_str(), destination.c_str());
    state.SetBytesProcessed(state.iterations() * state.range(0));
    remove(source.c_str());
    remove(destination.c_str());
}

// The floor: the same bytes through fread and fwrite, 1,000,000 at a time.
void BM_PlainReadWrite(benchmark::State& state) {
    const std::string source = tempName("filecopy_bench.src");
    const std::string destination = tempName("filecopy_bench.dst");
    makeFile(source, state.range(0));
    std::vector<uint8_t> buffer(1000000);
    for (auto _ : state) {
        FILE* in = fopen(source.c_str(), "rb");
        FILE* out = fopen(destination.c_str(), "wb");
        if (in == nullptr || out == nullptr) abort();
        size_t got;
        while ((got = fread(buffer.data(), 1, buffer.size(), in)) > 0) {
            if (fwrite(buffer.data(), 1, got, out) != got) abort();
        }
        fclose(in);
        if (fclose(out) != 0) abort();
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
    remove(source.c_str());
    remove(destination.c_str());
}

}  // namespace

BENCHMARK(BM_FileCopy)->Arg(64 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainReadWrite)->Arg(64 << 20)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
