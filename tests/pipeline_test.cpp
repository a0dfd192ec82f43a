// The container pipeline end to end through the real binary: round trips,
// the container's bytes decrypted independently with OpenSSL, the exact
// trace, and refused decryptions, which must lose nothing (under /R the
// container must be back under its own name, byte for byte).
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "support/run.h"

namespace {

const std::string PASSPHRASE = "correct horse";
const char* const FAILED_BOX =
    "[復号失敗] 復号できませんでした。\n鍵またはパスフレーズが違うかファイルが壊れています。\n";
// Crosses two chunk boundaries of the reverse-CBC passes.
const size_t LARGE = 3300007;

std::string hexOf(const std::string& bytes) {
    return toHex(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

std::string fromHex(const std::string& hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes += static_cast<char>(std::stoul(hex.substr(i, 2), nullptr, 16));
    }
    return bytes;
}

std::string sha512(const std::string& bytes) {
    uint8_t digest[64];
    unsigned length = 0;
    EXPECT_EQ(EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha512(), nullptr), 1);
    return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}

// OpenSSL's Camellia-256-CBC decryption without padding.
std::string cbcDecrypt(const std::string& key, const std::string& iv, const std::string& input) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    std::string output(input.size() + 16, '\0');
    int length = 0, tail = 0;
    EXPECT_EQ(EVP_DecryptInit_ex(ctx, EVP_camellia_256_cbc(), nullptr,
                                 reinterpret_cast<const uint8_t*>(key.data()),
                                 reinterpret_cast<const uint8_t*>(iv.data())),
              1);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EXPECT_EQ(EVP_DecryptUpdate(ctx, reinterpret_cast<uint8_t*>(&output[0]), &length,
                                reinterpret_cast<const uint8_t*>(input.data()), static_cast<int>(input.size())),
              1);
    EXPECT_EQ(EVP_DecryptFinal_ex(ctx, reinterpret_cast<uint8_t*>(&output[length]), &tail), 1);
    EVP_CIPHER_CTX_free(ctx);
    output.resize(static_cast<size_t>(length + tail));
    return output;
}

// Reverse-CBC decryption: the IV is the last plain block, which is the last
// cipher block decrypted and XORed with the one before it.
std::string reverseCbcDecrypt(const std::string& key, const std::string& cipher) {
    const size_t n = cipher.size();
    const std::string last = cbcDecrypt(key, cipher.substr(n - 32, 16), cipher.substr(n - 16));
    return cbcDecrypt(key, last, cipher);
}

std::string rawKeyHex() { return hexOf(patternBytes(64, 0xC0FFEE)); }

// How a run derives its key, with the trailer that it leaves on the container.
struct KeyMode {
    const char* name;
    std::vector<std::string> args;
    size_t trailer;
};

std::vector<KeyMode> keyModes() {
    return {
        {"passphrase", {"/P", PASSPHRASE}, 0},
        {"raw key", {"/P", rawKeyHex()}, 0},
        {"passphrase with /PE", {"/P", PASSPHRASE, "/PE", "41", "10"}, 64},
        {"raw key with /PE", {"/P", rawKeyHex(), "/PE", "41", "10"}, 0},
    };
}

std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The value of the first "<label>: " line of a trace.
std::string traceValue(const std::string& trace, const std::string& label) {
    for (const std::string& line : splitLines(trace)) {
        if (line.compare(0, label.size() + 2, label + ": ") == 0) return line.substr(label.size() + 2);
    }
    ADD_FAILURE() << "no " << label << " line in\n" << trace;
    return "";
}

// A literal line as a regular expression.
std::string lit(const std::string& text) {
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    return std::regex_replace(text, special, R"(\$&)");
}

void expectTrace(const std::string& trace, const std::vector<std::string>& patterns) {
    const std::vector<std::string> lines = splitLines(trace);
    EXPECT_EQ(lines.size(), patterns.size()) << trace;
    for (size_t i = 0; i < lines.size() && i < patterns.size(); ++i) {
        EXPECT_TRUE(std::regex_match(lines[i], std::regex(patterns[i])))
            << "line " << i + 1 << ": \"" << lines[i] << "\" does not match " << patterns[i];
    }
}

