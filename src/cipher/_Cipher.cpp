#include "cipher/_Cipher.h"

#include <cstdlib>
#include <cstring>

#include "app/_Tools.h"
#include "crypto/CryptoRand.h"
#include "crypto/Sha512.h"
#include "crypto/camellia.h"
#include "system/File.h"
#include "system/FileStream.h"
#include "system/MemAlloc.h"
#include "system/System.h"

uint8_t* workBuffer = nullptr;
CamelliaCtx* cipherCtx = nullptr;

enum { BLOCK = 16, WORK_BUFFER_SIZE = CHUNK_SIZE + BLOCK };

static uint8_t* chainBlock() { return workBuffer + CHUNK_SIZE; }

static void traceLine(const char* function, int line) {
    xcout("%s (%d) %s\n", "_Cipher", line, function);
}

static void xorBlock(uint8_t* block, const uint8_t* with) {
    for (int i = 0; i < BLOCK; ++i) block[i] ^= with[i];
}

// ---- padding ----

void AddPadding(const char* name) {
    int64_t length = getFileSizeByName(name);
    int low = static_cast<int>((16 - length % 16) % 16);
    int padSize;
    do {
        padSize = (nextRandomByte() & 0xF0) | low;
    } while (padSize == 0 || length + padSize < 240);
    xcout("padSize: %d\n", padSize);
    FILE* stream = fileOpen(name, "ab");
    for (int i = 0; i < padSize - 1; ++i) writeChar(stream, nextRandomByte());
    writeChar(stream, padSize);
    fileClose(stream);
}

int UnaddPadding(const char* name) {
    int64_t size = getFileSizeByName(name);
    if (size < 1) {
        traceLine("UnaddPadding", 34);
        return 0;
    }
    FILE* stream = fileOpen(name, "rb");
    fileSeek(stream, size - 1);
    int padSize = readChar(stream);
    xcout("padSize: %d\n", padSize);
    fileClose(stream);
    if (padSize < 1 || padSize > 255) fatalError("_Cipher", 45, "UnaddPadding");
    if (size < padSize) {
        traceLine("UnaddPadding", 49);
        return 0;
    }
    setFileSize(name, size - padSize);
    return 1;
}

// ---- random parts and hash ----

void AddRandPart(const char* name, int32_t count) {
    FILE* stream = fileOpen(name, "ab");
    for (int32_t i = 0; i < count; ++i) writeChar(stream, nextRandomByte());
    fileClose(stream);
}

int UnaddRandPart(const char* name, int32_t count) {
    int64_t size = getFileSizeByName(name);
    if (size < count) {
        traceLine("UnaddRandPart", 75);
        return 0;
    }
    setFileSize(name, size - count);
    return 1;
}

void AddHash(const char* name) {
    Sha512Ctx* ctx = sha512New();
    int64_t size = getFileSizeByName(name);
    sha512File(ctx, name, size);
    uint8_t digest[64];
    memcpy(digest, sha512Final(ctx), sizeof digest);
    free(ctx);
    printHex64("hash", digest);
    FILE* stream = fileOpen(name, "ab");
    fileWrite(stream, digest, sizeof digest);
    fileClose(stream);
}

int UnaddHash(const char* name) {
    int64_t size = getFileSizeByName(name);
    if (size < 64) {
        traceLine("UnaddHash", 110);
        return 0;
    }
    int64_t covered = size - 64;
    Sha512Ctx* ctx = sha512New();
    sha512File(ctx, name, covered);
    uint8_t computed[64];
    memcpy(computed, sha512Final(ctx), sizeof computed);
    free(ctx);
    printHex64("mkHash", computed);
    uint8_t stored[64];
    FILE* stream = fileOpen(name, "rb");
    fileSeek(stream, covered);
    fileRead(stream, stored, sizeof stored);
    fileClose(stream);
    printHex64("rdHash", stored);
    // Compared without an early exit.
    uint8_t difference = 0;
    for (int i = 0; i < 64; ++i) difference |= static_cast<uint8_t>(computed[i] ^ stored[i]);
    if (difference != 0) {
        traceLine("UnaddHash", 132);
        return 0;
    }
    setFileSize(name, covered);
    return 1;
}

// ---- reverse-CBC passes ----

