#include "crypto/camellia.h"

#include <cstdlib>
#include <cstring>

#include "crypto/camellia_simd.h"
#include "system/MemAlloc.h"
#include "system/System.h"

namespace {

constexpr uint8_t SBOX1[256] = {
    0x70, 0x82, 0x2c, 0xec, 0xb3, 0x27, 0xc0, 0xe5, 0xe4, 0x85, 0x57, 0x35, 0xea, 0x0c, 0xae, 0x41,
    0x23, 0xef, 0x6b, 0x93, 0x45, 0x19, 0xa5, 0x21, 0xed, 0x0e, 0x4f, 0x4e, 0x1d, 0x65, 0x92, 0xbd,
    0x86, 0xb8, 0xaf, 0x8f, 0x7c, 0xeb, 0x1f, 0xce, 0x3e, 0x30, 0xdc, 0x5f, 0x5e, 0xc5, 0x0b, 0x1a,
    0xa6, 0xe1, 0x39, 0xca, 0xd5, 0x47, 0x5d, 0x3d, 0xd9, 0x01, 0x5a, 0xd6, 0x51, 0x56, 0x6c, 0x4d,
    0x8b, 0x0d, 0x9a, 0x66, 0xfb, 0xcc, 0xb0, 0x2d, 0x74, 0x12, 0x2b, 0x20, 0xf0, 0xb1, 0x84, 0x99,
    0xdf, 0x4c, 0xcb, 0xc2, 0x34, 0x7e, 0x76, 0x05, 0x6d, 0xb7, 0xa9, 0x31, 0xd1, 0x17, 0x04, 0xd7,
    0x14, 0x58, 0x3a, 0x61, 0xde, 0x1b, 0x11, 0x1c, 0x32, 0x0f, 0x9c, 0x16, 0x53, 0x18, 0xf2, 0x22,
    0xfe, 0x44, 0xcf, 0xb2, 0xc3, 0xb5, 0x7a, 0x91, 0x24, 0x08, 0xe8, 0xa8, 0x60, 0xfc, 0x69, 0x50,
    0xaa, 0xd0, 0xa0, 0x7d, 0xa1, 0x89, 0x62, 0x97, 0x54, 0x5b, 0x1e, 0x95, 0xe0, 0xff, 0x64, 0xd2,
    0x10, 0xc4, 0x00, 0x48, 0xa3, 0xf7, 0x75, 0xdb, 0x8a, 0x03, 0xe6, 0xda, 0x09, 0x3f, 0xdd, 0x94,
    0x87, 0x5c, 0x83, 0x02, 0xcd, 0x4a, 0x90, 0x33, 0x73, 0x67, 0xf6, 0xf3, 0x9d, 0x7f, 0xbf, 0xe2,
    0x52, 0x9b, 0xd8, 0x26, 0xc8, 0x37, 0xc6, 0x3b, 0x81, 0x96, 0x6f, 0x4b, 0x13, 0xbe, 0x63, 0x2e,
    0xe9, 0x79, 0xa7, 0x8c, 0x9f, 0x6e, 0xbc, 0x8e, 0x29, 0xf5, 0xf9, 0xb6, 0x2f, 0xfd, 0xb4, 0x59,
    0x78, 0x98, 0x06, 0x6a, 0xe7, 0x46, 0x71, 0xba, 0xd4, 0x25, 0xab, 0x42, 0x88, 0xa2, 0x8d, 0xfa,
    0x72, 0x07, 0xb9, 0x55, 0xf8, 0xee, 0xac, 0x0a, 0x36, 0x49, 0x2a, 0x68, 0x3c, 0x38, 0xf1, 0xa4,
    0x40, 0x28, 0xd3, 0x7b, 0xbb, 0xc9, 0x43, 0xc1, 0x15, 0xe3, 0xad, 0xf4, 0x77, 0xc7, 0x80, 0x9e,
};

constexpr uint8_t rotl8(uint8_t x, int n) {
    return static_cast<uint8_t>((x << n) | (x >> (8 - n)));
}

// The cipher is table-driven and therefore not constant-time: which table
// entries a block touches depends on key and data, and that shows through
// the cache to anyone sharing the machine.
//
// Each round function is eight look-ups in these tables. With the round
// input x1..x8 (most significant byte first), the P-function output's left
// word is a ^ b and its right word a ^ b ^ ror8(a), where
// a = sp1110[x1] ^ sp0222[x2] ^ sp3033[x3] ^ sp4404[x4] and
// b = sp0222[x5] ^ sp3033[x6] ^ sp4404[x7] ^ sp1110[x8].
// The four tables share one record so that one base register reaches them
// all (position-independent code cannot index a table by its address).
struct SpTables {
    uint32_t sp1110[256];  // s1(x) in bytes 3, 2, 1
    uint32_t sp0222[256];  // s2(x) = s1(x) rotated left by 1, in bytes 2, 1, 0
    uint32_t sp3033[256];  // s3(x) = s1(x) rotated right by 1, in bytes 3, 1, 0
    uint32_t sp4404[256];  // s4(x) = s1(x rotated left by 1), in bytes 3, 2, 0
};

// Each entry is the S-box value times a mask with 0x01 in the bytes of the
// P-function output that the S-box's byte feeds.
constexpr SpTables makeSpTables() {
    SpTables t{};
    for (int x = 0; x < 256; x++) {
        t.sp1110[x] = SBOX1[x] * 0x01010100u;
        t.sp0222[x] = rotl8(SBOX1[x], 1) * 0x00010101u;
        t.sp3033[x] = rotl8(SBOX1[x], 7) * 0x01000101u;
        t.sp4404[x] = SBOX1[rotl8(static_cast<uint8_t>(x), 1)] * 0x01010001u;
    }
    return t;
}

alignas(64) constexpr SpTables SP = makeSpTables();

static_assert(SP.sp1110[0] == 0x70707000u, "sp1110 from SBOX1");
static_assert(SP.sp0222[1] == 0x00050505u, "sp0222: 0x82 rotated left is 0x05");
static_assert(SP.sp3033[1] == 0x41004141u, "sp3033: 0x82 rotated right is 0x41");
static_assert(SP.sp4404[1] == 0x2c2c002cu, "sp4404: input 0x01 rotated left is 0x02");

inline uint32_t load32BE(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[3]);
}

