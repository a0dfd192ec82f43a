// Camellia-256 decryption of many independent blocks at once (ECB), with the
// GFNI instructions: byte-sliced (one register per byte position of the
// block), 64 blocks per batch on AVX-512 and 32 on AVX2, chosen at run time.
// There are no table look-ups, so unlike the table-driven code it does not
// leak through the cache.
#pragma once
#include <cstdint>

// The widest batch the vector path may use: 64 unless a test or benchmark
// lowers it to 32 to run the AVX2 path on a CPU that also has AVX-512.
extern int camelliaSimdMaxBatch;

// Blocks per batch of the best vector path this CPU has within
// camelliaSimdMaxBatch: 64 (AVX-512 with GFNI), 32 (AVX2 with GFNI), or 0.
int camelliaSimdBatchBlocks();

// Decrypts count 16-byte blocks in place, each on its own. subkeys are the 34
// subkeys of the 256-bit key schedule in canonical order, kw1..kw4, k1..k24,
// ke1..ke6, each the 64-bit number RFC 3713 defines. count must be a multiple
// of camelliaSimdBatchBlocks(), which must not be 0; anything else is fatal.
void camelliaSimdDecrypt(const uint64_t subkeys[34], uint8_t* blocks, int64_t count);

// s1, s2, s3 and s4 of all 256 inputs as the path camelliaSimdBatchBlocks()
// names computes them, for tests. Gives 0 and leaves out untouched when that
// is 0, else 1.
int camelliaSimdSboxes(uint8_t out[4][256]);
