// The random byte pool: when it refills, that it hands out every byte of a
// refill once and in order, and how a failing source ends the process. The
// source is this file's own getrandom, which takes the place of the C
// library's for the whole test process.
#include "crypto/CryptoRand.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/child.h"
#include "support/run.h"
#include "system/System.h"

namespace {

// The fake source's state; each test sets what it needs through reset().
struct FakeSource {
    uint64_t position;          // stream bytes given out so far
    int calls;                  // getrandom calls
    std::vector<size_t> asked;  // the length of each call
    int failErrno;              // nonzero: calls from failFromCall on fail with it
    int failFromCall;
    size_t maxChunk;            // at most this many bytes per call
    int interruptEvery;         // nonzero: every n-th call fails with EINTR
};
FakeSource source;

void reset() {
    source = FakeSource{0, 0, {}, 0, 1, SIZE_MAX, 0};
    randomPoolPos = RANDOM_POOL_SIZE;
}

}  // namespace

extern "C" ssize_t getrandom(void* buffer, size_t length, unsigned int) {
    ++source.calls;
    source.asked.push_back(length);
    if (source.failErrno != 0 && source.calls >= source.failFromCall) {
        errno = source.failErrno;
        return -1;
    }
    if (source.interruptEvery != 0 && source.calls % source.interruptEvery == 0) {
        errno = EINTR;
        return -1;
    }
    size_t count = length < source.maxChunk ? length : source.maxChunk;
    uint8_t* bytes = static_cast<uint8_t*>(buffer);
    for (size_t i = 0; i < count; ++i) bytes[i] = streamByte(source.position++);
    return static_cast<ssize_t>(count);
}

namespace {

// The first index where the bytes differ from the stream starting at first,
// or -1.
int64_t firstMismatch(const std::vector<uint8_t>& bytes, uint64_t first) {
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] != streamByte(first + i)) return static_cast<int64_t>(i);
    }
    return -1;
}

TEST(RandomPool, RefillsAtTheFirstByteAndAfterEachFullPool) {
    reset();
    std::vector<uint8_t> taken;
    EXPECT_EQ(source.calls, 0);
    // Byte 1 of the run refills, bytes 2..65,536 come from that refill,
    // byte 65,537 refills again and so on.
    struct Point {
        int64_t byte;
        int calls;
        int32_t position;
    };
    static const Point points[] = {{1, 1, 1},           {2, 1, 2},
                                   {65536, 1, 65536},   {65537, 2, 1},
                                   {131072, 2, 65536},  {131073, 3, 1}};
    for (const Point& p : points) {
        while (static_cast<int64_t>(taken.size()) < p.byte) taken.push_back(static_cast<uint8_t>(nextRandomByte()));
        SCOPED_TRACE("after byte " + std::to_string(p.byte));
        EXPECT_EQ(source.calls, p.calls);
        EXPECT_EQ(randomPoolPos, p.position);
    }
    // Every refill asks for the whole pool, and the bytes come out in stream
    // order: none twice, none skipped.
    EXPECT_EQ(source.asked, std::vector<size_t>(3, RANDOM_POOL_SIZE));
    EXPECT_EQ(firstMismatch(taken, 0), -1);
}

TEST(RandomPool, RefillFillsThePoolAndLeavesThePosition) {
    reset();
    randomPoolPos = 123;
    getCryptoBlock_MS();
    EXPECT_EQ(randomPoolPos, 123);
    EXPECT_EQ(firstMismatch(std::vector<uint8_t>(randomPool, randomPool + RANDOM_POOL_SIZE), 0), -1);
    EXPECT_EQ(nextRandomByte(), randomPool[123]);
}

// A source that gives fewer bytes than asked, or is interrupted, still fills
// the pool without a gap.
TEST(RandomPool, ShortAndInterruptedReadsFillThePoolWhole) {
    reset();
    source.maxChunk = 1000;
    source.interruptEvery = 3;
    std::vector<uint8_t> taken;
    for (int i = 0; i < 2 * RANDOM_POOL_SIZE; ++i) taken.push_back(static_cast<uint8_t>(nextRandomByte()));
    EXPECT_GT(source.calls, 2 * RANDOM_POOL_SIZE / 1000);
    EXPECT_EQ(firstMismatch(taken, 0), -1);
}

// Runs last at exit: shows that a failed refill hands out nothing.
void printPoolPosition() { printf("pool position: %d\n", randomPoolPos); }

TEST(RandomPoolDeathTest, FailingSourceEndsWithItsReport) {
    struct Case {
        int error;
        int failFromCall;  // 2: the second refill fails, after a whole pool
        const char* expected;
    };
    static const Case cases[] = {
        {ENOSYS, 1,
         "Failed to open CSP. Last error: 00000026\n"
         "ERROR CryptoRand 25 getCryptoBlock_MS\nexitcode: 1\npool position: 65536\n"},
        {EPERM, 1,
         "Failed to open CSP. Last error: 00000001\n"
         "ERROR CryptoRand 25 getCryptoBlock_MS\nexitcode: 1\npool position: 65536\n"},
        {EIO, 1, "ERROR CryptoRand 30 getCryptoBlock_MS\nexitcode: 1\npool position: 65536\n"},
        {EAGAIN, 1, "ERROR CryptoRand 30 getCryptoBlock_MS\nexitcode: 1\npool position: 65536\n"},
        {EIO, 2, "ERROR CryptoRand 30 getCryptoBlock_MS\nexitcode: 1\npool position: 65536\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("errno " + std::to_string(c.error) + " from call " + std::to_string(c.failFromCall));
        ChildOutput child;
        EXPECT_EXIT(
            {
                child.redirectBatch();
                reset();
                source.failErrno = c.error;
                source.failFromCall = c.failFromCall;
                atexit(printPoolPosition);
                for (int i = 0; i < (c.failFromCall - 1) * RANDOM_POOL_SIZE; ++i) nextRandomByte();
                nextRandomByte();
            },
            testing::ExitedWithCode(1), "");
        EXPECT_EQ(child.out(), c.expected);
    }
}

}  // namespace