void EncryptFileRCbc(const char* name, const uint8_t* key) {
    int64_t length = getFileSizeByName(name);
    if (length < 32) fatalError("_Cipher", 160, "EncryptFileRCbc");
    if (length % BLOCK != 0) fatalError("_Cipher", 161, "EncryptFileRCbc");
    FILE* reader = fileOpen(name, "rb");
    FILE* writer = fileOpen(name, "r+b");
    // The last plain block chains the first one: read it before any write.
    fileSeek(reader, length - BLOCK);
    fileRead(reader, chainBlock(), BLOCK);
    fileSeek(reader, 0);
    cipherCtx = camellia_create(key);
    for (int64_t remaining = length; remaining != 0;) {
        int32_t chunk = remaining < CHUNK_SIZE ? static_cast<int32_t>(remaining) : CHUNK_SIZE;
        fileRead(reader, workBuffer, chunk);
        const uint8_t* chain = chainBlock();
        for (int32_t offset = 0; offset < chunk; offset += BLOCK) {
            uint8_t* block = workBuffer + offset;
            xorBlock(block, chain);
            camellia_encrypt(cipherCtx, block, block);
            chain = block;
        }
        memcpy(chainBlock(), chain, BLOCK);
        fileWrite(writer, workBuffer, chunk);
        remaining -= chunk;
    }
    camellia_release(cipherCtx);
    cipherCtx = nullptr;
    fileClose(reader);
    fileClose(writer);
}

int DecryptFileRCbc(const char* name, const uint8_t* key) {
    int64_t length = getFileSizeByName(name);
    if (length < 32 || length % BLOCK != 0) {
        traceLine("DecryptFileRCbc", 202);
        return 0;
    }
    FILE* reader = fileOpen(name, "rb");
    FILE* writer = fileOpen(name, "r+b");
    cipherCtx = camellia_create(key);
    uint8_t lastPlain[BLOCK] = {0};
    // Walks from the end: the last block alone first (its plain text chains
    // the first block), then whole chunks downward. The reader only ever
    // reads below the lowest offset written so far.
    for (int64_t end = length;;) {
        int32_t chunk = end == length ? BLOCK : (end < CHUNK_SIZE ? static_cast<int32_t>(end) : CHUNK_SIZE);
        int64_t start = end - chunk;
        fileSeek(reader, start);
        fileRead(reader, workBuffer, chunk);
        if (start > 0) {
            fileSeek(reader, start - BLOCK);
            fileRead(reader, chainBlock(), BLOCK);
        } else {
            memcpy(chainBlock(), lastPlain, BLOCK);
        }
        for (int32_t offset = chunk - BLOCK; offset >= 0; offset -= BLOCK) {
            uint8_t* block = workBuffer + offset;
            camellia_decrypt(cipherCtx, block, block);
            xorBlock(block, offset > 0 ? block - BLOCK : chainBlock());
        }
        if (end == length) memcpy(lastPlain, workBuffer, BLOCK);
        fileSeek(writer, start);
        fileWrite(writer, workBuffer, chunk);
        if (start == 0) break;
        end = start;
    }
    camellia_release(cipherCtx);
    cipherCtx = nullptr;
    fileClose(reader);
    fileClose(writer);
    return 1;
}

// ---- the pipeline ----

static void traceCipher(int line) { traceLine("Cipher", line); }

int Cipher(const char* outputName, const char* inputName, int removeRFileFlag, int cphrMode,
           const uint8_t* key) {
    if (workBuffer == nullptr) workBuffer = static_cast<uint8_t*>(memAlloc(WORK_BUFFER_SIZE));
    traceCipher(261);
    if (removeRFileFlag) {
        fileDelete(outputName);
        fileMove(inputName, outputName);
    } else {
        fileCopy(inputName, outputName);
    }
    traceCipher(271);

    if (cphrMode == 1) {
        AddPadding(outputName);
        AddRandPart(outputName, 64);
        AddHash(outputName);
        AddRandPart(outputName, 16);
        EncryptFileRCbc(outputName, key);
        EncryptFileRCbc(outputName, key + 32);
        if (xExFlag) {
            traceCipher(284);
            FILE* stream = fileOpen(outputName, "ab");
            fileWrite(stream, XExInfo, xExInfoSize);
            fileClose(stream);
        }
        traceCipher(327);
        return 1;
    }

    if (xExFlag) setFileSize(outputName, getFileSizeByName(outputName) - xExInfoSize);
    if (!DecryptFileRCbc(outputName, key + 32)) {
        traceCipher(298);
        return 0;
    }
    if (!DecryptFileRCbc(outputName, key)) {
        traceCipher(303);
        return 0;
    }
    if (!UnaddRandPart(outputName, 16)) {
        traceCipher(308);
        return 0;
    }
    if (!UnaddHash(outputName)) {
        traceCipher(313);
        return 0;
    }
    if (!UnaddRandPart(outputName, 64)) {
        traceCipher(318);
        return 0;
    }
    if (!UnaddPadding(outputName)) {
        traceCipher(323);
        return 0;
    }
    traceCipher(327);
    return 1;
}
