// Checked allocation and the string helpers, with and without a code page
// that has double-byte characters.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "support/child.h"
#include "support/run.h"
#include "system/File.h"
#include "system/Line.h"
#include "system/MemAlloc.h"
#include "system/System.h"

#ifdef CIPHER_SANITIZED
// From the sanitizer runtime: the size that was asked for a heap block.
extern "C" size_t __sanitizer_get_allocated_size(const volatile void* block);
#endif

namespace {

TEST(MemAlloc, NegativeSizesAreFatal) {
    for (int32_t size : {-1, INT32_MIN}) {
        SCOPED_TRACE(size);
        ChildOutput child;
        EXPECT_EXIT(
            {
                child.redirectBatch();
                memAlloc(size);
            },
            testing::ExitedWithCode(1), "");
        EXPECT_EQ(child.out(), "ERROR MemAlloc 5 memAlloc\nexitcode: 1\n");

        ChildOutput resized;
        EXPECT_EXIT(
            {
                resized.redirectBatch();
                memRealloc(memAlloc(16), size);
            },
            testing::ExitedWithCode(1), "");
        EXPECT_EQ(resized.out(), "ERROR MemAlloc 13 memRealloc\nexitcode: 1\n");
    }
}

// Caps the address space a little above what the process uses now, so that
// a large request fails as on a machine without memory.
void limitAddressSpace() {
    long pages = 0;
    FILE* statm = fopen("/proc/self/statm", "r");
    if (statm == nullptr || fscanf(statm, "%ld", &pages) != 1) _exit(99);
    fclose(statm);
    rlim_t limit = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (rlim_t{256} << 20);
    struct rlimit cap = {limit, limit};
    if (setrlimit(RLIMIT_AS, &cap) != 0) _exit(99);
}

TEST(MemAlloc, ExhaustedHeapIsFatal) {
#ifdef CIPHER_SANITIZED
    GTEST_SKIP() << "the sanitizer's allocator dies itself instead of giving null";
#endif
    ChildOutput child;
    EXPECT_EXIT(
        {
            child.redirectBatch();
            limitAddressSpace();
            memAlloc(INT32_MAX);
        },
        testing::ExitedWithCode(1), "");
    EXPECT_EQ(child.out(), "ERROR MemAlloc 7 memAlloc\nexitcode: 1\n");

    ChildOutput resized;
    EXPECT_EXIT(
        {
            resized.redirectBatch();
            void* block = memAlloc(16);
            limitAddressSpace();
            memRealloc(block, INT32_MAX);
        },
        testing::ExitedWithCode(1), "");
    EXPECT_EQ(resized.out(), "ERROR MemAlloc 15 memRealloc\nexitcode: 1\n");
}

TEST(MemAlloc, ReallocKeepsContentsUpToTheSmallerSize) {
    char* block = static_cast<char*>(memAlloc(10));
    memcpy(block, "0123456789", 10);
    block = static_cast<char*>(memRealloc(block, 100000));
    EXPECT_EQ(std::string(block, 10), "0123456789");
    block = static_cast<char*>(memRealloc(block, 4));
    EXPECT_EQ(std::string(block, 4), "0123");
    free(block);
}

TEST(StrDup, CopiesTextAndTerminator) {
    for (const char* text : {"", "a", "/w.d/a.txt.cphr", "\x95\x5c\xff\x01"}) {
        char* copy = strDup(text);
        EXPECT_NE(copy, text);
        EXPECT_STREQ(copy, text);
#ifdef CIPHER_SANITIZED
        EXPECT_EQ(__sanitizer_get_allocated_size(copy), strlen(text) + 1);
#endif
        free(copy);
    }
}

// Expected position of the first separator, -1 for none.
struct SlashCase {
    const char* text;
    int shiftJis;
    int singleByte;
};

TEST(FindSlash, StepsOverDoubleByteCharacters) {
    // 0x95 is a Shift-JIS lead byte; 0xA1 is a single-byte (half-width) one.
    static const SlashCase cases[] = {
        {"", -1, -1},
        {"abc", -1, -1},
        {"/", 0, 0},
        {"a/b/c", 1, 1},
        {"\x95/", 1, 1},         // no second byte is ever '/': the lead byte stands alone
        {"\x95//", 1, 1},
        {"\x95\x5c/", 2, 2},
        {"a\x95", -1, -1},       // a lead byte before the end: never read past it
        {"\x95\x95/", 2, 2},     // a pair of lead bytes is one character
        {"\x95\x95\x95/", 3, 3},  // the third lead byte stands alone before the '/'

        {"\xa1/", 1, 1},
    };
    for (const SlashCase& c : cases) {
        const char* found = findSlash(c.text);
        EXPECT_EQ(found == nullptr ? -1 : found - c.text, c.singleByte) << "text " << toHex(
            reinterpret_cast<const uint8_t*>(c.text), strlen(c.text));
    }
    ShiftJisLocale sjis;
    if (!sjis.active()) GTEST_SKIP() << sjis.why();
    for (const SlashCase& c : cases) {
        const char* found = findSlash(c.text);
        EXPECT_EQ(found == nullptr ? -1 : found - c.text, c.shiftJis) << "text " << toHex(
            reinterpret_cast<const uint8_t*>(c.text), strlen(c.text));
    }
}

struct CompareCase {
    const char* first;
    const char* second;
    int shiftJis;  // the exact result
    int singleByte;
};

TEST(MbsStricmp, FoldsOnlyAsciiLettersOfSingleByteCharacters) {
    static const CompareCase cases[] = {
        {"", "", 0, 0},
        {"a.TXT.Cphr", "A.txt.cPHR", 0, 0},
        {"abc", "abd", 'c' - 'd', 'c' - 'd'},
        {"b", "A", 'b' - 'a', 'b' - 'a'},
        {"abc", "abcd", -'d', -'d'},         // the shorter differs at its terminator
        {"abcd", "abc", 'd', 'd'},
        {"[", "{", '[' - '{', '[' - '{'},    // only A to Z fold
        {"@", "`", '@' - '`', '@' - '`'},
        {"\xc4", "\xe4", 0xc4 - 0xe4, 0xc4 - 0xe4},  // no locale folding of high bytes
        {"\xff", "a", 0xff - 'a', 0xff - 'a'},       // bytes taken as 0 to 255
        // A second byte with a letter code is compared as it is.
        {"\x82\x41", "\x82\x61", 0x41 - 0x61, 0},
        {"\x82\x41X", "\x82\x41x", 0, 0},    // the letter after the character folds
        {"\x82\x41", "\x82\x41", 0, 0},
    };
    for (const CompareCase& c : cases) {
        EXPECT_EQ(mbs_stricmp(c.first, c.second), c.singleByte) << c.first << " / " << c.second;
    }
    ShiftJisLocale sjis;
    if (!sjis.active()) GTEST_SKIP() << sjis.why();
    for (const CompareCase& c : cases) {
        EXPECT_EQ(mbs_stricmp(c.first, c.second), c.shiftJis) << c.first << " / " << c.second;
    }
}

TEST(GetExtension, DoubleByteCharacterAfterTheDot) {
    // "d.\x95\x5c": under Shift-JIS the 0x5C is the second byte of a
    // character, so the text after the dot is the extension. A '/' after a
    // lead byte is still a separator: the dot of "d.\x95/" is in a directory.
    const char* path = "d.\x95\x5c";
    const char* directory = "d.\x95/";
    EXPECT_EQ(getExtension(path), path + 2);
    EXPECT_STREQ(getExtension(directory), "");
    ShiftJisLocale sjis;
    if (!sjis.active()) GTEST_SKIP() << sjis.why();
    EXPECT_EQ(getExtension(path), path + 2);
    EXPECT_STREQ(getExtension(directory), "");
}

TEST(ParseCharCode, TwoHexDigitsOrTheFirstByte) {
    static const struct {
        const char* text;
        int value;
    } cases[] = {
        {"41", 0x41}, {"fF", 0xff}, {"Ff", 0xff}, {"00", 0},  {"9a", 0x9a}, {"x", 0x78},
        {"A", 0x41},  {"4", 0x34},  {"411", 0x34}, {"0x41", 0x30}, {"g1", 0x67}, {"1g", 0x31},
        {"", 0},      {"\xff", 0xff}, {"\x95\x5c", 0x95}, {" 4", 0x20},
    };
    for (const auto& c : cases) EXPECT_EQ(parseCharCode(c.text), c.value) << '"' << c.text << '"';
}

TEST(ParseDecimal, LikeAtoiButClamped) {
    static const struct {
        const char* text;
        int32_t value;
    } cases[] = {
        {"20", 20},
        {"007", 7},
        {"+5", 5},
        {"-7x", -7},
        {" \t\n\v\f\r12", 12},
        {"12 34", 12},
        {"", 0},
        {"abc", 0},
        {"0x10", 0},
        {"- 5", 0},
        {"+-5", 0},
        {"2147483647", INT32_MAX},
        {"-2147483648", INT32_MIN},
        // Out of range: clamped, never wrapped into a value a caller accepts.
        {"2147483648", INT32_MAX},
        {"-2147483649", INT32_MIN},
        {"4294967316", INT32_MAX},  // 2^32 + 20 would wrap to 20
        {"-4294967276", INT32_MIN},  // -(2^32 - 20) would wrap to 20
        {"99999999999999999999999999", INT32_MAX},
        {"-99999999999999999999999999", INT32_MIN},
        {"000000000000000000000000040", 40},
    };
    for (const auto& c : cases) EXPECT_EQ(parseDecimal(c.text), c.value) << '"' << c.text << '"';
}

}  // namespace
