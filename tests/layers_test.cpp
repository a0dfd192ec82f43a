// The container layers in-process: padding, random parts and hash, and the
// reverse-CBC passes checked against OpenSSL's Camellia-256-CBC.
#include "cipher/_Cipher.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "support/run.h"
#include "system/MemAlloc.h"
#include "system/System.h"

namespace {

// The trace of the code under test, collected by captureXcout.
std::string captured;

void captureXcout(const char* format, ...) {
    va_list args;
    va_start(args, format);
    char* text = vxcout(format, args);
    va_end(args);
    captured += text;
    free(text);
}

// Sends the trace to stderr, where a death test can match it.
void xcoutToStderr(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
}

std::string sha512Hex(const std::string& bytes) {
    uint8_t digest[64];
    unsigned length = 0;
    EXPECT_EQ(EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha512(), nullptr), 1);
    return toHex(digest, sizeof digest);
}

std::string hexOf(const std::string& bytes) {
    return toHex(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

// OpenSSL's Camellia-256 in CBC mode without padding; encrypt or decrypt.
std::string opensslCbc(const std::string& key, const std::string& iv, const std::string& input, bool encrypt) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    std::string output(input.size() + 16, '\0');
    int length = 0, tail = 0;
    const auto* k = reinterpret_cast<const uint8_t*>(key.data());
    const auto* v = reinterpret_cast<const uint8_t*>(iv.data());
    EXPECT_EQ(EVP_CipherInit_ex(ctx, EVP_camellia_256_cbc(), nullptr, k, v, encrypt ? 1 : 0), 1);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EXPECT_EQ(EVP_CipherUpdate(ctx, reinterpret_cast<uint8_t*>(&output[0]), &length,
                               reinterpret_cast<const uint8_t*>(input.data()), static_cast<int>(input.size())),
              1);
    EXPECT_EQ(EVP_CipherFinal_ex(ctx, reinterpret_cast<uint8_t*>(&output[length]), &tail), 1);
    EVP_CIPHER_CTX_free(ctx);
    output.resize(static_cast<size_t>(length + tail));
    return output;
}

// Reverse CBC is CBC whose IV is the last plain block.
std::string referenceRCbc(const std::string& key, const std::string& plain) {
    return opensslCbc(key, plain.substr(plain.size() - 16), plain, true);
}

// Its inverse: P(n-1) = D(C(n-1)) ^ C(n-2) first, then CBC with that IV.
std::string referenceRCbcDecrypt(const std::string& key, const std::string& cipher) {
    const size_t n = cipher.size();
    std::string last = opensslCbc(key, cipher.substr(n - 32, 16), cipher.substr(n - 16), false);
    return opensslCbc(key, last, cipher, false);
}

// Where two equal-length byte strings first differ, or npos.
size_t firstDifference(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return std::min(a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i]) return i;
    }
    return std::string::npos;
}

class LayersTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (workBuffer == nullptr) workBuffer = static_cast<uint8_t*>(memAlloc(WORK_BUFFER_SIZE));
        savedXcout = xcout;
        xcout = captureXcout;
        batchMode = 1;
        captured.clear();
        path = dir.file("f");
    }
    void TearDown() override { xcout = savedXcout; }

    std::string content() const { return readFile(path); }

    XcoutFunc savedXcout = nullptr;
    TempDir dir;
    std::string path;
};

using LayersDeathTest = LayersTest;

// ---- padding ----