// Checks the plain container (both passes undone) against the plain file:
// the file, padding ending in its size, 64 random bytes, the SHA-512 of all
// that, 16 random bytes.
void expectLayout(const std::string& container, const std::string& plain) {
    const size_t n = container.size();
    ASSERT_GE(n, 384u);
    ASSERT_EQ(n % 16, 0u);
    const size_t L = plain.size();
    const size_t p = n - 144 - L;
    ASSERT_GE(p, 1u);
    ASSERT_LE(p, 255u);
    EXPECT_EQ(container.compare(0, L, plain), 0) << "plain file";
    EXPECT_EQ(static_cast<uint8_t>(container[L + p - 1]), p) << "pad size byte";
    EXPECT_EQ(hexOf(container.substr(L + p + 64, 64)), hexOf(sha512(container.substr(0, L + p + 64))));
}

class PipelineTest : public ::testing::Test {
protected:
    std::string name(const std::string& file) const { return dir.file(file); }
    TempDir dir;
};

TEST_F(PipelineTest, RoundTripsEveryLengthWithEveryKeyMode) {
    for (const KeyMode& mode : keyModes()) {
        for (size_t length : {size_t{0}, size_t{1}, size_t{15}, size_t{16}, size_t{239}, size_t{240},
                              size_t{241}, size_t{1000}, LARGE}) {
            SCOPED_TRACE(std::string(mode.name) + ", length " + std::to_string(length));
            const std::string plain = patternBytes(length, static_cast<uint32_t>(length));
            writeFile(name("plain.bin"), plain);
            RunResult enc = runCipher(concat(concat({"/B"}, mode.args), {name("plain.bin")}));
            ASSERT_EQ(enc.exitCode, 0) << enc.out;
            EXPECT_EQ(readFile(name("plain.bin")), plain);
            const std::string container = readFile(name("plain.bin.cphr"));
            const size_t n = container.size() - mode.trailer;
            EXPECT_EQ(n % 16, 0u);
            EXPECT_EQ(n - length - 144, std::stoul(traceValue(enc.out, "padSize")));
            if (length == 0) {
                EXPECT_EQ(container.size(), 384 + mode.trailer);
            }
            if (mode.trailer != 0) {
                EXPECT_EQ(hexOf(container.substr(n)), traceValue(enc.out, "XExInfo"));
            }

            RunResult dec = runCipher(concat(concat({"/B"}, mode.args), {name("plain.bin.cphr"), name("out.bin")}));
            ASSERT_EQ(dec.exitCode, 0) << dec.out;
            EXPECT_TRUE(readFile(name("out.bin")) == plain);
            EXPECT_TRUE(readFile(name("plain.bin.cphr")) == container);
            EXPECT_EQ(listDir(dir.path), (std::vector<std::string>{"out.bin", "plain.bin", "plain.bin.cphr"}));
            EXPECT_EQ(enc.err + dec.err, "");
            unlink(name("out.bin").c_str());
            unlink(name("plain.bin.cphr").c_str());
        }
    }
}

TEST_F(PipelineTest, SameFileTwiceGivesDifferentContainers) {
    writeFile(name("a"), patternBytes(100, 1));
    ASSERT_EQ(runCipher({"/B", "/S", "/P", PASSPHRASE, name("a"), name("1.cphr")}).exitCode, 0);
    ASSERT_EQ(runCipher({"/B", "/S", "/P", PASSPHRASE, name("a"), name("2.cphr")}).exitCode, 0);
    EXPECT_NE(readFile(name("1.cphr")), readFile(name("2.cphr")));
}

TEST_F(PipelineTest, MoveSwitchLeavesOnlyTheResult) {
    const std::string plain = patternBytes(LARGE, 2);
    writeFile(name("a.txt"), plain);
    ASSERT_EQ(runCipher({"/B", "/R", "/P", PASSPHRASE, name("a.txt")}).exitCode, 0);
    EXPECT_EQ(listDir(dir.path), std::vector<std::string>{"a.txt.cphr"});
    ASSERT_EQ(runCipher({"/B", "/R", "/P", PASSPHRASE, name("a.txt.cphr")}).exitCode, 0);
    EXPECT_EQ(listDir(dir.path), std::vector<std::string>{"a.txt"});
    EXPECT_TRUE(readFile(name("a.txt")) == plain);
}

