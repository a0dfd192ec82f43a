// Camellia-256 ECB decryption speed over one chunk of the file layer
// (1,600,000 bytes): the byte-sliced GFNI path against OpenSSL's EVP
// camellia-256-ecb. The vector path takes the same time for every key, so
// arbitrary subkeys stand in for a key schedule.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdint>
#include <vector>

#include "crypto/camellia_simd.h"

namespace {

const int64_t CHUNK = 1600000;

std::vector<uint8_t> pattern(int64_t length) {
    std::vector<uint8_t> bytes(static_cast<size_t>(length));
    for (size_t i = 0; i < bytes.size(); i++) bytes[i] = static_cast<uint8_t>(i * 131 + 7);
    return bytes;
}

// The argument is the batch size, which picks the path: 64 AVX-512, 32 AVX2.
// 100,000 blocks are not a multiple of 64, so that path does the largest
// multiple (99,968) and is credited only with those bytes.
void BM_CamelliaSimdDecrypt(benchmark::State& state) {
    camelliaSimdMaxBatch = static_cast<int>(state.range(0));
    int64_t batch = camelliaSimdBatchBlocks();
    if (batch != state.range(0)) {
        state.SkipWithError("this CPU lacks the path");
        camelliaSimdMaxBatch = 64;
        return;
    }
    uint64_t subkeys[34];
    for (int i = 0; i < 34; i++) subkeys[i] = 0x9e3779b97f4a7c15ULL * static_cast<uint64_t>(i + 1);
    std::vector<uint8_t> buffer = pattern(CHUNK);
    int64_t count = CHUNK / 16 / batch * batch;
    for (auto _ : state) {
        camelliaSimdDecrypt(subkeys, buffer.data(), count);
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(state.iterations() * count * 16);
    camelliaSimdMaxBatch = 64;
}

void BM_OpenSslCamelliaEcbDecrypt(benchmark::State& state) {
    uint8_t key[32];
    for (int i = 0; i < 32; i++) key[i] = static_cast<uint8_t>(i * 37 + 11);
    std::vector<uint8_t> buffer = pattern(CHUNK);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_DecryptInit_ex(ctx, EVP_camellia_256_ecb(), nullptr, key, nullptr);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    int length = 0;
    for (auto _ : state) {
        if (EVP_DecryptUpdate(ctx, buffer.data(), &length, buffer.data(), static_cast<int>(CHUNK)) != 1 ||
            length != CHUNK) {
            state.SkipWithError("EVP_DecryptUpdate failed");
            break;
        }
        benchmark::DoNotOptimize(buffer.data());
    }
    EVP_CIPHER_CTX_free(ctx);
    state.SetBytesProcessed(state.iterations() * CHUNK);
}

BENCHMARK(BM_CamelliaSimdDecrypt)->Arg(64)->Arg(32);
BENCHMARK(BM_OpenSslCamelliaEcbDecrypt);

}  // namespace

BENCHMARK_MAIN();
