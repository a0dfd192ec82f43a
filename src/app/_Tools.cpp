#include "app/_Tools.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "crypto/CryptoRand.h"
#include "crypto/Sha512.h"
#include "platform/platform.h"
#include "system/FileStream.h"
#include "system/MemAlloc.h"
#include "system/System.h"

int xExFlag = 0;
int32_t xChr = 0;
int32_t xExp = 0;
uint8_t cipherKey[64];
uint8_t* XExInfo = nullptr;
int32_t xExInfoSize = 0;
// Stars of the stretching progress line printed so far.
static int32_t progressCount = 0;

enum { STRETCH_BLOCK = 1024, PROGRESS_STARS = 79, SHA512_BLOCK = 128 };

// Key material that is no longer needed.
static void wipe(void* bytes, size_t size) {
    volatile uint8_t* p = static_cast<volatile uint8_t*>(bytes);
    for (size_t i = 0; i < size; ++i) p[i] = 0;
}

static int hexDigitValue(unsigned char c) {
    return (c & 0x40) ? (c & ~0x20) - 0x37 : c - 0x30;
}

bool isRawKeyHex(const char* text) {
    size_t i = 0;
    for (; text[i] != '\0'; ++i) {
        if (i >= 128) return false;
        char c = text[i];
        bool hex = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
        if (!hex) return false;
    }
    return i == 128;
}

void printHex64(const char* label, const uint8_t* block) {
    char hex[129];
    for (int i = 0; i < 64; ++i) snprintf(hex + 2 * i, 3, "%02x", block[i]);
    xcout("%s: %s\n", label, hex);
    wipe(hex, sizeof hex);
}

// Reads the trailer of the input, or leaves zeros when the file is too short.
static void readTrailer(const char* inputName) {
    int64_t size = getFileSizeByName(inputName);
    if (size < 64) {
        xcout("NO-X-EX-INFO!\n");
        return;
    }
    FILE* stream = fileOpen(inputName, "rb");
    fileSeek(stream, size - 64);
    fileRead(stream, XExInfo, 64);
    fileClose(stream);
}

// One star of the progress line. The plain "%s" form goes out without
// formatting into a new block, so the loop never allocates.
static void printStar() {
    xcout("%s", "*");
    ++progressCount;
}

// Hashes 2^(xExp-10) blocks of 1,024 filler bytes under the star line into
// a context that already holds fed bytes (passphrase and XExInfo). The one
// block buffer is fed again and again; nothing is allocated in the loop.
// The filler is all one byte, so where the updates split it is free: the
// bytes that complete the 128-byte SHA-512 block left open go first and the
// last block is that much shorter. Every update in the loop then starts on
// a block boundary and is hashed straight from the buffer, never copied
// through the context's own block (which costs some 3% otherwise).
static void stretch(Sha512Ctx* ctx, int64_t fed) {
    uint8_t* stretchBuffer = static_cast<uint8_t*>(memAlloc(STRETCH_BLOCK));
    memset(stretchBuffer, xChr & 0xFF, STRETCH_BLOCK);
    int32_t count = 1;
    for (int32_t i = 0; i < xExp - 10; ++i) count *= 2;
    size_t lead = static_cast<size_t>((SHA512_BLOCK - fed % SHA512_BLOCK) % SHA512_BLOCK);

    xcout("passphrase expanding...\n");
    progressCount = 0;
    uint32_t start = platformTickCount();
    // Block 0 never has a star before it.
    sha512Update(ctx, stretchBuffer, lead);
    for (int32_t i = 0; i < count; ++i) {
        int32_t target = static_cast<int32_t>(static_cast<double>(i) / count * 79.0 + 0.5);
        while (progressCount < target) printStar();
        sha512Update(ctx, stretchBuffer, i + 1 < count ? size_t{STRETCH_BLOCK} : STRETCH_BLOCK - lead);
    }
    uint32_t end = platformTickCount();
    while (progressCount < PROGRESS_STARS) printStar();
    xcout("\n");
    xcout("time: %u\n", end - start);
    xcout("passphrase expanded!\n");
    free(stretchBuffer);
}

uint8_t* GetRawKey(const char* passphrase, int mode, const char* inputName) {
    if (passphrase == nullptr) fatalError("_Tools", 60, "GetRawKey");
    if (inputName == nullptr || inputName[0] == '\0') fatalError("_Tools", 62, "GetRawKey");
    free(XExInfo);
    XExInfo = nullptr;
    xExInfoSize = 0;

    xcout("pwd: %s\n", passphrase);
    if (isRawKeyHex(passphrase)) {
        for (int i = 0; i < 64; ++i) {
            cipherKey[i] = static_cast<uint8_t>(16 * hexDigitValue(static_cast<unsigned char>(passphrase[2 * i])) +
                                                hexDigitValue(static_cast<unsigned char>(passphrase[2 * i + 1])));
        }
        if (xExFlag) xcout("IGNORE X-CHR X-EXT OPTION!\n");
    } else {
        Sha512Ctx* ctx = sha512New();
        size_t length = strlen(passphrase);
        sha512Update(ctx, passphrase, length);
        if (xExFlag) {
            xExInfoSize = 64;
            XExInfo = static_cast<uint8_t*>(memAlloc(64));
            memset(XExInfo, 0, 64);
            if (mode == 1) {
                for (int i = 0; i < 64; ++i) XExInfo[i] = static_cast<uint8_t>(nextRandomByte());
            } else {
                readTrailer(inputName);
            }
            printHex64("XExInfo", XExInfo);
            sha512Update(ctx, XExInfo, 64);
            if (static_cast<uint32_t>(xChr) > 0xFF) {
                fatalErrorMsg("_Tools", 122, "GetRawKey", "パスフレーズの拡張に問題があります。(X-CHR=0x00～0xff)");
            }
            if (static_cast<uint32_t>(xExp) - 10u > 30u) {
                fatalErrorMsg("_Tools", 123, "GetRawKey", "パスフレーズの拡張に問題があります。(X-EXT=10～40)");
            }
            xcout("XChr: 0x%02x\n", static_cast<unsigned>(xChr));
            xcout("XExp: %d\n", xExp);
            stretch(ctx, static_cast<int64_t>(length) + 64);
        }
        memcpy(cipherKey, sha512Final(ctx), 64);
        sha512Wipe(ctx);
        free(ctx);
    }
    printHex64("CIPHER-KEY", cipherKey);
    return cipherKey;
}