// A byte swap and a 4-byte copy rather than four byte stores: GCC merges the
// sixteen byte stores of a block into one vector store built through the
// stack, and the next block's loads then wait for it (7% of a block's time).
inline void store32BE(uint8_t* p, uint32_t v) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    v = __builtin_bswap32(v);
#endif
    memcpy(p, &v, 4);
}

inline uint64_t load64BE(const uint8_t* p) {
    return static_cast<uint64_t>(load32BE(p)) << 32 | load32BE(p + 4);
}

inline uint32_t rotl32(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }
inline uint32_t rotr32(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

// Byte n of x (byte 0 the least significant) as a table index. The 64-bit
// shift spares a zero-extension after the high-byte move that reads byte 1.
inline uint64_t byteOf(uint32_t x, int n) { return (static_cast<uint64_t>(x) >> (8 * n)) & 0xff; }

// The entry of table at a byte offset that is already a multiple of 4.
inline uint32_t tableAt(const uint32_t* table, uint32_t offset) {
    uint32_t v;
    memcpy(&v, reinterpret_cast<const uint8_t*>(table) + offset, 4);
    return v;
}

// Byte 2 of x times 4: the byte offset of its table entry. Byte 2 needs a
// shift and a mask whichever way it is taken; producing the offset rather
// than the index lets its load skip the scaled address, which costs one
// cycle more on the AMD cores we measured. The other bytes come out in one
// instruction (a shift or a byte move) and keep the scaled load.
inline uint32_t byte2Offset(uint32_t x) { return (x >> 14) & 0x3fc; }

// (y0, y1) ^= P(S(u, v)): the round function on an input that already
// carries its subkey. Written in this order, the compiler xors a and its
// rotation into y1 before b: a comes from the half that was ready first, and
// this measured 5% faster than xoring a ^ b into both words. The round is
// bound by its eight dependent loads, which issue one after another rather
// than all at once: leading each xor chain with the byte 2 load measured 1%
// faster than ending it there, and balanced xor trees, chains pinned in
// registers and extra tables in place of the rotation all measured slower.
[[gnu::always_inline]] inline void spRound(uint32_t u, uint32_t v, uint32_t& y0, uint32_t& y1) {
    uint32_t a = tableAt(SP.sp0222, byte2Offset(u)) ^ SP.sp1110[byteOf(u, 3)] ^
                 SP.sp3033[byteOf(u, 1)] ^ SP.sp4404[byteOf(u, 0)];
    uint32_t b = tableAt(SP.sp3033, byte2Offset(v)) ^ SP.sp0222[byteOf(v, 3)] ^
                 SP.sp4404[byteOf(v, 1)] ^ SP.sp1110[byteOf(v, 0)];
    y0 ^= a ^ b;
    y1 ^= rotr32(a, 8) ^ a ^ b;
}

// One Feistel round: (y0, y1) ^= F((x0, x1), (k[0], k[1])).
inline void feistel(uint32_t x0, uint32_t x1, uint32_t& y0, uint32_t& y1, const uint32_t* k) {
    spRound(x0 ^ k[0], x1 ^ k[1], y0, y1);
}

// FL on (x0, x1) and FL^-1 on (y0, y1), the layer between groups of six
// rounds; kl is FL's subkey and ky FL^-1's.
[[gnu::always_inline]] inline void flLayer(uint32_t& x0, uint32_t& x1, uint32_t& y0,
                                           uint32_t& y1, const uint32_t* kl, const uint32_t* ky) {
    x1 ^= rotl32(x0 & kl[0], 1);
    x0 ^= x1 | kl[1];
    y0 ^= y1 | ky[1];
    y1 ^= rotl32(y0 & ky[0], 1);
}

// The key table holds the subkeys in the order encryption uses them (listed
// in camellia.h); subkey slot s is at words 2s (high) and 2s+1 (low).
// Decryption walks the same table from the other end.
constexpr int ROUND1 = 2;     // slot of k1
constexpr int FL1 = 8;        // slot of ke1
constexpr int FINAL = 32;     // slot of kw3

// Word i of the xor of two subkeys, either of which may be absent (null).
inline uint32_t keyXor(const uint32_t* a, const uint32_t* b, int i) {
    return (a != nullptr ? a[i] : 0) ^ (b != nullptr ? b[i] : 0);
}

// Six rounds with the subkeys k0..k5 at slots s, s+step, ..., s+5*step; the
// state is (l0, l1) || (r0, r1) and the rounds alternate between the halves.
// Each half is kept xored with the subkey of its next use as a round input,
// and switched to the following one while the other half's round runs: that
// takes the subkey xor off the chain of dependent operations. On entry the
// halves carry inL and inR, on exit outL and outR (null: no key), which folds
// the whitening in the same way.
[[gnu::always_inline]] inline void sixRounds(uint32_t& l0, uint32_t& l1, uint32_t& r0, uint32_t& r1,
                                             const uint32_t* kt, int s, int step,
                                             const uint32_t* inL, const uint32_t* inR,
                                             const uint32_t* outL, const uint32_t* outR) {
    const uint32_t* k0 = kt + 2 * s;
    const uint32_t* k1 = kt + 2 * (s + step);
    const uint32_t* k2 = kt + 2 * (s + 2 * step);
    const uint32_t* k3 = kt + 2 * (s + 3 * step);
    const uint32_t* k4 = kt + 2 * (s + 4 * step);
    const uint32_t* k5 = kt + 2 * (s + 5 * step);
    l0 ^= keyXor(inL, k0, 0), l1 ^= keyXor(inL, k0, 1);
    r0 ^= keyXor(inR, k1, 0), r1 ^= keyXor(inR, k1, 1);
    spRound(l0, l1, r0, r1);
    l0 ^= keyXor(k0, k2, 0), l1 ^= keyXor(k0, k2, 1);
    spRound(r0, r1, l0, l1);
    r0 ^= keyXor(k1, k3, 0), r1 ^= keyXor(k1, k3, 1);
    spRound(l0, l1, r0, r1);
    l0 ^= keyXor(k2, k4, 0), l1 ^= keyXor(k2, k4, 1);
    spRound(r0, r1, l0, l1);
    r0 ^= keyXor(k3, k5, 0), r1 ^= keyXor(k3, k5, 1);
    spRound(l0, l1, r0, r1);
    l0 ^= keyXor(k4, outL, 0), l1 ^= keyXor(k4, outL, 1);
    spRound(r0, r1, l0, l1);
    r0 ^= keyXor(k5, outR, 0), r1 ^= keyXor(k5, outR, 1);
}

// The 24-round cipher on four words. Encryption takes the subkeys forward;
// decryption is the same network with them in reverse: the whitening pairs
// trade places and round or FL slot s becomes slot 33 - s.
template <bool Decrypt>
[[gnu::always_inline]] inline void cryptWords(const uint32_t* kt, uint32_t& w0, uint32_t& w1,
                                              uint32_t& w2, uint32_t& w3) {
    const int step = Decrypt ? -1 : 1;
    auto slot = [](int s) { return Decrypt ? 33 - s : s; };
    const uint32_t* inL = kt + 2 * (Decrypt ? FINAL : 0);
    const uint32_t* inR = inL + 2;
    const uint32_t* outR = kt + 2 * (Decrypt ? 0 : FINAL);
    const uint32_t* outL = outR + 2;
    uint32_t l0 = w0, l1 = w1, r0 = w2, r1 = w3;
    sixRounds(l0, l1, r0, r1, kt, slot(ROUND1), step, inL, inR, nullptr, nullptr);
    flLayer(l0, l1, r0, r1, kt + 2 * slot(FL1), kt + 2 * slot(FL1 + 1));
    sixRounds(l0, l1, r0, r1, kt, slot(ROUND1 + 8), step, nullptr, nullptr, nullptr, nullptr);
    flLayer(l0, l1, r0, r1, kt + 2 * slot(FL1 + 8), kt + 2 * slot(FL1 + 9));
    sixRounds(l0, l1, r0, r1, kt, slot(ROUND1 + 16), step, nullptr, nullptr, nullptr, nullptr);
    flLayer(l0, l1, r0, r1, kt + 2 * slot(FL1 + 16), kt + 2 * slot(FL1 + 17));
    sixRounds(l0, l1, r0, r1, kt, slot(ROUND1 + 24), step, nullptr, nullptr, outL, outR);
    // The halves trade places on output.
    w0 = r0, w1 = r1, w2 = l0, w3 = l1;
}

template <bool Decrypt>
inline void cryptBlock(const CamelliaCtx* ctx, const uint8_t* input, uint8_t* output) {
    uint32_t w0 = load32BE(input), w1 = load32BE(input + 4);
    uint32_t w2 = load32BE(input + 8), w3 = load32BE(input + 12);
    cryptWords<Decrypt>(ctx->keyTable, w0, w1, w2, w3);
    store32BE(output, w0);
    store32BE(output + 4, w1);
    store32BE(output + 8, w2);
    store32BE(output + 12, w3);
}

// Blocks decrypted side by side by camellia_decrypt_blocks: their rounds are
// independent, so the look-ups of one overlap the latency of the others.
// Four measured faster than 2, 3 or 8; the unroll pragmas below match it.
constexpr int LANES = 4;

// One Feistel round on every lane, lanes innermost.
inline void feistelLanes(const uint32_t* x0, const uint32_t* x1, uint32_t* y0, uint32_t* y1,
                         const uint32_t* k) {
#pragma GCC unroll 4
    for (int j = 0; j < LANES; j++) feistel(x0[j], x1[j], y0[j], y1[j], k);
}

void decryptLanes(const uint32_t* kt, uint8_t* blocks) {
    uint32_t l0[LANES], l1[LANES], r0[LANES], r1[LANES];
#pragma GCC unroll 4
    for (int j = 0; j < LANES; j++) {
        const uint8_t* p = blocks + 16 * j;
        l0[j] = load32BE(p) ^ kt[2 * FINAL];
        l1[j] = load32BE(p + 4) ^ kt[2 * FINAL + 1];
        r0[j] = load32BE(p + 8) ^ kt[2 * FINAL + 2];
        r1[j] = load32BE(p + 12) ^ kt[2 * FINAL + 3];
    }
    // Slots 31 down to 2, as in cryptWords<true>.
    for (int group = 0; group < 4; group++) {
        int s = 31 - 8 * group;
        feistelLanes(l0, l1, r0, r1, kt + 2 * s);
        feistelLanes(r0, r1, l0, l1, kt + 2 * (s - 1));
        feistelLanes(l0, l1, r0, r1, kt + 2 * (s - 2));
        feistelLanes(r0, r1, l0, l1, kt + 2 * (s - 3));
        feistelLanes(l0, l1, r0, r1, kt + 2 * (s - 4));
        feistelLanes(r0, r1, l0, l1, kt + 2 * (s - 5));
        if (group == 3) break;
#pragma GCC unroll 4
        for (int j = 0; j < LANES; j++) {
            flLayer(l0[j], l1[j], r0[j], r1[j], kt + 2 * (s - 6), kt + 2 * (s - 7));
        }
    }
#pragma GCC unroll 4
    for (int j = 0; j < LANES; j++) {
        uint8_t* p = blocks + 16 * j;
        store32BE(p, r0[j] ^ kt[0]);
        store32BE(p + 4, r1[j] ^ kt[1]);
        store32BE(p + 8, l0[j] ^ kt[2]);
        store32BE(p + 12, l1[j] ^ kt[3]);
    }
}

struct Uint128 {
    uint64_t high, low;
};

// The 128-bit value rotated left by n bits (0 <= n < 128).
Uint128 rotl128(Uint128 x, int n) {
    if (n >= 64) {
        x = Uint128{x.low, x.high};
        n -= 64;
    }
    if (n == 0) return x;
    return Uint128{x.high << n | x.low >> (64 - n), x.low << n | x.high >> (64 - n)};
}

// The round function on 64-bit values, for the key schedule.
uint64_t f64(uint64_t x, uint64_t k) {
    uint32_t y0 = 0, y1 = 0;
    uint32_t kw[2] = {static_cast<uint32_t>(k >> 32), static_cast<uint32_t>(k)};
    feistel(static_cast<uint32_t>(x >> 32), static_cast<uint32_t>(x), y0, y1, kw);
    return static_cast<uint64_t>(y0) << 32 | y1;
}

const uint64_t SIGMA[6] = {
    0xA09E667F3BCC908Bull, 0xB67AE8584CAA73B2ull, 0xC6EF372FE94F82BEull,
    0x54FF53A5F1D36F1Cull, 0x10E527FADE682D1Dull, 0xB05688C2B3E6C1FDull,
};

enum KeySource : uint8_t { KL, KR, KA, KB };

// Where each subkey pair of the key table comes from: the source value and
// its left rotation; pair i fills slots 2i and 2i+1.
const struct {
    KeySource source;
    uint8_t rotation;
} SUBKEY_PAIRS[17] = {
    {KL, 0},  {KB, 0},  {KR, 15}, {KA, 15}, {KR, 30}, {KB, 30},  {KL, 45},  {KA, 45},  {KL, 60},
    {KR, 60}, {KB, 60}, {KL, 77}, {KA, 77}, {KR, 94}, {KA, 94}, {KL, 111}, {KB, 111},
};

void wipe(void* block, size_t size) {
    volatile uint8_t* p = static_cast<volatile uint8_t*>(block);
    for (size_t i = 0; i < size; i++) p[i] = 0;
}

void expandKey(const uint8_t* key, uint32_t* keyTable) {
    Uint128 k[4];
    k[KL] = Uint128{load64BE(key), load64BE(key + 8)};
    k[KR] = Uint128{load64BE(key + 16), load64BE(key + 24)};
    uint64_t d1 = k[KL].high ^ k[KR].high;
    uint64_t d2 = k[KL].low ^ k[KR].low;
    d2 ^= f64(d1, SIGMA[0]);
    d1 ^= f64(d2, SIGMA[1]);
    d1 ^= k[KL].high;
    d2 ^= k[KL].low;
    d2 ^= f64(d1, SIGMA[2]);
    d1 ^= f64(d2, SIGMA[3]);
    k[KA] = Uint128{d1, d2};
    d1 = k[KA].high ^ k[KR].high;
    d2 = k[KA].low ^ k[KR].low;
    d2 ^= f64(d1, SIGMA[4]);
    d1 ^= f64(d2, SIGMA[5]);
    k[KB] = Uint128{d1, d2};
    for (int i = 0; i < 17; i++) {
        Uint128 pair = rotl128(k[SUBKEY_PAIRS[i].source], SUBKEY_PAIRS[i].rotation);
        keyTable[4 * i] = static_cast<uint32_t>(pair.high >> 32);
        keyTable[4 * i + 1] = static_cast<uint32_t>(pair.high);
        keyTable[4 * i + 2] = static_cast<uint32_t>(pair.low >> 32);
        keyTable[4 * i + 3] = static_cast<uint32_t>(pair.low);
    }
    wipe(k, sizeof k);
}

}  // namespace

