// The password and key maker, in process over a controlled byte source and
// end to end through the real binary (/MP, /MK). The byte source is this
// file's own getrandom, which takes the place of the C library's for the
// whole test process (not for the binary the end-to-end cases start).
#include "app/Tools.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/types.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/_Tools.h"
#include "crypto/CryptoRand.h"
#include "support/child.h"
#include "support/run.h"
#include "system/System.h"

namespace {

struct FakeSource {
    std::vector<uint8_t> script;  // given out first, then the stream
    size_t scriptUsed;
    uint64_t position;            // stream bytes given out so far
    int calls;                    // getrandom calls
};
FakeSource source;

void reset() {
    source = FakeSource{{}, 0, 0, 0};
    randomPoolPos = RANDOM_POOL_SIZE;
}

}  // namespace

extern "C" ssize_t getrandom(void* buffer, size_t length, unsigned int) {
    ++source.calls;
    uint8_t* bytes = static_cast<uint8_t*>(buffer);
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = source.scriptUsed < source.script.size() ? source.script[source.scriptUsed++]
                                                            : streamByte(source.position++);
    }
    return static_cast<ssize_t>(length);
}

namespace {

const char ALPHABET[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
const char LENGTH_MESSAGE[] = "要求されたパスフレーズの長さに問題があります。";

// Why the text is not a valid password of the length, or "" when it is.
std::string passwordFault(const std::string& text, size_t length) {
    if (text.size() != length) return "length " + std::to_string(text.size());
    bool digit = false, upper = false, lower = false;
    for (char c : text) {
        if (c >= '0' && c <= '9') digit = true;
        else if (c >= 'A' && c <= 'Z') upper = true;
        else if (c >= 'a' && c <= 'z') lower = true;
        else return std::string("character ") + c;
    }
    if (!digit || !upper || !lower) return "a class is missing";
    return "";
}

void appendLittleEndian(std::vector<uint8_t>& bytes, uint64_t value) {
    for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

TEST(MkPassword, EveryPasswordHoldsAllClassesAndNothingElse) {
    reset();
    struct Case {
        int32_t length;
        int count;
    };
    static const Case cases[] = {{3, 2000}, {4, 500}, {22, 200}, {1000, 20}};
    for (const Case& c : cases) {
        for (int i = 0; i < c.count; ++i) {
            char* text = MkPassword(c.length);
            std::string fault = passwordFault(text, static_cast<size_t>(c.length));
            EXPECT_EQ(fault, "") << "length " << c.length << ": " << text;
            free(text);
            if (!fault.empty()) break;
        }
    }
}

// Draws are 8 bytes, least significant first; values below 16 are dropped
// without a character; a candidate that lacks a class is dropped whole.
TEST(MkPassword, DrawsFollowTheDiscardRules) {
    reset();
    static const uint64_t draws[] = {
        0,                    // dropped
        15,                   // dropped: the largest value below 16
        16,                   // 16 % 62 = 16: 'G'
        1ull << 56,           // bytes 00..00 01: 2^56 % 62 = 2: '2'
        ~0ull,                // (2^64 - 1) % 62 = 15: 'F'; "G2F" has no lower case
        0x0123456789abcdefull,  // % 62 = 61: 'z'
        1ull << 63,           // % 62 = 8: '8'
        16,                   // 'G'
    };
    for (uint64_t v : draws) appendLittleEndian(source.script, v);
    char* text = MkPassword(3);
    EXPECT_STREQ(text, "z8G");
    EXPECT_EQ(randomPoolPos, 64);
    EXPECT_EQ(source.calls, 1);
    free(text);
}

TEST(MkKey, IsThePoolBytesInLowercaseHex) {
    reset();
    std::vector<uint8_t> expected;
    for (uint64_t k = 0; k < 128; ++k) expected.push_back(streamByte(k));
    char* first = MkKey();
    char* second = MkKey();
    EXPECT_EQ(std::string(first), toHex(expected.data(), 64));
    EXPECT_EQ(std::string(second), toHex(expected.data() + 64, 64));
    EXPECT_EQ(randomPoolPos, 128);

    // Given back as the /P text it is the raw key of the bytes drawn.
    xcout = xcoutNull;
    xExFlag = 0;
    const uint8_t* key = GetRawKey(first, 1, "unused");
    EXPECT_EQ(toHex(key, 64), toHex(expected.data(), 64));
    EXPECT_EQ(randomPoolPos, 128);
    xcout = xcoutConsole;
    free(first);
    free(second);
}

// Runs last at exit: whether any random byte was asked for.
void printSourceCalls() { printf("getrandom calls: %d\n", source.calls); }

TEST(MkPasswordDeathTest, LengthOutsideThreeToThousandIsRefusedFirst) {
    static const int32_t lengths[] = {2, 1001, 0, -1, -997, 1002, INT32_MIN, INT32_MAX};
    for (int32_t length : lengths) {
        SCOPED_TRACE("length " + std::to_string(length));
        ChildOutput child;
        EXPECT_EXIT(
            {
                child.redirectBatch();
                reset();
                atexit(printSourceCalls);
                MkPassword(length);
            },
            testing::ExitedWithCode(1), "");
        EXPECT_EQ(child.out(), std::string("ERROR Tools 5 MkPassword\nmessage: ") + LENGTH_MESSAGE +
                                   "\nexitcode: 1\ngetrandom calls: 0\n");
    }
}

// ---- through the real binary ----

bool isLowerHexKeyLine(const std::string& out) {
    if (out.size() != 129 || out[128] != '\n') return false;
    for (size_t i = 0; i < 128; ++i) {
        if (!((out[i] >= '0' && out[i] <= '9') || (out[i] >= 'a' && out[i] <= 'f'))) return false;
    }
    return true;
}

TEST(MakeKeyCommand, PrintsOnlyTheKey) {
    // Whatever follows /MK is never looked at; a /S before it silences it.
    struct Case {
        std::vector<std::string> args;
        bool printed;
    };
    static const Case cases[] = {
        {{"/MK"}, true}, {{"/mk", "x", "y"}, true}, {{"/MK", "/S"}, true}, {{"/S", "/MK"}, false},
        {{"/B", "/MK"}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : ""));
        RunResult run = runCipher(c.args);
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.err, "");
        if (c.printed) {
            EXPECT_TRUE(isLowerHexKeyLine(run.out)) << run.out;
        } else {
            EXPECT_EQ(run.out, "");
        }
    }
    // Each run fills its pool afresh.
    EXPECT_NE(runCipher({"/MK"}).out, runCipher({"/MK"}).out);
}

TEST(MakePasswordCommand, PrintsOnlyThePassword) {
    // The length is read like atoi; arguments after it are never looked at.
    struct Case {
        std::vector<std::string> args;
        size_t length;
    };
    static const Case cases[] = {
        {{"/MP"}, 22},           {{"/MP", "3"}, 3},      {{"/MP", "1000"}, 1000},
        {{"/mp", "8", "x", "y"}, 8}, {{"/Mp", " +12"}, 12}, {{"/MP", "12abc"}, 12},
        {{"/MK", "/MP"}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : ""));
        RunResult run = runCipher(c.args);
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.err, "");
        if (c.length == 0) {
            // /MK came first and ended the run.
            EXPECT_TRUE(isLowerHexKeyLine(run.out)) << run.out;
            continue;
        }
        ASSERT_FALSE(run.out.empty());
        EXPECT_EQ(run.out.back(), '\n');
        EXPECT_EQ(passwordFault(run.out.substr(0, run.out.size() - 1), c.length), "") << run.out;
    }
    EXPECT_NE(runCipher({"/MP"}).out, runCipher({"/MP"}).out);
}

