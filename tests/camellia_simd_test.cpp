// The byte-sliced GFNI decryption against the published S-box and test
// vector (RFC 3713) and against OpenSSL's Camellia-256 on random keys and
// blocks. The subkeys come from a plain key schedule written here from the
// published definition; OpenSSL checks it on every machine, vector path or not.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "crypto/camellia.h"
#include "crypto/camellia_simd.h"
#include "system/System.h"

namespace {

// SBOX1 of RFC 3713.
const uint8_t SBOX1[256] = {
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

uint8_t rotl8(uint8_t x, int n) { return static_cast<uint8_t>((x << n) | (x >> (8 - n))); }
uint8_t sbox(int kind, uint8_t x) {
    switch (kind) {
        case 1: return SBOX1[x];
        case 2: return rotl8(SBOX1[x], 1);
        case 3: return rotl8(SBOX1[x], 7);
        default: return SBOX1[rotl8(x, 1)];
    }
}

// The F-function byte by byte, as RFC 3713 writes it.
uint64_t camelliaF(uint64_t in, uint64_t key) {
    static const int KINDS[8] = {1, 2, 3, 4, 2, 3, 4, 1};
    uint64_t x = in ^ key;
    uint8_t t[8];
    for (int i = 0; i < 8; i++) t[i] = sbox(KINDS[i], static_cast<uint8_t>(x >> (56 - 8 * i)));
    uint8_t y[8] = {
        static_cast<uint8_t>(t[0] ^ t[2] ^ t[3] ^ t[5] ^ t[6] ^ t[7]),
        static_cast<uint8_t>(t[0] ^ t[1] ^ t[3] ^ t[4] ^ t[6] ^ t[7]),
        static_cast<uint8_t>(t[0] ^ t[1] ^ t[2] ^ t[4] ^ t[5] ^ t[7]),
        static_cast<uint8_t>(t[1] ^ t[2] ^ t[3] ^ t[4] ^ t[5] ^ t[6]),
        static_cast<uint8_t>(t[0] ^ t[1] ^ t[5] ^ t[6] ^ t[7]),
        static_cast<uint8_t>(t[1] ^ t[2] ^ t[4] ^ t[6] ^ t[7]),
        static_cast<uint8_t>(t[2] ^ t[3] ^ t[4] ^ t[5] ^ t[7]),
        static_cast<uint8_t>(t[0] ^ t[3] ^ t[4] ^ t[5] ^ t[6]),
    };
    uint64_t out = 0;
    for (int i = 0; i < 8; i++) out = (out << 8) | y[i];
    return out;
}

uint64_t load64Be(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; i++) v = (v << 8) | p[i];
    return v;
}
void store64Be(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; i++) p[i] = static_cast<uint8_t>(v >> (56 - 8 * i));
}

struct U128 {
    uint64_t hi, lo;
};
U128 rotl128(U128 v, int n) {
    if (n >= 64) {
        v = U128{v.lo, v.hi};
        n -= 64;
    }
    if (n == 0) return v;
    return U128{(v.hi << n) | (v.lo >> (64 - n)), (v.lo << n) | (v.hi >> (64 - n))};
}

enum { KW1 = 0, KW2 = 1, KW3 = 2, KW4 = 3, K1 = 4, KE1 = 28 };