void camellia_trace_key(const uint8_t* key) {
    char hex[2 * 32 + 1];
    for (int i = 0; i < 32; i++) {
        hex[2 * i] = "0123456789abcdef"[key[i] >> 4];
        hex[2 * i + 1] = "0123456789abcdef"[key[i] & 0x0f];
    }
    hex[64] = '\0';
    xcout("rawKey: %s\n", hex);
    wipe(hex, sizeof hex);
}

CamelliaCtx* camellia_create(const uint8_t* key) {
    if (key == nullptr) fatalError("camellia", 1476, "camellia_create");
    camellia_trace_key(key);
    void* block = memAlloc(static_cast<int32_t>(sizeof(CamelliaCtx)));
    CamelliaCtx* ctx = static_cast<CamelliaCtx*>(block);
    ctx->keyBitLength = 256;
    expandKey(key, ctx->keyTable);
    return ctx;
}

void camellia_encrypt(const CamelliaCtx* ctx, const uint8_t* input, uint8_t* output) {
    cryptBlock<false>(ctx, input, output);
}

void camellia_encrypt_cbc(const CamelliaCtx* ctx, uint8_t* chain, uint8_t* blocks, int64_t count) {
    // The chaining value stays in registers from one block to the next: the
    // chain is the latency of one block per block, and a trip through memory
    // between blocks would add to it.
    uint32_t c0 = load32BE(chain), c1 = load32BE(chain + 4);
    uint32_t c2 = load32BE(chain + 8), c3 = load32BE(chain + 12);
    for (int64_t i = 0; i < count; ++i) {
        uint8_t* block = blocks + 16 * i;
        c0 ^= load32BE(block);
        c1 ^= load32BE(block + 4);
        c2 ^= load32BE(block + 8);
        c3 ^= load32BE(block + 12);
        cryptWords<false>(ctx->keyTable, c0, c1, c2, c3);
        store32BE(block, c0);
        store32BE(block + 4, c1);
        store32BE(block + 8, c2);
        store32BE(block + 12, c3);
    }
    store32BE(chain, c0);
    store32BE(chain + 4, c1);
    store32BE(chain + 8, c2);
    store32BE(chain + 12, c3);
}

