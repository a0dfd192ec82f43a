// Camellia-256 speed: ours against OpenSSL's, over one chunk of the file
// layer (1,600,000 bytes) and over a buffer that stays in the L1 cache.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "crypto/camellia.h"
#include "system/System.h"

namespace {

const uint8_t KEY[32] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef, 0xfe, 0xdc, 0xba,
                         0x98, 0x76, 0x54, 0x32, 0x10, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55,
                         0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};

std::vector<uint8_t> pattern(int64_t length) {
    std::vector<uint8_t> bytes(static_cast<size_t>(length));
    for (size_t i = 0; i < bytes.size(); i++) bytes[i] = static_cast<uint8_t>(i * 131 + 7);
    return bytes;
}

CamelliaCtx* newContext() {
    xcout = xcoutNull;
    return camellia_create(KEY);
}

// The CBC chain as the file layer runs it: each block waits for the one
// before, so this measures the latency of one block.
void BM_CamelliaEncryptChained(benchmark::State& state) {
    CamelliaCtx* ctx = newContext();
    std::vector<uint8_t> buffer = pattern(state.range(0));
    uint8_t chain[16] = {0};
    for (auto _ : state) {
        // The next pass chains on from this one's last block.
        camellia_encrypt_cbc(ctx, chain, buffer.data(), static_cast<int64_t>(buffer.size() / 16));
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
    camellia_release(ctx);
}

void BM_CamelliaDecryptPerBlock(benchmark::State& state) {
    CamelliaCtx* ctx = newContext();
    std::vector<uint8_t> buffer = pattern(state.range(0));
    for (auto _ : state) {
        for (size_t offset = 0; offset < buffer.size(); offset += 16) {
            camellia_decrypt(ctx, buffer.data() + offset, buffer.data() + offset);
        }
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
    camellia_release(ctx);
}

void BM_CamelliaDecryptBlocks(benchmark::State& state) {
    CamelliaCtx* ctx = newContext();
    std::vector<uint8_t> buffer = pattern(state.range(0));
    for (auto _ : state) {
        camellia_decrypt_blocks(ctx, buffer.data(), state.range(0) / 16);
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
    camellia_release(ctx);
}

// OpenSSL's Camellia-256-CBC through EVP; the chain runs on across
// iterations, as one long file would.
void opensslCbc(benchmark::State& state, int encrypt) {
    std::vector<uint8_t> buffer = pattern(state.range(0));
    std::vector<uint8_t> output(buffer.size() + 16);
    uint8_t iv[16] = {0};
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_CipherInit_ex(ctx, EVP_camellia_256_cbc(), nullptr, KEY, iv, encrypt);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    for (auto _ : state) {
        int length = 0;
        EVP_CipherUpdate(ctx, output.data(), &length, buffer.data(), static_cast<int>(buffer.size()));
        benchmark::DoNotOptimize(output.data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
    EVP_CIPHER_CTX_free(ctx);
}

void BM_OpenSslCamelliaCbcEncrypt(benchmark::State& state) { opensslCbc(state, 1); }
void BM_OpenSslCamelliaCbcDecrypt(benchmark::State& state) { opensslCbc(state, 0); }

BENCHMARK(BM_CamelliaEncryptChained)->Arg(16384)->Arg(1600000);
BENCHMARK(BM_OpenSslCamelliaCbcEncrypt)->Arg(16384)->Arg(1600000);
BENCHMARK(BM_CamelliaDecryptPerBlock)->Arg(16384)->Arg(1600000);
BENCHMARK(BM_CamelliaDecryptBlocks)->Arg(16384)->Arg(1600000);
BENCHMARK(BM_OpenSslCamelliaCbcDecrypt)->Arg(16384)->Arg(1600000);

}  // namespace

BENCHMARK_MAIN();
