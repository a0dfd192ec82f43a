#include "crypto/camellia.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "support/run.h"
#include "system/System.h"

namespace {

std::vector<uint8_t> fromHex(const std::string& hex) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

std::string hexOf(const std::vector<uint8_t>& bytes) { return toHex(bytes.data(), bytes.size()); }

// The trace of the code under test, collected by captureXcout.
std::string captured;
int capturedCalls = 0;

void captureXcout(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    captured += text;
    capturedCalls++;
}

// Sends the trace to stderr, where a death test can match it.
void xcoutToStderr(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
}

// Keeps camellia_create's key line out of the test output.
class CamelliaTest : public ::testing::Test {
protected:
    void SetUp() override {
        savedXcout = xcout;
        xcout = xcoutNull;
    }
    void TearDown() override { xcout = savedXcout; }
    XcoutFunc savedXcout = nullptr;
};

// OpenSSL's Camellia-256 in ECB mode without padding: the reference.
std::vector<uint8_t> opensslEcb(bool encrypt, const std::vector<uint8_t>& key,
                                const std::vector<uint8_t>& input) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EXPECT_NE(ctx, nullptr);
    EXPECT_EQ(EVP_CipherInit_ex(ctx, EVP_camellia_256_ecb(), nullptr, key.data(), nullptr,
                                encrypt ? 1 : 0),
              1);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    std::vector<uint8_t> output(input.size() + 16);
    int length = 0, finalLength = 0;
    EXPECT_EQ(EVP_CipherUpdate(ctx, output.data(), &length, input.data(),
                               static_cast<int>(input.size())),
              1);
    EXPECT_EQ(EVP_CipherFinal_ex(ctx, output.data() + length, &finalLength), 1);
    EVP_CIPHER_CTX_free(ctx);
    output.resize(static_cast<size_t>(length + finalLength));
    return output;
}

// The seed of the random tests: CAMELLIA_TEST_SEED when set, else fresh.
uint64_t testSeed() {
    const char* fixed = getenv("CAMELLIA_TEST_SEED");
    uint64_t seed = fixed != nullptr ? strtoull(fixed, nullptr, 10) : std::random_device{}();
    printf("seed %llu (set CAMELLIA_TEST_SEED to repeat)\n", static_cast<unsigned long long>(seed));
    return seed;
}

std::vector<uint8_t> randomBytes(std::mt19937_64& rng, size_t length) {
    std::vector<uint8_t> bytes(length);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng());
    return bytes;
}

// RFC 3713, Appendix A: the test vector for a 256-bit key.
const struct {
    const char* key;
    const char* plain;
    const char* cipher;
} KNOWN_ANSWERS[] = {
    {"0123456789abcdeffedcba987654321000112233445566778899aabbccddeeff",
     "0123456789abcdeffedcba9876543210", "9acc237dff16d76c20ef7c919e3a7509"},
};

TEST_F(CamelliaTest, KnownAnswersBothDirections) {
    for (const auto& kat : KNOWN_ANSWERS) {
        std::vector<uint8_t> key = fromHex(kat.key), plain = fromHex(kat.plain);
        std::vector<uint8_t> cipher = fromHex(kat.cipher);
        CamelliaCtx* ctx = camellia_create(key.data());
        std::vector<uint8_t> out(16);
        camellia_encrypt(ctx, plain.data(), out.data());
        EXPECT_EQ(hexOf(out), kat.cipher);
        camellia_decrypt(ctx, cipher.data(), out.data());
        EXPECT_EQ(hexOf(out), kat.plain);
        camellia_decrypt_blocks(ctx, cipher.data(), 1);
        EXPECT_EQ(hexOf(cipher), kat.plain);
        camellia_release(ctx);
    }
}

// A wrong cipher still decrypts its own output, so every result is compared
// with OpenSSL's, both directions, into a separate block and in place.
TEST_F(CamelliaTest, MatchesOpenSslOnRandomKeysAndBlocks) {
    std::mt19937_64 rng(testSeed());
    std::vector<std::vector<uint8_t>> keys = {std::vector<uint8_t>(32, 0x00),
                                              std::vector<uint8_t>(32, 0xff)};
    for (int i = 0; i < 300; i++) keys.push_back(randomBytes(rng, 32));
    for (const std::vector<uint8_t>& key : keys) {
        SCOPED_TRACE("key " + hexOf(key));
        std::vector<uint8_t> plain = randomBytes(rng, 16 * 16);
        std::vector<uint8_t> cipher = opensslEcb(true, key, plain);
        ASSERT_EQ(opensslEcb(false, key, cipher), plain);
        CamelliaCtx* ctx = camellia_create(key.data());
        for (size_t offset = 0; offset < plain.size(); offset += 16) {
            std::vector<uint8_t> p(plain.begin() + offset, plain.begin() + offset + 16);
            std::vector<uint8_t> c(cipher.begin() + offset, cipher.begin() + offset + 16);
            std::vector<uint8_t> out(16), inPlace;
            camellia_encrypt(ctx, p.data(), out.data());
            ASSERT_EQ(hexOf(out), hexOf(c)) << "encrypt of " << hexOf(p);
            inPlace = p;
            camellia_encrypt(ctx, inPlace.data(), inPlace.data());
            ASSERT_EQ(hexOf(inPlace), hexOf(c)) << "encrypt in place of " << hexOf(p);
            camellia_decrypt(ctx, c.data(), out.data());
            ASSERT_EQ(hexOf(out), hexOf(p)) << "decrypt of " << hexOf(c);
            inPlace = c;
            camellia_decrypt(ctx, inPlace.data(), inPlace.data());
            ASSERT_EQ(hexOf(inPlace), hexOf(p)) << "decrypt in place of " << hexOf(c);
        }
        camellia_release(ctx);
    }
}