TEST_F(LayersTest, AddPaddingFollowsTheSizeRulesAndUnaddPaddingUndoesIt) {
    struct Case {
        size_t length;
        std::set<int> allowed;  // empty: every size the rules allow
    };
    const std::vector<Case> cases = {
        {0, {240}},
        {1, {239, 255}},
        {224, {16, 32, 48, 64, 80, 96, 112, 128, 144, 160, 176, 192, 208, 224, 240}},
        {239, {1, 17, 33, 49, 65, 81, 97, 113, 129, 145, 161, 177, 193, 209, 225, 241}},
        {240, {}},
        {1000, {8, 24, 40, 56, 72, 88, 104, 120, 136, 152, 168, 184, 200, 216, 232, 248}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("length " + std::to_string(c.length));
        std::set<int> seen;
        const std::string plain = patternBytes(c.length, static_cast<uint32_t>(c.length));
        for (int round = 0; round < 64; ++round) {
            writeFile(path, plain);
            captured.clear();
            AddPadding(path.c_str());
            const std::string padded = content();
            const int p = static_cast<int>(padded.size() - plain.size());
            ASSERT_EQ(captured, "padSize: " + std::to_string(p) + "\n");
            ASSERT_GE(p, 1);
            ASSERT_LE(p, 255);
            ASSERT_EQ(padded.size() % 16, 0u);
            ASSERT_GE(padded.size(), 240u);
            ASSERT_EQ(static_cast<uint8_t>(padded.back()), p);
            ASSERT_EQ(padded.compare(0, plain.size(), plain), 0);
            if (!c.allowed.empty()) {
                ASSERT_TRUE(c.allowed.count(p)) << p;
            }
            seen.insert(p);

            captured.clear();
            ASSERT_EQ(UnaddPadding(path.c_str()), 1);
            ASSERT_EQ(captured, "padSize: " + std::to_string(p) + "\n");
            ASSERT_EQ(content(), plain);
        }
        // The high four bits are random: a one-byte file sees both sizes.
        if (c.length == 1) {
            EXPECT_EQ(seen.size(), 2u);
        }
    }
}

TEST_F(LayersTest, UnaddPaddingRefusesWhatTheLastByteCannotName) {
    struct Case {
        const char* name;
        std::string file;
        int result;
        std::string trace;
        std::string after;
    };
    const std::string ten = std::string(9, 'x') + '\x14';
    const std::vector<Case> cases = {
        {"5 bytes ending in 5", std::string("abcd\x05", 5), 1, "padSize: 5\n", ""},
        {"pad size equal to the length", std::string(9, 'y') + '\x0a', 1, "padSize: 10\n", ""},
        {"255 bytes cut to 0", std::string(254, 'z') + '\xff', 1, "padSize: 255\n", ""},
        {"10 bytes ending in 20", ten, 0, "padSize: 20\n_Cipher (49) UnaddPadding\n", ten},
        {"empty", "", 0, "_Cipher (34) UnaddPadding\n", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(path, c.file);
        captured.clear();
        EXPECT_EQ(UnaddPadding(path.c_str()), c.result);
        EXPECT_EQ(captured, c.trace);
        EXPECT_EQ(content(), c.after);
    }
}

TEST_F(LayersDeathTest, UnaddPaddingEndsTheProcessOnAPadSizeOfZero) {
    writeFile(path, std::string("abc\0", 4));
    EXPECT_EXIT(
        {
            xcout = xcoutToStderr;
            UnaddPadding(path.c_str());
        },
        ::testing::ExitedWithCode(1), "padSize: 0\nERROR _Cipher 45 UnaddPadding\nexitcode: 1\n");
}

// ---- random parts ----

TEST_F(LayersTest, RandomPartsGrowAndShrinkTheFileByTheirCount) {
    const std::string plain = patternBytes(100, 7);
    writeFile(path, plain);
    AddRandPart(path.c_str(), 0);
    EXPECT_EQ(content(), plain);
    AddRandPart(path.c_str(), 16);
    AddRandPart(path.c_str(), 64);
    const std::string grown = content();
    ASSERT_EQ(grown.size(), plain.size() + 80);
    EXPECT_EQ(grown.compare(0, plain.size(), plain), 0);
    // 80 bytes from the pool are not all one value.
    EXPECT_GT(std::set<char>(grown.begin() + 100, grown.end()).size(), 1u);

    EXPECT_EQ(UnaddRandPart(path.c_str(), 64), 1);
    EXPECT_EQ(content(), grown.substr(0, plain.size() + 16));
    EXPECT_EQ(UnaddRandPart(path.c_str(), 16), 1);
    EXPECT_EQ(content(), plain);
    EXPECT_EQ(captured, "");

    EXPECT_EQ(UnaddRandPart(path.c_str(), 101), 0);
    EXPECT_EQ(captured, "_Cipher (75) UnaddRandPart\n");
    EXPECT_EQ(content(), plain);
    captured.clear();
    EXPECT_EQ(UnaddRandPart(path.c_str(), 100), 1);
    EXPECT_EQ(content(), "");
    EXPECT_EQ(captured, "");
}

// ---- hash ----

TEST_F(LayersTest, AddHashAppendsTheSha512OfTheFileAndUnaddHashChecksIt) {
    for (size_t length : {size_t{0}, size_t{1}, size_t{1000}, size_t{2500001}}) {
        SCOPED_TRACE("length " + std::to_string(length));
        const std::string plain = patternBytes(length, 11);
        const std::string digest = sha512Hex(plain);
        writeFile(path, plain);
        captured.clear();
        AddHash(path.c_str());
        EXPECT_EQ(captured, "hash: " + digest + "\n");
        const std::string hashed = content();
        ASSERT_EQ(hashed.size(), length + 64);
        EXPECT_EQ(hexOf(hashed.substr(length)), digest);

        captured.clear();
        EXPECT_EQ(UnaddHash(path.c_str()), 1);
        EXPECT_EQ(captured, "mkHash: " + digest + "\nrdHash: " + digest + "\n");
        EXPECT_EQ(content(), plain);
    }
}

TEST_F(LayersTest, UnaddHashRefusesShortFilesWithoutDigestLines) {
    const std::string short63 = patternBytes(63, 3);
    writeFile(path, short63);
    EXPECT_EQ(UnaddHash(path.c_str()), 0);
    EXPECT_EQ(captured, "_Cipher (110) UnaddHash\n");
    EXPECT_EQ(content(), short63);
}

TEST_F(LayersTest, UnaddHashComparesA64ByteFileWithTheDigestOfNothing) {
    const std::string emptyDigest = sha512Hex("");
    const std::string other = patternBytes(64, 5);
    writeFile(path, other);
    EXPECT_EQ(UnaddHash(path.c_str()), 0);
    EXPECT_EQ(captured, "mkHash: " + emptyDigest + "\nrdHash: " + hexOf(other) + "\n_Cipher (132) UnaddHash\n");
    EXPECT_EQ(content(), other);
}

TEST_F(LayersTest, UnaddHashRefusesAnyChangedByteAndLeavesTheFile) {
    const std::string plain = patternBytes(500, 9);
    writeFile(path, plain);
    AddHash(path.c_str());
    const std::string hashed = content();
    for (size_t position : {size_t{0}, size_t{250}, size_t{499}, size_t{500}, size_t{563}}) {
        SCOPED_TRACE("byte " + std::to_string(position));
        std::string damaged = hashed;
        damaged[position] ^= 0x01;
        writeFile(path, damaged);
        captured.clear();
        EXPECT_EQ(UnaddHash(path.c_str()), 0);
        const std::vector<std::string> lines = splitLines(captured);
        ASSERT_EQ(lines.size(), 3u);
        EXPECT_EQ(lines[0], "mkHash: " + sha512Hex(damaged.substr(0, 500)));
        EXPECT_EQ(lines[1], "rdHash: " + hexOf(damaged.substr(500)));
        EXPECT_EQ(lines[2], "_Cipher (132) UnaddHash");
        EXPECT_EQ(content(), damaged);
    }
}

// ---- reverse CBC ----

class RCbcTest : public LayersTest {
protected:
    void SetUp() override {
        LayersTest::SetUp();
        // CIPHER_TEST_SEED replays a failed run.
        const char* fixed = getenv("CIPHER_TEST_SEED");
        seed = fixed != nullptr ? static_cast<uint32_t>(strtoul(fixed, nullptr, 10)) : std::random_device{}();
        std::cout << "seed " << seed << " (CIPHER_TEST_SEED)\n";
        key = patternBytes(32, seed);
    }
    std::string keyLine() const { return "rawKey: " + hexOf(key) + "\n"; }
    const uint8_t* keyBytes() const { return reinterpret_cast<const uint8_t*>(key.data()); }

    uint32_t seed = 0;
    std::string key;
};

using RCbcDeathTest = RCbcTest;

TEST_F(RCbcTest, EncryptionIsCbcChainedToTheLastPlainBlockAndDecryptionInvertsIt) {
    // Chunk boundaries: one block over two blocks, a whole chunk, a chunk and
    // a block, two chunks and two blocks.
    for (size_t length : {size_t{32}, size_t{48}, size_t{1600000}, size_t{1600016}, size_t{3200032}}) {
        SCOPED_TRACE("length " + std::to_string(length));
        const std::string plain = patternBytes(length, seed + static_cast<uint32_t>(length));
        const std::string expected = referenceRCbc(key, plain);
        writeFile(path, plain);
        captured.clear();
        EncryptFileRCbc(path.c_str(), keyBytes());
        EXPECT_EQ(captured, keyLine());
        const std::string encrypted = content();
        EXPECT_EQ(firstDifference(encrypted, expected), std::string::npos);

        captured.clear();
        EXPECT_EQ(DecryptFileRCbc(path.c_str(), keyBytes()), 1);
        EXPECT_EQ(captured, keyLine());
        EXPECT_EQ(firstDifference(content(), plain), std::string::npos);
    }
}

TEST_F(RCbcTest, DecryptingThenEncryptingGivesAnyFileBack) {
    // The /R restore rests on this: every byte string is some ciphertext.
    for (size_t length : {size_t{32}, size_t{1600016}, size_t{3200032}}) {
        SCOPED_TRACE("length " + std::to_string(length));
        const std::string original = patternBytes(length, seed ^ 0x5555u);
        writeFile(path, original);
        EXPECT_EQ(DecryptFileRCbc(path.c_str(), keyBytes()), 1);
        EXPECT_EQ(firstDifference(content(), referenceRCbcDecrypt(key, original)), std::string::npos);
        EncryptFileRCbc(path.c_str(), keyBytes());
        EXPECT_EQ(firstDifference(content(), original), std::string::npos);
    }
}

TEST_F(RCbcTest, FirstBlockEqualToTheLastEncryptsToTheCipherOfZero) {
    std::string plain = patternBytes(80, seed);
    plain.replace(0, 16, plain.substr(64, 16));
    writeFile(path, plain);
    EncryptFileRCbc(path.c_str(), keyBytes());
    const std::string zeroBlockCipher = opensslCbc(key, std::string(16, '\0'), std::string(16, '\0'), true);
    EXPECT_EQ(hexOf(content().substr(0, 16)), hexOf(zeroBlockCipher));
}

TEST_F(RCbcTest, OneChangedCipherByteSpoilsOnlyTheBlocksThatChainToIt) {
    const int n = 8;
    const std::string plain = patternBytes(16 * n, seed);
    writeFile(path, plain);
    EncryptFileRCbc(path.c_str(), keyBytes());
    const std::string cipher = content();
    struct Case {
        int block;
        std::set<int> spoiled;
    };
    const std::vector<Case> cases = {
        {0, {0, 1}}, {3, {3, 4}}, {n - 3, {n - 3, n - 2}}, {n - 2, {n - 2, n - 1, 0}}, {n - 1, {n - 1, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("cipher block " + std::to_string(c.block));
        std::string damaged = cipher;
        damaged[16 * c.block + 5] ^= 0x40;
        writeFile(path, damaged);
        ASSERT_EQ(DecryptFileRCbc(path.c_str(), keyBytes()), 1);
        const std::string decrypted = content();
        std::set<int> spoiled;
        for (int i = 0; i < n; ++i) {
            if (decrypted.compare(16 * i, 16, plain, 16 * i, 16) != 0) spoiled.insert(i);
        }
        EXPECT_EQ(spoiled, c.spoiled);
    }
}

TEST_F(RCbcTest, DecryptionRefusesUnfitLengthsAndLeavesTheFile) {
    for (size_t length : {size_t{0}, size_t{16}, size_t{20}, size_t{40}}) {
        SCOPED_TRACE("length " + std::to_string(length));
        const std::string original = patternBytes(length, seed);
        writeFile(path, original);
        captured.clear();
        EXPECT_EQ(DecryptFileRCbc(path.c_str(), keyBytes()), 0);
        EXPECT_EQ(captured, "_Cipher (202) DecryptFileRCbc\n");
        EXPECT_EQ(content(), original);
    }
}

TEST_F(RCbcDeathTest, EncryptionEndsTheProcessOnUnfitLengths) {
    struct Case {
        size_t length;
        const char* report;
    };
    for (const Case& c : {Case{0, "ERROR _Cipher 160 EncryptFileRCbc"}, Case{20, "ERROR _Cipher 160 EncryptFileRCbc"},
                          Case{40, "ERROR _Cipher 161 EncryptFileRCbc"}}) {
        SCOPED_TRACE("length " + std::to_string(c.length));
        writeFile(path, patternBytes(c.length, seed));
        EXPECT_EXIT(
            {
                xcout = xcoutToStderr;
                EncryptFileRCbc(path.c_str(), keyBytes());
            },
            ::testing::ExitedWithCode(1), std::string("^") + c.report + "\nexitcode: 1\n$");
    }
}

}  // namespace