TEST_F(PipelineTest, ContainerDecryptsWithOpenSslIntoTheDocumentedLayout) {
    for (const KeyMode& mode : keyModes()) {
        for (size_t length : {size_t{0}, size_t{1000}, LARGE}) {
            SCOPED_TRACE(std::string(mode.name) + ", length " + std::to_string(length));
            const std::string plain = patternBytes(length, 77);
            writeFile(name("p"), plain);
            RunResult enc = runCipher(concat(concat({"/B"}, mode.args), {name("p"), name("c")}));
            ASSERT_EQ(enc.exitCode, 0) << enc.out;
            std::string key = fromHex(traceValue(enc.out, "CIPHER-KEY"));
            if (mode.args[1] == PASSPHRASE && mode.trailer == 0) {
                EXPECT_EQ(hexOf(key), hexOf(sha512(PASSPHRASE)));
            }
            if (mode.args[1] != PASSPHRASE) {
                EXPECT_EQ(hexOf(key), rawKeyHex());
            }
            std::string container = readFile(name("c"));
            container.resize(container.size() - mode.trailer);
            const std::string inner = reverseCbcDecrypt(key.substr(32), container);
            const std::string plainContainer = reverseCbcDecrypt(key.substr(0, 32), inner);
            expectLayout(plainContainer, plain);
            EXPECT_EQ(hexOf(plainContainer.substr(plainContainer.size() - 80, 64)), traceValue(enc.out, "hash"));
        }
    }
}

TEST_F(PipelineTest, TraceOfAnEncryptionAndADecryption) {
    const std::string plain = patternBytes(1000, 3);
    writeFile(name("p.txt"), plain);
    const std::string key = hexOf(sha512(PASSPHRASE));
    const std::string k1 = key.substr(0, 64), k2 = key.substr(64);
    RunResult enc = runCipher({"/P", PASSPHRASE, name("p.txt")});
    ASSERT_EQ(enc.exitCode, 0);
    EXPECT_EQ(enc.err, "");
    const std::string padSize = traceValue(enc.out, "padSize");
    const std::string hash = traceValue(enc.out, "hash");
    expectTrace(enc.out, {
                             lit("removeRFileFlag: 0"),
                             lit("cphrMode: 1"),
                             lit("< " + name("p.txt")),
                             lit("> " + name("p.txt.cphr")),
                             lit("pwd: " + PASSPHRASE),
                             lit("CIPHER-KEY: " + key),
                             lit("_Cipher (261) Cipher"),
                             lit("_Cipher (271) Cipher"),
                             "padSize: (8|24|40|56|72|88|104|120|136|152|168|184|200|216|232|248)",
                             "hash: [0-9a-f]{128}",
                             lit("rawKey: " + k1),
                             lit("rawKey: " + k2),
                             lit("_Cipher (327) Cipher"),
                             lit("exitcode: 0"),
                         });

    ASSERT_EQ(rename(name("p.txt").c_str(), name("original").c_str()), 0);
    RunResult dec = runCipher({"/P", PASSPHRASE, name("p.txt.cphr")});
    ASSERT_EQ(dec.exitCode, 0);
    EXPECT_EQ(dec.err, "");
    expectTrace(dec.out, {
                             lit("removeRFileFlag: 0"),
                             lit("cphrMode: 2"),
                             lit("< " + name("p.txt.cphr")),
                             lit("> " + name("p.txt")),
                             lit("pwd: " + PASSPHRASE),
                             lit("CIPHER-KEY: " + key),
                             lit("_Cipher (261) Cipher"),
                             lit("_Cipher (271) Cipher"),
                             lit("rawKey: " + k2),
                             lit("rawKey: " + k1),
                             lit("mkHash: " + hash),
                             lit("rdHash: " + hash),
                             lit("padSize: " + padSize),
                             lit("_Cipher (327) Cipher"),
                             lit("exitcode: 0"),
                         });
    EXPECT_EQ(readFile(name("p.txt")), plain);
}