// Counts around the number of blocks done side by side, on a buffer that
// starts off word alignment; the bytes after the last block stay untouched.
TEST_F(CamelliaTest, DecryptBlocksMatchesOpenSsl) {
    std::mt19937_64 rng(testSeed());
    const int64_t counts[] = {0, 1, 2, 3, 4, 5, 7, 8, 9, 31, 1000};
    for (int64_t count : counts) {
        SCOPED_TRACE("count " + std::to_string(count));
        std::vector<uint8_t> key = randomBytes(rng, 32);
        std::vector<uint8_t> cipher = randomBytes(rng, static_cast<size_t>(16 * count));
        std::vector<uint8_t> plain = opensslEcb(false, key, cipher);
        std::vector<uint8_t> guard = randomBytes(rng, 16);
        std::vector<uint8_t> buffer(3);
        buffer.insert(buffer.end(), cipher.begin(), cipher.end());
        buffer.insert(buffer.end(), guard.begin(), guard.end());
        CamelliaCtx* ctx = camellia_create(key.data());
        camellia_decrypt_blocks(ctx, buffer.data() + 3, count);
        camellia_release(ctx);
        EXPECT_EQ(hexOf(std::vector<uint8_t>(buffer.begin() + 3, buffer.end() - 16)), hexOf(plain));
        EXPECT_EQ(hexOf(std::vector<uint8_t>(buffer.end() - 16, buffer.end())), hexOf(guard));
    }
}

// OpenSSL's Camellia-256-CBC without padding: the reference of the chain.
std::vector<uint8_t> opensslCbcEncrypt(const std::vector<uint8_t>& key, const std::vector<uint8_t>& iv,
                                       const std::vector<uint8_t>& input) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EXPECT_EQ(EVP_EncryptInit_ex(ctx, EVP_camellia_256_cbc(), nullptr, key.data(), iv.data()), 1);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    std::vector<uint8_t> output(input.size() + 16);
    int length = 0, finalLength = 0;
    EXPECT_EQ(EVP_EncryptUpdate(ctx, output.data(), &length, input.data(), static_cast<int>(input.size())), 1);
    EXPECT_EQ(EVP_EncryptFinal_ex(ctx, output.data() + length, &finalLength), 1);
    EVP_CIPHER_CTX_free(ctx);
    output.resize(static_cast<size_t>(length + finalLength));
    return output;
}

// The chain in one call, split at random points (the chain value carries
// over), on a buffer off word alignment with a guard after it.
TEST_F(CamelliaTest, CbcChainMatchesOpenSsl) {
    std::mt19937_64 rng(testSeed());
    for (int64_t count : {0, 1, 2, 17, 1000}) {
        SCOPED_TRACE("count " + std::to_string(count));
        std::vector<uint8_t> key = randomBytes(rng, 32);
        std::vector<uint8_t> iv = randomBytes(rng, 16);
        std::vector<uint8_t> plain = randomBytes(rng, static_cast<size_t>(16 * count));
        std::vector<uint8_t> expected = opensslCbcEncrypt(key, iv, plain);
        std::vector<uint8_t> guard = randomBytes(rng, 16);
        std::vector<uint8_t> buffer(5);
        buffer.insert(buffer.end(), plain.begin(), plain.end());
        buffer.insert(buffer.end(), guard.begin(), guard.end());
        std::vector<uint8_t> chain = iv;
        CamelliaCtx* ctx = camellia_create(key.data());
        int64_t split = count == 0 ? 0 : static_cast<int64_t>(rng() % static_cast<uint64_t>(count));
        camellia_encrypt_cbc(ctx, chain.data(), buffer.data() + 5, split);
        camellia_encrypt_cbc(ctx, chain.data(), buffer.data() + 5 + 16 * split, count - split);
        camellia_release(ctx);
        EXPECT_EQ(hexOf(std::vector<uint8_t>(buffer.begin() + 5, buffer.end() - 16)), hexOf(expected));
        EXPECT_EQ(hexOf(std::vector<uint8_t>(buffer.end() - 16, buffer.end())), hexOf(guard));
        std::vector<uint8_t> last = count == 0 ? iv : std::vector<uint8_t>(expected.end() - 16, expected.end());
        EXPECT_EQ(hexOf(chain), hexOf(last));
    }
}

TEST_F(CamelliaTest, CreateTracesTheKeyOnce) {
    std::vector<uint8_t> key =
        fromHex("00ff0123456789abcdeffedcba98765432100112233445566778899aabbccdd7f");
    captured.clear();
    capturedCalls = 0;
    xcout = captureXcout;
    CamelliaCtx* ctx = camellia_create(key.data());
    xcout = xcoutNull;
    camellia_release(ctx);
    EXPECT_EQ(captured, "rawKey: " + hexOf(key) + "\n");
    EXPECT_EQ(capturedCalls, 1);
}

// The fatal reports go through xcout; sending it to stderr lets the death
// test check the exact report and the exit code.
TEST(CamelliaDeathTest, MissingKeyOrContextEndsWithItsReport) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            batchMode = 1;
            xcout = xcoutToStderr;
            camellia_create(nullptr);
        },
        ::testing::ExitedWithCode(1), "^ERROR camellia 1476 camellia_create\nexitcode: 1\n$");
    EXPECT_EXIT(
        {
            batchMode = 1;
            xcout = xcoutToStderr;
            camellia_release(nullptr);
        },
        ::testing::ExitedWithCode(1), "^ERROR camellia 1508 camellia_release\nexitcode: 1\n$");
}

}  // namespace
