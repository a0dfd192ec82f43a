// One round trip of a file beyond 4 GiB through the real binary: offsets and
// sizes must not wrap at 2^31 or 2^32 anywhere in the pipeline.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/run.h"

namespace {

const int64_t GIB = int64_t{1} << 30;
// Just over 4 GiB, and not a multiple of 16.
const int64_t LENGTH = 4 * GIB + 4097;

// SHA-512 of a file, read in 1 MiB pieces.
std::string sha512OfFile(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0) << path;
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_DigestInit_ex(ctx, EVP_sha512(), nullptr);
    std::vector<uint8_t> buffer(1 << 20);
    for (;;) {
        ssize_t got = read(fd, buffer.data(), buffer.size());
        EXPECT_GE(got, 0);
        if (got <= 0) break;
        EVP_DigestUpdate(ctx, buffer.data(), static_cast<size_t>(got));
    }
    close(fd);
    uint8_t digest[64];
    unsigned length = 0;
    EVP_DigestFinal_ex(ctx, digest, &length);
    EVP_MD_CTX_free(ctx);
    return toHex(digest, sizeof digest);
}

void writeAt(int fd, const std::string& bytes, int64_t offset) {
    ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), offset), static_cast<ssize_t>(bytes.size()));
}

int64_t fileSize(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? static_cast<int64_t>(info.st_size) : -1;
}

TEST(LargeFileTest, RoundTripBeyondFourGiB) {
#ifdef CIPHER_SANITIZED
    GTEST_SKIP() << "release build only: the sanitizers make 8 GiB of Camellia far too slow";
#endif
    TempDir dir;
    struct statvfs disk;
    ASSERT_EQ(statvfs(dir.path.c_str(), &disk), 0);
    const int64_t available = static_cast<int64_t>(disk.f_bavail) * static_cast<int64_t>(disk.f_frsize);
    if (available < 3 * LENGTH + GIB) {
        GTEST_SKIP() << "needs about " << (3 * LENGTH + GIB) / GIB << " GiB free in " << dir.path << ", has "
                     << available / GIB << " GiB";
    }

    // A sparse file with distinct data around every place where a 32-bit
    // offset would wrap, at the chunk boundaries near them, and at the end.
    const std::string input = dir.file("big"), container = dir.file("big.cphr"), output = dir.file("big.out");
    int fd = open(input.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, LENGTH), 0);
    struct Piece {
        int64_t at, size;
    };
    uint32_t seed = 1;
    for (const Piece& piece : {Piece{0, 80000}, Piece{2 * GIB - 1600000, 80000}, Piece{2 * GIB - 40000, 80000},
                               Piece{3 * GIB + 12345, 80000}, Piece{4 * GIB - 4000, 8000},
                               Piece{LENGTH - 80000, 80000}}) {
        writeAt(fd, patternBytes(static_cast<size_t>(piece.size), seed++), piece.at);
    }
    for (int64_t at = 256 << 20; at < LENGTH - 4096; at += 256 << 20) writeAt(fd, patternBytes(4096, seed++), at);
    ASSERT_EQ(close(fd), 0);
    ASSERT_EQ(fileSize(input), LENGTH);
    const std::string digest = sha512OfFile(input);

    const std::string keyBytes = patternBytes(64, 99);
    const std::string key = toHex(reinterpret_cast<const uint8_t*>(keyBytes.data()), keyBytes.size());
    RunResult enc = runCipher({"/B", "/S", "/P", key, input});
    ASSERT_EQ(enc.exitCode, 0) << enc.err;
    const int64_t padded = fileSize(container) - 144;
    EXPECT_EQ(padded % 16, 0);
    EXPECT_GE(padded - LENGTH, 1);
    EXPECT_LE(padded - LENGTH, 255);
    ASSERT_EQ(unlink(input.c_str()), 0);

    // Decrypted in place under /R: the container is moved, not copied.
    RunResult dec = runCipher({"/B", "/S", "/R", "/P", key, container, output});
    ASSERT_EQ(dec.exitCode, 0) << dec.err;
    EXPECT_EQ(listDir(dir.path), std::vector<std::string>{"big.out"});
    EXPECT_EQ(fileSize(output), LENGTH);
    EXPECT_EQ(sha512OfFile(output), digest);
}

}  // namespace
