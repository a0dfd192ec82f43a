// The SHA-512 layer: published digests, OpenSSL's own one-shot digest as an
// independent check, split feeding, the digest that leaves its context alone,
// and hashing a file's first bytes in 1,000,000-byte chunks.
#include "crypto/Sha512.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "support/child.h"
#include "support/run.h"
#include "system/System.h"

namespace {

std::string hex(const uint8_t* digest) { return toHex(digest, 64); }

// OpenSSL's EVP one-shot: the reference every other digest is held against.
std::string referenceDigest(const std::string& message) {
    uint8_t digest[64];
    unsigned int length = 0;
    if (EVP_Digest(message.data(), message.size(), digest, &length, EVP_sha512(), nullptr) != 1 ||
        length != 64) {
        abort();
    }
    return hex(digest);
}

std::string digestOf(const std::string& message) {
    Sha512Ctx* ctx = sha512New();
    sha512Update(ctx, message.data(), message.size());
    std::string digest = hex(sha512Final(ctx));
    free(ctx);
    return digest;
}

// FIPS 180-4 examples (and the NIST long-message example of one million 'a').
struct KnownAnswer {
    const char* message;
    size_t repeat;
    const char* digest;
};
const KnownAnswer FIPS_180_4[] = {
    {"", 1,
     "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
     "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e"},
    {"abc", 1,
     "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
     "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
    {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmno"
     "ijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
     1,
     "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018"
     "501d289e4900f7e4331b99dec4b5433ac7d329eeb6dd26545e96e55b874be909"},
    {"a", 1000000,
     "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973eb"
     "de0ff244877ea60a4cb0432ce577c31beb009c5c2c49aa2e4eadb217ad8cc09b"},
};

TEST(Sha512, PublishedDigests) {
    for (const KnownAnswer& k : FIPS_180_4) {
        std::string message;
        for (size_t i = 0; i < k.repeat; ++i) message += k.message;
        SCOPED_TRACE("message of " + std::to_string(message.size()) + " bytes");
        EXPECT_EQ(digestOf(message), k.digest);
        EXPECT_EQ(referenceDigest(message), k.digest);
    }
}

// Around one and two 128-byte blocks: up to 111 bytes the padding and the
// 16-byte length fit into the last block, from 112 on they need one more.
TEST(Sha512, PaddingBoundariesMatchOpenSsl) {
    static const size_t lengths[] = {1, 111, 112, 113, 127, 128, 129, 239, 240, 255, 256, 257};
    for (size_t length : lengths) {
        SCOPED_TRACE("length " + std::to_string(length));
        std::string message = patternBytes(length, static_cast<uint32_t>(length));
        EXPECT_EQ(digestOf(message), referenceDigest(message));
    }
}

TEST(Sha512, SplitFeedingGivesTheWholeDigest) {
    // TEST_SEED repeats a run.
    const char* fixed = getenv("TEST_SEED");
    const unsigned seed =
        fixed != nullptr ? static_cast<unsigned>(strtoul(fixed, nullptr, 10))
                         : static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count());
    std::cout << "seed: " << seed << "\n";
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    for (int round = 0; round < 200; ++round) {
        size_t length = random() % 1200;
        std::string message = patternBytes(length, static_cast<uint32_t>(random()));
        Sha512Ctx* ctx = sha512New();
        std::vector<size_t> splits;
        for (size_t fed = 0; fed < length || splits.empty();) {
            // Pieces of 0 bytes are allowed: they must change nothing.
            size_t piece = std::min(length - fed, static_cast<size_t>(random() % 300));
            sha512Update(ctx, message.data() + fed, piece);
            splits.push_back(piece);
            fed += piece;
        }
        std::string pieces;
        for (size_t s : splits) pieces += std::to_string(s) + " ";
        EXPECT_EQ(hex(sha512Final(ctx)), referenceDigest(message)) << "pieces: " << pieces;
        free(ctx);
    }
}

TEST(Sha512, FinalLeavesTheContextToGoOn) {
    std::string first = patternBytes(200, 1), second = patternBytes(77, 2);
    Sha512Ctx* ctx = sha512New();
    sha512Update(ctx, first.data(), first.size());
    const uint8_t* digest = sha512Final(ctx);
    EXPECT_EQ(digest, sha512Digest);
    std::string once = hex(digest);
    EXPECT_EQ(hex(sha512Final(ctx)), once);
    EXPECT_EQ(once, referenceDigest(first));

    // Another context's digest overwrites the shared block.
    Sha512Ctx* other = sha512New();
    EXPECT_EQ(hex(sha512Final(other)), FIPS_180_4[0].digest);
    EXPECT_EQ(hex(sha512Digest), FIPS_180_4[0].digest);

    // The first context still holds its message and continues it.
    sha512Update(ctx, second.data(), second.size());
    EXPECT_EQ(hex(sha512Final(ctx)), referenceDigest(first + second));
    free(other);
    free(ctx);
}

TEST(Sha512, WipeClearsTheContext) {
    // A short passphrase sits whole in the partial block until the end.
    std::string secret = "the passphrase";
    Sha512Ctx* ctx = sha512New();
    sha512Update(ctx, secret.data(), secret.size());
    sha512Wipe(ctx);
    std::string raw(reinterpret_cast<const char*>(ctx), sizeof(SHA512_CTX));
    EXPECT_EQ(raw, std::string(sizeof(SHA512_CTX), '\0'));
    free(ctx);
}

// sha512File over a file of fileSize bytes with the given size, after a
// lead-in fed directly, so the file's bytes must continue the message.
struct FileCase {
    int64_t fileSize;
    int64_t size;
};
const FileCase FILE_CASES[] = {
    {0, 0},          {10, 0},          {10, -1},          {10, INT64_MIN},   {10, 3},
    {10, 10},        {1000000, 999999}, {1000000, 1000000}, {1000001, 1000000}, {1000001, 1000001},
    {2000500, 2000500}, {2000500, 1500000},
};

TEST(Sha512File, HashesTheFirstSizeBytes) {
    TempDir dir;
    const std::string leadIn = "lead-in";
    for (const FileCase& c : FILE_CASES) {
        SCOPED_TRACE("file of " + std::to_string(c.fileSize) + " bytes, size " + std::to_string(c.size));
        std::string content = patternBytes(static_cast<size_t>(c.fileSize), 99);
        std::string name = dir.file("data");
        writeFile(name, content);
        Sha512Ctx* ctx = sha512New();
        sha512Update(ctx, leadIn.data(), leadIn.size());
        sha512File(ctx, name.c_str(), c.size);
        size_t covered = c.size < 0 ? 0 : static_cast<size_t>(c.size);
        EXPECT_EQ(hex(sha512Final(ctx)), referenceDigest(leadIn + content.substr(0, covered)));
        free(ctx);
        EXPECT_EQ(readFile(name), content);
    }
}

// Even with nothing to read the file is opened: a missing one ends in the
// open failure after its retries (about 2 s).
TEST(Sha512FileDeathTest, MissingFileFailsEvenWithNothingToRead) {
    ChildOutput child;
    std::string name = child.dir.file("missing");
    EXPECT_EXIT(
        {
            child.redirectBatch();
            Sha512Ctx* ctx = sha512New();
            sha512File(ctx, name.c_str(), 0);
        },
        testing::ExitedWithCode(1), "");
    EXPECT_EQ(child.out(), "Can not open file \"" + name + "\" as \"rb\" mode.\n"
                           "ERROR FileStream 30 fileOpen\nexitcode: 1\n");
}

TEST(Sha512FileDeathTest, SizeBeyondTheFileFailsInRead) {
    struct Case {
        int64_t fileSize, size;
    };
    // One byte too many in the only chunk, and a second chunk that runs past.
    static const Case cases[] = {{10, 11}, {1000001, 2000000}};
    for (const Case& c : cases) {
        SCOPED_TRACE("file of " + std::to_string(c.fileSize) + " bytes, size " + std::to_string(c.size));
        ChildOutput child;
        std::string name = child.dir.file("data");
        writeFile(name, patternBytes(static_cast<size_t>(c.fileSize), 5));
        EXPECT_EXIT(
            {
                child.redirectBatch();
                Sha512Ctx* ctx = sha512New();
                sha512File(ctx, name.c_str(), c.size);
            },
            testing::ExitedWithCode(1), "");
        EXPECT_EQ(child.out(), "ERROR FileStream 84 fileRead\nexitcode: 1\n");
    }
}

}  // namespace