void camellia_decrypt(const CamelliaCtx* ctx, const uint8_t* input, uint8_t* output) {
    cryptBlock<true>(ctx, input, output);
}

void camellia_export_subkeys(const CamelliaCtx* ctx, uint64_t subkeys[34]) {
    // Position of each canonical subkey (kw1..kw4, k1..k24, ke1..ke6) in the
    // key table, which keeps them in the order encryption uses them.
    static const uint8_t tablePair[34] = {
        0,  1,  32, 33,                                                  // kw1..kw4
        2,  3,  4,  5,  6,  7,  10, 11, 12, 13, 14, 15,                  // k1..k12
        18, 19, 20, 21, 22, 23, 26, 27, 28, 29, 30, 31,                  // k13..k24
        8,  9,  16, 17, 24, 25};                                         // ke1..ke6
    for (int i = 0; i < 34; ++i) {
        const uint32_t* pair = ctx->keyTable + 2 * tablePair[i];
        subkeys[i] = static_cast<uint64_t>(pair[0]) << 32 | pair[1];
    }
}

void camellia_decrypt_blocks(const CamelliaCtx* ctx, uint8_t* blocks, int64_t count) {
    int64_t i = 0;
    // Whole batches go to the vector path when the CPU has one.
    int64_t batch = camelliaSimdBatchBlocks();
    if (batch > 0 && count >= batch) {
        uint64_t subkeys[34];
        camellia_export_subkeys(ctx, subkeys);
        i = count / batch * batch;
        camelliaSimdDecrypt(subkeys, blocks, i);
        wipe(subkeys, sizeof subkeys);
    }
    for (; count - i >= LANES; i += LANES) decryptLanes(ctx->keyTable, blocks + 16 * i);
    for (; i < count; i++) cryptBlock<true>(ctx, blocks + 16 * i, blocks + 16 * i);
}

void camellia_release(CamelliaCtx* ctx) {
    if (ctx == nullptr) fatalError("camellia", 1508, "camellia_release");
    wipe(ctx->keyTable, sizeof ctx->keyTable);
    free(ctx);
}
