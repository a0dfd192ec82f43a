// libFuzzer target: the decryption pipeline, Cipher (output, input, /R flag,
// 2, key) with one fixed key, on files in a private directory.
//
// Input: one flag byte, then the payload.
//   bit 0     xExFlag: the decryption first cuts a 64-byte trailer
//   bit 1     removeRFileFlag (/R): the container is moved, not copied
//   bits 2-3  how the payload becomes the container:
//     0, 3    raw: the payload is the container.
//     1       sealed: payload = mutation kind, position (2 bytes, little
//             endian), value, pool seed, encryption flags (bit 0: append a
//             trailer), then the plain file. The plain file is encrypted with
//             the real pipeline, then the mutation is applied.
//     2       forged: payload = pool seed, then a body B (cut to whole
//             16-byte blocks). The container is B, its SHA-512 digest (from
//             OpenSSL) and 16 random bytes under both reverse-CBC passes, so
//             it passes the hash check and the later layers (random part,
//             padding byte) see fuzz-chosen bytes.
// Random bytes come from a pool seeded by the input, so every run can be
// reproduced.
//
// Random containers almost never pass the hash check; the sealed and forged
// modes reach the layers behind it. Both know the outcome in advance (the
// result, a fatal error, the plain file) and the harness checks it. In every
// mode: a fatal error ends with code 1, the result is 0 or 1, no stream is
// left open, a copied input is never changed, and under /R a refused
// container is back under its own name, byte for byte, with no output left.
//
// Seeds (fuzz/corpus/decrypt_fuzz): containers made by the cipher binary with
// the fixed key as /P text (FIXED_KEY_HEX below) behind flag byte 0x00, the
// same with /R and with a 64-byte trailer, and a few sealed and forged inputs.
#include <openssl/evp.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "app/_Tools.h"
#include "cipher/_Cipher.h"
#include "crypto/CryptoRand.h"
#include "harness.h"
#include "system/MemAlloc.h"
#include "system/System.h"

namespace {

// The fixed key, bytes 0x00 to 0x3f; as /P text:
// 000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f
// 202122232425262728292a2b2c2d2e2f303132333435363738393a3b3c3d3e3f
uint8_t fixedKey[64];

enum Outcome { REFUSED = 0, DONE = 1, FATAL, UNKNOWN };

struct Paths {
    std::string input, output, scratch, scratchOut;
};
Paths paths;

std::string sha512(const std::string& bytes) {
    uint8_t digest[64];
    unsigned length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha512(), nullptr) != 1) {
        harnessFail("EVP_Digest");
    }
    return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}

std::string poolBytes(size_t count) {
    std::string bytes;
    for (size_t i = 0; i < count; ++i) bytes += static_cast<char>(nextRandomByte());
    return bytes;
}

// The /PE trailer settings as the pipeline reads them.
void setTrailer(bool on) {
    free(XExInfo);
    XExInfo = nullptr;
    xExFlag = on ? 1 : 0;
    xExInfoSize = on ? 64 : 0;
    if (on) {
        XExInfo = static_cast<uint8_t*>(memAlloc(64));
        for (int i = 0; i < 64; ++i) XExInfo[i] = static_cast<uint8_t>(nextRandomByte());
    }
}

struct Case {
    std::string container;
    bool trailerCut = false;
    bool removeR = false;
    Outcome expected = UNKNOWN;
    std::string plain;  // the decrypted file, when expected is DONE
};

// The plain file encrypted by the real pipeline, then changed as the input
// says. Decryption succeeds exactly when the first N bytes (the two passes'
// output) reach it unchanged and nothing but the trailer follows them.
void buildSealed(const uint8_t* data, size_t size, Case* c) {
    uint8_t head[6] = {0, 0, 0, 0, 0, 0};
    size_t taken = size < sizeof head ? size : sizeof head;
    memcpy(head, data, taken);
    data += taken;
    size -= taken;
    const int kind = head[0] % 6;
    const uint32_t position = head[1] | static_cast<uint32_t>(head[2]) << 8;
    const uint8_t value = head[3];
    harnessSeedRandomPool(head[4]);
    const bool encTrailer = (head[5] & 1) != 0;

    c->plain.assign(reinterpret_cast<const char*>(data), size);
    writeWholeFile(paths.scratch, c->plain);
    setTrailer(encTrailer);
    if (Cipher(paths.scratchOut.c_str(), paths.scratch.c_str(), 0, 1, fixedKey) != 1) {
        harnessFail("encryption gave 0");
    }
    std::string sealed;
    if (!readWholeFile(paths.scratchOut, &sealed)) harnessFail("cannot read the sealed container");
    std::string original;
    if (!readWholeFile(paths.scratch, &original) || original != c->plain) {
        harnessFail("encryption changed its input");
    }
    unlink(paths.scratch.c_str());
    unlink(paths.scratchOut.c_str());
    const size_t n = sealed.size() - (encTrailer ? 64 : 0);
    if (n % 16 != 0 || n < 384 || n < c->plain.size() + 144 || n > c->plain.size() + 144 + 255) {
        harnessFail("container size", std::to_string(n) + " for " + std::to_string(c->plain.size()));
    }

    std::string& m = c->container;
    m = sealed;
    switch (kind) {
    case 1:  // one byte changed
        m[position % m.size()] ^= static_cast<char>(value != 0 ? value : 0x80);
        break;
    case 2:  // cut at the end
        m.resize(m.size() - position % (m.size() + 1));
        break;
    case 3:  // bytes appended
        m.append(static_cast<size_t>(value % 128) + 1, static_cast<char>(position));
        break;
    case 4:  // one byte inserted
        m.insert(position % (m.size() + 1), 1, static_cast<char>(value));
        break;
    case 5: {  // two whole blocks swapped
        size_t blocks = m.size() / 16;
        size_t a = position % blocks, b = value % blocks;
        for (int i = 0; i < 16; ++i) std::swap(m[a * 16 + i], m[b * 16 + i]);
        break;
    }
    default:
        break;
    }

    const size_t cut = c->trailerCut ? 64 : 0;
    if (m.size() < cut) {
        c->expected = FATAL;  // the trailer cut asks for a negative size
    } else if (m.size() - cut == n && m.compare(0, n, sealed, 0, n) == 0) {
        c->expected = DONE;
    } else {
        c->expected = REFUSED;
    }
}

