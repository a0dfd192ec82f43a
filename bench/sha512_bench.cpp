// SHA-512 speed: the hash layer against OpenSSL's EVP one-shot over the same
// bytes, once as the file hash feeds it (one 1 MiB update) and once as
// passphrase stretching does (the same 1,024-byte block again and again,
// after a passphrase and XExInfo have left a partial block behind).
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/_Tools.h"
#include "crypto/Sha512.h"
#include "system/System.h"

namespace {

const int64_t MIB = 1 << 20;

std::vector<uint8_t> pattern(int64_t length) {
    std::vector<uint8_t> bytes(static_cast<size_t>(length));
    for (size_t i = 0; i < bytes.size(); i++) bytes[i] = static_cast<uint8_t>(i * 131 + 7);
    return bytes;
}

void evpOneShot(const uint8_t* bytes, size_t length, uint8_t* digest) {
    unsigned int size = 0;
    if (EVP_Digest(bytes, length, digest, &size, EVP_sha512(), nullptr) != 1) abort();
}

void BM_Sha512Update1MiB(benchmark::State& state) {
    std::vector<uint8_t> buffer = pattern(MIB);
    for (auto _ : state) {
        Sha512Ctx* ctx = sha512New();
        sha512Update(ctx, buffer.data(), buffer.size());
        benchmark::DoNotOptimize(sha512Final(ctx));
        free(ctx);
    }
    state.SetBytesProcessed(state.iterations() * MIB);
}

void BM_EvpOneShot1MiB(benchmark::State& state) {
    std::vector<uint8_t> buffer = pattern(MIB);
    uint8_t digest[64];
    for (auto _ : state) {
        evpOneShot(buffer.data(), buffer.size(), digest);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(state.iterations() * MIB);
}

// 1,024 updates of one 1,024-byte block after 2 + 64 bytes, so that every
// update starts inside a 128-byte block, as in stretching.
void BM_Sha512StretchBlocks1MiB(benchmark::State& state) {
    uint8_t block[1024];
    memset(block, 0x41, sizeof block);
    uint8_t info[64] = {0};
    for (auto _ : state) {
        Sha512Ctx* ctx = sha512New();
        sha512Update(ctx, "pw", 2);
        sha512Update(ctx, info, sizeof info);
        for (int i = 0; i < 1024; ++i) sha512Update(ctx, block, sizeof block);
        benchmark::DoNotOptimize(sha512Final(ctx));
        free(ctx);
    }
    state.SetBytesProcessed(state.iterations() * MIB);
}

void BM_EvpOneShotStretchBytes1MiB(benchmark::State& state) {
    std::vector<uint8_t> buffer(static_cast<size_t>(MIB + 66), 0x41);
    memcpy(buffer.data(), "pw", 2);
    memset(buffer.data() + 2, 0, 64);
    uint8_t digest[64];
    for (auto _ : state) {
        evpOneShot(buffer.data(), buffer.size(), digest);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(state.iterations() * MIB);
}

// The whole derivation at X-EXT 20 (1 MiB of filler), star line included;
// its trace goes nowhere.
void BM_GetRawKeyStretch20(benchmark::State& state) {
    xcout = xcoutNull;
    xExFlag = 1;
    xChr = 0x41;
    xExp = 20;
    for (auto _ : state) benchmark::DoNotOptimize(GetRawKey("pw", 1, "unused"));
    state.SetBytesProcessed(state.iterations() * MIB);
}

}  // namespace

BENCHMARK(BM_Sha512Update1MiB);
BENCHMARK(BM_EvpOneShot1MiB);
BENCHMARK(BM_Sha512StretchBlocks1MiB);
BENCHMARK(BM_EvpOneShotStretchBytes1MiB);
BENCHMARK(BM_GetRawKeyStretch20);
BENCHMARK_MAIN();