TEST_F(PipelineTest, TrailerLineComesAfterBothPasses) {
    writeFile(name("p"), "x");
    for (const KeyMode& mode : keyModes()) {
        if (mode.args.size() < 3) continue;
        SCOPED_TRACE(mode.name);
        RunResult enc = runCipher(concat(mode.args, {name("p"), name("c")}));
        ASSERT_EQ(enc.exitCode, 0);
        const std::string key = traceValue(enc.out, "CIPHER-KEY");
        const std::string trace = enc.out.substr(enc.out.find("_Cipher (261)"));
        expectTrace(trace, {
                               lit("_Cipher (261) Cipher"),
                               lit("_Cipher (271) Cipher"),
                               "padSize: (239|255)",
                               "hash: [0-9a-f]{128}",
                               lit("rawKey: " + key.substr(0, 64)),
                               lit("rawKey: " + key.substr(64)),
                               lit("_Cipher (284) Cipher"),
                               lit("_Cipher (327) Cipher"),
                               lit("exitcode: 0"),
                           });
        const size_t n = readFile(name("c")).size() - mode.trailer;
        EXPECT_TRUE(n == 384 || n == 400) << n;
        unlink(name("c").c_str());
    }
}

// ---- refused decryptions ----

struct Refusal {
    const char* name;
    size_t length;                        // of the plain file
    std::vector<std::string> encryptKey;  // switches of the encrypting run
    std::vector<std::string> decryptKey;  // and of the decrypting run
    long damageAt;                        // flip a byte here (negative: from the end); 0 = none
    size_t cutTo;                         // cut the container to this length (0 = keep), or
    size_t cutBy;                         // by this many bytes
    bool passesRun;                       // whether both passes ran before the refusal
    const char* layerLine;
    const char* cipherLine;
};

std::vector<Refusal> refusals() {
    const std::vector<std::string> pw = {"/P", PASSPHRASE};
    const std::vector<std::string> pwPE = {"/P", PASSPHRASE, "/PE", "41", "10"};
    const char* hashLine = "_Cipher (132) UnaddHash";
    const char* lengthLine = "_Cipher (202) DecryptFileRCbc";
    return {
        {"wrong passphrase", 1000, pw, {"/P", "correct horse!"}, 0, 0, 0, true, hashLine, "_Cipher (313) Cipher"},
        {"wrong passphrase, large", LARGE, pw, {"/P", "x"}, 0, 0, 0, true, hashLine, "_Cipher (313) Cipher"},
        {"wrong raw key", 10, {"/P", rawKeyHex()}, pw, 0, 0, 0, true, hashLine, "_Cipher (313) Cipher"},
        {"missing /PE", 1000, pwPE, pw, 0, 0, 0, true, hashLine, "_Cipher (313) Cipher"},
        {"extra /PE", 1000, pw, pwPE, 0, 0, 0, true, hashLine, "_Cipher (313) Cipher"},
        {"other X-CHR", 1000, pwPE, {"/P", PASSPHRASE, "/PE", "42", "10"}, 0, 0, 0, true, hashLine,
         "_Cipher (313) Cipher"},
        {"trailer byte flipped", 1000, pwPE, pwPE, -1, 0, 0, true, hashLine, "_Cipher (313) Cipher"},
        {"first byte flipped", 1000, pw, pw, 1, 0, 0, true, hashLine, "_Cipher (313) Cipher"},
        {"middle byte flipped", LARGE, pw, pw, 1600008, 0, 0, true, hashLine, "_Cipher (313) Cipher"},
        {"byte of the block before the last flipped", 1000, pw, pw, -17, 0, 0, true, hashLine,
         "_Cipher (313) Cipher"},
        {"last byte flipped", 1000, pw, pw, -1, 0, 0, true, hashLine, "_Cipher (313) Cipher"},
        {"a block short", 1000, pw, pw, 0, 0, 16, true, hashLine, "_Cipher (313) Cipher"},
        {"a byte short", 1000, pw, pw, 0, 0, 1, false, lengthLine, "_Cipher (298) Cipher"},
        {"a byte short with /PE", 1000, pwPE, pwPE, 0, 0, 1, false, lengthLine, "_Cipher (298) Cipher"},
        {"cut to 16 bytes", 1000, pw, pw, 0, 16, 0, false, lengthLine, "_Cipher (298) Cipher"},
        {"cut to 100 bytes with /PE", 1000, pwPE, pwPE, 0, 100, 0, false, lengthLine, "_Cipher (298) Cipher"},
    };
}