TEST(MakePasswordCommand, RefusesLengthsOutsideThreeToThousand) {
    // Numbers beyond 32 bits must not wrap into the accepted range
    // (4294967299 is 2^32 + 3).
    static const char* const lengths[] = {"abc", "",  "0x10", "2",           "1001",
                                          "-5",  "0", "99999999999", "-99999999999", "4294967299"};
    const std::string report = std::string("ERROR Tools 5 MkPassword\nmessage: ") + LENGTH_MESSAGE + "\nexitcode: 1\n";
    for (const char* length : lengths) {
        SCOPED_TRACE(std::string("/MP ") + length);
        RunResult run = runCipher({"/B", "/MP", length});
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.out, report);
        EXPECT_EQ(run.err, "");
    }
    // Without /B the error box shows the message (on standard error, as the
    // binary has no terminal); /S silences the trace but not the exit code.
    RunResult boxed = runCipher({"/MP", "abc"});
    EXPECT_EQ(boxed.exitCode, 1);
    EXPECT_EQ(boxed.out, report);
    EXPECT_NE(boxed.err.find(LENGTH_MESSAGE), std::string::npos) << boxed.err;
    RunResult silent = runCipher({"/S", "/B", "/MP", "abc"});
    EXPECT_EQ(silent.exitCode, 1);
    EXPECT_EQ(silent.out, "");
}

}  // namespace
