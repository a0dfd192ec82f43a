// Cipher key derivation: the exact trace, raw keys against passphrases,
// stretching with /PE checked against a digest computed with OpenSSL
// directly, the trailer read back when decrypting, and the fatal reports.
#define OPENSSL_SUPPRESS_DEPRECATED 1
#include "app/_Tools.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <unistd.h>

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "crypto/CryptoRand.h"
#include "support/child.h"
#include "support/run.h"
#include "system/System.h"

namespace {

// Bytes given to the library's SHA512_Update, counted while countingUpdates
// is set.
long bytesFed = 0;
bool countingUpdates = false;

}  // namespace

// Takes the place of libcrypto's SHA512_Update for the whole test process
// and passes every call on to it, so that the trace can be lined up with
// the blocks hashed.
extern "C" int SHA512_Update(SHA512_CTX* ctx, const void* data, size_t length) {
    using Update = int (*)(SHA512_CTX*, const void*, size_t);
    static Update library = reinterpret_cast<Update>(dlsym(RTLD_NEXT, "SHA512_Update"));
    if (library == nullptr) abort();
    if (countingUpdates) bytesFed += static_cast<long>(length);
    return library(ctx, data, length);
}

namespace {

// Everything GetRawKey printed, and for each star the number of whole filler
// blocks hashed before it.
std::string captured;
long stretchBase = 0;
std::vector<long> starBlocks;

void capture(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list size;
    va_copy(size, args);
    int length = vsnprintf(nullptr, 0, format, size);
    va_end(size);
    std::string text(static_cast<size_t>(length), '\0');
    vsnprintf(&text[0], text.size() + 1, format, args);
    va_end(args);
    if (text == "passphrase expanding...\n") stretchBase = bytesFed;
    if (text == "*") starBlocks.push_back((bytesFed - stretchBase) / 1024);
    captured += text;
}

std::string hex64(const uint8_t* bytes) { return toHex(bytes, 64); }

std::string sha512Hex(const std::string& message) {
    uint8_t digest[64];
    SHA512(reinterpret_cast<const uint8_t*>(message.data()), message.size(), digest);
    return hex64(digest);
}

// The stretched key computed straight from its definition: SHA-512 of the
// passphrase, the 64 bytes of XExInfo and 2^xExp bytes of the filler.
std::string stretchedKey(const std::string& passphrase, const std::string& info, int xChrValue, int xExpValue) {
    std::string filler(size_t(1) << xExpValue, static_cast<char>(xChrValue));
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    uint8_t digest[64];
    unsigned int length = 0;
    if (md == nullptr || EVP_DigestInit_ex(md, EVP_sha512(), nullptr) != 1 ||
        EVP_DigestUpdate(md, passphrase.data(), passphrase.size()) != 1 ||
        EVP_DigestUpdate(md, info.data(), info.size()) != 1 ||
        EVP_DigestUpdate(md, filler.data(), filler.size()) != 1 || EVP_DigestFinal_ex(md, digest, &length) != 1) {
        abort();
    }
    EVP_MD_CTX_free(md);
    return hex64(digest);
}

// Where the 79 stars fall: star k comes before the first block i whose
// target round(79 i / n) reaches k, or after the loop (n) when none does.
std::vector<long> expectedStarBlocks(long n) {
    std::vector<long> blocks;
    for (long i = 0; i < n; ++i) {
        long target = (158 * i + n) / (2 * n);
        while (static_cast<long>(blocks.size()) < target) blocks.push_back(i);
    }
    while (blocks.size() < 79) blocks.push_back(n);
    return blocks;
}

// The trace with the elapsed milliseconds replaced by "T", once checked to
// be a number.
std::string withoutTime(const std::string& trace) {
    size_t at = trace.find("\ntime: ");
    if (at == std::string::npos) return trace;
    size_t digits = at + 7, end = trace.find('\n', digits);
    if (end == std::string::npos || end == digits ||
        trace.find_first_not_of("0123456789", digits) != end) {
        return trace;
    }
    return trace.substr(0, digits) + "T" + trace.substr(end);
}

const std::string KEY_HEX = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef"
                            "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

class GetRawKeyTest : public testing::Test {
protected:
    void SetUp() override {
        captured.clear();
        starBlocks.clear();
        xcout = capture;
        xExFlag = 0;
        // Make sure a pool is there, so that takes show in the position only.
        if (randomPoolPos == RANDOM_POOL_SIZE) nextRandomByte();
        randomPoolPos = 0;
    }
    void TearDown() override {
        xcout = xcoutConsole;
        countingUpdates = false;
        xExFlag = 0;
    }
    void stretching(int chr, int exp) {
        xExFlag = 1;
        xChr = chr;
        xExp = exp;
    }
    TempDir dir;
};

// FIPS 180-4 messages as passphrases give their published digests.
TEST_F(GetRawKeyTest, PassphraseKeyIsItsDigest) {
    struct Case {
        const char* passphrase;
        const char* digest;
    };
    static const Case cases[] = {
        {"", "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
             "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e"},
        {"abc", "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
                "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmno"
         "ijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
         "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018"
         "501d289e4900f7e4331b99dec4b5433ac7d329eeb6dd26545e96e55b874be909"},
    };
    for (const Case& c : cases) {
        for (int mode : {1, 2}) {
            SCOPED_TRACE(std::string("passphrase \"") + c.passphrase + "\" mode " + std::to_string(mode));
            captured.clear();
            const uint8_t* key = GetRawKey(c.passphrase, mode, "unused");
            EXPECT_EQ(key, cipherKey);
            EXPECT_EQ(hex64(cipherKey), c.digest);
            EXPECT_EQ(captured, std::string("pwd: ") + c.passphrase + "\nCIPHER-KEY: " + c.digest + "\n");
            EXPECT_EQ(xExInfoSize, 0);
            EXPECT_EQ(XExInfo, nullptr);
            EXPECT_EQ(randomPoolPos, 0);
        }
    }
}

// Exactly 128 hexadecimal digits, of either case, are the key itself;
// anything else is a passphrase. The bad characters sit just outside the
// digit and letter ranges.
TEST_F(GetRawKeyTest, RawKeyOrPassphrase) {
    std::string upper = KEY_HEX, mixed = KEY_HEX;
    for (char& c : upper) c = static_cast<char>(toupper(c));
    for (size_t i = 0; i < mixed.size(); i += 3) mixed[i] = static_cast<char>(toupper(mixed[i]));
    struct Case {
        std::string text;
        bool raw;
    };
    std::vector<Case> cases = {
        {KEY_HEX, true}, {upper, true}, {mixed, true},
        {KEY_HEX.substr(1), false}, {KEY_HEX + "0", false}, {KEY_HEX + KEY_HEX, false},
    };
    for (char bad : {'/', ':', '@', 'G', '`', 'g', ' '}) {
        for (size_t at : {size_t(0), size_t(77), size_t(127)}) {
            std::string text = KEY_HEX;
            text[at] = bad;
            cases.push_back({text, false});
        }
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(isRawKeyHex(c.text.c_str()), c.raw);
        captured.clear();
        GetRawKey(c.text.c_str(), 1, "unused");
        std::string key = c.raw ? KEY_HEX : sha512Hex(c.text);
        EXPECT_EQ(hex64(cipherKey), key);
        EXPECT_EQ(captured, "pwd: " + c.text + "\nCIPHER-KEY: " + key + "\n");
    }
}

// /PE with a raw key: one line, and the X values are neither checked nor
// used; no trailer is made and no random byte is taken.
TEST_F(GetRawKeyTest, RawKeyIgnoresStretching) {
    static const int values[][2] = {{0x41, 20}, {0x100, 41}, {-1, INT32_MIN}, {INT32_MAX, 9}};
    for (const auto& v : values) {
        for (int mode : {1, 2}) {
            SCOPED_TRACE("X-CHR " + std::to_string(v[0]) + " X-EXT " + std::to_string(v[1]));
            captured.clear();
            stretching(v[0], v[1]);
            GetRawKey(KEY_HEX.c_str(), mode, dir.file("missing").c_str());
            EXPECT_EQ(captured, "pwd: " + KEY_HEX + "\nIGNORE X-CHR X-EXT OPTION!\nCIPHER-KEY: " + KEY_HEX + "\n");
            EXPECT_EQ(xExInfoSize, 0);
            EXPECT_EQ(XExInfo, nullptr);
            EXPECT_EQ(randomPoolPos, 0);
        }
    }
}

// One stretched derivation, checked whole: the trace, where the stars fall
// among the filler blocks, the key against OpenSSL and the trailer left
// for the container. info is the XExInfo the call must use.
void checkStretched(const std::string& passphrase, int mode, const std::string& inputName, int chr, int exp,
                    const std::string& info, bool noInfoLine) {
    captured.clear();
    starBlocks.clear();
    bytesFed = 0;
    countingUpdates = true;
    GetRawKey(passphrase.c_str(), mode, inputName.c_str());
    countingUpdates = false;

    const uint8_t* infoBytes = reinterpret_cast<const uint8_t*>(info.data());
    std::string key = stretchedKey(passphrase, info, chr, exp);
    char chrLine[32];
    snprintf(chrLine, sizeof chrLine, "XChr: 0x%02x\n", chr);
    std::string expected = "pwd: " + passphrase + "\n" + (noInfoLine ? "NO-X-EX-INFO!\n" : "") +
                           "XExInfo: " + hex64(infoBytes) + "\n" + chrLine + "XExp: " + std::to_string(exp) +
                           "\npassphrase expanding...\n" + std::string(79, '*') +
                           "\ntime: T\npassphrase expanded!\nCIPHER-KEY: " + key + "\n";
    EXPECT_EQ(withoutTime(captured), expected);
    EXPECT_EQ(hex64(cipherKey), key);
    EXPECT_EQ(starBlocks, expectedStarBlocks(1L << (exp - 10)));
    ASSERT_EQ(xExInfoSize, 64);
    ASSERT_NE(XExInfo, nullptr);
    EXPECT_EQ(hex64(XExInfo), hex64(infoBytes));
}

TEST_F(GetRawKeyTest, StretchingMatchesTheDefinition) {
    struct Case {
        int mode;
        int chr, exp;
    };
    // X-EXT 10 is one block with every star after it; 11 and 12 split the
    // line; at 17 there are more blocks than stars.
    static const Case cases[] = {{2, 0x41, 10}, {1, 0x00, 11}, {2, 0xff, 12}, {1, 0x41, 16}, {2, 0x7e, 17}};
    const std::string input = dir.file("input.cphr");
    const std::string content = patternBytes(1000, 3);
    writeFile(input, content);
    for (const Case& c : cases) {
        SCOPED_TRACE("mode " + std::to_string(c.mode) + " X-CHR " + std::to_string(c.chr) + " X-EXT " +
                     std::to_string(c.exp));
        stretching(c.chr, c.exp);
        if (c.mode == 1) {
            // Encrypting: the next 64 bytes of the pool.
            randomPoolPos = 100;
            std::string info(reinterpret_cast<const char*>(randomPool) + 100, 64);
            checkStretched("pass word", 1, input, c.chr, c.exp, info, false);
            EXPECT_EQ(randomPoolPos, 164);
        } else {
            // Decrypting: the input's last 64 bytes, and no random byte.
            int32_t position = randomPoolPos;
            checkStretched("pass word", 2, input, c.chr, c.exp, content.substr(content.size() - 64), false);
            EXPECT_EQ(randomPoolPos, position);
        }
        EXPECT_EQ(readFile(input), content);
    }
}

// The filler continues the message wherever the passphrase and XExInfo
// left the last 128-byte block: at its start (64 bytes of passphrase), one
// byte before its end, or anywhere between.
TEST_F(GetRawKeyTest, StretchingAfterAnyPassphraseLength) {
    const std::string input = dir.file("input.cphr");
    const std::string content = patternBytes(64, 4);
    writeFile(input, content);
    for (size_t length : {0, 1, 62, 63, 64, 65, 127, 128, 191, 192, 300}) {
        for (int exp : {10, 11, 13}) {
            SCOPED_TRACE("passphrase of " + std::to_string(length) + " bytes, X-EXT " + std::to_string(exp));
            std::string passphrase = patternBytes(length, 11);
            for (char& c : passphrase) c = static_cast<char>('a' + static_cast<unsigned char>(c) % 26);
            stretching(0x5a, exp);
            checkStretched(passphrase, 2, input, 0x5a, exp, content, false);
        }
    }
}

// Decrypting reads the last 64 bytes of the input; a shorter input gives
// a line and 64 zero bytes, the trailer size staying 64.
TEST_F(GetRawKeyTest, TrailerOfTheInputWhenDecrypting) {
    for (size_t size : {0, 1, 63, 64, 65, 1000}) {
        SCOPED_TRACE("input of " + std::to_string(size) + " bytes");
        std::string input = dir.file("in" + std::to_string(size));
        std::string content = patternBytes(size, static_cast<uint32_t>(size));
        writeFile(input, content);
        stretching(0x41, 10);
        if (size < 64) {
            checkStretched("pw", 2, input, 0x41, 10, std::string(64, '\0'), true);
        } else {
            checkStretched("pw", 2, input, 0x41, 10, content.substr(size - 64), false);
        }
        EXPECT_EQ(readFile(input), content);
        EXPECT_EQ(randomPoolPos, 0);
    }
}

// Each encryption draws a new trailer, so the keys differ; the next call
// without /PE releases it.
TEST_F(GetRawKeyTest, EachEncryptionHasItsOwnTrailer) {
    stretching(0x41, 10);
    GetRawKey("pw", 1, "unused");
    std::string firstInfo = hex64(XExInfo), firstKey = hex64(cipherKey);
    GetRawKey("pw", 1, "unused");
    EXPECT_NE(hex64(XExInfo), firstInfo);
    EXPECT_NE(hex64(cipherKey), firstKey);
    EXPECT_EQ(randomPoolPos, 128);
    xExFlag = 0;
    GetRawKey("pw", 1, "unused");
    EXPECT_EQ(XExInfo, nullptr);
    EXPECT_EQ(xExInfoSize, 0);
    EXPECT_EQ(hex64(cipherKey), sha512Hex("pw"));
}

// Runs last at exit: how far the pool was taken.
void printPoolPosition() { printf("pool position: %d\n", randomPoolPos); }

const char X_CHR_MESSAGE[] = "パスフレーズの拡張に問題があります。(X-CHR=0x00～0xff)";
const char X_EXT_MESSAGE[] = "パスフレーズの拡張に問題があります。(X-EXT=10～40)";

using GetRawKeyDeathTest = GetRawKeyTest;

// The X values are checked only after the trailer has been gathered (64
// random bytes when encrypting), printed and hashed; X-CHR first.
TEST_F(GetRawKeyDeathTest, OutOfRangeStretchingEndsAfterTheTrailer) {
    struct Case {
        int mode;
        int32_t chr, exp;
        int line;
    };
    static const Case cases[] = {
        {1, 0x100, 20, 122},     {2, -1, 20, 122},         {1, 0x100, 41, 122},    {2, INT32_MIN, 9, 122},
        {1, 0x41, 9, 123},       {2, 0x41, 41, 123},       {1, 0, INT32_MIN, 123}, {2, 0xff, INT32_MAX, 123},
    };
    const std::string input = dir.file("input.cphr");
    const std::string content = patternBytes(200, 8);
    writeFile(input, content);
    for (const Case& c : cases) {
        SCOPED_TRACE("mode " + std::to_string(c.mode) + " X-CHR " + std::to_string(c.chr) + " X-EXT " +
                     std::to_string(c.exp));
        randomPoolPos = 0;
        std::string info = c.mode == 1 ? std::string(reinterpret_cast<const char*>(randomPool), 64)
                                       : content.substr(content.size() - 64);
        ChildOutput child;
        EXPECT_EXIT(
            {
                child.redirectBatch();
                atexit(printPoolPosition);
                stretching(c.chr, c.exp);
                GetRawKey("pw", c.mode, input.c_str());
            },
            testing::ExitedWithCode(1), "");
        std::string report = c.line == 122 ? std::string("ERROR _Tools 122 GetRawKey\nmessage: ") + X_CHR_MESSAGE
                                           : std::string("ERROR _Tools 123 GetRawKey\nmessage: ") + X_EXT_MESSAGE;
        EXPECT_EQ(child.out(), "pwd: pw\nXExInfo: " + toHex(reinterpret_cast<const uint8_t*>(info.data()), 64) +
                                   "\n" + report + "\nexitcode: 1\npool position: " +
                                   (c.mode == 1 ? "64" : "0") + "\n");
    }
}

// Missing texts end the call before anything is printed; the input name is
// needed even for a raw key.
TEST_F(GetRawKeyDeathTest, MissingPassphraseOrInputName) {
    struct Case {
        const char* passphrase;
        const char* inputName;
        const char* expected;
    };
    static const Case cases[] = {
        {nullptr, "in", "ERROR _Tools 60 GetRawKey\nexitcode: 1\n"},
        {nullptr, nullptr, "ERROR _Tools 60 GetRawKey\nexitcode: 1\n"},
        {"pw", nullptr, "ERROR _Tools 62 GetRawKey\nexitcode: 1\n"},
        {"pw", "", "ERROR _Tools 62 GetRawKey\nexitcode: 1\n"},
        {KEY_HEX.c_str(), "", "ERROR _Tools 62 GetRawKey\nexitcode: 1\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.passphrase ? c.passphrase : "(none)") + " / " +
                     (c.inputName ? c.inputName : "(none)"));
        ChildOutput child;
        EXPECT_EXIT(
            {
                child.redirectBatch();
                GetRawKey(c.passphrase, 1, c.inputName);
            },
            testing::ExitedWithCode(1), "");
        EXPECT_EQ(child.out(), c.expected);
    }
}

// ---- through the real binary ----

// The lines of one trace from the one starting with first up to and
// including the one starting with last.
std::string traceSection(const std::string& trace, const std::string& first, const std::string& last) {
    size_t from = trace.find("\n" + first);
    size_t to = trace.find("\n" + last, from == std::string::npos ? 0 : from);
    if (from == std::string::npos || to == std::string::npos) return "";
    return trace.substr(from + 1, trace.find('\n', to + 1) - from);
}

std::string lineValue(const std::string& trace, const std::string& label) {
    size_t at = trace.find("\n" + label + ": ");
    if (at == std::string::npos) return "";
    at += label.size() + 3;
    return trace.substr(at, trace.find('\n', at) - at);
}

std::vector<uint8_t> fromHex(const std::string& text) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < text.size(); i += 2) {
        bytes.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

// Encrypting with /PE puts the XExInfo of the trace at the end of the
// container, under the key of its definition; decrypting reads it back and
// gets the same key (X-CHR given as the letter A this time).
TEST(StretchedKeyCommand, ContainerCarriesTheTrailerOfItsKey) {
    TempDir dir;
    const std::string plain = patternBytes(3000, 21);
    writeFile(dir.file("a.txt"), plain);
    const RunOptions inDir{dir.path, "", {}};
    RunResult encrypted = runCipher({"/B", "/P", "pass word", "/PE", "41", "11", "a.txt"}, inDir);
    ASSERT_EQ(encrypted.exitCode, 0) << encrypted.out;
    std::string info = lineValue(encrypted.out, "XExInfo");
    std::vector<uint8_t> infoBytes = fromHex(info);
    ASSERT_EQ(infoBytes.size(), 64u) << encrypted.out;
    std::string key = stretchedKey("pass word", std::string(infoBytes.begin(), infoBytes.end()), 0x41, 11);
    EXPECT_EQ(withoutTime(traceSection(encrypted.out, "pwd: ", "CIPHER-KEY: ")),
              "pwd: pass word\nXExInfo: " + info + "\nXChr: 0x41\nXExp: 11\npassphrase expanding...\n" +
                  std::string(79, '*') + "\ntime: T\npassphrase expanded!\nCIPHER-KEY: " + key + "\n");
    std::string container = readFile(dir.file("a.txt.cphr"));
    ASSERT_GT(container.size(), 64u);
    EXPECT_EQ(toHex(reinterpret_cast<const uint8_t*>(container.data()) + container.size() - 64, 64), info);

    RunResult decrypted = runCipher({"/B", "/P", "pass word", "/PE", "A", "11", "a.txt.cphr", "b.txt"}, inDir);
    ASSERT_EQ(decrypted.exitCode, 0) << decrypted.out;
    EXPECT_EQ(lineValue(decrypted.out, "XExInfo"), info);
    EXPECT_EQ(lineValue(decrypted.out, "CIPHER-KEY"), key);
    EXPECT_EQ(readFile(dir.file("b.txt")), plain);
    EXPECT_EQ(readFile(dir.file("a.txt.cphr")), container);
}

// An X-EXT outside 10..40, also one beyond 32 bits that would wrap to 10,
// ends after the trailer line and before any file is written.
TEST(StretchedKeyCommand, OutOfRangeExponentWritesNothing) {
    TempDir dir;
    writeFile(dir.file("a.txt"), "plain");
    for (const char* exp : {"9", "41", "4294967306", "-4294967286", "x"}) {
        SCOPED_TRACE(std::string("X-EXT ") + exp);
        RunResult run = runCipher({"/B", "/P", "pw", "/PE", "41", exp, "a.txt"}, RunOptions{dir.path, "", {}});
        EXPECT_EQ(run.exitCode, 1);
        std::string info = lineValue(run.out, "XExInfo");
        EXPECT_EQ(info.size(), 128u);
        EXPECT_EQ(traceSection(run.out, "pwd: ", "exitcode: "),
                  "pwd: pw\nXExInfo: " + info + "\nERROR _Tools 123 GetRawKey\nmessage: " + X_EXT_MESSAGE +
                      "\nexitcode: 1\n");
        EXPECT_EQ(listDir(dir.path), std::vector<std::string>{"a.txt"});
    }
}

}  // namespace