std::string normalizeTime(const std::string& trace) {
    return std::regex_replace(trace, std::regex("\ntime: [0-9]+\n"), "\ntime: *\n");
}

TEST_F(PipelineTest, RefusedDecryptionLosesNothing) {
    for (const Refusal& r : refusals()) {
        SCOPED_TRACE(r.name);
        TempDir work;
        const std::string plainName = work.file("plain"), input = work.file("data.cphr");
        writeFile(plainName, patternBytes(r.length, 5));
        ASSERT_EQ(runCipher(concat(concat({"/B", "/S"}, r.encryptKey), {plainName, input})).exitCode, 0);
        unlink(plainName.c_str());
        std::string container = readFile(input);
        if (r.damageAt != 0) {
            size_t at = r.damageAt > 0 ? static_cast<size_t>(r.damageAt) : container.size() - static_cast<size_t>(-r.damageAt);
            container[at] ^= 0x08;
        }
        if (r.cutTo != 0) container.resize(r.cutTo);
        if (r.cutBy != 0) container.resize(container.size() - r.cutBy);
        writeFile(input, container);

        // Copy mode, with the box: the input is untouched and no output is left.
        RunResult copy = runCipher(concat(r.decryptKey, {input}));
        EXPECT_EQ(copy.exitCode, 3);
        EXPECT_EQ(copy.err, FAILED_BOX);
        EXPECT_EQ(listDir(work.path), std::vector<std::string>{"data.cphr"});
        EXPECT_TRUE(readFile(input) == container);
        std::vector<std::string> lines = splitLines(copy.out);
        ASSERT_GE(lines.size(), 8u);
        const std::vector<std::string> tail(lines.end() - 4, lines.end());
        EXPECT_EQ(tail, (std::vector<std::string>{r.layerLine, r.cipherLine, "_Main (139) main", "exitcode: 3"}));
        size_t keyLines = 0;
        for (const std::string& line : lines) keyLines += line.compare(0, 8, "rawKey: ") == 0;
        EXPECT_EQ(keyLines, r.passesRun ? 2u : 0u);

        // Move mode: the same trace, and the container is back under its name.
        RunResult move = runCipher(concat(concat({"/B", "/R"}, r.decryptKey), {input}));
        EXPECT_EQ(move.exitCode, 3);
        EXPECT_EQ(move.err, "");
        EXPECT_EQ(listDir(work.path), std::vector<std::string>{"data.cphr"});
        EXPECT_TRUE(readFile(input) == container);
        std::string expected = normalizeTime(copy.out);
        expected.replace(0, strlen("removeRFileFlag: 0"), "removeRFileFlag: 1");
        EXPECT_EQ(normalizeTime(move.out), expected);
    }
}

TEST_F(PipelineTest, RefusedMoveDecryptionReplacesAnExistingOutputWithNothing) {
    // The user agreed to overwrite the output; after the refusal it is gone
    // and the container is back.
    writeFile(name("p"), patternBytes(300, 8));
    ASSERT_EQ(runCipher({"/B", "/S", "/P", PASSPHRASE, name("p"), name("d.cphr")}).exitCode, 0);
    const std::string container = readFile(name("d.cphr"));
    RunResult r = runCipher({"/B", "/R", "/P", "wrong", name("d.cphr"), name("p")});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_NE(r.out.find("上書きします。\n"), std::string::npos);
    EXPECT_EQ(listDir(dir.path), std::vector<std::string>{"d.cphr"});
    EXPECT_TRUE(readFile(name("d.cphr")) == container);
}

}  // namespace