// A container whose digest is right for any body: the layers behind the hash
// check get the body's bytes.
void buildForged(const uint8_t* data, size_t size, Case* c) {
    harnessSeedRandomPool(size > 0 ? data[0] : 0);
    if (size > 0) {
        ++data;
        --size;
    }
    std::string body(reinterpret_cast<const char*>(data), size - size % 16);
    std::string plainContainer = body + sha512(body) + poolBytes(16);
    writeWholeFile(paths.scratch, plainContainer);
    EncryptFileRCbc(paths.scratch.c_str(), fixedKey);
    EncryptFileRCbc(paths.scratch.c_str(), fixedKey + 32);
    if (!readWholeFile(paths.scratch, &c->container)) harnessFail("cannot read the forged container");
    unlink(paths.scratch.c_str());
    if (c->container.size() != plainContainer.size()) harnessFail("a pass changed the length");
    if (c->trailerCut) c->container += poolBytes(64);

    // After the passes, the 16 random bytes and the digest are cut: the body
    // is left. Then the 64-byte random part, then the padding.
    if (body.size() < 64) {
        c->expected = REFUSED;
        return;
    }
    std::string padded = body.substr(0, body.size() - 64);
    if (padded.empty()) {
        c->expected = REFUSED;
        return;
    }
    const size_t padSize = static_cast<uint8_t>(padded.back());
    if (padSize == 0) {
        c->expected = FATAL;
    } else if (padSize > padded.size()) {
        c->expected = REFUSED;
    } else {
        c->expected = DONE;
        c->plain = padded.substr(0, padded.size() - padSize);
    }
}

void buildRaw(const uint8_t* data, size_t size, Case* c) {
    c->container.assign(reinterpret_cast<const char*>(data), size);
    const size_t cut = c->trailerCut ? 64 : 0;
    if (size < cut) {
        c->expected = FATAL;
    } else if (size - cut < 32 || (size - cut) % 16 != 0) {
        c->expected = REFUSED;  // no pass can run
    } else {
        c->expected = UNKNOWN;  // a wrong key or a damaged file, or a real container
    }
}

const char* outcomeName(int outcome) {
    switch (outcome) {
    case REFUSED: return "refused";
    case DONE: return "done";
    case FATAL: return "fatal";
    default: return "unknown";
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    for (int i = 0; i < 64; ++i) fixedKey[i] = static_cast<uint8_t>(i);
    const std::string& dir = harnessMakeWorkDir("cipher-decrypt-fuzz");
    paths.input = dir + "/in.cphr";
    paths.output = dir + "/in";
    paths.scratch = dir + "/scratch";
    paths.scratchOut = dir + "/scratch.cphr";
    harnessInstallExitHook();
    if (workBuffer == nullptr) workBuffer = static_cast<uint8_t*>(memAlloc(WORK_BUFFER_SIZE));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return -1;
    const uint8_t flags = data[0];
    ++data;
    --size;

    harnessResetState();
    xcout = xcoutNull;
    batchMode = 1;
    harnessSeedRandomPool(0);

    Case c;
    c.trailerCut = (flags & 1) != 0;
    c.removeR = (flags & 2) != 0;
    switch ((flags >> 2) & 3) {
    case 1: buildSealed(data, size, &c); break;
    case 2: buildForged(data, size, &c); break;
    default: buildRaw(data, size, &c); break;
    }
    setTrailer(c.trailerCut);

    unlink(paths.output.c_str());
    writeWholeFile(paths.input, c.container);
    const int descriptors = harnessOpenDescriptors();
    int outcome;
    try {
        outcome = Cipher(paths.output.c_str(), paths.input.c_str(), c.removeR ? 1 : 0, 2, fixedKey);
        if (outcome != 0 && outcome != 1) harnessFail("Cipher gave", std::to_string(outcome));
    } catch (const HarnessExit& e) {
        if (e.code != 1) harnessFail("a fatal error ended with", std::to_string(e.code));
        outcome = FATAL;
    }
    if (harnessOpenDescriptors() != descriptors) harnessFail("a stream was left open");
    if (c.expected != UNKNOWN && outcome != c.expected) {
        harnessFail("outcome", std::string(outcomeName(outcome)) + ", expected " + outcomeName(c.expected));
    }

    std::string input, output;
    const bool haveInput = readWholeFile(paths.input, &input);
    const bool haveOutput = readWholeFile(paths.output, &output);
    if (!c.removeR && (!haveInput || input != c.container)) harnessFail("the copied input changed");
    if (outcome == DONE) {
        if (!haveOutput) harnessFail("no output after success");
        if (c.expected == DONE && output != c.plain) harnessFail("the output is not the plain file");
        if (c.removeR && haveInput) harnessFail("/R left the input behind");
    }
    if (c.removeR && outcome == REFUSED) {
        if (!haveInput || input != c.container) harnessFail("/R did not restore the container");
        if (haveOutput) harnessFail("/R left an output after a refusal");
    }
    if (c.removeR && outcome == FATAL && !haveInput && !haveOutput) harnessFail("/R lost the container");

    unlink(paths.input.c_str());
    unlink(paths.output.c_str());
    harnessResetState();
    return 0;
}