// The 256-bit key schedule into the canonical order kw1..kw4, k1..k24, ke1..ke6.
void keySchedule(const uint8_t key[32], uint64_t sk[34]) {
    const uint64_t SIGMA[6] = {0xA09E667F3BCC908BULL, 0xB67AE8584CAA73B2ULL, 0xC6EF372FE94F82BEULL,
                               0x54FF53A5F1D36F1CULL, 0x10E527FADE682D1DULL, 0xB05688C2B3E6C1FDULL};
    U128 kl{load64Be(key), load64Be(key + 8)};
    U128 kr{load64Be(key + 16), load64Be(key + 24)};
    uint64_t d1 = kl.hi ^ kr.hi, d2 = kl.lo ^ kr.lo;
    d2 ^= camelliaF(d1, SIGMA[0]);
    d1 ^= camelliaF(d2, SIGMA[1]);
    d1 ^= kl.hi;
    d2 ^= kl.lo;
    d2 ^= camelliaF(d1, SIGMA[2]);
    d1 ^= camelliaF(d2, SIGMA[3]);
    U128 ka{d1, d2};
    d1 = ka.hi ^ kr.hi;
    d2 = ka.lo ^ kr.lo;
    d2 ^= camelliaF(d1, SIGMA[4]);
    d1 ^= camelliaF(d2, SIGMA[5]);
    U128 kb{d1, d2};
    struct Pair {
        int first;  // index of the high half
        const U128* from;
        int rotate;
    };
    const Pair PAIRS[17] = {
        {KW1, &kl, 0},       {K1 + 0, &kb, 0},    {K1 + 2, &kr, 15},   {K1 + 4, &ka, 15},
        {KE1 + 0, &kr, 30},  {K1 + 6, &kb, 30},   {K1 + 8, &kl, 45},   {K1 + 10, &ka, 45},
        {KE1 + 2, &kl, 60},  {K1 + 12, &kr, 60},  {K1 + 14, &kb, 60},  {K1 + 16, &kl, 77},
        {KE1 + 4, &ka, 77},  {K1 + 18, &kr, 94},  {K1 + 20, &ka, 94},  {K1 + 22, &kl, 111},
        {KW3, &kb, 111},
    };
    for (const Pair& pair : PAIRS) {
        U128 r = rotl128(*pair.from, pair.rotate);
        sk[pair.first] = r.hi;
        sk[pair.first + 1] = r.lo;
    }
}

uint32_t rotl32(uint32_t x) { return (x << 1) | (x >> 31); }
uint64_t fl(uint64_t x, uint64_t k) {
    uint32_t x1 = static_cast<uint32_t>(x >> 32), x2 = static_cast<uint32_t>(x);
    x2 ^= rotl32(x1 & static_cast<uint32_t>(k >> 32));
    x1 ^= x2 | static_cast<uint32_t>(k);
    return (uint64_t{x1} << 32) | x2;
}
uint64_t flInverse(uint64_t y, uint64_t k) {
    uint32_t y1 = static_cast<uint32_t>(y >> 32), y2 = static_cast<uint32_t>(y);
    y1 ^= y2 | static_cast<uint32_t>(k);
    y2 ^= rotl32(y1 & static_cast<uint32_t>(k >> 32));
    return (uint64_t{y1} << 32) | y2;
}

// One block decrypted the plain way from the canonical subkeys.
void referenceDecrypt(const uint64_t sk[34], uint8_t block[16]) {
    uint64_t d1 = load64Be(block) ^ sk[KW3], d2 = load64Be(block + 8) ^ sk[KW4];
    for (int round = 24; round >= 1; round -= 2) {
        d2 ^= camelliaF(d1, sk[K1 + round - 1]);
        d1 ^= camelliaF(d2, sk[K1 + round - 2]);
        if (round == 20 || round == 14 || round == 8) {
            int pair = round / 6;  // 3, 2, 1: ke6/ke5, ke4/ke3, ke2/ke1
            d1 = fl(d1, sk[KE1 + 2 * pair - 1]);
            d2 = flInverse(d2, sk[KE1 + 2 * pair - 2]);
        }
    }
    store64Be(block, d2 ^ sk[KW1]);
    store64Be(block + 8, d1 ^ sk[KW2]);
}

std::vector<uint8_t> openSslDecrypt(const uint8_t key[32], const std::vector<uint8_t>& in) {
    std::vector<uint8_t> out(in.size());
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int length = 0;
    EXPECT_EQ(1, EVP_DecryptInit_ex(ctx, EVP_camellia_256_ecb(), nullptr, key, nullptr));
    EXPECT_EQ(1, EVP_CIPHER_CTX_set_padding(ctx, 0));
    EXPECT_EQ(1, EVP_DecryptUpdate(ctx, out.data(), &length, in.data(), static_cast<int>(in.size())));
    EXPECT_EQ(static_cast<int>(in.size()), length);
    EVP_CIPHER_CTX_free(ctx);
    return out;
}

