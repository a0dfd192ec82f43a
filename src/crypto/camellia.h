// Camellia with 256-bit keys (RFC 3713), table-driven.
// Fast but not constant-time: the table look-ups leak through the cache to an
// attacker who shares the machine.
#pragma once
#include <cstdint>

// keyTable holds the subkeys in the order encryption uses them, each as its
// high then its low 32-bit word: kw1 kw2, k1..k6, ke1 ke2, k7..k12, ke3 ke4,
// k13..k18, ke5 ke6, k19..k24, kw3 kw4.
struct CamelliaCtx {
    uint32_t keyTable[68];  // the 34 64-bit subkeys, filled once by camellia_create
    int32_t keyBitLength;   // always 256
};

// Traces "rawKey: <64 hex digits>" and expands the 32-byte key.
CamelliaCtx* camellia_create(const uint8_t* key);
// The key line alone, as camellia_create writes it: for a caller that made
// its context with the trace silenced and shows the key when its turn comes.
void camellia_trace_key(const uint8_t* key);
// One 16-byte block; input and output may be the same bytes.
void camellia_encrypt(const CamelliaCtx* ctx, const uint8_t* input, uint8_t* output);
// CBC-encrypts count blocks in place: each block is XORed with chain, then
// encrypted, and becomes the next chain; chain ends as the last cipher block.
void camellia_encrypt_cbc(const CamelliaCtx* ctx, uint8_t* chain, uint8_t* blocks, int64_t count);
void camellia_decrypt(const CamelliaCtx* ctx, const uint8_t* input, uint8_t* output);
// Decrypts count independent blocks in place (ECB), several at a time.
void camellia_decrypt_blocks(const CamelliaCtx* ctx, uint8_t* blocks, int64_t count);
void camellia_release(CamelliaCtx* ctx);
// The 34 subkeys in the order RFC 3713 names them: kw1..kw4, k1..k24, ke1..ke6.
void camellia_export_subkeys(const CamelliaCtx* ctx, uint64_t subkeys[34]);