std::string hex(const uint8_t* bytes, size_t length) {
    std::string text;
    char digits[3];
    for (size_t i = 0; i < length; i++) {
        snprintf(digits, sizeof digits, "%02x", bytes[i]);
        text += digits;
    }
    return text;
}
std::vector<uint8_t> fromHex(const char* text) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; text[i] != '\0'; i += 2) bytes.push_back(static_cast<uint8_t>(std::stoi(std::string(text + i, 2), nullptr, 16)));
    return bytes;
}

// Keys worth a case of their own beside random ones: all bits clear, all set.
std::vector<std::vector<uint8_t>> testKeys(std::mt19937_64& rng, int randomCount) {
    std::vector<std::vector<uint8_t>> keys = {std::vector<uint8_t>(32, 0x00), std::vector<uint8_t>(32, 0xff)};
    for (int k = 0; k < randomCount; k++) {
        std::vector<uint8_t> key(32);
        for (uint8_t& b : key) b = static_cast<uint8_t>(rng());
        keys.push_back(key);
    }
    return keys;
}

// The seed of a random test: CAMELLIA_SIMD_TEST_SEED when set, else fresh.
uint64_t announceSeed(const char* test) {
    const char* fixed = getenv("CAMELLIA_SIMD_TEST_SEED");
    uint64_t seed = fixed != nullptr ? strtoull(fixed, nullptr, 10) : std::random_device{}();
    printf("%s seed %llu (set CAMELLIA_SIMD_TEST_SEED to repeat)\n", test, static_cast<unsigned long long>(seed));
    return seed;
}

// Runs each case on one vector path, named by its batch size; the widest the
// CPU has is what the program uses, the narrower one its fallback.
class CamelliaSimd : public testing::TestWithParam<int> {
protected:
    void SetUp() override {
        camelliaSimdMaxBatch = GetParam();
        if (camelliaSimdBatchBlocks() != GetParam())
            GTEST_SKIP() << "this CPU lacks the " << (GetParam() == 64 ? "AVX-512" : "AVX2") << " and GFNI path";
    }
    void TearDown() override { camelliaSimdMaxBatch = 64; }
};

TEST(CamelliaSimdReference, SubkeysDecryptLikeOpenSsl) {
    // The subkeys and the order the vector path is fed are checked here even
    // where the vector path cannot run.
    std::mt19937_64 rng(announceSeed("CamelliaSimdReference"));
    for (const std::vector<uint8_t>& key : testKeys(rng, 20)) {
        uint64_t sk[34];
        keySchedule(key.data(), sk);
        std::vector<uint8_t> blocks(16 * 16);
        for (uint8_t& b : blocks) b = static_cast<uint8_t>(rng());
        std::vector<uint8_t> expected = openSslDecrypt(key.data(), blocks);
        for (size_t i = 0; i < blocks.size(); i += 16) referenceDecrypt(sk, blocks.data() + i);
        ASSERT_EQ(hex(expected.data(), expected.size()), hex(blocks.data(), blocks.size()))
            << "key " << hex(key.data(), 32);
    }
}

TEST(CamelliaSimdReference, ExportedSubkeysAreInCanonicalOrder) {
    // The program feeds the vector path from camellia_export_subkeys.
    std::mt19937_64 rng(announceSeed("CamelliaSimdExport"));
    XcoutFunc saved = xcout;
    xcout = xcoutNull;
    for (const std::vector<uint8_t>& key : testKeys(rng, 20)) {
        uint64_t expected[34], got[34];
        keySchedule(key.data(), expected);
        CamelliaCtx* ctx = camellia_create(key.data());
        camellia_export_subkeys(ctx, got);
        camellia_release(ctx);
        for (int i = 0; i < 34; ++i) ASSERT_EQ(expected[i], got[i]) << "subkey " << i << " of key " << hex(key.data(), 32);
    }
    xcout = saved;
}

TEST_P(CamelliaSimd, SboxesMatchTheTable) {
    uint8_t got[4][256];
    ASSERT_EQ(1, camelliaSimdSboxes(got));
    for (int kind = 1; kind <= 4; kind++) {
        uint8_t expected[256];
        for (int x = 0; x < 256; x++) expected[x] = sbox(kind, static_cast<uint8_t>(x));
        EXPECT_EQ(hex(expected, 256), hex(got[kind - 1], 256)) << "s" << kind;
    }
}

TEST_P(CamelliaSimd, Rfc3713Vector) {
    // RFC 3713, Appendix A, 256-bit key, in every block of a batch.
    std::vector<uint8_t> key = fromHex("0123456789abcdeffedcba987654321000112233445566778899aabbccddeeff");
    std::vector<uint8_t> cipherBlock = fromHex("9acc237dff16d76c20ef7c919e3a7509");
    const char* plain = "0123456789abcdeffedcba9876543210";
    uint64_t sk[34];
    keySchedule(key.data(), sk);
    int64_t count = camelliaSimdBatchBlocks();
    std::vector<uint8_t> blocks;
    for (int64_t i = 0; i < count; i++) blocks.insert(blocks.end(), cipherBlock.begin(), cipherBlock.end());
    camelliaSimdDecrypt(sk, blocks.data(), count);
    for (int64_t i = 0; i < count; i++) EXPECT_EQ(plain, hex(blocks.data() + 16 * i, 16)) << "block " << i;
}

TEST_P(CamelliaSimd, RandomBatchesMatchOpenSsl) {
    std::mt19937_64 rng(announceSeed("CamelliaSimd.RandomBatchesMatchOpenSsl"));
    const int64_t batch = camelliaSimdBatchBlocks();
    const int64_t BATCHES[] = {1, 2, 3, 7, 100};
    for (const std::vector<uint8_t>& key : testKeys(rng, 10)) {
        uint64_t sk[34];
        keySchedule(key.data(), sk);
        for (int64_t batches : BATCHES) {
            int64_t count = batches * batch;
            // Guard bytes on both sides must come through untouched; an odd
            // guard also leaves the blocks unaligned.
            const size_t GUARD = 61;
            std::vector<uint8_t> buffer(static_cast<size_t>(16 * count) + 2 * GUARD);
            for (uint8_t& b : buffer) b = static_cast<uint8_t>(rng());
            std::vector<uint8_t> before = buffer;
            std::vector<uint8_t> cipherText(buffer.begin() + GUARD, buffer.end() - GUARD);
            std::vector<uint8_t> expected = openSslDecrypt(key.data(), cipherText);
            camelliaSimdDecrypt(sk, buffer.data() + GUARD, count);
            ASSERT_EQ(hex(expected.data(), expected.size()), hex(buffer.data() + GUARD, expected.size()))
                << "key " << hex(key.data(), 32) << ", " << count << " blocks";
            ASSERT_EQ(hex(before.data(), GUARD), hex(buffer.data(), GUARD));
            ASSERT_EQ(hex(before.data() + before.size() - GUARD, GUARD), hex(buffer.data() + buffer.size() - GUARD, GUARD));
        }
    }
}

TEST_P(CamelliaSimd, ZeroBlocksTouchNothing) {
    uint64_t sk[34] = {};
    uint8_t block[16] = {1, 2, 3};
    camelliaSimdDecrypt(sk, block, 0);
    EXPECT_EQ("01020300000000000000000000000000", hex(block, 16));
}

using CamelliaSimdDeathTest = CamelliaSimd;

TEST_P(CamelliaSimdDeathTest, CountOffTheBatchSizeIsFatal) {
    uint64_t sk[34] = {};
    std::vector<uint8_t> blocks(16 * 2 * GetParam());
    const int64_t COUNTS[] = {GetParam() / 2, GetParam() + 16, -GetParam()};
    batchMode = 1;  // the report only, no message box
    for (int64_t count : COUNTS)
        EXPECT_EXIT(camelliaSimdDecrypt(sk, blocks.data(), count), testing::ExitedWithCode(1),
                    "") << count << " blocks";
}

INSTANTIATE_TEST_SUITE_P(Paths, CamelliaSimd, testing::Values(64, 32),
                         [](const testing::TestParamInfo<int>& info) { return std::to_string(info.param) + "Blocks"; });
INSTANTIATE_TEST_SUITE_P(Paths, CamelliaSimdDeathTest, testing::Values(64, 32),
                         [](const testing::TestParamInfo<int>& info) { return std::to_string(info.param) + "Blocks"; });

}  // namespace
